#include "server/store/indices.h"

#include "lib/dirwalk.h"
#include "lib/files.h"
#include "lib/panic.h"
#include "lib/sendlog.h"
#include "lib/shutdown.h"
#include "lib/tasks.h"
#include "server/store/db.h"
#include "server/store/group_name.h"
#include "server/store/store_deps.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <strings.h>
#include <vector>


tIndices *indexCache = nullptr;

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Entries without a store

static tIndexEntry *NoStoreAllocate() { return new (std::nothrow) tIndexEntry(); }

static void NoStoreFree(tIndexEntry *entry, tLog *log) {
    if (StoreVerbose()) LogMessage(log, "Freeing %s\n", entry->name.c_str());
    delete entry;
}

static tDiag NoStoreSync(tIndexEntry *) { return E_OK; }
static bool NoStoreFlag(tIndexEntry *) { return false; }

static void NoStoreRange(tIndexEntry *, long *low, long *high, long *count) {
    *low = 1;
    *high = 0;
    *count = 0;
}

const tIndexStoreOps indexNoStoreOps = {NoStoreAllocate, NoStoreFree, NoStoreSync,
                                        NoStoreFlag,     NoStoreFlag, NoStoreRange};

// ---------------------------------------------------------------------------
// List and small helpers

// The link is the entry's first member.
static tIndexEntry *EntryOf(tDlink *link) { return (tIndexEntry *)link; }

static int StateOf(tIndexEntry *entry) {
    std::lock_guard<std::mutex> guard(entry->stateLock);
    return entry->state;
}

static void SetBusy(tIndexEntry *entry) {
    std::lock_guard<std::mutex> guard(entry->stateLock);
    entry->state |= INDEX_BUSY;
}

static bool Modified(tIndexEntry *entry) { return entry->indices->store->modified(entry); }

// Frees an unlinked entry. REQUIRES: no cache lock held.
static void FreeEntry(tIndexEntry *entry) {
    tIndices *indices = entry->indices;
    indices->store->free(entry, indices->log);
}

static void RemoveIndexFile(tIndexEntry *entry) {
    std::string path;
    if (IndexPath(entry->name.c_str(), &path) == E_OK) (void)DbDelete(path.c_str(), false);
}

// ---------------------------------------------------------------------------
// Creation and shutdown

tDiag IndicesCreate(tIndices **indices, bool minimal, tLog *log, const tIndexStoreOps *store) {
    *indices = nullptr;
    if (!minimal) {
        tDiag diag = CreateDirectoryChecked(INDEX_DIRECTORY, log);
        if (diag != E_OK) return diag;
    }
    tIndices *created = new (std::nothrow) tIndices();
    if (!created) return E_OUT_OF_MEMORY;
    created->log = log;
    if (store) created->store = store;
    *indices = created;
    return E_OK;
}

void IndicesSetTasks(tIndices *indices, const tIndexTaskOps *tasks) {
    std::lock_guard<std::mutex> guard(indices->lock);
    indices->tasks = *tasks;
}

static time_t SyncFreeTaskRun(void *entry, void *generation) {
    return SyncFreeTask((tIndexEntry *)entry, (long)(intptr_t)generation);
}

static int SchedulerSchedule(void *scheduler, tIndexEntry *entry, long generation, time_t due) {
    return TaskSchedule((tScheduler *)scheduler, SyncFreeTaskRun, entry, (void *)(intptr_t)generation, due,
                        &taskCategories[TC_SYNCFREE], entry->name.c_str(), TASK_FAIL_IF_FULL);
}

static long SchedulerCancel(void *scheduler, int handle) { return (long)TaskCancel((tScheduler *)scheduler, handle); }

void IndicesUseScheduler(tIndices *indices, tScheduler *scheduler) {
    tIndexTaskOps ops = {SchedulerSchedule, SchedulerCancel, scheduler};
    IndicesSetTasks(indices, &ops);
}

static time_t CompactTaskRun(void *indices, void *) { return CompactTask((tIndices *)indices); }

