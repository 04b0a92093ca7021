// The pool of connections to the upstream servers; see pool.h.
#include "server/upstream/pool.h"

#include "lib/dates.h"
#include "lib/log.h"
#include "lib/panic.h"
#include "lib/shutdown.h"
#include "lib/sock.h"
#include "lib/sort.h"
#include "lib/strings.h"
#include "server/settings/settings.h"
#include "server/upstream/servers.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr int IDLE_SECONDS = 300;
constexpr int KEEP_ALIVE_SECONDS = 60;
constexpr int KEEP_ALIVE_MAX_UNUSED = 900;
constexpr int RETRY_SECONDS = 10;

tScheduler *Scheduler(tServer *server) {
    return server->servers && server->servers->scheduler ? server->servers->scheduler : &taskScheduler;
}

time_t Now(tScheduler *scheduler) { return scheduler->now ? scheduler->now() : time(nullptr); }

tLog *ServersLog(tServer *server) {
    return server->servers && server->servers->log ? server->servers->log : &journal;
}

const char *Name(const tServer *server) { return server->displayName ? server->displayName : "server"; }

tServerConnection *ConnectionOf(tDlink *link) { return reinterpret_cast<tServerConnection *>(link); }
tServerConnection *ConnectionOfAll(tDlink *link) {
    return reinterpret_cast<tServerConnection *>(reinterpret_cast<char *>(link) -
                                                 offsetof(tServerConnection, allLink));
}
tServerRequest *RequestOf(tDlink *link) { return reinterpret_cast<tServerRequest *>(link); }

// REQUIRES: server lock held. Drops a reference; the last one frees the
// connection and adds its traffic to the server's statistics. Returns true
// when the connection was freed (the caller then drops the server reference
// with ServerRelease after unlocking).
bool UnrefLocked(tServerConnection *sc) {
    MG_ASSERT(sc->references > 0);
    if (--sc->references > 0) return false;
    tServer *server = sc->server;
    DLINK_REMOVE(tDlink, &sc->allLink);
    if (server->dynamic) {
        tServerDynamic *dyn = server->dynamic;
        dyn->bytesSent += sc->bytesSent;
        dyn->bytesReceived += sc->bytesReceived;
        if (dyn->maxBytesSent < sc->bytesSent) dyn->maxBytesSent = sc->bytesSent;
        if (dyn->maxBytesReceived < sc->bytesReceived) dyn->maxBytesReceived = sc->bytesReceived;
        if (dyn->maxArticlesGot < sc->articlesGot) dyn->maxArticlesGot = sc->articlesGot;
    }
    NntpCloseSocket(&sc->nntp);
    delete sc;
    return true;
}

// REQUIRES: server lock held.
tServerConnection *NewConnection(tServer *server) {
    tServerConnection *sc = new (std::nothrow) tServerConnection;
    if (!sc) return nullptr;
    memset(static_cast<void *>(sc), 0, sizeof *sc);
    DlinkInit(&sc->link);
    DlinkInit(&sc->allLink);
    NntpInit(&sc->nntp, server, &journal);
    sc->nntp.connection = sc;
    sc->server = server;
    sc->status = SC_CONNECTING;
    sc->references = 1;
    sc->lastUse = time(nullptr);
    DLINK_APPEND(tDlink, &server->allConnections, &sc->allLink);
    ServerRef(server);
    return sc;
}

// REQUIRES: the waiter's lock held. Wakes the waiter after an answer was
// added to its done list; a waiter that has not begun to wait has no wake
// pair and finds the answer in the list.
void SignalWaiter(tServerWaiter *sw) {
    if (sw->wake.readEnd >= 0) (void)WakePairSignal(&sw->wake);
}

// Waits for an answer in sw's done list as WakePairWait does. An answer
// already there returns at once; the wake pair is made on the first real
// wait, so a request served from an idle connection costs no sockets. Before
// blocking, log gets what it has gathered. Returns 0 or -1 with the socket
// error (as WakePairWait; a failure to make the pair too).
int WaitForAnswer(tServerWaiter *sw, int milliseconds, int cancelSocket, tLog *log) {
    {
        std::lock_guard<std::mutex> guard(sw->lock);
        if (DlinkInList(&sw->done)) {
            // Its wake-up byte (sent before the answer was listed) goes too,
            // so that bytes and answers stay even.
            (void)WakePairTake(&sw->wake);
            return 0;
        }
        if (sw->wake.readEnd < 0 && WakePairCreate(&sw->wake) != 0) return -1;
    }
    LogFlush(log);
    return WakePairWait(&sw->wake, milliseconds, cancelSocket);
}

// REQUIRES: server lock held. Answers every waiting request with diag.
void FailWaiters(tServer *server, tDiag diag, tLog *log) {
    if (!DlinkInList(&server->activeServerRequests)) return;
    LogMessage(log, "Failing waiters because %s.\n", DiagText(diag));
    while (DlinkInList(&server->activeServerRequests)) {
        tServerRequest *sreq = RequestOf(server->activeServerRequests.next);
        DLINK_REMOVE(tServerRequest, sreq);
        tServerWaiter *sw = sreq->sw;
        std::lock_guard<std::mutex> guard(sw->lock);
        LogMessage(log, "Failing waiter %s\n", sw->requester.name);
        sreq->sc = nullptr;
        sreq->diag = diag;
        DLINK_APPEND(tServerRequest, &sw->done, sreq);
        SignalWaiter(sw);
    }
}

time_t ConnectTask(void *argument1, void *argument2);

