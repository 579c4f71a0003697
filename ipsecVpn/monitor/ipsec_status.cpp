/*
 * Tunnel status from the kernel: one PF_KEY dump of the ESP SAs per idle
 * tick, then every enabled tunnel's status and live SPIs written into the
 * data model, and the lone live SA of a half-dead negotiated tunnel removed
 * through setkey. Also the status of tunnels whose SAs the daemon itself has
 * just removed (WAN down, tunnel disabled).
 */
#include "monitor/ipsec_status.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/ipsec_state.h"
#include "framework/ipsec_reqid.h"
#include "framework/ipsec_walk.h"
#include "monitor/ipsec_delete.h"
#include "monitor/ipsec_pfkey.h"
#include "proc/ipsec_proc.h"
#include "render/ipsec_addr.h"
#include "render/ipsec_file.h"
#include "render/ipsec_paths.h"

IPSEC_STATUS_ARR l_ipsec_status_arr;

namespace {

/* Where a helper's lines are logged: the entry point's name and the line in
 * it that called the helper. */
struct Caller {
    const char *func;
    int line;
};

/* Scratch kept between ticks so that a warm tick allocates nothing. */
std::vector<PfkeySaMsg> g_dump;

struct ReqidRef {
    UINT32 reqid;
    UINT32 index; /* into l_ipsec_status_arr.status_arr */
};
/* The table's entries sorted by request id, table order within one id. */
std::vector<ReqidRef> g_byReqid;

/* Turns the dump's messages into table entries. Only the up flag and the
 * destination start afresh with each message; the source, SPI, request id and
 * dying flag keep the last value seen, as the kernel sends all four with every
 * SA. A message without a destination leaves no entry. A dying SA is kept
 * with its flag set: it still carries the traffic until its successor is
 * mature, so it counts as up. */
void recordDump(const std::vector<PfkeySaMsg> &msgs) {
    std::vector<IPSEC_STATUS> &table = l_ipsec_status_arr.status_arr;
    table.clear();
    int dying = 0;
    UINT32 reqid = 0;
    char src[16] = "";
    char spi[16] = "";
    for (const PfkeySaMsg &m : msgs) {
        int up = 0;
        char dst[16];
        zorUtl_strncpy(dst, IPSEC_NO_ADDRESS, sizeof(dst));
        if (m.hasSa) {
            up = (m.state == 1 || m.state == 2); /* mature or dying */
            dying = (m.state == 2);
            snprintf(spi, sizeof(spi), "%x", static_cast<unsigned>(m.spi));
        }
        if (m.hasSrc)
            zorUtl_strncpy(src, m.src, sizeof(src));
        if (m.hasDst)
            zorUtl_strncpy(dst, m.dst, sizeof(dst));
        if (m.hasSa2)
            reqid = m.reqid;
        if (strcmp(dst, IPSEC_NO_ADDRESS) == 0)
            continue;
        IPSEC_STATUS e{};
        zorUtl_strncpy(e.src_ip, src, sizeof(e.src_ip));
        zorUtl_strncpy(e.dst_ip, dst, sizeof(e.dst_ip));
        zorUtl_strncpy(e.spi, spi, sizeof(e.spi));
        e.status = up;
        e.reqid = reqid;
        e.dying = dying;
        table.push_back(e);
    }
}

/* Builds g_byReqid so that each tunnel finds its SAs without scanning the
 * whole table: the pass stays linear in tunnels plus SAs. */
void indexTable() {
    const std::vector<IPSEC_STATUS> &table = l_ipsec_status_arr.status_arr;
    g_byReqid.clear();
    for (size_t i = 0; i < table.size(); i++)
        g_byReqid.push_back({table[i].reqid, static_cast<UINT32>(i)});
    std::sort(g_byReqid.begin(), g_byReqid.end(), [](const ReqidRef &a, const ReqidRef &b) {
        return a.reqid != b.reqid ? a.reqid < b.reqid : a.index < b.index;
    });
}

/* "0" stands for no SA; an unset field is read the same way, so it never
 * produces a delete line. */
bool isNoSa(const char *spi) {
    return spi == nullptr || strcmp(spi, "0") == 0;
}

struct SaSeen {
    bool found = false;
    int status = 0; /* 1: the SA shown is mature or dying */
};

/* What an SA tells of its direction: a mature SA carries the traffic; a dying
 * one still does while its successor is negotiated; a larval or dead one
 * carries none. */
int liveness(const IPSEC_STATUS &e) {
    return !e.status ? 0 : e.dying ? 1 : 2;
}

/* Looks up one direction of a tunnel: the SAs with its request id whose far
 * end (source when inbound, destination when outbound) is realRemoteIP. Only
 * the most live of them count. Each of those in table order replaces the SPI
 * text when it differs at that moment, so the last one wins and any
 * replacement marks the object changed. Without `changed` it only looks. */
SaSeen matchDirection(IPSecCfgObject *obj, UINT32 reqid, bool inbound, bool *changed) {
    SaSeen seen;
    if (!obj->realRemoteIP)
        return seen;
    const std::vector<IPSEC_STATUS> &table = l_ipsec_status_arr.status_arr;
    char **spiField = inbound ? &obj->secondSPI : &obj->SPI;
    const auto first = std::lower_bound(g_byReqid.begin(), g_byReqid.end(), reqid,
                                        [](const ReqidRef &r, UINT32 id) { return r.reqid < id; });
    auto ours = [&](const ReqidRef &r) {
        const IPSEC_STATUS &e = table[r.index];
        return strcmp(inbound ? e.src_ip : e.dst_ip, obj->realRemoteIP) == 0;
    };
    int best = -1;
    for (auto it = first; it != g_byReqid.end() && it->reqid == reqid; ++it)
        if (ours(*it))
            best = std::max(best, liveness(table[it->index]));
    for (auto it = first; it != g_byReqid.end() && it->reqid == reqid; ++it) {
        const IPSEC_STATUS &e = table[it->index];
        if (!ours(*it) || liveness(e) != best)
            continue;
        seen.found = true;
        if (changed && zorUtl_strcmp(*spiField, e.spi) != 0) {
            ipsec_setText(spiField, e.spi);
            *changed = true;
        }
        seen.status = e.status;
    }
    return seen;
}

void setStatus(IPSecCfgObject *obj, UBOOL8 value, bool *changed) {
    if (obj->status != value) {
        obj->status = value;
        *changed = true;
    }
}

void clearSpi(char **field, bool *changed) {
    if (!isNoSa(*field)) {
        ipsec_setText(field, "0");
        *changed = true;
    }
}

/* One delete line; an SPI text that is not hexadecimal digits gets a line
 * of its own instead. */
void writeDeleteLine(FILE *f, const char *src, const char *dst, const char *spi, const Caller &at) {
    if (!ipsec_writeDeleteLine(f, src, dst, spi))
        log_log(ZOR_LOG_ERR, at.func, at.line, "SPI text is not hexadecimal, no delete line\n");
}

/* Both ends of the delete lines are dotted quads, or no line is written. */
bool endsValid(const IPSecCfgObject &obj, const Caller &at) {
    const char *field = !ipsec_isDottedQuad(l_wan_ip)           ? "l_wan_ip"
                        : !ipsec_isDottedQuad(obj.realRemoteIP) ? "realRemoteIP"
                                                                : nullptr;
    if (!field)
        return true;
    log_log(ZOR_LOG_ERR, at.func, at.line, "ipsec tunnel %u: %s is not a dotted quad, no delete line\n", obj.entryID,
            field);
    return false;
}

/* Removes the live SA of a tunnel whose partner is missing: one delete line per
 * SPI field still recorded (outbound first), both fields set to "0", then
 * setkey on the file. 0, or -1 when the file cannot be written. The file
 * names live SAs: private, as the other key files. */
int deleteLoneSa(IPSecCfgObject *obj, bool *changed, const Caller &at) {
    if (!endsValid(*obj, at))
        return 0;
    IpsecFile file(IPSEC_TMP_DELETE_CONF, IPSEC_FILE_PRIVATE, at.func);
    if (!file.open(at.line)) {
        log_log(ZOR_LOG_ERR, at.func, at.line, "Ipsec internal Error:/tmp_delete_file!\n");
        return -1;
    }
    if (!isNoSa(obj->SPI)) {
        writeDeleteLine(file.get(), l_wan_ip, obj->realRemoteIP, obj->SPI, at);
        ipsec_setText(&obj->SPI, "0");
        *changed = true;
    }
    if (!isNoSa(obj->secondSPI)) {
        writeDeleteLine(file.get(), obj->realRemoteIP, l_wan_ip, obj->secondSPI, at);
        ipsec_setText(&obj->secondSPI, "0");
        *changed = true;
    }
    if (!file.commit(at.line)) {
        log_log(ZOR_LOG_ERR, at.func, at.line, "Ipsec internal Error:/tmp_delete_file!\n");
        return -1;
    }
    /* A failed delete is logged; the SA left is seen again at the next pass. */
    ipsec_loadSetkeyFile(IPSEC_TMP_DELETE_CONF, at.func, at.line);
    return 0;
}

/* The tunnel's SAs are gone: status 0 and, for a negotiated tunnel, both SPI
 * fields "0". Manual SAs are the configuration itself: their SPIs stay. */
void markDown(IPSecCfgObject *obj, bool *changed) {
    setStatus(obj, 0, changed);
    if (obj->keyExMethod != 0)
        return;
    clearSpi(&obj->SPI, changed);
    clearSpi(&obj->secondSPI, changed);
}

/* Writes a modified copy back; false (logged) when the data model refuses. */
bool writeBack(IPSecCfgObject *obj, InstanceIdStack *iid, const Caller &at) {
    const ZorRet ret = zorObj_set(obj, iid);
    if (ret == ZORRET_SUCCESS)
        return true;
    log_log(ZOR_LOG_ERR, at.func, at.line, "ipsec_status failed to set obj, ret=%d", ret);
    return false;
}

/* Brings one enabled tunnel in line with the table: 0, or -1 when its delete
 * file cannot be written, which ends the pass. */
int reconcileTunnel(IPSecCfgObject *obj, bool *changed, const Caller &at) {
    SaSeen in, out;
    UINT32 outReqid = 0, inReqid = 0;
    const bool ids = ipsec_reqids(obj->entryID, &outReqid, &inReqid);
    /* After an unfinished dump an SA not seen may simply not have been read:
     * it is unknown, not absent. Only a tunnel with both SAs seen is brought
     * up to date; every other keeps its status and SPIs. */
    if (!l_ipsec_status_arr.complete && !(ids && matchDirection(obj, inReqid, true, nullptr).found &&
                                          matchDirection(obj, outReqid, false, nullptr).found))
        return 0;
    if (ids) {
        in = matchDirection(obj, inReqid, true, changed);
        out = matchDirection(obj, outReqid, false, changed);
    }
    if (in.found && out.found) {
        setStatus(obj, (in.status && out.status) ? 1 : 0, changed);
        return 0;
    }
    if (!in.found && !out.found) {
        markDown(obj, changed);
        return 0;
    }
    setStatus(obj, 0, changed);
    /* Manual SAs are the configuration itself: never cleaned up. */
    if (obj->keyExMethod != 0)
        return 0;
    /* A lone larval SA is a negotiation in progress (each packet's acquire
     * makes one): it stays, and so does its SPI. Its partner is gone, so the
     * partner's field is cleared without a delete line, which would name an
     * SA the kernel no longer holds. */
    if ((in.found ? in.status : out.status) != 1) {
        clearSpi(in.found ? &obj->SPI : &obj->secondSPI, changed);
        return 0;
    }
    if (isNoSa(obj->SPI) && isNoSa(obj->secondSPI))
        return 0;
    return deleteLoneSa(obj, changed, at);
}

} // namespace

