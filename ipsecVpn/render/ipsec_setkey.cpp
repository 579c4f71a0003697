/*
 * Writer of setkey.conf, the kernel's SA and policy tables as
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
#include <string>
#include <vector>

#include "core/ipsec_state.h"
#include "framework/ipsec_reqid.h"
#include "framework/ipsec_walk.h"
#include "monitor/ipsec_delete.h"
#include "proc/ipsec_shell.h"
#include "render/ipsec_addr.h"
#include "render/ipsec_file.h"
#include "render/ipsec_paths.h"
#include "render/ipsec_text.h"
#include "render/ipsec_words.h"

namespace {

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
 * commands run), the entry point's name and line that its log lines carry
 * (the line of the makePass call by default), and the WAN state read once. */
struct Pass {
    FILE *conf;
    const char *func;
    int line;
    Text16 wan;
    Text16 ifName;
};

Pass makePass(FILE *conf, const char *func, const char *ifName, int line = __builtin_LINE()) {
    return Pass{conf, func, line, bounded(l_wan_ip), bounded(ifName)};
}

/* Everything of one tunnel that reaches the file or the shell. */
struct Tunnel {
    UINT32 entryID;
    const char *name; /* for log lines */
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
    FIELD_SPI,     /* 1 to 8 hex digits, 100 or more (setkey takes no "0x" alone) */
    FIELD_KEY,     /* hex digits; their number is checked with the algorithm */
    FIELD_ALGO,    /* a plain word; which words, with the key */
};

struct Field {
    const char *name;
    const char *text;
    FieldKind kind;
};

const char *fieldFault(const Field &f) {
    switch (f.kind) {
    case FIELD_ADDRESS:
        return ipsec_isDottedQuad(f.text) ? nullptr : "is not a dotted quad";
    case FIELD_SPI:
        if (!ipsec_isHex(f.text, 8))
            return "is not at most 8 hexadecimal digits";
        return ipsec_manualSpiFault(f.text);
    case FIELD_KEY:
        return ipsec_isHex(f.text, 4096) ? nullptr : "is not hexadecimal digits";
    case FIELD_ALGO:
        return ipsec_isWord(f.text) ? nullptr : "is not a plain word";
    }
    return "is not known";
}

/* The first field that is not what its place in the statement needs, with
 * why in `*why`; null when all are. */
const char *faultyField(const Field *fields, size_t n, const char **why) {
    for (size_t i = 0; i < n; i++)
        if ((*why = fieldFault(fields[i])) != nullptr)
            return fields[i].name;
    return nullptr;
}

constexpr const char *kRequestIdFault = IPSEC_REQID_FAULT;

bool requestIds(const Pass &p, UINT32 entryID, const char *name, UINT32 *out, UINT32 *in) {
    if (ipsec_kernelReqids(entryID, out, in))
        return true;
    ipsec_logSkipped(p.func, p.line, entryID, name, "entryID", kRequestIdFault);
    return false;
}

const char *nameOf(const IPSecCfgObject &o) {
    return ipsec_isSafeText(o.connName, "") ? ipsec_txt(o.connName) : "?";
}

/* A tunnel that a full rewrite installs: enabled, with a remote address. */
bool isUsable(const IPSecCfgObject &o) {
    return o.enable && o.realRemoteIP && o.realRemoteIP[0] && std::strcmp(o.realRemoteIP, IPSEC_NO_ADDRESS) != 0;
}

/* Why a usable tunnel's entries cannot be written: the field, with why in
 * `*why`; null when `*t` holds them. setkey stops the whole file at an
 * algorithm it does not know or a key length the kernel does not take. */
const char *tunnelFault(const Pass &p, const IPSecCfgObject &o, Tunnel *t, const char **why) {
    t->entryID = o.entryID;
    t->name = nameOf(o);
    if (!ipsec_kernelReqids(o.entryID, &t->outReqid, &t->inReqid)) {
        *why = kRequestIdFault;
        return "entryID";
    }
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
    if (const char *field = faultyField(fields, t->manual ? 10 : 4, why))
        return field;
    if (!t->manual)
        return nullptr;
    const char *field = nullptr;
    if ((*why = ipsec_manualCipherFault(t->encAlgo, t->encKey, &field)) != nullptr ||
        (*why = ipsec_manualAuthFault(t->authAlgo, t->authKey, &field)) != nullptr)
        return field;
    return nullptr;
}

