/*
 * PF_KEY v2 messages laid out as the Linux kernel lays them out (host-order
 * lengths and types, network-order SPIs and addresses), capture files and the
 * simulator's table file.
 */
#include <arpa/inet.h>
#include <linux/ipsec.h>
#include <linux/pfkeyv2.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pfkeysim.h"
#include "pfkeysim_internal.h"

namespace pfkeysim {
namespace {

/* Appends `rec` (a packed kernel record) to `out`. */
template <typename T> void put(std::vector<uint8_t> &out, const T &rec) {
    const size_t at = out.size();
    out.resize(at + sizeof(T));
    std::memcpy(out.data() + at, &rec, sizeof(T));
}

void putLifetime(std::vector<uint8_t> &out, uint16_t type, uint64_t addtime) {
    sadb_lifetime lt{};
    lt.sadb_lifetime_len = sizeof(lt) / 8;
    lt.sadb_lifetime_exttype = type;
    lt.sadb_lifetime_addtime = addtime;
    put(out, lt);
}

void putAddress(std::vector<uint8_t> &out, uint16_t type, const std::string &ip, uint8_t proto, uint8_t prefix) {
    sadb_address a{};
    a.sadb_address_len = (sizeof(a) + sizeof(sockaddr_in)) / 8;
    a.sadb_address_exttype = type;
    a.sadb_address_proto = proto;
    a.sadb_address_prefixlen = prefix;
    put(out, a);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    inet_pton(AF_INET, ip.c_str(), &sin.sin_addr);
    put(out, sin);
}

void putKey(std::vector<uint8_t> &out, uint16_t type, uint16_t bits, uint8_t first) {
    const size_t bytes = bits / 8;
    const size_t padded = (bytes + 7) / 8 * 8;
    sadb_key k{};
    k.sadb_key_len = static_cast<uint16_t>((sizeof(k) + padded) / 8);
    k.sadb_key_exttype = type;
    k.sadb_key_bits = bits;
    put(out, k);
    for (size_t i = 0; i < padded; i++)
        out.push_back(i < bytes ? static_cast<uint8_t>(first + i) : 0);
}

void setLength(std::vector<uint8_t> &msg) {
    const uint16_t words = static_cast<uint16_t>(msg.size() / 8);
    std::memcpy(msg.data() + offsetof(sadb_msg, sadb_msg_len), &words, sizeof(words));
}

/* A stand-in creation time when a test gives none. */
constexpr uint64_t kCreated = 1796628614;

bool parseState(const char *s, uint8_t *state) {
    static const char *const names[] = {"larval", "mature", "dying", "dead"};
    for (uint8_t i = 0; i < 4; i++) {
        if (!std::strcmp(s, names[i])) {
            *state = i;
            return true;
        }
    }
    char *end = nullptr;
    unsigned long v = std::strtoul(s, &end, 10);
    if (!*s || *end || v > 255)
        return false;
    *state = static_cast<uint8_t>(v);
    return true;
}

bool parseUnsigned(const char *s, int base, uint32_t *out) {
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s, &end, base);
    if (!*s || *end || errno || v > 0xFFFFFFFFull)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool parseBroadcastType(const char *s, BroadcastType *t) {
    if (!std::strcmp(s, "add"))
        *t = BCAST_ADD;
    else if (!std::strcmp(s, "delete"))
        *t = BCAST_DELETE;
    else if (!std::strcmp(s, "spdadd"))
        *t = BCAST_SPDADD;
    else
        return false;
    return true;
}

/* One directive line ("fail-read 2", "stall 1", ...); false when malformed. */
bool parseDirective(char **tok, int n, Faults *faults) {
    uint32_t a = 0, b = 0, c = 0;
    const char *kw = tok[0];
    if (!std::strcmp(kw, "no-pfkey") && n == 1) {
        faults->noPfkey = true;
        return true;
    }
    if (!std::strcmp(kw, "fail-read") && (n == 2 || n == 3) && parseUnsigned(tok[1], 10, &a) &&
        (n == 2 || parseUnsigned(tok[2], 10, &b))) {
        faults->failReadAt = static_cast<int>(a);
        faults->failErr = n == 3 ? static_cast<int>(b) : EIO;
        return true;
    }
    if (!std::strcmp(kw, "stall") && n == 2 && parseUnsigned(tok[1], 10, &a)) {
        faults->stopAfter = static_cast<int>(a);
        return true;
    }
    BroadcastType t;
    if (!std::strcmp(kw, "broadcast") && n == 5 && parseUnsigned(tok[1], 10, &a) && parseBroadcastType(tok[2], &t) &&
        parseUnsigned(tok[3], 10, &b) && parseUnsigned(tok[4], 10, &c)) {
        faults->bcasts.push_back({static_cast<int>(a), t, b, c, Sa()});
        return true;
    }
    if (!std::strcmp(kw, "corrupt") && n == 4 && parseUnsigned(tok[1], 10, &a) && parseUnsigned(tok[2], 10, &b) &&
        parseUnsigned(tok[3], 10, &c) && b <= 0xFFFF && c <= 0xFFFF) {
        faults->corrupts.push_back({static_cast<int>(a), static_cast<uint16_t>(b), static_cast<uint16_t>(c)});
        return true;
    }
    return false;
}

bool parseSaLine(char **tok, int n, Sa *sa) {
    in_addr tmp;
    if (n < 4 || n > 5 || inet_pton(AF_INET, tok[0], &tmp) != 1 || inet_pton(AF_INET, tok[1], &tmp) != 1)
        return false;
    const char *spi = tok[2];
    if (!std::strncmp(spi, "0x", 2))
        spi += 2;
    if (!parseUnsigned(spi, 16, &sa->spi) || !parseUnsigned(tok[3], 10, &sa->reqid))
        return false;
    sa->src = tok[0];
    sa->dst = tok[1];
    if (n == 5 && !parseState(tok[4], &sa->state))
        return false;
    if (sa->state == SADB_SASTATE_LARVAL) {
        sa->aalg = 0;
        sa->ealg = 0;
        sa->hardAddtime = 30;
    }
    return true;
}

} // namespace

std::vector<uint8_t> headerMessage(uint8_t type, uint8_t satype, uint8_t err, uint32_t seq, uint32_t pid) {
    sadb_msg h{};
    h.sadb_msg_version = PF_KEY_V2;
    h.sadb_msg_type = type;
    h.sadb_msg_errno = err;
    h.sadb_msg_satype = satype;
    h.sadb_msg_len = sizeof(h) / 8;
    h.sadb_msg_seq = seq;
    h.sadb_msg_pid = pid;
    std::vector<uint8_t> out;
    put(out, h);
    return out;
}

std::vector<uint8_t> saMessage(const Sa &sa, uint8_t type, uint32_t seq, uint32_t pid) {
    std::vector<uint8_t> out = headerMessage(type, SADB_SATYPE_ESP, 0, seq, pid);
    out.reserve(272);
    const bool larval = sa.state == SADB_SASTATE_LARVAL;
    sadb_sa s{};
    s.sadb_sa_len = sizeof(s) / 8;
    s.sadb_sa_exttype = SADB_EXT_SA;
    s.sadb_sa_spi = htonl(sa.spi);
    s.sadb_sa_state = sa.state;
    s.sadb_sa_auth = sa.aalg;
    s.sadb_sa_encrypt = sa.ealg;
    put(out, s);
    putLifetime(out, SADB_EXT_LIFETIME_HARD, sa.hardAddtime);
    putLifetime(out, SADB_EXT_LIFETIME_SOFT, sa.softAddtime);
    putLifetime(out, SADB_EXT_LIFETIME_CURRENT, sa.currentAddtime ? sa.currentAddtime : kCreated);
    putAddress(out, SADB_EXT_ADDRESS_SRC, sa.src, 0, 32);
    putAddress(out, SADB_EXT_ADDRESS_DST, sa.dst, 0, 32);
    if (!larval) {
        putAddress(out, SADB_EXT_ADDRESS_PROXY, "0.0.0.0", IPSEC_PROTO_ANY, 0);
        putKey(out, SADB_EXT_KEY_AUTH, 160, 0xa0);
        putKey(out, SADB_EXT_KEY_ENCRYPT, 128, 0x10);
    }
    sadb_x_sa2 s2{};
    s2.sadb_x_sa2_len = sizeof(s2) / 8;
    s2.sadb_x_sa2_exttype = SADB_X_EXT_SA2;
    s2.sadb_x_sa2_mode = IPSEC_MODE_TUNNEL;
    s2.sadb_x_sa2_reqid = sa.reqid;
    put(out, s2);
    setLength(out);
    return out;
}

std::vector<uint8_t> spdaddMessage(uint32_t seq, uint32_t pid) {
    std::vector<uint8_t> out = headerMessage(SADB_X_SPDADD, SADB_SATYPE_UNSPEC, 0, seq, pid);
    putAddress(out, SADB_EXT_ADDRESS_SRC, "192.0.2.0", IPSEC_PROTO_ANY, 24);
    putAddress(out, SADB_EXT_ADDRESS_DST, "198.18.0.0", IPSEC_PROTO_ANY, 24);
    putLifetime(out, SADB_EXT_LIFETIME_HARD, 0);
    putLifetime(out, SADB_EXT_LIFETIME_SOFT, 0);
    putLifetime(out, SADB_EXT_LIFETIME_CURRENT, kCreated);
    sadb_x_policy pol{};
    sadb_x_ipsecrequest req{};
    pol.sadb_x_policy_len = (sizeof(pol) + sizeof(req) + 2 * sizeof(sockaddr_in)) / 8;
    pol.sadb_x_policy_exttype = SADB_X_EXT_POLICY;
    pol.sadb_x_policy_type = IPSEC_POLICY_IPSEC;
    pol.sadb_x_policy_dir = IPSEC_DIR_OUTBOUND;
    pol.sadb_x_policy_id = 9;
    put(out, pol);
    req.sadb_x_ipsecrequest_len = sizeof(req) + 2 * sizeof(sockaddr_in);
    req.sadb_x_ipsecrequest_proto = IPPROTO_ESP;
    req.sadb_x_ipsecrequest_mode = IPSEC_MODE_TUNNEL;
    req.sadb_x_ipsecrequest_level = IPSEC_LEVEL_UNIQUE;
    req.sadb_x_ipsecrequest_reqid = 40;
    put(out, req);
    for (const char *ip : {"198.51.100.2", "203.0.113.9"}) {
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        inet_pton(AF_INET, ip, &sin.sin_addr);
        put(out, sin);
    }
    setLength(out);
    return out;
}

std::vector<std::vector<uint8_t>> loadHex(const std::string &path) {
    std::vector<std::vector<uint8_t>> msgs;
    FILE *f = std::fopen(path.c_str(), "r");
    if (!f)
        return msgs;
    char line[16384];
    while (std::fgets(line, sizeof(line), f)) {
        if (line[0] == '#')
            continue;
        std::vector<uint8_t> msg;
        for (size_t i = 0; line[i] && line[i + 1] && line[i] != '\n'; i += 2) {
            char byte[3] = {line[i], line[i + 1], 0};
            msg.push_back(static_cast<uint8_t>(std::strtoul(byte, nullptr, 16)));
        }
        if (!msg.empty())
            msgs.push_back(std::move(msg));
    }
    std::fclose(f);
    return msgs;
}

bool parseTableFile(const std::string &text, std::vector<Sa> *sas, Faults *faults, std::string *error) {
    size_t pos = 0;
    int lineNo = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        lineNo++;
        size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        std::vector<char> buf(line.begin(), line.end());
        buf.push_back('\0');
        char *tok[8];
        int n = 0;
        char *save = nullptr;
        for (char *t = strtok_r(buf.data(), " \t\r", &save); t && n < 8; t = strtok_r(nullptr, " \t\r", &save))
            tok[n++] = t;
        if (n == 0)
            continue;
        Sa sa;
        Faults ignored;
        bool ok = (tok[0][0] >= '0' && tok[0][0] <= '9') ? parseSaLine(tok, n, &sa)
                                                         : parseDirective(tok, n, faults ? faults : &ignored);
        if (!ok) {
            if (error)
                *error = "line " + std::to_string(lineNo) + ": " + line;
            return false;
        }
        if (tok[0][0] >= '0' && tok[0][0] <= '9')
            sas->push_back(sa);
    }
    return true;
}

bool parseTable(const std::string &text, std::vector<Sa> *sas, std::string *error) {
    return parseTableFile(text, sas, nullptr, error);
}

} // namespace pfkeysim
