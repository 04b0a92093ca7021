// Drives one proxy exchange over a reply held in memory: the first byte
// chooses the exchange, the rest is everything the proxy "says". Shared by
// the libFuzzer target and the regression test that replays its findings.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "lib/diag.h"
#include "lib/proxy.h"

namespace proxyfuzz {

struct tMemoryStream {
    const uint8_t *data;
    size_t size;
    size_t pos;
    size_t sent;
};

inline int MemReadExact(void *context, void *buffer, int size) {
    tMemoryStream *m = (tMemoryStream *)context;
    if (size < 0 || m->size - m->pos < (size_t)size) {
        m->pos = m->size;
        return SockFail(EPROXY_CLOSED);
    }
    memcpy(buffer, m->data + m->pos, (size_t)size);
    m->pos += (size_t)size;
    return size;
}

inline int MemReadSome(void *context, void *buffer, int size) {
    tMemoryStream *m = (tMemoryStream *)context;
    size_t n = m->size - m->pos;
    if (n > (size_t)size) n = (size_t)size;
    memcpy(buffer, m->data + m->pos, n);
    m->pos += n;
    return (int)n;
}

inline int MemSend(void *context, const void *, int size) {
    ((tMemoryStream *)context)->sent += (size_t)size;
    return size;
}

// Formats every trace call, as a real trace would, into a scratch buffer.
inline void FormatTrace(void *, const char *format, ...) {
    char text[8192];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
}

// Runs the exchange chosen by data[0] over the rest of data. Returns the
// exchange's result (0 or -1); the last socket error holds the reason.
inline int RunOne(const uint8_t *data, size_t size) {
    if (size == 0) return -1;
    tMemoryStream m = {data + 1, size - 1, 0, 0};
    tProxyIo io = {MemReadExact, MemReadSome, MemSend, &m};
    tTraceFn trace = (data[0] & 0x80) ? FormatTrace : nullptr;
    tUrl proxy = {};
    proxy.host = (char *)"proxy";
    proxy.port = 1080;
    int status = 0;
    switch (data[0] & 0x0f) {
    case 0: proxy.scheme = URL_SOCKS5; return Socks5Exchange(&io, &proxy, "dest.example", 119, trace, nullptr);
    case 1: proxy.scheme = URL_SOCKS5B; return Socks5Exchange(&io, &proxy, "dest.example", 119, trace, nullptr);
    case 2:
        proxy.scheme = URL_SOCKS5;
        proxy.login = (char *)"user";
        proxy.password = (char *)"secret";
        return Socks5Exchange(&io, &proxy, "dest.example", 119, trace, nullptr);
    case 3: proxy.scheme = URL_SOCKS4; return Socks4Exchange(&io, &proxy, 0x0100007f, 119, trace, nullptr);
    case 4:
        proxy.scheme = URL_SOCKS4B;
        proxy.password = (char *)"id";
        return Socks4Exchange(&io, &proxy, 0x0100007f, 119, trace, nullptr);
    case 5: return HttpProxyExchange(&io, "dest.example", 119, trace, nullptr, &status);
    default: return SunProxyExchange(&io, "dest.example", 119, trace, nullptr);
    }
}

}  // namespace proxyfuzz
