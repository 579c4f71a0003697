/* Checks that keep data-model texts out of shell commands and file syntax. */
#include "render/ipsec_text.h"

#include <cstring>

bool ipsec_isIfName(const char *s) {
    if (!s)
        return false;
    size_t len = strnlen(s, 16);
    if (len == 0 || len > 15 || !strcmp(s, ".") || !strcmp(s, ".."))
        return false;
    for (size_t i = 0; i < len; i++) {
        char c = s[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
                  c == '-';
        if (!ok)
            return false;
    }
    return true;
}

bool ipsec_isHex(const char *s, size_t maxLen) {
    if (!s)
        return true;
    const size_t len = strnlen(s, maxLen + 1);
    return len <= maxLen && strspn(s, "0123456789abcdefABCDEF") == len;
}

bool ipsec_isWord(const char *s) {
    constexpr size_t kMax = 63;
    if (!s)
        return false;
    const size_t len = strnlen(s, kMax + 1);
    return len > 0 && len <= kMax &&
           strspn(s, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-") == len;
}

bool ipsec_isSafeText(const char *s, const char *forbidden) {
    if (!s)
        return true;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++) {
        if (*p < 0x20 || *p == 0x7f)
            return false;
        if (forbidden && strchr(forbidden, *p))
            return false;
    }
    return true;
}

bool ipsec_isHostName(const char *s) {
    constexpr size_t kMax = 253, kLabelMax = 63;
    if (!s)
        return false;
    const size_t len = strnlen(s, kMax + 1);
    if (len == 0 || len > kMax)
        return false;
    size_t label = 0;
    for (size_t i = 0; i <= len; i++) {
        const char c = s[i];
        if (c == '.' || c == '\0') {
            if (label == 0 || label > kLabelMax || s[i - 1] == '-')
                return false;
            label = 0;
            continue;
        }
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        if (!ok || (label == 0 && c == '-'))
            return false;
        label++;
    }
    return true;
}
