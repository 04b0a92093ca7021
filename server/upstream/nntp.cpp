// The client side of one NNTP conversation; see nntp.h.
#include "server/upstream/nntp.h"

#include "lib/dates.h"
#include "lib/log.h"
#include "lib/ping.h"
#include "lib/proxy.h"
#include "lib/shutdown.h"
#include "lib/sock.h"
#include "lib/strings.h"
#include "lib/url.h"
#include "lib/wildmatch.h"
#include "server/settings/settings.h"
#include "server/upstream/pool.h"
#include "server/upstream/servers.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr int LINE_SIZE = 2048 + 1;  // one response line or piece with its NUL
constexpr int AUTH_LINE_SIZE = 256;  // an AUTHINFO command

// Copies src into dst (size bytes), cut to fit.
void CopyCut(char *dst, const char *src, int size) {
    if (size <= 0) return;
    size_t n = strnlen(src, (size_t)size - 1);
    memmove(dst, src, n);
    dst[n] = 0;
}

const char *Name(const tNntp *nntp) {
    return nntp->server && nntp->server->displayName ? nntp->server->displayName : "server";
}

// Length of the command's first line, at most 80 characters.
int CommandHead(const char *text) {
    int n = 0;
    while (n < 80 && text[n] && text[n] != '\r' && text[n] != '\n') n++;
    return n;
}

// Removes trailing CR, LF and blanks.
void TrimEnd(char *text) {
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '\t'))
        text[--n] = 0;
}

void CountSent(tNntp *nntp, int n) {
    nntp->bytesSent += n;
    if (nntp->connection) nntp->connection->bytesSent += n;
}

void CountReceived(tNntp *nntp, int n) {
    nntp->bytesReceived += n;
    if (nntp->connection) nntp->connection->bytesReceived += n;
}

void MarkServerFailed(tServer *server, time_t when) {
    std::lock_guard<std::mutex> guard(server->lock);
    server->lastFailedConnectTime = when;
}

// Two failures of one conversation within 2 seconds mark the server as
// failing since the first of them.
void RecordIoFailure(tNntp *nntp) {
    time_t now = time(nullptr);
    if (nntp->lastIoFailure != 0 && now - nntp->lastIoFailure <= 2 && nntp->server)
        MarkServerFailed(nntp->server, nntp->lastIoFailure);
    nntp->lastIoFailure = now;
}

tDiag FailWithLogV(tNntp *nntp, tDiag code, char *out, int outSize, const char *format, va_list args) {
    char text[512];
    if (FormatBoundedV(text, sizeof text, format, args) < 0) {
        // Truncated: the prefix is kept.
    }
    if (out) CopyCut(out, text, outSize);
    SetDiag(nntp, code, text);
    LogMessage(nntp->log, "%s.\n", text);
    return code;
}

tDiag FailInto(tNntp *nntp, tDiag code, char *out, int outSize, const char *format, ...)
    __attribute__((format(printf, 5, 6)));
tDiag FailInto(tNntp *nntp, tDiag code, char *out, int outSize, const char *format, ...) {
    va_list args;
    va_start(args, format);
    tDiag rc = FailWithLogV(nntp, code, out, outSize, format, args);
    va_end(args);
    return rc;
}

void KeepAliveMark(tNntp *nntp) {
    tServer *server = nntp->server;
    if (server->keepAlive || (server->flags & SF_KEEP_ALIVE_MARK)) return;
    LogMessage(nntp->log, "Marking server internally for keep-alive.\n");
    server->flags |= SF_KEEP_ALIVE_MARK;
}

// Adds line to a list of distinct welcome lines.
void AddBanner(tIniStringArray *list, const char *line) {
    char **texts = IniStrings(*list);
    for (int i = 0; texts && texts[i]; i++)
        if (strcmp(texts[i], line) == 0) return;
    tDynArray *a = &list->array;
    if (a->elemSize == 0) DynArrayInit(a, (int)sizeof(char *), 8, DA_DOUBLE);
    if (DynArrayGrow(a, 2) != 0) return;
    if (a->used > 0) a->used--;  // the null terminator goes after the new text
    if (DynArrayAddPointerCopy(a, line) != 0) {
        (void)DynArrayAddPointerCopy(a, nullptr);
        if (a->used == 1) a->used = 0;
        return;
    }
    (void)DynArrayAddPointerCopy(a, nullptr);
}

