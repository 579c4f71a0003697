/* Address helpers: netmask to prefix length, dotted-quad tests, selector prefixes. */
#include "render/ipsec_addr.h"

#include <arpa/inet.h>

#include <cstring>

#include "framework/ipsec_objcopy.h"

int ipsec_calPrefixLen(const char *ipAddr) {
    if (!ipAddr)
        return 32;
    in_addr_t net = inet_addr(ipAddr);
    if (net == INADDR_NONE)
        return 32;
    UINT32 mask = ntohl(net);
    int zeros = 0;
    while (zeros < 32 && !(mask & (1u << zeros)))
        zeros++;
    return 32 - zeros;
}

namespace {

/* The one dotted-quad scanner; `strict` refuses empty octets and leading
 * zeros. */
bool scanDottedQuad(const char *s, bool strict) {
    if (!s)
        return false;
    const size_t len = strnlen(s, 16);
    if (len < 7 || len > 15)
        return false;
    int dots = 0;
    int octet = 0;
    size_t digits = 0;
    for (size_t i = 0; i <= len; i++) { /* s[len] is the terminator */
        const char c = s[i];
        if (c >= '0' && c <= '9') {
            octet = octet * 10 + (c - '0');
            if (octet >= 256)
                return false;
            digits++;
        } else if (c == '.' || c == '\0') {
            if (c == '.' && s[i + 1] == '.')
                return false;
            if (strict && (digits == 0 || (digits > 1 && s[i - digits] == '0')))
                return false;
            dots += (c == '.');
            octet = 0;
            digits = 0;
        } else {
            return false;
        }
    }
    return dots == 3;
}

} // namespace

int ipsec_netChkDotIpAddr(const char *pStrIp) {
    return scanDottedQuad(pStrIp, false) ? 1 : 0;
}

bool ipsec_isDottedQuad(const char *s) {
    return scanDottedQuad(s, true);
}

int ipsec_selectorPrefix(UINT32 mode, const char *mask) {
    return mode == 0 ? ipsec_calPrefixLen(ipsec_txt(mask)) : 32;
}