// REQUIRES: server lock held. Schedules the connect task when requests wait,
// no connection is idle, none is scheduled and a connection slot is free.
void EnsureConnectTask(tServer *server) {
    if (DlinkInList(&server->idleConnections)) return;
    if (!DlinkInList(&server->activeServerRequests) && !DlinkInList(&server->idleServerRequests)) return;
    if (server->connectTask != 0) return;
    if (server->connections >= server->maxConnections) return;
    ServerRef(server);
    tScheduler *scheduler = Scheduler(server);
    int handle = TaskSchedule(scheduler, ConnectTask, server, nullptr, Now(scheduler),
                              &taskCategories[TC_CONNECT], Name(server), 0);
    if (handle > 0) {
        server->connectTask = handle;
        return;
    }
    int error = errno;
    ServerRelease(server);
    if (server->connections == 0)
        FailWaiters(server, error == ELIB_SHUTDOWN ? E_SHUTDOWN : E_TASK_SCHEDULING_FAILED, ServersLog(server));
}

// REQUIRES: server lock held; idleConnections not empty. Removes the
// longest-idle connection and withdraws its idle or keep-alive task.
tServerConnection *TakeIdleLocked(tServer *server) {
    MG_ASSERT(!DlinkInList(&server->activeServerRequests));
    tServerConnection *sc = ConnectionOf(server->idleConnections.next);
    DLINK_REMOVE(tServerConnection, sc);
    if (verbose) LogMessage(ServersLog(server), "There are idle connections to %s\n", Name(server));
    if (sc->task != 0) {
        // TaskCancel takes only the scheduler's lock, never a server lock.
        if (TaskCancel(Scheduler(server), sc->task) < 0) {
            // Running already: it will find a new generation and give up,
            // dropping the reference it is given here.
            sc->generation++;
            sc->references++;
        }
        sc->task = 0;
    }
    return sc;
}

void HandOver(tServerConnection *sc, const tRequester *requester) {
    sc->lastUse = time(nullptr);
    sc->status = SC_ACTIVE;
    sc->kind = requester->kind;
    sc->usedTimes++;
    sc->task = 0;
}

bool FollowsRequest(const tDlink *e, const tDlink *x) {
    return reinterpret_cast<const tServerRequest *>(e)->sw->deadline >
           reinterpret_cast<const tServerRequest *>(x)->sw->deadline;
}

enum { RELEASED_HANDED, RELEASED_IDLE, RELEASED_KEPT, RELEASED_CLOSED };

void CloseConnection(tServerConnection *sc);
int ReleaseImpl(tServerConnection *sc, int allowServerAvailable, bool fromKeepAlive);

// REQUIRES: server lock held. Queues sreq: served at once from an idle
// connection (the caller must then release *handOut without the lock), else
// inserted by deadline and the connect task ensured.
void QueueRequestLocked(tServer *server, tServerRequest *sreq, tServerConnection **handOut) {
    sreq->server = server;
    sreq->sc = nullptr;
    sreq->diag = E_NO_CONNECTION;
    if (DlinkInList(&server->idleConnections)) {
        tServerConnection *sc = TakeIdleLocked(server);
        DLINK_APPEND(tServerRequest, &server->activeServerRequests, sreq);
        *handOut = sc;
        return;
    }
    tDlink *anchor = DlinkSortedAnchor(&server->activeServerRequests, &sreq->link, FollowsRequest);
    DLINK_INSERT_BEFORE(tServerRequest, anchor, sreq);
    EnsureConnectTask(server);
}

// Queues sreq on server (takes the lock).
void QueueRequest(tServer *server, tServerRequest *sreq) {
    tServerConnection *sc = nullptr;
    {
        std::lock_guard<std::mutex> guard(server->lock);
        QueueRequestLocked(server, sreq, &sc);
    }
    if (sc) (void)ReleaseImpl(sc, 0, false);
}

// Closes a connection that is in no list: QUIT when it has a socket, then
// counts it out of the server, lets the connect task use the free slot and
// drops the existence reference.
void CloseConnection(tServerConnection *sc) {
    tServer *server = sc->server;
    if (NntpConnected(&sc->nntp)) {
        sc->status = SC_TERMINATING;
        LogMessage(sc->nntp.log, "Closing idle (%ld s) connection to %s.\n", (long)(time(nullptr) - sc->lastUse),
                   Name(server));
        Quit(&sc->nntp);
    }
    bool freed;
    {
        std::lock_guard<std::mutex> guard(server->lock);
        sc->status = SC_DEAD;
        server->connections--;
        EnsureConnectTask(server);
        freed = UnrefLocked(sc);
    }
    if (freed) ServerRelease(server);
}

time_t IdleTask(void *argument1, void *argument2);
time_t KeepAliveTask(void *argument1, void *argument2);