void Duration(char *buf, int size, int64_t seconds) {
    if (seconds < 0) {
        (void)StrCopyBounded(buf, "none", size);
        return;
    }
    if (DurationText(buf, size, seconds, false) < 0) (void)StrCopyBounded(buf, "?", size);
}

void FormatProxy(tNntp *nntp, const tUrl *url, char *buf, int size) {
    if (UrlFormat(url, buf, (size_t)size, 0, 1) < 0) {
        LogMessage(nntp->log, "Could not format URL: %s.\n", ProxyErrorText(SockLastError()));
        (void)StrCopyBounded(buf, "overflow", size);
    }
}

bool RealProxy(const tUrl *url) { return url && url->scheme != URL_NONE_GIVEN && url->scheme != URL_NO_PROXY; }

// The forbidden-address check handed to the socket layer.
int AddressFilter(const tConnectRequest *, void *context, uint32_t address) {
    tNntp *nntp = static_cast<tNntp *>(context);
    char text[16];
    AddressText(address, text);
    char **patterns = IniStrings(forbiddenIP);
    if (!patterns || PatternListMatch(text, patterns, 0) <= 0) return 0;
    if (enforceForbiddenIPs && nntp->server->enforceForbiddenIPs) return 1;
    LogMessage(nntp->log, "Server has a forbidden IP address, but enforcing is disabled %s.\n",
               enforceForbiddenIPs ? "locally" : "globally");
    return 0;
}

void PingReport(void *context, const char *format, ...) {
    va_list args;
    va_start(args, format);
    LogMessageV(static_cast<tLog *>(context), format, args);
    va_end(args);
}

// Replaces the conversation by a spare idle connection of its server.
bool UseSpare(tNntp *nntp) {
    tServerConnection *spare = nullptr;
    if (TakeSpareConnection(nntp->server, &spare) != E_OK) return false;
    NntpMoveIn(nntp, &spare->nntp);
    ReleaseConnection(spare, 0);
    SetDiag(nntp, E_OK, "Ok");
    return true;
}

enum { AUTH_OK = 0, AUTH_RESTART = 1 };

// AUTHINFO USER/PASS. Returns AUTH_OK, AUTH_RESTART (reconnect and try
// again) or a diagnostic.
int Authenticate(tNntp *nntp, int cancelSocket, int *authRetries, int *eofRetried) {
    tServer *server = nntp->server;
    const char *login = server->url.login;
    const char *password = server->url.password ? server->url.password : "";
    char command[AUTH_LINE_SIZE];
    char line[LINE_SIZE];
    int rc;
    int code;

    if (FormatBounded(command, sizeof command, "AUTHINFO USER %s\r\n", login) < 0)
        return SetDiag(nntp, E_BUFFER_TOO_SMALL, nullptr);
    if ((rc = SendCommand(nntp, command)) < 0) goto ioFailure;
    if ((rc = ReadResponseLine(nntp, line, sizeof line, 60, cancelSocket, "AUTHINFO USER response")) < 0)
        goto ioFailure;
    code = ReplyCode(line);
    if (code != 381) {
        TrimEnd(line);
        LogMessage(nntp->log, "AUTHINFO USER %s failed: %s\n", login, line);
        SetDiag(nntp, E_BAD_AUTH, line);
        if (code == 503 && *authRetries < 3) {
            ++*authRetries;
            return AUTH_RESTART;
        }
        return E_BAD_AUTH;
    }
    if (FormatBounded(command, sizeof command, "AUTHINFO PASS %s\r\n", password) < 0)
        return SetDiag(nntp, E_BUFFER_TOO_SMALL, nullptr);
    if ((rc = SendCommand(nntp, command)) < 0) goto ioFailure;
    for (int answers = 0;; answers++) {
        if ((rc = ReadResponseLine(nntp, line, sizeof line, 60, cancelSocket, "AUTHINFO PASS response")) < 0)
            goto ioFailure;
        code = ReplyCode(line);
        if (code == 281) return AUTH_OK;
        TrimEnd(line);
        // The password is not written to the log; the login names the attempt.
        LogMessage(nntp->log, "AUTHINFO PASS %s failed: %s\n", login, line);
        if (server->ignoreLoginFailure) {
            LogMessage(nntp->log, "Ignoring login failure as requested.\n");
            return AUTH_OK;
        }
        if (strncmp(line, "waiting", 7) == 0 && answers < 8) continue;
        SetDiag(nntp, E_BAD_AUTH, line);
        if (code == 503 && *authRetries < 3) {
            ++*authRetries;
            return AUTH_RESTART;
        }
        return E_BAD_AUTH;
    }

ioFailure:
    if (rc == E_SHUTDOWN || rc == E_CLIENT_DISCONNECTED) return rc;
    if (!*eofRetried) {
        *eofRetried = 1;
        LogMessage(nntp->log, "Unexpected close during authentication, one more try.\n");
        return AUTH_RESTART;
    }
    KeepAliveMark(nntp);
    return SetDiag(nntp, E_CONNECT_EOFS, nullptr);
}

