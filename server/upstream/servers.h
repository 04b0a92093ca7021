// The configured upstream servers: "etc/servers.ini".
//
// tServers is the whole configuration, one instance for the program's life
// (allServers): the free comment lines of the [file] section, the proxies of
// the [proxies] section (each a tUrl whose proxyGroup is the proxy's group
// id), the proxy chains ([proxychain] sections of two proxy groups), and one
// tServer per [server] section in file order. A tServer holds the keys of its
// section, the names derived at load (disk name, display name), its flags
// and the run-time state that the connection pool keeps for it (lock, lists,
// counters), and a pointer to its statistics record (servdyna.h).
//
// Servers are allocated one by one and never move; the list is an array of
// pointers. Whoever holds a server pointer beyond a short look under the
// tServers lock holds a reference (ServerRef / ServerRelease, or the
// iteration and Find functions, which hand out referenced servers).
//
// Start-up order (main thread): ServDynaLoad, LoadServers, AddServersFromList
// (option -i), BindServers; tear-down: ServersRelease after the pool has
// closed every connection.
//
// Threading and locks: tServers.lock guards the server list, every server's
// users count and serversToExplore; it is held only to step through the list
// and take references. Each tServer.lock guards that server's pool state
// (lists, connections, task handles; used by the connection pool). Lock
// order: tServers.lock before a tServer.lock; tServer.lock before a
// waiter's lock. The configured fields do not change after load.
#pragma once

#include "lib/diag.h"
#include "lib/dlink.h"
#include "lib/ini.h"
#include "lib/log.h"
#include "lib/url.h"
#include "server/upstream/servdyna.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>

struct tServers;
struct tServerConnection;
struct tScheduler;

// Bits of tServer.flags (not saved).
enum : uint32_t {
    SF_NO_XGTITLE = 1u << 0,             // noXGTITLE applies (also set when XGTITLE fails)
    SF_ALWAYS_LIST = 1u << 1,            // alwaysLIST applies (also set by exploration)
    SF_WELCOME_200 = 1u << 2,            // the last welcome line was 200 (posting allowed)
    SF_WELCOME_201 = 1u << 3,            // the last welcome line was 201 (no posting)
    SF_NO_LISTGROUP = 1u << 4,           // LISTGROUP is not to be used
    SF_LISTGROUP_AFTER_GROUP = 1u << 5,  // LISTGROUP must be preceded by GROUP
    SF_NO_LIST_ACTIVE = 1u << 6,         // LIST ACTIVE is unusable
    SF_XOVER_HABIT_0 = 1u << 7,          // bits 7..10: XOVER habits learnt by exploration
    SF_XOVER_HABIT_1 = 1u << 8,
    SF_XOVER_HABIT_2 = 1u << 9,
    SF_XOVER_HABIT_3 = 1u << 10,
    SF_KEEP_ALIVE_MARK = 1u << 11,       // marked internally for keep-alive
};

// Options of the iteration and of FindServerByIdWith.
enum : int {
    SERVERS_SKIP_DISABLED = 1,     // skip (refuse) disabled servers
    SERVERS_SKIP_NO_RETRIEVE = 2,  // skip (refuse) servers with retrieveArticles off
};

// Longest disk and display names (without the NUL).
constexpr int SERVER_NAME_MAX = 511;

