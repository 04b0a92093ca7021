// Proxy exchanges and chains; see proxy.h.
#include "lib/proxy.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/diag.h"

namespace {

// ---- Traces ----

// "Sending:" or "Received:" and each byte as " %02X" (or, with names, bytes
// 33..127 as " %c"); the byte text is cut at 256 characters.
void TraceBlock(tTraceFn trace, void *context, const char *what, const unsigned char *bytes, int size,
                bool names) {
    if (!trace) return;
    char text[260];
    int len = 0;
    text[0] = '\0';
    for (int i = 0; i < size; i++) {
        char one[4];
        int n = names && bytes[i] >= 33 && bytes[i] <= 127 ? snprintf(one, sizeof one, " %c", bytes[i])
                                                           : snprintf(one, sizeof one, " %02X", bytes[i]);
        if (len + n > 256) break;
        memcpy(text + len, one, (size_t)n + 1);
        len += n;
    }
    trace(context, "%s:%s\n", what, text);
}

// Sends a whole block, tracing it; a short send fails with
// EPROXY_SEND_ABORTED, a failed one traces " <error>\n".
int SendBlock(const tProxyIo *io, const unsigned char *bytes, int size, bool names, tTraceFn trace,
              void *context) {
    TraceBlock(trace, context, "Sending", bytes, size, names);
    int n = io->send(io->context, bytes, size);
    if (n < 0) {
        int err = SockLastError();
        if (trace) trace(context, " <%s>\n", ProxyErrorText(err));
        return SockFail(err);
    }
    if (n != size) return SockFail(EPROXY_SEND_ABORTED);
    return 0;
}

int ReadBlock(const tProxyIo *io, unsigned char *bytes, int size, tTraceFn trace, void *context) {
    if (io->readExact(io->context, bytes, size) != size) return -1;
    TraceBlock(trace, context, "Received", bytes, size, false);
    return 0;
}

// ---- Byte streams on sockets ----

struct tSockIo {
    int socket;
    int seconds;
    int cancelSocket;
};

int SockReadExact(void *context, void *buffer, int size) {
    tSockIo *s = (tSockIo *)context;
    return ReadExact(s->socket, buffer, size, s->seconds, s->cancelSocket);
}

// Used only to show what a refusing proxy adds after its status line: a
// proxy that keeps the connection open without saying more must not hold
// the caller for the whole read limit, so this waits at most 2 seconds.
int SockReadSome(void *context, void *buffer, int size) {
    tSockIo *s = (tSockIo *)context;
    int seconds = s->seconds < 0 || s->seconds > 2 ? 2 : s->seconds;
    return RecvWithin(s->socket, buffer, size, seconds, s->cancelSocket);
}

int SockSend(void *context, const void *bytes, int size) {
    tSockIo *s = (tSockIo *)context;
    return SendBytes(s->socket, bytes, size);
}

tProxyIo MakeSockIo(tSockIo *sio, int socket, const tConnectRequest *request) {
    sio->socket = socket;
    sio->seconds = ProxyReadSeconds(request);
    sio->cancelSocket = request->cancelSocket;
    return tProxyIo{SockReadExact, SockReadSome, SockSend, sio};
}

// The socket to talk to proxy on: the given one, or a new direct connection.
int ReachProxy(int socket, const tUrl *proxy, const tConnectRequest *request) {
    if (socket >= 0) return socket;
    tConnectRequest toProxy = {};
    toProxy.host = proxy->host ? proxy->host : "";
    toProxy.port = proxy->port;
    toProxy.timeout = request->timeout;
    toProxy.cancelSocket = request->cancelSocket;
    toProxy.trace = request->trace;
    toProxy.traceContext = request->traceContext;
    return DirectConnect(&toProxy);
}

// Reads one line byte by byte into line (1024 bytes), tracing each
// character. Returns its length without the line feed, or -1 (a line longer
// than 1023 bytes fails with EPROXY_INTERMEDIATE_SYNTAX).
int ReadTracedLine(const tProxyIo *io, char *line, tTraceFn trace, void *context) {
    int len = 0;
    for (;;) {
        char c;
        if (io->readExact(io->context, &c, 1) != 1) return -1;
        if (trace) trace(context, "%c", c);
        if (c == '\n') break;
        if (len >= 1023) return SockFail(EPROXY_INTERMEDIATE_SYNTAX);
        line[len++] = c;
    }
    line[len] = '\0';
    return len;
}

}  // namespace

// ---- SOCKS5 ----

