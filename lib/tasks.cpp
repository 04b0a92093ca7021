#include "lib/tasks.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "lib/log.h"
#include "lib/panic.h"
#include "lib/shutdown.h"

tTaskCategory taskCategories[TC_COUNT];
tThreadPool taskPool;
tScheduler taskScheduler;

namespace {

struct tCategoryDefault {
    const char *name;
    int limit;
};

constexpr tCategoryDefault kCategoryDefaults[TC_COUNT] = {
    {"explore", 8}, {"async", 4},   {"keepali", 16}, {"disconn", 16}, {"syncfree", 4}, {"dferdel", 1},
    {"asyncav", 4}, {"compact", 1}, {"zombie", 1},   {"groups", 1},   {"update", 1},   {"connect", 16},
};

// Sets the defaults before anything else runs (so also for tests and tools
// that never call TaskCategoriesReset).
const bool categoriesReady = (TaskCategoriesReset(), true);

// The task whose run the current thread is executing, if any.
thread_local tTask *currentTask = nullptr;

// Wait time when a thread cannot be started: the task stays due.
constexpr int64_t kRetryStartMs = 500;

// ---- list primitives (scheduler lock held) ----

bool ListEmpty(const tTaskLinks *head) { return head->next == head; }

void Unlink(tTaskLinks *node) {
    node->prev->next = node->next;
    node->next->prev = node->prev;
    node->prev = node->next = node;
}

void InsertAfter(tTaskLinks *where, tTaskLinks *node) {
    node->prev = where;
    node->next = where->next;
    where->next->prev = node;
    where->next = node;
}

tTask *AsTask(tTaskLinks *links) { return static_cast<tTask *>(links); }

bool Before(const tTask *a, const tTask *b) {
    return a->due < b->due || (a->due == b->due && a->order < b->order);
}

// Places task in head's queue by list order, searching from the tail (new
// tasks are mostly the latest).
void InsertOrdered(tTaskLinks *head, tTask *task) {
    tTaskLinks *at = head->prev;
    while (at != head && Before(task, AsTask(at))) at = at->prev;
    InsertAfter(at, task);
}

time_t Now(tScheduler *s) { return s->now ? s->now() : time(nullptr); }

void FreeTask(tTask *task) {
    task->~tTask();
    free(task);
}

// Calls fn on every task of the scheduler, in no particular order. fn may
// not unlink other tasks than the one it is given.
template <typename Fn>
void ForEachTask(tScheduler *s, Fn fn) {
    tTaskLinks *heads[2 + TC_COUNT];
    int n = 0;
    heads[n++] = &s->waiting;
    heads[n++] = &s->runningTasks;
    for (int i = 0; i < TC_COUNT; i++) heads[n++] = &taskCategories[i].late;
    for (int i = 0; i < n; i++) {
        for (tTaskLinks *l = heads[i]->next, *next; l != heads[i]; l = next) {
            next = l->next;
            fn(AsTask(l));
        }
    }
}

tTask *FindHandle(tScheduler *s, int handle) {
    tTask *found = nullptr;
    ForEachTask(s, [&](tTask *t) {
        if (t->handle == handle) found = t;
    });
    return found;
}

// A handle that no task has: lastHandle + 1, and after 2^31 - 1 handles
// (months of a busy server) again from 1, skipping those still in use.
int NextHandle(tScheduler *s) {
    for (;;) {
        if (s->lastHandle == INT_MAX) {
            s->lastHandle = 0;
            s->handlesWrapped = 1;
        }
        int handle = ++s->lastHandle;
        if (!s->handlesWrapped || !FindHandle(s, handle)) return handle;
    }
}

// Inserts a task in the wait queue as the newest of its due time. Fails
// with ELIB_SHUTDOWN when stopping, with ELIB_CATEGORY_FULL for
// TASK_FAIL_IF_FULL into a full category.
int InsertLocked(tScheduler *s, tTask *task) {
    if (s->stopping) {
        errno = ELIB_SHUTDOWN;
        return -1;
    }
    if ((task->flags & TASK_FAIL_IF_FULL) && task->category->running >= task->category->limit) {
        errno = ELIB_CATEGORY_FULL;
        return -1;
    }
    task->state = TASK_WAIT;
    task->order = ++s->lastOrder;
    if (task->handle == 0) task->handle = NextHandle(s);
    InsertOrdered(&s->waiting, task);
    return 0;
}

// Removes a task that is not running from its queue and frees it.
void RemoveLocked(tScheduler *s, tTask *task) {
    Unlink(task);
    s->taskCount--;
    FreeTask(task);
}

void TaskRunner(void *raw) {
    tTask *task = static_cast<tTask *>(raw);
    tScheduler *s = task->scheduler;
    tTaskCategory *category = task->category;
    for (;;) {
        currentTask = task;
        time_t next = task->function(task->argument1, task->argument2);
        currentTask = nullptr;
        bool wake = false;
        std::unique_lock<std::mutex> g(s->lock);
        Unlink(task);
        if (task->canceller) {
            SemaphoreRelease(task->canceller);
            task->canceller = nullptr;
            next = 0;
        }
        if (next != 0 && !s->stopping) {
            task->due = next < 1 ? 1 : next;
            task->flags &= ~TASK_FAIL_IF_FULL;
            if (InsertLocked(s, task) == 0) {
                wake = true;
            } else {
                s->taskCount--;
                FreeTask(task);
            }
        } else {
            s->taskCount--;
            FreeTask(task);
        }
        task = nullptr;
        if (!s->stopping && !ListEmpty(&category->late)) {
            // Hand the thread to the earliest late task of the category; the
            // category's running count stays as it is.
            task = AsTask(category->late.next);
            Unlink(task);
            task->state = TASK_RUN;
            InsertAfter(s->runningTasks.prev, task);
        } else {
            category->running--;
        }
        g.unlock();
        if (wake) SemaphoreRelease(&s->wake);
        if (!task) return;
    }
}

// One walk of the loop: starts what is due; returns how long to sleep
// (milliseconds, -1 without limit), or -2 when the scheduler is stopping.
int64_t StartDueTasks(tScheduler *s) {
    time_t now = Now(s);
    std::lock_guard<std::mutex> g(s->lock);
    s->wakeAt = 0;
    if (s->stopping) return -2;
    while (!ListEmpty(&s->waiting)) {
        tTask *task = AsTask(s->waiting.next);
        if (task->due > now) {
            s->wakeAt = task->due;
            return int64_t(task->due - now) * 1000;
        }
        tTaskCategory *category = task->category;
        Unlink(task);
        if (category->running >= category->limit) {
            task->state = TASK_LATE;
            InsertOrdered(&category->late, task);
            continue;
        }
        task->state = TASK_RUN;
        category->running++;
        InsertAfter(s->runningTasks.prev, task);
        if (PoolStart(s->pool, TaskRunner, task, 1, task->description) < 0) {
            Unlink(task);
            category->running--;
            task->state = TASK_WAIT;
            InsertAfter(&s->waiting, task);  // it was the first; it stays so
            return kRetryStartMs;
        }
    }
    s->wakeAt = std::numeric_limits<time_t>::max();
    return -1;
}

// The first task in list order that is not running and has
// TASK_RUN_AT_SHUTDOWN, unlinked; null when none is left.
tTask *TakeDrainTask(tScheduler *s) {
    std::lock_guard<std::mutex> g(s->lock);
    tTask *best = nullptr;
    ForEachTask(s, [&](tTask *t) {
        if (t->state != TASK_RUN && (t->flags & TASK_RUN_AT_SHUTDOWN) && (!best || Before(t, best))) best = t;
    });
    if (best) {
        if (best->canceller) Panic("!t->canceller", "mlib", 3730);
        Unlink(best);
        s->taskCount--;
    }
    return best;
}

}  // namespace

