#include "lib/tasks.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/log.h"
#include "lib/shutdown.h"
#include "tests/support/eventually.h"
#include "tests/support/paths.h"

namespace {

constexpr time_t kStart = 1700000000;
std::atomic<time_t> fakeNow{kStart};
time_t FakeClock() { return fakeNow.load(); }

// What the probes did, in order.
struct tJournal {
    std::mutex lock;
    std::vector<std::string> events;
    void Add(const std::string &e) {
        std::lock_guard<std::mutex> g(lock);
        events.push_back(e);
    }
    std::vector<std::string> Get() {
        std::lock_guard<std::mutex> g(lock);
        return events;
    }
    size_t Size() {
        std::lock_guard<std::mutex> g(lock);
        return events.size();
    }
};

// One task body: records its runs and threads, optionally blocks on a gate
// and returns the next value of `results` (0 when they are used up).
struct tProbe {
    std::string name;
    tJournal *journal = nullptr;
    bool gated = false;
    tSemaphore gate;
    std::vector<time_t> results;
    std::atomic<int> runs{0};
    std::atomic<int> entered{0};
    std::atomic<pthread_t> thread{};

    tProbe(std::string n, tJournal *j, bool g = false) : name(std::move(n)), journal(j), gated(g) {
        EXPECT_EQ(SemaphoreInit(&gate, 0, 100), 0);
    }
    static time_t Run(void *raw, void *) {
        tProbe *p = static_cast<tProbe *>(raw);
        p->thread = pthread_self();
        p->entered++;
        if (p->gated) {
            EXPECT_EQ(SemaphoreWait(&p->gate, 60000), 1);
        }
        if (p->journal) p->journal->Add(p->name);
        int run = p->runs++;
        return size_t(run) < p->results.size() ? p->results[run] : 0;
    }
    void Open() { EXPECT_EQ(SemaphoreRelease(&gate), 0); }
};

// A scheduler on its own pool with the fake clock, its loop on a thread of
// its own (standing in for the main thread).
class Scheduler : public ::testing::Test {
protected:
    tThreadPool pool;
    tScheduler sched;
    std::thread loop;
    std::atomic<pthread_t> loopThread{};
    tJournal journal;
    std::vector<std::unique_ptr<tProbe>> probes;  // outlive every pool thread

    // A probe owned by the fixture, so that it outlives the threads that run it.
    tProbe &P(const char *name, bool gated = false) {
        probes.push_back(std::make_unique<tProbe>(name, &journal, gated));
        return *probes.back();
    }

    void SetUp() override {
        fakeNow = kStart;
        TaskCategoriesReset();
        ASSERT_EQ(PoolInit(&pool, POOL_NO_LIMIT), 0);
        ASSERT_EQ(SchedulerInit(&sched, &pool), 0);
        sched.now = FakeClock;
    }
    void StartLoop() {
        loop = std::thread([this] {
            loopThread = pthread_self();
            SchedulerRun(&sched);
        });
    }
    void StopLoop() {
        SchedulerStop(&sched);
        if (loop.joinable()) loop.join();
        PoolWaitAll(&pool);
    }
    void TearDown() override {
        StopLoop();
        SchedulerRelease(&sched);
        PoolRelease(&pool);
    }
    void Advance(time_t seconds) {
        fakeNow += seconds;
        SchedulerWake(&sched);
    }
    int Schedule(tProbe *p, time_t due, int category, uint8_t flags = 0) {
        return TaskSchedule(&sched, tProbe::Run, p, nullptr, due, &taskCategories[category], p->name.c_str(),
                            flags);
    }
    // The listed state of a handle, -1 when it is not listed.
    int StateOf(int handle, long *timeLeft = nullptr) {
        tTaskListing l;
        TasksList(&sched, &l);
        for (const tTaskListEntry &e : l.tasks)
            if (e.handle == handle) {
                if (timeLeft) *timeLeft = e.timeLeft;
                return e.state;
            }
        return -1;
    }
    int Listed() {
        tTaskListing l;
        TasksList(&sched, &l);
        return int(l.tasks.size());
    }
};

std::string TextReport(const tTaskListing &l) {
    std::string out;
    EXPECT_EQ(TasksReportWrite(
                  &l, 0,
                  [](void *c, const char *t) {
                      *static_cast<std::string *>(c) += t;
                      return 0;
                  },
                  nullptr, &out),
              E_OK);
    return out;
}

}  // namespace

