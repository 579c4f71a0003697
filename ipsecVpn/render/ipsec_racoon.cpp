/*
 * Writer of the IKE key daemon's files: racoon.conf (one remote block per
 * gateway, one sainfo block per tunnel) and psk.txt (one key line per IKE
 * tunnel), rewritten whole from the enabled tunnels of the data model.
 */
#include "ipsec_racoon.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/ipsec_obj.h"
#include "proc/ipsec_shell.h"
#include "render/ipsec_addr.h"
#include "render/ipsec_file.h"
#include "render/ipsec_text.h"

/* Gateways that opened a remote block in this pass: slot k belongs to the
 * k-th IKE tunnel written, empty when its gateway was already written. Only
 * slots below the pass's write count are consulted; it grows as needed. */
std::vector<std::string> l_gw_racoon;

namespace {

const char *const FUNC = "ipsec_writeRacoon";

bool isFqdn(const char *idType) {
    return strcmp(ipsec_txt(idType), "fqdn") == 0;
}

int prefixLen(UINT32 mode, const char *mask) {
    return mode == 0 ? ipsec_calPrefixLen(ipsec_txt(mask)) : 32;
}

/* Outside racoon.conf's quoted strings '#' starts a comment that would swallow
 * the statement's ';', so it is refused along with the statement characters. */
constexpr const char *CONF_FORBIDDEN = ";\"{}#";
/* The psk.txt identifier ends at the first blank: a blank would shift the key. */
constexpr const char *PSK_ID_FORBIDDEN = ";\"{}# ";

struct TextField {
    const char *name;
    const char *value;
    const char *forbidden;
    bool required; /* an argument of its statement: the key daemon refuses it empty */
};

/* Why an IKE tunnel cannot be written, or null when it can. The key daemon
 * refuses the whole file for one bad statement, so a tunnel is skipped when
 * one of the fields its settings write would hold a character that ends a
 * statement or starts another, or would leave a statement without its
 * argument. */
const char *unwritableField(const IPSecCfgObject &o, const char **why) {
    const bool peerFqdn = isFqdn(o.ph1PeerIdType);
    const bool myFqdn = isFqdn(o.ph1MyIdType);
    const TextField fields[] = {
        {"realRemoteIP", o.realRemoteIP, peerFqdn ? CONF_FORBIDDEN : PSK_ID_FORBIDDEN, true},
        {"ph1PeerId", peerFqdn ? o.ph1PeerId : nullptr, PSK_ID_FORBIDDEN, peerFqdn},
        {"PSK", o.PSK, "", false},
        {"ph1Mode", o.ph1Mode, CONF_FORBIDDEN, true},
        {"ph1MyId", myFqdn ? o.ph1MyId : nullptr, CONF_FORBIDDEN, myFqdn},
        {"ph1EncryptionAlo", o.ph1EncryptionAlo, CONF_FORBIDDEN, true},
        {"ph1IntegrityAlgo", o.ph1IntegrityAlgo, CONF_FORBIDDEN, true},
        {"ph1DHGroup", o.ph1DHGroup, CONF_FORBIDDEN, true},
        {"localIPAddress", o.localIPAddress, CONF_FORBIDDEN, true},
        {"remoteIPAddress", o.remoteIPAddress, CONF_FORBIDDEN, true},
        {"ph2DHGroup", o.perfectFSEn == 1 ? o.ph2DHGroup : nullptr, CONF_FORBIDDEN, o.perfectFSEn == 1},
        {"ph2EncryptionAlo", o.ph2EncryptionAlo, CONF_FORBIDDEN, true},
        {"ph2IntegrityAlgo", o.ph2IntegrityAlgo, CONF_FORBIDDEN, true},
    };
    for (const TextField &f : fields) {
        if (!ipsec_isSafeText(f.value, f.forbidden)) {
            *why = "holds a character not allowed there";
            return f.name;
        }
        if (f.required && *ipsec_txt(f.value) == '\0') {
            *why = "is not set";
            return f.name;
        }
    }
    /* Only a pre-shared key has a phase-1 proposal; a remote block without
     * one is refused with every other tunnel's. */
    if (o.authMethod != 0) {
        *why = "is not a pre-shared key";
        return "authMethod";
    }
    return nullptr;
}

void writePskLine(FILE *psk, const IPSecCfgObject &o) {
    const char *id = isFqdn(o.ph1PeerIdType) ? o.ph1PeerId : o.realRemoteIP;
    fprintf(psk, "%s %s\n", ipsec_txt(id), ipsec_txt(o.PSK));
}

void writeRemoteBlock(FILE *conf, const IPSecCfgObject &o, UINT32 tunnelNum) {
    fprintf(conf, "remote %s {\n", ipsec_txt(o.realRemoteIP));
    fprintf(conf, "exchange_mode %s;\n", ipsec_txt(o.ph1Mode));
    if (isFqdn(o.ph1PeerIdType))
        fputs("verify_identifier on;\n", conf);
    if (isFqdn(o.ph1MyIdType))
        fprintf(conf, "my_identifier %s \"%s\";\n", ipsec_txt(o.ph1MyIdType), ipsec_txt(o.ph1MyId));
    if (isFqdn(o.ph1PeerIdType))
        fprintf(conf, "peers_identifier %s \"%s\";\n", ipsec_txt(o.ph1PeerIdType), ipsec_txt(o.ph1PeerId));
    fprintf(conf, "lifetime time %u sec;\n", o.ph1KeyTime);
    fputs("proposal_check obey;\n", conf);
    if (o.DPD == 1) {
        fputs("dpd_delay 60;\n", conf);
        fputs("dpd_retry 3;\n", conf);
        fprintf(conf, "dpd_maxfail %lu;\n", 20ul * tunnelNum);
    } else {
        fputs("dpd_delay 0;\n", conf);
    }
    fputs("proposal {\n", conf);
    fprintf(conf, "encryption_algorithm %s;\n", ipsec_txt(o.ph1EncryptionAlo));
    fprintf(conf, "hash_algorithm %s;\n", ipsec_txt(o.ph1IntegrityAlgo));
    fprintf(conf, "authentication_method %s;\n", "pre_shared_key");
    fprintf(conf, "dh_group %s;\n", ipsec_txt(o.ph1DHGroup));
    fputs("}\n", conf);
    fputs("}\n\n", conf);
}

void writeSainfoBlock(FILE *conf, const IPSecCfgObject &o) {
    fprintf(conf, "sainfo address %s/%d any address %s/%d any {\n", ipsec_txt(o.localIPAddress),
            prefixLen(o.localIPMode, o.localMask), ipsec_txt(o.remoteIPAddress),
            prefixLen(o.remoteIPMode, o.remoteMask));
    if (o.perfectFSEn == 1)
        fprintf(conf, "pfs_group %s;\n", ipsec_txt(o.ph2DHGroup));
    fprintf(conf, "lifetime time %u sec;\n", o.ph2KeyTime);
    fprintf(conf, "encryption_algorithm %s;\n", ipsec_txt(o.ph2EncryptionAlo));
    fprintf(conf, "authentication_algorithm %s;\n", ipsec_txt(o.ph2IntegrityAlgo));
    fputs("compression_algorithm deflate;\n", conf);
    fputs("}\n\n", conf);
}

/* One IKE tunnel: its key line, its remote block when it is the first tunnel
 * of the pass on its gateway, its sainfo block. False when it was skipped. */
bool writeIkeTunnel(FILE *conf, FILE *psk, const IPSecCfgObject &o, UINT32 tunnelNum, UINT32 writeCount) {
    const char *why = nullptr;
    if (const char *field = unwritableField(o, &why)) {
        const char *name = ipsec_isSafeText(o.connName, "") ? ipsec_txt(o.connName) : "?";
        log_log(ZOR_LOG_ERR, FUNC, __LINE__, "tunnel %u (%s) skipped: %s %s\n", o.entryID, name, field, why);
        return false;
    }
    writePskLine(psk, o);
    const std::string gw = ipsec_txt(o.realRemoteIP);
    bool seen = false;
    for (UINT32 racoon_index = 0; racoon_index < writeCount && !seen; racoon_index++)
        seen = (l_gw_racoon[racoon_index] == gw);
    if (l_gw_racoon.size() <= writeCount)
        l_gw_racoon.resize(writeCount + 1);
    l_gw_racoon[writeCount] = seen ? std::string() : gw;
    if (!seen)
        writeRemoteBlock(conf, o, tunnelNum);
    writeSainfoBlock(conf, o);
    return true;
}

UINT32 countEnabled() {
    UINT32 tunnelNum = 0;
    InstanceIdStack iid = EMPTY_INSTANCE_ID_STACK;
    ZorObj<IPSecCfgObject> obj;
    while (zorObj_getNext(ZOR_OID_IPSEC_CFG, &iid, obj.out()) == ZORRET_SUCCESS)
        if (obj->enable == 1)
            tunnelNum++;
    return tunnelNum;
}

/* Both walks under the global lock: the number of IKE tunnels written, or -1. */
int writeTunnels(FILE *conf, FILE *psk) {
    ZorLock lock(FUNC);
    ZorRet ret = lock.acquire();
    if (ret != ZORRET_SUCCESS) {
        log_log(ZOR_LOG_ERR, FUNC, __LINE__, "ipsec_setkey failed to get lock, ret:%d", ret);
        return -1;
    }
    const UINT32 tunnelNum = countEnabled();

    UINT32 writeCount = 0;
    InstanceIdStack iid = EMPTY_INSTANCE_ID_STACK;
    ZorObj<IPSecCfgObject> obj;
    while (zorObj_getNext(ZOR_OID_IPSEC_CFG, &iid, obj.out()) == ZORRET_SUCCESS) {
        if (obj->enable == 0)
            continue;
        /* The copy stays valid without the lock; other clients may go on
         * meanwhile. */
        lock.release();
        if (obj->keyExMethod == 0 && writeIkeTunnel(conf, psk, *obj.get(), tunnelNum, writeCount))
            writeCount++;
        ret = lock.acquire();
        if (ret != ZORRET_SUCCESS) {
            log_log(ZOR_LOG_ERR, FUNC, __LINE__, "ipsec_setkey failed to get lock, ret:%d", ret);
            return -1;
        }
    }
    obj.reset();
    lock.release();
    return static_cast<int>(writeCount);
}

} // namespace

/* psk.txt is private from its first byte: created 0600. */
int ipsec_writeRacoon(void) {
    IpsecFile conf(IPSEC_RACOON_CONF, 0666, FUNC);
    if (!conf.open())
        return -1;
    fputs("path pre_shared_key \"/var/ipsec/psk.txt\";\n", conf.get());
    IpsecFile psk(IPSEC_PSK_TXT, 0600, FUNC);
    if (!psk.open())
        return -1;
    const int written = writeTunnels(conf.get(), psk.get());
    /* The key file first: a configuration naming gateways without keys for
     * them is what must never be loaded. */
    if (written == -1 || !psk.commit() || !conf.commit())
        return -1;
    ipsec_runCommand("chmod 600 /var/ipsec/psk.txt");
    return written;
}