int CompactTaskSchedule(tIndices *indices, tScheduler *scheduler, time_t due) {
    return TaskSchedule(scheduler, CompactTaskRun, indices, nullptr, due, &taskCategories[TC_COMPACT], "Compact", 0);
}

void IndicesClose(tIndices *indices) {
    if (!indices) return;
    std::vector<tIndexEntry *> entries;
    {
        std::lock_guard<std::mutex> guard(indices->lock);
        while (indices->list.next != &indices->list) {
            tIndexEntry *entry = EntryOf(indices->list.next);
            DLINK_REMOVE(tIndexEntry, entry);
            entries.push_back(entry);
        }
    }
    for (tIndexEntry *entry : entries) {
        if (StateOf(entry) & INDEX_LOADED) {
            (void)indices->store->sync(entry);
            if (Modified(entry)) LogMessage(indices->log, "Group %s not saved.\n", entry->name.c_str());
        }
        FreeEntry(entry);
    }
    delete indices;
}

tDiag IndexPath(const char *name, std::string *path) {
    *path = std::string(INDEX_DIRECTORY) + "/" + name;
    if (path->size() > 10239) return E_PATH_TOO_LONG;
    std::error_code ec;
    if (fs::exists(*path, ec)) return E_OK;
    // Group names compare without regard to case: find a file written under
    // another spelling of the same name.
    for (const auto &item : fs::directory_iterator(INDEX_DIRECTORY, ec)) {
        std::string file = item.path().filename().string();
        if (strcasecmp(file.c_str(), name) == 0) {
            *path = std::string(INDEX_DIRECTORY) + "/" + file;
            break;
        }
    }
    return E_OK;
}

// ---------------------------------------------------------------------------
// Lookup and loading

tDiag IndicesAddEntry(tIndices *indices, const char *name, tIndexEntry **entry) {
    *entry = nullptr;
    tIndexEntry *created = indices->store->allocate();
    if (!created) return E_OUT_OF_MEMORY;
    try {
        created->name = name;
    } catch (...) {
        indices->store->free(created, nullptr);
        return E_OUT_OF_MEMORY;
    }
    if (WakeEventCreate(&created->stateEvent) != 0) {
        indices->store->free(created, nullptr);
        return E_SEMAPHORE;
    }
    created->users = 1;
    created->state = INDEX_BUSY;
    created->indices = indices;
    DLINK_INSERT_BEFORE(tIndexEntry, indices->list.next, created);
    *entry = created;
    return E_OK;
}

void IndicesUnlock(tIndices *indices) { indices->lock.unlock(); }

int IndicesLookup(tIndices *indices, const char *name, tIndexEntry **entry, int watchSocket) {
    *entry = nullptr;
    if (!name || !*name) return E_NULL_GROUP_NAME;
    if (GroupNameInvalid(name)) return E_BAD_GROUP_NAME;
    indices->lock.lock();
restart:
    for (tDlink *link = indices->list.next; link != &indices->list; link = link->next) {
        tIndexEntry *e = EntryOf(link);
        if (strcasecmp(e->name.c_str(), name) == 0) {
            e->users++;
            if (e->taskHandle != 0) {
                long cancelled = indices->tasks.cancel ? indices->tasks.cancel(indices->tasks.context, e->taskHandle) : -1;
                if (cancelled > 0) {
                    e->users--;  // the waiting task's reference is ours now
                } else {
                    // Running (or already gone): it must not act on our entry.
                    e->taskGeneration = ++indices->generation;
                }
                e->taskHandle = 0;
            }
            indices->lock.unlock();
            tDiag diag = WaitLoaded(e, watchSocket);
            int state = StateOf(e);
            if (diag != E_OK || (state & INDEX_FAILED)) {
                IndicesRelease(e, 1);
                return E_INDEX_NOT_LOADED;
            }
            *entry = e;
            return (state & INDEX_LOADED) ? 2 : 1;
        }
        if (e->users == 0 && !Modified(e)) {
            DLINK_REMOVE(tIndexEntry, e);
            indices->lock.unlock();
            FreeEntry(e);
            indices->lock.lock();
            goto restart;
        }
    }
    return 0;
}