// The release; see ReleaseConnection. fromKeepAlive: the keep-alive task
// gives back the connection it refreshed.
int ReleaseImpl(tServerConnection *sc, int allowServerAvailable, bool fromKeepAlive) {
    tServer *server = sc->server;
    std::unique_lock<std::mutex> guard(server->lock);
    MG_ASSERT(!DLINK_INLIST(tServerConnection, sc));
    if (sc->nntp.log != &journal) {
        if (verbose)
            LogMessage(&journal, "Connection %s (%s) released with log file not pointing to the journal file.\n",
                       Name(server), ConnectionStateName(sc->status, sc->kind));
        sc->nntp.log = &journal;
    }
    sc->status = SC_IDLE;
    if (!NntpConnected(&sc->nntp)) {
        guard.unlock();
        CloseConnection(sc);
        return RELEASED_CLOSED;
    }
    bool offered = false;
    for (;;) {
        while (DlinkInList(&server->activeServerRequests)) {
            tServerRequest *sreq = RequestOf(server->activeServerRequests.next);
            DLINK_REMOVE(tServerRequest, sreq);
            tServerWaiter *sw = sreq->sw;
            std::lock_guard<std::mutex> waiterGuard(sw->lock);
            if (!sw->alreadyHaveConnection) {
                if (verbose)
                    LogMessage(&journal, "Giving server %s to active waiter %s.\n", Name(server), sw->requester.name);
                HandOver(sc, &sw->requester);
                sw->alreadyHaveConnection = true;
                sreq->sc = sc;
                sreq->diag = E_OK;
                DLINK_APPEND(tServerRequest, &sw->done, sreq);
                SignalWaiter(sw);
                return RELEASED_HANDED;
            }
            if (verbose)
                LogMessage(&journal, "Waiter %s already has a connection, not giving him %s.\n", sw->requester.name,
                           Name(server));
            sreq->diag = E_ALREADY_CONNECTED;
            DLINK_APPEND(tServerRequest, &server->idleServerRequests, sreq);
        }
        if (!fromKeepAlive && !offered) {
            if (verbose) LogMessage(&journal, "Server %s is not Actively wanted anymore.\n", Name(server));
            sc->lastUse = time(nullptr);
        }
        tServers *servers = server->servers;
        if (offered || !allowServerAvailable || !server->reuseForAsync || !servers || !servers->serverAvailable)
            break;
        // The callback may start work that uses the pool: no lock is held.
        offered = true;
        sc->status = SC_AVAILABLE;
        guard.unlock();
        int taken = servers->serverAvailable(servers->serverAvailableData, sc);
        guard.lock();
        if (taken) return RELEASED_HANDED;
        sc->status = SC_IDLE;
    }

    if (sc->nntp.readAheadCount > 0) {
        // An answer is on its way for the reader who will most likely ask
        // next: this connection is the one to hand out first.
        DLINK_INSERT_BEFORE(tServerConnection, server->idleConnections.next, sc);
    } else {
        DLINK_APPEND(tServerConnection, &server->idleConnections, sc);
    }
    if (fromKeepAlive) {
        sc->status = SC_KEPT_ALIVE;
        return RELEASED_KEPT;
    }
    tScheduler *scheduler = Scheduler(server);
    void *generation = reinterpret_cast<void *>(static_cast<intptr_t>(sc->generation));
    int handle;
    if (server->keepAlive || (server->flags & SF_KEEP_ALIVE_MARK)) {
        sc->status = SC_KEPT_ALIVE;
        handle = TaskSchedule(scheduler, KeepAliveTask, sc, generation, Now(scheduler) + KEEP_ALIVE_SECONDS,
                              &taskCategories[TC_KEEPALI], Name(server), 0);
    } else {
        handle = TaskSchedule(scheduler, IdleTask, sc, generation, Now(scheduler) + IDLE_SECONDS,
                              &taskCategories[TC_DISCONN], Name(server), 0);
    }
    if (handle > 0) {
        sc->task = handle;
        return RELEASED_IDLE;
    }
    DLINK_REMOVE(tServerConnection, sc);
    guard.unlock();
    CloseConnection(sc);
    return RELEASED_CLOSED;
}

// Generation test of an idle or keep-alive task. REQUIRES: server lock held.
// false: the connection was taken meanwhile; the task's reference is dropped
// (*freed tells whether that freed it).
bool TaskStillOwns(tServerConnection *sc, void *argument2, const char *what, bool *freed) {
    int generation = static_cast<int>(reinterpret_cast<intptr_t>(argument2));
    *freed = false;
    if (generation == sc->generation) return true;
    LogMessage(&journal, "%s task cancelled for %s\n", what, Name(sc->server));
    *freed = UnrefLocked(sc);
    return false;
}

time_t IdleTask(void *argument1, void *argument2) {
    tServerConnection *sc = static_cast<tServerConnection *>(argument1);
    tServer *server = sc->server;
    {
        std::lock_guard<std::mutex> guard(server->lock);
        bool freed;
        if (!TaskStillOwns(sc, argument2, "Idle", &freed)) {
            if (freed) ServerRelease(server);
            return 0;
        }
        DLINK_REMOVE(tServerConnection, sc);
        sc->task = 0;
    }
    CloseConnection(sc);
    return 0;
}

time_t KeepAliveTask(void *argument1, void *argument2) {
    tServerConnection *sc = static_cast<tServerConnection *>(argument1);
    tServer *server = sc->server;
    time_t lastUse;
    {
        std::lock_guard<std::mutex> guard(server->lock);
        bool freed;
        if (!TaskStillOwns(sc, argument2, "Keep-alive", &freed)) {
            if (freed) ServerRelease(server);
            return 0;
        }
        // Out of the idle list while it talks to the server.
        DLINK_REMOVE(tServerConnection, sc);
        lastUse = sc->lastUse;
    }
    if (KeepAlive(&sc->nntp) != E_OK || time(nullptr) - lastUse > KEEP_ALIVE_MAX_UNUSED) {
        {
            std::lock_guard<std::mutex> guard(server->lock);
            sc->task = 0;
        }
        CloseConnection(sc);
        return 0;
    }
    if (ReleaseImpl(sc, 0, true) != RELEASED_KEPT) return 0;
    std::lock_guard<std::mutex> guard(server->lock);
    bool freed;
    if (!TaskStillOwns(sc, argument2, "Keep-alive", &freed)) {
        if (freed) ServerRelease(server);
        return 0;
    }
    return Now(Scheduler(server)) + KEEP_ALIVE_SECONDS;
}

bool FatalConnectFailure(tDiag rc) {
    return rc == E_NNTP_REFUSED || rc == E_HOST_NOT_FOUND || rc == E_HOST_UNREACHABLE || rc == E_BAD_AUTH ||
           rc == E_TCP_REFUSED;
}

