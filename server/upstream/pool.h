// The pool of connections to the upstream servers.
//
// Every conversation with an upstream server runs on a pooled connection. A
// requester asks for a connection to one server (RequestConnection) or to
// the best of several (request sets, pool set functions); the pool hands over
// the longest-idle connection at once, or queues the request in deadline
// order (time of asking plus the requester's priority) and lets the server's
// connect task (category "connect", one per server at a time) open new
// connections up to the server's limit. Released connections go to the next
// waiting request, else stay open for reuse: idle (closed by a "disconn"
// task after 300 seconds) or kept alive (MODE READER every 60 seconds by a
// "keepali" task, closed after 900 unused seconds). When a connection is
// freed its traffic is added to the server's statistics.
//
// Design: the server's lists are intrusive tDlink lists (tServer):
// activeServerRequests, idleServerRequests, idleConnections and
// allConnections. A requester waits on the wake pair of its tServerWaiter;
// answered requests are appended to the waiter's done list. A connection has
// a reference count (1 for its existence; one more while a task that lost it
// still runs) and a generation number that tells an idle or keep-alive task
// whether the connection was taken since it was scheduled.
//
// Threading and locks: each server's lists, counts, task handles, the state
// of its connections and their reference counts change under the server's
// lock; a waiter's done list and alreadyHaveConnection under the waiter's
// lock. Order: server lock, then waiter lock; tServers.lock (server
// references) may be taken under a server lock. No lock is held while
// connecting, talking to a server, cancelling tasks or waiting.
#pragma once

#include "lib/diag.h"
#include "lib/dlink.h"
#include "lib/dynarray.h"
#include "lib/tasks.h"
#include "lib/wakepair.h"
#include "server/store/serv_refs.h"
#include "server/upstream/nntp.h"

#include <cstdint>
#include <ctime>
#include <mutex>

struct tLog;
struct tServer;
struct tServers;

// Connection states.
enum {
    SC_CONNECTING = 0,   // being opened by the connect task
    SC_ACTIVE = 1,       // lent to a requester (kind tells the use)
    SC_AVAILABLE = 2,    // offered to the server-available callback
    SC_IDLE = 3,         // in idleConnections, closed by its idle task
    SC_KEPT_ALIVE = 4,   // in idleConnections, refreshed by its keep-alive task
    SC_TERMINATING = 5,  // QUIT being sent
    SC_DEAD = 6,         // closed, waiting for its last reference
};

// One connection to an upstream server.
struct tServerConnection {
    tDlink link;          // in idleConnections while idle; first member
    tDlink allLink;       // in allConnections while it exists
    tNntp nntp;           // the conversation; nntp.log is the caller's log while lent
    tServer *server;
    int status;           // SC_ values
    int kind;             // KIND_ values, meaningful while SC_ACTIVE
    time_t lastUse;       // creation, last hand-over, last release that found no request
    int usedTimes;        // hand-overs
    int task;             // idle or keep-alive task handle, 0 = none
    int generation;       // given to that task
    int references;       // freed at 0
    int64_t bytesSent;
    int64_t bytesReceived;
    int articlesGot;
};

// The waiting side of one requester (shared by the requests of a set).
struct tServerWaiter {
    tDlink done;                  // answered requests, oldest first; guarded by lock
    std::mutex lock;
    tWakePair wake;               // one byte per answer once made (readEnd -1 before): made only
                                  // when the waiter has to wait; guarded by lock
    bool alreadyHaveConnection;   // guarded by lock
    tRequester requester;
    time_t deadline;              // creation time + requester.priority
};

// A request for a connection to one server.
struct tServerRequest {
    tDlink link;                  // first member: server list or waiter's done list
    tServerWaiter *sw;
    tServerConnection *sc;        // the connection handed over
    tDiag diag;                   // E_NO_CONNECTION waiting, E_ALREADY_CONNECTED parked, E_OK served
    tServer *server;
};

// One candidate server of a request set.
struct tServerCandidate {
    int32_t serverId;
    int32_t articleNumber;        // 0 when none
    uint8_t options[3];           // the caller's
    tServerRequest request;
};

// A request for one connection from any of several servers.
struct tServerRequestSet {
    tServers *servers;
    tDynArray candidates;         // tServerCandidate
    tServerWaiter waiter;
    int outstanding;              // requests still expected to answer
    int posted;                   // posted and not yet answered
    time_t postTime;              // last posting
    int nextSlot;                 // first candidate not yet requested
    int hadConnection;            // a connection was taken from this set
    tLog *log;
};

