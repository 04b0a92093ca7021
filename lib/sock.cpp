// TCP sockets, waits, resolution and direct connections; see sock.h.
#include "lib/sock.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include "lib/diag.h"
#include "lib/log.h"
#include "lib/shutdown.h"

namespace {

int FailErrno() { return SockFail(SockErrorFromErrno(errno)); }

std::atomic<int> cancelReadEnd{-1};
std::atomic<int> cancelWriteEnd{-1};

void CancelHook(void *) { CancelSocketTrigger(); }

// Milliseconds left until deadline, for a poll; -1 without limit.
struct tDeadline {
    bool limited;
    std::chrono::steady_clock::time_point at;
    explicit tDeadline(int milliseconds) : limited(milliseconds >= 0) {
        if (limited) at = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    }
    int Left() const {
        if (!limited) return -1;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(at - std::chrono::steady_clock::now());
        long long ms = left.count();
        if (ms < 0) return 0;
        if (ms > 0x7fffffff) return 0x7fffffff;
        return (int)ms;
    }
};

// poll() restarted after EINTR with the time left. Returns poll's result.
int PollWithin(struct pollfd *fds, int count, int milliseconds) {
    tDeadline deadline(milliseconds);
    for (;;) {
        int n = poll(fds, (nfds_t)count, deadline.Left());
        if (n >= 0 || errno != EINTR) return n;
    }
}

void Trace(const tConnectRequest *request, const char *format, ...) __attribute__((format(printf, 2, 3)));
void Trace(const tConnectRequest *request, const char *format, ...) {
    if (!request || !request->trace) return;
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    request->trace(request->traceContext, "%s", text);
}

}  // namespace

void TraceToLog(void *log, const char *format, ...) {
    if (!log) return;
    char text[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) return;
    if ((size_t)n >= sizeof text) n = (int)sizeof text - 1;
    LogWrite((tLog *)log, text, (size_t)n);
}

int ProxyReadSeconds(const tConnectRequest *request) {
    return request->timeout < 0 ? 600 : request->timeout;
}

// ---- The process-wide cancellation socket ----

int CancelSocketCreate() {
    CancelSocketClose();  // a left-over of an earlier run
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return FailErrno();
    cancelReadEnd.store(pair[0]);
    cancelWriteEnd.store(pair[1]);
    if (!ShutdownAddHook(CancelHook, nullptr)) {
        CancelSocketClose();
        return SockFail(WSAENOBUFS);
    }
    // A request that came before the hook was in place still counts.
    if (ShutdownRequested()) CancelSocketTrigger();
    return 0;
}

int CancelSocketGet() { return cancelReadEnd.load(); }

void CancelSocketTrigger() {
    int w = cancelWriteEnd.exchange(-1);
    if (w >= 0) close(w);
}

void CancelSocketClose() {
    ShutdownRemoveHook(CancelHook, nullptr);
    CancelSocketTrigger();
    int r = cancelReadEnd.exchange(-1);
    if (r >= 0) close(r);
}

// ---- Basic operations ----

int TcpSocket(int *port, const tConnectRequest *request) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return FailErrno();
    if (port) {
        if (*port != 0) {
            int on = 1;
            if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
                int err = SockErrorFromErrno(errno);
                Trace(request, "Warning: Could not enable port reuse (for port %d): %s\n", *port,
                      SockErrorText(err));
            }
        }
        struct sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons((uint16_t)*port);
        if (bind(s, (struct sockaddr *)&a, sizeof a) != 0) {
            FailErrno();
            return CloseAndFail(s);
        }
        socklen_t len = sizeof a;
        if (getsockname(s, (struct sockaddr *)&a, &len) != 0) {
            FailErrno();
            return CloseAndFail(s);
        }
        *port = ntohs(a.sin_port);
    }
    return s;
}

int CloseAndFail(int socket) {
    int err = SockLastError();
    if (socket >= 0) close(socket);
    return SockFail(err);
}

void SocketClose(int socket) {
    if (socket >= 0) close(socket);
}

int WaitReadable(int socket, int milliseconds) {
    struct pollfd p = {socket, POLLIN, 0};
    int n = PollWithin(&p, 1, milliseconds);
    if (n == 0) return SockFail(ESOCK_TIMEOUT);
    return 1;
}

int WaitReadableOrCancel(int socket, int milliseconds, int cancelSocket) {
    if (cancelSocket < 0) return WaitReadable(socket, milliseconds);
    struct pollfd p[2] = {{socket, POLLIN, 0}, {cancelSocket, POLLIN, 0}};
    int n = PollWithin(p, 2, milliseconds);
    if (n == 0) return SockFail(ESOCK_TIMEOUT);
    if (n > 0 && p[1].revents != 0) return SockFail(ESOCK_CANCELLED);
    return 1;
}

