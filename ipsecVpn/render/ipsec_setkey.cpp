/*
 * Writer of /var/ipsec/setkey.conf, the kernel's SA and policy tables as
 * setkey input, and runner of the tunnels' NAT exemption rules.
 *
 * Each statement and each command is built by one function below, which is
 * also where its fields are checked: nothing from the data model or from a
 * message reaches the file or the shell unchecked.
 */
#include "render/ipsec_setkey.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>

#include "core/ipsec_state.h"
#include "framework/ipsec_obj.h"
#include "monitor/ipsec_delete.h"
#include "proc/ipsec_shell.h"
#include "render/ipsec_addr.h"
#include "render/ipsec_file.h"
#include "render/ipsec_text.h"

namespace {

constexpr const char *kNoAddress = "0.0.0.0";
constexpr size_t kCommandSize = 256;

/* A 16-byte text of a message body or of the WAN state, terminated even when
 * its source fills all 16 bytes. */
struct Text16 {
    char s[IPSEC_ADDR_LEN + 1];
};

Text16 bounded(const char *src) {
    Text16 t{};
    if (src) {
        const size_t n = strnlen(src, IPSEC_ADDR_LEN);
        std::memcpy(t.s, src, n);
    }
    return t;
}

/* One side of a policy: an address and its prefix length. */
struct Selector {
    const char *ip;
    int prefix;
    const char *field; /* its name in the data model or the message, for logs */
};

/* What one run of the writer works with: the file (null when only NAT
 * commands run), the name its log lines carry, and the WAN state read once. */
struct Pass {
    FILE *conf;
    const char *func;
    Text16 wan;
    Text16 ifName;
};

Pass makePass(FILE *conf, const char *func, const char *ifName) {
    return Pass{conf, func, bounded(l_wan_ip), bounded(ifName)};
}

/* Everything of one tunnel that reaches the file or the shell. */
struct Tunnel {
    UINT32 entryID;
    UINT32 outReqid;
    UINT32 inReqid;
    Selector local;
    Selector remote;
    const char *wanIp;
    const char *gw;
    bool manual;
    const char *spi;
    const char *secondSpi;
    const char *encAlgo;
    const char *encKey;
    const char *authAlgo;
    const char *authKey;
};

struct NamedText {
    const char *name;
    const char *text;
};

/* What a field of a setkey statement must be. The real setkey stops at the
 * first statement it cannot parse, after the file's flush has run: one
 * tunnel's text that breaks a statement (a '#' that hides the rest of the
 * line, a ';' or a blank that starts another) would cost every tunnel. */
enum FieldKind {
    FIELD_ADDRESS, /* a dotted quad */
    FIELD_SPI,     /* at most 8 hex digits; empty is written as "0x" alone */
    FIELD_KEY,     /* hex digits; empty is written as "0x" alone */
    FIELD_ALGO,    /* a plain word */
};

struct Field {
    const char *name;
    const char *text;
    FieldKind kind;
};

const char *fieldFault(const Field &f) {
    switch (f.kind) {
    case FIELD_ADDRESS:
        return ipsec_isDottedQuad(f.text) ? nullptr : "a dotted quad";
    case FIELD_SPI:
        return ipsec_isHex(f.text, 8) ? nullptr : "at most 8 hexadecimal digits";
    case FIELD_KEY:
        return ipsec_isHex(f.text, 4096) ? nullptr : "hexadecimal digits";
    case FIELD_ALGO:
        return ipsec_isWord(f.text) ? nullptr : "a plain word";
    }
    return "known";
}

/* False, with a level-3 line naming the tunnel and the field, when a field is
 * not what its place in the statement needs. */
bool fieldsValid(const Pass &p, const Field *fields, size_t n, UINT32 entryID) {
    for (size_t i = 0; i < n; i++) {
        if (const char *fault = fieldFault(fields[i])) {
            log_log(ZOR_LOG_ERR, p.func, __LINE__, "ipsec tunnel %u: %s is not %s, tunnel skipped\n", entryID,
                    fields[i].name, fault);
            return false;
        }
    }
    return true;
}

bool requestIds(const Pass &p, UINT32 entryID, UINT32 *out, UINT32 *in) {
    if (ipsec_reqids(entryID, out, in))
        return true;
    log_log(ZOR_LOG_ERR, p.func, __LINE__, "ipsec tunnel %u: entryID too large for its request ids, tunnel skipped\n",
            entryID);
    return false;
}

/* A tunnel that a full rewrite installs: enabled, with a remote address. */
bool isUsable(const IPSecCfgObject &o) {
    return o.enable && o.realRemoteIP && o.realRemoteIP[0] && std::strcmp(o.realRemoteIP, kNoAddress) != 0;
}

/* The usable tunnel's fields, checked; false when it is not written. */
bool tunnelFromObject(const Pass &p, const IPSecCfgObject &o, Tunnel *t) {
    if (!isUsable(o))
        return false;
    t->entryID = o.entryID;
    if (!requestIds(p, o.entryID, &t->outReqid, &t->inReqid))
        return false;
    t->local = {ipsec_txt(o.localIPAddress), ipsec_selectorPrefix(o.localIPMode, o.localMask), "localIPAddress"};
    t->remote = {ipsec_txt(o.remoteIPAddress), ipsec_selectorPrefix(o.remoteIPMode, o.remoteMask), "remoteIPAddress"};
    t->wanIp = p.wan.s;
    t->gw = ipsec_txt(o.realRemoteIP);
    t->manual = o.keyExMethod == 1;
    t->spi = ipsec_txt(o.SPI);
    t->secondSpi = ipsec_txt(o.secondSPI);
    t->encAlgo = ipsec_txt(o.manualEncryptionAlgo);
    t->encKey = ipsec_txt(o.manualEncryptionKey);
    t->authAlgo = ipsec_txt(o.manualAuthAlgo);
    t->authKey = ipsec_txt(o.manualAthKey);
    const Field fields[] = {
        {"l_wan_ip", t->wanIp, FIELD_ADDRESS},
        {"realRemoteIP", t->gw, FIELD_ADDRESS},
        {"localIPAddress", t->local.ip, FIELD_ADDRESS},
        {"remoteIPAddress", t->remote.ip, FIELD_ADDRESS},
        {"SPI", t->spi, FIELD_SPI},
        {"secondSPI", t->secondSpi, FIELD_SPI},
        {"manualEncryptionAlgo", t->encAlgo, FIELD_ALGO},
        {"manualEncryptionKey", t->encKey, FIELD_KEY},
        {"manualAuthAlgo", t->authAlgo, FIELD_ALGO},
        {"manualAthKey", t->authKey, FIELD_KEY},
    };
    /* SPIs, algorithms and keys are written for manual keying only. */
    return fieldsValid(p, fields, t->manual ? 10 : 4, o.entryID);
}

/* ---- statements of setkey.conf ------------------------------------------- */

void writeSa(FILE *f, const Tunnel &t, const char *src, const char *dst, const char *spi, UINT32 reqid) {
    fprintf(f, "add %s %s esp 0x%s -m tunnel -u %u -E %s 0x%s -A %s 0x%s;\n", src, dst, spi, reqid, t.encAlgo, t.encKey,
            t.authAlgo, t.authKey);
}

void writePolicy(FILE *f, const Selector &src, const Selector &dst, const char *dir, const char *from, const char *to,
                 UINT32 reqid) {
    fprintf(f, "spdadd %s/%d %s/%d any -P %s ipsec esp/tunnel/%s-%s/unique:%u;\n", src.ip, src.prefix, dst.ip,
            dst.prefix, dir, from, to, reqid);
}

void writePolicyDelete(FILE *f, const Selector &src, const Selector &dst, const char *dir) {
    fprintf(f, "spddelete %s/%d %s/%d any -P %s;\n", src.ip, src.prefix, dst.ip, dst.prefix, dir);
}

/* The manual SAs, outbound first, then the two policies. */
void writeTunnel(FILE *f, const Tunnel &t) {
    if (t.manual) {
        writeSa(f, t, t.wanIp, t.gw, t.spi, t.outReqid);
        writeSa(f, t, t.gw, t.wanIp, t.secondSpi, t.inReqid);
    }
    writePolicy(f, t.local, t.remote, "out", t.wanIp, t.gw, t.outReqid);
    writePolicy(f, t.remote, t.local, "in", t.gw, t.wanIp, t.inReqid);
}

/* ---- NAT exemption commands ---------------------------------------------- */

enum NatOp { NAT_INSERT, NAT_DELETE };

bool natFieldsValid(const Pass &p, const Selector &local, const Selector &remote, const NamedText &ifName,
                    UINT32 entryID) {
    for (const Selector *sel : {&local, &remote}) {
        if (!ipsec_isDottedQuad(sel->ip)) {
            log_log(ZOR_LOG_ERR, p.func, __LINE__, "ipsec tunnel %u: %s is not a dotted quad, iptables not run\n",
                    entryID, sel->field);
            return false;
        }
    }
    if (!ipsec_isIfName(ifName.text)) {
        log_log(ZOR_LOG_ERR, p.func, __LINE__, "ipsec tunnel %u: %s is not an interface name, iptables not run\n",
                entryID, ifName.name);
        return false;
    }
    return true;
}

void runNatCommand(NatOp op, const Selector &local, const Selector &remote, const char *ifName) {
    char cmd[kCommandSize];
    int n;
    if (op == NAT_INSERT)
        n = snprintf(cmd, sizeof(cmd), "iptables -t nat -I POSTROUTING 1 -s %s/%d -o %s -d %s/%d -j ACCEPT", local.ip,
                     local.prefix, ifName, remote.ip, remote.prefix);
    else
        n = snprintf(cmd, sizeof(cmd), "iptables -t nat -D POSTROUTING -s %s/%d -o %s -d %s/%d -j ACCEPT", local.ip,
                     local.prefix, ifName, remote.ip, remote.prefix);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(cmd))
        return; /* cannot happen with checked fields; never run a cut command */
    ipsec_runCommand(cmd);
}

