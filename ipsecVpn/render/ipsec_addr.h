/* Address helpers shared by the renderers and the monitors. */
#ifndef IPSEC_ADDR_H
#define IPSEC_ADDR_H

#include "framework/zor.h"

/* The text that stands for no address: the local end while the WAN is down,
 * a host name that does not resolve, an SA message without a destination. A
 * tunnel whose gateway reads so is not installed. */
constexpr char IPSEC_NO_ADDRESS[] = "0.0.0.0";

/* Prefix length of a dotted netmask, 0 to 32; text that does not convert gives 32. */
int ipsec_calPrefixLen(const char *ipAddr);
/* 1 when the text is a dotted quad (7 to 15 characters, three dots, octets below 256), else 0. */
int ipsec_netChkDotIpAddr(const char *pStrIp);
/* The same, and stricter: every octet present and without a leading zero, so
 * that the text is a plain shell word and one address to every parser (setkey
 * and iptables would read a leading zero as octal). */
bool ipsec_isDottedQuad(const char *s);
/* A selector's prefix length: the mask's for address mode 0 (a subnet), 32
 * for any other mode (a single address). */
int ipsec_selectorPrefix(UINT32 mode, const char *mask);

#endif
