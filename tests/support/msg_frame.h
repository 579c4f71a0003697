/* Framework messages for tests: header then body in one block, as the
 * framework hands a message from KIV to the IPsec daemon (host byte order). */
#ifndef MSG_FRAME_H
#define MSG_FRAME_H

#include <cstddef>
#include <vector>

#include "framework/zor.h"

namespace msg_frame {
/* Header (type, KIV to IPsec, `flags`, dataLength = len) followed by `len`
 * bytes of `body`. */
std::vector<unsigned char> frame(ZorMsgType type, const void *body, size_t len, UINT16 flags = 0);
/* The body of a default-gateway change for interface `ifName`; a name as long
 * as the field fills it without a terminator. */
IPSecWanChangedMsgBody wanBody(const char *ifName, SINT32 isUP);
/* That body framed as its message. */
std::vector<unsigned char> wanMsg(const char *ifName, SINT32 isUP);
/* The body of a tunnel change message for tunnel `entryID` (instance path
 * {entryID}) with tunnel 1's settings before the change: 192.168.1.0/24 to
 * 10.2.0.0/16 through 203.0.113.9, SPIs 1000 and 1001. */
IpsecCfgChangedMsgBody cfgBody(UINT32 entryID, UINT32 op, UINT8 enable);
} // namespace msg_frame

#endif