int RecvWithin(int socket, void *buffer, int size, int seconds, int cancelSocket) {
    if (seconds >= 0) {
        int ms = seconds > 2000000 ? 2000000000 : seconds * 1000;
        if (WaitReadableOrCancel(socket, ms, cancelSocket) < 0) return -1;
    }
    for (;;) {
        ssize_t n = recv(socket, buffer, (size_t)size, 0);
        if (n >= 0) return (int)n;
        if (errno != EINTR) return FailErrno();
    }
}

int ReadExact(int socket, void *buffer, int size, int seconds, int cancelSocket) {
    int got = 0;
    while (got < size) {
        int n = RecvWithin(socket, (char *)buffer + got, size - got, seconds, cancelSocket);
        if (n < 0) return -1;
        if (n == 0) return SockFail(EPROXY_CLOSED);
        got += n;
    }
    return size;
}

int AcceptWithin(int listener, int seconds) {
    if (seconds >= 0) {
        int ms = seconds > 2000000 ? 2000000000 : seconds * 1000;
        if (WaitReadable(listener, ms) < 0) return -1;
    }
    for (;;) {
        int s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (s >= 0) return s;
        if (errno != EINTR) return FailErrno();
    }
}

int SendBytes(int socket, const void *bytes, int size) {
    for (;;) {
        ssize_t n = send(socket, bytes, (size_t)size, MSG_NOSIGNAL);
        if (n >= 0) return (int)n;
        if (errno != EINTR) return FailErrno();
    }
}

int SendText(int socket, const char *text) { return SendBytes(socket, text, (int)strlen(text)); }

int SocketShutdown(int socket) {
    if (shutdown(socket, SHUT_RDWR) != 0) return FailErrno();
    return 0;
}

int SocketSetBlocking(int socket, bool blocking) {
    int flags = fcntl(socket, F_GETFL);
    if (flags < 0) return FailErrno();
    int wanted = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
    if (wanted != flags && fcntl(socket, F_SETFL, wanted) != 0) return FailErrno();
    return 0;
}

int SocketQuickAck(int socket) {
#ifdef TCP_QUICKACK
    int on = 1;
    return setsockopt(socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on) == 0 ? 0 : -1;
#else
    (void)socket;
    return -1;
#endif
}

int ReplyCode(const char *text) {
    if (!text) return 0;
    for (int i = 0; i < 3; i++)
        if (text[i] < '0' || text[i] > '9') return 0;
    int code = (text[0] - '0') * 100 + (text[1] - '0') * 10 + (text[2] - '0');
    if (text[3] == '-') return -code;
    if (text[3] == ' ' || text[3] == '\r') return code;
    return 0;
}

// ---- Names and addresses ----

int Resolve(const char *name, uint32_t *address, tDynArray *addressList) {
    struct in_addr a;
    if (name[0] >= '0' && name[0] <= '9' && inet_aton(name, &a) != 0) {
        *address = a.s_addr;
        return 0;
    }
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *list = nullptr;
    int rc = getaddrinfo(name, nullptr, &hints, &list);
    if (rc == 0 && list) {
        bool first = true, full = false;
        for (struct addrinfo *ai = list; ai; ai = ai->ai_next) {
            if (ai->ai_family != AF_INET) continue;
            uint32_t addr = ((struct sockaddr_in *)ai->ai_addr)->sin_addr.s_addr;
            if (first) *address = addr;
            first = false;
            if (addressList && !full) {
                if (DynArrayGrow(addressList, 1) != 0) {
                    full = true;
                    continue;
                }
                static_cast<uint32_t *>(addressList->buf)[addressList->used++] = addr;
            }
        }
        freeaddrinfo(list);
        if (full) return SockFail(ESOCK_OUT_OF_MEMORY);
        if (!first) return 0;
        rc = EAI_NONAME;
    }
    if (strcasecmp(name, "localhost") == 0) {
        *address = htonl(INADDR_LOOPBACK);
        return 0;
    }
    int err = SockErrorFromResolver(rc);
    return SockFail(err ? err : WSAHOST_NOT_FOUND);
}

