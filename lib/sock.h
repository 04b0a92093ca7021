// TCP sockets: creation, waits with time limits and cancellation, name
// resolution, direct connections and the process-wide cancellation socket.
//
// Sockets are plain descriptors (int, -1 when absent). Every function fails
// by returning -1 (or null) after setting the calling thread's last socket
// error with SockFail (lib/diag.h); POSIX errors are mapped onto the Winsock
// numbers, so callers name any failure with ProxyErrorText.
//
// Waits use poll(), so descriptors above FD_SETSIZE are fine. A wait given a
// cancel socket ends with ESOCK_CANCELLED as soon as that socket is readable.
// The process-wide cancellation socket is the read end of a local socket
// pair; closing its write end (done by RequestShutdown through a shutdown
// hook) makes it readable for good, which interrupts every wait that was
// given it. Sends never raise SIGPIPE.
//
// Threading: every function may run on any thread. They share no state but
// the cancellation socket (created and closed by the main thread while no
// other thread uses it) and the caller's cachedAddress, which the caller
// protects.
#pragma once

#include <cstdint>

#include "lib/dynarray.h"

#define SOCK_VALID(s) ((s) >= 0)
constexpr int INVALID_SOCK = -1;

// printf-style receiver of warnings and proxy exchange traces.
typedef void (*tTraceFn)(void *context, const char *format, ...);

// A tTraceFn writing to the tLog (lib/log.h) given as context, without time
// stamps (traces are fragments of lines). A null context is ignored.
void TraceToLog(void *log, const char *format, ...) __attribute__((format(printf, 2, 3)));

struct tConnectRequest;

// Called with the request, its filter context and the IPv4 address (network
// order) about to be used; a non-zero result forbids the address.
typedef int (*tAddressFilterFn)(const tConnectRequest *request, void *context, uint32_t address);

// What one connection attempt needs.
struct tConnectRequest {
    const char *host;               // destination host name or dotted address
    int port;                       // destination port
    int timeout;                    // seconds for connecting and for each proxy read;
                                    // negative: no connect limit, 600 s per proxy read
    int cancelSocket;               // readable: every wait ends; -1 for none
    tTraceFn trace;                 // warnings and proxy traces; null for none
    void *traceContext;             // first argument of trace
    tAddressFilterFn addressFilter; // null for none
    void *addressFilterContext;     // its context
    uint32_t *cachedAddress;        // remembered destination address (network
                                    // order), 0 when unknown; null for none
};

// Seconds allowed for each read of a proxy exchange under request.
int ProxyReadSeconds(const tConnectRequest *request);

// ---- The process-wide cancellation socket ----

// Creates the cancellation socket (closing one left from an earlier run) and
// registers its triggering as a shutdown hook; when a shutdown was already
// requested it is triggered at once. Returns 0, or -1 with the error
// (WSAENOBUFS when no hook can be registered). Main thread, at start-up.
[[nodiscard]] int CancelSocketCreate();

// The cancellation socket to pass as cancelSocket, or -1 before creation.
int CancelSocketGet();

// Makes the cancellation socket readable for good (what RequestShutdown does).
// Idempotent; any thread.
void CancelSocketTrigger();

// Removes the hook and closes both ends. Main thread, at tear-down, when no
// other thread waits on the socket any more.
void CancelSocketClose();

// ---- Basic operations ----

// Creates a TCP socket (close-on-exec). With port given: when *port is not 0
// the address-reuse option is set (a failure is only traced as "Warning: Could
// not enable port reuse (for port %d): %s\n"), the socket is bound to *port on
// all interfaces and the bound port is stored back (0 yields an ephemeral
// port). request may be null. Returns the socket or -1 (nothing left open).
[[nodiscard]] int TcpSocket(int *port, const tConnectRequest *request);

// Keeps the last socket error, closes socket (when valid) and fails with the
// kept error. Always returns -1.
int CloseAndFail(int socket);

// Closes a valid socket; ignores -1.
void SocketClose(int socket);

