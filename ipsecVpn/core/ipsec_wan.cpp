/*
 * Lookup of the WAN connection's address in the data model, and the WAN
 * status question to the framework's WAN status daemon.
 */
#include "core/ipsec_wan.h"

#include <cstring>
#include <memory>

#include "core/ipsec_state.h"
#include "framework/ipsec_lock.h"
#include "framework/ipsec_objcopy.h"

namespace {

constexpr const char *CONNECTED = "Connected";
constexpr const char *IP_ROUTED = "IP_Routed";
/* Longest interface name put into a status question, terminator excluded. */
constexpr size_t WAN_STATE_IFNAME_MAX = 31;
/* How long the status daemon may take to answer. */
constexpr UINT32 WAN_STATE_REPLY_TIMEOUT = 100000;

bool ipConnMatches(const WanIpConnObject *c, const char *ifName) {
    return c->enable == 1 && zorUtl_strcmp(c->connectionStatus, CONNECTED) == 0 &&
           zorUtl_strcmp(c->connectionType, IP_ROUTED) == 0 && zorUtl_strcmp(c->X_VORTALIX_COM_IfName, ifName) == 0;
}

bool pppConnMatches(const WanPppConnObject *c, const char *ifName) {
    return c->enable == 1 && zorUtl_strcmp(c->connectionStatus, CONNECTED) == 0 &&
           zorUtl_strcmp(c->X_VORTALIX_COM_IfName, ifName) == 0;
}

/* Copies `addr` into `wanIP` when it fits with its terminator. An unset
 * address is taken as empty, which the caller reports as no address. */
bool takeAddress(const char *addr, char *wanIP, SINT32 len) {
    if (!wanIP || len <= 0)
        return false;
    const char *text = ipsec_txt(addr);
    size_t n = strnlen(text, static_cast<size_t>(len));
    if (n >= static_cast<size_t>(len))
        return false;
    memcpy(wanIP, text, n);
    wanIP[n] = '\0';
    return true;
}

/* Walks one kind of connection below a WAN device; true once an address was taken. */
template <typename Conn>
bool walkConnections(ZorObjectId oid, bool (*matches)(const Conn *, const char *), const InstanceIdStack &device,
                     const char *ifName, char *wanIP, SINT32 len) {
    InstanceIdStack conn = EMPTY_INSTANCE_ID_STACK;
    ZorObj<Conn> obj;
    while (zorObj_getNextInSubTree(oid, &device, &conn, obj.out()) == ZORRET_SUCCESS) {
        if (matches(obj.get(), ifName) && takeAddress(obj->externalIPAddress, wanIP, len))
            return true;
    }
    return false;
}

} // namespace

ZorRet ipsec_getWanIP(char *wanIP, SINT32 len, const char *ifName, SINT32 /*ifLen*/) {
    ZorLock lock(__func__);
    const ZorRet ret = lock.acquire("ipsec_get_wan_ip");
    if (ret != ZORRET_SUCCESS)
        return ret;
    InstanceIdStack device = EMPTY_INSTANCE_ID_STACK;
    ZorObj<WanDevObject> dev;
    while (zorObj_getNext(ZOR_OID_WAN_DEV, &device, dev.out()) == ZORRET_SUCCESS) {
        dev.reset(); /* only its path is needed */
        if (walkConnections<WanIpConnObject>(ZOR_OID_WAN_IP_CONN, ipConnMatches, device, ifName, wanIP, len) ||
            walkConnections<WanPppConnObject>(ZOR_OID_WAN_PPP_CONN, pppConnMatches, device, ifName, wanIP, len))
            return ZORRET_SUCCESS;
    }
    return ZORRET_INTERNAL_ERROR;
}

int ipsec_getWanState(const char *ifName) {
    UINT32 bodyLen = 0;
    if (ifName)
        bodyLen = static_cast<UINT32>(strnlen(ifName, WAN_STATE_IFNAME_MAX)) + 1u;
    std::unique_ptr<void, void (*)(void *)> block(zorMem_alloc(ZOR_MSG_HEADER_SIZE + bodyLen, ZOR_MEM_ZEROIZE),
                                                  zorMem_free);
    if (!block) {
        log_log(ZOR_LOG_DEBUG, __func__, __LINE__, "wev says wan is not up");
        return 0;
    }
    ZorMsgHeader hdr;
    memset(&hdr, 0, sizeof(hdr));
    hdr.type = ZOR_MSG_GET_WAN_CONN_STATUS;
    hdr.src = EID_IPSEC;
    hdr.dst = EID_WEV;
    hdr.flags = ZOR_MSG_FLAG_REQUEST;
    hdr.dataLength = bodyLen;
    unsigned char *bytes = static_cast<unsigned char *>(block.get());
    memcpy(bytes, &hdr, sizeof(hdr));
    if (bodyLen > 0)
        memcpy(bytes + ZOR_MSG_HEADER_SIZE, ifName, bodyLen - 1); /* the block's zero is the terminator */

    ZorRet ret = zorMsg_sendAndGetReplyWithTimeout(msgHandle, static_cast<const ZorMsgHeader *>(block.get()),
                                                   WAN_STATE_REPLY_TIMEOUT);
    if (ret == 1) {
        log_log(ZOR_LOG_DEBUG, __func__, __LINE__, "wev says wan is up");
        return 1;
    }
    log_log(ZOR_LOG_DEBUG, __func__, __LINE__, "wev says wan is not up");
    return 0;
}
