/* Address helpers: netmask to prefix length, dotted-quad test, host-name resolution. */
#include "ipsec_addr.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

#include "../framework/zor.h"

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

int ipsec_netChkDotIpAddr(const char *pStrIp) {
    if (!pStrIp)
        return 0;
    size_t len = strnlen(pStrIp, 16);
    if (len < 7 || len > 15)
        return 0;
    int dots = 0;
    int octet = 0;
    for (size_t i = 0; i < len; i++) {
        char c = pStrIp[i];
        if (c == '.') {
            if (pStrIp[i + 1] == '.')
                return 0;
            dots++;
            octet = 0;
        } else if (c >= '0' && c <= '9') {
            octet = octet * 10 + (c - '0');
            if (octet >= 256)
                return 0;
        } else {
            return 0;
        }
    }
    return dots == 3 ? 1 : 0;
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