// Waits until socket is readable; negative milliseconds wait without limit.
// Returns 1; expiry fails with ESOCK_TIMEOUT. A failing poll counts as
// readable (the following receive reports the error).
int WaitReadable(int socket, int milliseconds);

// As WaitReadable on socket and cancelSocket together: returns 1 when socket
// is readable; ESOCK_CANCELLED when cancelSocket is readable (also when
// socket is readable too); ESOCK_TIMEOUT on expiry.
int WaitReadableOrCancel(int socket, int milliseconds, int cancelSocket);

// When seconds >= 0, first waits for readability (with cancelSocket when it
// is valid) and fails on expiry or cancellation; then one receive of at most
// size bytes. Returns its count (0 at end of stream) or -1.
int RecvWithin(int socket, void *buffer, int size, int seconds, int cancelSocket);

// RecvWithin until size bytes arrived; end of stream fails with
// EPROXY_CLOSED. Returns size or -1.
int ReadExact(int socket, void *buffer, int size, int seconds, int cancelSocket);

// When seconds >= 0 waits for a connection first (ESOCK_TIMEOUT on expiry),
// then accepts. Returns the new socket (close-on-exec) or -1.
[[nodiscard]] int AcceptWithin(int listener, int seconds);

// One send of the whole text; returns the count sent or -1.
int SendText(int socket, const char *text);

// One send of size bytes; returns the count sent or -1.
int SendBytes(int socket, const void *bytes, int size);

// Shuts down both directions; returns 0 or -1.
int SocketShutdown(int socket);

// Switches blocking mode; returns 0 or -1.
int SocketSetBlocking(int socket, bool blocking);

// Asks for the next segments received on a TCP socket to be acknowledged at
// once instead of after the delayed-acknowledgement pause. A peer that sends
// an answer in several small writes with Nagle's algorithm on waits for
// that acknowledgement before each write after the first; a request/answer
// conversation then costs one pause per answer. The request lasts only a
// while: call it again before each answer is awaited. Returns 0, or -1
// where the system has no such switch (harmless).
int SocketQuickAck(int socket);

// Three digits followed by a space, "-" or a carriage return: the number,
// negated before "-" (a continuation line); otherwise 0.
int ReplyCode(const char *text);

// ---- Names and addresses ----

// Resolves name to an IPv4 address (network order) in *address: a name
// starting with a digit that reads as a dotted address is that address; else
// the host database's first address (with addressList given, all of them are
// appended to it: a tDynArray of uint32_t, DynArrayInit(list, 4, n, 0)); else
// 127.0.0.1 for "localhost" (any case). Returns 0, or -1 with the resolver's
// error (11001 "Host not found", ...) or ESOCK_OUT_OF_MEMORY.
int Resolve(const char *name, uint32_t *address, tDynArray *addressList);

// Formats an address (network order) as dotted text into buf (16 bytes).
char *AddressText(uint32_t address, char *buf);

// The decision of LocalOnlyCheck over a list of addresses (network order):
// 0 as soon as one is neither loopback (127.0.0.0/8) nor in 10.0.0.0-10.0.0.255,
// else -1 with ESOCK_LOCAL_ONLY.
int LocalOnlyDecide(const uint32_t *addresses, int count);

// Whether this computer has any address that is not local-only: obtains its
// name (ESOCK_NO_HOST_NAME) and its IPv4 addresses (those of its interfaces,
// else those its name resolves to; ESOCK_NO_HOST_ADDRESS), then
// LocalOnlyDecide.
int LocalOnlyCheck();

// ---- Connecting ----

// A TCP connection to request->host:port, returned in blocking mode, or -1.
// Uses and refreshes *cachedAddress; a cached address that fails at once is
// forgotten ("Forgetting cached IP address.\n") and the name resolved anew.
// A forbidden address fails with ESOCK_FORBIDDEN_IP; with a time limit or a
// cancel socket the connect is non-blocking and fails with ESOCK_TIMEOUT,
// ESOCK_CANCELLED or ESOCK_ASYNC_CONNECT.
[[nodiscard]] int DirectConnect(const tConnectRequest *request);
