/* Dispatch of the framework's messages to the daemon. */
#ifndef IPSEC_DISPATCH_H
#define IPSEC_DISPATCH_H

#include "framework/zor.h"

/* Handles one received message (header and body in one block, owned by the caller). */
void ipsec_handleMessageFromKiv(const ZorMsgHeader *msg);

#endif
