// Tasks, task categories and the scheduler.
//
// All background work runs as tasks: a function of two arguments, a due time
// (seconds since 1970), a category that bounds how many tasks of its kind
// run at once, and a description. The scheduler loop (SchedulerRun, on the
// main thread) starts due tasks on pool threads; a task's function returns 0
// when it is done or the time at which it wants to run again (same handle).
//
// Design. Tasks are kept in the order of their due time, ties in the order
// of their (re)insertion; that order is "list order" below and in the
// listing. Internally a waiting task sits in the wait queue, a task that
// became due while its category was full ("Late") in its category's late
// queue, and a running task in the running list, each queue in list order,
// so that the loop never walks over tasks it cannot start and a finishing
// task finds the next late task of its category at once. A "Late" task is
// started only by the end of a running task of its own category, which runs
// it on the same thread; the loop never starts it.
//
// The loop never polls: it sleeps on the `wake` semaphore until the earliest
// due time, and every insertion, TaskForce and SchedulerStop wake it. The
// clock is the scheduler's `now` function (time() by default), replaceable
// for tests; after moving such a clock, call SchedulerWake.
//
// The system has one scheduler, `taskScheduler`, on the pool `taskPool`, and
// the twelve categories of `taskCategories`. RequestShutdown stops
// `taskScheduler`; once stopping, no task is scheduled or rescheduled, and
// SchedulerRun runs the tasks scheduled with TASK_RUN_AT_SHUTDOWN that have
// not run yet (the shutdown drain) before it returns.
//
// Errors are left in errno: ELIB_OUT_OF_MEMORY, ELIB_CATEGORY_FULL,
// ELIB_CANNOT_CANCEL_RUNNING, ELIB_CANCEL_AWAITED, ELIB_TASK_RUNNING,
// ELIB_SHUTDOWN. Callers turn ELIB_SHUTDOWN into E_SHUTDOWN and the others
// into E_TASK_SCHEDULING_FAILED.
//
// Threading: one lock per scheduler guards its queues, every task's state,
// due time and canceller, and the `running` count of every category (a
// category serves one scheduler at a time). The lock is never held while a
// task function runs, while a thread is being started or while
// TaskCancelWait waits. Every function may be called from any thread, the
// task functions included; SchedulerInit and SchedulerRelease only with no
// task running, and category limits only before SchedulerRun.
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "lib/diag.h"
#include "lib/semaphore.h"
#include "lib/threadpool.h"

struct tLog;
struct tTask;
struct tScheduler;

// A task body: returns 0 when done, else the due time of its next run.
typedef time_t (*tTaskFunction)(void *argument1, void *argument2);
// The scheduler's clock: seconds since 1970.
typedef time_t (*tTaskClock)();

// Intrusive circular list links; a list's head is a tTaskLinks of its own.
struct tTaskLinks {
    tTaskLinks *prev = this;
    tTaskLinks *next = this;
};

struct tTaskCategory {
    int limit;           // tasks of the category allowed to run at once
    int running;         // tasks of the category now running; guarded by the scheduler lock
    char name[16];       // at most 15 characters
    tTaskLinks late;     // its "Late" tasks in list order; guarded by the scheduler lock
};

// The categories, in display order.
enum {
    TC_EXPLORE,   // "explore"  8  exploration of one server
    TC_ASYNC,     // "async"    4  asynchronous retrieval
    TC_KEEPALI,   // "keepali" 16  keeping idle connections alive
    TC_DISCONN,   // "disconn" 16  disconnecting idle connections
    TC_SYNCFREE,  // "syncfree" 4  freeing synchronised group indexes
    TC_DFERDEL,   // "dferdel"  1  deferred deletion of retrieved article files
    TC_ASYNCAV,   // "asyncav"  4  retrieval when a server becomes available
    TC_COMPACT,   // "compact"  1  the compaction task
    TC_ZOMBIE,    // "zombie"   1  zombie handling of asynchronous retrieval
    TC_GROUPS,    // "groups"   1  work on the full group list
    TC_UPDATE,    // "update"   1  the server update task
    TC_CONNECT,   // "connect" 16  connecting to a server
    TC_COUNT
};