// Reads and logs up to 15 lines following a welcome without a code.
void LogJunk(tNntp *nntp, int cancelSocket) {
    char saved[NNTP_DIAG_TEXT];
    memcpy(saved, nntp->diagText, sizeof saved);
    char line[LINE_SIZE];
    for (int i = 0; i < 15; i++) {
        if (ReadResponseLine(nntp, line, sizeof line, 10, cancelSocket, "server's bad welcome") < 0) break;
        TrimEnd(line);
        LogMessage(nntp->log, "%s%s\n", i == 0 ? "Following junk: " : "", line);
    }
    memcpy(nntp->diagText, saved, sizeof saved);
}

bool Contains(const char *text, const char *word) { return strstr(text, word) != nullptr; }

}  // namespace

void NntpInit(tNntp *nntp, tServer *server, tLog *log) {
    memset(nntp, 0, sizeof *nntp);
    SockBufInit(&nntp->sb, -1);
    nntp->server = server;
    nntp->log = log;
}

void NntpCloseSocket(tNntp *nntp) {
    if (nntp->sb.socket >= 0) SocketClose(nntp->sb.socket);
    SockBufInit(&nntp->sb, -1);
    nntp->group[0] = 0;
    nntp->readAheadCount = 0;
}

namespace {

// Reads and drops one answer of a command sent ahead: its status line and,
// for an article, head or body, the lines up to the final dot. False (the
// socket closed) when the conversation broke or the text never ends.
bool DrainOneAnswer(tNntp *nntp) {
    char line[LINE_SIZE];
    int n = ReadResponseLine(nntp, line, sizeof line, 30, CancelSocketGet(), "read-ahead response");
    if (n <= 0) {
        NntpCloseSocket(nntp);
        return false;
    }
    int code = ReplyCode(line);
    if (code < 220 || code > 222) return true;
    bool lineStart = true;
    // An article sent ahead is a small one; a server that talks on and on is
    // not waited for.
    for (int pieces = 0; pieces < 65536; pieces++) {
        n = ReadResponseLine(nntp, line, sizeof line, 30, CancelSocketGet(), "read-ahead response");
        if (n <= 0) break;
        if (lineStart && (strcmp(line, ".\r\n") == 0 || strcmp(line, ".\n") == 0)) return true;
        lineStart = line[n - 1] == '\n';
    }
    NntpCloseSocket(nntp);
    return false;
}

// Drops the answers of every command sent ahead, oldest first.
void DrainReadAhead(tNntp *nntp) {
    int count = nntp->readAheadCount;
    nntp->readAheadCount = 0;
    for (int i = 0; i < count && DrainOneAnswer(nntp); i++) {
    }
}

}  // namespace

bool NntpSendAhead(tNntp *nntp, const char *command) {
    if (nntp->readAheadCount >= NNTP_READ_AHEAD_DEPTH || !NntpConnected(nntp) ||
        strlen(command) >= sizeof nntp->readAhead[0])
        return false;
    // SendCommand would take the answers on their way for stale ones.
    const int count = nntp->readAheadCount;
    nntp->readAheadCount = 0;
    if (SendCommand(nntp, command) < 0 || !NntpConnected(nntp)) {
        // Answers may be on their way that nobody would expect.
        NntpCloseSocket(nntp);
        return false;
    }
    nntp->readAheadCount = count;
    strcpy(nntp->readAhead[nntp->readAheadCount++], command);
    return true;
}