/* Runs the insert or delete command; the pass's file (when it has one) is
 * flushed first so that it holds every line written before the command. An
 * insert first takes back an equal rule: a repeated add, or a change whose
 * old body says the tunnel was off, would otherwise leave a second copy that
 * no later delete removes, and that traffic would stay exempt from NAT. */
void runNat(const Pass &p, NatOp op, const Selector &local, const Selector &remote, const NamedText &ifName,
            UINT32 entryID) {
    if (!natFieldsValid(p, local, remote, ifName, entryID))
        return;
    if (p.conf)
        fflush(p.conf);
    if (op == NAT_INSERT)
        runNatCommand(NAT_DELETE, local, remote, ifName.text);
    runNatCommand(op, local, remote, ifName.text);
}

/* ---- the old tunnel of a change message ---------------------------------- */

struct OldTunnel {
    Text16 localIp;
    Text16 remoteIp;
    Text16 gw;
    Text16 localMask;
    Text16 remoteMask;
};

/* Removes what the tunnel described by the body installed: its live SAs by
 * request id, its two policies and its NAT rule. */
void removeOld(const Pass &p, const IpsecCfgChangedMsgBody &msg) {
    OldTunnel old{bounded(msg.local_ip), bounded(msg.remote_ip), bounded(msg.real_remote_gw_ip),
                  bounded(msg.local_mask), bounded(msg.remote_mask)};
    if (!msg.enable || std::strcmp(old.gw.s, kNoAddress) == 0)
        return;
    UINT32 outReqid, inReqid;
    if (!requestIds(p, msg.entryID, &outReqid, &inReqid))
        return;
    const Field fields[] = {{"l_wan_ip", p.wan.s, FIELD_ADDRESS},
                            {"real_remote_gw_ip", old.gw.s, FIELD_ADDRESS},
                            {"local_ip", old.localIp.s, FIELD_ADDRESS},
                            {"remote_ip", old.remoteIp.s, FIELD_ADDRESS}};
    if (!fieldsValid(p, fields, std::size(fields), msg.entryID))
        return;
    const Selector local{old.localIp.s, ipsec_selectorPrefix(msg.local_ip_mode, old.localMask.s), "local_ip"};
    const Selector remote{old.remoteIp.s, ipsec_selectorPrefix(msg.remote_ip_mode, old.remoteMask.s), "remote_ip"};
    ipsec_delete_Sa_reqid(outReqid, p.conf, p.wan.s, old.gw.s);
    ipsec_delete_Sa_reqid(inReqid, p.conf, old.gw.s, p.wan.s);
    writePolicyDelete(p.conf, local, remote, "out");
    writePolicyDelete(p.conf, remote, local, "in");
    runNat(p, NAT_DELETE, local, remote, {"default_ifName", p.ifName.s}, msg.entryID);
}

