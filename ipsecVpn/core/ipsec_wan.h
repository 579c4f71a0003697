/* Lookup of the WAN connection's address and state. */
#ifndef IPSEC_WAN_H
#define IPSEC_WAN_H

#include "framework/zor.h"

/* Copies the address of the first connected WAN connection on `ifName` into `wanIP`. */
ZorRet ipsec_getWanIP(char *wanIP, SINT32 len, const char *ifName, SINT32 ifLen);
/* 1 when the WAN status daemon answers that the WAN is up, else 0. */
int ipsec_getWanState(const char *ifName);

#endif
