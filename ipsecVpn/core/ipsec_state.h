/*
 * The daemon's process-wide WAN state. Written by message dispatch, read by
 * the renderers and the monitors; lives for the whole process.
 */
#ifndef IPSEC_STATE_H
#define IPSEC_STATE_H

#include "framework/zor.h"

constexpr int IPSEC_ADDR_LEN = 16; /* dotted quad or interface name and NUL */

extern void *msgHandle;                         /* framework message handle */
extern SINT32 current_wan_state;                /* 1 while the WAN is up */
extern char l_wan_ip[IPSEC_ADDR_LEN];           /* local tunnel end, IPSEC_NO_ADDRESS when down */
extern char default_ifName[IPSEC_ADDR_LEN];     /* default-gateway interface, "" when down */
extern char old_default_ifName[IPSEC_ADDR_LEN]; /* its previous value */
extern bool firstWanUp;                         /* no WAN up handled yet since start */
/* A write or a setkey run failed since the last full rewrite: the kernel
 * tables may not hold every tunnel, so the next change or monitoring tick
 * rewrites and loads every tunnel, as a WAN up does. */
extern bool fullRewriteDue;

#endif
