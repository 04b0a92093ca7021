#include "lib/strings.h"

#include "lib/diag.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

int TooSmall() {
    errno = ELIB_BUFFER_TOO_SMALL;
    return -1;
}

}  // namespace

int StrCopyBounded(char *dst, const char *src, int len) {
    size_t n = strlen(src);
    if (len <= 0 || n >= (size_t)len) return TooSmall();
    memcpy(dst, src, n + 1);
    return (int)n;
}

int StrConcatBounded(char *dst, int len, const char *a, const char *b) {
    size_t na = strlen(a), nb = strlen(b);
    if (len <= 0 || na + nb >= (size_t)len) return TooSmall();
    // b goes first so that a == dst (appending in place) stays intact.
    memmove(dst + na, b, nb);
    memmove(dst, a, na);
    dst[na + nb] = '\0';
    return (int)(na + nb + 1);
}

int FormatBoundedV(char *dst, int len, const char *format, va_list args) {
    if (len <= 0) return TooSmall();
    int n = vsnprintf(dst, (size_t)len, format, args);
    if (n < 0 || n > len - 1) {
        dst[len - 1] = '\0';
        return TooSmall();
    }
    return n;
}

int FormatBounded(char *dst, int len, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = FormatBoundedV(dst, len, format, args);
    va_end(args);
    return n;
}

char *NextToken(char *text, char **start) {
    while (*text && isspace((unsigned char)*text)) text++;
    if (!*text) return nullptr;
    *start = text;
    while (*text && !isspace((unsigned char)*text)) text++;
    if (*text) *text++ = '\0';
    return text;
}

const char *FieldEnd(const char *text, const char **start) {
    if (!*text) return nullptr;
    *start = text;
    const char *tab = strchr(text, '\t');
    return tab ? tab : text + strlen(text);
}

const char *ParseInt(const char *text, int *value) {
    const char *p = text;
    while (isspace((unsigned char)*p)) p++;
    bool negative = false;
    if (*p == '-') {
        negative = true;
        p++;
        while (isspace((unsigned char)*p)) p++;
    }
    if (!isdigit((unsigned char)*p)) return nullptr;
    int v = 0;
    for (; isdigit((unsigned char)*p); p++) {
        int d = *p - '0';
        if (v > (2147483647 - d) / 10) return nullptr;
        v = v * 10 + d;
    }
    *value = negative ? -v : v;
    return p;
}

bool StrEqualNull(const char *a, const char *b, int caseSensitive) {
    if (a == b) return true;
    if (!a) return !*b;
    if (!b) return !*a;
    return caseSensitive ? strcmp(a, b) == 0 : strcasecmp(a, b) == 0;
}

char *StrDupRange(const char *start, const char *end) {
    size_t n = end > start ? (size_t)(end - start) : 0;
    char *p = static_cast<char *>(malloc(n + 1));
    if (!p) {
        errno = ELIB_OUT_OF_MEMORY;
        return nullptr;
    }
    memcpy(p, start, n);
    p[n] = '\0';
    return p;
}

int StripEol(char *text) {
    size_t n = strlen(text);
    if (n > 0 && text[n - 1] == '\n') text[--n] = '\0';
    if (n > 0 && text[n - 1] == '\r') text[--n] = '\0';
    return (int)n;
}

int ReadLine(FILE *file, char *buf, int len) {
    if (len < 2 || !fgets(buf, len, file)) {
        if (len > 0) buf[0] = '\0';
        errno = ELIB_EOF;
        return -1;
    }
    return StripEol(buf);
}