bool NntpTakeReadAhead(tNntp *nntp, const char *command) {
    if (nntp->readAheadCount == 0 || !NntpConnected(nntp) || strcmp(nntp->readAhead[0], command) != 0) return false;
    nntp->readAheadCount--;
    memmove(nntp->readAhead[0], nntp->readAhead[1], sizeof nntp->readAhead[0] * (size_t)nntp->readAheadCount);
    return true;
}

tDiag SetDiag(tNntp *nntp, tDiag code, const char *text) {
    CopyCut(nntp->diagText, text ? text : DiagText(code), sizeof nntp->diagText);
    return code;
}

tDiag FailWithLog(tNntp *nntp, tDiag code, const char *format, ...) {
    va_list args;
    va_start(args, format);
    tDiag rc = FailWithLogV(nntp, code, nullptr, 0, format, args);
    va_end(args);
    return rc;
}

int SendCommand(tNntp *nntp, const char *text) {
    int head = CommandHead(text);
    if (ShutdownRequested())
        return FailWithLog(nntp, E_SHUTDOWN, "Shutdown before sending '%.*s' to %s", head, text, Name(nntp));
    if (nntp->readAheadCount > 0 && nntp->sb.socket >= 0) DrainReadAhead(nntp);
    int length = (int)strlen(text);
    int sent = 0;
    while (sent < length) {
        int n = nntp->sb.socket >= 0 ? SendBytes(nntp->sb.socket, text + sent, length - sent)
                                     : SockFail(WSAENOTSOCK);
        if (n <= 0) {
            int error = SockLastError();
            RecordIoFailure(nntp);
            return FailWithLog(nntp, E_SOCKET, "Cannot send '%.*s' to %s: %s", head, text, Name(nntp),
                               ProxyErrorText(error));
        }
        sent += n;
        CountSent(nntp, n);
    }
    if (ShutdownRequested())
        return FailWithLog(nntp, E_SHUTDOWN, "Shutdown after sending '%.*s' to %s", head, text, Name(nntp));
    return sent;
}

int ReadResponseLine(tNntp *nntp, char *buffer, int size, int timeout, int cancelSocket, const char *what) {
    if (ShutdownRequested())
        return FailInto(nntp, E_SHUTDOWN, buffer, size, "Shutdown before reading %s from %s", what, Name(nntp));
    if (timeout > 0 && nntp->server && nntp->server->extraTime) timeout *= 3;
    int n = nntp->sb.socket >= 0 ? SockBufReadLine(&nntp->sb, buffer, size, timeout, cancelSocket)
                                 : SockFail(WSAENOTSOCK);
    if (n > 0) {
        CountReceived(nntp, n);
        if (ShutdownRequested())
            return FailInto(nntp, E_SHUTDOWN, buffer, size, "Shutdown after reading %s from %s", what, Name(nntp));
        return n;
    }
    if (n == 0) {
        RecordIoFailure(nntp);
        return FailInto(nntp, E_CLOSED_BY_PEER, buffer, size, "Cannot read %s from %s, EOF encountered", what,
                        Name(nntp));
    }
    int error = SockLastError();
    RecordIoFailure(nntp);
    tDiag code = E_SOCKET;
    if (error == ESOCK_CANCELLED)
        code = (cancelSocket < 0 || cancelSocket == CancelSocketGet()) ? E_SHUTDOWN : E_CLIENT_DISCONNECTED;
    return FailInto(nntp, code, buffer, size, "Cannot read %s from %s after %d s: %s", what, Name(nntp), timeout,
                    ProxyErrorText(error));
}

int ReadResponse(tNntp *nntp, char *buffer, int size, int timeout, const char *what) {
    return ReadResponseLine(nntp, buffer, size, timeout, CancelSocketGet(), what);
}