TEST(TaskCategories, TwelveInDisplayOrderWithTheirDefaultLimits) {
    TaskCategoriesReset();
    const char *names[] = {"explore", "async",  "keepali", "disconn", "syncfree", "dferdel",
                           "asyncav", "compact", "zombie", "groups",  "update",   "connect"};
    const int limits[] = {8, 4, 16, 16, 4, 1, 4, 1, 1, 1, 1, 16};
    for (int i = 0; i < TC_COUNT; i++) {
        SCOPED_TRACE(names[i]);
        EXPECT_STREQ(taskCategories[i].name, names[i]);
        EXPECT_EQ(taskCategories[i].limit, limits[i]);
        EXPECT_EQ(taskCategories[i].running, 0);
        EXPECT_EQ(TaskCategoryFind(names[i]), &taskCategories[i]);
    }
    EXPECT_EQ(TaskCategoryFind("nosuch"), nullptr);
}

TEST_F(Scheduler, TasksRunInDueOrderAndEqualDuesInSchedulingOrder) {
    // "compact" runs one at a time, so the order of the runs is the order of
    // the list: earliest due first, equal dues as scheduled.
    tProbe &a = P("a"), &b = P("b"), &c = P("c"), &d = P("d");
    ASSERT_GT(Schedule(&a, kStart + 10, TC_COMPACT), 0);
    ASSERT_GT(Schedule(&b, kStart + 10, TC_COMPACT), 0);
    ASSERT_GT(Schedule(&c, kStart + 10, TC_COMPACT), 0);
    ASSERT_GT(Schedule(&d, kStart + 9, TC_COMPACT), 0);
    StartLoop();
    Advance(10);
    ASSERT_TRUE(Eventually([&] { return journal.Size() == 4; }));
    EXPECT_EQ(journal.Get(), (std::vector<std::string>{"d", "a", "b", "c"}));
    EXPECT_TRUE(Eventually([&] { return Listed() == 0; }));
}

TEST_F(Scheduler, LateTaskStartsOnTheSameThreadWhenItsCategoryFrees) {
    tProbe &first = P("first", true), &second = P("second"), &other = P("other");
    StartLoop();
    int h1 = Schedule(&first, kStart, TC_UPDATE);
    ASSERT_TRUE(Eventually([&] { return first.entered == 1; }));
    EXPECT_EQ(StateOf(h1), TASK_RUN);
    int h2 = Schedule(&second, kStart, TC_UPDATE);
    ASSERT_TRUE(Eventually([&] { return StateOf(h2) == TASK_LATE; }));
    // A task of another category is not held up.
    Schedule(&other, kStart, TC_GROUPS);
    ASSERT_TRUE(Eventually([&] { return other.runs == 1; }));
    EXPECT_EQ(StateOf(h2), TASK_LATE);
    {
        tTaskListing l;
        TasksList(&sched, &l);
        EXPECT_EQ(l.categories[TC_UPDATE].running, 1);
        EXPECT_EQ(l.categories[TC_UPDATE].limit, 1);
    }

    first.Open();
    ASSERT_TRUE(Eventually([&] { return second.runs == 1; }));
    EXPECT_TRUE(pthread_equal(first.thread.load(), second.thread.load()));
    EXPECT_EQ(journal.Get(), (std::vector<std::string>{"other", "first", "second"}));
    EXPECT_TRUE(Eventually([&] {
        tTaskListing l;
        TasksList(&sched, &l);
        return l.tasks.empty() && l.categories[TC_UPDATE].running == 0;
    }));
}

