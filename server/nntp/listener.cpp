#include "server/nntp/listener.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "lib/files.h"
#include "lib/log.h"
#include "lib/sendlog.h"
#include "lib/shutdown.h"
#include "lib/sock.h"
#include "lib/sockserver.h"
#include "lib/strings.h"
#include "server/nntp/admission.h"

namespace {

const char *Kind(const tListener *listener) { return listener->isWeb ? "Web" : "NNTP"; }

char *CopyText(const char *text) { return text ? strdup(text) : nullptr; }

void FreeLogins(tListener *listener) {
    for (char **text : {&listener->adminLogin, &listener->adminPass, &listener->userLogin, &listener->userPass}) {
        free(*text);
        *text = nullptr;
    }
}

// A listening socket on port (0: an ephemeral one, stored back), or -1.
int OpenListening(tListener *listener, int *port) {
    tConnectRequest request;
    memset(&request, 0, sizeof request);
    request.cancelSocket = INVALID_SOCK;
    request.trace = TraceToLog;
    request.traceContext = listener->journal;
    int socket = TcpSocket(port, &request);
    if (socket < 0) return -1;
    // Non-blocking, so that a connection that vanishes between the wait and
    // the accept cannot hold the dispatcher (accepted sockets still block).
    if (SocketListen(socket, LISTENER_BACKLOG) < 0 || SocketSetBlocking(socket, false) < 0)
        return CloseAndFail(socket);
    return socket;
}

// The ctime text of t (24 characters and a line feed).
void CtimeText(time_t t, char *buf) {
    if (!ctime_r(&t, buf)) strcpy(buf, "?\n");
}

// Fills the session's identity and decides its admission; E_OK or
// E_UNAUTHORIZED_CLIENT (after the intruder record when a rule refused it).
tDiag Admit(tListener *listener, tSession *session, int socket) {
    session->connectTime = time(nullptr);
    char when[64];
    CtimeText(session->connectTime, when);
    uint32_t peer = 0;
    int peerPort = 0;
    if (SocketPeerAddress(socket, &peer, &peerPort) < 0) {
        LogMessage(listener->journal, "Could not get addr/port for new %s client.  %s", Kind(listener), when);
        return E_UNAUTHORIZED_CLIENT;
    }
    session->address = peer;
    session->clientPort = peerPort;
    char dotted[16];
    AddressText(peer, dotted);
    char name[sizeof session->host];
    int named = ReverseLookup(peer, name, sizeof name) == 0;
    memcpy(session->host, named ? name : dotted, strlen(named ? name : dotted) + 1);
    LogMessage(listener->journal, "New %s client, socket %d, address %s, hostname %s, port %ld, time %s",
               Kind(listener), socket, dotted, session->host, (long)peerPort, when);

    uint32_t local = 0;
    int localPort = 0;
    int isLocal = SocketLocalAddress(socket, &local, &localPort) == 0 && local == peer;
    tAdmissionRules rules = {listener->otherComputers, listener->allowedIP, listener->allowedHostName,
                             listener->hostNameRequired};
    const char *reason = AdmissionCheck(&rules, isLocal, dotted, named ? name : nullptr);
    if (!reason) return E_OK;
    IntruderRecord(INTRUDER_LOG_PATH, Kind(listener), dotted, peerPort, session->host, reason,
                   session->connectTime);
    return E_UNAUTHORIZED_CLIENT;
}

void FillSession(tListener *listener, tSession *session, int socket) {
    session->isWeb = listener->isWeb;
    session->indices = listener->indices;
    session->pool = &listener->clientPool;
    session->servers = listener->servers;
    session->async = listener->async;
    session->popularity = listener->popularity;
    session->retrievedMark = listener->retrievedMark;
    session->retrievedList = listener->retrievedList;
    session->retrievedShow = listener->retrievedShow;
    session->assumeInternetPresent = listener->assumeInternetPresent;
    session->restartRequested = listener->restartRequested;
    session->keptClientSocket = listener->keptClientSocket;
    session->skipEmptyGroups = listener->skipEmptyGroups;
    session->groupList = listener->groupList;
    session->adminLogin = listener->adminLogin;
    session->adminPass = listener->adminPass;
    session->userLogin = listener->userLogin;
    session->userPass = listener->userPass;
    session->reportAsDeleted = listener->reportAsDeleted;
    session->showOnlyActiveGroups = listener->showOnlyActiveGroups;
    session->hiddenList = listener->hiddenList;
    SockBufInit(&session->conversation, socket);
    session->conversation.hurryAcks = 0;
    session->clientsLog = &listener->clientsLog;
    session->registry = listener->registry;
    session->nntpPort = listener->nntpPort;
    session->currentNumber = -1;
}

// Admits the client of socket and hands it to a client thread, or answers
// and closes it. The socket is consumed either way.
void DispatchClient(tListener *listener, int socket) {
    tSession *session = SessionAllocate();
    if (!session) {
        SendAndLog(socket, "503 Out of memory.\r\n", listener->journal);
        SocketClose(socket);
        return;
    }
    FillSession(listener, session, socket);
    if (Admit(listener, session, socket) != E_OK) {
        SendAndLog(socket, "502 You are not in my access list.\r\n", listener->journal);
        SessionFree(session);
        SocketClose(socket);
        return;
    }
    RegistryAdd(listener->registry, session);
    (void)CreateDirectoryChecked("logs", nullptr);
    bool opened = FormatBounded(session->logPath, sizeof session->logPath,
                                listener->isWeb ? "logs/web-%s-%d" : "logs/cli-%s-%d", session->host,
                                session->clientPort) >= 0 &&
                  LogOpen(&session->log, session->logPath, SESSION_LOG_MAX_SIZE) == E_OK;
    if (!opened) {
        SendAndLog(socket, "503 Cannot create the log file.\r\n", nullptr);
        RegistryRemove(listener->registry, session);
        SessionFree(session);
        SocketClose(socket);
        return;
    }
    LogMessage(&session->log, "Client: %s port %ld\n", session->host, (long)session->clientPort);
    if (PoolStart(&listener->clientPool, listener->sessionFunction, session, !listener->queueRequests,
                  listener->threadLabel) == 0)
        return;
    SendAndLog(socket, "503 Out of threads.\r\n", listener->journal);
    LogClose(&session->log);
    AppendLogAdd(&listener->clientsLog, session->logPath);
    RegistryRemove(listener->registry, session);
    SessionFree(session);
    SocketClose(socket);
}

}  // namespace

