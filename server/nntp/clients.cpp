#include "server/nntp/clients.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <new>

#include "lib/html.h"
#include "lib/panic.h"
#include "lib/sendlog.h"
#include "lib/sock.h"
#include "lib/strings.h"

void (*sessionArticlesRelease)(tSession *session) = nullptr;

tSession *SessionAllocate() {
    tSession *session = (tSession *)calloc(1, sizeof(tSession));
    if (!session) return nullptr;
    DlinkInit(&session->link);
    SockBufInit(&session->conversation, INVALID_SOCK);
    session->currentNumber = -1;
    return session;
}

void SessionFree(tSession *session) {
    if (!session) return;
    MG_ASSERT(!DLINK_INLIST(tSession, session));
    free(session);
}

void SessionEnd(tSession *session) {
    if (session->log.file) {
        LogClose(&session->log);
        if (session->clientsLog) AppendLogAdd(session->clientsLog, session->logPath);
    }
    int socket = session->conversation.socket;
    // The connection that asked for a restart stays open for the next run.
    if (!(session->keptClientSocket && *session->keptClientSocket == socket)) SocketClose(socket);
    session->conversation.socket = INVALID_SOCK;
    if (session->articles) {
        MG_ASSERT(sessionArticlesRelease != nullptr);
        sessionArticlesRelease(session);
        session->articles = nullptr;
    }
    if (DLINK_INLIST(tSession, session)) RegistryRemove(session->registry, session);
    SessionFree(session);
}

void RegistryInit(tClientRegistry *registry) {
    std::lock_guard<std::mutex> g(registry->lock);
    DlinkInit(&registry->head);
    registry->contentions = 0;
}

void RegistryRelease(tClientRegistry *registry) {
    std::lock_guard<std::mutex> g(registry->lock);
    MG_ASSERT(!DlinkInList(&registry->head));
}

void RegistryAdd(tClientRegistry *registry, tSession *session) {
    std::lock_guard<std::mutex> g(registry->lock);
    DLINK_APPEND(tSession, &registry->head, session);
}

void RegistryRemove(tClientRegistry *registry, tSession *session) {
    std::unique_lock<std::mutex> g(registry->lock);
    while (session->references > 0) {
        registry->contentions++;
        tSemaphore waiter;
        (void)SemaphoreInit(&waiter, 0, 1);
        session->releaseWaiter = &waiter;
        g.unlock();
        while (SemaphoreWait(&waiter, -1) != 1) {
        }
        g.lock();
        session->releaseWaiter = nullptr;
    }
    DLINK_REMOVE(tSession, session);
}

tSession *RegistryFirst(tClientRegistry *registry) {
    std::lock_guard<std::mutex> g(registry->lock);
    if (!DlinkInList(&registry->head)) return nullptr;
    tSession *first = (tSession *)registry->head.next;
    first->references++;
    return first;
}

namespace {

// Lowers the references of a pinned session. REQUIRES: the registry lock.
void Unpin(tSession *session) {
    MG_ASSERT(session->references > 0);
    if (--session->references == 0 && session->releaseWaiter) SemaphoreRelease(session->releaseWaiter);
}

}  // namespace

tSession *RegistryNext(tSession *session) {
    tClientRegistry *registry = session->registry;
    std::lock_guard<std::mutex> g(registry->lock);
    tSession *next = nullptr;
    if (session->link.next != &registry->head) {
        next = (tSession *)session->link.next;
        next->references++;
    }
    Unpin(session);
    return next;
}

void RegistryLeave(tSession *session) {
    std::lock_guard<std::mutex> g(session->registry->lock);
    Unpin(session);
}

namespace {

// Formats one row of the listing for `client` as seen by `me`.
int ClientRow(char *row, int size, const tSession *client, const tSession *me, int html) {
    char address[16];
    AddressText(client->address, address);
    const char *type = client->isWeb ? "W" : "N";
    int seconds = (int)(time(nullptr) - client->connectTime);
    const char *loaded = client->groupName[0] && client->articles ? "Y" : "N";
    const char *group = client->localServer ? "async" : client->groupName[0] ? client->groupName : "none";
    const char *mark = client == me ? " *" : "";
    if (html)
        return FormatBounded(row, size,
                             "<tr><td>%s</td><td>%d</td><td>%s</td><td>%d</td><td>%s</td><td>%d</td><td>%s</td>"
                             "<td>%s</td><td>%ld</td><td>%s</td></tr>\r\n",
                             type, client->conversation.socket, address, client->clientPort,
                             HtmlNonEmpty(client->host, 1), seconds, loaded, group, client->currentNumber,
                             HtmlNonEmpty(mark, 1));
    return FormatBounded(row, size, "%s %d %s %d %s %d %s %s %ld%s\r\n", type, client->conversation.socket,
                         address, client->clientPort, client->host, seconds, loaded, group,
                         client->currentNumber, mark);
}

}  // namespace

int ClientsReport(tSession *session) {
    int socket = session->conversation.socket;
    int html = session->isWeb;
    tLog *log = &session->log;
    const char *head =
        html ? "<form><table border=1 cellspacing=0><tr><th colspan=10>Current clients &nbsp; "
               "<input type=submit value=Update></th></tr>\r\n</form>\r\n<tr><th>Type</th><th>Socket</th>"
               "<th>Address</th><th>Port</th><th>Host</th><th>Time</th><th>Loaded</th><th>Group</th>"
               "<th>Article</th><th>Me</th></tr>\r\n"
             : "200 List of clients follows.\r\nT SOCK ADDR PORT HOST TIME L GROUP ARTICLE ME\r\n";
    if (SendAndLog(socket, head, log) < 0) return -1;
    char row[1024];
    for (tSession *client = RegistryFirst(session->registry); client;) {
        if (ClientRow(row, sizeof row, client, session, html) >= 0 && SendAndLog(socket, row, log) < 0) {
            RegistryLeave(client);
            return -1;
        }
        client = RegistryNext(client);
    }
    int contentions;
    {
        std::lock_guard<std::mutex> g(session->registry->lock);
        contentions = session->registry->contentions;
    }
    if (FormatBounded(row, sizeof row, "%sContentions: %d\r\n", html ? "</table>\r\n" : "", contentions) < 0)
        return -1;
    if (SendAndLog(socket, row, log) < 0) return -1;
    if (!html && SendDotLine(socket, log) < 0) return -1;
    return 0;
}