int ClassifyWelcome(const char *line, int firstConnection, int moreProxies, int *keepAliveMark, tLog *log) {
    int code = ReplyCode(line);
    enum { OVERLOADED, LIMIT, MAINTAINED, OTHER } kind = OTHER;
    if (code == 400 && (Contains(line, "per-group") || Contains(line, "Server connection limit reached")))
        kind = OVERLOADED;
    else if (code == 400 && Contains(line, "limit reached"))
        kind = LIMIT;
    else if (code == 504 && Contains(line, "overloaded"))
        kind = OVERLOADED;
    else if (WildMatch(line, "502*to* many connections*", 0) || WildMatch(line, "400*too many*per host*", 0))
        kind = LIMIT;
    else if (code == 400 || (code == 502 && Contains(line, "Too many"))) {
        kind = OVERLOADED;
        for (const char *word : {"hrottl", "symlink", "Re-Making", "Server error", "No space"})
            if (Contains(line, word)) kind = MAINTAINED;
    } else if (code == 500 || (code == 502 && Contains(line, "limit reached")) ||
               WildMatch(line, "502 Too much downl*", 0))
        kind = LIMIT;

    if (kind == MAINTAINED) return E_SERVER_MAINTAINED;
    if (kind == OTHER) {
        if (!moreProxies) return E_NNTP_REFUSED;
        LogMessage(log, "NNTP connect refused: %s\n", line);
        return 1;
    }
    if (kind == LIMIT) {
        if (firstConnection) {
            LogMessage(log, "This is our first connection to this server. Assuming the server is overloaded "
                            "rather than that we reached the maximum allowed number of connections.\n");
        } else if (moreProxies) {
            LogMessage(log, "NNTP connect refused (limit exceeded?): %s\n", line);
            return 1;
        } else {
            return E_TOO_MANY_CONNECTIONS;
        }
    }
    *keepAliveMark = 1;
    return E_SERVER_OVERLOADED;
}