int Socks5Exchange(const tProxyIo *io, const tUrl *proxy, const char *host, int port, tTraceFn trace,
                   void *traceContext) {
    bool hasLogin = proxy->login && proxy->login[0];
    unsigned char buf[600];

    // Greeting.
    int n;
    if (hasLogin) {
        const unsigned char g[] = {5, 2, 0, 2};
        n = SendBlock(io, g, 4, false, trace, traceContext);
    } else {
        const unsigned char g[] = {5, 1, 0};
        n = SendBlock(io, g, 3, false, trace, traceContext);
    }
    if (n < 0) return -1;
    if (ReadBlock(io, buf, 2, trace, traceContext) < 0) return -1;
    if (buf[0] != 5) return SockFail(EPROXY_IMMEDIATE_SYNTAX);
    if (buf[1] == 2) {
        if (!hasLogin) return SockFail(EPROXY_LOGIN_REQUIRED);
        const char *password = proxy->password ? proxy->password : "";
        size_t loginLen = strlen(proxy->login), passLen = strlen(password);
        if (loginLen >= 254 || passLen + loginLen >= 253) return SockFail(ESOCK_BUFFER_OVERFLOW);
        int len = 0;
        buf[len++] = 1;
        buf[len++] = (unsigned char)loginLen;
        memcpy(buf + len, proxy->login, loginLen);
        len += (int)loginLen;
        buf[len++] = (unsigned char)passLen;
        memcpy(buf + len, password, passLen);
        len += (int)passLen;
        if (SendBlock(io, buf, len, true, trace, traceContext) < 0) return -1;
        if (ReadBlock(io, buf, 2, trace, traceContext) < 0) return -1;
        if (buf[1] != 0) return SockFail(EPROXY_INTERMEDIATE_SYNTAX);
    } else if (buf[1] != 0) {
        return SockFail(EPROXY_NO_AUTH_METHOD);
    }

    // Connect request by name.
    size_t hostLen = strlen(host);
    if (hostLen >= 251) return SockFail(ESOCK_BUFFER_OVERFLOW);
    int len = 0;
    buf[len++] = 5;
    buf[len++] = 1;
    buf[len++] = 0;
    buf[len++] = 3;
    buf[len++] = (unsigned char)hostLen;
    memcpy(buf + len, host, hostLen);
    len += (int)hostLen;
    buf[len++] = (unsigned char)((port >> 8) & 0xff);
    buf[len++] = (unsigned char)(port & 0xff);
    if (SendBlock(io, buf, len, true, trace, traceContext) < 0) return -1;

    // Reply.
    if (ReadBlock(io, buf, 4, trace, traceContext) < 0) return -1;
    if (buf[0] != 5) return SockFail(EPROXY_INTERMEDIATE_SYNTAX);
    switch (buf[1]) {
    case 0: break;
    case 1: return SockFail(EPROXY_HOST_NOT_FOUND);
    case 2: return SockFail(EPROXY_NOT_ALLOWED);
    case 3: return SockFail(EPROXY_NETWORK_UNREACHABLE);
    case 4: return SockFail(EPROXY_HOST_UNREACHABLE);
    case 5: return SockFail(EPROXY_REFUSED);
    case 6: return SockFail(EPROXY_TTL_EXPIRED);
    case 7: return SockFail(EPROXY_COMMAND_UNSUPPORTED);
    case 8: return SockFail(EPROXY_ADDRESS_UNSUPPORTED);
    default: return SockFail(EPROXY_UNDOCUMENTED);
    }
    switch (buf[3]) {
    case 1:  // IPv4 address and port
        if (proxy->scheme == URL_SOCKS5B) return 0;
        return ReadBlock(io, buf, 6, trace, traceContext);
    case 3:  // name: length, name, port
        if (ReadBlock(io, buf, 1, trace, traceContext) < 0) return -1;
        return ReadBlock(io, buf, buf[0] + 2, trace, traceContext);
    case 4:  // IPv6 address and port
        return ReadBlock(io, buf, 18, trace, traceContext);
    default:
        return SockFail(EPROXY_INTERMEDIATE_SYNTAX);
    }
}

// ---- SOCKS4 ----

