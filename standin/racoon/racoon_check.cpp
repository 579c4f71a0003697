/* Tokenizer and block-structured check of the key daemon's configuration. */
#include "racoon_check.h"

#include <arpa/inet.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace racoon {

namespace {

enum class Tok { Word, String, Open, Close, Semi };

struct Token {
    Tok kind;
    std::string text;
    int line;
};

struct Failure {
    int line;
    std::string why;
};

std::vector<Token> tokenize(const std::string &s) {
    std::vector<Token> out;
    int line = 1;
    for (size_t i = 0; i < s.size();) {
        char c = s[i];
        if (c == '\n') {
            line++;
            i++;
        } else if (isspace(static_cast<unsigned char>(c))) {
            i++;
        } else if (c == '#') {
            while (i < s.size() && s[i] != '\n')
                i++;
        } else if (c == '{' || c == '}' || c == ';') {
            out.push_back({c == '{' ? Tok::Open : c == '}' ? Tok::Close : Tok::Semi, std::string(1, c), line});
            i++;
        } else if (c == '"') {
            size_t end = s.find_first_of("\"\n", i + 1);
            if (end == std::string::npos || s[end] != '"')
                throw Failure{line, "quoted string not closed on its line"};
            out.push_back({Tok::String, s.substr(i + 1, end - i - 1), line});
            i = end + 1;
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            throw Failure{line, "control character in the file"};
        } else {
            size_t end = s.find_first_of(" \t\r\n\"{};#", i);
            if (end == std::string::npos)
                end = s.size();
            out.push_back({Tok::Word, s.substr(i, end - i), line});
            i = end;
        }
    }
    return out;
}

enum class Ctx { Top, Remote, Proposal, Sainfo };

/* A statement's words after its keyword, and whether it opened a block. */
struct Stmt {
    const Token *keyword;
    std::vector<const Token *> args;
};

bool isNumber(const std::string &s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

bool isAddress(const std::string &s) {
    unsigned char buf[16];
    return inet_pton(AF_INET, s.c_str(), buf) == 1 || inet_pton(AF_INET6, s.c_str(), buf) == 1;
}

bool isSelector(const std::string &s) {
    size_t slash = s.find('/');
    return isAddress(s.substr(0, slash)) && (slash == std::string::npos || isNumber(s.substr(slash + 1)));
}

void need(bool ok, const Stmt &st, const char *what) {
    if (!ok)
        throw Failure{st.keyword->line, "\"" + st.keyword->text + "\": " + what};
}

bool wordAt(const Stmt &st, size_t i) {
    return i < st.args.size() && st.args[i]->kind == Tok::Word;
}

void argCount(const Stmt &st, size_t lo, size_t hi) {
    need(st.args.size() >= lo && st.args.size() <= hi, st,
         st.args.size() < lo ? "too few arguments" : "too many arguments (missing ';'?)");
}

void allWords(const Stmt &st) {
    for (const Token *t : st.args)
        need(t->kind == Tok::Word, st, "unexpected quoted string");
}

void checkLifetime(const Stmt &st) {
    argCount(st, 3, 3);
    allWords(st);
    const std::string &unit = st.args[2]->text;
    need(st.args[0]->text == "time" && isNumber(st.args[1]->text) &&
             (unit == "sec" || unit == "secs" || unit == "second" || unit == "seconds" || unit == "min" ||
              unit == "mins" || unit == "minute" || unit == "minutes" || unit == "hour" || unit == "hours"),
         st, "expected \"time N sec|min|hour\"");
}

/* The names the key daemon knows, by the statement that takes them. Cipher
 * and hash names of an SA (sainfo) are the ones the Linux kernel has. */
const std::initializer_list<const char *> IKE_CIPHERS = {"des",     "3des", "idea",     "blowfish", "rc5",
                                                         "cast128", "aes",  "rijndael", "camellia"};
const std::initializer_list<const char *> IKE_HASHES = {"md5",    "sha1",     "sha256", "sha2_256",
                                                        "sha384", "sha2_384", "sha512", "sha2_512"};
const std::initializer_list<const char *> IKE_AUTH_METHODS = {"pre_shared_key",
                                                              "rsasig",
                                                              "dsssig",
                                                              "rsaenc",
                                                              "rsarev",
                                                              "gssapi_krb",
                                                              "hybrid_rsa_server",
                                                              "hybrid_dss_server",
                                                              "hybrid_rsa_client",
                                                              "hybrid_dss_client",
                                                              "xauth_psk_server",
                                                              "xauth_rsa_server",
                                                              "xauth_psk_client",
                                                              "xauth_rsa_client"};
const std::initializer_list<const char *> DH_GROUPS = {
    "modp768", "modp1024", "modp1536", "modp2048", "modp3072", "modp4096", "modp6144", "modp8192", "1",
    "2",       "3",        "4",        "5",        "14",       "15",       "16",       "17",       "18"};
const std::initializer_list<const char *> SA_CIPHERS = {"des",  "3des", "cast128",  "blowfish", "null_enc",
                                                        "null", "aes",  "rijndael", "twofish",  "camellia"};
const std::initializer_list<const char *> SA_HMACS = {"hmac_md5",      "hmac_sha1",     "hmac_sha256",
                                                      "hmac_sha2_256", "hmac_sha384",   "hmac_sha2_384",
                                                      "hmac_sha512",   "hmac_sha2_512", "non_auth"};
const std::initializer_list<const char *> COMPRESSIONS = {"deflate", "lzs"};
const std::initializer_list<const char *> UPPER_PROTOCOLS = {"any",   "esp", "ah",  "ipcomp", "icmp",
                                                             "icmp6", "tcp", "udp", "gre"};

/* Ciphers that take a key length, in bits: the key daemon's own range (a
 * multiple of 8, or one of the listed lengths), and for an SA also the
 * kernel's. Any other cipher takes none. */
struct KeyLengths {
    const char *name;
    int lo, hi;   /* the key daemon's range */
    bool aesLike; /* only 128, 192 or 256 */
    int kernelLo, kernelHi;
};
const KeyLengths KEY_LENGTHS[] = {
    {"blowfish", 40, 448, false, 40, 448},  {"rc5", 40, 2040, false, 0, 0},
    {"cast128", 40, 128, false, 40, 128},   {"aes", 128, 256, true, 128, 256},
    {"rijndael", 128, 256, true, 128, 256}, {"twofish", 40, 256, false, 128, 256},
    {"camellia", 128, 256, true, 128, 256},
};

bool oneOf(const std::string &s, std::initializer_list<const char *> allowed) {
    for (const char *a : allowed)
        if (s == a)
            return true;
    return false;
}

/* A name listed in /etc/hosts. (The key daemon asks the whole resolver; the
 * stand-in reads the hosts file alone, so that no check waits on a name
 * server.) */
bool inHostsFile(const std::string &name) {
    FILE *f = fopen("/etc/hosts", "r");
    if (!f)
        return false;
    bool found = false;
    char line[1024];
    while (!found && fgets(line, sizeof(line), f)) {
        if (char *hash = strchr(line, '#'))
            *hash = '\0';
        char *save = nullptr;
        const char *addr = strtok_r(line, " \t\r\n", &save);
        if (!addr || !isAddress(addr))
            continue;
        for (const char *w; !found && (w = strtok_r(nullptr, " \t\r\n", &save));)
            found = strcasecmp(w, name.c_str()) == 0;
    }
    fclose(f);
    return found;
}

/* An identifier: its type, and a value the key daemon can use: a name of at
 * least one character, an address that resolves. */
void checkIdentifier(const Stmt &st) {
    argCount(st, 2, 2);
    need(wordAt(st, 0), st, "identifier type must be a word");
    need(st.args[1]->kind == Tok::String, st, "identifier must be a quoted string");
    const std::string &type = st.args[0]->text, &value = st.args[1]->text;
    need(oneOf(type, {"address", "fqdn", "user_fqdn", "keyid", "asn1dn"}), st, "unknown identifier type");
    need(!value.empty() || type == "asn1dn", st, "empty identifier");
    if (type == "address")
        need(isAddress(value) || inHostsFile(value), st, "identifier address does not resolve");
}

/* A statement with one word, from `allowed` when it is given. */
void checkOneWord(const Stmt &st, std::initializer_list<const char *> allowed) {
    argCount(st, 1, 1);
    allWords(st);
    if (allowed.size() == 0)
        return;
    for (const char *a : allowed)
        if (st.args[0]->text == a)
            return;
    need(false, st, "value not allowed");
}

void checkNumber(const Stmt &st) {
    argCount(st, 1, 1);
    need(wordAt(st, 0) && isNumber(st.args[0]->text), st, "expected a number");
}

/* One or more names separated by commas ("aes, 3des"): every word but the
 * last ends in a comma, so a word without one means a lost ';'. Each name is
 * from `allowed` when it is given. */
void checkList(const Stmt &st, std::initializer_list<const char *> allowed = {}) {
    need(!st.args.empty(), st, "too few arguments");
    allWords(st);
    for (size_t i = 0; i < st.args.size(); i++) {
        std::string name = st.args[i]->text;
        bool comma = !name.empty() && name.back() == ',';
        need(comma == (i + 1 < st.args.size()), st,
             comma ? "list ends with a comma" : "too many arguments (missing ';'?)");
        if (comma)
            name.pop_back();
        bool known = allowed.size() == 0;
        for (const char *a : allowed)
            known = known || name == a;
        need(known, st, "value not allowed");
    }
}

/* Where an algorithm is named. */
enum class AlgClass { IkeCipher, IkeOther, SaCipher, SaOther };

/* One algorithm as the key daemon reads it: a name, then an optional key
 * length, apart ("aes 256") or run on ("aes256"). A length of 0 is none. */
void checkAlgorithm(const Stmt &st, const std::vector<std::string> &words, AlgClass cls,
                    std::initializer_list<const char *> allowed) {
    need(!words.empty(), st, "too few arguments");
    need(words.size() <= 2, st, "too many arguments (missing ';'?)");
    std::string name = words[0], length = words.size() == 2 ? words[1] : "";
    /* The longest known name that the word starts with, the rest digits. */
    std::string best;
    for (const char *a : allowed) {
        const std::string known = a;
        if (name.compare(0, known.size(), known) == 0 && known.size() > best.size() &&
            (name.size() == known.size() || isNumber(name.substr(known.size()))))
            best = known;
    }
    need(!best.empty(), st, "value not allowed");
    if (name.size() > best.size()) {
        need(length.empty(), st, "too many arguments (missing ';'?)");
        length = name.substr(best.size());
        name = best;
    }
    need(length.empty() || isNumber(length), st, "key length must be a number");
    const long bits = length.empty() ? 0 : strtol(length.c_str(), nullptr, 10);
    if (bits == 0 || cls == AlgClass::IkeOther)
        return; /* a hash or method takes a number and ignores it */
    const KeyLengths *k = nullptr;
    for (const KeyLengths &c : KEY_LENGTHS)
        if (name == c.name)
            k = &c;
    need(k != nullptr && (cls == AlgClass::IkeCipher || cls == AlgClass::SaCipher), st, "key length not allowed");
    const bool ok = bits % 8 == 0 && bits >= k->lo && bits <= k->hi &&
                    (!k->aesLike || bits == 128 || bits == 192 || bits == 256) &&
                    (cls == AlgClass::IkeCipher || (bits >= k->kernelLo && bits <= k->kernelHi));
    need(ok, st, "invalid key length");
}

/* A statement naming one algorithm. */
void checkOneAlgorithm(const Stmt &st, AlgClass cls, std::initializer_list<const char *> allowed) {
    allWords(st);
    std::vector<std::string> words;
    for (const Token *t : st.args)
        words.push_back(t->text);
    checkAlgorithm(st, words, cls, allowed);
}

/* One or more algorithms separated by commas ("aes 256, 3des"). */
void checkAlgorithmList(const Stmt &st, AlgClass cls, std::initializer_list<const char *> allowed) {
    need(!st.args.empty(), st, "too few arguments");
    allWords(st);
    std::vector<std::string> item;
    for (const Token *t : st.args) {
        std::string text = t->text;
        for (size_t comma; (comma = text.find(',')) != std::string::npos; text.erase(0, comma + 1)) {
            if (comma > 0)
                item.push_back(text.substr(0, comma));
            need(!item.empty(), st, "empty name in the list");
            checkAlgorithm(st, item, cls, allowed);
            item.clear();
        }
        if (!text.empty())
            item.push_back(text);
    }
    need(!item.empty(), st, "list ends with a comma");
    checkAlgorithm(st, item, cls, allowed);
}

/* Checks a simple statement (ended by ';') of the given block. */
void checkSimple(Ctx ctx, const Stmt &st) {
    const std::string &kw = st.keyword->text;
    if (ctx == Ctx::Top && kw == "path") {
        argCount(st, 2, 2);
        need(wordAt(st, 0), st, "path kind must be a word");
        need(st.args[1]->kind == Tok::String, st, "path must be a quoted string");
    } else if (ctx == Ctx::Remote && kw == "exchange_mode") {
        checkList(st, {"main", "aggressive", "base"});
    } else if (ctx == Ctx::Remote && kw == "verify_identifier") {
        checkOneWord(st, {"on", "off"});
    } else if (ctx == Ctx::Remote && (kw == "my_identifier" || kw == "peers_identifier")) {
        checkIdentifier(st);
    } else if ((ctx == Ctx::Remote || ctx == Ctx::Sainfo || ctx == Ctx::Proposal) && kw == "lifetime") {
        checkLifetime(st);
    } else if (ctx == Ctx::Remote && kw == "proposal_check") {
        checkOneWord(st, {"obey", "strict", "claim", "exact"});
    } else if (ctx == Ctx::Remote && (kw == "dpd_delay" || kw == "dpd_retry" || kw == "dpd_maxfail")) {
        checkNumber(st);
    } else if (ctx == Ctx::Proposal && kw == "encryption_algorithm") {
        checkOneAlgorithm(st, AlgClass::IkeCipher, IKE_CIPHERS);
    } else if (ctx == Ctx::Proposal && kw == "hash_algorithm") {
        checkOneAlgorithm(st, AlgClass::IkeOther, IKE_HASHES);
    } else if (ctx == Ctx::Proposal && kw == "authentication_method") {
        checkOneAlgorithm(st, AlgClass::IkeOther, IKE_AUTH_METHODS);
    } else if ((ctx == Ctx::Proposal && kw == "dh_group") || (ctx == Ctx::Sainfo && kw == "pfs_group")) {
        checkOneWord(st, DH_GROUPS);
    } else if (ctx == Ctx::Sainfo && kw == "compression_algorithm") {
        checkAlgorithmList(st, AlgClass::SaOther, COMPRESSIONS);
    } else if (ctx == Ctx::Sainfo && kw == "encryption_algorithm") {
        checkAlgorithmList(st, AlgClass::SaCipher, SA_CIPHERS);
    } else if (ctx == Ctx::Sainfo && kw == "authentication_algorithm") {
        checkAlgorithmList(st, AlgClass::SaOther, SA_HMACS);
    } else {
        need(false, st, "unknown statement here");
    }
}

/* Checks the head of a block statement; the block's own context. */
Ctx checkBlockHead(Ctx ctx, const Stmt &st) {
    const std::string &kw = st.keyword->text;
    if (ctx == Ctx::Top && kw == "remote") {
        argCount(st, 1, 1);
        need(wordAt(st, 0) && (isAddress(st.args[0]->text) || st.args[0]->text == "anonymous"), st,
             "expected an address or anonymous");
        return Ctx::Remote;
    }
    if (ctx == Ctx::Top && kw == "sainfo") {
        allWords(st);
        bool anonymous = st.args.size() == 1 && st.args[0]->text == "anonymous";
        bool addresses = st.args.size() == 6 && st.args[0]->text == "address" && isSelector(st.args[1]->text) &&
                         st.args[3]->text == "address" && isSelector(st.args[4]->text) &&
                         (oneOf(st.args[2]->text, UPPER_PROTOCOLS) || isNumber(st.args[2]->text)) &&
                         (oneOf(st.args[5]->text, UPPER_PROTOCOLS) || isNumber(st.args[5]->text));
        need(anonymous || addresses, st, "expected \"address A/P PROTO address B/P PROTO\" or anonymous");
        return Ctx::Sainfo;
    }
    if (ctx == Ctx::Remote && kw == "proposal") {
        argCount(st, 0, 0);
        return Ctx::Proposal;
    }
    need(false, st, "unknown block here");
    return ctx;
}

class Parser {
  public:
    explicit Parser(const std::vector<Token> &t) : t_(t) {}

    /* Statements up to the closing '}' of the block (or the end of the file at the top). */
    void block(Ctx ctx, int openLine) {
        while (i_ < t_.size()) {
            const Token &tok = t_[i_];
            if (tok.kind == Tok::Close) {
                if (ctx == Ctx::Top)
                    throw Failure{tok.line, "'}' without a block to close"};
                i_++;
                return;
            }
            if (tok.kind != Tok::Word)
                throw Failure{tok.line, "expected a statement, found '" + tok.text + "'"};
            statement(ctx);
        }
        if (ctx != Ctx::Top)
            throw Failure{openLine, "block not closed before the end of the file"};
    }

  private:
    void statement(Ctx ctx) {
        Stmt st{&t_[i_++], {}};
        while (i_ < t_.size() && (t_[i_].kind == Tok::Word || t_[i_].kind == Tok::String))
            st.args.push_back(&t_[i_++]);
        if (i_ >= t_.size())
            throw Failure{st.keyword->line, "\"" + st.keyword->text + "\" not terminated by ';'"};
        const Token &end = t_[i_++];
        if (end.kind == Tok::Semi) {
            checkSimple(ctx, st);
        } else if (end.kind == Tok::Open) {
            const Ctx inner = checkBlockHead(ctx, st);
            if (inner == Ctx::Remote)
                sawProposal_ = false;
            else if (inner == Ctx::Proposal)
                sawProposal_ = true;
            block(inner, st.keyword->line);
            /* The key daemon takes a remote block only with a proposal. */
            if (inner == Ctx::Remote && !sawProposal_)
                throw Failure{st.keyword->line, "\"remote\": no proposal block"};
            /* A block may be followed by a ';'. */
            if (i_ < t_.size() && t_[i_].kind == Tok::Semi)
                i_++;
        } else {
            throw Failure{st.keyword->line, "\"" + st.keyword->text + "\" not terminated by ';'"};
        }
    }

    const std::vector<Token> &t_;
    size_t i_ = 0;
    bool sawProposal_ = false;
};

/* A key written "0x..." as the key daemon decodes it: hexadecimal digits,
 * blanks between them skipped, an even number of digits and at least two. */
bool hexKeyReads(const std::string &digits, std::string *bytes = nullptr) {
    std::string hex;
    for (char c : digits) {
        if (isxdigit(static_cast<unsigned char>(c)))
            hex += c;
        else if (!isspace(static_cast<unsigned char>(c)))
            return false;
    }
    if (hex.empty() || hex.size() % 2 != 0)
        return false;
    for (size_t i = 0; bytes && i < hex.size(); i += 2)
        *bytes += static_cast<char>(strtol(hex.substr(i, 2).c_str(), nullptr, 16));
    return true;
}

/* One identifier and its key text, as the key daemon finds them. */
struct PskLine {
    std::string id, key;
};

/* The key file read as the key daemon reads it: pieces of at most 1,023
 * bytes (a longer line goes on as the next piece), '#' first for a comment,
 * the identifier up to the first blank, the key from the next non-blank to
 * the end of the line, blanks and all. A piece without both is skipped; an
 * identifier never matches when the line starts with a blank. */
std::vector<PskLine> readPskLines(FILE *f) {
    std::vector<PskLine> out;
    char line[1024];
    while (fgets(line, sizeof(line), f)) {
        if (line[0] == '#')
            continue;
        size_t idLen = 0;
        while (line[idLen] != '\0' && !isspace(static_cast<unsigned char>(line[idLen])))
            idLen++;
        size_t key = idLen;
        while (line[key] != '\0' && isspace(static_cast<unsigned char>(line[key])))
            key++;
        if (idLen == 0 || line[idLen] == '\0' || line[key] == '\0')
            continue;
        out.push_back({std::string(line, idLen), std::string(line + key, strcspn(line + key, "\n"))});
    }
    return out;
}

/* The key a line gives: its text, or the bytes of a "0x..." key. */
bool keyOf(const PskLine &l, std::string *key) {
    if (l.key.compare(0, 2, "0x") != 0) {
        *key = l.key;
        return true;
    }
    key->clear();
    return hexKeyReads(l.key.substr(2), key);
}

/* The pre-shared key file named in the configuration, if any. */
std::string findPskPath(const std::vector<Token> &t) {
    for (size_t i = 0; i + 2 < t.size(); i++)
        if (t[i].kind == Tok::Word && t[i].text == "path" && t[i + 1].text == "pre_shared_key" &&
            t[i + 2].kind == Tok::String)
            return t[i + 2].text;
    return "";
}

} // namespace

std::string checkConfig(const std::string &text, Loaded *loaded) {
    try {
        std::vector<Token> tokens = tokenize(text);
        Parser(tokens).block(Ctx::Top, 1);
        loaded->pskPath = findPskPath(tokens);
        /* Block heads are words followed by their block's words and '{'. */
        int depth = 0;
        for (size_t i = 0; i < tokens.size(); i++) {
            if (tokens[i].kind == Tok::Open)
                depth++;
            else if (tokens[i].kind == Tok::Close)
                depth--;
            else if (depth == 0 && tokens[i].kind == Tok::Word && (i == 0 || tokens[i - 1].kind != Tok::Word) &&
                     (tokens[i].text == "remote" || tokens[i].text == "sainfo"))
                (tokens[i].text == "remote" ? loaded->remotes : loaded->sainfos)++;
        }
        return "";
    } catch (const Failure &f) {
        return "line " + std::to_string(f.line) + ": " + f.why;
    }
}

std::string checkPskFile(const std::string &path, int *keys) {
    *keys = 0;
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return "cannot read the pre-shared key file " + path;
    struct stat st;
    std::string why;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode))
        why = path + " is not a regular file";
    else if (st.st_mode & 077)
        why = path + " is readable or writable by others than its owner";
    std::string key;
    for (const PskLine &l : why.empty() ? readPskLines(f) : std::vector<PskLine>())
        if (keyOf(l, &key)) /* else the key daemon finds the line but no key in it */
            ++*keys;
    fclose(f);
    return why;
}

bool pskFor(const std::string &path, const std::string &peer, std::string *key) {
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return false;
    std::vector<PskLine> lines = readPskLines(f);
    fclose(f);
    /* The first line for the peer or for any peer ("*") is the one taken,
     * whether a key can be read from it or not. */
    for (const PskLine &l : lines)
        if (l.id == "*" || l.id == peer)
            return keyOf(l, key);
    return false;
}

} // namespace racoon