time_t ConnectTask(void *argument1, void *) {
    tServer *server = static_cast<tServer *>(argument1);
    tLog log{};
    char path[600];
    if (FormatBounded(path, sizeof path, "connect/%s", server->diskName ? server->diskName : "server") < 0 ||
        LogOpen(&log, path, 10240) != E_OK) {
        std::lock_guard<std::mutex> guard(server->lock);
        FailWaiters(server, E_OUT_OF_FILES, ServersLog(server));
        server->connectTask = 0;
        ServerRelease(server);
        return 0;
    }
    int passes = 0;
    std::unique_lock<std::mutex> guard(server->lock);
    while (DlinkInList(&server->activeServerRequests)) {
        if (server->connections >= server->maxConnections) {
            LogMessage(&log, "All allowed connections open.\n");
            break;
        }
        tServerConnection *sc = NewConnection(server);
        if (!sc) {
            FailWaiters(server, E_OUT_OF_MEMORY, &log);
            break;
        }
        passes++;
        server->connections++;
        sc->nntp.log = &log;
        guard.unlock();
        tDiag rc = ConnectServer(&sc->nntp, 1, -1, CancelSocketGet());
        guard.lock();
        server->lastConnectDiag = rc;
        if (rc == E_OK) {
            guard.unlock();
            ReleaseConnection(sc, 1);
            guard.lock();
            continue;
        }
        server->connections--;
        sc->status = SC_DEAD;
        if (UnrefLocked(sc)) ServerRelease(server);
        if (rc == E_SHUTDOWN || ShutdownRequested()) {
            FailWaiters(server, E_SHUTDOWN, &log);
            break;
        }
        if (server->connections > 0 || !FatalConnectFailure(rc)) {
            LogMessage(&log, "Waiting %d seconds before retrying.\n", RETRY_SECONDS);
            guard.unlock();
            LogClose(&log);
            return Now(Scheduler(server)) + RETRY_SECONDS;
        }
        FailWaiters(server, rc, &log);
        break;
    }
    LogMessage(&log, "Connect task did %d connect(s).\n", passes);
    server->connectTask = 0;
    guard.unlock();
    LogClose(&log);
    ServerRelease(server);
    return 0;
}

// REQUIRES: waiter lock not held. Sets up a waiter.
bool WaiterInit(tServerWaiter *sw, const tRequester *requester) {
    DlinkInit(&sw->done);
    sw->alreadyHaveConnection = false;
    sw->requester = *requester;
    sw->deadline = time(nullptr) + requester->priority;
    sw->wake.readEnd = sw->wake.writeEnd = -1;
    return true;
}

// Removes sreq from whatever list holds it. REQUIRES: server lock and the
// waiter's lock held.
void Withdraw(tServerRequest *sreq) {
    if (DLINK_INLIST(tServerRequest, sreq)) DLINK_REMOVE(tServerRequest, sreq);
}

}  // namespace

// ---------------------------------------------------------------------------
// One server
// ---------------------------------------------------------------------------

tDiag RequestConnection(tServer *server, const tRequester *requester, tLog *log, int timeout, int cancelSocket,
                        tServerConnection **connection) {
    *connection = nullptr;
    tServerWaiter sw;
    if (!WaiterInit(&sw, requester)) {
        LogMessage(log, "Connection request for %s failed: %s\n", Name(server), DiagText(E_SEMAPHORE));
        return E_SEMAPHORE;
    }
    tServerRequest sreq{};
    DlinkInit(&sreq.link);
    sreq.sw = &sw;
    QueueRequest(server, &sreq);
    int waited = WaitForAnswer(&sw, (timeout < 0 ? 45 : timeout) * 1000, cancelSocket, log);
    int waitError = waited == 0 ? 0 : SockLastError();
    tDiag diag;
    {
        std::lock_guard<std::mutex> guard(server->lock);
        std::lock_guard<std::mutex> waiterGuard(sw.lock);
        Withdraw(&sreq);
        diag = sreq.diag;
        if (diag == E_OK) {
            *connection = sreq.sc;
            sreq.sc->nntp.log = log;
        } else if (diag == E_NO_CONNECTION || diag == E_ALREADY_CONNECTED) {
            diag = E_NO_CONNECTION;
            if (waitError == ESOCK_CANCELLED || ShutdownRequested())
                diag = ShutdownRequested() || cancelSocket == CancelSocketGet() ? E_SHUTDOWN : E_CLIENT_DISCONNECTED;
            else if (server->lastConnectDiag != E_NO_CONNECTION && server->lastConnectDiag != E_OK)
                diag = server->lastConnectDiag;
        }
    }
    WakePairClose(&sw.wake);
    if (diag != E_OK) LogMessage(log, "Connection request for %s failed: %s\n", Name(server), DiagText(diag));
    return diag;
}

void ReleaseConnection(tServerConnection *connection, int allowServerAvailable) {
    (void)ReleaseImpl(connection, allowServerAvailable, false);
}

tDiag TakeSpareConnection(tServer *server, tServerConnection **connection) {
    std::lock_guard<std::mutex> guard(server->lock);
    if (!DlinkInList(&server->idleConnections)) return E_NO_IDLE_CONNECTION;
    *connection = TakeIdleLocked(server);
    (*connection)->status = SC_ACTIVE;
    return E_OK;
}

void CloseConnections(tServer *server, tLog *log, int cancelConnect, int force) {
    (void)force;  // idle tasks that already run are always left a reference
    std::unique_lock<std::mutex> guard(server->lock);
    if (cancelConnect && server->connectTask != 0) {
        int handle = server->connectTask;
        guard.unlock();
        time_t cancelled = TaskCancel(Scheduler(server), handle);
        guard.lock();
        if (verbose) LogMessage(log, "Cancelling connect task.\n");
        FailWaiters(server, E_SHUTDOWN, log);
        // A task removed here (or dropped by a stopped scheduler) leaves its
        // server reference to us; a running one keeps it.
        if (cancelled >= 0 && server->connectTask == handle) {
            server->connectTask = 0;
            ServerRelease(server);
        }
    }
    while (DlinkInList(&server->idleConnections)) {
        if (verbose) LogMessage(log, "Freeing a connection to %s.\n", Name(server));
        tServerConnection *sc = ConnectionOf(server->idleConnections.next);
        DLINK_REMOVE(tServerConnection, sc);
        if (sc->task != 0) {
            if (TaskCancel(Scheduler(server), sc->task) < 0) {
                sc->generation++;
                sc->references++;
            }
            sc->task = 0;
        }
        guard.unlock();
        CloseConnection(sc);
        guard.lock();
    }
}