extern tTaskCategory taskCategories[TC_COUNT];

// Gives every category its default limit and a running count of 0. Main
// thread, before SchedulerRun (at the start of each run).
void TaskCategoriesReset();

// The category whose name equals name exactly, or null.
tTaskCategory *TaskCategoryFind(const char *name);

// Task states.
enum { TASK_WAIT = 0, TASK_RUN = 1, TASK_LATE = 2 };
// TaskSchedule flags.
enum : uint8_t {
    TASK_FAIL_IF_FULL = 1,      // refuse the scheduling when the category is full now
    TASK_RUN_AT_SHUTDOWN = 4,   // run it in the shutdown drain if it has not run yet
};

struct tTask : tTaskLinks {
    tTaskFunction function;
    void *argument1;
    void *argument2;
    time_t due;               // guarded by the scheduler lock
    tTaskCategory *category;
    int handle;               // 1 and upward, unique among the scheduler's tasks
    tScheduler *scheduler;
    int state;                // TASK_WAIT, TASK_RUN or TASK_LATE; guarded by the scheduler lock
    tSemaphore *canceller;    // the semaphore of a thread awaiting the cancellation; guarded
    uint8_t flags;            // TASK_FAIL_IF_FULL, TASK_RUN_AT_SHUTDOWN
    uint64_t order;           // insertion sequence: list order is (due, order)
    const char *description;  // stored in the same allocation
};

struct tScheduler {
    tTaskLinks waiting;         // TASK_WAIT tasks in list order; guarded by lock
    tTaskLinks runningTasks;    // TASK_RUN tasks; guarded by lock
    std::mutex lock;
    int lastHandle = 0;         // guarded by lock
    int handlesWrapped = 0;     // lastHandle went past INT_MAX once; guarded by lock
    tSemaphore wake;            // woken by insertions, TaskForce, SchedulerStop
    int stopping = 0;           // guarded by lock
    tThreadPool *pool = nullptr;
    tTaskClock now = nullptr;   // the clock; null means time()
    uint64_t lastOrder = 0;     // guarded by lock
    int taskCount = 0;          // tasks in all queues; guarded by lock
    time_t wakeAt = 0;          // when the scheduler thread wakes by itself (0: it is awake or must
                                // be woken for any insertion); guarded by lock
};

// The system's task pool and scheduler.
extern tThreadPool taskPool;
extern tScheduler taskScheduler;

// Sets up the system's task pool (no limit) and taskScheduler on it: E_OK,
// or E_ERRNO with errno. The main program calls it once per run after
// setting the category limits and before scheduling any task.
[[nodiscard]] tDiag TasksInit();

// Tears down taskScheduler (freeing the tasks left) and taskPool, and gives
// the categories their defaults for a next run. After SchedulerRun and
// PoolWaitAll(&taskPool).
void TasksRelease();

// Makes the scheduler empty and ready on pool: no tasks, lastHandle 0, not
// stopping (but already stopping when it is taskScheduler and a shutdown has
// been requested), the clock time(). Returns 0, or -1 with errno.
[[nodiscard]] int SchedulerInit(tScheduler *scheduler, tThreadPool *pool);

// Schedules function(argument1, argument2) at due (a due time below 1 is 1)
// in category with the given description and flags (function and category
// must not be null; description may be). Returns the new task's
// handle (1 or more), or -1 with errno ELIB_SHUTDOWN (stopping scheduler),
// ELIB_CATEGORY_FULL (TASK_FAIL_IF_FULL and the category's running count has
// reached its limit) or ELIB_OUT_OF_MEMORY; nothing is scheduled then.
[[nodiscard]] int TaskSchedule(tScheduler *scheduler, tTaskFunction function, void *argument1,
                               void *argument2, time_t due, tTaskCategory *category,
                               const char *description, uint8_t flags);