tDiag WaitLoaded(tIndexEntry *entry, int watchSocket) {
    std::unique_lock<std::mutex> guard(entry->stateLock);
    // Ready without a wake-up happens when the load was handed over before
    // this caller arrived: take it at once instead of waiting for a wake-up
    // that will never come.
    while ((entry->state & INDEX_BUSY) && !(entry->state & INDEX_READY)) {
        entry->waiters++;
        guard.unlock();
        int woken = WakeEventWait(&entry->stateEvent, watchSocket);
        guard.lock();
        if (woken <= 0) return E_SEMAPHORE;
    }
    entry->state &= ~INDEX_READY;
    return E_OK;
}

void SetLoadState(tIndexEntry *entry, bool failed, bool loaded) {
    std::lock_guard<std::mutex> guard(entry->stateLock);
    entry->state &= ~(INDEX_FAILED | INDEX_LOADED);
    if (failed) entry->state |= INDEX_FAILED;
    if (loaded) entry->state |= INDEX_LOADED;
    if (failed || loaded) {
        entry->state &= ~(INDEX_BUSY | INDEX_READY);
        if (entry->waiters > 0) (void)WakeEventSignal(&entry->stateEvent, entry->waiters);
        entry->waiters = 0;
    } else {
        entry->state |= INDEX_READY;
        if (entry->waiters > 0) {
            entry->waiters--;
            (void)WakeEventSignal(&entry->stateEvent, 1);
        }
    }
}

void IndicesSetDeleteOnFree(tIndexEntry *entry, bool on) {
    std::lock_guard<std::mutex> guard(entry->indices->lock);
    if (on)
        entry->flags |= INDEX_DELETE_ON_FREE;
    else
        entry->flags &= ~INDEX_DELETE_ON_FREE;
}

// ---------------------------------------------------------------------------
// Release, sync and free

// The body of the sync/free task. With lastChance (the second inline run) an
// entry that stays modified after its sync is given to a task, or, when none
// can be scheduled, freed with "Group %s not saved.\n", instead of asking to
// run again at once forever.
static time_t SyncFree(tIndexEntry *entry, long generationAtSchedule, bool lastChance) {
    tIndices *indices = entry->indices;
    bool verbose = StoreVerbose();
    std::unique_lock<std::mutex> guard(indices->lock);
    if (generationAtSchedule != entry->taskGeneration && entry->users != 1) {
        entry->users--;
        if (verbose) LogMessage(indices->log, "Index sync/free cancelled for %s\n", entry->name.c_str());
        return 0;
    }
    MG_ASSERT(entry->users > 0);
    if (entry->users == 1) {
        if (!Modified(entry)) {
            DLINK_REMOVE(tIndexEntry, entry);
            guard.unlock();
            FreeEntry(entry);
            return 0;
        }
        SetBusy(entry);
        guard.unlock();
        if (verbose) LogMessage(indices->log, "Syncing %s\n", entry->name.c_str());
        (void)indices->store->sync(entry);
        SetLoadState(entry, false, true);
        guard.lock();
        if (entry->users == 1) {
            bool modified = Modified(entry);
            if (lastChance && modified) {
                int handle = -1;
                if (indices->tasks.schedule && entry->taskHandle == 0) {
                    entry->taskGeneration = indices->generation;
                    handle = indices->tasks.schedule(indices->tasks.context, entry, entry->taskGeneration,
                                                     time(nullptr) + 5);
                }
                if (handle > 0) {
                    entry->taskHandle = handle;
                    return 0;
                }
                DLINK_REMOVE(tIndexEntry, entry);
                guard.unlock();
                LogMessage(indices->log, "Group %s not saved.\n", entry->name.c_str());
                FreeEntry(entry);
                return 0;
            }
            if (verbose)
                LogMessage(indices->log,
                           modified ? "Scheduling another sync for %s\n" : "Sync done, scheduling freeing of %s\n",
                           entry->name.c_str());
            return time(nullptr) + 5;
        }
    }
    entry->users--;
    entry->taskHandle = 0;
    if (verbose) LogMessage(indices->log, "Other users, delaying sync/free of %s\n", entry->name.c_str());
    return 0;
}