void TaskCategoriesReset() {
    for (int i = 0; i < TC_COUNT; i++) {
        tTaskCategory *c = &taskCategories[i];
        c->limit = kCategoryDefaults[i].limit;
        c->running = 0;
        snprintf(c->name, sizeof c->name, "%s", kCategoryDefaults[i].name);
        c->late.prev = c->late.next = &c->late;
    }
}

tTaskCategory *TaskCategoryFind(const char *name) {
    (void)categoriesReady;
    for (int i = 0; i < TC_COUNT; i++)
        if (strcmp(taskCategories[i].name, name) == 0) return &taskCategories[i];
    return nullptr;
}

tDiag TasksInit() {
    if (PoolInit(&taskPool, POOL_NO_LIMIT) < 0 || SchedulerInit(&taskScheduler, &taskPool) < 0) return E_ERRNO;
    return E_OK;
}

void TasksRelease() {
    SchedulerRelease(&taskScheduler);
    PoolRelease(&taskPool);
    TaskCategoriesReset();
}

int SchedulerInit(tScheduler *scheduler, tThreadPool *pool) {
    if (SemaphoreInit(&scheduler->wake, 0, 256) < 0) return -1;
    std::lock_guard<std::mutex> g(scheduler->lock);
    MG_ASSERT(scheduler->taskCount == 0);
    scheduler->waiting.prev = scheduler->waiting.next = &scheduler->waiting;
    scheduler->runningTasks.prev = scheduler->runningTasks.next = &scheduler->runningTasks;
    scheduler->lastHandle = 0;
    scheduler->handlesWrapped = 0;
    scheduler->lastOrder = 0;
    scheduler->pool = pool;
    scheduler->now = nullptr;
    // A request that came before this point must not be lost.
    scheduler->stopping = scheduler == &taskScheduler && ShutdownRequested();
    return 0;
}