// ---- One server ----

// A connection to server for requester: at once when one is idle, else when
// the connect task opens one or another requester releases one, within
// timeout seconds (-1: 45). While lent, the connection writes to log.
// Returns E_OK with *connection set; E_SEMAPHORE (no wake pair or the wait
// failed), E_SHUTDOWN, E_TASK_SCHEDULING_FAILED, the failure of the last
// connect attempt, or E_NO_CONNECTION when the time ran out.
[[nodiscard]] tDiag RequestConnection(tServer *server, const tRequester *requester, tLog *log, int timeout,
                                      int cancelSocket, tServerConnection **connection);

// Gives a connection back to the pool (the only way back): to the first
// waiting request, else to the server-available callback (when allowed),
// else idle or kept alive. A connection without a socket is closed and
// freed. The caller must not hold the server's lock.
void ReleaseConnection(tServerConnection *connection, int allowServerAvailable);

// An idle connection of server removed from the pool (the caller releases
// it later): E_OK, or E_NO_IDLE_CONNECTION.
[[nodiscard]] tDiag TakeSpareConnection(tServer *server, tServerConnection **connection);

// Closes every idle connection of server (QUIT), writing to log; with
// cancelConnect, first cancels a scheduled connect task and fails the
// waiting requests with E_SHUTDOWN. force is for the tear-down.
void CloseConnections(tServer *server, tLog *log, int cancelConnect, int force);

// ---- Request sets ----

// Sets up set for requester: E_OK, or E_SEMAPHORE.
[[nodiscard]] tDiag RequestSetInit(tServerRequestSet *set, tServers *servers, const tRequester *requester,
                                   tLog *log);
// Adds a candidate: E_OK or E_OUT_OF_MEMORY.
[[nodiscard]] tDiag RequestSetAdd(tServerRequestSet *set, int32_t serverId, int32_t articleNumber,
                                  uint8_t option0, uint8_t option1, uint8_t option2);
// Every enabled server that may retrieve articles, whose last exploration
// ended well and that is not being explored: E_OK, E_NO_REACHABLE_SERVER
// or E_OUT_OF_MEMORY.
[[nodiscard]] tDiag RequestSetAddAllServers(tServerRequestSet *set);
// The servers named by refs that are enabled and may retrieve articles, each
// with the article's number there (a zombie or a deleted article names none):
// E_OK, E_NO_REACHABLE_SERVER when none qualifies, or E_OUT_OF_MEMORY.
[[nodiscard]] tDiag RequestSetAddReferenced(tServerRequestSet *set, const tServRefs *refs);
// Sorts the candidates with RankServers.
void RequestSetSort(tServerRequestSet *set);
// Posts the first requests.
void RequestSetStart(tServerRequestSet *set);
// Waits up to seconds for a connection from one of the candidates, asking
// the next category of servers after maxCategoryWait seconds. E_OK with
// *candidate (its request's sc is the connection), or the last failure.
[[nodiscard]] tDiag GetServerConnection(tServerRequestSet *set, int seconds, int cancelSocket,
                                        tServerCandidate **candidate);
// Asks for another connection to the candidate's server.
void RequestAnother(tServerRequestSet *set, tServerCandidate *candidate);
// Withdraws the requests still pending; connections that arrived meanwhile
// go back to the pool.
void FreeUnusedRequests(tServerRequestSet *set);
// Releases the set (after FreeUnusedRequests).
void RequestSetRelease(tServerRequestSet *set);

// The order of two servers for a request set: negative when a is better.
int RankServers(tServers *servers, int32_t a, int32_t b);

// ---- Reports and tear-down ----

// Long and short (letter) names of a connection state.
const char *ConnectionStateName(int status, int kind);
char ConnectionStateLetter(int status, int kind);

// The servers status report (text or HTML) written piece by piece; stops at
// the first failing write. E_OK or E_SOCKET.
tDiag ServersStatusReport(tServers *servers, int html, tReportWriter write, void *context);
// The text status report written to log (LogRaw), for the journal at the
// end of a run.
void ServersStatusReportToLog(tServers *servers, tLog *log);
// The close-idle form (HTML).
tDiag CloseIdleForm(tServers *servers, tReportWriter write, void *context);
// The connections report (text or HTML).
tDiag ConnectionsReport(tServers *servers, int html, tReportWriter write, void *context);

// Tear-down: cancels the connect tasks, fails the waiting requests and
// closes every idle connection of every server. After the scheduler stopped.
void PoolRelease(tServers *servers);