time_t SyncFreeTask(tIndexEntry *entry, long generationAtSchedule) {
    return SyncFree(entry, generationAtSchedule, false);
}

void IndicesRelease(tIndexEntry *entry, int mode) {
    tIndices *indices = entry->indices;
    std::unique_lock<std::mutex> guard(indices->lock);
    if (entry->users > 1) {
        entry->users--;
        return;
    }
    MG_ASSERT(entry->users == 1);
    int state = StateOf(entry);
    bool deleteOnFree = entry->flags & INDEX_DELETE_ON_FREE;
    if (deleteOnFree) RemoveIndexFile(entry);
    if ((state & INDEX_FAILED) || !(state & INDEX_LOADED) || deleteOnFree) {
        DLINK_REMOVE(tIndexEntry, entry);
        guard.unlock();
        FreeEntry(entry);
        return;
    }
    MG_ASSERT(!entry->taskHandle);
    entry->taskGeneration = indices->generation;
    long generation = entry->taskGeneration;
    if (mode == 0 && indices->tasks.schedule) {
        time_t due = time(nullptr) + (Modified(entry) ? 2 : 5);
        int handle = indices->tasks.schedule(indices->tasks.context, entry, generation, due);
        if (handle > 0) {
            entry->taskHandle = handle;
            return;
        }
    }
    // At once, in this thread: the sync, then the free it asks for.
    entry->taskHandle = 0;
    guard.unlock();
    if (SyncFree(entry, generation, false) != 0) (void)SyncFree(entry, generation, true);
}

// ---------------------------------------------------------------------------
// Range reading, report, compaction

tDiag IndicesReadRange(tIndices *indices, const char *name, long *low, long *high, long *count, bool missingOk,
                       int watchSocket) {
    tIndexEntry *entry;
    int found = IndicesLookup(indices, name, &entry, watchSocket);
    if (found < 0) return found;
    if (found == 2) {
        indices->store->range(entry, low, high, count);
        IndicesRelease(entry, 0);
        if (*count == 0 || (*low == 0 && *high == 0)) {
            *low = 1;  // the range shown while a download has not delivered articles yet
            *high = *count = 1000;
        }
        return E_OK;
    }
    if (found == 0) {
        tDiag diag = IndicesAddEntry(indices, name, &entry);
        IndicesUnlock(indices);
        if (diag != E_OK) return diag;
    }
    // This caller holds the load: others wait until the range is read.
    std::string path;
    tDiag diag = IndexPath(name, &path);
    std::error_code ec;
    if (diag == E_OK && !fs::exists(path, ec)) diag = missingOk ? E_OK : E_FILE_MISSING;
    *low = 1;
    *high = *count = 1000;
    if (diag == E_OK && fs::exists(path, ec)) {
        tDb db;
        diag = DbOpen(&db, path.c_str(), indices->log, nullptr);
        if (diag == E_OK) {
            long l = 0, h = 0, c = 0;
            diag = DbSelectInt(&db, "articles", "min(number)", &l);
            if (diag == E_OK) diag = DbSelectInt(&db, "articles", "max(number)", &h);
            if (diag == E_OK) diag = DbCount(&db, "articles", &c);
            tDiag closed = DbCommitClose(&db);
            if (diag == E_OK) diag = closed;
            if (diag == E_OK && c != 0 && !(l == 0 && h == 0)) {
                *low = l;
                *high = h;
                *count = c;
            }
        }
    }
    SetLoadState(entry, diag != E_OK, false);
    IndicesRelease(entry, 0);
    return diag;
}