/* Reads the changed tunnel's object, holding the lock for this read only. */
ZorRet readObject(const Pass &p, const IpsecCfgChangedMsgBody &msg, ZorObj<IPSecCfgObject> &obj) {
    InstanceIdStack iid;
    std::memcpy(&iid, &msg.stack, sizeof(iid));
    ZorLock lock(p.func);
    ZorRet ret = lock.acquire("ipsec_setkey");
    if (ret != ZORRET_SUCCESS)
        return ret;
    ret = zorObj_get(ZOR_OID_IPSEC_CFG, &iid, 0, obj.out());
    if (ret == ZORRET_SUCCESS && obj)
        return ZORRET_SUCCESS;
    if (msg.op == IPSEC_CFG_OP_ADD)
        log_log(ZOR_LOG_ERR, p.func, __LINE__, "ipsec internal error --- ipsec write setkey:get cfg!, ret:%d\n", ret);
    else
        log_log(ZOR_LOG_ERR, p.func, __LINE__, "ipsec internal error --- ipsec write setkey:get cfg!\n");
    return ret == ZORRET_SUCCESS ? ZORRET_OBJECT_NOT_FOUND : ret;
}

/* The full rewrite's walk, under the global lock: the count, or -1. */
int writeAllTunnels(const Pass &p) {
    fprintf(p.conf, "flush;\n");
    fprintf(p.conf, "spdflush;\n");
    const Text16 oldIfName = bounded(old_default_ifName);
    int count = 0;
    const ZorRet ret = ipsec_walkTunnels(p.func, "ipsec_setkey", [&](const IPSecCfgObject &o, InstanceIdStack &) {
        Tunnel t;
        if (!tunnelFromObject(p, o, &t))
            return true;
        count++;
        writeTunnel(p.conf, t);
        /* The insert takes back the rule on default_ifName itself. */
        if (oldIfName.s[0] && std::strcmp(oldIfName.s, p.ifName.s) != 0)
            runNat(p, NAT_DELETE, t.local, t.remote, {"old_default_ifName", oldIfName.s}, t.entryID);
        runNat(p, NAT_INSERT, t.local, t.remote, {"default_ifName", p.ifName.s}, t.entryID);
        return true;
    });
    return ret == ZORRET_SUCCESS ? count : -1;
}