void PoolRelease(tServers *servers) {
    for (tServer *server = ServersFirst(servers, 0); server; server = ServersNext(servers, server, 0))
        CloseConnections(server, servers->log ? servers->log : &journal, 1, 1);
}

// ---------------------------------------------------------------------------
// Request sets
// ---------------------------------------------------------------------------

namespace {

tServerCandidate *Candidate(tServerRequestSet *set, int i) {
    return static_cast<tServerCandidate *>(set->candidates.buf) + i;
}

// Posts the candidates from nextSlot up to the first of a higher category.
void PostRequests(tServerRequestSet *set) {
    set->postTime = time(nullptr);
    if (verbose)
        LogMessage(set->log, "Posting %s connection requests (slots %d-...).\n",
                   set->nextSlot == 0 ? "initial" : "further", set->nextSlot);
    int previousCategory = -1;
    int i = set->nextSlot;
    for (; i < set->candidates.used; i++) {
        tServerCandidate *c = Candidate(set, i);
        tServer *server = FindServerById(set->servers, c->serverId);
        if (!server) {
            c->request.diag = E_NO_SUCH_SERVER_NUMBER;
            set->outstanding--;
            continue;
        }
        if (previousCategory >= 0 && server->category > previousCategory) {
            LogMessage(set->log, "Stopping: category of %s is higher (%d > %d).\n", Name(server), server->category,
                       previousCategory);
            ServerRelease(server);
            break;
        }
        previousCategory = server->category;
        LogMessage(set->log, "Requesting %s\n", Name(server));
        set->posted++;
        QueueRequest(server, &c->request);
        ServerRelease(server);
    }
    set->nextSlot = i;
}

}  // namespace

tDiag RequestSetInit(tServerRequestSet *set, tServers *servers, const tRequester *requester, tLog *log) {
    set->servers = servers;
    DynArrayInit(&set->candidates, (int)sizeof(tServerCandidate), 8, 0);
    set->outstanding = set->posted = 0;
    set->postTime = 0;
    set->nextSlot = 0;
    set->hadConnection = 0;
    set->log = log;
    if (!WaiterInit(&set->waiter, requester)) return E_SEMAPHORE;
    return E_OK;
}

tDiag RequestSetAdd(tServerRequestSet *set, int32_t serverId, int32_t articleNumber, uint8_t option0,
                    uint8_t option1, uint8_t option2) {
    // The requests are linked into lists: the array must not move once
    // posted, so it only grows before RequestSetStart.
    MG_ASSERT(set->posted == 0 && set->nextSlot == 0);
    if (DynArrayGrow(&set->candidates, 1) != 0) return E_OUT_OF_MEMORY;
    tServerCandidate *c = Candidate(set, set->candidates.used++);
    memset(static_cast<void *>(c), 0, sizeof *c);
    c->serverId = serverId;
    c->articleNumber = articleNumber;
    c->options[0] = option0;
    c->options[1] = option1;
    c->options[2] = option2;
    DlinkInit(&c->request.link);
    c->request.sw = &set->waiter;
    c->request.diag = E_NO_CONNECTION;
    return E_OK;
}

tDiag RequestSetAddAllServers(tServerRequestSet *set) {
    int added = 0;
    for (tServer *server = ServersFirst(set->servers, SERVERS_SKIP_DISABLED | SERVERS_SKIP_NO_RETRIEVE); server;
         server = ServersNext(set->servers, server, SERVERS_SKIP_DISABLED | SERVERS_SKIP_NO_RETRIEVE)) {
        tDiag explored = server->dynamic ? server->dynamic->lastExploreDiag : E_NONE;
        int exploring;
        {
            std::lock_guard<std::mutex> guard(server->lock);
            exploring = server->exploreState != nullptr;
        }
        if ((explored != E_OK && explored != E_NONE) || exploring) continue;
        if (RequestSetAdd(set, server->id, 0, 0, 0, 0) != E_OK) {
            ServerRelease(server);
            return E_OUT_OF_MEMORY;
        }
        added++;
    }
    return added ? E_OK : E_NO_REACHABLE_SERVER;
}

tDiag RequestSetAddReferenced(tServerRequestSet *set, const tServRefs *refs) {
    int added = 0;
    int count = refs->server > 0 ? ServRefsCount(refs) : 0;
    for (int i = 0; i < count; i++) {
        tServRef ref = ServRefsAt(refs, i);
        if (ref.server <= 0 || ref.server > INT32_MAX) continue;
        tServer *server = FindServerByIdWith(set->servers, static_cast<int32_t>(ref.server),
                                             SERVERS_SKIP_DISABLED | SERVERS_SKIP_NO_RETRIEVE);
        if (!server) continue;
        ServerRelease(server);
        int32_t number = ref.number > 0 && ref.number <= INT32_MAX ? static_cast<int32_t>(ref.number) : 0;
        if (RequestSetAdd(set, static_cast<int32_t>(ref.server), number, 0, 0, 0) != E_OK) return E_OUT_OF_MEMORY;
        added++;
    }
    return added ? E_OK : E_NO_REACHABLE_SERVER;
}

int RankServers(tServers *servers, int32_t a, int32_t b) {
    tServer *sa = FindServerById(servers, a);
    tServer *sb = FindServerById(servers, b);
    int result = 0;
    if (!sa || !sb) {
        result = (sa ? 0 : 1) - (sb ? 0 : 1);
    } else if (sa->category != sb->category) {
        result = sa->category < sb->category ? -1 : 1;
    } else if ((sa->speed == 0) != (sb->speed == 0)) {
        result = sa->speed == 0 ? -1 : 1;
    } else {
        auto score = [](tServer *s) {
            int32_t max = s->maxConnections;
            int32_t articles = s->dynamic ? s->dynamic->articlesGot : 0;
            if (articles > 256) articles = 256;
            int32_t divisor = max > 1 ? max : 1;
            return articles + ((s->speed + s->maxSpeed) / 2) * (max - s->connections) / divisor - s->cost * 1024;
        };
        int32_t scoreA = score(sa);
        int32_t scoreB = score(sb);
        result = scoreA > scoreB ? -1 : scoreA < scoreB ? 1 : 0;
    }
    ServerRelease(sa);
    ServerRelease(sb);
    return result;
}