char *AddressText(uint32_t address, char *buf) {
    const unsigned char *b = (const unsigned char *)&address;
    snprintf(buf, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return buf;
}

int LocalOnlyDecide(const uint32_t *addresses, int count) {
    for (int i = 0; i < count; i++) {
        uint32_t h = ntohl(addresses[i]);
        bool loopback = (h >> 24) == 127;
        bool tenZero = (h >> 8) == 0x0a0000;
        if (!loopback && !tenZero) return 0;
    }
    return SockFail(ESOCK_LOCAL_ONLY);
}

int LocalOnlyCheck() {
    char name[256];
    if (gethostname(name, sizeof name) != 0) return SockFail(ESOCK_NO_HOST_NAME);
    name[sizeof name - 1] = '\0';
    tDynArray addresses;
    DynArrayInit(&addresses, sizeof(uint32_t), 8, DA_DOUBLE);
    struct ifaddrs *ifs = nullptr;
    if (getifaddrs(&ifs) == 0) {
        for (struct ifaddrs *i = ifs; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
            if (DynArrayGrow(&addresses, 1) != 0) break;
            static_cast<uint32_t *>(addresses.buf)[addresses.used++] =
                ((struct sockaddr_in *)i->ifa_addr)->sin_addr.s_addr;
        }
        freeifaddrs(ifs);
    }
    if (addresses.used == 0) {
        uint32_t first;
        if (Resolve(name, &first, &addresses) != 0 || addresses.used == 0) {
            DynArrayFree(&addresses);
            return SockFail(ESOCK_NO_HOST_ADDRESS);
        }
    }
    int rc = LocalOnlyDecide(static_cast<uint32_t *>(addresses.buf), addresses.used);
    DynArrayFree(&addresses);
    return rc;
}

// ---- Connecting ----

int DirectConnect(const tConnectRequest *request) {
    int s = TcpSocket(nullptr, request);
    if (s < 0) return -1;
    bool limited = request->timeout >= 0 || request->cancelSocket >= 0;
    for (;;) {
        uint32_t address = 0;
        bool fromCache = false;
        if (request->cachedAddress && *request->cachedAddress != 0) {
            address = *request->cachedAddress;
            fromCache = true;
        } else {
            if (Resolve(request->host, &address, nullptr) != 0) return CloseAndFail(s);
            if (request->cachedAddress) *request->cachedAddress = address;
        }
        if (request->addressFilter &&
            request->addressFilter(request, request->addressFilterContext, address) != 0) {
            SockFail(ESOCK_FORBIDDEN_IP);
            return CloseAndFail(s);
        }
        bool nonBlocking = false;
        if (limited) {
            if (SocketSetBlocking(s, false) == 0) {
                nonBlocking = true;
            } else if (SockLastError() == 0) {
                Trace(request, "Warning: Setting socket to async mode failed without error code. Ignoring.\n");
            } else {
                return CloseAndFail(s);
            }
        }
        struct sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = address;
        a.sin_port = htons((uint16_t)request->port);
        int rc = connect(s, (struct sockaddr *)&a, sizeof a);
        if (rc == 0) {
            if (nonBlocking && SocketSetBlocking(s, true) != 0) return CloseAndFail(s);
            return s;
        }
        int failure = 0;
        int err = errno;
        if (!nonBlocking || (err != EINPROGRESS && err != EINTR)) {
            failure = SockErrorFromErrno(err);
        } else {
            // In progress: wait for writability, an error or the cancel socket.
            int ms = request->timeout < 0 ? -1
                     : request->timeout > 2000000 ? 2000000000
                                                  : request->timeout * 1000;
            struct pollfd p[2] = {{s, POLLOUT, 0}, {request->cancelSocket, POLLIN, 0}};
            int n = PollWithin(p, request->cancelSocket >= 0 ? 2 : 1, ms);
            if (n == 0) {
                SockFail(ESOCK_TIMEOUT);
                return CloseAndFail(s);
            }
            if (n < 0) {
                FailErrno();
                return CloseAndFail(s);
            }
            if (request->cancelSocket >= 0 && p[1].revents != 0) {
                SockFail(ESOCK_CANCELLED);
                return CloseAndFail(s);
            }
            int soError = 0;
            socklen_t len = sizeof soError;
            if (getsockopt(s, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) soError = errno;
            if (soError != 0)
                failure = SockErrorFromErrno(soError);
            else if ((p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
                failure = ESOCK_ASYNC_CONNECT;
        }
        if (failure == 0) {
            if (nonBlocking && SocketSetBlocking(s, true) != 0) return CloseAndFail(s);
            return s;
        }
        // Refused or unreachable (a time-out is not retried): a cached
        // address may be stale, so resolve the name again.
        SockFail(failure);
        if (!fromCache) return CloseAndFail(s);
        Trace(request, "Forgetting cached IP address.\n");
        *request->cachedAddress = 0;
        // A failed connect leaves the socket unusable: start afresh.
        close(s);
        s = TcpSocket(nullptr, request);
        if (s < 0) return -1;
    }
}
