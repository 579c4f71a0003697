/* Framework messages for tests. */
#include "msg_frame.h"

#include <cstdio>
#include <cstring>

namespace msg_frame {

std::vector<unsigned char> frame(ZorMsgType type, const void *body, size_t len, UINT16 flags) {
    ZorMsgHeader hdr;
    memset(&hdr, 0, sizeof(hdr));
    hdr.type = type;
    hdr.src = EID_KIV;
    hdr.dst = EID_IPSEC;
    hdr.flags = flags;
    hdr.dataLength = static_cast<UINT32>(len);
    std::vector<unsigned char> out(ZOR_MSG_HEADER_SIZE + len);
    memcpy(out.data(), &hdr, sizeof(hdr));
    if (len)
        memcpy(out.data() + ZOR_MSG_HEADER_SIZE, body, len);
    return out;
}

IPSecWanChangedMsgBody wanBody(const char *ifName, SINT32 isUP) {
    IPSecWanChangedMsgBody body;
    memset(&body, 0, sizeof(body));
    memcpy(body.ifName, ifName, strnlen(ifName, sizeof(body.ifName))); /* may fill the field unterminated */
    body.isUP = isUP;
    return body;
}

std::vector<unsigned char> wanMsg(const char *ifName, SINT32 isUP) {
    const IPSecWanChangedMsgBody body = wanBody(ifName, isUP);
    return frame(ZOR_MSG_IPSEC_DFL_GW_CHANGED, &body, sizeof(body));
}

IpsecCfgChangedMsgBody cfgBody(UINT32 entryID, UINT32 op, UINT8 enable) {
    IpsecCfgChangedMsgBody body;
    memset(&body, 0, sizeof(body));
    body.entryID = entryID;
    body.op = op;
    body.enable = enable;
    snprintf(body.local_ip, sizeof(body.local_ip), "192.168.1.0");
    snprintf(body.local_mask, sizeof(body.local_mask), "255.255.255.0");
    snprintf(body.remote_ip, sizeof(body.remote_ip), "10.2.0.0");
    snprintf(body.remote_mask, sizeof(body.remote_mask), "255.255.0.0");
    snprintf(body.real_remote_gw_ip, sizeof(body.real_remote_gw_ip), "203.0.113.9");
    snprintf(body.spi, sizeof(body.spi), "1000");
    snprintf(body.second_spi, sizeof(body.second_spi), "1001");
    body.stack.currentDepth = 1;
    body.stack.instance[0] = entryID;
    return body;
}

} // namespace msg_frame
