/* The words racoon and setkey take, one table per kind. */
#include "render/ipsec_words.h"

#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

/* Longest text looked at: more than any list of these words needs. */
constexpr size_t kMaxText = 128;

/* Key lengths an algorithm takes: lo, lo + step, ... hi; lo 0 for none.
 * In bits for racoon.conf, in hexadecimal digits for setkey. */
struct KeyRule {
    unsigned lo, hi, step;
};

constexpr KeyRule kNoLength{0, 0, 1};
constexpr KeyRule kAesBits{128, 256, 64}; /* 128, 192 and 256: what the ciphers key with */

struct Cipher {
    const char *word;
    KeyRule bits; /* the key length written after the word, if any */
};

/* The exchange modes of racoon's remote block; racoon initiates with the
 * first of a list and answers any of it. */
constexpr const char *kExchangeModes[] = {"main", "aggressive", "base"};

/* Phase-1 ciphers racoon has a proposal for (its IKE cipher table), with the
 * key lengths its parser checks ("aes 256", or "aes256" which it reads so).
 * idea and rc5 are left out: racoon is built without them. */
constexpr Cipher kPhase1Ciphers[] = {
    {"aes", kAesBits},          {"3des", kNoLength},       {"des", kNoLength},
    {"blowfish", {40, 448, 8}}, {"cast128", {40, 128, 8}}, {"camellia", kAesBits},
};

/* Phase-1 hashes: racoon's IKE hash table, both spellings its lexer has for SHA-2. */
constexpr const char *kPhase1Hashes[] = {"md5",    "sha1",     "sha256",   "sha384",
                                         "sha512", "sha2_256", "sha2_384", "sha2_512"};

/* Diffie-Hellman groups racoon has primes for, by name and by number
 * (1, 2, 5, 14 to 18); the elliptic groups 3 and 4 it parses but cannot use. */
constexpr const char *kDhGroups[] = {"modp768",  "modp1024", "modp1536", "modp2048", "modp3072", "modp4096",
                                     "modp6144", "modp8192", "1",        "2",        "5",        "14",
                                     "15",       "16",       "17",       "18"};

/* Phase-2 ciphers racoon can ask the kernel's ESP for, with the lengths the
 * kernel keys them with. null_enc is left out: it sends the LAN in the clear;
 * des_iv64, des_iv32, rc4, idea and 3idea have no kernel cipher. */
constexpr Cipher kPhase2Ciphers[] = {
    {"aes", kAesBits},         {"3des", kNoLength},   {"des", kNoLength},     {"blowfish", {40, 448, 8}},
    {"cast128", {40, 128, 8}}, {"twofish", kAesBits}, {"camellia", kAesBits},
};

/* Phase-2 authentication racoon can ask the kernel's ESP for. non_auth is
 * left out: ESP without integrity. */
constexpr const char *kPhase2Auths[] = {"hmac_md5",    "hmac_sha1",     "hmac_sha256",   "hmac_sha384",
                                        "hmac_sha512", "hmac_sha2_256", "hmac_sha2_384", "hmac_sha2_512"};

struct ManualAlgo {
    const char *word;
    KeyRule digits; /* hexadecimal digits of the key */
};

/* setkey's ESP ciphers that the kernel installs, with the key sizes the
 * kernel's ciphers take (setkey stops the whole file at a size outside the
 * kernel's range; a size inside it that the cipher refuses fails the SA).
 * null is left out: setkey takes it without a key, which this file never
 * writes, and it would send the LAN in the clear. */
constexpr ManualAlgo kManualCiphers[] = {
    {"aes-cbc", {32, 64, 16}},      {"rijndael-cbc", {32, 64, 16}},
    {"3des-cbc", {48, 48, 1}},      {"des-cbc", {16, 16, 1}},
    {"blowfish-cbc", {10, 112, 2}}, {"cast128-cbc", {10, 32, 2}},
    {"twofish-cbc", {32, 64, 16}},  {"camellia-cbc", {32, 64, 16}},
    {"aes-ctr", {40, 72, 16}}, /* a 4-byte nonce after the AES key */
};

/* setkey's ESP authentication the kernel installs, with its one key size. */
constexpr ManualAlgo kManualAuths[] = {
    {"hmac-md5", {32, 32, 1}},      {"hmac-sha1", {40, 40, 1}},       {"hmac-sha256", {64, 64, 1}},
    {"hmac-sha2-256", {64, 64, 1}}, {"hmac-sha384", {96, 96, 1}},     {"hmac-sha2-384", {96, 96, 1}},
    {"hmac-sha512", {128, 128, 1}}, {"hmac-sha2-512", {128, 128, 1}},
};

bool takes(const KeyRule &r, unsigned n) {
    return r.lo != 0 && n >= r.lo && n <= r.hi && (n - r.lo) % r.step == 0;
}

/* A word of `words`, exactly `len` characters of `s`. */
template <typename Words> bool inWords(const Words &words, const char *s, size_t len) {
    for (const char *w : words)
        if (strlen(w) == len && strncmp(w, s, len) == 0)
            return true;
    return false;
}