int Socks4Exchange(const tProxyIo *io, const tUrl *proxy, uint32_t address, int port, tTraceFn trace,
                   void *traceContext) {
    const char *user = proxy->password ? proxy->password : "";
    size_t userLen = strlen(user);
    if (userLen + 1 > 120) return SockFail(ESOCK_BUFFER_OVERFLOW);
    unsigned char buf[8 + 120];
    int len = 0;
    buf[len++] = 4;
    buf[len++] = 1;
    buf[len++] = (unsigned char)((port >> 8) & 0xff);
    buf[len++] = (unsigned char)(port & 0xff);
    memcpy(buf + len, &address, 4);
    len += 4;
    memcpy(buf + len, user, userLen + 1);
    len += (int)userLen + 1;
    if (SendBlock(io, buf, len, userLen > 0, trace, traceContext) < 0) return -1;
    if (ReadBlock(io, buf, 8, trace, traceContext) < 0) return -1;
    if (buf[0] != 0) return SockFail(EPROXY_IMMEDIATE_SYNTAX);
    if (buf[1] == 0x5b) return SockFail(EPROXY_NETWORK_UNREACHABLE);
    if (buf[1] != 0x5a) return SockFail(EPROXY_INTERMEDIATE_SYNTAX);
    if (proxy->scheme == URL_SOCKS4) return ReadBlock(io, buf, 6, trace, traceContext);
    return 0;
}

// ---- HTTP CONNECT ----

int HttpProxyExchange(const tProxyIo *io, const char *host, int port, tTraceFn trace, void *traceContext,
                      int *status) {
    *status = 0;
    char request[1100];
    int n = snprintf(request, sizeof request, "CONNECT %s:%d HTTP/1.0\r\n\r\n", host, port);
    if (n < 0 || (size_t)n >= sizeof request) return SockFail(ESOCK_BUFFER_OVERFLOW);
    if (trace) trace(traceContext, "Sending: %.*s\n", n - 4, request);
    int sent = io->send(io->context, request, n);
    if (sent < 0) return -1;
    if (sent != n) return SockFail(EPROXY_SEND_ABORTED);

    if (trace) trace(traceContext, "Received: ");
    char line[1024];
    int len = 0, total = 0;
    bool firstLine = true;
    for (;;) {
        char c;
        if (io->readExact(io->context, &c, 1) != 1) {
            int err = SockLastError();
            if (trace) trace(traceContext, "\n");
            return SockFail(err);
        }
        if (trace) trace(traceContext, "%c", c);
        if (total < 5 && c != "HTTP/"[total]) return SockFail(EPROXY_IMMEDIATE_SYNTAX);
        total++;
        if (c != '\n') {
            if (len >= 1023) return SockFail(EPROXY_INTERMEDIATE_SYNTAX);
            line[len++] = c;
            continue;
        }
        line[len] = '\0';
        if (!firstLine) {
            if (len == 0 || line[0] == '\r' || line[0] == '\n') return 0;
            len = 0;
            continue;
        }
        firstLine = false;
        len = 0;
        // The second blank-separated token is the status.
        const char *p = line;
        while (*p && *p != ' ' && *p != '\t' && *p != '\r') p++;
        while (*p == ' ' || *p == '\t') p++;
        if (*p == '\0' || *p == '\r') return SockFail(EPROXY_INTERMEDIATE_SYNTAX);
        *status = atoi(p);
        if (*status == 200) continue;
        if (trace) {
            char more[1024];
            int got = io->readSome(io->context, more, 1023);
            if (got > 0) {
                more[got] = '\0';
                size_t shown = strlen(more);
                trace(traceContext, "Proxy also said: %s%s", more,
                      shown > 0 && more[shown - 1] == '\n' ? "" : "\n");
            }
        }
        if (*status == 403 || *status == 404) return SockFail(EPROXY_NOT_ALLOWED);
        return SockFail(EPROXY_REFUSED);
    }
}

// ---- Line-based relay ----

int SunProxyExchange(const tProxyIo *io, const char *host, int port, tTraceFn trace, void *traceContext) {
    char request[1100];
    int n = snprintf(request, sizeof request, "%s %d\n", host, port);
    if (n < 0 || (size_t)n >= sizeof request) return SockFail(ESOCK_BUFFER_OVERFLOW);
    if (trace) trace(traceContext, "Sending: %s", request);
    int sent = io->send(io->context, request, n);
    if (sent < 0) return -1;
    if (sent != n) return SockFail(EPROXY_SEND_ABORTED);
    if (trace) trace(traceContext, "Received: ");
    char line[1024];
    for (int i = 0; i < 2; i++) {
        if (ReadTracedLine(io, line, trace, traceContext) < 0) {
            int err = SockLastError();
            if (trace) trace(traceContext, "<%s>\n", ProxyErrorText(err));
            return SockFail(err);
        }
        if (strstr(line, "Connection refused")) return SockFail(EPROXY_REFUSED);
        if (strstr(line, "are not allowed")) return SockFail(EPROXY_NOT_ALLOWED);
        if (strstr(line, "unknown host")) return SockFail(EPROXY_HOST_NOT_FOUND);
    }
    return 0;
}

// ---- On sockets ----

