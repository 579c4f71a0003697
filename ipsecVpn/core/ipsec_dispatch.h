/* Dispatch of the framework's messages to the daemon. */
#ifndef IPSEC_DISPATCH_H
#define IPSEC_DISPATCH_H

#include "framework/zor.h"

/* Handles one received message (header and body in one block, owned by the caller). */
void ipsec_handleMessageFromKiv(const ZorMsgHeader *msg);

/* At start-up: looks the WAN up (the default-gateway interface and its
 * address). Where it is up, handles it as a WAN up on that interface, with a
 * line on standard output; where not, every enabled tunnel is marked down. */
void ipsec_checkWanAtStart(void);

/* The monitoring tick's first step, while the WAN is up: after a failed write
 * or setkey run every tunnel is rewritten and loaded; otherwise a key daemon
 * is started where IKE tunnels are written and none runs (at most once). */
void ipsec_keepTunnels(void);

#endif
