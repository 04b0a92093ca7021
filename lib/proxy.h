// Connections through proxies and proxy chains.
//
// ChainConnect walks a chain of tUrl hops (linked by next) and reaches the
// destination directly, through a port-mapping proxy, a TCP tunnel, or through
// SOCKS5 (with user name and password login), SOCKS4, HTTP CONNECT and
// line-based relay proxies. Every byte of an exchange can be traced to the
// request's trace callback.
//
// Each exchange is written as a function over a tProxyIo (read exactly n
// bytes, read what is there, send), so the parsing of proxy replies can be
// driven from memory as well as from a socket; the ...Connect functions bind
// it to a socket with the request's time limit and cancel socket.
//
// Failures: -1 with the last socket error (ESOCK_ and EPROXY_ codes, named by
// ProxyErrorText). A failed exchange closes its socket, also one it was given.
//
// Threading: no shared state; any thread.
#pragma once

#include <cstdint>

#include "lib/sock.h"
#include "lib/url.h"

// The byte stream of one exchange.
struct tProxyIo {
    // Reads exactly size bytes: size, or -1 (EPROXY_CLOSED at end of stream).
    int (*readExact)(void *context, void *buffer, int size);
    // One read of at most size bytes: the count (0 at end of stream) or -1.
    int (*readSome)(void *context, void *buffer, int size);
    // One send: the count sent or -1.
    int (*send)(void *context, const void *bytes, int size);
    void *context;
};

// ---- Exchanges over a byte stream (no socket handling) ----

// SOCKS5 greeting, optional RFC 1929 login with proxy's login and password,
// and a connect request for host:port by name. proxy->scheme URL_SOCKS5B reads
// only four bytes of an IPv4 reply. Returns 0 when the proxy relays, else -1.
int Socks5Exchange(const tProxyIo *io, const tUrl *proxy, const char *host, int port, tTraceFn trace,
                   void *traceContext);

// SOCKS4 connect request for address (network order):port with the proxy
// URL's password as user id; URL_SOCKS4 reads six bytes after the reply.
int Socks4Exchange(const tProxyIo *io, const tUrl *proxy, uint32_t address, int port, tTraceFn trace,
                   void *traceContext);

// HTTP CONNECT host:port. Returns 0 after a 200 reply and its header; else
// -1 with *status set to the reply's status when one was read (0 otherwise):
// 403 and 404 fail with EPROXY_NOT_ALLOWED, other statuses EPROXY_REFUSED.
int HttpProxyExchange(const tProxyIo *io, const char *host, int port, tTraceFn trace, void *traceContext,
                      int *status);

// Line-based relay: sends "host port\n" and reads two reply lines.
int SunProxyExchange(const tProxyIo *io, const char *host, int port, tTraceFn trace, void *traceContext);

// ---- Exchanges on sockets ----

// One proxy exchange asking proxy for request->host:port. With socket -1 the
// proxy is first reached with DirectConnect (request's time limit, cancel
// socket and trace, no cached address, no address filter). Returns the
// socket, now relaying to the destination, or -1 (socket closed).
[[nodiscard]] int Socks5Connect(int socket, const tUrl *proxy, const tConnectRequest *request);
[[nodiscard]] int Socks4Connect(int socket, const tUrl *proxy, const tConnectRequest *request);
[[nodiscard]] int SunProxyConnect(int socket, const tUrl *proxy, const tConnectRequest *request);
// On a 404 for a host name that resolves locally, traces "Trying IP address
// %s\n" and repeats the exchange once on a new connection with the dotted
// address (only when the proxy is reached directly, socket -1).
[[nodiscard]] int HttpProxyConnect(int socket, const tUrl *proxy, const tConnectRequest *request);

// The connection to request's destination through the chain starting at
// firstHop, or directly when firstHop is null or has scheme 0 or "none".
// Bad chains fail with EPROXY_BAD_CHAINING, unknown hop schemes with
// EPROXY_BAD_TYPE. request->cachedAddress serves only the first hop.
[[nodiscard]] int ChainConnect(const tUrl *firstHop, const tConnectRequest *request);
