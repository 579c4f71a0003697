/*
 * Fuzzer for the address helpers: netmask to prefix length, the dotted-quad
 * test and host-name resolution (answered by the sandbox's /etc/hosts only).
 * Input: raw text, not necessarily terminated. Checked besides the
 * sanitizers: a prefix is 0 to 32, an accepted dotted quad is 7 to 15 of
 * digits and dots, a resolved address is itself a dotted quad.
 */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "monitor/ipsec_fqdn.h"
#include "render/ipsec_addr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    /* The helpers take C strings: give them exactly the bytes, terminated. */
    const std::string text(reinterpret_cast<const char *>(data), size);
    const char *s = text.c_str();

    const int prefix = ipsec_calPrefixLen(s);
    if (prefix < 0 || prefix > 32)
        abort();

    if (ipsec_netChkDotIpAddr(s) == 1) {
        const size_t len = strlen(s);
        if (len < 7 || len > 15 || strspn(s, "0123456789.") != len)
            abort();
    }

    /* A 16-byte field that the caller did not terminate. */
    char field[16];
    memset(field, 'A', sizeof(field));
    memcpy(field, data, size < sizeof(field) ? size : sizeof(field));
    (void)ipsec_netChkDotIpAddr(field);

    if (size <= 64 && memchr(data, '\0', size) == nullptr) {
        char ip[16] = "keep";
        if (ipsec_parseFQDN(s, ip, "198.51.100.7") == 0) {
            if (ipsec_netChkDotIpAddr(ip) != 1)
                abort();
        } else if (strcmp(ip, "keep") != 0) {
            abort(); /* a failed resolution leaves the address untouched */
        }
    }
    return 0;
}
