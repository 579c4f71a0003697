/*
 * Writer of the IKE key daemon's files: racoon.conf (one remote block per
 * gateway, one sainfo block per tunnel) and psk.txt (one key line per IKE
 * tunnel), rewritten whole from the enabled tunnels of the data model.
 */
#include "render/ipsec_racoon.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/ipsec_obj.h"
#include "proc/ipsec_shell.h"
#include "render/ipsec_addr.h"
#include "render/ipsec_file.h"
#include "render/ipsec_text.h"

namespace {

bool isFqdn(const char *idType) {
    return strcmp(ipsec_txt(idType), "fqdn") == 0;
}

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
        {"realRemoteIP", o.realRemoteIP, peerFqdn ? IPSEC_RACOON_FORBIDDEN : IPSEC_PSK_ID_FORBIDDEN, true},
        {"ph1PeerId", peerFqdn ? o.ph1PeerId : nullptr, IPSEC_PSK_ID_FORBIDDEN, peerFqdn},
        {"PSK", o.PSK, "", false},
        {"ph1Mode", o.ph1Mode, IPSEC_RACOON_FORBIDDEN, true},
        {"ph1MyId", myFqdn ? o.ph1MyId : nullptr, IPSEC_RACOON_FORBIDDEN, myFqdn},
        {"ph1EncryptionAlo", o.ph1EncryptionAlo, IPSEC_RACOON_FORBIDDEN, true},
        {"ph1IntegrityAlgo", o.ph1IntegrityAlgo, IPSEC_RACOON_FORBIDDEN, true},
        {"ph1DHGroup", o.ph1DHGroup, IPSEC_RACOON_FORBIDDEN, true},
        {"localIPAddress", o.localIPAddress, IPSEC_RACOON_FORBIDDEN, true},
        {"remoteIPAddress", o.remoteIPAddress, IPSEC_RACOON_FORBIDDEN, true},
        {"ph2DHGroup", o.perfectFSEn == 1 ? o.ph2DHGroup : nullptr, IPSEC_RACOON_FORBIDDEN, o.perfectFSEn == 1},
        {"ph2EncryptionAlo", o.ph2EncryptionAlo, IPSEC_RACOON_FORBIDDEN, true},
        {"ph2IntegrityAlgo", o.ph2IntegrityAlgo, IPSEC_RACOON_FORBIDDEN, true},
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
            ipsec_selectorPrefix(o.localIPMode, o.localMask), ipsec_txt(o.remoteIPAddress),
            ipsec_selectorPrefix(o.remoteIPMode, o.remoteMask));
    if (o.perfectFSEn == 1)
        fprintf(conf, "pfs_group %s;\n", ipsec_txt(o.ph2DHGroup));
    fprintf(conf, "lifetime time %u sec;\n", o.ph2KeyTime);
    fprintf(conf, "encryption_algorithm %s;\n", ipsec_txt(o.ph2EncryptionAlo));
    fprintf(conf, "authentication_algorithm %s;\n", ipsec_txt(o.ph2IntegrityAlgo));
    fputs("compression_algorithm deflate;\n", conf);
    fputs("}\n\n", conf);
}

/* One pass's output: both files, and the gateways that opened a remote block
 * so far, one slot per IKE tunnel written (empty when its gateway already had
 * one). */
struct Pass {
    FILE *conf;
    FILE *psk;
    const char *func;
    UINT32 tunnelNum; /* enabled tunnels, for the dead-peer failure count */
    std::vector<std::string> l_gw_racoon;
};

/* One IKE tunnel: its key line, its remote block when it is the first tunnel
 * of the pass on its gateway, its sainfo block; or a line saying why it is
 * skipped. */
void writeIkeTunnel(Pass &p, const IPSecCfgObject &o) {
    const char *why = nullptr;
    if (const char *field = unwritableField(o, &why)) {
        const char *name = ipsec_isSafeText(o.connName, "") ? ipsec_txt(o.connName) : "?";
        log_log(ZOR_LOG_ERR, p.func, __LINE__, "tunnel %u (%s) skipped: %s %s\n", o.entryID, name, field, why);
        return;
    }
    writePskLine(p.psk, o);
    const std::string gw = ipsec_txt(o.realRemoteIP);
    const bool seen = std::find(p.l_gw_racoon.begin(), p.l_gw_racoon.end(), gw) != p.l_gw_racoon.end();
    p.l_gw_racoon.push_back(seen ? std::string() : gw);
    if (!seen)
        writeRemoteBlock(p.conf, o, p.tunnelNum);
    writeSainfoBlock(p.conf, o);
}

/* Both walks under one hold of the global lock, released while each tunnel is
 * written: the number of IKE tunnels written, or -1. */
int writeTunnels(Pass &p) {
    ZorLock lock(p.func);
    if (lock.acquire("ipsec_setkey") != ZORRET_SUCCESS)
        return -1;
    ipsec_eachTunnel([&](const IPSecCfgObject &o, InstanceIdStack &) {
        p.tunnelNum += (o.enable == 1);
        return true;
    });
    bool relocked = true;
    ipsec_eachTunnel([&](const IPSecCfgObject &o, InstanceIdStack &) {
        if (o.enable == 0)
            return true;
        /* The copy stays valid without the lock; other clients may go on
         * meanwhile. */
        lock.release();
        if (o.keyExMethod == 0)
            writeIkeTunnel(p, o);
        relocked = lock.acquire("ipsec_setkey") == ZORRET_SUCCESS;
        return relocked;
    });
    return relocked ? static_cast<int>(p.l_gw_racoon.size()) : -1;
}

} // namespace

/* psk.txt is private from its first byte. */
int ipsec_writeRacoon(void) {
    IpsecFile conf(IPSEC_RACOON_CONF, IPSEC_FILE_SHARED, __func__);
    if (!conf.open())
        return -1;
    fputs("path pre_shared_key \"/var/ipsec/psk.txt\";\n", conf.get());
    IpsecFile psk(IPSEC_PSK_TXT, IPSEC_FILE_PRIVATE, __func__);
    if (!psk.open())
        return -1;
    Pass p{conf.get(), psk.get(), __func__, 0, {}};
    const int written = writeTunnels(p);
    /* The key file first: a configuration naming gateways without keys for
     * them is what must never be loaded. */
    if (written == -1 || !psk.commit() || !conf.commit())
        return -1;
    ipsec_runCommand("chmod 600 /var/ipsec/psk.txt");
    return written;
}