/* The one tunnel's delta: 0, or -1 when its object cannot be read. */
int writeChange(const Pass &p, const IpsecCfgChangedMsgBody &msg) {
    if (msg.op == IPSEC_CFG_OP_DELETE) {
        removeOld(p, msg);
        return 0;
    }
    if (msg.op != IPSEC_CFG_OP_ADD && msg.op < IPSEC_CFG_OP_CHANGE)
        return 0;
    /* Read before anything is written: on failure nothing is removed. */
    ZorObj<IPSecCfgObject> obj;
    if (readObject(p, msg, obj) != ZORRET_SUCCESS)
        return -1;
    if (msg.op >= IPSEC_CFG_OP_CHANGE)
        removeOld(p, msg);
    /* A tunnel added while disabled is not installed either: its later delete
     * (whose body says it was disabled) would never remove it. */
    Tunnel t;
    if (!tunnelFromObject(p, *obj.get(), &t))
        return 0;
    writeTunnel(p.conf, t);
    runNat(p, NAT_INSERT, t.local, t.remote, {"default_ifName", p.ifName.s}, t.entryID);
    return 0;
}

} // namespace

/* setkey.conf holds manual keys: private from its creation on. */
int ipsec_writeAllSetkey(void) {
    IpsecFile conf(IPSEC_SETKEY_CONF, IPSEC_FILE_PRIVATE, __func__);
    if (!conf.open())
        return -1;
    const int count = writeAllTunnels(makePass(conf.get(), __func__, default_ifName));
    if (count == -1 || !conf.commit())
        return -1;
    return count;
}

int ipsec_writeSetkey(const IpsecCfgChangedMsgBody *msg) {
    IpsecFile conf(IPSEC_SETKEY_CONF, IPSEC_FILE_PRIVATE, __func__);
    if (!conf.open()) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "ipsec internal error --- ipsec write setkey:ceate .conf!\n");
        return -1;
    }
    if (msg && writeChange(makePass(conf.get(), __func__, default_ifName), *msg) == -1)
        return -1;
    return conf.commit() ? 0 : -1;
}

void ipsec_deleteAllNat(const char *ifName) {
    const Pass p = makePass(nullptr, __func__, ifName);
    ipsec_walkTunnels(__func__, "ipsec_setkey", [&](const IPSecCfgObject &o, InstanceIdStack &) {
        Tunnel t;
        if (tunnelFromObject(p, o, &t))
            runNat(p, NAT_DELETE, t.local, t.remote, {"ifName", p.ifName.s}, t.entryID);
        return true;
    });
}