static tDiag ReportLine(tIndexEntry *entry, tReportWrite write, void *output, tLog *log, bool html) {
    tIndices *indices = entry->indices;
    int users, waiters, state;
    {
        std::lock_guard<std::mutex> guard(indices->lock);
        users = entry->users - 1;  // without the report's own reference
    }
    {
        std::lock_guard<std::mutex> guard(entry->stateLock);
        waiters = entry->waiters;
        state = entry->state;
    }
    long articles = 0;
    if (state & INDEX_LOADED) {
        long l, h;
        indices->store->range(entry, &l, &h, &articles);
    }
    char flags[8];
    int n = 0;
    if (state & INDEX_BUSY) flags[n++] = 'B';
    if (indices->store->inTransaction(entry)) flags[n++] = 'T';
    if (state & INDEX_FAILED) flags[n++] = 'E';
    if (state & INDEX_LOADED) flags[n++] = 'L';
    if (Modified(entry)) flags[n++] = 'M';
    flags[n] = '\0';
    std::vector<char> text(entry->name.size() + 128);
    if (html)
        snprintf(text.data(), text.size(), "<tr><td>%d</td><td>%ld</td><td>%d</td><td>%s</td><td>%s</td></tr>\r\n",
                 users, articles, waiters, flags, entry->name.c_str());
    else
        snprintf(text.data(), text.size(), "%-3d %-8ld %4d %-5s %s\r\n", users, articles, waiters, flags,
                 entry->name.c_str());
    return write(output, log, text.data()) < 0 ? E_CLIENT_DISCONNECTED : E_OK;
}

static int SendReportText(void *socket, tLog *log, const char *text) {
    return SendAndLog((int)(intptr_t)socket, text, log) < 0 ? -1 : 0;
}

tDiag IndicesReport(tIndices *indices, int socket, tLog *log, bool html) {
    return IndicesReportTo(indices, SendReportText, (void *)(intptr_t)socket, log, html);
}

tDiag IndicesReportTo(tIndices *indices, tReportWrite write, void *output, tLog *log, bool html) {
    const char *header = html ? "<h2>Accessed news-groups</h2>\r\n"
                                "<form method=\"GET\"><input type=\"submit\" value=\"Update\"></form>\r\n"
                                "<table border=\"1\">\r\n"
                                "<tr><th>Users</th><th>Articles</th><th>Waiters</th><th>Flags</th><th>Name</th></tr>\r\n"
                              : "USR ARTICLES WAIT FLAGS NAME\r\n";
    if (write(output, log, header) < 0) return E_CLIENT_DISCONNECTED;
    tDiag diag = E_OK;
    tIndexEntry *entry = nullptr;
    {
        std::lock_guard<std::mutex> guard(indices->lock);
        if (indices->list.next != &indices->list) {
            entry = EntryOf(indices->list.next);
            entry->users++;
        }
    }
    while (entry) {
        diag = ReportLine(entry, write, output, log, html);
        tIndexEntry *next = nullptr;
        if (diag == E_OK) {
            std::lock_guard<std::mutex> guard(indices->lock);
            if (entry->link.next != &indices->list) {
                next = EntryOf(entry->link.next);
                next->users++;
            }
        }
        IndicesRelease(entry, 2);
        entry = next;
    }
    if (diag == E_OK && html && write(output, log, "</table>\r\n") < 0) diag = E_CLIENT_DISCONNECTED;
    return diag;
}

static int CollectDatasetName(const char *path, void *names) {
    const char *name = strrchr(path, '/');
    name = name ? name + 1 : path;
    if (name[0] != ' ') ((std::vector<std::string> *)names)->push_back(name);
    return 0;
}

time_t CompactTask(tIndices *indices) {
    tLog log{};
    if (LogOpen(&log, "logs/compact", 10000) != E_OK) return time(nullptr) + 2;
    LogMessage(&log, "Compacting datasets.\n");
    std::vector<std::string> names;
    (void)DirWalk(INDEX_DIRECTORY, dbDatasetPatterns, DW_UNLISTABLE_OK, CollectDatasetName, &names);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        if (ShutdownRequested()) break;
        long low, high, count;
        (void)IndicesReadRange(indices, name.c_str(), &low, &high, &count, false, -1);
    }
    LogClose(&log);
    return time(nullptr) + 18000;
}
