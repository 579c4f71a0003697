/*
 * Fuzzer for the text checks that guard shell commands and configuration
 * files. Input: raw text. Checked besides the sanitizers: whatever a check
 * accepts cannot end a statement or start another one in the place it guards
 * (interface names and dotted quads are plain shell words, and a dotted quad
 * reads back as itself; hex texts and words hold only their characters; safe
 * texts hold no control character and none of the forbidden characters;
 * host names are labels of letters, digits and '-' between single dots; a
 * word the key daemon takes holds only lower-case letters, digits, '_',
 * blanks and single commas; a key length setkey takes is an even number of digits).
 */
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "render/ipsec_addr.h"
#include "render/ipsec_text.h"
#include "render/ipsec_words.h"

namespace {

bool allIn(const char *s, const char *set) {
    return strspn(s, set) == strlen(s);
}

constexpr const char *kWordChars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-";

void checkSafe(const char *s, const char *forbidden) {
    if (!ipsec_isSafeText(s, forbidden))
        return;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++)
        if (*p < 0x20 || *p == 0x7f || strchr(forbidden, *p))
            abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const char *s = text.c_str();

    if (ipsec_isIfName(s)) {
        const size_t len = strlen(s);
        if (len == 0 || len > 15 || !allIn(s, kWordChars) || !strcmp(s, ".") || !strcmp(s, ".."))
            abort();
    }
    if (ipsec_isDottedQuad(s)) {
        /* One address to every parser: it reads back as itself. */
        in_addr addr;
        char back[INET_ADDRSTRLEN];
        if (!allIn(s, "0123456789.") || inet_pton(AF_INET, s, &addr) != 1 ||
            !inet_ntop(AF_INET, &addr, back, sizeof(back)) || strcmp(back, s) != 0)
            abort();
    }
    if (ipsec_isHex(s, 8) && (strlen(s) > 8 || !allIn(s, "0123456789abcdefABCDEF")))
        abort();
    if (ipsec_isWord(s) && (!*s || !allIn(s, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-")))
        abort();
    checkSafe(s, IPSEC_RACOON_FORBIDDEN);
    checkSafe(s, IPSEC_PSK_ID_FORBIDDEN);
    if (ipsec_isHostName(s) &&
        (!*s || strlen(s) > 253 || !allIn(s, kWordChars) || strchr(s, '_') || strstr(s, "..") || s[0] == '.' ||
         s[0] == '-' || strstr(s, "-.") || strstr(s, ".-") || s[strlen(s) - 1] == '-' || s[strlen(s) - 1] == '.'))
        abort();
    for (int kind = RACOON_EXCHANGE_MODE; kind <= RACOON_PH2_AUTH; kind++) {
        if (ipsec_racoonWordFault(static_cast<IpsecRacoonWord>(kind), s))
            continue;
        if (!*s || !allIn(s, "abcdefghijklmnopqrstuvwxyz0123456789_, ") || strstr(s, ",,"))
            abort();
    }
    char first[16];
    ipsec_firstExchangeMode(s, first, sizeof(first));
    if (strlen(first) >= sizeof(first))
        abort();
    const char *which = nullptr;
    if (!ipsec_manualCipherFault(s, text.c_str() + text.size() / 2, &which) ||
        !ipsec_manualAuthFault(s, text.c_str() + text.size() / 2, &which)) {
        if (strlen(text.c_str() + text.size() / 2) % 2 || !allIn(s, "abcdefghijklmnopqrstuvwxyz0123456789-"))
            abort();
    }
    (void)ipsec_manualSpiFault(s);

    /* A 16-byte field filled to its end without a terminator. */
    char field[16];
    memset(field, 'w', sizeof(field));
    memcpy(field, data, size < sizeof(field) ? size : sizeof(field));
    (void)ipsec_isIfName(field);
    (void)ipsec_isDottedQuad(field);
    return 0;
}
