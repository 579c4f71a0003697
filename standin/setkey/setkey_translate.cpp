/* Parsing of setkey statements and their translation into `ip xfrm` commands. */
#include "setkey_translate.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace setkey {

namespace {

using Tokens = std::vector<std::string>;

Tokens tokenize(const std::string &text) {
    Tokens out;
    std::string cur;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (!cur.empty())
                out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

struct Failure {
    std::string why;
};

/* ---- numbers and addresses ---------------------------------------------- */

bool parseU32(const std::string &s, uint32_t *out) {
    if (s.empty() || s[0] == '-' || s[0] == '+')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xffffffffull)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

/* Address family of a literal address, 0 when it is none. */
int addressFamily(const std::string &s) {
    unsigned char buf[16];
    if (inet_pton(AF_INET, s.c_str(), buf) == 1)
        return AF_INET;
    if (inet_pton(AF_INET6, s.c_str(), buf) == 1)
        return AF_INET6;
    return 0;
}

/* A literal address as it is, a name as /etc/hosts gives it; "" when it is
 * neither or names several addresses. (setkey asks the whole resolver; the
 * stand-in reads the hosts file alone, so that no run waits on a name
 * server.) */
std::string resolve(const std::string &s, bool *several) {
    *several = false;
    if (addressFamily(s) != 0)
        return s;
    if (s.empty() || !isalnum(static_cast<unsigned char>(s[0])) ||
        s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") != std::string::npos)
        return "";
    FILE *f = fopen("/etc/hosts", "r");
    if (!f)
        return "";
    std::vector<std::string> found;
    char line[1024];
    while (fgets(line, sizeof(line), f)) {
        if (char *hash = strchr(line, '#'))
            *hash = '\0';
        Tokens words = tokenize(line);
        for (size_t i = 1; i < words.size() && addressFamily(words[0]) != 0; i++)
            if (strcasecmp(words[i].c_str(), s.c_str()) == 0) {
                bool seen = false;
                for (const std::string &a : found)
                    seen = seen || a == words[0];
                if (!seen)
                    found.push_back(words[0]);
            }
    }
    fclose(f);
    *several = found.size() > 1;
    return found.size() == 1 ? found[0] : "";
}

std::string address(const std::string &s, const char *what) {
    bool several = false;
    std::string a = resolve(s, &several);
    if (several)
        throw Failure{std::string(what) + " \"" + s + "\" names several addresses"};
    if (a.empty())
        throw Failure{std::string(what) + " \"" + s + "\" is not an address"};
    return a;
}

/* A tunnel end point: a literal address only, as in setkey's requests. */
std::string literalAddress(const std::string &s, const char *what) {
    if (addressFamily(s) == 0)
        throw Failure{std::string(what) + " \"" + s + "\" is not an address"};
    return s;
}

/* ADDRESS[/PREFIX] into "ADDRESS/PREFIX"; the prefix defaults to the whole address. */
std::string selector(const std::string &s, int *family) {
    size_t slash = s.find('/');
    bool several = false;
    std::string addr = resolve(s.substr(0, slash), &several);
    if (several)
        throw Failure{"selector \"" + s + "\" names several addresses"};
    *family = addressFamily(addr);
    if (*family == 0)
        throw Failure{"selector \"" + s + "\" is not an address"};
    const uint32_t maxLen = (*family == AF_INET) ? 32 : 128;
    uint32_t len = maxLen;
    if (slash != std::string::npos) {
        std::string p = s.substr(slash + 1);
        if (p.empty() || p.find_first_not_of("0123456789") != std::string::npos || !parseU32(p, &len) || len > maxLen)
            throw Failure{"selector \"" + s + "\" has a bad prefix length"};
    }
    return addr + "/" + std::to_string(len);
}

std::string spiText(const std::string &s) {
    uint32_t spi = 0;
    if (!parseU32(s, &spi))
        throw Failure{"SPI \"" + s + "\" is not a 32-bit number"};
    char buf[16];
    snprintf(buf, sizeof(buf), "0x%08x", spi);
    return buf;
}

/* ---- algorithms ----------------------------------------------------------- */

struct Algorithm {
    const char *setkeyName;
    const char *kernelName;
    int minBits, maxBits; /* the range the kernel announces over PF_KEY */
};

/* setkey's spelling, the kernel's crypto name, and the key lengths setkey
 * takes: the kernel's range for the algorithm. setkey checks no more than
 * the range; a length inside it that the cipher does not take (a 160-bit
 * AES key) is the kernel's to refuse. */
const Algorithm ENCRYPTION[] = {
    {"des-cbc", "cbc(des)", 64, 64},
    {"3des-cbc", "cbc(des3_ede)", 192, 192},
    {"aes-cbc", "cbc(aes)", 128, 256},
    {"rijndael-cbc", "cbc(aes)", 128, 256},
    {"aes-ctr", "rfc3686(ctr(aes))", 160, 288},
    {"blowfish-cbc", "cbc(blowfish)", 40, 448},
    {"cast128-cbc", "cbc(cast5)", 40, 128},
    {"twofish-cbc", "cbc(twofish)", 128, 256},
    {"camellia-cbc", "cbc(camellia)", 128, 256},
};
const Algorithm AUTHENTICATION[] = {
    {"hmac-md5", "hmac(md5)", 128, 128},          {"hmac-sha1", "hmac(sha1)", 160, 160},
    {"hmac-sha256", "hmac(sha256)", 256, 256},    {"hmac-sha2-256", "hmac(sha256)", 256, 256},
    {"hmac-sha384", "hmac(sha384)", 384, 384},    {"hmac-sha2-384", "hmac(sha384)", 384, 384},
    {"hmac-sha512", "hmac(sha512)", 512, 512},    {"hmac-sha2-512", "hmac(sha512)", 512, 512},
    {"hmac-ripemd160", "hmac(rmd160)", 160, 160}, {"aes-xcbc-mac", "xcbc(aes)", 128, 128},
};

template <size_t N>
const Algorithm &findAlgorithm(const Algorithm (&table)[N], const std::string &name, const char *what) {
    for (const Algorithm &a : table)
        if (name == a.setkeyName)
            return a;
    throw Failure{std::string("unknown ") + what + " algorithm \"" + name + "\""};
}

/* A key as setkey reads it: 0x (or 0X) and hexadecimal digits, an odd
 * count read with a leading 0; returned as the kernel gets it. */
std::string checkKey(const Algorithm &alg, const std::string &key) {
    if (key.size() < 3 || key[0] != '0' || (key[1] != 'x' && key[1] != 'X') ||
        key.find_first_not_of("0123456789abcdefABCDEF", 2) != std::string::npos)
        throw Failure{std::string("key for ") + alg.setkeyName + " is not 0x and hexadecimal digits"};
    const std::string digits = ((key.size() % 2) ? "0" : "") + key.substr(2);
    const int bits = static_cast<int>(digits.size()) * 4;
    if (bits < alg.minBits || bits > alg.maxBits)
        throw Failure{std::string("key for ") + alg.setkeyName + " has " + std::to_string(bits) +
                      " bits, which it does not take"};
    return "0x" + digits;
}

/* ---- statements ------------------------------------------------------------ */

class Reader {
  public:
    explicit Reader(const Tokens &t) : t_(t) {}
    bool done() const { return i_ >= t_.size(); }
    const std::string &peek() const { return t_[i_]; }
    const std::string &next(const char *what) {
        if (done())
            throw Failure{std::string("missing ") + what};
        return t_[i_++];
    }
    void expect(const char *word) {
        const std::string &w = next(word);
        if (w != word)
            throw Failure{"expected \"" + std::string(word) + "\", found \"" + w + "\""};
    }
    void end() const {
        if (!done())
            throw Failure{"unexpected \"" + t_[i_] + "\""};
    }

  private:
    const Tokens &t_;
    size_t i_ = 1; /* past the keyword */
};

void flushStatement(Reader &r, Translation &t, bool policies) {
    r.end();
    t.summary = policies ? "spdflush" : "flush";
    t.commands.push_back({{"xfrm", policies ? "policy" : "state", "flush"}, false});
}

void expectEsp(Reader &r) {
    const std::string &proto = r.next("protocol");
    if (proto != "esp")
        throw Failure{"protocol \"" + proto + "\" is not supported (only esp)"};
}

void addStatement(Reader &r, Translation &t) {
    std::string src = address(r.next("source"), "source");
    std::string dst = address(r.next("destination"), "destination");
    if (addressFamily(src) != addressFamily(dst))
        throw Failure{"source and destination are of different families"};
    expectEsp(r);
    const std::string &spiWord = r.next("SPI");
    std::string spi = spiText(spiWord);
    t.summary = "add " + src + " " + dst + " esp " + spiWord;

    std::string mode = "transport", reqid = "0";
    std::vector<std::string> enc, auth;
    /* setkey's grammar: the SA's options, then -E, then -A, in this order. */
    while (!r.done()) {
        const std::string opt = r.next("option");
        if ((opt == "-m" || opt == "-u") && !enc.empty())
            throw Failure{"option \"" + opt + "\" after the algorithms"};
        if (opt == "-E" && !enc.empty())
            throw Failure{"a second -E"};
        if (opt == "-A" && (enc.empty() || !auth.empty()))
            throw Failure{enc.empty() ? "-A before -E" : "a second -A"};
        if (opt == "-m") {
            const std::string &m = r.next("mode");
            if (m != "tunnel" && m != "transport" && m != "any")
                throw Failure{"mode \"" + m + "\" is not tunnel, transport or any"};
            mode = (m == "tunnel") ? "tunnel" : "transport";
        } else if (opt == "-u") {
            uint32_t id = 0;
            const std::string &v = r.next("request id");
            if (v.find_first_not_of("0123456789") != std::string::npos || !parseU32(v, &id))
                throw Failure{"request id \"" + v + "\" is not a decimal number"};
            reqid = std::to_string(id);
        } else if (opt == "-E" || opt == "-A") {
            const bool isEnc = (opt == "-E");
            const Algorithm &alg = isEnc ? findAlgorithm(ENCRYPTION, r.next("algorithm"), "encryption")
                                         : findAlgorithm(AUTHENTICATION, r.next("algorithm"), "authentication");
            const std::string key = checkKey(alg, r.next("key"));
            (isEnc ? enc : auth) = {isEnc ? "enc" : "auth", alg.kernelName, key};
        } else {
            throw Failure{"option \"" + opt + "\" is not supported"};
        }
    }
    if (enc.empty())
        throw Failure{"an esp SA needs an encryption algorithm (-E)"};
    IpCommand c{{"xfrm", "state", "add", "src", src, "dst", dst, "proto", "esp", "spi", spi}, false};
    c.args.insert(c.args.end(), enc.begin(), enc.end());
    c.args.insert(c.args.end(), auth.begin(), auth.end());
    for (const char *w : {"mode", mode.c_str(), "reqid", reqid.c_str()})
        c.args.push_back(w);
    t.commands.push_back(c);
}

void deleteStatement(Reader &r, Translation &t) {
    std::string src = address(r.next("source"), "source");
    std::string dst = address(r.next("destination"), "destination");
    expectEsp(r);
    const std::string &spiWord = r.next("SPI");
    std::string spi = spiText(spiWord);
    r.end();
    t.summary = "delete " + src + " " + dst + " esp " + spiWord;
    t.commands.push_back({{"xfrm", "state", "delete", "src", src, "dst", dst, "proto", "esp", "spi", spi}, false});
}

/* The priority setkey gives every policy it adds. */
const char *const POLICY_PRIORITY = "2147483648";

/* The selector part shared by spdadd and spddelete:
 * SRC[/P] DST[/P] UPPERSPEC -P DIR. */
struct PolicySelector {
    std::vector<std::string> args; /* src S dst D [proto P] dir DIR */
    std::string dir;
    int family = 0;
};

PolicySelector policySelector(Reader &r, Translation &t, const char *keyword) {
    PolicySelector p;
    int dstFamily = 0;
    const std::string &srcWord = r.next("source selector");
    const std::string &dstWord = r.next("destination selector");
    std::string src = selector(srcWord, &p.family);
    std::string dst = selector(dstWord, &dstFamily);
    if (p.family != dstFamily)
        throw Failure{"source and destination selectors are of different families"};
    p.args = {"src", src, "dst", dst};
    const std::string &upper = r.next("upper-layer protocol");
    if (upper == "tcp" || upper == "udp" || upper == "icmp") {
        p.args.insert(p.args.end(), {"proto", upper});
    } else if (upper != "any") {
        throw Failure{"upper-layer protocol \"" + upper + "\" is not supported"};
    }
    r.expect("-P");
    p.dir = r.next("direction");
    if (p.dir != "in" && p.dir != "out" && p.dir != "fwd")
        throw Failure{"direction \"" + p.dir + "\" is not in, out or fwd"};
    p.args.insert(p.args.end(), {"dir", p.dir});
    if (std::string(keyword) == "spdadd")
        p.args.insert(p.args.end(), {"priority", POLICY_PRIORITY});
    t.summary = std::string(keyword) + " " + srcWord + " " + dstWord + " " + upper + " -P " + p.dir;
    return p;
}

/* One request "esp/MODE/A-B/LEVEL" into a tmpl clause. */
std::vector<std::string> policyTemplate(const std::string &rule) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t slash; (slash = rule.find('/', start)) != std::string::npos; start = slash + 1)
        parts.push_back(rule.substr(start, slash - start));
    parts.push_back(rule.substr(start));
    if (parts.size() < 3 || parts.size() > 4 || parts[0] != "esp")
        throw Failure{"request \"" + rule + "\" is not esp/MODE/SRC-DST/LEVEL"};
    const std::string &mode = parts[1];
    if (mode != "tunnel" && mode != "transport")
        throw Failure{"request mode \"" + mode + "\" is not tunnel or transport"};
    std::vector<std::string> tmpl = {"tmpl"};
    const std::string &ends = parts[2];
    if (mode == "tunnel") {
        size_t dash = ends.find('-');
        if (dash == std::string::npos)
            throw Failure{"tunnel request \"" + rule + "\" lacks its end points SRC-DST"};
        std::string a = literalAddress(ends.substr(0, dash), "tunnel source");
        std::string b = literalAddress(ends.substr(dash + 1), "tunnel destination");
        if (addressFamily(a) != addressFamily(b))
            throw Failure{"tunnel end points are of different families"};
        tmpl.insert(tmpl.end(), {"src", a, "dst", b});
    } else if (!ends.empty()) {
        throw Failure{"transport request \"" + rule + "\" takes no end points"};
    }
    tmpl.insert(tmpl.end(), {"proto", "esp"});
    const std::string level = parts.size() == 4 ? parts[3] : "default";
    if (level.compare(0, 7, "unique:") == 0 || level == "unique") {
        uint32_t id = 0;
        std::string idText = level == "unique" ? "0" : level.substr(7);
        if (idText.empty() || idText.find_first_not_of("0123456789") != std::string::npos || !parseU32(idText, &id))
            throw Failure{"request id in \"" + level + "\" is not a number"};
        /* Over PF_KEY the kernel keeps a unique request id only up to
         * 16383 and makes up one of its own for 0 or a larger one. */
        tmpl.insert(tmpl.end(), {"reqid", id == 0 || id > MAX_MANUAL_REQID ? AUTO_REQID : std::to_string(id)});
    } else if (level != "default" && level != "require" && level != "use") {
        throw Failure{"level \"" + level + "\" is not default, use, require or unique[:N]"};
    }
    tmpl.insert(tmpl.end(), {"mode", mode, "level", level == "use" ? "use" : "required"});
    return tmpl;
}

/* The forward policy setkey adds beside an inbound one: the same selector
 * and requests, except that a first request of level unique becomes level
 * require with request id 0. */
IpCommand forwardPolicy(const IpCommand &in) {
    IpCommand fwd = in;
    std::vector<std::string> &a = fwd.args;
    for (size_t i = 0; i + 1 < a.size(); i++)
        if (a[i] == "dir") {
            a[i + 1] = "fwd";
            break;
        }
    size_t tmpl = 0;
    while (tmpl < a.size() && a[tmpl] != "tmpl")
        tmpl++;
    size_t end = tmpl + 1;
    while (end < a.size() && a[end] != "tmpl")
        end++;
    for (size_t i = tmpl; i + 1 < end; i++)
        if (a[i] == "reqid") {
            a.erase(a.begin() + static_cast<long>(i), a.begin() + static_cast<long>(i) + 2);
            break;
        }
    return fwd;
}

void spdaddStatement(Reader &r, Translation &t) {
    PolicySelector p = policySelector(r, t, "spdadd");
    IpCommand c{{"xfrm", "policy", "add"}, false};
    c.args.insert(c.args.end(), p.args.begin(), p.args.end());
    const std::string &action = r.next("policy (ipsec, none or discard)");
    if (action == "discard") {
        c.args.insert(c.args.end(), {"action", "block"});
    } else if (action == "none") {
        c.args.insert(c.args.end(), {"action", "allow"});
    } else if (action == "ipsec") {
        if (r.done())
            throw Failure{"an ipsec policy needs at least one request"};
        while (!r.done()) {
            std::vector<std::string> tmpl = policyTemplate(r.next("request"));
            c.args.insert(c.args.end(), tmpl.begin(), tmpl.end());
        }
    } else {
        throw Failure{"policy \"" + action + "\" is not ipsec, none or discard"};
    }
    r.end();
    t.commands.push_back(c);
    if (p.dir == "in") {
        /* Linux drops decrypted traffic that a router forwards unless a
         * forward policy with the inbound template matches it. */
        t.commands.push_back(forwardPolicy(c));
    }
}

void spddeleteStatement(Reader &r, Translation &t) {
    PolicySelector p = policySelector(r, t, "spddelete");
    /* setkey takes the policy after the direction, checks it, and deletes by
     * the selector alone. */
    if (!r.done()) {
        const std::string &action = r.next("policy");
        if (action != "ipsec" && action != "none" && action != "discard")
            throw Failure{"policy \"" + action + "\" is not ipsec, none or discard"};
        while (action == "ipsec" && !r.done())
            policyTemplate(r.next("request"));
        r.end();
    }
    IpCommand c{{"xfrm", "policy", "delete"}, false};
    c.args.insert(c.args.end(), p.args.begin(), p.args.end());
    t.commands.push_back(c);
    if (p.dir == "in") {
        IpCommand fwd = c;
        fwd.args.back() = "fwd";
        fwd.bestEffort = true;
        t.commands.push_back(fwd);
    }
}

bool isPlainWord(const std::string &s) {
    if (s.empty())
        return false;
    for (char c : s)
        if (!isalnum(static_cast<unsigned char>(c)) && !strchr("._/:=,+-", c))
            return false;
    return true;
}

} // namespace