namespace {
int CompareCandidates(void *context, const void *a, const void *b) {
    return RankServers(static_cast<tServers *>(context), static_cast<const tServerCandidate *>(a)->serverId,
                       static_cast<const tServerCandidate *>(b)->serverId);
}
}  // namespace

void RequestSetSort(tServerRequestSet *set) {
    ShellSort(set->servers, set->candidates.buf, (size_t)set->candidates.used, sizeof(tServerCandidate),
              CompareCandidates);
    // The requests are not linked yet; their links must point to themselves
    // at their new places.
    for (int i = 0; i < set->candidates.used; i++) DlinkInit(&Candidate(set, i)->request.link);
}

void RequestSetStart(tServerRequestSet *set) {
    set->outstanding = set->candidates.used;
    PostRequests(set);
}

tDiag GetServerConnection(tServerRequestSet *set, int seconds, int cancelSocket, tServerCandidate **candidate) {
    *candidate = nullptr;
    tServerWaiter *sw = &set->waiter;
    if (set->hadConnection) {
        {
            std::lock_guard<std::mutex> guard(sw->lock);
            MG_ASSERT(sw->alreadyHaveConnection);
            sw->alreadyHaveConnection = false;
        }
        for (int i = 0; i < set->nextSlot; i++) {
            tServerCandidate *c = Candidate(set, i);
            if (c->request.diag != E_NO_CONNECTION && c->request.diag != E_ALREADY_CONNECTED) continue;
            tServer *server = c->request.server;
            if (!server) continue;
            tServerConnection *hand = nullptr;
            bool arrived = false;
            {
                std::lock_guard<std::mutex> guard(server->lock);
                bool requeue = false;
                {
                    std::lock_guard<std::mutex> waiterGuard(sw->lock);
                    if (c->request.diag == E_OK) {
                        arrived = true;
                    } else if (c->request.diag == E_ALREADY_CONNECTED) {
                        DLINK_REMOVE(tServerRequest, &c->request);
                        c->request.diag = E_NO_CONNECTION;
                        requeue = true;
                    }
                }
                // Queued without the waiter's lock: a failed connect task
                // start answers waiters, which takes their locks.
                if (requeue) {
                    if (verbose) LogMessage(set->log, "Re-requesting %s\n", Name(server));
                    QueueRequestLocked(server, &c->request, &hand);
                }
            }
            if (hand) (void)ReleaseImpl(hand, 0, false);
            if (arrived) break;
        }
    }
    tDiag result = E_NO_CONNECTION;
    int rest = 0;
    while (set->outstanding > 0) {
        int wait = seconds;
        if (set->nextSlot < set->candidates.used) {
            int left = (int)(set->postTime + maxCategoryWait - time(nullptr));
            if (left <= 0) {
                PostRequests(set);
                continue;
            }
            if (left < wait) {
                rest = wait - left;
                wait = left;
            }
        }
        char text[64];
        if (DurationText(text, sizeof text, wait, true) < 0) (void)StrCopyBounded(text, "?", sizeof text);
        LogMessage(set->log, "Waiting for server for %s.\n", text);
        bool waitFailed = false;
        bool shutdown = ShutdownRequested();
        int waitError = 0;
        if (shutdown || WaitForAnswer(sw, wait * 1000, cancelSocket, set->log) != 0) {
            waitFailed = true;
            waitError = shutdown ? ESOCK_CANCELLED : SockLastError();
        }
        seconds = rest;
        rest = 0;
        tServerRequest *sreq = nullptr;
        {
            std::lock_guard<std::mutex> guard(sw->lock);
            if (DlinkInList(&sw->done)) {
                sreq = RequestOf(sw->done.next);
                DLINK_REMOVE(tServerRequest, sreq);
            }
        }
        if (!sreq) {
            if (waitFailed && (shutdown || ShutdownRequested())) {
                LogMessage(set->log, "Shutdown requested.\n");
                return E_SHUTDOWN;
            }
            if (waitFailed && waitError == ESOCK_CANCELLED) {
                // A client's cancel socket stays readable: waiting again is useless.
                LogMessage(set->log, "Tired of waiting: %s\n", ProxyErrorText(waitError));
                return E_CLIENT_DISCONNECTED;
            }
            if (waitFailed) {
                LogMessage(set->log, "Tired of waiting: %s\n", ProxyErrorText(waitError));
                if (seconds > 0) continue;
                return result;
            }
            if (verbose) LogMessage(set->log, "Spurious wakeup.\n");
            continue;
        }
        if (waitFailed) LogMessage(set->log, "Got server in extremis.\n");
        set->posted--;
        set->outstanding--;
        tServerCandidate *c = nullptr;
        for (int i = 0; i < set->candidates.used && !c; i++)
            if (&Candidate(set, i)->request == sreq) c = Candidate(set, i);
        if (sreq->diag == E_OK) {
            set->hadConnection = 1;
            sreq->sc->nntp.log = set->log;
            *candidate = c;
            return E_OK;
        }
        LogMessage(set->log, "Connection to %s failed: %s.\n",
                   sreq->server && sreq->server->displayName ? sreq->server->displayName : "server",
                   DiagText(sreq->diag));
        result = sreq->diag;
    }
    return result;
}