// One [server] section and the server's run-time state.
struct tServer {
    // ---- Keys of the section, in file order ----
    int32_t disabled = 0;
    int32_t id = 0;
    tUrl url{};
    int32_t adjustMaxConnections = 0;
    int32_t attemptMsgId = 0;
    int32_t background = 0;
    int32_t blindLogin = 0;
    int32_t category = 0;
    int32_t closeOnListOk = 0;
    int32_t cost = 0;
    int32_t daysTooOld = 0;
    int32_t explore = 1;
    int32_t emulateXoverUsingHead = 0;
    int32_t emulateXoverUsingXhdr = 0;
    int32_t enforceForbiddenIPs = 1;
    int32_t extraConnectTime = 0;
    int32_t extraTime = 0;
    int32_t filterArticles = 0;
    int32_t groupBeforeMsgId = 0;
    tIniStringArray ignoreGroup{};
    int32_t ignoreLoginFailure = 0;
    int32_t isSlow = 0;
    int32_t keepAlive = 0;
    int32_t listgroupDoesNotSetGroup = 0;
    tIniStringArray listgroupGroup{};
    int32_t listgroupIfGroupFails = 0;
    int32_t listPreferred = 0;
    int32_t main = 0;
    int32_t maxUnusedSecs = -1;
    int32_t msgIdIfNbFails = 1;
    int32_t numbersCollapseMaxRanges = 0;
    int32_t numbersCollapseMinDistance = 0;
    tIniStringArray postingGroup{};
    tIniUrlArray privateProxy{};
    int32_t retrieveArticles = 1;
    int32_t reuseForAsync = 1;
    int32_t xoverOnEmpty = 1;
    int32_t truncAfterMsgId = 0;
    int32_t useFakes = 0;
    int32_t useXrefs = 1;
    int32_t xgTitleBroken = 0;
    int32_t zombies = 1;
    int32_t xhdrMessageIdAllowNumberNotGreater = 0;
    int32_t xoverAllowNumberNotGreater = 0;
    int32_t addedDateSecs = 0;
    char *addedDateString = nullptr;
    tIniStringArray ignored{};
    tIniStringArray comment{};

    // ---- Identity, set at load ----
    char *diskName = nullptr;     // owned; name of the server's files
    char *displayName = nullptr;  // owned; disk name and " (id)"
    int maxConnections = 4;       // 4 + adjustMaxConnections
    std::atomic<uint32_t> flags{0};       // SF_ bits
    tServerDynamic *dynamic = nullptr;    // statistics record, set by BindServers
    tServers *servers = nullptr;          // back link

    // ---- Reference count ----
    std::atomic<int> users{0};  // changed under tServers.lock; 0 when nobody holds it

    // ---- Pool state (connection pool); guarded by lock unless noted ----
    std::mutex lock;
    int connections = 0;              // existing connections (opening, lent, idle, kept alive)
    int speed = 0;                    // current measured retrieval speed, 0 = not measured
    int maxSpeed = 0;                 // best measured retrieval speed
    time_t lastFailedConnectTime = 0; // last failed attempt, 0 after a success
    tDlink activeServerRequests;      // requests waiting for a connection, deadline order
    tDlink idleServerRequests;        // requests parked: their waiter got a connection elsewhere
    tDlink idleConnections;           // connections ready for reuse, oldest first
    tDlink allConnections;            // every existing connection
    int connectTask = 0;              // handle of the connect task, 0 = none
    int exploreTask = 0;              // handle of the exploration task, 0 = none
    void *exploreState = nullptr;     // the exploration running now (exploring-now flag), null when none
    tDiag lastConnectDiag = E_NO_CONNECTION;  // result of the connect task's last attempt

    tServer() {
        DlinkInit(&activeServerRequests);
        DlinkInit(&idleServerRequests);
        DlinkInit(&idleConnections);
        DlinkInit(&allConnections);
    }
    tServer(const tServer &) = delete;
    tServer &operator=(const tServer &) = delete;
};

// One [proxychain] section.
struct tProxyChain {
    tIniIntArray proxyGroup;  // exactly two proxy group ids once validated
};

// Offers a released connection to pending asynchronous retrievals: 1 when
// it took the connection, else 0.
typedef int (*tServerAvailableFn)(void *data, tServerConnection *connection);

struct tServers {
    // ---- "etc/servers.ini" ----
    tIniFile iniFile{};
    tIniSection sections[5]{};
    tIniEntry fileEntries[2]{};
    tIniEntry proxyEntries[2]{};
    tIniSectionOps chainOps{};
    tIniSectionOps serverOps{};  // its instance array is the server list (tServer *)
    tIniStringArray comment{};   // free comment lines of [file]
    tIniUrlArray proxies{};      // the url lines of [proxies]
    int loaded = 0;              // LoadServers succeeded, ServersRelease has not run
    std::mutex saveLock;         // serialises SaveServers

    // ---- Derived at load ----
    int32_t mainServer = 0;        // id of the main server, 0 = none
    int32_t backgroundServer = 0;  // id of the background server, 0 = none
    tLog *log = nullptr;           // the journal: every message of this module

