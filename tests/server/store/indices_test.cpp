#include "server/store/indices.h"

#include "lib/tasks.h"
#include "server/store/db.h"
#include "tests/support/paths.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A store that only records what the cache asks of it.
struct tFakeEntry : tIndexEntry {
    std::atomic<bool> modified{false};
    std::atomic<bool> syncFails{false};
    std::atomic<int> syncs{0};
};

std::atomic<int> freedCount{0};

tIndexEntry *FakeAllocate() { return new tFakeEntry(); }
void FakeFree(tIndexEntry *e, tLog *) {
    freedCount++;
    delete static_cast<tFakeEntry *>(e);
}
tFakeEntry *Fake(tIndexEntry *e) {
    if (!e) abort();
    return static_cast<tFakeEntry *>(e);
}
tDiag FakeSync(tIndexEntry *e) {
    Fake(e)->syncs++;
    if (Fake(e)->syncFails) return E_SQL_FAILED;
    Fake(e)->modified = false;
    return E_OK;
}
bool FakeModified(tIndexEntry *e) { return Fake(e)->modified; }
void FakeRange(tIndexEntry *, long *low, long *high, long *count) {
    *low = 10;
    *high = 20;
    *count = 11;
}
const tIndexStoreOps fakeStore = {FakeAllocate, FakeFree, FakeSync, FakeModified, FakeModified, FakeRange};

// A scheduler whose tasks run only when the test says so.
struct tFakeTasks {
    struct tTask {
        int handle;
        tIndexEntry *entry;
        long generation;
        time_t due;
    };
    std::mutex lock;
    std::vector<tTask> pending;
    int running = 0;  // handle of the task now running
    int lastHandle = 0;
    bool refuse = false;

    static int Schedule(void *context, tIndexEntry *entry, long generation, time_t due) {
        auto *self = (tFakeTasks *)context;
        std::lock_guard<std::mutex> guard(self->lock);
        if (self->refuse) return -1;
        self->pending.push_back({++self->lastHandle, entry, generation, due});
        return self->lastHandle;
    }
    static long Cancel(void *context, int handle) {
        auto *self = (tFakeTasks *)context;
        std::lock_guard<std::mutex> guard(self->lock);
        if (handle == self->running) return -1;
        for (size_t i = 0; i < self->pending.size(); i++)
            if (self->pending[i].handle == handle) {
                long due = self->pending[i].due;
                self->pending.erase(self->pending.begin() + i);
                return due;
            }
        return 0;
    }
    // Takes the first pending task out and marks it running.
    tTask Start() {
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_FALSE(pending.empty());
        tTask t = pending.front();
        pending.erase(pending.begin());
        running = t.handle;
        return t;
    }
    // Ends the running task; a returned time puts it back under its handle.
    void Finish(tTask t, time_t again) {
        std::lock_guard<std::mutex> guard(lock);
        running = 0;
        if (again) pending.push_back({t.handle, t.entry, t.generation, again});
    }
    time_t RunFirst() {
        tTask t = Start();
        time_t again = SyncFreeTask(t.entry, t.generation);
        Finish(t, again);
        return again;
    }
    tIndexTaskOps Ops() { return {Schedule, Cancel, this}; }
};

struct IndicesTest : ::testing::Test {
    tTempDir dir;
    std::string savedCwd;
    tLog log{};
    tIndices *indices = nullptr;
    tFakeTasks tasks;

    void SetUp() override {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        savedCwd = cwd;
        ASSERT_EQ(chdir(dir.path.c_str()), 0);
        ASSERT_EQ(LogOpen(&log, "journal", 1000000), E_OK);
        ASSERT_EQ(IndicesCreate(&indices, false, &log, &fakeStore), E_OK);
        tIndexTaskOps ops = tasks.Ops();
        IndicesSetTasks(indices, &ops);
        freedCount = 0;
    }
    void TearDown() override {
        IndicesClose(indices);
        LogClose(&log);
        ASSERT_EQ(chdir(savedCwd.c_str()), 0);
    }

