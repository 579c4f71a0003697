/*
 * Dispatch of the framework's two messages: a tunnel's configuration changed,
 * and the default gateway (the WAN connection) went up or down. Each brings
 * the files in the working directory, the kernel tables, the firewall rules and the
 * key daemon in line, and keeps the daemon's WAN state. A failed write or
 * setkey run leaves the kernel tables as they were and makes the next change
 * or monitoring tick rewrite every tunnel.
 */
#include "core/ipsec_dispatch.h"

#include <signal.h>

#include <cstdio>
#include <cstring>

#include "core/ipsec_state.h"
#include "core/ipsec_wan.h"
#include "monitor/ipsec_status.h"
#include "proc/ipsec_proc.h"
#include "render/ipsec_addr.h"
#include "render/ipsec_racoon.h"
#include "render/ipsec_setkey.h"

namespace {

constexpr size_t WAN_IFNAME_FIELD = sizeof(IPSecWanChangedMsgBody::ifName);

/* IKE tunnels in the racoon.conf last written: while there are any, a key
 * daemon must run. */
int racoonTunnels = 0;

/* The WAN goes down: nothing is left of the tunnels. */
void failWanUp() {
    current_wan_state = 0;
    ipsec_stopIpsecFunc();
    ipsec_setAllDown();
}

/* A failed write: the kernel tables and NAT exemptions stay as they were
 * (flushed with the WAN up, the LAN's traffic for the tunnels would leave in
 * the clear) and every tunnel is rewritten at the next change or tick. The
 * line is logged as `func` at `line`, the caller's. */
void failWrite(const char *func, int line, const char *text) {
    log_log(ZOR_LOG_ERR, func, line, "%s", text);
    fullRewriteDue = true;
}

/* Every tunnel written and loaded, then the key daemon started or reloaded
 * (`restart`: killed and started afresh), as at a WAN up. A failure leaves
 * fullRewriteDue set; its lines are logged as `func` at `line`. */
void loadAll(const char *func, int line, const char *failure, bool restart) {
    int ike = -1;
    if (ipsec_writeAllSetkey() == -1 || (ike = ipsec_writeRacoon()) == -1)
        return failWrite(func, line, failure);
    racoonTunnels = ike;
    fullRewriteDue = ipsec_startIpsecFunc() == -1;
    if (restart)
        ipsec_restartRacoon(func, line);
    else
        ipsec_reloadRacoon(func, line);
}

void handleCfgChanged(const IpsecCfgChangedMsgBody &body) {
    if (current_wan_state == 0)
        return; /* picked up in full at the next WAN up */
    const char *failure = "ipsec internal error--handle receive msg!\n";
    const bool restart = body.op == IPSEC_CFG_OP_RESTART;
    /* The one-tunnel delta also takes back the old tunnel's NAT exemption,
     * which a full rewrite (from the tunnels as they are now) would not. */
    if (ipsec_writeSetkey(&body) == -1)
        return failWrite(__func__, __LINE__, failure);
    if (fullRewriteDue) {
        loadAll(__func__, __LINE__, failure, restart);
    } else {
        const int ike = ipsec_writeRacoon();
        if (ike == -1)
            return failWrite(__func__, __LINE__, failure);
        racoonTunnels = ike;
        if (restart)
            ipsec_restartRacoon(__func__);
        else
            ipsec_keepRacoon(SIGHUP, racoonTunnels, __func__);
        if (ipsec_startIpsecFunc() == -1)
            fullRewriteDue = true;
    }
    /* A tunnel this change disabled has just lost its SAs and policies. */
    if (body.op != IPSEC_CFG_OP_DELETE)
        ipsec_setDownIfDisabled(&body.stack);
}

void handleWanUp(const char *ifName) {
    char wanIP[IPSEC_ADDR_LEN] = "";
    zorUtl_strncpy(old_default_ifName, default_ifName, IPSEC_ADDR_LEN);
    rut_getDefaultGatewayInterfaceName(default_ifName);
    if (default_ifName[0] == '\0' || zorUtl_strcmp(default_ifName, ifName) != 0) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "ipsec unkown ifName UP -- handle receive msg wan up!\n");
        return;
    }
    /* A daemon restarted after a crash cannot know what its predecessor left
     * on the interface: its first WAN up is handled as a repeated one on the
     * same interface, so rules are taken back before they are added again
     * and never doubled. */
    if (firstWanUp && old_default_ifName[0] == '\0')
        zorUtl_strncpy(old_default_ifName, default_ifName, IPSEC_ADDR_LEN);
    firstWanUp = false;
    current_wan_state = 1;
    if (ipsec_getWanIP(wanIP, IPSEC_ADDR_LEN, default_ifName, IPSEC_ADDR_LEN) != ZORRET_SUCCESS) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "ipsec get wanIP error -- handle receive msg wan up!\n");
        failWanUp();
        return;
    }
    if (wanIP[0] == '\0') {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "ipsec get wanIP NULL -- handle receive msg wan up!\n");
        failWanUp();
        return;
    }
    /* The address becomes every tunnel's local end in setkey.conf and in the
     * monitor's delete lines: anything but a dotted quad could add or hide
     * statements there, so it is handled as a failed lookup. */
    if (!ipsec_isDottedQuad(wanIP)) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "ipsec get wanIP not a dotted quad -- handle receive msg wan up!\n");
        failWanUp();
        return;
    }
    if (old_default_ifName[0] != '\0')
        rutIpt_removeIpSecPolicy(old_default_ifName);
    rutIpt_initIpSecPolicy(default_ifName);
    zorUtl_strncpy(l_wan_ip, wanIP, IPSEC_ADDR_LEN);
    /* old_default_ifName still names the previous interface here: the full
     * rewrite deletes the NAT exemption rules it had there. */
    loadAll(__func__, __LINE__, "ipsec internal error--handle receive msg up!\n", false);
}