    // ---- Shared state ----
    std::mutex lock;             // the server list, users counts, serversToExplore
    int serversToExplore = 0;    // enabled servers, counted at load; guarded by lock
    tServerAvailableFn serverAvailable = nullptr;
    void *serverAvailableData = nullptr;
    tScheduler *scheduler = nullptr;

    // ---- "etc/servdyna.ini" ----
    tServDyna dyna;

    // ---- "logs/results" ----
    std::mutex resultsLock;      // serialises AppendResultLine
    const char *resultsPath = "logs/results";
};

// The servers of the multiplexer.
extern tServers allServers;

// ---------------------------------------------------------------------------
// Loading and saving
// ---------------------------------------------------------------------------

// Loads "etc/servdyna.ini" (start-up step before LoadServers). See
// ServDynaLoad: E_OK, E_FILE_MISSING or E_SERVERS_INI_SAVE, each after its
// message to log. Main thread.
[[nodiscard]] tDiag ServersLoadDynamic(tServers *servers, tLog *log,
                                       const char *path = "etc/servdyna.ini");

// Reads, validates and writes back path (normally "etc/servers.ini"); a
// missing file is created with the defaults and gives no server. Messages go
// to log, which the servers keep for all later messages. Returns E_OK;
// E_FILE_MISSING when the file cannot be read (also when ServersFileCheck
// refuses it); E_SERVERS_INI_ERROR, E_BUFFER_TOO_SMALL or
// E_OUT_OF_MEMORY for a refused file, after the message naming the fault. On
// failure nothing stays loaded and the file is not written. A failed write
// back is logged ("Could not save etc/servers.ini: %s.\n") and does not fail
// the load. Main thread.
[[nodiscard]] tDiag LoadServers(tServers *servers, tLog *log, int shortFileNames, int noXGTITLE,
                                int alwaysLIST, tServerAvailableFn serverAvailable, void *data,
                                tScheduler *scheduler, const char *path = "etc/servers.ini");

// Appends the servers of a plain list file: one server per line (at most 512
// characters), its URL then any private proxies, separated by blanks or
// tabs. A server whose disk name equals another's is skipped silently.
// Returns E_OK (the servers file is then written back); E_FILE_MISSING after
// "Could not open '%s'.\n" or when ServersFileCheck refuses the file;
// E_SERVERS_INI_ERROR after "Line %d of '%s' is longer than 512
// characters.\n";
// E_SERVERS_INI_ERROR (or another validation result) after the message of the
// faulty line, whose server is then dropped; the servers added before it
// stay in memory. After LoadServers, main thread.
[[nodiscard]] tDiag AddServersFromList(tServers *servers, int shortFileNames, int noXGTITLE,
                                       int alwaysLIST, const char *path);

// Links every server to its statistics record (appending records for new
// servers and saving "etc/servdyna.ini" then) and refreshes each record's
// url. E_OK, or E_SERVERS_INI_ERROR after "Could not allocate another
// serverDynamic: %s.\n" or "Could not format server URL: %s.\n". Also warns
// about servers whose proxy group has no proxy. Main thread, after
// LoadServers (and AddServersFromList).
[[nodiscard]] tDiag BindServers(tServers *servers);

// Writes "etc/servers.ini" back (through a temporary file, synced and
// renamed, so a failed save leaves the previous file whole). E_OK, or
// E_SERVERS_INI_SAVE after "Could not save etc/servers.ini: %s.\n". Any
// thread; saves are serialised.
tDiag SaveServers(tServers *servers);

// Saves "etc/servdyna.ini" (see ServDynaSave).
tDiag SaveServersDynamic(tServers *servers);

// Tear-down: saves "etc/servdyna.ini", reports users counts ("  %d users for
// %s.\n" when above 1 or below 0, or not 0 with verbose), frees every
// server, proxy and chain and the statistics records. The pool must have
// freed every connection first (an existing connection is an internal
// error). The structure is ready for another run afterwards. Main thread,
// with no other thread using the servers.
void ServersRelease(tServers *servers);