int Socks5Connect(int socket, const tUrl *proxy, const tConnectRequest *request) {
    socket = ReachProxy(socket, proxy, request);
    if (socket < 0) return -1;
    tSockIo sio;
    tProxyIo io = MakeSockIo(&sio, socket, request);
    if (Socks5Exchange(&io, proxy, request->host, request->port, request->trace, request->traceContext) < 0)
        return CloseAndFail(socket);
    return socket;
}

int Socks4Connect(int socket, const tUrl *proxy, const tConnectRequest *request) {
    uint32_t address;
    if (Resolve(request->host, &address, nullptr) < 0) return CloseAndFail(socket);
    socket = ReachProxy(socket, proxy, request);
    if (socket < 0) return -1;
    tSockIo sio;
    tProxyIo io = MakeSockIo(&sio, socket, request);
    if (Socks4Exchange(&io, proxy, address, request->port, request->trace, request->traceContext) < 0)
        return CloseAndFail(socket);
    return socket;
}

int SunProxyConnect(int socket, const tUrl *proxy, const tConnectRequest *request) {
    socket = ReachProxy(socket, proxy, request);
    if (socket < 0) return -1;
    tSockIo sio;
    tProxyIo io = MakeSockIo(&sio, socket, request);
    if (SunProxyExchange(&io, request->host, request->port, request->trace, request->traceContext) < 0)
        return CloseAndFail(socket);
    return socket;
}

int HttpProxyConnect(int socket, const tUrl *proxy, const tConnectRequest *request) {
    bool direct = socket < 0;
    const char *host = request->host;
    char dotted[16];
    for (bool retried = false;; retried = true) {
        socket = ReachProxy(socket, proxy, request);
        if (socket < 0) return -1;
        tSockIo sio;
        tProxyIo io = MakeSockIo(&sio, socket, request);
        int status = 0;
        if (HttpProxyExchange(&io, host, request->port, request->trace, request->traceContext, &status) == 0)
            return socket;
        CloseAndFail(socket);
        socket = -1;
        if (status != 404) return -1;
        uint32_t address;
        if (retried || !direct || (host[0] >= '0' && host[0] <= '9') || Resolve(host, &address, nullptr) < 0)
            return SockFail(EPROXY_NOT_ALLOWED);
        host = AddressText(address, dotted);
        if (request->trace) request->trace(request->traceContext, "Trying IP address %s\n", host);
    }
}

// ---- Chains ----

int ChainConnect(const tUrl *firstHop, const tConnectRequest *request) {
    if (!firstHop) return DirectConnect(request);
    tConnectRequest hopRequest = *request;
    int socket = -1;
    for (const tUrl *hop = firstHop; hop; hop = hop->next) {
        const tUrl *next = hop->next;
        bool last = !next || next->scheme == URL_NONE_GIVEN || next->scheme == URL_NO_PROXY;
        tConnectRequest target = hopRequest;
        if (!last) {
            target.host = next->host ? next->host : "";
            target.port = next->port;
        }
        switch (hop->scheme) {
        case URL_NONE_GIVEN:
        case URL_NO_PROXY:
            if (socket >= 0 || !last) {
                SocketClose(socket);
                return SockFail(EPROXY_BAD_CHAINING);
            }
            socket = DirectConnect(&hopRequest);
            break;
        case URL_FTPPROXY:
            if (!last) {
                SocketClose(socket);
                return SockFail(EPROXY_BAD_CHAINING);
            }
            if (socket < 0) {
                tConnectRequest toProxy = hopRequest;
                toProxy.host = hop->host ? hop->host : "";
                toProxy.port = hop->port;
                socket = DirectConnect(&toProxy);
            }
            break;
        case URL_TUNNEL: {
            if (socket >= 0) {
                SocketClose(socket);
                return SockFail(EPROXY_BAD_CHAINING);
            }
            tConnectRequest toTunnel = hopRequest;
            toTunnel.host = hop->host ? hop->host : "";
            toTunnel.port = hop->port != 0 ? hop->port : target.port;
            socket = DirectConnect(&toTunnel);
            break;
        }
        case URL_SUN: socket = SunProxyConnect(socket, hop, &target); break;
        case URL_SOCKS5:
        case URL_SOCKS5B: socket = Socks5Connect(socket, hop, &target); break;
        case URL_SOCKS4:
        case URL_SOCKS4B: socket = Socks4Connect(socket, hop, &target); break;
        case URL_HTTPS: socket = HttpProxyConnect(socket, hop, &target); break;
        default:
            SocketClose(socket);
            return SockFail(EPROXY_BAD_TYPE);
        }
        if (socket < 0) return -1;
        hopRequest.cachedAddress = nullptr;
        if (last) return socket;
    }
    return socket;
}