TEST_F(Scheduler, ReturnedTimeReschedulesTheTaskUnderTheSameHandle) {
    tProbe &p = P("again");
    p.results = {kStart + 600};
    StartLoop();
    int h = Schedule(&p, kStart, TC_EXPLORE);
    ASSERT_TRUE(Eventually([&] { return p.runs == 1 && StateOf(h) == TASK_WAIT; }));
    long left = 0;
    EXPECT_EQ(StateOf(h, &left), TASK_WAIT);
    EXPECT_EQ(left, 600);

    Advance(599);
    EXPECT_EQ(StateOf(h, &left), TASK_WAIT);
    EXPECT_EQ(left, 1);
    Advance(1);
    ASSERT_TRUE(Eventually([&] { return p.runs == 2; }));
    EXPECT_TRUE(Eventually([&] { return Listed() == 0; }));  // the second run returned 0
}

TEST_F(Scheduler, CancellingPendingAndRunningTasks) {
    tProbe &pending = P("pending"), &running = P("running", true);
    running.results = {kStart + 600};  // would run again if not cancelled
    StartLoop();
    int hp = Schedule(&pending, kStart + 3600, TC_EXPLORE);
    int hr = Schedule(&running, kStart, TC_EXPLORE);
    ASSERT_TRUE(Eventually([&] { return running.entered == 1; }));

    EXPECT_EQ(TaskCancel(&sched, hp), kStart + 3600);
    EXPECT_EQ(TaskCancel(&sched, hp), 0);  // gone
    EXPECT_EQ(TaskCancel(&sched, 999), 0);  // never existed
    errno = 0;
    EXPECT_EQ(TaskCancel(&sched, hr), -1);
    EXPECT_STREQ(DiagText(E_ERRNO), "Cannot cancel a running task");

    // Two threads await the cancellation: the second is refused at once,
    // the first returns when the run ends.
    std::atomic<time_t> rc1{99}, rc2{99};
    std::atomic<int> err1{0}, err2{0};
    std::thread w1([&] {
        rc1 = TaskCancelWait(&sched, hr);
        err1 = errno;
    });
    std::thread w2([&] {
        rc2 = TaskCancelWait(&sched, hr);
        err2 = errno;
    });
    ASSERT_TRUE(Eventually([&] { return rc1 == -1 || rc2 == -1; }));
    EXPECT_EQ(rc1 == -1 ? err1.load() : err2.load(), ELIB_CANCEL_AWAITED);
    EXPECT_EQ(rc1 + rc2, 99 - 1);  // the other one still waits
    running.Open();
    w1.join();
    w2.join();
    EXPECT_EQ(rc1 + rc2, -1);
    EXPECT_EQ(Listed(), 0);
    Advance(600);
    EXPECT_EQ(running.runs.load(), 1);
    EXPECT_EQ(pending.runs.load(), 0);
}

TEST_F(Scheduler, CancelWaitOfAPendingTaskReturnsItsDueAndSelfCancelIsRefused) {
    static tScheduler *s;
    static std::atomic<int> selfHandle;
    static std::atomic<time_t> selfRc;
    static std::atomic<int> selfErr;
    s = &sched;
    selfRc = 0;
    tProbe &later = P("later");
    int h = Schedule(&later, kStart + 50, TC_ASYNC);
    EXPECT_EQ(TaskCancelWait(&sched, h), kStart + 50);
    EXPECT_EQ(TaskCancelWait(&sched, h), 0);

    StartLoop();
    selfHandle = TaskSchedule(
        &sched,
        [](void *, void *) -> time_t {
            selfRc = TaskCancelWait(s, selfHandle);
            selfErr = errno;
            return 0;
        },
        nullptr, nullptr, kStart + 1, &taskCategories[TC_ASYNC], "self", 0);
    ASSERT_GT(selfHandle.load(), 0);
    Advance(1);  // due only once its handle is known
    ASSERT_TRUE(Eventually([&] { return selfRc != 0; }));
    EXPECT_EQ(selfRc.load(), -1);
    EXPECT_EQ(selfErr.load(), ELIB_CANNOT_CANCEL_RUNNING);
}

