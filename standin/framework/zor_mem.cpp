/* Stand-in framework: memory blocks and bounded string utilities. */
#include <cstdlib>
#include <cstring>

#include "zor.h"

void *zorMem_alloc(UINT32 size, UINT32 flags) {
    if (size == 0)
        size = 1;
    return (flags & ZOR_MEM_ZEROIZE) ? calloc(1, size) : malloc(size);
}

void zorMem_free(void *buf) { free(buf); }

char *zorMem_strdup(const char *str) { return str ? strdup(str) : nullptr; }

SINT32 zorUtl_strcmp(const char *s1, const char *s2) {
    if (s1 == s2)
        return 0;
    if (!s1)
        return -1;
    if (!s2)
        return 1;
    return strcmp(s1, s2);
}

char *zorUtl_strncpy(char *dest, const char *src, SINT32 n) {
    if (!dest || n <= 0)
        return dest;
    if (!src) {
        dest[0] = '\0';
        return dest;
    }
    size_t len = strnlen(src, static_cast<size_t>(n) - 1);
    memcpy(dest, src, len);
    dest[len] = '\0';
    return dest;
}
