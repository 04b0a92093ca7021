// URLs of upstream servers and proxies; see url.h.
#include "lib/url.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/diag.h"

const tUrlScheme urlSchemes[URL_SCHEME_COUNT] = {
    {"", 0},
    {"ftp://", 21},
    {"http://", 80},
    {"news://", 119},
    {"pop3://", 110},
    {"telnet://", 23},
    {"none", 0},
    {"ftpproxy://", 4666},
    {"sun://", 3666},
    {"socks5://", 1080},
    {"socks5b://", 1080},
    {"socks4://", 1080},
    {"socks4b://", 1080},
    {"https://", 443},
    {"tunnel://", 0},
};

const char URL_PART_ESCAPES[] = "/:@, +%\"";
const char URL_QUERY_ESCAPES[] = " +%\"";

namespace {

bool IsDelimiter(char c) { return c == '/' || c == ':' || c == '@' || c == ','; }

// End of the part starting at p: the next delimiter or the terminating NUL.
const char *PartEnd(const char *p) {
    while (*p && !IsDelimiter(*p)) p++;
    return p;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decoded copy of [begin, end) in a fresh allocation, or null.
char *DecodePart(const char *begin, const char *end) {
    size_t n = UrlUnescape(nullptr, begin, (size_t)(end - begin));
    char *out = (char *)malloc(n + 1);
    if (out) UrlUnescape(out, begin, (size_t)(end - begin));
    return out;
}

// The decimal number at the start of [begin, end) as atoi reads it, without
// reading past end and clamped to the range of int.
int NumberOf(const char *begin, const char *end) {
    char digits[32];
    size_t n = (size_t)(end - begin);
    if (n >= sizeof digits) n = sizeof digits - 1;
    memcpy(digits, begin, n);
    digits[n] = '\0';
    long long value = strtoll(digits, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return (int)value;
}

const char *ParseFail(tUrl *url, int code) {
    UrlRelease(url);
    SockFail(code);
    return nullptr;
}

// Appends text to buffer at *pos; false when it (with the NUL) does not fit.
bool Append(char *buffer, size_t length, size_t *pos, const char *text) {
    size_t n = strlen(text);
    if (*pos + n + 1 > length) return false;
    memcpy(buffer + *pos, text, n + 1);
    *pos += n;
    return true;
}

bool AppendEscaped(char *buffer, size_t length, size_t *pos, const char *text) {
    if (*pos >= length) return false;
    int n = UrlEscape(buffer + *pos, length - *pos, text, URL_PART_ESCAPES);
    if (n < 0) return false;
    *pos += (size_t)n;
    return true;
}

}  // namespace

const char *UrlParse(const char *text, tUrl *url) {
    memset(url, 0, sizeof *url);
    const char *p = text;
    for (int i = 1; i < URL_SCHEME_COUNT; i++) {
        size_t n = strlen(urlSchemes[i].prefix);
        if (strncmp(p, urlSchemes[i].prefix, n) == 0) {
            url->scheme = i;
            p += n;
            break;
        }
    }

    const char *groupBegin = nullptr, *groupEnd = nullptr;
    const char *portBegin = nullptr, *portEnd = nullptr;
    const char *hostBegin = p, *hostEnd = p;
    const char *loginBegin = nullptr, *loginEnd = nullptr;
    const char *passBegin = nullptr, *passEnd = nullptr;
    const char *after = p;

    if (url->scheme == URL_NO_PROXY) {
        hostEnd = hostBegin = nullptr;
        if (*p == ',') {
            groupBegin = p + 1;
            groupEnd = PartEnd(groupBegin);
            after = groupEnd;
        }
    } else {
        const char *first = PartEnd(p);
        const char *second = nullptr;
        if (*first == ':') second = PartEnd(first + 1);
        if (*first == '@' || (second && *second == '@')) {
            loginBegin = p;
            loginEnd = first;
            if (second) {
                passBegin = first + 1;
                passEnd = second;
                hostBegin = second + 1;
            } else {
                hostBegin = first + 1;
            }
        }
        hostEnd = PartEnd(hostBegin);
        after = hostEnd;
        if (*after == ':') {
            portBegin = after + 1;
            portEnd = PartEnd(portBegin);
            after = portEnd;
        }
        if (*after == ',') {
            groupBegin = after + 1;
            groupEnd = PartEnd(groupBegin);
            after = groupEnd;
        }
    }

    if (loginBegin && !(url->login = DecodePart(loginBegin, loginEnd)))
        return ParseFail(url, ESOCK_OUT_OF_MEMORY);
    if (passBegin && !(url->password = DecodePart(passBegin, passEnd)))
        return ParseFail(url, ESOCK_OUT_OF_MEMORY);
    if (hostBegin && hostEnd > hostBegin && !(url->host = DecodePart(hostBegin, hostEnd)))
        return ParseFail(url, ESOCK_OUT_OF_MEMORY);
    if (url->host && url->host[0] == '\0') {  // "%00": no host either
        free(url->host);
        url->host = nullptr;
    }
    if (portBegin) {
        url->port = NumberOf(portBegin, portEnd);
        // A port above 65535 would silently become another port.
        if (url->port <= 0 || url->port > 65535) return ParseFail(url, ESOCK_BAD_URL_PORT);
    } else {
        url->port = urlSchemes[url->scheme].defaultPort;
    }
    if (groupBegin) {
        url->proxyGroup = NumberOf(groupBegin, groupEnd);
        if (url->proxyGroup < 0) return ParseFail(url, ESOCK_BAD_URL_PROXY_ID);
    }
    return after;
}

int UrlFormat(const tUrl *url, char *buffer, size_t length, int implicitScheme, int withoutSecrets) {
    size_t pos = 0;
    if (length == 0) return SockFail(ESOCK_BUFFER_OVERFLOW);
    buffer[0] = '\0';
    int scheme = url->scheme >= 0 && url->scheme < URL_SCHEME_COUNT ? url->scheme : 0;
    bool ok = true;
    if (scheme != implicitScheme) ok = Append(buffer, length, &pos, urlSchemes[scheme].prefix);
    if (ok && url->login) {
        ok = AppendEscaped(buffer, length, &pos, url->login);
        if (ok && url->password && !withoutSecrets)
            ok = Append(buffer, length, &pos, ":") && AppendEscaped(buffer, length, &pos, url->password);
        if (ok) ok = Append(buffer, length, &pos, "@");
    }
    if (ok && url->host) ok = AppendEscaped(buffer, length, &pos, url->host);
    char number[16];
    if (ok && url->port != urlSchemes[scheme].defaultPort) {
        snprintf(number, sizeof number, ":%d", url->port);
        ok = Append(buffer, length, &pos, number);
    }
    if (ok && url->proxyGroup != 0 && !withoutSecrets) {
        snprintf(number, sizeof number, ",%d", url->proxyGroup);
        ok = Append(buffer, length, &pos, number);
    }
    if (!ok) return SockFail(ESOCK_BUFFER_OVERFLOW);
    return (int)pos;
}

void UrlRelease(tUrl *url) {
    if (!url) return;
    free(url->login);
    free(url->password);
    free(url->host);
    memset(url, 0, sizeof *url);
}

int UrlEscape(char *buffer, size_t length, const char *text, const char *set) {
    size_t pos = 0;
    for (const char *p = text; *p; p++) {
        bool escape = strchr(set, *p) != nullptr;
        size_t need = escape ? 3 : 1;
        if (pos + need + 1 > length) return SockFail(ESOCK_BUFFER_OVERFLOW);
        if (escape) {
            snprintf(buffer + pos, 4, "%%%02x", (unsigned char)*p);
        } else {
            buffer[pos] = *p;
        }
        pos += need;
    }
    if (pos + 1 > length) return SockFail(ESOCK_BUFFER_OVERFLOW);
    buffer[pos] = '\0';
    return (int)pos;
}

size_t UrlUnescape(char *buffer, const char *text, size_t length) {
    size_t out = 0;
    for (size_t i = 0; i < length; i++) {
        char c = text[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%') {
            int high = i + 1 < length ? HexValue(text[i + 1]) : -1;
            if (high >= 0) {
                int low = i + 2 < length ? HexValue(text[i + 2]) : -1;
                if (low >= 0) {
                    c = (char)(high * 16 + low);
                    i += 2;
                } else {
                    c = (char)high;
                    i += 1;
                }
            }
        }
        if (buffer) buffer[out] = c;
        out++;
    }
    if (buffer) buffer[out] = '\0';
    return out;
}