std::vector<Statement> splitStatements(const std::string &file, std::string *rest, int *restLine) {
    std::vector<Statement> out;
    Statement cur;
    int line = 1;
    bool comment = false;
    for (char c : file) {
        if (c == '\n') {
            comment = false;
            line++;
        }
        if (comment)
            continue;
        if (c == '#') {
            comment = true;
            continue;
        }
        if (c == ';') {
            out.push_back(cur);
            cur = Statement();
            continue;
        }
        if (cur.line == 0 && !isspace(static_cast<unsigned char>(c)))
            cur.line = line;
        if (cur.line != 0)
            cur.text += c;
    }
    *rest = cur.text;
    *restLine = cur.line;
    return out;
}

Translation translate(const std::string &statement) {
    Translation t;
    Tokens tokens = tokenize(statement);
    if (tokens.empty()) {
        t.ok = true; /* a lone ';' */
        return t;
    }
    const std::string &kw = tokens[0];
    t.summary = kw;
    Reader r(tokens);
    try {
        if (kw == "flush" || kw == "spdflush")
            flushStatement(r, t, kw == "spdflush");
        else if (kw == "add")
            addStatement(r, t);
        else if (kw == "delete")
            deleteStatement(r, t);
        else if (kw == "spdadd")
            spdaddStatement(r, t);
        else if (kw == "spddelete")
            spddeleteStatement(r, t);
        else
            throw Failure{"unknown statement \"" + kw + "\""};
        t.ok = true;
    } catch (const Failure &f) {
        t.ok = false;
        t.error = f.why;
        t.commands.clear();
    }
    return t;
}