TEST_F(Scheduler, HandlesStayUniqueWhenTheyWrapAround) {
    tProbe &p = P("p");
    EXPECT_EQ(Schedule(&p, kStart + 10, TC_GROUPS), 1);
    EXPECT_EQ(Schedule(&p, kStart + 10, TC_GROUPS), 2);
    EXPECT_EQ(TaskCancel(&sched, 2), kStart + 10);
    sched.lastHandle = INT_MAX - 1;
    EXPECT_EQ(Schedule(&p, kStart + 10, TC_GROUPS), INT_MAX);
    EXPECT_EQ(Schedule(&p, kStart + 10, TC_GROUPS), 2);  // 1 is still in use
    EXPECT_EQ(Schedule(&p, kStart + 10, TC_GROUPS), 3);
}

TEST_F(Scheduler, CancelMatchingRemovesTheFirstInListOrder) {
    tProbe &p = P("p"), &q = P("q", true);
    int late = Schedule(&p, kStart + 200, TC_DFERDEL);
    int early = Schedule(&p, kStart + 100, TC_DFERDEL);
    EXPECT_EQ(TaskCancelMatching(&sched, tProbe::Run, &p), 1);
    EXPECT_EQ(StateOf(early), -1);
    EXPECT_EQ(StateOf(late), TASK_WAIT);
    EXPECT_EQ(TaskCancelMatching(&sched, tProbe::Run, &q), 0);

    StartLoop();
    Schedule(&q, kStart, TC_DFERDEL);
    ASSERT_TRUE(Eventually([&] { return q.entered == 1; }));
    EXPECT_EQ(TaskCancelMatching(&sched, tProbe::Run, &q), -1);
    EXPECT_EQ(errno, ELIB_CANNOT_CANCEL_RUNNING);
    q.Open();
}

TEST_F(Scheduler, ForceMakesAPendingTaskDueAtOnce) {
    tProbe &hour = P("hour"), &busy = P("busy", true);
    StartLoop();
    int hb = Schedule(&busy, kStart, TC_CONNECT);
    ASSERT_TRUE(Eventually([&] { return busy.entered == 1; }));
    int hh = Schedule(&hour, kStart + 3600, TC_CONNECT);
    EXPECT_EQ(TaskForce(&sched, hh), kStart + 3600);
    ASSERT_TRUE(Eventually([&] { return hour.runs == 1; }));

    errno = 0;
    EXPECT_EQ(TaskForce(&sched, hb), -1);
    EXPECT_STREQ(DiagText(E_ERRNO), "Task is already running");
    EXPECT_EQ(TaskForce(&sched, 12345), 0);
    busy.Open();
}

TEST_F(Scheduler, ForcedLateTaskStillWaitsForItsCategory) {
    tProbe &busy = P("busy", true), &next = P("next");
    StartLoop();
    Schedule(&busy, kStart, TC_ZOMBIE);
    ASSERT_TRUE(Eventually([&] { return busy.entered == 1; }));
    int hn = Schedule(&next, kStart, TC_ZOMBIE);
    ASSERT_TRUE(Eventually([&] { return StateOf(hn) == TASK_LATE; }));
    EXPECT_EQ(TaskForce(&sched, hn), kStart);
    ASSERT_TRUE(Eventually([&] { return StateOf(hn) == TASK_LATE; }));
    EXPECT_EQ(next.runs.load(), 0);
    busy.Open();
    ASSERT_TRUE(Eventually([&] { return next.runs == 1; }));
}

TEST_F(Scheduler, FailIfFullRefusesSchedulingIntoAFullCategory) {
    tProbe &busy = P("busy", true), &refused = P("refused"), &queued = P("queued");
    StartLoop();
    Schedule(&busy, kStart, TC_UPDATE);
    ASSERT_TRUE(Eventually([&] { return busy.entered == 1; }));
    errno = 0;
    EXPECT_EQ(Schedule(&refused, kStart, TC_UPDATE, TASK_FAIL_IF_FULL), -1);
    EXPECT_STREQ(DiagText(E_ERRNO), "Task category already full");
    EXPECT_GT(Schedule(&queued, kStart, TC_UPDATE), 0);  // without the flag it waits its turn
    EXPECT_GT(Schedule(&refused, kStart, TC_GROUPS, TASK_FAIL_IF_FULL), 0);
    busy.Open();
    ASSERT_TRUE(Eventually([&] { return queued.runs == 1 && refused.runs == 1; }));
}

