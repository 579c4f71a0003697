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

#include "framework/ipsec_walk.h"
#include "proc/ipsec_shell.h"
#include "render/ipsec_addr.h"
#include "render/ipsec_file.h"
#include "render/ipsec_paths.h"
#include "render/ipsec_setkey.h"
#include "render/ipsec_text.h"
#include "render/ipsec_words.h"

namespace {

bool isFqdn(const char *idType) {
    return strcmp(ipsec_txt(idType), "fqdn") == 0;
}

/* What a field's text must be beyond a safe text. */
enum TextKind {
    TEXT_ANY,        /* only safe */
    TEXT_ADDRESS,    /* a dotted quad, as racoon and the kernel's policies read it */
    TEXT_HOST,       /* a host name: a psk.txt identifier that is no pattern */
    TEXT_KEY,        /* a key psk.txt gives back as written */
    TEXT_WORD_FIRST, /* a word of the key daemon's: the kinds below */
};

struct TextField {
    const char *name;
    const char *value;
    const char *forbidden;
    bool required; /* an argument of its statement: the key daemon refuses it empty */
    int kind;      /* a TextKind, or TEXT_WORD_FIRST + an IpsecRacoonWord */
};

/* racoon reads psk.txt with a 1,024-byte buffer: a longer line is cut and its
 * tail read as a line of its own, a key for whatever identifier it starts
 * with. An identifier, a blank, the key and the line feed fit in 1,023. */
constexpr size_t kPskLineMax = 1023;

/* Why a key racoon would read otherwise than written, or null: it skips
 * blanks before a key, reads one beginning with "0x" as hexadecimal bytes,
 * and gives none for an empty line. */
const char *keyFault(const char *id, const char *key) {
    if (!*key)
        return "is not set";
    if (*key == ' ')
        return "begins with a blank, which the key daemon drops";
    if (strncmp(key, "0x", 2) == 0)
        return "begins with \"0x\", which the key daemon reads as hexadecimal";
    if (strnlen(id, kPskLineMax) + 1 + strnlen(key, kPskLineMax) + 1 > kPskLineMax)
        return "is too long for the key daemon's 1,023-byte line";
    return nullptr;
}

const char *kindFault(const TextField &f, const char *pskId) {
    const char *s = ipsec_txt(f.value);
    switch (f.kind) {
    case TEXT_ANY:
        return nullptr;
    case TEXT_ADDRESS:
        return ipsec_isDottedQuad(s) ? nullptr : "is not a dotted quad";
    case TEXT_HOST:
        return ipsec_isHostName(s) ? nullptr : "is not a host name";
    case TEXT_KEY:
        return keyFault(pskId, s);
    default:
        return ipsec_racoonWordFault(static_cast<IpsecRacoonWord>(f.kind - TEXT_WORD_FIRST), s);
    }
}

constexpr int word(IpsecRacoonWord w) {
    return TEXT_WORD_FIRST + w;
}

/* Why an IKE tunnel cannot be written, or null when it can. The key daemon
 * refuses the whole file for one bad statement, so a tunnel is skipped when
 * one of the fields its settings write would hold a character that ends a
 * statement or starts another, would leave a statement without its
 * argument, or holds a word racoon does not take there; and when its key
 * would not be read back as written. */
const char *unwritableField(const IPSecCfgObject &o, const char **why) {
    const bool peerFqdn = isFqdn(o.ph1PeerIdType);
    const bool myFqdn = isFqdn(o.ph1MyIdType);
    const bool pfs = o.perfectFSEn == 1;
    const TextField fields[] = {
        {"realRemoteIP", o.realRemoteIP, IPSEC_PSK_ID_FORBIDDEN, true, TEXT_ADDRESS},
        {"ph1PeerId", peerFqdn ? o.ph1PeerId : nullptr, IPSEC_PSK_ID_FORBIDDEN, peerFqdn,
         peerFqdn ? TEXT_HOST : TEXT_ANY},
        {"PSK", o.PSK, "", true, TEXT_KEY},
        {"ph1Mode", o.ph1Mode, IPSEC_RACOON_FORBIDDEN, true, word(RACOON_EXCHANGE_MODE)},
        {"ph1MyId", myFqdn ? o.ph1MyId : nullptr, IPSEC_RACOON_FORBIDDEN, myFqdn, TEXT_ANY},
        {"ph1EncryptionAlo", o.ph1EncryptionAlo, IPSEC_RACOON_FORBIDDEN, true, word(RACOON_PH1_CIPHER)},
        {"ph1IntegrityAlgo", o.ph1IntegrityAlgo, IPSEC_RACOON_FORBIDDEN, true, word(RACOON_PH1_HASH)},
        {"ph1DHGroup", o.ph1DHGroup, IPSEC_RACOON_FORBIDDEN, true, word(RACOON_DH_GROUP)},
        {"localIPAddress", o.localIPAddress, IPSEC_RACOON_FORBIDDEN, true, TEXT_ADDRESS},
        {"remoteIPAddress", o.remoteIPAddress, IPSEC_RACOON_FORBIDDEN, true, TEXT_ADDRESS},
        {"ph2DHGroup", pfs ? o.ph2DHGroup : nullptr, IPSEC_RACOON_FORBIDDEN, pfs,
         pfs ? word(RACOON_DH_GROUP) : TEXT_ANY},
        {"ph2EncryptionAlo", o.ph2EncryptionAlo, IPSEC_RACOON_FORBIDDEN, true, word(RACOON_PH2_CIPHER)},
        {"ph2IntegrityAlgo", o.ph2IntegrityAlgo, IPSEC_RACOON_FORBIDDEN, true, word(RACOON_PH2_AUTH)},
    };
    const char *pskId = ipsec_txt(peerFqdn ? o.ph1PeerId : o.realRemoteIP);
    for (const TextField &f : fields) {
        if (!ipsec_isSafeText(f.value, f.forbidden)) {
            *why = "holds a character not allowed there";
            return f.name;
        }
        if (f.required && *ipsec_txt(f.value) == '\0') {
            *why = "is not set";
            return f.name;
        }
        if ((*why = kindFault(f, pskId)) != nullptr)
            return f.name;
    }
    /* The kernel would give its policies other request ids than its SAs'. */
    UINT32 outReqid, inReqid;
    if (!ipsec_kernelReqids(o.entryID, &outReqid, &inReqid)) {
        *why = IPSEC_REQID_FAULT;
        return "entryID";
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
    const char *func; /* the entry point's name and line, for its log lines */
    int line;
    UINT32 tunnelNum; /* enabled tunnels, for the dead-peer failure count */
    std::vector<std::string> l_gw_racoon;
    /* Each subnet pair the SA/SP file installs, with the first tunnel that
     * has it (its place among the enabled tunnels, its entryID): the tunnel
     * whose policies the kernel holds. Found by the counting walk. */
    struct Holder {
        std::string pair;
        UINT32 place;
        UINT32 entryID;
    };
    std::vector<Holder> installed;
    /* The pairs of the sainfo blocks written: racoon refuses a file with two
     * blocks for one pair. */
    std::vector<Holder> sainfos;
};

const char *nameOf(const IPSecCfgObject &o) {
    return ipsec_isSafeText(o.connName, "") ? ipsec_txt(o.connName) : "?";
}

const Pass::Holder *holderOf(const std::vector<Pass::Holder> &holders, const std::string &pair) {
    for (const Pass::Holder &h : holders)
        if (h.pair == pair)
            return &h;
    return nullptr;
}

/* The line of a tunnel whose subnet pair an earlier one took. */
void logPairTaken(const Pass &p, const IPSecCfgObject &o, UINT32 holder) {
    char taken[64];
    snprintf(taken, sizeof(taken), "are those of tunnel %u", holder);
    ipsec_logSkipped(p.func, p.line, o.entryID, nameOf(o), "localIPAddress and remoteIPAddress", taken);
}

/* racoon looks a main-mode key up by the peer's address and refuses an FQDN
 * identifier in main mode: such a tunnel is written (the peer may start in
 * another mode of a list), and the user told at each write. */
void warnUnnegotiable(const Pass &p, const IPSecCfgObject &o) {
    char first[16];
    ipsec_firstExchangeMode(o.ph1Mode, first, sizeof(first));
    if (isFqdn(o.ph1PeerIdType) && strcmp(first, "main") == 0)
        log_log(ZOR_LOG_ERR, p.func, p.line,
                "tunnel %u (%s) cannot negotiate: main mode with an fqdn ph1PeerId, the key daemon takes it in "
                "aggressive mode only\n",
                o.entryID, nameOf(o));
}

/* One IKE tunnel: its key line, its remote block when it is the first tunnel
 * of the pass on its gateway, its sainfo block; or a line saying why it is
 * skipped. `place` is its place among the enabled tunnels. Its blocks match
 * the kernel's policies: none when another tunnel holds its subnet pair. */
void writeIkeTunnel(Pass &p, const IPSecCfgObject &o, UINT32 place) {
    std::string pair;
    const bool installed = ipsec_setkeyTakesTunnel(o, &pair);
    if (!installed)
        pair = ipsec_subnetPair(o);
    const Pass::Holder *held = holderOf(p.installed, pair);
    if (held && held->place == place)
        held = nullptr; /* its own */
    if (!held)
        held = holderOf(p.sainfos, pair);
    if (held) {
        logPairTaken(p, o, held->entryID);
        return;
    }
    const char *why = nullptr;
    if (const char *field = unwritableField(o, &why)) {
        ipsec_logSkipped(p.func, p.line, o.entryID, nameOf(o), field, why);
        return;
    }
    warnUnnegotiable(p, o);
    writePskLine(p.psk, o);
    const std::string gw = ipsec_txt(o.realRemoteIP);
    const bool seen = std::find(p.l_gw_racoon.begin(), p.l_gw_racoon.end(), gw) != p.l_gw_racoon.end();
    p.l_gw_racoon.push_back(seen ? std::string() : gw);
    if (!seen)
        writeRemoteBlock(p.conf, o, p.tunnelNum);
    writeSainfoBlock(p.conf, o);
    p.sainfos.push_back({pair, place, o.entryID});
}

/* Both walks under one hold of the global lock, released while each tunnel is
 * written: the number of IKE tunnels written, or -1. The counting walk also
 * finds, as the SA/SP file's writer does, which tunnel holds each pair. */
int writeTunnels(Pass &p) {
    ZorLock lock(p.func);
    if (lock.acquire("ipsec_setkey", p.line) != ZORRET_SUCCESS)
        return -1;
    UINT32 places = 0;
    ipsec_eachTunnel([&](const IPSecCfgObject &o, InstanceIdStack &) {
        p.tunnelNum += (o.enable == 1);
        if (o.enable == 0)
            return true;
        std::string pair;
        if (ipsec_setkeyTakesTunnel(o, &pair) && !holderOf(p.installed, pair))
            p.installed.push_back({pair, places, o.entryID});
        places++;
        return true;
    });
    bool relocked = true;
    UINT32 place = 0;
    ipsec_eachTunnel([&](const IPSecCfgObject &o, InstanceIdStack &) {
        if (o.enable == 0)
            return true;
        /* The copy stays valid without the lock; other clients may go on
         * meanwhile. */
        lock.release();
        if (o.keyExMethod == 0)
            writeIkeTunnel(p, o, place);
        place++;
        relocked = lock.acquire("ipsec_setkey", p.line) == ZORRET_SUCCESS;
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
    fprintf(conf.get(), "path pre_shared_key \"%s\";\n", IPSEC_PSK_TXT);
    IpsecFile psk(IPSEC_PSK_TXT, IPSEC_FILE_PRIVATE, __func__);
    if (!psk.open())
        return -1;
    Pass p{conf.get(), psk.get(), __func__, __LINE__, 0, {}, {}, {}};
    const int written = writeTunnels(p);
    /* The key file first: a configuration naming gateways without keys for
     * them is what must never be loaded. */
    if (written == -1 || !psk.commit() || !conf.commit())
        return -1;
    char chmod[64];
    snprintf(chmod, sizeof(chmod), "chmod 600 %s", IPSEC_PSK_TXT);
    ipsec_runCommand(chmod);
    return written;
}