void assignAutoReqids(std::vector<IpCommand *> &commands, std::vector<unsigned> inUse) {
    auto used = [&inUse](unsigned id) {
        for (unsigned u : inUse)
            if (u == id)
                return true;
        return false;
    };
    auto isPolicy = [](const IpCommand *c) { return c->args.size() > 1 && c->args[1] == "policy"; };
    for (const IpCommand *c : commands)
        for (size_t i = 0; isPolicy(c) && i + 1 < c->args.size(); i++) {
            uint32_t id = 0;
            if (c->args[i] == "reqid" && parseU32(c->args[i + 1], &id))
                inUse.push_back(id);
        }
    unsigned next = MAX_MANUAL_REQID + 1;
    for (IpCommand *c : commands)
        for (size_t i = 0; isPolicy(c) && i + 1 < c->args.size(); i++)
            if (c->args[i] == "reqid" && c->args[i + 1] == AUTO_REQID) {
                while (used(next))
                    next++;
                c->args[i + 1] = std::to_string(next);
                inUse.push_back(next);
            }
}

std::string displayCommand(const IpCommand &cmd) {
    std::string out = "ip";
    for (const std::string &a : cmd.args) {
        out += ' ';
        if (isPlainWord(a)) {
            out += a;
            continue;
        }
        out += '\'';
        for (char c : a)
            out += (c == '\'') ? std::string("'\\''") : std::string(1, c);
        out += '\'';
    }
    return out;
}

} // namespace setkey
