/*
 * Writer of /var/ipsec/setkey.conf, the kernel's SA and policy tables as
 * setkey input, and runner of the tunnels' NAT exemption rules.
 *
 * Each statement and each command is built by one function below, which is
 * also where its fields are checked: nothing from the data model or from a
 * message reaches the file or the shell unchecked.
 */
#include "ipsec_setkey.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "../core/ipsec_state.h"
#include "../framework/ipsec_obj.h"
#include "../monitor/ipsec_delete.h"
#include "../proc/ipsec_shell.h"
#include "ipsec_addr.h"
#include "ipsec_file.h"
#include "ipsec_text.h"

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

int prefixLength(UINT32 mode, const char *mask) {
    return mode == 0 ? ipsec_calPrefixLen(ipsec_txt(mask)) : 32;
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
bool fieldsValid(const Field *fields, size_t n, UINT32 entryID, const char *func) {
    for (size_t i = 0; i < n; i++) {
        if (const char *fault = fieldFault(fields[i])) {
            log_log(ZOR_LOG_ERR, func, __LINE__, "ipsec tunnel %u: %s is not %s, tunnel skipped\n", entryID,
                    fields[i].name, fault);
            return false;
        }
    }
    return true;
}

bool requestIds(UINT32 entryID, UINT32 *out, UINT32 *in, const char *func) {
    if (ipsec_reqids(entryID, out, in))
        return true;
    log_log(ZOR_LOG_ERR, func, __LINE__, "ipsec tunnel %u: entryID too large for its request ids, tunnel skipped\n",
            entryID);
    return false;
}

/* A tunnel that a full rewrite installs: enabled, with a remote address. */
bool isUsable(const IPSecCfgObject &o) {
    return o.enable && o.realRemoteIP && o.realRemoteIP[0] && std::strcmp(o.realRemoteIP, kNoAddress) != 0;
}

bool tunnelFromObject(const IPSecCfgObject &o, const char *wanIp, Tunnel *t, const char *func) {
    t->entryID = o.entryID;
    if (!requestIds(o.entryID, &t->outReqid, &t->inReqid, func))
        return false;
    t->local = {ipsec_txt(o.localIPAddress), prefixLength(o.localIPMode, o.localMask), "localIPAddress"};
    t->remote = {ipsec_txt(o.remoteIPAddress), prefixLength(o.remoteIPMode, o.remoteMask), "remoteIPAddress"};
    t->wanIp = wanIp;
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
    return fieldsValid(fields, t->manual ? 10 : 4, o.entryID, func);
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

bool natFieldsValid(const Selector &local, const NamedText &ifName, const Selector &remote, UINT32 entryID,
                    const char *func) {
    for (const Selector *sel : {&local, &remote}) {
        if (!ipsec_isDottedQuad(sel->ip)) {
            log_log(ZOR_LOG_ERR, func, __LINE__, "ipsec tunnel %u: %s is not a dotted quad, iptables not run\n",
                    entryID, sel->field);
            return false;
        }
    }
    if (!ipsec_isIfName(ifName.text)) {
        log_log(ZOR_LOG_ERR, func, __LINE__, "ipsec tunnel %u: %s is not an interface name, iptables not run\n",
                entryID, ifName.name);
        return false;
    }
    return true;
}

void runNatCommand(NatOp op, const Selector &local, const char *ifName, const Selector &remote) {
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

/* Runs the insert or delete command; `conf` (when given) is flushed first so
 * that the file holds every line written before the command. An insert first
 * takes back an equal rule: a repeated add, or a change whose old body says
 * the tunnel was off, would otherwise leave a second copy that no later
 * delete removes, and that traffic would stay exempt from NAT. */
void runNat(NatOp op, const Selector &local, const NamedText &ifName, const Selector &remote, UINT32 entryID,
            FILE *conf, const char *func) {
    if (!natFieldsValid(local, ifName, remote, entryID, func))
        return;
    if (conf)
        fflush(conf);
    if (op == NAT_INSERT)
        runNatCommand(NAT_DELETE, local, ifName.text, remote);
    runNatCommand(op, local, ifName.text, remote);
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
void removeOld(FILE *f, const IpsecCfgChangedMsgBody &msg, const Text16 &wan, const Text16 &ifName, const char *func) {
    OldTunnel old{bounded(msg.local_ip), bounded(msg.remote_ip), bounded(msg.real_remote_gw_ip),
                  bounded(msg.local_mask), bounded(msg.remote_mask)};
    if (!msg.enable || std::strcmp(old.gw.s, kNoAddress) == 0)
        return;
    UINT32 outReqid, inReqid;
    if (!requestIds(msg.entryID, &outReqid, &inReqid, func))
        return;
    const Field fields[] = {{"l_wan_ip", wan.s, FIELD_ADDRESS},
                            {"real_remote_gw_ip", old.gw.s, FIELD_ADDRESS},
                            {"local_ip", old.localIp.s, FIELD_ADDRESS},
                            {"remote_ip", old.remoteIp.s, FIELD_ADDRESS}};
    if (!fieldsValid(fields, sizeof(fields) / sizeof(fields[0]), msg.entryID, func))
        return;
    const Selector local{old.localIp.s, prefixLength(msg.local_ip_mode, old.localMask.s), "local_ip"};
    const Selector remote{old.remoteIp.s, prefixLength(msg.remote_ip_mode, old.remoteMask.s), "remote_ip"};
    ipsec_delete_Sa_reqid(outReqid, f, wan.s, old.gw.s);
    ipsec_delete_Sa_reqid(inReqid, f, old.gw.s, wan.s);
    writePolicyDelete(f, local, remote, "out");
    writePolicyDelete(f, remote, local, "in");
    runNat(NAT_DELETE, local, {"default_ifName", ifName.s}, remote, msg.entryID, f, func);
}

/* Reads the changed tunnel's object, holding the lock for this read only. */
bool readObject(const IpsecCfgChangedMsgBody &msg, ZorObj<IPSecCfgObject> &obj, const char *func) {
    InstanceIdStack iid;
    std::memcpy(&iid, &msg.stack, sizeof(iid));
    ZorLock lock(func);
    ZorRet ret = lock.acquire();
    if (ret != ZORRET_SUCCESS) {
        log_log(ZOR_LOG_ERR, func, __LINE__, "ipsec_setkey failed to get lock, ret:%d", ret);
        return false;
    }
    ret = zorObj_get(ZOR_OID_IPSEC_CFG, &iid, 0, obj.out());
    if (ret == ZORRET_SUCCESS && obj)
        return true;
    if (msg.op == IPSEC_CFG_OP_ADD)
        log_log(ZOR_LOG_ERR, func, __LINE__, "ipsec internal error --- ipsec write setkey:get cfg!, ret:%d\n", ret);
    else
        log_log(ZOR_LOG_ERR, func, __LINE__, "ipsec internal error --- ipsec write setkey:get cfg!\n");
    return false;
}

/* The full rewrite's walk, under the global lock: the count, or -1. */
int writeAllTunnels(FILE *f, const char *func) {
    fprintf(f, "flush;\n");
    fprintf(f, "spdflush;\n");
    ZorLock lock(func);
    const ZorRet ret = lock.acquire();
    if (ret != ZORRET_SUCCESS) {
        log_log(ZOR_LOG_ERR, func, __LINE__, "ipsec_setkey failed to get lock, ret:%d", ret);
        return -1;
    }
    const Text16 wan = bounded(l_wan_ip);
    const Text16 ifName = bounded(default_ifName);
    const Text16 oldIfName = bounded(old_default_ifName);
    int count = 0;
    InstanceIdStack iid = EMPTY_INSTANCE_ID_STACK;
    ZorObj<IPSecCfgObject> obj;
    while (zorObj_getNext(ZOR_OID_IPSEC_CFG, &iid, obj.out()) == ZORRET_SUCCESS && obj) {
        Tunnel t;
        if (!isUsable(*obj.get()) || !tunnelFromObject(*obj.get(), wan.s, &t, func))
            continue;
        count++;
        writeTunnel(f, t);
        /* The insert takes back the rule on default_ifName itself. */
        if (oldIfName.s[0] && std::strcmp(oldIfName.s, ifName.s) != 0)
            runNat(NAT_DELETE, t.local, {"old_default_ifName", oldIfName.s}, t.remote, t.entryID, f, func);
        runNat(NAT_INSERT, t.local, {"default_ifName", ifName.s}, t.remote, t.entryID, f, func);
    }
    /* The copy goes back first, then the lock. */
    return count;
}

/* The one tunnel's delta: 0, or -1 when its object cannot be read. */
int writeChange(FILE *f, const IpsecCfgChangedMsgBody &msg, const char *func) {
    const Text16 wan = bounded(l_wan_ip);
    const Text16 ifName = bounded(default_ifName);
    if (msg.op == IPSEC_CFG_OP_DELETE) {
        removeOld(f, msg, wan, ifName, func);
        return 0;
    }
    if (msg.op != IPSEC_CFG_OP_ADD && msg.op < IPSEC_CFG_OP_CHANGE)
        return 0;
    /* Read before anything is written: on failure nothing is removed. */
    ZorObj<IPSecCfgObject> obj;
    if (!readObject(msg, obj, func))
        return -1;
    if (msg.op >= IPSEC_CFG_OP_CHANGE)
        removeOld(f, msg, wan, ifName, func);
    /* A tunnel added while disabled is not installed either: its later delete
     * (whose body says it was disabled) would never remove it. */
    Tunnel t;
    if (!isUsable(*obj.get()) || !tunnelFromObject(*obj.get(), wan.s, &t, func))
        return 0;
    writeTunnel(f, t);
    runNat(NAT_INSERT, t.local, {"default_ifName", ifName.s}, t.remote, t.entryID, f, func);
    return 0;
}

} // namespace

/* setkey.conf holds manual keys: mode 0600 from its creation on. */
int ipsec_writeAllSetkey(void) {
    static const char *const func = "ipsec_writeAllSetkey";
    IpsecFile conf(IPSEC_SETKEY_CONF, 0600, func);
    if (!conf.open())
        return -1;
    const int count = writeAllTunnels(conf.get(), func);
    if (count == -1 || !conf.commit())
        return -1;
    return count;
}

int ipsec_writeSetkey(const IpsecCfgChangedMsgBody *msg) {
    static const char *const func = "ipsec_writeSetkey";
    IpsecFile conf(IPSEC_SETKEY_CONF, 0600, func);
    if (!conf.open()) {
        log_log(ZOR_LOG_ERR, func, __LINE__, "ipsec internal error --- ipsec write setkey:ceate .conf!\n");
        return -1;
    }
    if (msg && writeChange(conf.get(), *msg, func) == -1)
        return -1;
    return conf.commit() ? 0 : -1;
}

void ipsec_deleteAllNat(const char *ifName) {
    static const char *const func = "ipsec_deleteAllNat";
    ZorLock lock(func);
    const ZorRet ret = lock.acquire();
    if (ret != ZORRET_SUCCESS) {
        log_log(ZOR_LOG_ERR, func, __LINE__, "ipsec_setkey failed to get lock, ret:%d", ret);
        return;
    }
    const Text16 wan = bounded(l_wan_ip);
    const Text16 name = bounded(ifName);
    InstanceIdStack iid = EMPTY_INSTANCE_ID_STACK;
    ZorObj<IPSecCfgObject> obj;
    while (zorObj_getNext(ZOR_OID_IPSEC_CFG, &iid, obj.out()) == ZORRET_SUCCESS && obj) {
        Tunnel t;
        if (isUsable(*obj.get()) && tunnelFromObject(*obj.get(), wan.s, &t, func))
            runNat(NAT_DELETE, t.local, {"ifName", name.s}, t.remote, t.entryID, nullptr, func);
    }
}