// Cancels a task that is not running: removes and frees it and returns its
// due time (1 or more). Returns 0 when no task has that handle (it never
// existed or has finished); -1 with ELIB_CANNOT_CANCEL_RUNNING when it runs.
time_t TaskCancel(tScheduler *scheduler, int handle);

// As TaskCancel, but a running task is cancelled by waiting until its current
// run ends; it is then not run again, whatever its function returned, and 0
// is returned. -1 with ELIB_CANCEL_AWAITED when another thread already waits
// for it, and with ELIB_CANNOT_CANCEL_RUNNING when called from that task's
// own run (it would wait for itself).
time_t TaskCancelWait(tScheduler *scheduler, int handle);

// Cancels the first task in list order with this function and argument1:
// 1 when one was removed and freed, 0 when there is none, -1 with
// ELIB_CANNOT_CANCEL_RUNNING when that task is running.
int TaskCancelMatching(tScheduler *scheduler, tTaskFunction function, void *argument1);

// Makes a pending task due at once (due 1, state "Wait", TASK_FAIL_IF_FULL
// cleared) and wakes the loop. Returns the previous due time; 0 when no task
// has that handle; -1 with ELIB_SHUTDOWN when stopping or ELIB_TASK_RUNNING
// when the task runs.
time_t TaskForce(tScheduler *scheduler, int handle);

// The scheduler loop: starts due tasks until SchedulerStop, then runs the
// shutdown drain (the TASK_RUN_AT_SHUTDOWN tasks not running, in list order,
// on the calling thread, results ignored) and returns. Tasks still running
// then end on their own (wait for them with PoolWaitAll). Main thread.
void SchedulerRun(tScheduler *scheduler);

// Sets stopping and wakes the loop. Any thread; idempotent.
void SchedulerStop(tScheduler *scheduler);

// Wakes the loop so that it looks at the clock and the tasks again.
void SchedulerWake(tScheduler *scheduler);

// Frees every task left (after SchedulerRun and PoolWaitAll: none may run).
void SchedulerRelease(tScheduler *scheduler);

// Task listing: a snapshot taken under the scheduler lock.
struct tTaskListEntry {
    int handle;
    long timeLeft;              // due minus now, seconds
    int state;                  // TASK_WAIT, TASK_RUN, TASK_LATE
    char category[16];
    std::string description;
};
struct tTaskListCategory {
    char name[16];
    int running;
    int limit;
};
struct tTaskListing {
    std::vector<tTaskListEntry> tasks;   // in list order
    tTaskListCategory categories[TC_COUNT];
};

// Fills listing with every task in list order and the twelve categories.
void TasksList(tScheduler *scheduler, tTaskListing *listing);

// "Wait", "Run" or "Late".
const char *TaskStateName(int state);

// Receives each piece of a report; returns 0, or -1 when the output failed.
typedef int (*tReportWriter)(void *context, const char *text);
// Writes text made safe for HTML (a helper of the web layer); 0 or -1.
typedef int (*tReportEscapedWriter)(void *context, const char *text);

// Writes the task report of listing: the text form ("HANDLE TIME STAT
// CATEGORY DESCRIPTION", a line per task, "Total: %d tasks", the
// "Categories:" line), or with html the task table and the breakdown of the
// categories that have running tasks. Lines end with "\r\n". In the HTML form
// descriptions go through escaped (written as they are when null). Returns
// E_OK, or E_CLIENT_DISCONNECTED at the first failed write.
tDiag TasksReportWrite(const tTaskListing *listing, int html, tReportWriter write,
                       tReportEscapedWriter escaped, void *context);

// Writes the text form of the scheduler's task report to log, each line with
// LogMessage (so with the log's time stamp and prefix) and ended by "\n".
void TasksReportToLog(tScheduler *scheduler, tLog *log);
