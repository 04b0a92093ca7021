// Server exploration: one task per upstream server that keeps the local
// store in step with what the server holds.
//
// An exploration borrows a connection from the pool, learns the server's
// group list into its actual list (the cheapest way the server allows, or
// only the new groups when the last full sweep is recent), and then visits
// every active group in score order (ExploreGroup): it compares the numbers
// the server lists now with those of the last visit (the server's newsrc),
// forgets vanished articles, fetches overview data for new numbers and
// records the visit. At the end it writes the server's statistics
// ("etc/servdyna.ini"), a line to "logs/results", closes its log
// "explore/<disk name>" and, for a periodic exploration, runs again after a
// delay chosen by its result (NextExploreDelay). In minimal mode it samples a
// few articles instead of visiting groups, to judge a server quickly.
//
// Design: a template tExplore (update cycle, reader session, posting) is
// copied for each scheduled exploration; the copy holds a server reference
// and lives until its task ends. Live copies are also kept in a registry so
// that the tear-down frees those whose task never ran again
// (ExploreReleaseAll). Filters and the hidden list plug in through
// exploreFilters (null functions: no filtering).
//
// Threading: explorations of different servers run in parallel on the
// "explore" category's threads, each holding one pooled connection of its
// own server. Per server at most one exploration body runs at a time: the
// exploring-now flag (tServer.exploreState not null) and the periodic task
// handle (tServer.exploreTask) are changed under the server lock, as are the
// statistics written at the end. Group indexes serialise with readers
// through their store lock.
#pragma once

#include "lib/diag.h"
#include "lib/log.h"
#include "server/store/actual.h"
#include "server/store/articles.h"
#include "server/store/db.h"
#include "server/store/grouplist.h"

#include <ctime>

struct tServers;
struct tServer;
struct tIndices;
struct tNntp;
struct tRequester;

// Longest one-group name (without the NUL).
constexpr int EXPLORE_GROUP_MAX = 255;

// The parameters of one exploration (a template has no server).
struct tExplore {
    tServers *servers = nullptr;
    tServer *server = nullptr;          // referenced while a copy lives; null in a template
    const char *copyPath = nullptr;     // minimal mode: where a log without any sample is copied; not owned
    tIndices *indices = nullptr;        // the index cache
    int minimal = 0;                    // sample articles instead of visiting groups
    int deferred = 0;                   // skip when the last good exploration is recent
    int exitIfNoInternet = 0;
    int assumeInternetPresent = 0;      // also passed to the group visits
    int skipEmptyGroups = 0;            // a listed group whose high is below its low is empty
    int useServerNumber = 0;            // local numbers follow the server's (main-server sync)
    tGroupList *popularity = nullptr;   // popularity data read by GroupScore
    char oneGroup[EXPLORE_GROUP_MAX + 1] = {};  // empty: all groups
    tGroupList *groupList = nullptr;    // the full group list
    int periodic = 0;                   // reschedules itself; handle kept in the server
    int sweepRequested = 0;             // a full groups.yes sweep was asked for
    void *hiddenList = nullptr;         // handed to the filters
};

// Where filters plug in. load returns the filters for one exploration (null
// for none) and their count; release gives them back. Null functions: no
// filtering. Set once at start-up.
struct tExploreFilterOps {
    const tArticleHooks *(*load)(tExplore *explore, tLog *log, int *count);
    void (*release)(const tArticleHooks *filters);
};
extern tExploreFilterOps exploreFilters;

// Fetches article number of group on the conversation for minimal mode's
// samples (no reader, no file): E_OK, E_ARTICLE_DELETED, or another
// failure. Set once at start-up; null: every sample fails.
typedef tDiag (*tExploreSampleFn)(tNntp *nntp, const char *group, long number);
extern tExploreSampleFn exploreSample;

// The context of the group visits of one exploration.
struct tGroupPass {
    tNntp *nntp = nullptr;
    tIndices *indices = nullptr;
    tDb *newsrc = nullptr;              // the server's open newsrc
    int skipEmptyGroups = 0;
    int useServerNumber = 0;
    int quiet = 0;                      // a one-group exploration
    int resourceExhaustions = 0;        // groups whose index failed for lack of memory, files or disk
    const tArticleHooks *filters = nullptr;
    const tRequester *requester = nullptr;
    int assumeInternetPresent = 0;
    time_t lastCheckpoint = 0;          // when the newsrc was last committed
};

// Seconds between commits of the newsrc during the group visits (each
// commit waits for the disk; the walk's end always commits).
constexpr int NEWSRC_CHECKPOINT_SECONDS = 2;

// The context of GroupScore.
struct tGroupScoreContext {
    tDb *newsrc = nullptr;
    tGroupList *popularity = nullptr;
};

// ---------------------------------------------------------------------------
// Scheduling

// Schedules an exploration of server from template (which must have no
// server): a copy referencing the server, due now, in category "explore",
// described by the server's display name. A periodic exploration must be
// for all groups; its handle is stored in the server (E_STILL_RUNNING when
// the server already has one). A non-periodic exploration of all groups
// makes the server's waiting task due at once instead of scheduling another
// one. E_OK; E_OUT_OF_MEMORY after "Out of memory to allocate tExplore
// structure for server %s.\n" or "Could not schedule explore task for
// server %s.\n" (journal). Any thread.
[[nodiscard]] tDiag ScheduleExplore(tServer *server, const tExplore *templ);

// The task body (argument1 the copy): runs ExploreServer; a periodic,
// non-minimal exploration runs again after NextExploreDelay seconds (unless
// negative); a one-group exploration that found the server being explored
// tries again after NextExploreDelay(E_STILL_RUNNING) seconds; otherwise the
// copy is freed (a periodic one clears the server's handle) and 0 returned.
time_t ExploreTask(void *explore, void *unused);

// One exploration of explore->server (the body proper, also run directly by
// the main-server sync). Returns its result; 0 without doing anything when
// deferred and the last good exploration is recent; E_STILL_RUNNING when the
// server is being explored; E_SHUTDOWN on shutdown (no result recorded then).
[[nodiscard]] tDiag ExploreServer(tExplore *explore);

// Seconds until the next exploration after result; -1 for none.
[[nodiscard]] int NextExploreDelay(tDiag result);

// Frees every exploration copy left after the scheduler stopped (tasks that
// never ran again), giving back its server reference; clears the server's
// task handle. Main thread, tear-down, after every task thread ended.
void ExploreReleaseAll();

// ---------------------------------------------------------------------------
// Group visits

// One group visit (the function given to ActualForEachActive): row is the
// listed group with its listed range, pass the tGroupPass, index and count
// the position in the walk. Returns E_OK (also for the three per-group
// failures that do not stop the walk: E_NO_SUCH_GROUP, E_GROUP_TEMP,
// E_XOVER_EOFS, unless quiet), E_SHUTDOWN, or the failure that ends the walk.
[[nodiscard]] tDiag ExploreGroup(tGroupRow *row, void *pass, long index, long count);

// The score of a group (a tActualScoreFn; context a tGroupScoreContext): its
// newsrc lastExploreSecs (2147483647 without a record) minus the kilobytes
// readers retrieved from it. Lower scores are visited first.
long GroupScore(const tGroupRow *row, void *context);

// "Got %d %s" with the sum of the nine outcome counters and label, the
// non-zero outcomes, and a second line for the cross-references when any
// was counted.
void ReportCounters(const tAddCounters *counters, const char *label, tLog *log);