TEST_F(Scheduler, ShutdownDrainRunsPendingFlaggedTasksOnTheLoopThreadInListOrder) {
    tProbe &a = P("a"), &b = P("b"), &c = P("c"), &busy = P("busy", true);
    busy.results = {kStart + 10};
    ASSERT_GT(Schedule(&a, kStart + 500, TC_ASYNCAV, TASK_RUN_AT_SHUTDOWN), 0);
    ASSERT_GT(Schedule(&b, kStart + 100, TC_ASYNCAV), 0);
    ASSERT_GT(Schedule(&c, kStart + 400, TC_ASYNCAV, TASK_RUN_AT_SHUTDOWN), 0);
    StartLoop();
    ASSERT_GT(Schedule(&busy, kStart, TC_ASYNCAV, TASK_RUN_AT_SHUTDOWN), 0);
    ASSERT_TRUE(Eventually([&] { return busy.entered == 1; }));

    SchedulerStop(&sched);
    loop.join();  // the drain is done when the loop returns
    EXPECT_EQ(journal.Get(), (std::vector<std::string>{"c", "a"}));
    EXPECT_TRUE(pthread_equal(a.thread.load(), loopThread.load()));
    EXPECT_EQ(b.runs.load(), 0);
    // The running task is not drained and, the scheduler stopping, not
    // rescheduled either.
    busy.Open();
    PoolWaitAll(&pool);
    EXPECT_EQ(busy.runs.load(), 1);
    EXPECT_EQ(Listed(), 1);  // b, left for the tear-down
    EXPECT_EQ(TaskForce(&sched, 2), -1);
    EXPECT_EQ(errno, ELIB_SHUTDOWN);
}

TEST(Shutdown, FirstCodeWinsAndTheSystemSchedulerStopsAndHooksRun) {
    ShutdownReset();
    TaskCategoriesReset();
    ASSERT_EQ(TasksInit(), E_OK);
    static std::atomic<int> hookRuns;
    hookRuns = 0;
    auto hook = [](void *arg) { *static_cast<std::atomic<int> *>(arg) += 1; };
    ASSERT_TRUE(ShutdownAddHook(hook, &hookRuns));
    std::thread loop([] { SchedulerRun(&taskScheduler); });

    std::thread other([] { RequestShutdown(39); });
    other.join();
    RequestShutdown(43);
    loop.join();  // the loop ended on the request
    EXPECT_EQ(shutdownCode.load(), 39);
    EXPECT_TRUE(ShutdownRequested());
    EXPECT_EQ(hookRuns.load(), 2);

    errno = 0;
    EXPECT_EQ(TaskSchedule(&taskScheduler, [](void *, void *) -> time_t { return 0; }, nullptr, nullptr,
                           time(nullptr), &taskCategories[TC_COMPACT], "Compact", 0),
              -1);
    EXPECT_STREQ(DiagText(E_ERRNO), "Shutdown in progress");

    // A request made before the scheduler is set up is not lost.
    ASSERT_EQ(SchedulerInit(&taskScheduler, &taskPool), 0);
    EXPECT_EQ(TaskSchedule(&taskScheduler, [](void *, void *) -> time_t { return 0; }, nullptr, nullptr,
                           time(nullptr), &taskCategories[TC_COMPACT], "Compact", 0),
              -1);
    EXPECT_EQ(errno, ELIB_SHUTDOWN);

    ShutdownRemoveHook(hook, &hookRuns);
    ShutdownReset();
    EXPECT_EQ(shutdownCode.load(), 0);
    ASSERT_EQ(SchedulerInit(&taskScheduler, &taskPool), 0);
    int h = TaskSchedule(&taskScheduler, [](void *, void *) -> time_t { return 0; }, nullptr, nullptr,
                         time(nullptr), &taskCategories[TC_COMPACT], "Compact", 0);
    EXPECT_EQ(h, 1);  // handles start again with a new run
    taskCategories[TC_EXPLORE].limit = 3;
    TasksRelease();
    EXPECT_EQ(taskCategories[TC_EXPLORE].limit, 8);  // defaults again for the next run
}