    // Opens name the way the group index does, loading it when asked to.
    tIndexEntry *Open(const char *name, bool modified = false) {
        tIndexEntry *e = nullptr;
        int found = IndicesLookup(indices, name, &e, -1);
        EXPECT_GE(found, 0) << DiagText(found);
        if (found == 0) {
            EXPECT_EQ(IndicesAddEntry(indices, name, &e), E_OK);
            IndicesUnlock(indices);
        }
        if (found < 2 && e) SetLoadState(e, false, true);
        if (e && modified) Fake(e)->modified = true;
        return e;
    }

    int Users(tIndexEntry *e) {
        std::lock_guard<std::mutex> guard(indices->lock);
        return e->users;
    }
};

int StateOf(tIndexEntry *e) {
    std::lock_guard<std::mutex> guard(e->stateLock);
    return e->state;
}

// Waits (bounded) until the entry has n waiters.
void AwaitWaiters(tIndexEntry *e, int n) {
    for (int i = 0; i < 20000; i++) {
        {
            std::lock_guard<std::mutex> guard(e->stateLock);
            if (e->waiters >= n) return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    FAIL() << "waiters never reached " << n;
}

TEST_F(IndicesTest, NamesAreChecked) {
    tIndexEntry *e;
    EXPECT_EQ(IndicesLookup(indices, "", &e, -1), E_NULL_GROUP_NAME);
    EXPECT_EQ(IndicesLookup(indices, nullptr, &e, -1), E_NULL_GROUP_NAME);
    for (const char *bad : {"alt.test.", "a:b", "a/b", "a\\b", "a*", "a?", "a,b", "a;b", "a|b", "a\"b", "a<b", "a\tb"})
        EXPECT_EQ(IndicesLookup(indices, bad, &e, -1), E_BAD_GROUP_NAME) << bad;
}

TEST_F(IndicesTest, ConcurrentOpenersShareOneEntry) {
    tIndexEntry *first;
    ASSERT_EQ(IndicesLookup(indices, "alt.test", &first, -1), 0);
    ASSERT_EQ(IndicesAddEntry(indices, "alt.test", &first), E_OK);
    IndicesUnlock(indices);

    auto second = std::async(std::launch::async, [&] {
        tIndexEntry *e = nullptr;
        int found = IndicesLookup(indices, "ALT.Test", &e, -1);
        return std::make_pair(found, e);
    });
    AwaitWaiters(first, 1);
    SetLoadState(first, false, true);  // the first opener has loaded it
    auto [found, e] = second.get();
    EXPECT_EQ(found, 2);
    EXPECT_EQ(e, first);
    EXPECT_EQ(Users(first), 2);
    IndicesRelease(e, 0);
    IndicesRelease(first, 0);
    EXPECT_EQ(tasks.pending.size(), 1u);
    EXPECT_EQ(freedCount, 0);
}

TEST_F(IndicesTest, LastReleaseSchedulesSyncThenFree) {
    tIndexEntry *e = Open("g", true);
    time_t before = time(nullptr);
    IndicesRelease(e, 0);
    ASSERT_EQ(tasks.pending.size(), 1u);
    EXPECT_GE(tasks.pending[0].due, before + 2);  // modified: 2 seconds
    EXPECT_LE(tasks.pending[0].due, time(nullptr) + 2);
    EXPECT_EQ(Users(e), 1);  // the task holds the last reference

    EXPECT_NE(tasks.RunFirst(), 0);  // synced, asks to free later
    EXPECT_EQ(Fake(e)->syncs, 1);
    EXPECT_EQ(freedCount, 0);
    EXPECT_EQ(StateOf(e) & (INDEX_BUSY | INDEX_LOADED), INDEX_LOADED);
    EXPECT_EQ(tasks.RunFirst(), 0);  // not modified any more: freed
    EXPECT_EQ(freedCount, 1);

    e = Open("h");
    IndicesRelease(e, 0);
    ASSERT_EQ(tasks.pending.size(), 1u);
    EXPECT_GE(tasks.pending[0].due, before + 5);  // unmodified: 5 seconds
}

TEST_F(IndicesTest, NewUserCancelsThePendingTask) {
    tIndexEntry *e = Open("g", true);
    IndicesRelease(e, 0);
    ASSERT_EQ(tasks.pending.size(), 1u);

    tIndexEntry *again = nullptr;
    EXPECT_EQ(IndicesLookup(indices, "g", &again, -1), 2);
    EXPECT_EQ(again, e);
    EXPECT_TRUE(tasks.pending.empty());
    EXPECT_EQ(Users(e), 1);  // took over the task's reference
    EXPECT_EQ(Fake(e)->syncs, 0);

    IndicesRelease(e, 0);  // a new task for the new last user
    EXPECT_EQ(tasks.pending.size(), 1u);
    EXPECT_EQ(freedCount, 0);
}

TEST_F(IndicesTest, NewUserSupersedesARunningTask) {
    tIndexEntry *e = Open("g");
    IndicesRelease(e, 0);
    tFakeTasks::tTask t = tasks.Start();  // the task is running but has not looked yet

    tIndexEntry *again = nullptr;
    EXPECT_EQ(IndicesLookup(indices, "g", &again, -1), 2);
    EXPECT_EQ(Users(e), 2);

    EXPECT_EQ(SyncFreeTask(t.entry, t.generation), 0);  // superseded: only drops its reference
    tasks.Finish(t, 0);
    EXPECT_EQ(Users(e), 1);
    EXPECT_EQ(freedCount, 0);

    IndicesRelease(again, 0);
    ASSERT_EQ(tasks.pending.size(), 1u);
    EXPECT_EQ(tasks.RunFirst(), 0);
    EXPECT_EQ(freedCount, 1);
}

TEST_F(IndicesTest, TaskSeeingOtherUsersLeavesTheEntry) {
    tIndexEntry *e = Open("g");
    IndicesRelease(e, 0);
    // A reference taken without a lookup (as the report does) does not cancel.
    {
        std::lock_guard<std::mutex> guard(indices->lock);
        e->users++;
    }
    EXPECT_EQ(tasks.RunFirst(), 0);
    EXPECT_EQ(Users(e), 1);
    EXPECT_EQ(freedCount, 0);
    IndicesRelease(e, 2);
    EXPECT_EQ(freedCount, 1);
}

TEST_F(IndicesTest, ImmediateReleaseSyncsAndFreesBeforeReturning) {
    tIndexEntry *e = Open("g", true);
    IndicesRelease(e, 2);
    EXPECT_EQ(freedCount, 1);
    EXPECT_TRUE(tasks.pending.empty());

    // A full category runs it at once as well.
    tasks.refuse = true;
    e = Open("h", true);
    IndicesRelease(e, 0);
    EXPECT_EQ(freedCount, 2);
}

TEST_F(IndicesTest, SyncThatKeepsFailingDoesNotSpinInline) {
    tasks.refuse = true;
    tIndexEntry *e = Open("g", true);
    Fake(e)->syncFails = true;
    IndicesRelease(e, 2);
    EXPECT_EQ(freedCount, 1);
    EXPECT_NE(ReadWholeFile("journal").find("Group g not saved.\n"), std::string::npos);
}

TEST_F(IndicesTest, FailedLoadReachesEveryWaiter) {
    tIndexEntry *first;
    ASSERT_EQ(IndicesLookup(indices, "g", &first, -1), 0);
    ASSERT_EQ(IndicesAddEntry(indices, "g", &first), E_OK);
    IndicesUnlock(indices);
    auto open = [&] {
        tIndexEntry *e;
        return IndicesLookup(indices, "g", &e, -1);
    };
    auto w1 = std::async(std::launch::async, open);
    auto w2 = std::async(std::launch::async, open);
    AwaitWaiters(first, 2);
    SetLoadState(first, true, false);
    IndicesRelease(first, 1);
    EXPECT_EQ(w1.get(), E_INDEX_NOT_LOADED);
    EXPECT_EQ(w2.get(), E_INDEX_NOT_LOADED);
    EXPECT_EQ(freedCount, 1);
    EXPECT_EQ(indices->list.next, &indices->list);
}

TEST_F(IndicesTest, LoadHandedToOneWaiter) {
    tIndexEntry *first;
    ASSERT_EQ(IndicesLookup(indices, "g", &first, -1), 0);
    ASSERT_EQ(IndicesAddEntry(indices, "g", &first), E_OK);
    IndicesUnlock(indices);
    auto waiter = std::async(std::launch::async, [&] {
        tIndexEntry *e;
        return IndicesLookup(indices, "g", &e, -1);
    });
    AwaitWaiters(first, 1);
    SetLoadState(first, false, false);  // not loaded, not failed: the waiter loads
    EXPECT_EQ(waiter.get(), 1);
    IndicesRelease(first, 0);  // the waiter still holds it
    EXPECT_EQ(freedCount, 0);
    SetLoadState(first, false, true);

    // Handed over before anybody waited: the next opener takes it at once.
    tIndexEntry *second;
    ASSERT_EQ(IndicesLookup(indices, "h", &second, -1), 0);
    ASSERT_EQ(IndicesAddEntry(indices, "h", &second), E_OK);
    IndicesUnlock(indices);
    SetLoadState(second, false, false);
    tIndexEntry *e;
    EXPECT_EQ(IndicesLookup(indices, "h", &e, -1), 1);
    IndicesRelease(e, 0);
    IndicesRelease(first, 0);
    IndicesRelease(second, 0);
}

TEST_F(IndicesTest, ReadableWatchSocketEndsTheWait) {
    tIndexEntry *first;
    ASSERT_EQ(IndicesLookup(indices, "g", &first, -1), 0);
    ASSERT_EQ(IndicesAddEntry(indices, "g", &first), E_OK);
    IndicesUnlock(indices);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    auto waiter = std::async(std::launch::async, [&] {
        tIndexEntry *e;
        return IndicesLookup(indices, "g", &e, pair[0]);
    });
    AwaitWaiters(first, 1);
    ASSERT_EQ(write(pair[1], "x", 1), 1);  // the client sends something
    EXPECT_EQ(waiter.get(), E_INDEX_NOT_LOADED);
    EXPECT_EQ(Users(first), 1);
    SetLoadState(first, false, true);
    IndicesRelease(first, 1);
    close(pair[0]);
    close(pair[1]);
}

TEST_F(IndicesTest, ReadRangeFromFilesWithoutKeepingThemOpen) {
    auto makeIndex = [](const char *name, int low, int high) {
        tDb db;
        ASSERT_EQ(DbOpen(&db, (std::string("index2/") + name).c_str(), nullptr,
                         "CREATE TABLE articles (number INTEGER PRIMARY KEY, subject TEXT);"),
                  E_OK);
        for (int i = low; i <= high; i++)
            ASSERT_EQ(DbExec(&db, ("INSERT INTO articles VALUES(" + std::to_string(i) + ",'s');").c_str()), E_OK);
        ASSERT_EQ(DbCommitClose(&db), E_OK);
    };
    makeIndex("Alt.Full", 5, 9);
    makeIndex("alt.empty", 1, 0);
    struct {
        const char *name;
        bool missingOk;
        tDiag diag;
        long low, high, count;
    } cases[] = {
        {"alt.full", false, E_OK, 5, 9, 5},  // found under another spelling
        {"alt.empty", false, E_OK, 1, 1000, 1000},
        {"alt.missing", true, E_OK, 1, 1000, 1000},
        {"alt.missing", false, E_FILE_MISSING, 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        long low = 0, high = 0, count = 0;
        ASSERT_EQ(IndicesReadRange(indices, c.name, &low, &high, &count, c.missingOk, -1), c.diag);
        if (c.diag == E_OK) {
            EXPECT_EQ(low, c.low);
            EXPECT_EQ(high, c.high);
            EXPECT_EQ(count, c.count);
        }
    }
    EXPECT_EQ(indices->list.next, &indices->list);  // nothing kept
    EXPECT_FALSE(std::filesystem::exists("index2/alt.missing"));

    tIndexEntry *e = Open("alt.loaded");  // a loaded entry answers from memory
    long low, high, count;
    ASSERT_EQ(IndicesReadRange(indices, "alt.loaded", &low, &high, &count, false, -1), E_OK);
    EXPECT_EQ(high, 20);
    IndicesRelease(e, 2);
}

int AppendText(void *output, tLog *, const char *text) {
    *(std::string *)output += text;
    return 0;
}
int FailAfterHeader(void *output, tLog *, const char *) { return (*(int *)output)++ ? -1 : 0; }

TEST_F(IndicesTest, ReportListsEntriesWithFlags) {
    tIndexEntry *a = Open("alt.a", true);
    tIndexEntry *b = Open("alt.b");
    tIndexEntry *b2 = Open("alt.b");
    std::string text;
    ASSERT_EQ(IndicesReportTo(indices, AppendText, &text, nullptr, false), E_OK);
    EXPECT_EQ(text,
              "USR ARTICLES WAIT FLAGS NAME\r\n"
              "2   11          0 L     alt.b\r\n"
              "1   11          0 TLM   alt.a\r\n");
    std::string html;
    ASSERT_EQ(IndicesReportTo(indices, AppendText, &html, nullptr, true), E_OK);
    EXPECT_NE(html.find("Accessed news-groups"), std::string::npos);
    EXPECT_NE(html.find("<tr><td>1</td><td>11</td><td>0</td><td>TLM</td><td>alt.a</td></tr>\r\n</table>\r\n"),
              std::string::npos);
    int writes = 0;
    EXPECT_EQ(IndicesReportTo(indices, FailAfterHeader, &writes, nullptr, false), E_CLIENT_DISCONNECTED);
    EXPECT_EQ(Users(a), 1);
    EXPECT_EQ(Users(b), 2);
    IndicesRelease(a, 0);
    IndicesRelease(b, 0);
    IndicesRelease(b2, 0);
}

TEST_F(IndicesTest, CloseSyncsWhatIsLeft) {
    tIndexEntry *a = Open("alt.a", true);
    tIndexEntry *b = Open("alt.b", true);
    Fake(b)->syncFails = true;
    IndicesRelease(a, 0);
    (void)b;  // still in use at shutdown
    IndicesClose(indices);
    indices = nullptr;
    EXPECT_EQ(freedCount, 2);
    std::string journal = ReadWholeFile("journal");
    EXPECT_NE(journal.find("Group alt.b not saved.\n"), std::string::npos);
    EXPECT_EQ(journal.find("Group alt.a not saved."), std::string::npos);
}

TEST_F(IndicesTest, CompactTaskReadsEveryIndexButJournals) {
    EXPECT_GE(CompactTask(indices), time(nullptr) + 1);  // no "logs": soon again
    EXPECT_LE(CompactTask(indices), time(nullptr) + 2);
    std::filesystem::create_directory("logs");
    ASSERT_TRUE(WriteWholeFile("index2/alt.bad", std::string(4096, 'x')));
    ASSERT_TRUE(WriteWholeFile("index2/alt.bad-journal", "j"));
    ASSERT_TRUE(WriteWholeFile("index2/ blank", "j"));
    time_t again = CompactTask(indices);
    EXPECT_GE(again, time(nullptr) + 17990);
    EXPECT_NE(ReadWholeFile("logs/compact").find("Compacting datasets.\n"), std::string::npos);
    std::string journal = ReadWholeFile("journal");
    EXPECT_NE(journal.find("index2/alt.bad"), std::string::npos) << journal;
    EXPECT_EQ(journal.find("-journal"), std::string::npos);
    EXPECT_EQ(journal.find("blank"), std::string::npos);
}

time_t ClockAheadByAMinute() { return time(nullptr) + 60; }

TEST_F(IndicesTest, SystemSchedulerRunsTheSyncFreeTask) {
    ASSERT_EQ(TasksInit(), E_OK);
    taskScheduler.now = ClockAheadByAMinute;  // every sync/free is due at once
    std::thread loop([] { SchedulerRun(&taskScheduler); });
    IndicesUseScheduler(indices, &taskScheduler);

    tIndexEntry *e = Open("alt.sched", true);
    IndicesRelease(e, 0);
    for (int i = 0; i < 2000 && freedCount == 0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(freedCount, 1);
    EXPECT_GT(CompactTaskSchedule(indices, &taskScheduler, time(nullptr) + 3600), 0);

    SchedulerStop(&taskScheduler);
    loop.join();
    PoolWaitAll(&taskPool);
    TasksRelease();
}

}  // namespace