void RequestAnother(tServerRequestSet *set, tServerCandidate *candidate) {
    MG_ASSERT(!DLINK_INLIST(tServerRequest, &candidate->request));
    MG_ASSERT(candidate->request.sw == &set->waiter);
    tServer *server = candidate->request.server;
    LogMessage(set->log, "Requesting another connection to %s\n", Name(server));
    set->posted++;
    set->outstanding++;
    QueueRequest(server, &candidate->request);
}

void FreeUnusedRequests(tServerRequestSet *set) {
    if (set->posted <= 0) return;
    for (int i = 0; i < set->nextSlot; i++) {
        tServerCandidate *c = Candidate(set, i);
        tServer *server = c->request.server;
        if (!server) continue;
        tServerConnection *served = nullptr;
        {
            std::lock_guard<std::mutex> guard(server->lock);
            std::lock_guard<std::mutex> waiterGuard(set->waiter.lock);
            if (c->request.diag == E_NO_CONNECTION || c->request.diag == E_ALREADY_CONNECTED) {
                Withdraw(&c->request);
                c->request.diag = E_NO_CONNECTION;
                c->request.server = nullptr;
            } else if (c->request.diag == E_OK && DLINK_INLIST(tServerRequest, &c->request)) {
                // Served but never taken: still in the done list.
                Withdraw(&c->request);
                served = c->request.sc;
                c->request.sc = nullptr;
                c->request.diag = E_NO_CONNECTION;
            }
        }
        if (served) {
            LogMessage(set->log, "%s freeing unused %s\n", set->waiter.requester.name, Name(server));
            ReleaseConnection(served, 1);
        }
    }
    set->posted = 0;
}

void RequestSetRelease(tServerRequestSet *set) {
    WakePairClose(&set->waiter.wake);
    DynArrayFree(&set->candidates);
}

// ---------------------------------------------------------------------------
// Reports
// ---------------------------------------------------------------------------

const char *ConnectionStateName(int status, int kind) {
    switch (status) {
    case SC_CONNECTING: return "Connecting";
    case SC_ACTIVE:
        return kind == KIND_DIRECT ? "Direct retrieval" : kind == KIND_ASYNC ? "Async retrieval" : "Explore";
    case SC_AVAILABLE: return "Server-available retrieval";
    case SC_IDLE: return "Idle";
    case SC_KEPT_ALIVE: return "Kept-alive";
    case SC_TERMINATING: return "Terminating";
    case SC_DEAD: return "Dead";
    default: return "?";
    }
}

char ConnectionStateLetter(int status, int kind) {
    switch (status) {
    case SC_CONNECTING: return 'C';
    case SC_ACTIVE: return kind == KIND_DIRECT ? 'R' : kind == KIND_ASYNC ? 'A' : 'E';
    case SC_AVAILABLE: return 'V';
    case SC_IDLE: return ' ';
    case SC_KEPT_ALIVE: return 'K';
    case SC_TERMINATING: return 'T';
    case SC_DEAD: return 'D';
    default: return '?';
    }
}

namespace {

const char *Cell(const char *text) { return (!text[0] || strcmp(text, " ") == 0) ? "&nbsp;" : text; }

int Write(tReportWriter write, void *context, const char *format, ...) __attribute__((format(printf, 3, 4)));
int Write(tReportWriter write, void *context, const char *format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    int rc = FormatBoundedV(text, sizeof text, format, args);
    va_end(args);
    (void)rc;  // a row too long is written truncated
    return write(context, text);
}

}  // namespace

tDiag ServersStatusReport(tServers *servers, int html, tReportWriter write, void *context) {
    if (html) {
        if (write(context, "<form><table border=1 cellspacing=0><tr><th colspan=12>Status of servers &nbsp; "
                           "<input type=submit value=Update><input type=submit name=nopost value=\"No posting\">"
                           "</th></tr>\r\n</form>\r\n<tr><th>Id</th><th>State</th><th>Explore</th><th>Flags</th>"
                           "<th>Speed</th><th>Art</th><th>Kbytes</th><th>Name</th><th>Problems</th>"
                           "<th>Explore</th><th>Post</th><th>Refs</th></tr>\r\n<form>") != 0)
            return E_SOCKET;
    } else if (write(context, "ID  State  Update Flags  Speed Art Kbytes Name (Problems)\r\n") != 0) {
        return E_SOCKET;
    }
    tDiag rc = E_OK;
    for (tServer *server = ServersFirst(servers, 0); server; server = ServersNext(servers, server, 0)) {
        tServerDynamic empty;
        tServerDynamic *dyn = server->dynamic ? server->dynamic : &empty;
        tDiag lastDiag;
        int32_t lastOk;
        int exploring;
        {
            std::lock_guard<std::mutex> guard(server->lock);
            lastDiag = dyn->lastExploreDiag;
            lastOk = dyn->lastOkExploreTime;
            exploring = server->exploreState != nullptr;
        }
        const char *state;
        const char *attribute = "";
        if (server->disabled) {
            state = "Disab";
            attribute = " bgcolor=#E0E0E0";
        } else if (exploring) {
            state = "Run";
            attribute = " bgcolor=cyan";
        } else if (lastDiag == E_OK || lastDiag == E_NO_ACTIVE_GROUPS) {
            state = "Done";
            attribute = " bgcolor=lightgreen";
        } else if (lastDiag == E_OUT_OF_FILES) {
            state = "NoFil";
        } else if (lastDiag == E_OUT_OF_MEMORY) {
            state = "NoMem";
        } else if (lastDiag == E_NONE) {
            state = "";
        } else {
            state = "Fail";
        }
        if (!strcmp(state, "NoFil") || !strcmp(state, "NoMem") || !strcmp(state, "Fail"))
            attribute = " bgcolor=#F08080";
        char id[16];
        (void)FormatBounded(id, sizeof id, "%d", server->id);
        char since[64] = "";
        if (lastOk != 0 && DurationText(since, sizeof since, time(nullptr) - lastOk, false) < 0) since[0] = 0;
        char flags[64];
        ServerFlagsString(server, flags, sizeof flags, 1);
        const char *problems = (lastDiag == E_OK || lastDiag == E_NONE) ? "" : DiagText(lastDiag);
        const char *name = server->diskName ? server->diskName : "";
        long speed = server->speed;
        long kbytes = (long)(dyn->articleBytesGot / 1024);
        int failed;
        if (html) {
            char explore[64], post[64], refs[64];
            if (server->disabled) {
                strcpy(explore, "&nbsp;");
                strcpy(post, "&nbsp;");
                strcpy(refs, "&nbsp;");
            } else {
                (void)FormatBounded(explore, sizeof explore, "<input type=submit name=%ld value=Explore>",
                                    (long)server->id);
                (void)FormatBounded(post, sizeof post, "<input type=submit name=%ld value=Post>", (long)server->id);
                (void)FormatBounded(refs, sizeof refs, "<input type=submit name=%ld value=Delete>",
                                    (long)server->id);
            }
            failed = Write(write, context,
                           "<tr%s><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%ld</td><td>%d</td><td>%ld</td>"
                           "<td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td></tr>\r\n",
                           attribute, Cell(id), Cell(state), Cell(since), Cell(flags), speed, dyn->articlesGot,
                           kbytes, Cell(name), Cell(problems), explore, post, refs);
        } else {
            failed = Write(write, context, "%3s %-5s %7s %-6s %5ld %3d %6ld %s", id, state, since, flags, speed,
                           dyn->articlesGot, kbytes, name);
            if (!failed)
                failed = problems[0] ? Write(write, context, " (%s)\r\n", problems) : write(context, "\r\n");
        }
        if (failed) {
            ServerRelease(server);
            return E_SOCKET;
        }
    }
    if (html && write(context, "</table>\r\n</form>\r\n") != 0) rc = E_SOCKET;
    return rc;
}