TEST_F(Scheduler, ListingShowsEachTaskAndTheCategories) {
    tTaskListing empty;
    TasksList(&sched, &empty);
    EXPECT_EQ(TextReport(empty),
              "HANDLE TIME STAT CATEGORY DESCRIPTION\r\n"
              "Total: 0 tasks\r\n"
              "Categories: explore 0/8 async 0/4 keepali 0/16 disconn 0/16 syncfree 0/4 dferdel 0/1 "
              "asyncav 0/4 compact 0/1 zombie 0/1 groups 0/1 update 0/1 connect 0/16\r\n");

    tProbe &busy = P("busy", true), &late = P("Late <one>"), &wait = P("UpdateServers");
    StartLoop();
    Schedule(&busy, kStart, TC_UPDATE);
    ASSERT_TRUE(Eventually([&] { return busy.entered == 1; }));
    int hl = Schedule(&late, kStart, TC_UPDATE);
    ASSERT_TRUE(Eventually([&] { return StateOf(hl) == TASK_LATE; }));
    Schedule(&wait, kStart + 600, TC_UPDATE);

    tTaskListing l;
    TasksList(&sched, &l);
    std::string text = TextReport(l);
    EXPECT_NE(text.find("HANDLE TIME STAT CATEGORY DESCRIPTION\r\n"
                        "1         0 Run  update   busy\r\n"
                        "2         0 Late update   Late <one>\r\n"
                        "3       600 Wait update   UpdateServers\r\n"
                        "Total: 3 tasks\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(" update 1/1 "), std::string::npos);

    std::string html;
    auto append = [](void *c, const char *t) {
        *static_cast<std::string *>(c) += t;
        return 0;
    };
    auto escape = [](void *c, const char *t) {
        std::string &out = *static_cast<std::string *>(c);
        for (; *t; t++) out += *t == '<' ? "&lt;" : *t == '>' ? "&gt;" : std::string(1, *t);
        return 0;
    };
    EXPECT_EQ(TasksReportWrite(&l, 1, append, escape, &html), E_OK);
    EXPECT_NE(html.find("<tr bgcolor=cyan><td>1</td><td>0</td><td>Run</td><td>update</td><td>busy</td>"
                        "<form><td><input type=submit name=1 value=Force></td></tr>\r\n"),
              std::string::npos);
    EXPECT_NE(html.find("<tr bgcolor=#F08080><td>2</td><td>0</td><td>Late</td><td>update</td>"
                        "<td>Late &lt;one&gt;</td>"),
              std::string::npos);
    EXPECT_NE(html.find("<tr bgcolor=lightgreen><td>3</td><td>600</td>"), std::string::npos);
    EXPECT_NE(html.find("</table>\r\n<p><h2>Total: 3 tasks</h2>\r\n"), std::string::npos);
    EXPECT_NE(html.find("<tr bgcolor=#F08080><td>update</td><td>1</td><td>1</td></tr>\r\n"), std::string::npos);
    EXPECT_EQ(html.find("<td>explore</td>"), std::string::npos);  // nothing runs there

    // A failed write ends the report.
    EXPECT_EQ(TasksReportWrite(&l, 0, [](void *, const char *) { return -1; }, nullptr, nullptr),
              E_CLIENT_DISCONNECTED);

    // The text form in a log, one logged line per report line.
    tTempDir dir;
    tLog log;
    int savedStamps = timeStampLogs;
    timeStampLogs = 0;
    ASSERT_EQ(LogOpen(&log, (dir / "journal").c_str(), 204800), E_OK);
    TasksReportToLog(&sched, &log);
    LogClose(&log);
    timeStampLogs = savedStamps;
    std::string logged = ReadWholeFile(dir / "journal");
    EXPECT_NE(logged.find("\nHANDLE TIME STAT CATEGORY DESCRIPTION\n1         0 Run  update   busy\n"),
              std::string::npos)
        << logged;
    EXPECT_NE(logged.find("\nTotal: 3 tasks\nCategories: explore 0/8 "), std::string::npos);
    EXPECT_EQ(logged.find('\r'), std::string::npos);
    busy.Open();
}
