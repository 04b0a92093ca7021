// The cache of open group indexes.
//
// Design: one entry per group that is in use, found by name regardless of
// case, shared by every client session, exploration task and maintenance walk
// of that group. Each entry counts its users. The first opener creates the
// entry in the busy state and loads it; later openers wait on the entry's
// wake-up event (together with their own connection) until it is loaded or
// failed. When the last user leaves, its reference is handed to a sync/free
// task in category "syncfree", due 2 seconds later for a modified index and 5
// otherwise; the task commits the index and frees it 5 seconds after the last
// commit. A user arriving meanwhile cancels the pending task and takes over
// its reference, or, when the task is already running, supersedes it by
// advancing the cache generation: the running task then only drops its
// reference.
//
// The store behind an entry (the group's open index database) belongs to the
// group index module: it derives its open-index structure from tIndexEntry
// and gives the cache its operations in a tIndexStoreOps table. The task
// scheduler is reached through a tIndexTaskOps table.
//
// Threading: every function may be called from any thread. Lock order: the
// cache lock, then an entry's stateLock or its store lock. No lock is held
// while waiting for a load, while a sync runs or while an entry is freed.
#pragma once

#include "lib/diag.h"
#include "lib/dlink.h"
#include "lib/log.h"
#include "lib/wake_event.h"

#include <ctime>
#include <mutex>
#include <string>

struct tIndices;
struct tIndexEntry;
struct tScheduler;

// Entry state bits.
constexpr int INDEX_READY = 1;   // a waiter may proceed (and load the entry itself)
constexpr int INDEX_BUSY = 2;    // being loaded or synced
constexpr int INDEX_FAILED = 4;  // loading failed
constexpr int INDEX_LOADED = 8;  // the index database is open

// Entry flag bits.
constexpr int INDEX_DELETE_ON_FREE = 1;  // remove the index file when the entry is freed

// The directory of the group indexes, relative to the work directory.
constexpr const char *INDEX_DIRECTORY = "index2";

// The cache header of an open group index. Allocated by the store's
// allocate operation: the group index module derives its structure from it
// and deletes it as that structure (the destructor is not virtual, so that
// link stays the first member).
struct tIndexEntry {
    tDlink link;               // membership in indices->list; guarded by indices->lock
    std::string name;          // the group name as first requested
    int users = 0;             // references held; guarded by indices->lock
    int taskHandle = 0;        // 0 none, else the pending sync/free task; guarded by indices->lock
    long taskGeneration = 0;   // generation the current sync/free task must see; guarded by indices->lock
    tIndices *indices = nullptr;
    int flags = 0;             // INDEX_DELETE_ON_FREE; guarded by indices->lock
    std::mutex stateLock;      // guards waiters and state
    tWakeEvent stateEvent;     // wakes sessions waiting for the load
    int waiters = 0;           // sessions waiting on stateEvent; guarded by stateLock
    int state = 0;             // INDEX_* bits; guarded by stateLock

    tIndexEntry() { DlinkInit(&link); }
    ~tIndexEntry() { WakeEventClose(&stateEvent); }
    tIndexEntry(const tIndexEntry &) = delete;
    tIndexEntry &operator=(const tIndexEntry &) = delete;
};

// What the cache needs from the store behind an entry. Every function but
// allocate and free takes the store lock itself where it needs it.
struct tIndexStoreOps {
    // A new entry with its store fields initialised (nothing open); null when
    // out of memory.
    tIndexEntry *(*allocate)();
    // Closes the store without committing, removes the index file when
    // INDEX_DELETE_ON_FREE is set, writes "Freeing %s\n" when verbose and
    // deletes the entry.
    void (*free)(tIndexEntry *entry, tLog *log);
    // Commits the open index (entry loaded, busy, no cache lock held).
    tDiag (*sync)(tIndexEntry *entry);
    // A rewrite is requested or a transaction is open.
    bool (*modified)(tIndexEntry *entry);
    // A transaction is open.
    bool (*inTransaction)(tIndexEntry *entry);
    // The lowest and highest number and the article count of a loaded entry
    // (an empty index: 1, 0, 0).
    void (*range)(tIndexEntry *entry, long *low, long *high, long *count);
};

// The store operations of an entry without a store (nothing is ever
// loaded): the cache's own default.
extern const tIndexStoreOps indexNoStoreOps;

// What the cache needs from the task scheduler.
struct tIndexTaskOps {
    // Schedules SyncFreeTask(entry, generation) in category "syncfree" at
    // due, described by the group name, refused when the category is full.
    // Returns the task's handle (> 0), or -1 when it could not be scheduled.
    int (*schedule)(void *context, tIndexEntry *entry, long generation, time_t due);
    // Cancels a task: > 0 it was removed before running, 0 no such task, -1
    // it is running.
    long (*cancel)(void *context, int handle);
    void *context;
};

struct tIndices {
    tDlink list;                       // the entries, newest first; guarded by lock
    std::mutex lock;                   // the cache lock
    tLog *log = nullptr;               // the journal; also the log of every index database
    long generation = 0;               // advanced when a running sync/free task is superseded; guarded by lock
    const tIndexStoreOps *store = &indexNoStoreOps;
    tIndexTaskOps tasks{};             // null functions: sync/free runs at once in the releasing thread

    tIndices() { DlinkInit(&list); }
    tIndices(const tIndices &) = delete;
    tIndices &operator=(const tIndices &) = delete;
};