void ServersStatusReportToLog(tServers *servers, tLog *log) {
    auto toLog = [](void *context, const char *text) {
        LogRaw(static_cast<tLog *>(context), "%s", text);
        return 0;
    };
    (void)ServersStatusReport(servers, 0, toLog, log);
}

tDiag CloseIdleForm(tServers *servers, tReportWriter write, void *context) {
    if (write(context, "<p><form><b>Close idle connections to:</b>&nbsp;<input type=submit value=\"All servers\" "
                       "name=Close><p>\r\n") != 0)
        return E_SOCKET;
    int n = 0;
    for (tServer *server = ServersFirst(servers, SERVERS_SKIP_DISABLED); server;
         server = ServersNext(servers, server, SERVERS_SKIP_DISABLED)) {
        n++;
        if (Write(write, context, "<input type=submit value=\"%s\" name=Close>%s\r\n", Name(server),
                  n % 3 == 0 ? "<br>" : "") != 0) {
            ServerRelease(server);
            return E_SOCKET;
        }
    }
    return write(context, "</form>\r\n") == 0 ? E_OK : E_SOCKET;
}

tDiag ConnectionsReport(tServers *servers, int html, tReportWriter write, void *context) {
    const char *header =
        html ? "<form><table border=1 cellspacing=0><tr><th colspan=10>Server connections &nbsp; <input "
               "type=submit value=Update></th></tr>\r\n</form>\r\n<tr><th>Id</th><th>State</th><th>Time</th>"
               "<th>Used times</th><th>Bytes sent</th><th>Bytes received</th><th>Name</th><th>Group</th>"
               "<th>Last diag</th></tr>\r\n"
             : "Id  S Time Usd Sent   Received Name (Group) (Diag)\r\n"
               "--------------------------------------------------\r\n";
    if (write(context, header) != 0) return E_SOCKET;
    long row = 0;
    for (tServer *server = ServersFirst(servers, 0); server; server = ServersNext(servers, server, 0)) {
        // Rows are made under the lock from copies; written without it.
        for (int index = 0;; index++) {
            char line[1600];
            bool have = false;
            {
                std::lock_guard<std::mutex> guard(server->lock);
                tDlink *link = server->allConnections.next;
                for (int k = 0; k < index && link != &server->allConnections; k++) link = link->next;
                if (link != &server->allConnections) {
                    tServerConnection *sc = ConnectionOfAll(link);
                    long seconds = (long)(time(nullptr) - sc->lastUse);
                    const char *name = server->diskName ? server->diskName : "";
                    if (html) {
                        (void)FormatBounded(line, sizeof line,
                                            "<tr%s><td>%ld</td><td>%s</td><td>%ld</td><td>%d</td><td>%ld</td>"
                                            "<td>%ld</td><td>%s</td><td>%s</td><td>%s</td></tr>\r\n",
                                            row % 2 == 0 ? " bgcolor=#E0E0E0" : "", (long)server->id,
                                            Cell(ConnectionStateName(sc->status, sc->kind)), seconds, sc->usedTimes,
                                            (long)sc->bytesSent, (long)sc->bytesReceived, Cell(name),
                                            Cell(sc->nntp.group), Cell(sc->nntp.diagText));
                    } else {
                        char letter[2] = {ConnectionStateLetter(sc->status, sc->kind), 0};
                        (void)FormatBounded(line, sizeof line, "%.0s%-3ld %s %4ld %3d %6ld %8ld %s (%s) (%s)\r\n", "",
                                            (long)server->id, letter, seconds, sc->usedTimes, (long)sc->bytesSent,
                                            (long)sc->bytesReceived, name, sc->nntp.group, sc->nntp.diagText);
                    }
                    have = true;
                }
            }
            if (!have) break;
            row++;
            if (write(context, line) != 0) {
                ServerRelease(server);
                return E_SOCKET;
            }
        }
    }
    if (html && write(context, "</table>\r\n") != 0) return E_SOCKET;
    return E_OK;
}