int ListenerNextPort(int port) {
    if (port == 119) return 2000;
    if (port == 21) return 3000;
    return port + 1;
}

tDiag ListenerCreate(tListener *listener) {
    listener->adminLogin = CopyText(listener->adminLogin);
    listener->adminPass = CopyText(listener->adminPass);
    listener->userLogin = CopyText(listener->userLogin);
    listener->userPass = CopyText(listener->userPass);
    listener->socket = INVALID_SOCK;
    int port = listener->port;
    for (int attempt = 1;; attempt++) {
        int bound = port;
        int socket = OpenListening(listener, &bound);
        if (socket >= 0) {
            listener->socket = socket;
            listener->port = bound;
            if (listener->portSetting) *listener->portSetting = bound;
            LogMessage(listener->journal, "Created the %s server on port %d pid %d\n", Kind(listener), bound,
                       (int)getpid());
            return E_OK;
        }
        LogMessage(listener->journal, "Could not create the %s server on port %d: %s.\n", Kind(listener), port,
                   ProxyErrorText(SockLastError()));
        if (attempt == LISTENER_PORT_ATTEMPTS) break;
        port = ListenerNextPort(port);
    }
    FreeLogins(listener);
    return E_CANNOT_CREATE_SERVER;
}

void DispatcherRun(void *argument) {
    tListener *listener = (tListener *)argument;
    if (AppendLogInit(&listener->clientsLog, listener->clientsLogPath, listener->journal,
                      listener->clientsLogMax) != E_OK) {
        RequestShutdown(listener->isWeb ? 41 : 40);
    } else {
        if (PoolInit(&listener->clientPool, listener->maxClients < 0 ? 0 : listener->maxClients) < 0)
            (void)PoolInit(&listener->clientPool, 0);
        for (;;) {
            int socket = INVALID_SOCK;
            int *kept = listener->keptClientSocket;
            // The client of an internal restart comes first; only the NNTP
            // server takes it.
            if (!listener->isWeb && kept && *kept != INVALID_SOCK &&
                !(listener->restartRequested && *listener->restartRequested)) {
                socket = *kept;
                *kept = INVALID_SOCK;
            } else {
                socket = AcceptWithin(listener->socket, 1);
            }
            if (ShutdownRequested()) {
                SocketClose(socket);
                break;
            }
            if (socket < 0) continue;
            DispatchClient(listener, socket);
        }
        LogMessage(listener->journal, "%s server shutting down.\n", Kind(listener));
        PoolWaitAll(&listener->clientPool);
        AppendLogRelease(&listener->clientsLog);
        RemoveIfEmpty(listener->clientsLogPath);
    }
    SocketClose(listener->socket);
    listener->socket = INVALID_SOCK;
    LogMessage(listener->journal, "%s server ended.\n", Kind(listener));
}

void ListenerClose(tListener *listener) {
    SocketClose(listener->socket);
    listener->socket = INVALID_SOCK;
    FreeLogins(listener);
}