int TaskSchedule(tScheduler *scheduler, tTaskFunction function, void *argument1, void *argument2, time_t due,
                 tTaskCategory *category, const char *description, uint8_t flags) {
    MG_ASSERT(function && category);
    if (!description) description = "";
    size_t length = strlen(description);
    void *memory = malloc(sizeof(tTask) + length + 1);
    if (!memory) {
        errno = ELIB_OUT_OF_MEMORY;
        return -1;
    }
    tTask *task = new (memory) tTask;
    char *text = reinterpret_cast<char *>(task + 1);
    memcpy(text, description, length + 1);
    task->function = function;
    task->argument1 = argument1;
    task->argument2 = argument2;
    task->due = due < 1 ? 1 : due;
    task->category = category;
    task->handle = 0;
    task->scheduler = scheduler;
    task->state = TASK_WAIT;
    task->canceller = nullptr;
    task->flags = flags;
    task->order = 0;
    task->description = text;
    int handle;
    bool wake;
    {
        std::lock_guard<std::mutex> g(scheduler->lock);
        if (InsertLocked(scheduler, task) < 0) {
            int err = errno;
            FreeTask(task);
            errno = err;
            return -1;
        }
        scheduler->taskCount++;
        handle = task->handle;
        // A task due no earlier than the scheduler wakes anyway needs no
        // wake-up: idle-connection timers are set after every article.
        wake = scheduler->wakeAt == 0 || task->due < scheduler->wakeAt;
    }
    if (wake) SemaphoreRelease(&scheduler->wake);
    return handle;
}

time_t TaskCancel(tScheduler *scheduler, int handle) {
    std::lock_guard<std::mutex> g(scheduler->lock);
    tTask *task = FindHandle(scheduler, handle);
    if (!task) return 0;
    if (task->state == TASK_RUN) {
        errno = ELIB_CANNOT_CANCEL_RUNNING;
        return -1;
    }
    time_t due = task->due;
    RemoveLocked(scheduler, task);
    return due;
}

time_t TaskCancelWait(tScheduler *scheduler, int handle) {
    tSemaphore done;
    {
        std::lock_guard<std::mutex> g(scheduler->lock);
        tTask *task = FindHandle(scheduler, handle);
        if (!task) return 0;
        if (task->state != TASK_RUN) {
            time_t due = task->due;
            RemoveLocked(scheduler, task);
            return due;
        }
        if (task->canceller) {
            errno = ELIB_CANCEL_AWAITED;
            return -1;
        }
        if (task == currentTask) {
            errno = ELIB_CANNOT_CANCEL_RUNNING;
            return -1;
        }
        task->canceller = &done;
    }
    while (SemaphoreWait(&done, -1) != 1) {
    }
    return 0;
}