void ipsec_refresh_status(void) {
    g_dump.clear();
    PfkeyDumpEnd end = pfkey_dumpEsp(g_dump);
    if (end != PFKEY_DUMP_COMPLETE)
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "ipsec_refresh_status_read_error!\n");
    recordDump(g_dump);
    l_ipsec_status_arr.complete = (end == PFKEY_DUMP_COMPLETE);
    ipsec_set_status();
}

void ipsec_set_status(void) {
    const char *func = __func__;
    indexTable();
    ipsec_walkTunnels(func, func, [func](IPSecCfgObject &obj, InstanceIdStack &iid) {
        if (!obj.enable)
            return true;
        bool changed = false;
        if (reconcileTunnel(&obj, &changed, {func, __LINE__}) == -1)
            return false;
        return !changed || writeBack(&obj, &iid, {func, __LINE__});
    });
}

void ipsec_setAllDown(void) {
    const char *func = __func__;
    ipsec_walkTunnels(func, func, [func](IPSecCfgObject &obj, InstanceIdStack &iid) {
        if (!obj.enable)
            return true;
        bool changed = false;
        markDown(&obj, &changed);
        return !changed || writeBack(&obj, &iid, {func, __LINE__});
    });
}

void ipsec_setDownIfDisabled(const InstanceIdStack *iid) {
    InstanceIdStack path;
    memcpy(&path, iid, sizeof(path));
    ZorLock lock(__func__);
    if (lock.acquire(__func__) != ZORRET_SUCCESS)
        return;
    ZorObj<IPSecCfgObject> obj;
    if (zorObj_get(ZOR_OID_IPSEC_CFG, &path, 0, obj.out()) != ZORRET_SUCCESS || !obj || obj->enable)
        return;
    bool changed = false;
    markDown(obj.get(), &changed);
    if (changed)
        writeBack(obj.get(), &path, {__func__, __LINE__});
}