void handleWanDown(const char *ifName) {
    if (zorUtl_strcmp(default_ifName, ifName) != 0)
        return; /* that connection does not carry the default route */
    /* Take back what the last WAN up installed on this interface. */
    if (default_ifName[0] != '\0') {
        rutIpt_removeIpSecPolicy(default_ifName);
        ipsec_deleteAllNat(default_ifName);
    }
    zorUtl_strncpy(l_wan_ip, IPSEC_NO_ADDRESS, IPSEC_ADDR_LEN);
    default_ifName[0] = '\0';
    old_default_ifName[0] = '\0';
    current_wan_state = 0;
    ipsec_stopIpsecFunc();
    ipsec_setAllDown();
}

/* The body must be as long as its type's record; a longer one is read up to that size. */
bool bodyLongEnough(const ZorMsgHeader &hdr, size_t need) {
    if (hdr.dataLength >= need)
        return true;
    log_log(ZOR_LOG_ERR, __func__, __LINE__, "ipsec message too short, type=0x%08x dataLength=%u need=%u\n",
            static_cast<unsigned>(hdr.type), static_cast<unsigned>(hdr.dataLength), static_cast<unsigned>(need));
    return false;
}

} // namespace

void ipsec_checkWanAtStart(void) {
    char ifName[IPSEC_ADDR_LEN] = "";
    char wanIP[IPSEC_ADDR_LEN] = "";
    rut_getDefaultGatewayInterfaceName(ifName);
    if (ifName[0] == '\0' || ipsec_getWanIP(wanIP, IPSEC_ADDR_LEN, ifName, IPSEC_ADDR_LEN) != ZORRET_SUCCESS ||
        wanIP[0] == '\0') {
        /* No WAN: whatever status a predecessor left is not true any more. */
        ipsec_setAllDown();
        return;
    }
    printf("ipsec WAN up at start, ifName=%s wanIP=%s: handled as a WAN up\n", ifName, wanIP);
    fflush(stdout);
    handleWanUp(ifName);
}

void ipsec_keepTunnels(void) {
    if (current_wan_state != 1)
        return;
    if (fullRewriteDue)
        loadAll(__func__, __LINE__, "ipsec internal error--monitor tick rewrite!\n", false);
    else
        ipsec_keepRacoon(0, racoonTunnels, __func__);
}

void ipsec_handleMessageFromKiv(const ZorMsgHeader *msg) {
    if (!msg)
        return;
    ZorMsgHeader hdr;
    memcpy(&hdr, msg, sizeof(hdr));
    const unsigned char *body = reinterpret_cast<const unsigned char *>(msg) + ZOR_MSG_HEADER_SIZE;

    if (hdr.type == ZOR_MSG_IPSEC_CFG_CHANGED) {
        IpsecCfgChangedMsgBody cfg;
        if (!bodyLongEnough(hdr, sizeof(cfg)))
            return;
        memcpy(&cfg, body, sizeof(cfg));
        handleCfgChanged(cfg);
    } else if (hdr.type == ZOR_MSG_IPSEC_DFL_GW_CHANGED) {
        IPSecWanChangedMsgBody wan;
        if (!bodyLongEnough(hdr, sizeof(wan)))
            return;
        memcpy(&wan, body, sizeof(wan));
        /* The name may fill its field without a terminator. */
        char ifName[WAN_IFNAME_FIELD + 1];
        memcpy(ifName, wan.ifName, WAN_IFNAME_FIELD);
        ifName[WAN_IFNAME_FIELD] = '\0';
        if (wan.isUP == 1)
            handleWanUp(ifName);
        else
            handleWanDown(ifName);
    }
}
