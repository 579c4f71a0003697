/* Framework messages for tests. */
#include "msg_frame.h"

#include <cstring>

namespace msg_frame {

std::vector<unsigned char> frame(ZorMsgType type, const void *body, size_t len) {
    ZorMsgHeader hdr;
    memset(&hdr, 0, sizeof(hdr));
    hdr.type = type;
    hdr.src = EID_KIV;
    hdr.dst = EID_IPSEC;
    hdr.dataLength = static_cast<UINT32>(len);
    std::vector<unsigned char> out(ZOR_MSG_HEADER_SIZE + len);
    memcpy(out.data(), &hdr, sizeof(hdr));
    if (len)
        memcpy(out.data() + ZOR_MSG_HEADER_SIZE, body, len);
    return out;
}

std::vector<unsigned char> wanMsg(const char *ifName, SINT32 isUP) {
    IPSecWanChangedMsgBody body;
    memset(&body, 0, sizeof(body));
    memcpy(body.ifName, ifName, strnlen(ifName, sizeof(body.ifName))); /* may fill the field unterminated */
    body.isUP = isUP;
    return frame(ZOR_MSG_IPSEC_DFL_GW_CHANGED, &body, sizeof(body));
}

} // namespace msg_frame
