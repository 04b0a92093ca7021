// Connected clients of the local NNTP and web servers: the session object,
// the client registry and the client listing.
//
// A tSession is allocated zeroed by a dispatcher (server/nntp/listener.h),
// filled from its listener, admitted, registered and handed to a client
// thread, which owns it from then on and ends with SessionEnd. The registry
// is one list of all sessions of both listeners; the administrative listing
// walks it with RegistryFirst/RegistryNext, which pin each session they
// return (`references`), so that a session leaving meanwhile waits in
// RegistryRemove until the listing has moved past it. The listing therefore
// holds the registry lock only for each step, never while writing a row.
//
// Threading: the registry lock guards the list links, every session's
// `references` and `releaseWaiter`, and `contentions`. All other fields of a
// session belong to its thread; listings read a few of them (group, current
// article) without a lock, for display only.
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>

#include "lib/appendlog.h"
#include "lib/dlink.h"
#include "lib/log.h"
#include "lib/semaphore.h"
#include "lib/sockbuf.h"

struct tThreadPool;
struct tIndices;
struct tServers;
struct tAsyncQueue;
struct tGroupList;
struct tMil;
struct tArticles;
struct tReaderState;

// The registry of connected clients, shared by both listeners.
struct tClientRegistry {
    tDlink head;                // sessions in order of admission; guarded by lock
    std::mutex lock;
    int contentions = 0;        // removals that waited for a listing; guarded by lock
};

constexpr int SESSION_LINE_SIZE = 10240;

// One connected client.
struct tSession {
    tDlink link;                    // membership of the registry; guarded by the registry lock
    int isWeb;                      // 1 for a web client
    tIndices *indices;              // the group index cache
    tThreadPool *pool;              // the listener's client pool
    tServers *servers;
    tAsyncQueue *async;
    tGroupList *popularity;         // the full group list, which keeps the popularity
    int retrievedMark;
    tMil *retrievedList;            // null unless retrievedLog is set
    int retrievedShow;
    int assumeInternetPresent;
    int *restartRequested;          // the main program's variables
    int *keptClientSocket;
    int skipEmptyGroups;
    tGroupList *groupList;
    const char *adminLogin;         // the listener's copies (null when unset)
    const char *adminPass;
    const char *userLogin;
    const char *userPass;
    int reportAsDeleted;
    int showOnlyActiveGroups;
    tMil *hiddenList;
    uint32_t address;               // the client's IPv4 address, network order
    int clientPort;
    time_t connectTime;             // when the connection was admitted
    char host[128];                 // reverse name, else the dotted address
    tSockBuf conversation;          // the client socket and its receive buffer
    char logPath[256];              // the per-client log
    tLog log;
    tAppendLog *clientsLog;         // the listener's shared client log
    tClientRegistry *registry;
    int nntpPort;
    char line[SESSION_LINE_SIZE];   // the last line received; also builds answers
    int localServer;                // 1 while the pseudo-group "async" is selected
    char groupName[512];            // the selected group; empty when none
    tArticles *articles;            // the open index of the selected group, or null
    long currentNumber;             // the current article; -1 at creation
    char patterns[512];             // the patterns of an XPAT command
    int references;                 // listings holding this session; guarded by the registry lock
    tSemaphore *releaseWaiter;      // set while RegistryRemove waits; guarded by the registry lock
    tReaderState *reader;           // the reader session's own state while it runs (server/nntp/session.h)
};

// Releases the open group index of a session (the index cache's release).
// Set by the module that opens indexes for sessions; SessionEnd calls it when
// `articles` is not null.
extern void (*sessionArticlesRelease)(tSession *session);

// Allocates a zeroed session with its links pointing to itself, no socket,
// `currentNumber` -1 and no open log. Null when out of memory.
tSession *SessionAllocate();

// Frees a session that is in no registry. Accepts null.
void SessionFree(tSession *session);

// The last act of every client thread: closes the per-client log and appends
// it to the shared client log (the file is removed); closes the client
// socket unless it is the one a restart carries into the next run
// (`*keptClientSocket`); releases the open group index; removes the session
// from the registry (waiting for listings that hold it) and frees it. The
// pool slot is given back by the pool's thread wrapper when the session
// function returns.
void SessionEnd(tSession *session);

// Empties the registry. No session may be registered.
void RegistryInit(tClientRegistry *registry);

// Checks at tear-down that no session is left registered (Panic otherwise).
void RegistryRelease(tClientRegistry *registry);

// Appends the session at the tail, under the lock.
void RegistryAdd(tClientRegistry *registry, tSession *session);

// Unlinks the session under the lock, first waiting (without the lock) until
// no listing holds it; each such wait counts one contention. The session must
// be registered.
void RegistryRemove(tClientRegistry *registry, tSession *session);

// The first registered session with its `references` raised, or null.
tSession *RegistryFirst(tClientRegistry *registry);

// The session after `session` with its `references` raised (null at the
// end); then lowers the `references` of `session`, releasing a waiting
// removal when they reach 0. `session` must have been returned by
// RegistryFirst or RegistryNext.
tSession *RegistryNext(tSession *session);

// Ends a walk early: lowers the `references` of a session returned by
// RegistryFirst or RegistryNext.
void RegistryLeave(tSession *session);

// Writes the client listing on the session's socket, copied to its log with
// SendAndLog: the NNTP form ("200 List of clients follows." ... ".") for an
// NNTP session, the HTML table for a web session. One row per registered
// session; the requesting one is marked " *". Returns 0, or -1 when a send
// failed (the listing stops there).
int ClientsReport(tSession *session);