/* Decimal digits without a leading zero, as one number; 0 when not. */
unsigned decimal(const char *s, size_t len) {
    if (len == 0 || len > 4 || s[0] == '0')
        return 0;
    unsigned v = 0;
    for (size_t i = 0; i < len; i++) {
        if (s[i] < '0' || s[i] > '9')
            return 0;
        v = v * 10 + static_cast<unsigned>(s[i] - '0');
    }
    return v;
}

/* One cipher: its word, then optionally a key length, after one blank or
 * right after the word. */
template <typename Ciphers> bool isCipher(const Ciphers &ciphers, const char *s, size_t len) {
    for (const Cipher &c : ciphers) {
        const size_t w = strlen(c.word);
        if (len < w || strncmp(c.word, s, w) != 0)
            continue;
        if (len == w)
            return true;
        size_t at = w;
        if (s[at] == ' ')
            at++;
        if (takes(c.bits, decimal(s + at, len - at)))
            return true;
    }
    return false;
}

/* Each item of a list separated by ',' (blanks around an item allowed)
 * passes `item`; no item is empty. */
template <typename Item> bool isList(const char *s, Item item) {
    const size_t len = strnlen(s, kMaxText + 1);
    if (len == 0 || len > kMaxText)
        return false;
    size_t start = 0;
    while (true) {
        size_t end = start;
        while (end < len && s[end] != ',')
            end++;
        size_t a = start, b = end;
        while (a < b && s[a] == ' ')
            a++;
        while (b > a && s[b - 1] == ' ')
            b--;
        if (a == b || !item(s + a, b - a))
            return false;
        if (end == len)
            return true;
        start = end + 1;
    }
}

template <typename Item> bool isOne(const char *s, Item item) {
    const size_t len = strnlen(s, kMaxText + 1);
    return len > 0 && len <= kMaxText && item(s, len);
}

} // namespace

const char *ipsec_racoonWordFault(IpsecRacoonWord kind, const char *text) {
    const char *s = text ? text : "";
    switch (kind) {
    case RACOON_EXCHANGE_MODE:
        return isList(s, [](const char *w, size_t n) { return inWords(kExchangeModes, w, n); })
                   ? nullptr
                   : "is not an exchange mode the key daemon takes";
    case RACOON_PH1_CIPHER:
        return isOne(s, [](const char *w, size_t n) { return isCipher(kPhase1Ciphers, w, n); })
                   ? nullptr
                   : "is not a phase-1 cipher the key daemon takes";
    case RACOON_PH1_HASH:
        return isOne(s, [](const char *w, size_t n) { return inWords(kPhase1Hashes, w, n); })
                   ? nullptr
                   : "is not a phase-1 hash the key daemon takes";
    case RACOON_DH_GROUP:
        return isOne(s, [](const char *w, size_t n) { return inWords(kDhGroups, w, n); })
                   ? nullptr
                   : "is not a Diffie-Hellman group the key daemon takes";
    case RACOON_PH2_CIPHER:
        return isList(s, [](const char *w, size_t n) { return isCipher(kPhase2Ciphers, w, n); })
                   ? nullptr
                   : "is not a phase-2 cipher the key daemon takes";
    case RACOON_PH2_AUTH:
        return isList(s, [](const char *w, size_t n) { return inWords(kPhase2Auths, w, n); })
                   ? nullptr
                   : "is not a phase-2 authentication algorithm the key daemon takes";
    }
    return "is not known";
}

void ipsec_firstExchangeMode(const char *text, char *out, unsigned outSize) {
    if (outSize == 0)
        return;
    out[0] = '\0';
    const char *s = text ? text : "";
    while (*s == ' ')
        s++;
    size_t n = 0;
    while (s[n] && s[n] != ',' && s[n] != ' ' && n + 1 < outSize)
        n++;
    memcpy(out, s, n);
    out[n] = '\0';
}

namespace {

template <typename Algos>
const char *manualFault(const Algos &algos, const char *algo, const char *key, const char *algoField,
                        const char *keyField, const char **field, const char *unknown) {
    for (const ManualAlgo &a : algos) {
        if (strcmp(a.word, algo) != 0)
            continue;
        if (takes(a.digits, static_cast<unsigned>(strnlen(key, 4096))))
            return nullptr;
        *field = keyField;
        return "is not a key length its algorithm takes";
    }
    *field = algoField;
    return unknown;
}

} // namespace

const char *ipsec_manualCipherFault(const char *algo, const char *key, const char **field) {
    return manualFault(kManualCiphers, algo ? algo : "", key ? key : "", "manualEncryptionAlgo", "manualEncryptionKey",
                       field, "is not a cipher setkey takes");
}

const char *ipsec_manualAuthFault(const char *algo, const char *key, const char **field) {
    return manualFault(kManualAuths, algo ? algo : "", key ? key : "", "manualAuthAlgo", "manualAthKey", field,
                       "is not an authentication algorithm setkey takes");
}

const char *ipsec_manualSpiFault(const char *spi) {
    if (!spi || !*spi)
        return "is not set";
    return strtoul(spi, nullptr, 16) < 0x100 ? "is below 100, a value the kernel does not use for an SA" : nullptr;
}
