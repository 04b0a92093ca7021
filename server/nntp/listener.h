// The local servers: a listening socket, a dispatcher thread that accepts
// and admits clients, one log per client and a bounded pool of client
// threads. The NNTP server for newsreaders and the web server for the
// administration pages share this design; they differ by `isWeb`, their
// session function and their settings.
//
// Life of a listener: the main program fills the fields (the references to
// its state and the settings), ListenerCreate binds the socket (falling back
// to other ports when the port is taken), DispatcherRun runs on the task pool
// until a shutdown is requested, then waits for every client thread, and
// ListenerClose at tear-down closes what is left.
//
// Each admitted client gets a tSession (server/nntp/clients.h), a per-client
// log "logs/cli-<host>-<port>" (web: "logs/web-...") that is appended to the
// shared client log ("logs/clients", "logs/web") when the client leaves, and
// a thread of the client pool running `sessionFunction`. Refused clients are
// answered before their socket is closed and recorded in "logs/intruder".
//
// Threading: one dispatcher thread per listener; the fields are set before
// it starts and read-only afterwards, except `socket` (closed by the
// dispatcher as it ends). The restart variables are written by one session
// thread: it sets *restartRequested before *keptClientSocket, so that the
// dispatcher never takes a kept socket during the run that keeps it.
#pragma once

#include "lib/appendlog.h"
#include "lib/diag.h"
#include "lib/threadpool.h"
#include "server/nntp/clients.h"

struct tLog;

// Connections the kernel may hold before the dispatcher accepts them. A small
// queue would not refuse a burst of clients on Linux: with SYN cookies the
// clients believe they are connected while the server never sees them, and
// a newsreader waiting for the greeting would hang. So the queue is large
// and every client reaches the dispatcher (to be served or refused).
constexpr int LISTENER_BACKLOG = 1024;
constexpr int LISTENER_PORT_ATTEMPTS = 5;
constexpr long CLIENTS_LOG_MAX_SIZE = 100000;

struct tListener {
    tClientRegistry *registry;      // shared by both listeners
    int isWeb;                      // 0 NNTP, 1 web
    tIndices *indices;
    tThreadPool *taskPool;          // runs the dispatcher
    tServers *servers;
    tAsyncQueue *async;
    tGroupList *popularity;         // the full group list
    int retrievedMark;
    tMil *retrievedList;            // null unless retrievedLog is set
    int retrievedShow;
    int assumeInternetPresent;
    int *restartRequested;          // the main program's variables
    int *keptClientSocket;
    int skipEmptyGroups;
    tGroupList *groupList;
    char *adminLogin;               // ListenerCreate replaces the given texts by owned copies
    char *adminPass;
    char *userLogin;
    char *userPass;
    int reportAsDeleted;
    int showOnlyActiveGroups;
    tLog *journal;
    int port;                       // the port to try first; after creation the port bound
    int otherComputers;
    int socket;                     // the listening socket; -1 when closed
    int nntpPort;                   // shown in the web pages' links
    const char *clientsLogPath;     // "logs/clients" or "logs/web"
    long clientsLogMax;             // CLIENTS_LOG_MAX_SIZE
    tPoolFunction sessionFunction;  // runs on each client thread, ends with SessionEnd
    const char *threadLabel;        // "NntpServer" or "WebServer"
    int maxClients;                 // maxNntp or maxWeb
    int queueRequests;              // a full pool makes clients wait instead of refusing them
    tMil *hiddenList;
    // Access settings for admission (null lists mean "*").
    const char *const *allowedIP;
    const char *const *allowedHostName;
    int hostNameRequired;
    int *portSetting;               // receives the port bound (nntpPort or webPort); may be null
    // Owned by the listener.
    tThreadPool clientPool;         // at most maxClients client threads
    tAppendLog clientsLog;          // the shared client log, set up by the dispatcher
};

// The port tried after `port` failed: 119 -> 2000, 21 -> 3000, else port + 1.
int ListenerNextPort(int port);

// Takes the fields the caller filled in on a value-initialised listener
// (`tListener listener{};`, so that whatever is not filled is null or 0; the
// logins are copied, so the caller's texts need not outlive the call),
// creates a TCP socket with
// address reuse, bound to `port` on all IPv4 addresses and listening with
// LISTENER_BACKLOG. When that fails it writes "Could not create the %s server on
// port %d: %s.\n" to the journal and tries ListenerNextPort, five ports in
// all. On success `port` and *portSetting hold the port bound (port 0 binds
// an ephemeral port), "Created the %s server on port %d pid %d\n" is
// written, and E_OK returned. After five failures E_CANNOT_CREATE_SERVER,
// with nothing left open (ListenerClose is still allowed).
[[nodiscard]] tDiag ListenerCreate(tListener *listener);

// The dispatcher thread's body (a tPoolFunction; argument: the listener),
// started on the task pool as "NntpDispatcher" or "WebDispatcher". Sets up
// the shared client log (on failure requests shutdown 40 or 41) and the
// client pool, then accepts (1-second waits, so a shutdown is noticed within
// a second), admits and starts clients until a shutdown is requested; then
// waits for every client thread, removes an empty shared log and closes the
// listening socket.
void DispatcherRun(void *listener);

// Closes the listening socket when it is open and frees the login copies.
// Tear-down, after the dispatcher has returned (or when it never started).
void ListenerClose(tListener *listener);