int TaskCancelMatching(tScheduler *scheduler, tTaskFunction function, void *argument1) {
    std::lock_guard<std::mutex> g(scheduler->lock);
    tTask *first = nullptr;
    ForEachTask(scheduler, [&](tTask *t) {
        if (t->function == function && t->argument1 == argument1 && (!first || Before(t, first))) first = t;
    });
    if (!first) return 0;
    if (first->state == TASK_RUN) {
        errno = ELIB_CANNOT_CANCEL_RUNNING;
        return -1;
    }
    RemoveLocked(scheduler, first);
    return 1;
}

time_t TaskForce(tScheduler *scheduler, int handle) {
    time_t previous;
    {
        std::lock_guard<std::mutex> g(scheduler->lock);
        tTask *task = FindHandle(scheduler, handle);
        if (!task) return 0;
        if (scheduler->stopping) {
            errno = ELIB_SHUTDOWN;
            return -1;
        }
        if (task->state == TASK_RUN) {
            errno = ELIB_TASK_RUNNING;
            return -1;
        }
        previous = task->due;
        Unlink(task);
        task->due = 1;
        task->flags &= ~TASK_FAIL_IF_FULL;
        MG_ASSERT(InsertLocked(scheduler, task) == 0);
    }
    SemaphoreRelease(&scheduler->wake);
    return previous;
}

void SchedulerRun(tScheduler *scheduler) {
    for (;;) {
        int64_t waitMs = StartDueTasks(scheduler);
        if (waitMs == -2) break;
        (void)SemaphoreWait(&scheduler->wake, waitMs);
    }
    while (tTask *task = TakeDrainTask(scheduler)) {
        task->function(task->argument1, task->argument2);
        FreeTask(task);
    }
}

void SchedulerStop(tScheduler *scheduler) {
    {
        std::lock_guard<std::mutex> g(scheduler->lock);
        scheduler->stopping = 1;
    }
    SemaphoreRelease(&scheduler->wake);
}

void SchedulerWake(tScheduler *scheduler) { SemaphoreRelease(&scheduler->wake); }

void SchedulerRelease(tScheduler *scheduler) {
    std::lock_guard<std::mutex> g(scheduler->lock);
    MG_ASSERT(ListEmpty(&scheduler->runningTasks));
    ForEachTask(scheduler, [&](tTask *t) { RemoveLocked(scheduler, t); });
    scheduler->pool = nullptr;
}

// ---- listing ----

const char *TaskStateName(int state) {
    switch (state) {
    case TASK_WAIT: return "Wait";
    case TASK_RUN: return "Run";
    case TASK_LATE: return "Late";
    default: return "?";
    }
}

void TasksList(tScheduler *scheduler, tTaskListing *listing) {
    listing->tasks.clear();
    time_t now = Now(scheduler);
    std::vector<tTask *> all;
    std::lock_guard<std::mutex> g(scheduler->lock);
    all.reserve(scheduler->taskCount);
    ForEachTask(scheduler, [&](tTask *t) { all.push_back(t); });
    std::sort(all.begin(), all.end(), Before);
    listing->tasks.reserve(all.size());
    for (tTask *t : all) {
        tTaskListEntry e;
        e.handle = t->handle;
        e.timeLeft = long(t->due - now);
        e.state = t->state;
        memcpy(e.category, t->category->name, sizeof e.category);
        e.description = t->description;
        listing->tasks.push_back(std::move(e));
    }
    for (int i = 0; i < TC_COUNT; i++) {
        tTaskListCategory *c = &listing->categories[i];
        memcpy(c->name, taskCategories[i].name, sizeof c->name);
        c->running = taskCategories[i].running;
        c->limit = taskCategories[i].limit;
    }
}

namespace {

const char *const kStateColours[] = {"lightgreen", "cyan", "#F08080"};

// Formats into a string and hands it to write.
int Emit(tReportWriter write, void *context, const char *format, ...) __attribute__((format(printf, 3, 4)));
int Emit(tReportWriter write, void *context, const char *format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int n = vsnprintf(small, sizeof small, format, args);
    va_end(args);
    int rc;
    if (n < 0) {
        rc = -1;
    } else if (size_t(n) < sizeof small) {
        rc = write(context, small);
    } else {
        std::string big(size_t(n) + 1, '\0');
        vsnprintf(big.data(), big.size(), format, copy);
        rc = write(context, big.c_str());
    }
    va_end(copy);
    return rc;
}

}  // namespace