tDiag ConnectServer(tNntp *nntp, int pingAllowed, int timeout, int cancelSocket) {
    tServer *server = nntp->server;
    tServerDynamic *dyn = server->dynamic;
    tServerDynamic scratch;  // statistics of a server without a record go nowhere
    if (!dyn) dyn = &scratch;
    time_t start = time(nullptr);
    int j = 0;
    int eofRetried = 0;
    int authRetries = 0;
    char line[LINE_SIZE];
    char text[600];
    char text2[600];
    tDiag result = E_OK;

    for (int pass = 0;; pass++) {
        // 2. A spare connection of the server does as well.
        if (pass > 0 && UseSpare(nntp)) {
            LogMessage(nntp->log, "Found a spare NNTP connection.\n");
            goto success;
        }
        // 3.
        if (ShutdownRequested()) {
            result = FailWithLog(nntp, E_SHUTDOWN, "Shutdown when connecting to server");
            goto failure;
        }
        // 4. The proxy (or chain) of this attempt.
        tUrl hops[2];
        tUrl more[2];
        const tUrl *proxy = ServerProxyAt(server->servers, server, j, hops);
        if (!proxy) {
            if (j == 0) {
                result = FailWithLog(nntp, E_BAD_PROXY_ID, "Server %s references inexisting proxy id %d", Name(nntp),
                                     server->url.proxyGroup);
            } else {
                LogMessage(nntp->log, "No other proxies for server %s, considering as unreachable.\n", Name(nntp));
                result = SetDiag(nntp, E_HOST_UNREACHABLE, "All proxies refused connection");
            }
            goto failure;
        }
        bool moreProxies = ServerProxyAt(server->servers, server, j + 1, more) != nullptr;
        bool viaProxy = RealProxy(proxy);
        if (viaProxy) {
            FormatProxy(nntp, proxy, text, sizeof text);
            if (proxy->next) {
                FormatProxy(nntp, proxy->next, text2, sizeof text2);
                LogMessage(nntp->log, "Using proxychain %s -> %s\n", text, text2);
            } else {
                LogMessage(nntp->log, "Using proxy %s\n", text);
            }
        }

        // 5. Time-outs.
        int welcomeTimeout = timeout < 0 ? 180 : timeout;
        int tcpTimeout = timeout;
        if (server->extraConnectTime > 0) {
            int extended = 360 + 180 * (server->extraConnectTime - 1);
            if (timeout < 0)
                welcomeTimeout = extended;
            else if (timeout < 360)
                welcomeTimeout = tcpTimeout = extended;
        }
        Duration(text, 64, tcpTimeout);
        Duration(text2, 64, welcomeTimeout);
        LogMessage(nntp->log, "Connecting: TCP timeout %s, welcome timeout %s.\n", text, text2);

        // 6. TCP connection. The remembered address is the server's, so it
        // serves only a direct connection.
        uint32_t known = dyn->ipAddr;
        if (known) {
            char dotted[16];
            LogMessage(nntp->log, "IP address is already known as %s\n", AddressText(known, dotted));
        } else {
            LogMessage(nntp->log, "IP address is still unknown.\n");
        }
        tConnectRequest request{};
        request.host = server->url.host ? server->url.host : "";
        request.port = server->url.port;
        request.timeout = tcpTimeout;
        request.cancelSocket = cancelSocket;
        request.trace = TraceToLog;
        request.traceContext = nntp->log;
        request.addressFilter = AddressFilter;
        request.addressFilterContext = nntp;
        uint32_t address = known;
        request.cachedAddress = viaProxy ? nullptr : &address;
        const char *prefix = nntp->log ? nntp->log->prefix : nullptr;
        if (nntp->log) nntp->log->prefix = nullptr;
        int sock = ChainConnect(proxy, &request);
        int error = sock < 0 ? SockLastError() : 0;
        if (nntp->log) nntp->log->prefix = prefix;

        // 7. Resolution statistics.
        if (!viaProxy) {
            if (address != 0 && address == known) {
                LogMessage(nntp->log, "IP address is still the same.\n");
            } else if (address != 0) {
                char dotted[16];
                dyn->okResolves++;
                dyn->okResolvesSinceLastFailed++;
                dyn->failedResolvesSinceLastOk = 0;
                dyn->okResolveLastTime = (int32_t)start;
                LogMessage(nntp->log, "IP address resolved to %s\n", AddressText(address, dotted));
            } else {
                dyn->failedResolves++;
                dyn->failedResolvesSinceLastOk++;
                dyn->okResolvesSinceLastFailed = 0;
                LogMessage(nntp->log, "IP address did not resolve.\n");
            }
            dyn->ipAddr = address;
        }

        // 8. TCP failure.
        if (sock < 0) {
            dyn->failedTcpConnects++;
            if (verbose) LogMessage(nntp->log, "Error %d (%s) on connect.\n", error, ProxyErrorText(error));
            if (dyn->ipAddr) {
                LogMessage(nntp->log, "Will not use resolved IP address next time.\n");
                dyn->ipAddr = 0;
            }
            if (error == ESOCK_CANCELLED) {
                result = FailWithLog(nntp, (cancelSocket < 0 || cancelSocket == CancelSocketGet())
                                               ? E_SHUTDOWN : E_CLIENT_DISCONNECTED,
                                     "Connecting to %s cancelled", Name(nntp));
                goto failure;
            }
            bool next = false;
            if (error == WSAHOST_NOT_FOUND || error == EPROXY_HOST_NOT_FOUND) {
                result = E_HOST_NOT_FOUND;
            } else if (error == WSAECONNREFUSED || error == EPROXY_REFUSED) {
                result = E_TCP_REFUSED;
                next = moreProxies;
            } else if (error == WSAETIMEDOUT || error == WSAEHOSTUNREACH || error == EPROXY_HOST_UNREACHABLE ||
                       error == EPROXY_NETWORK_UNREACHABLE) {
                result = E_HOST_UNREACHABLE;
            } else if (error == EPROXY_NOT_ALLOWED || error == EPROXY_IMMEDIATE_SYNTAX ||
                       (error == ESOCK_ASYNC_CONNECT && viaProxy)) {
                result = E_HOST_UNREACHABLE;
                next = moreProxies;
            } else {
                result = E_HOST_UNREACHABLE;
            }
            LogMessage(nntp->log, "TCP connection to %s failed: %s.\n", Name(nntp), ProxyErrorText(error));
            SetDiag(nntp, result, ProxyErrorText(error));
            if (next) {
                if (server->privateProxy.array.used > 0)
                    LogMessage(nntp->log, "Trying next private proxy for server.\n");
                else
                    LogMessage(nntp->log, "Trying next proxy from group %d\n", server->url.proxyGroup);
                j++;
                continue;
            }
            if (pingAllowed && result != E_HOST_NOT_FOUND) {
                if (ShutdownRequested()) {
                    result = FailWithLog(nntp, E_SHUTDOWN, "Shutdown when pinging server");
                    goto failure;
                }
                if (Ping(request.host, verbose, PingReport, nntp->log) != 0) {
                    int pingError = SockLastError();
                    dyn->failedPings++;
                    LogMessage(nntp->log, "Ping %s failed: %s.\n", request.host, ProxyErrorText(pingError));
                    result = E_HOST_UNREACHABLE;
                } else {
                    dyn->okPings++;
                    result = E_TCP_REFUSED;
                }
            }
            goto failure;
        }

        // 9. TCP success.
        dyn->okTcpConnects++;
        Duration(text, 64, time(nullptr) - start);
        LogMessage(nntp->log, "TCP connection obtained in %s.\n", text);
        SockBufInit(&nntp->sb, sock);
        nntp->group[0] = 0;
        if (server->blindLogin) {
            LogMessage(nntp->log, "Not waiting for welcome message.\n");
            goto success;
        }

        // 10. The welcome line (continuation lines skipped).
        int code = 0;
        int rc = 0;
        for (int lines = 0;; lines++) {
            rc = ReadResponseLine(nntp, line, sizeof line, welcomeTimeout, cancelSocket, "server welcome");
            if (rc < 0) break;
            code = ReplyCode(line);
            if (code >= 0 || lines >= 100) break;
        }
        if (rc < 0) {
            if (rc == E_SHUTDOWN || rc == E_CLIENT_DISCONNECTED) {
                result = rc;
                goto failure;
            }
            if (!eofRetried) {
                eofRetried = 1;
                LogMessage(nntp->log, "Unexpected close on connect, one more try.\n");
                NntpCloseSocket(nntp);
                continue;
            }
            KeepAliveMark(nntp);
            result = SetDiag(nntp, E_CONNECT_EOFS, nullptr);
            goto failure;
        }
        TrimEnd(line);

        // 11. Accepted welcome, then the login.
        if (code == 200 || code == 201) {
            server->flags |= code == 200 ? SF_WELCOME_200 : SF_WELCOME_201;
            LogMessage(nntp->log, "%s\n", line);
            AddBanner(&dyn->okBanners, line);
            if (!server->url.login || !server->url.login[0]) goto success;
            int auth = Authenticate(nntp, cancelSocket, &authRetries, &eofRetried);
            if (auth == AUTH_OK) goto success;
            if (auth == AUTH_RESTART) {
                NntpCloseSocket(nntp);
                continue;
            }
            result = auth;
            goto failure;
        }

        // Refused welcome.
        AddBanner(&dyn->failedBanners, line);
        int mark = 0;
        int firstConnection;
        {
            std::lock_guard<std::mutex> guard(server->lock);
            firstConnection = server->connections <= 1;
        }
        int verdict = ClassifyWelcome(line, firstConnection, moreProxies, &mark, nntp->log);
        if (verdict == 1) {
            NntpCloseSocket(nntp);
            if (server->privateProxy.array.used > 0)
                LogMessage(nntp->log, "Trying next private proxy for server.\n");
            else
                LogMessage(nntp->log, "Trying next proxy from group %d\n", server->url.proxyGroup);
            j++;
            continue;
        }
        if (mark) KeepAliveMark(nntp);
        result = SetDiag(nntp, verdict, line[0] ? line : nullptr);
        LogMessage(nntp->log, "NNTP connect refused: %s\n", line);
        if (code == 0) LogJunk(nntp, cancelSocket);
        goto failure;
    }

success:
    Duration(text, 64, time(nullptr) - start);
    LogMessage(nntp->log, "Connected to %s in %s.\n", Name(nntp), text);
    MarkServerFailed(server, 0);
    dyn->okNntpConnects++;
    dyn->connectFirstFailedAfterLastOk = 0;
    SetDiag(nntp, E_OK, "Ok");
    return E_OK;

failure:
    NntpCloseSocket(nntp);
    Duration(text, 64, time(nullptr) - start);
    LogMessage(nntp->log, "Could not connect to %s after %s.\n", Name(nntp), text);
    MarkServerFailed(server, time(nullptr));
    dyn->failedNntpConnects++;
    if (dyn->connectFirstFailedAfterLastOk == 0) dyn->connectFirstFailedAfterLastOk = (int32_t)start;
    return result;
}