// Exit codes of the start-up steps below.
constexpr int SERVERS_EXIT_CONFIG = 20;  // "Error in the etc/servers.ini file"
constexpr int SERVERS_EXIT_IMPORT = 56;  // "Error when importing servers from file"

// Start-up of the servers in one call: ServersLoadDynamic ("etc/servdyna.ini"),
// LoadServers ("etc/servers.ini") with the settings shortFileNames,
// noXGTITLE and alwaysLIST, AddServersFromList when importFile is not null,
// then BindServers. Returns 0, SERVERS_EXIT_CONFIG or SERVERS_EXIT_IMPORT;
// on failure what was loaded stays for ServersRelease to free (which the
// tear-down calls in any case). Main thread.
[[nodiscard]] int ServersStart(tServers *servers, tLog *log, const char *importFile,
                               tServerAvailableFn serverAvailable, void *data, tScheduler *scheduler);

// ---------------------------------------------------------------------------
// The server list
// ---------------------------------------------------------------------------

// The number of servers and server i, without taking a reference. Only
// under servers->lock, or on the main thread while no other thread runs.
int ServerCount(const tServers *servers);
tServer *ServerAt(const tServers *servers, int index);

// Takes a reference (users + 1) under servers->lock.
void ServerRef(tServer *server);
// Gives a reference back (users - 1); a count going below 0 is an internal
// error. Accepts null.
void ServerRelease(tServer *server);

// The first server (referenced) that the options do not skip, or null.
tServer *ServersFirst(tServers *servers, int options);
// Gives current back and returns the next server after it (referenced) that
// the options do not skip, or null.
tServer *ServersNext(tServers *servers, tServer *current, int options);

// The server with this id, referenced, or null (id 0 finds none).
tServer *FindServerById(tServers *servers, int32_t id);
// The same, but a server that the options skip is given back and null
// returned.
tServer *FindServerByIdWith(tServers *servers, int32_t id, int options);

// A text of digits only is a server id: that id, or E_NO_SUCH_SERVER_NUMBER.
// Any other text is a substring of the display names: the id of the single
// server that contains it, E_AMBIGUOUS_SERVER for two or more,
// E_NO_SUCH_SERVER_NAME for none.
int32_t FindServerByName(tServers *servers, const char *text);

// The first enabled server in list order one of whose postingGroup patterns
// matches group (wildcards), referenced, or null.
tServer *FindPostingServer(tServers *servers, const char *group);

// Calls fn for each enabled server (referenced during the call). On the
// first negative result logs "Server %s failed: %s.\n" and returns it;
// otherwise E_OK.
typedef tDiag (*tServerFn)(tServers *servers, tServer *server, void *data);
tDiag ForEachServer(tServers *servers, tServerFn fn, void *data);

// ---------------------------------------------------------------------------
// Names, options and the results log
// ---------------------------------------------------------------------------

// The shortened host used for short file names: the first ".com", ".edu",
// ".net", ".org" and "news" removed (in this order), then every dot. Writes
// into out (size bytes); -1 when it does not fit.
int ShortenHost(const char *host, char *out, int size);

// The option letters of server into output (size bytes, always terminated
// when size > 0); items that do not fit are left out with all that follow.
// full adds the letters g, l, N, o, P. Returns the length written.
int ServerFlagsString(const tServer *server, char *output, int size, int full);

// Appends the line of a finished exploration of server to the results log
// (first, when the file is new, one line per proxy and per chain): the URL
// with secrets, the option letters, the private proxies, ignored and
// LISTGROUP groups, the local time, the message of lastExploreDiag and text
// when it says more. Problems are logged; the line is then left out. Any
// thread.
void AppendResultLine(tServers *servers, tServer *server, const char *text);

// The proxy used for attempt j (0 first) of server: its j-th private proxy,
// or the j-th proxy of its proxy group. When that group is the first group
// of a chain, hops[0] is the proxy and hops[1] the first proxy of the
// chain's second group (hops[0].next == &hops[1]); otherwise hops[0] alone.
// The hops borrow the texts of the stored proxies (valid until
// ServersRelease). Returns hops, or null when there is no such proxy.
tUrl *ServerProxyAt(const tServers *servers, const tServer *server, int j, tUrl hops[2]);