// Creates the cache: unless minimal, creates the directory "index2" (on
// failure writes "Could not create the 'index2' directory.\n" and returns
// E_CANNOT_CREATE_DIR: the program stops with exit code 17). store may be
// null (entries without a store). Until IndicesSetTasks, every sync/free
// runs at once in the releasing thread. E_OUT_OF_MEMORY.
[[nodiscard]] tDiag IndicesCreate(tIndices **indices, bool minimal, tLog *log, const tIndexStoreOps *store);

// The multiplexer's index cache: created by the main program at start-up,
// closed at its tear-down; null outside a run.
extern tIndices *indexCache;

// Gives the cache its task scheduler (once the scheduler exists, before any
// other thread uses the cache).
void IndicesSetTasks(tIndices *indices, const tIndexTaskOps *tasks);

// IndicesSetTasks with the system scheduler: sync/free tasks go to scheduler
// in category "syncfree", refused when the category is full.
void IndicesUseScheduler(tIndices *indices, tScheduler *scheduler);

// Schedules CompactTask on scheduler in category "compact", described
// "Compact", at due (the main program: COMPACT_FIRST_DELAY seconds after the
// start). Returns the task's handle, or -1 with errno.
[[nodiscard]] int CompactTaskSchedule(tIndices *indices, tScheduler *scheduler, time_t due);

// At shutdown: every entry is unlinked, synced and freed ("Group %s not
// saved.\n" for one still modified after its sync), then the cache is
// deleted. No other thread may use the cache any more. Null is fine.
void IndicesClose(tIndices *indices);

// The path of a group's index file, "index2/" + name; when that file does
// not exist but one whose name differs only in case does, that one.
// E_PATH_TOO_LONG beyond 10239 characters.
[[nodiscard]] tDiag IndexPath(const char *name, std::string *path);

// The first step of every access. E_NULL_GROUP_NAME or E_BAD_GROUP_NAME for
// an unusable name. An existing entry is taken (users + 1, a pending
// sync/free cancelled) and awaited until it is no longer busy; a failed wait
// or a failed entry gives E_INDEX_NOT_LOADED (the reference is given back).
// Returns 2 when the entry is loaded and 1 when the caller must load it;
// both with *entry set and one reference held. Returns 0 when there is no
// entry: the cache lock is then held, and the caller either creates the
// entry (IndicesAddEntry) or not, and then calls IndicesUnlock. watchSocket
// (negative: none) ends the wait when it becomes readable.
[[nodiscard]] int IndicesLookup(tIndices *indices, const char *name, tIndexEntry **entry, int watchSocket);

// Creates an entry (users 1, busy) for name at the front of the list.
// REQUIRES: the cache lock held (after IndicesLookup returned 0).
// E_OUT_OF_MEMORY, E_SEMAPHORE when the wake-up event cannot be created.
[[nodiscard]] tDiag IndicesAddEntry(tIndices *indices, const char *name, tIndexEntry **entry);

// Releases the cache lock left held by IndicesLookup's result 0.
void IndicesUnlock(tIndices *indices);

// Waits until the entry is no longer busy or loading has been handed to this
// caller (ready, consumed). E_SEMAPHORE when watchSocket ended the wait or
// the wait failed.
[[nodiscard]] tDiag WaitLoaded(tIndexEntry *entry, int watchSocket);

// Records the outcome of a load: failed or loaded ends the busy state and
// wakes every waiter; neither hands the load to one waiter (ready).
void SetLoadState(tIndexEntry *entry, bool failed, bool loaded);

// Gives back one reference. mode 0: the last reference of a loaded entry is
// handed to a sync/free task; modes 1 and 2: the sync and free happen now,
// in this thread. A failed, unloaded or deleteOnFree entry is freed at once
// by its last release.
void IndicesRelease(tIndexEntry *entry, int mode);

// Sets or clears INDEX_DELETE_ON_FREE.
void IndicesSetDeleteOnFree(tIndexEntry *entry, bool on);

// The sync/free task body: 0 when done, else the time at which it wants to
// run again.
time_t SyncFreeTask(tIndexEntry *entry, long generationAtSchedule);

// The range and article count of a group without keeping its index open.
// An empty index reads 1..1000 with 1000 articles; a missing file gives
// E_FILE_MISSING, or with missingOk the same 1..1000, 1000.
[[nodiscard]] tDiag IndicesReadRange(tIndices *indices, const char *name, long *low, long *high, long *count,
                                     bool missingOk, int watchSocket);

// Writes one text of a report; negative when the output failed.
typedef int (*tReportWrite)(void *output, tLog *log, const char *text);

// The accessed-datasets report, as text ("USR ARTICLES WAIT FLAGS NAME") or
// as an HTML table, sent on socket with SendAndLog (copied to log). A failed
// send ends it with E_CLIENT_DISCONNECTED.
[[nodiscard]] tDiag IndicesReport(tIndices *indices, int socket, tLog *log, bool html);

// The same report through any writer.
[[nodiscard]] tDiag IndicesReportTo(tIndices *indices, tReportWrite write, void *output, tLog *log, bool html);

// The "Compact" task: reads the range of every index file (refreshing the
// files) with its progress in "logs/compact". Returns when to run again:
// 18000 seconds later, or 2 seconds later when the log cannot be opened.
time_t CompactTask(tIndices *indices);

// Seconds from the start of a run to the first compaction.
constexpr int COMPACT_FIRST_DELAY = 600;