tDiag KeepAlive(tNntp *nntp) {
    if (!NntpConnected(nntp)) return SetDiag(nntp, E_LOST_KEEP_ALIVE, "Lost kept-alive server");
    char line[LINE_SIZE];
    int rc = SendCommand(nntp, "MODE READER\r\n");
    if (rc >= 0) rc = ReadResponse(nntp, line, sizeof line, 30, "MODE READER response");
    if (rc >= 0) {
        int code = ReplyCode(line);
        if (code == 200 || code == 201) {
            LogMessage(nntp->log, "Keep-alive ok (%d) for %s.\n", code, Name(nntp));
            return E_OK;
        }
        TrimEnd(line);
        LogMessage(nntp->log, "Keep-alive for %s replied: %s\n", Name(nntp), line);
    }
    NntpCloseSocket(nntp);
    return SetDiag(nntp, E_LOST_KEEP_ALIVE, "Lost kept-alive server");
}

void Quit(tNntp *nntp) {
    if (!NntpConnected(nntp)) return;
    char line[LINE_SIZE];
    if (SendCommand(nntp, "QUIT\r\n") >= 0 && ReadResponse(nntp, line, sizeof line, 5, "QUIT response") >= 0) {
        int code = ReplyCode(line);
        if (code != 205 && code != 200 && code != 503 && code != 400) {
            TrimEnd(line);
            LogMessage(nntp->log, "QUIT failed for %s: %s\n", Name(nntp), line);
        }
    }
    NntpCloseSocket(nntp);
}