/* The usable tunnel's fields, checked; false (with a line when it is usable)
 * when it is not written. */
bool tunnelFromObject(const Pass &p, const IPSecCfgObject &o, Tunnel *t) {
    if (!isUsable(o))
        return false;
    const char *why = nullptr;
    if (const char *field = tunnelFault(p, o, t, &why)) {
        ipsec_logSkipped(p.func, p.line, o.entryID, t->name, field, why);
        return false;
    }
    return true;
}

/* The same without a line: for tunnels other than the one a pass is about. */
bool tunnelQuietly(const Pass &p, const IPSecCfgObject &o, Tunnel *t) {
    const char *why = nullptr;
    return isUsable(o) && tunnelFault(p, o, t, &why) == nullptr;
}

/* The policies' selectors, as the kernel tells two tunnels' policies apart. */
std::string pairOf(const Selector &local, const Selector &remote) {
    return std::string(local.ip) + "/" + std::to_string(local.prefix) + " " + remote.ip + "/" +
           std::to_string(remote.prefix);
}

std::string pairOf(const Tunnel &t) {
    return pairOf(t.local, t.remote);
}

/* The line of a tunnel whose subnet pair an earlier tunnel holds: the kernel
 * would refuse its policies as existing. */
void logPairTaken(const Pass &p, UINT32 entryID, const char *name, UINT32 holder) {
    char why[64];
    snprintf(why, sizeof(why), "are those of tunnel %u", holder);
    ipsec_logSkipped(p.func, p.line, entryID, name, "localIPAddress and remoteIPAddress", why);
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
            log_log(ZOR_LOG_ERR, p.func, p.line, "ipsec tunnel %u: %s is not a dotted quad, iptables not run\n",
                    entryID, sel->field);
            return false;
        }
    }
    if (!ipsec_isIfName(ifName.text)) {
        log_log(ZOR_LOG_ERR, p.func, p.line, "ipsec tunnel %u: %s is not an interface name, iptables not run\n",
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
 * request id, its two policies and its NAT rule. True, with the policies'
 * subnet pair in `*pair`, when it did; `name` (the tunnel's, when known)
 * names it in the line of a removal skipped. */
bool removeOld(const Pass &p, const IpsecCfgChangedMsgBody &msg, const char *name, std::string *pair) {
    OldTunnel old{bounded(msg.local_ip), bounded(msg.remote_ip), bounded(msg.real_remote_gw_ip),
                  bounded(msg.local_mask), bounded(msg.remote_mask)};
    if (!msg.enable || std::strcmp(old.gw.s, IPSEC_NO_ADDRESS) == 0)
        return false;
    UINT32 outReqid, inReqid;
    if (!requestIds(p, msg.entryID, name, &outReqid, &inReqid))
        return false;
    const Field fields[] = {{"l_wan_ip", p.wan.s, FIELD_ADDRESS},
                            {"real_remote_gw_ip", old.gw.s, FIELD_ADDRESS},
                            {"local_ip", old.localIp.s, FIELD_ADDRESS},
                            {"remote_ip", old.remoteIp.s, FIELD_ADDRESS}};
    const char *why = nullptr;
    if (const char *field = faultyField(fields, std::size(fields), &why)) {
        ipsec_logSkipped(p.func, p.line, msg.entryID, name, field, why);
        return false;
    }
    const Selector local{old.localIp.s, ipsec_selectorPrefix(msg.local_ip_mode, old.localMask.s), "local_ip"};
    const Selector remote{old.remoteIp.s, ipsec_selectorPrefix(msg.remote_ip_mode, old.remoteMask.s), "remote_ip"};
    ipsec_delete_Sa_reqid(outReqid, p.conf, p.wan.s, old.gw.s);
    ipsec_delete_Sa_reqid(inReqid, p.conf, old.gw.s, p.wan.s);
    writePolicyDelete(p.conf, local, remote, "out");
    writePolicyDelete(p.conf, remote, local, "in");
    runNat(p, NAT_DELETE, local, remote, {"default_ifName", p.ifName.s}, msg.entryID);
    *pair = pairOf(local, remote);
    return true;
}

bool sameInstance(const InstanceIdStack &a, const InstanceIdStack &b) {
    if (a.currentDepth != b.currentDepth)
        return false;
    for (size_t i = 0; i < std::size(a.instance); i++)
        if (a.instance[i] != b.instance[i])
            return false;
    return true;
}

/* Installs again a tunnel whose policies a removal took with its subnet
 * pair: its manual SAs, if any, are replaced, as they may or may not be in
 * the kernel. */
void reinstall(const Pass &p, const Tunnel &t) {
    if (t.manual) {
        ipsec_delete_Sa_reqid(t.outReqid, p.conf, t.wanIp, t.gw);
        ipsec_delete_Sa_reqid(t.inReqid, p.conf, t.gw, t.wanIp);
    }
    writeTunnel(p.conf, t);
    runNat(p, NAT_INSERT, t.local, t.remote, {"default_ifName", p.ifName.s}, t.entryID);
}

/* What the other tunnels say of a change's two subnet pairs. A pair belongs
 * to the first tunnel in data-model order that a full rewrite installs with
 * it, as in the full rewrite. */
struct PairWalk {
    bool changedWins = false; /* the changed tunnel is the first with its new pair */
    UINT32 holder = 0;        /* else the tunnel that is */
    bool displaced = false;   /* a later tunnel has the new pair: its policies may be in */
};

/* Walks the tunnels for the changed one (`iid`: a deleted one still listed
 * is passed over; its new entries `t` when it is installed, else null):
 * reinstalls the first other tunnel
 * that holds the removed pair `oldPair` (empty when nothing was removed),
 * and finds who holds the new pair. -1 when the lock is refused. */
int walkPairs(const Pass &p, const InstanceIdStack *iid, const Tunnel *t, const std::string &oldPair, PairWalk *w) {
    const std::string newPair = t ? pairOf(*t) : std::string();
    bool changedSeen = false, holderSeen = false, oldTaken = oldPair.empty();
    auto visit = [&](const IPSecCfgObject &o, InstanceIdStack &at) {
        if (sameInstance(at, *iid)) {
            changedSeen = true;
            if (t) {
                w->changedWins = !holderSeen;
                oldTaken = oldTaken || newPair == oldPair;
            }
            return true;
        }
        Tunnel u;
        if (!tunnelQuietly(p, o, &u))
            return true;
        const std::string pair = pairOf(u);
        if (!oldTaken && pair == oldPair) {
            oldTaken = true;
            reinstall(p, u);
        }
        if (t && pair == newPair) {
            if (!changedSeen && !holderSeen) {
                holderSeen = true;
                w->holder = u.entryID;
            } else if (w->changedWins) {
                w->displaced = true;
                logPairTaken(p, u.entryID, u.name, t->entryID);
            }
        }
        return true;
    };
    const ZorRet ret = ipsec_walkTunnels(p.func, "ipsec_setkey", visit, p.line);
    if (t && !changedSeen)
        w->changedWins = !holderSeen;
    return ret == ZORRET_SUCCESS ? 0 : -1;
}

/* Reads the changed tunnel's object, holding the lock for this read only. */
ZorRet readObject(const Pass &p, const IpsecCfgChangedMsgBody &msg, ZorObj<IPSecCfgObject> &obj) {
    InstanceIdStack iid;
    std::memcpy(&iid, &msg.stack, sizeof(iid));
    ZorLock lock(p.func);
    ZorRet ret = lock.acquire("ipsec_setkey", p.line);
    if (ret != ZORRET_SUCCESS)
        return ret;
    ret = zorObj_get(ZOR_OID_IPSEC_CFG, &iid, 0, obj.out());
    if (ret == ZORRET_SUCCESS && obj)
        return ZORRET_SUCCESS;
    if (msg.op == IPSEC_CFG_OP_ADD)
        log_log(ZOR_LOG_ERR, p.func, p.line, "ipsec internal error --- ipsec write setkey:get cfg!, ret:%d\n", ret);
    else
        log_log(ZOR_LOG_ERR, p.func, p.line, "ipsec internal error --- ipsec write setkey:get cfg!\n");
    return ret == ZORRET_SUCCESS ? ZORRET_OBJECT_NOT_FOUND : ret;
}

/* The full rewrite's walk, under the global lock: the count, or -1. A
 * tunnel whose subnet pair an earlier one holds is skipped: the kernel would
 * refuse its policies, and its tunnel could never carry traffic. */
int writeAllTunnels(const Pass &p) {
    fprintf(p.conf, "flush;\n");
    fprintf(p.conf, "spdflush;\n");
    const Text16 oldIfName = bounded(old_default_ifName);
    int count = 0;
    std::vector<std::pair<std::string, UINT32>> pairs; /* written, with their tunnel */
    auto visit = [&](const IPSecCfgObject &o, InstanceIdStack &) {
        Tunnel t;
        if (!tunnelFromObject(p, o, &t))
            return true;
        const std::string pair = pairOf(t);
        for (const auto &held : pairs) {
            if (held.first == pair) {
                logPairTaken(p, t.entryID, t.name, held.second);
                return true;
            }
        }
        pairs.emplace_back(pair, t.entryID);
        count++;
        writeTunnel(p.conf, t);
        /* The insert takes back the rule on default_ifName itself. */
        if (oldIfName.s[0] && std::strcmp(oldIfName.s, p.ifName.s) != 0)
            runNat(p, NAT_DELETE, t.local, t.remote, {"old_default_ifName", oldIfName.s}, t.entryID);
        runNat(p, NAT_INSERT, t.local, t.remote, {"default_ifName", p.ifName.s}, t.entryID);
        return true;
    };
    const ZorRet ret = ipsec_walkTunnels(p.func, "ipsec_setkey", visit, p.line);
    return ret == ZORRET_SUCCESS ? count : -1;
}

/* The one tunnel's delta: 0, or -1 when its object cannot be read. The
 * other tunnels are looked at for the two subnet pairs involved, so that the
 * kernel ends with what a full rewrite would give it: a pair the removal
 * took from another tunnel goes back to it, and the changed tunnel gets its
 * new pair only when no earlier tunnel holds it. */
int writeChange(const Pass &p, const IpsecCfgChangedMsgBody &msg) {
    PairWalk w;
    std::string oldPair;
    if (msg.op == IPSEC_CFG_OP_DELETE) {
        if (removeOld(p, msg, "?", &oldPair))
            return walkPairs(p, &msg.stack, nullptr, oldPair, &w);
        return 0;
    }
    if (msg.op != IPSEC_CFG_OP_ADD && msg.op < IPSEC_CFG_OP_CHANGE)
        return 0;
    /* Read before anything is written: on failure nothing is removed. */
    ZorObj<IPSecCfgObject> obj;
    if (readObject(p, msg, obj) != ZORRET_SUCCESS)
        return -1;
    if (msg.op >= IPSEC_CFG_OP_CHANGE && !removeOld(p, msg, nameOf(*obj.get()), &oldPair))
        oldPair.clear();
    /* A tunnel added while disabled is not installed either: its later delete
     * (whose body says it was disabled) would never remove it. */
    Tunnel t;
    const bool usable = tunnelFromObject(p, *obj.get(), &t);
    if (!usable && oldPair.empty())
        return 0;
    if (walkPairs(p, &msg.stack, usable ? &t : nullptr, oldPair, &w) == -1)
        return -1;
    if (!usable)
        return 0;
    if (!w.changedWins) {
        logPairTaken(p, t.entryID, t.name, w.holder);
        return 0;
    }
    if (w.displaced && pairOf(t) != oldPair) {
        writePolicyDelete(p.conf, t.local, t.remote, "out");
        writePolicyDelete(p.conf, t.remote, t.local, "in");
    }
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

bool ipsec_kernelReqids(UINT32 entryID, UINT32 *outReqid, UINT32 *inReqid) {
    constexpr UINT32 kReqidMax = 0x3fff;
    return entryID <= (kReqidMax - 2u) / 2u && ipsec_reqids(entryID, outReqid, inReqid);
}

bool ipsec_setkeyTakesTunnel(const IPSecCfgObject &o, std::string *pair) {
    const Pass p = makePass(nullptr, __func__, default_ifName);
    Tunnel t;
    if (!tunnelQuietly(p, o, &t))
        return false;
    *pair = pairOf(t);
    return true;
}

std::string ipsec_subnetPair(const IPSecCfgObject &o) {
    const Selector local{ipsec_txt(o.localIPAddress), ipsec_selectorPrefix(o.localIPMode, o.localMask), ""};
    const Selector remote{ipsec_txt(o.remoteIPAddress), ipsec_selectorPrefix(o.remoteIPMode, o.remoteMask), ""};
    return pairOf(local, remote);
}

void ipsec_logSkipped(const char *func, int line, UINT32 entryID, const char *name, const char *field,
                      const char *why) {
    log_log(ZOR_LOG_ERR, func, line, "tunnel %u (%s) skipped: %s %s\n", entryID, name, field, why);
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