tDiag TasksReportWrite(const tTaskListing *listing, int html, tReportWriter write, tReportEscapedWriter escaped,
                       void *context) {
#define MG_EMIT(...) \
    if (Emit(write, context, __VA_ARGS__) < 0) return E_CLIENT_DISCONNECTED
    if (html) {
        MG_EMIT("%s",
                "<form><table border=1 cellspacing=0><tr><th colspan=6>Running and scheduled tasks &nbsp; "
                "<input type=submit value=Update></th></tr>\r\n</form>\r\n<tr><th>Handle</th><th>Time</th>"
                "<th>State</th><th>Category</th><th>Description</th><th>Force</th></tr>\r\n");
    } else {
        MG_EMIT("%s", "HANDLE TIME STAT CATEGORY DESCRIPTION\r\n");
    }
    for (const tTaskListEntry &e : listing->tasks) {
        const char *colour = kStateColours[e.state >= 0 && e.state <= 2 ? e.state : 0];
        if (html) {
            MG_EMIT("<tr bgcolor=%s><td>%d</td><td>%ld</td><td>%s</td><td>%s</td><td>", colour, e.handle,
                    e.timeLeft, TaskStateName(e.state), e.category);
            if ((escaped ? escaped(context, e.description.c_str()) : write(context, e.description.c_str())) < 0)
                return E_CLIENT_DISCONNECTED;
            MG_EMIT("</td><form><td><input type=submit name=%d value=Force></td></tr>\r\n", e.handle);
        } else {
            MG_EMIT("%.0s%-6d %4ld %-4s %-8s %s\r\n", colour, e.handle, e.timeLeft, TaskStateName(e.state),
                    e.category, e.description.c_str());
        }
    }
    int total = int(listing->tasks.size());
    if (html) {
        MG_EMIT("</table>\r\n<p><h2>Total: %d tasks</h2>\r\n", total);
        MG_EMIT("%s",
                "<form><table border=1 cellspacing=0><tr><th colspan=3>Running tasks breakdown &nbsp; "
                "<input type=submit value=Update></th></tr>\r\n</form>\r\n<tr><th>Category</th>"
                "<th>Current count</th><th>Max count</th></tr>\r\n");
        for (const tTaskListCategory &c : listing->categories) {
            if (c.running <= 0) continue;
            MG_EMIT("<tr%s><td>%s</td><td>%d</td><td>%d</td></tr>\r\n",
                    c.running >= c.limit ? " bgcolor=#F08080" : "", c.name, c.running, c.limit);
        }
        MG_EMIT("%s", "</table>\r\n");
    } else {
        MG_EMIT("Total: %d tasks\r\n", total);
        MG_EMIT("%s", "Categories: ");
        for (int i = 0; i < TC_COUNT; i++) {
            const tTaskListCategory &c = listing->categories[i];
            MG_EMIT("%s %d/%d%s", c.name, c.running, c.limit, i + 1 < TC_COUNT ? " " : "\r\n");
        }
    }
#undef MG_EMIT
    return E_OK;
}

namespace {

// Collects pieces into lines and logs each complete one with "\n".
struct tLogLines {
    tLog *log;
    std::string pending;
};

int LogPiece(void *context, const char *text) {
    tLogLines *lines = static_cast<tLogLines *>(context);
    lines->pending += text;
    size_t end;
    while ((end = lines->pending.find("\r\n")) != std::string::npos) {
        LogMessage(lines->log, "%s\n", lines->pending.substr(0, end).c_str());
        lines->pending.erase(0, end + 2);
    }
    return 0;
}

}  // namespace

void TasksReportToLog(tScheduler *scheduler, tLog *log) {
    tTaskListing listing;
    TasksList(scheduler, &listing);
    tLogLines lines{log, std::string()};
    (void)TasksReportWrite(&listing, 0, LogPiece, nullptr, &lines);
    if (!lines.pending.empty()) LogMessage(log, "%s\n", lines.pending.c_str());
}