tDiag QuitAndMarkFailed(tNntp *nntp, tDiag code, const char *text) {
    Quit(nntp);
    MarkServerFailed(nntp->server, time(nullptr));
    return SetDiag(nntp, code, text);
}

tDiag CloseAndMarkFailed(tNntp *nntp, tDiag code, const char *text) {
    NntpCloseSocket(nntp);
    MarkServerFailed(nntp->server, time(nullptr));
    return SetDiag(nntp, code, text);
}

void NntpMoveIn(tNntp *nntp, tNntp *donor) {
    if (NntpConnected(nntp)) SocketClose(nntp->sb.socket);
    tLog *log = nntp->log;
    tServerConnection *connection = nntp->connection;
    int reconnects = nntp->reconnects + 1;
    int noReconnect = nntp->noReconnect;
    memcpy(static_cast<void *>(nntp), donor, sizeof *nntp);
    nntp->log = log;
    nntp->connection = connection;
    nntp->reconnects = reconnects;
    nntp->noReconnect = noReconnect;
    SockBufInit(&donor->sb, -1);
    donor->readAheadCount = 0;
    SetDiag(nntp, E_OK, "Ok");
}

tDiag Reconnect(tNntp *nntp, int timeout, int cancelSocket, const tRequester *requester) {
    bool wasConnected = NntpConnected(nntp);
    if (wasConnected) {
        LogMessage(nntp->log, "Closing and reconnecting.\n");
        NntpCloseSocket(nntp);
    }
    if (nntp->noReconnect) return SetDiag(nntp, E_RECONNECT_DISABLED, nullptr);
    if (ShutdownRequested()) return FailWithLog(nntp, E_SHUTDOWN, "Shutdown when trying to reconnect");
    time_t lastFailed;
    {
        std::lock_guard<std::mutex> guard(nntp->server->lock);
        lastFailed = nntp->server->lastFailedConnectTime;
    }
    if (lastFailed != 0 && time(nullptr) - lastFailed < 60) {
        LogMessage(nntp->log, "Not attempting %sconnect, last failed tentative is too recent.\n",
                   wasConnected ? "re" : "");
        return SetDiag(nntp, E_FAILURE_TOO_RECENT, nullptr);
    }
    if (wasConnected && UseSpare(nntp)) {
        LogMessage(nntp->log, "Switching to a spare NNTP connection.\n");
        return E_OK;
    }
    tServerConnection *connection = nullptr;
    tDiag rc = RequestConnection(nntp->server, requester, nntp->log, timeout, cancelSocket, &connection);
    if (rc != E_OK) {
        LogMessage(nntp->log, "%sonnect failed: %s.\n", wasConnected ? "Rec" : "C", DiagText(rc));
        return SetDiag(nntp, rc, nullptr);
    }
    NntpMoveIn(nntp, &connection->nntp);
    ReleaseConnection(connection, 0);
    return E_OK;
}
