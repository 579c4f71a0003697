/* Address helpers: netmask to prefix length, dotted-quad test, host-name resolution. */
#include "render/ipsec_addr.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

#include "framework/ipsec_obj.h"

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

int ipsec_parseFQDN(const char *fqdnString, char *ip, const char *currentIP) {
    if (!fqdnString || !ip)
        return -1;
    struct hostent *he = gethostbyname(fqdnString);
    /* An answer without an IPv4 address is a failed resolution: empty text
     * must never become a tunnel end. */
    if (!he || he->h_addrtype != AF_INET || !he->h_addr_list || !he->h_addr_list[0])
        return -1;
    char text[16] = "";
    for (char **addr = he->h_addr_list; *addr; addr++) {
        if (!inet_ntop(AF_INET, *addr, text, sizeof(text)))
            continue;
        if (zorUtl_strcmp(text, currentIP) == 0) {
            zorUtl_strncpy(ip, text, 16);
            return 0;
        }
    }
    if (text[0] == '\0')
        return -1;
    zorUtl_strncpy(ip, text, 16);
    return 0;
}
