/* Address helpers shared by the renderers and the gateway-name tracker. */
#ifndef IPSEC_ADDR_H
#define IPSEC_ADDR_H

/* Prefix length of a dotted netmask, 0 to 32; text that does not convert gives 32. */
int ipsec_calPrefixLen(const char *ipAddr);
/* 1 when the text is a dotted quad (7 to 15 characters, three dots, octets below 256), else 0. */
int ipsec_netChkDotIpAddr(const char *pStrIp);
/* Resolves a host name into `ip` (16 bytes), preferring `currentIP` while the name
 * still resolves to it. 0 on success; -1 when it does not resolve to any IPv4
 * address, `ip` untouched. */
int ipsec_parseFQDN(const char *fqdnString, char *ip, const char *currentIP);

#endif
