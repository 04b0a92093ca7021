// Scheduler throughput and idle cost.
//
// BM_ScheduleAndRun: schedules 100,000 short tasks round-robin over the
// twelve categories (default limits) while the loop runs, and waits until all
// have run; items/s is tasks per second end to end (scheduling, thread
// starts, late hand-overs).
// BM_IdleCpu: a scheduler whose only task is due in an hour, left alone for
// one second; reports the CPU time the loop thread and the whole process
// spent in that second.
#include <atomic>
#include <chrono>
#include <thread>
#include <ctime>
#include <pthread.h>

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include "lib/semaphore.h"
#include "lib/tasks.h"
#include "lib/threadpool.h"

namespace {

struct tCounter {
    std::atomic<int> left{0};
    tSemaphore done;
};

time_t ShortTask(void *raw, void *) {
    tCounter *c = static_cast<tCounter *>(raw);
    if (--c->left == 0) SemaphoreRelease(&c->done);
    return 0;
}

double CpuSeconds() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double ThreadCpuSeconds(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// A pool and a scheduler whose loop runs on its own thread.
struct tRunningScheduler {
    tThreadPool pool;
    tScheduler sched;
    std::thread loop;

    bool Init() {
        TaskCategoriesReset();
        return PoolInit(&pool, POOL_NO_LIMIT) >= 0 && SchedulerInit(&sched, &pool) >= 0;
    }
    void Run() {
        loop = std::thread([this] { SchedulerRun(&sched); });
    }
    void Stop() {
        SchedulerStop(&sched);
        loop.join();
        PoolWaitAll(&pool);
        SchedulerRelease(&sched);
    }
};

void BM_ScheduleAndRun(benchmark::State &state) {
    const int tasks = int(state.range(0));
    for (auto _ : state) {
        tRunningScheduler rs;
        if (!rs.Init()) {
            state.SkipWithError("init");
            return;
        }
        tCounter counter;
        (void)SemaphoreInit(&counter.done, 0, 1);
        counter.left = tasks;
        rs.Run();
        time_t now = time(nullptr);
        for (int i = 0; i < tasks; i++) {
            if (TaskSchedule(&rs.sched, ShortTask, &counter, nullptr, now, &taskCategories[i % TC_COUNT], "short",
                             0) < 0) {
                state.SkipWithError("schedule");
                break;
            }
        }
        (void)SemaphoreWait(&counter.done, -1);
        rs.Stop();
    }
    state.SetItemsProcessed(state.iterations() * tasks);
}
BENCHMARK(BM_ScheduleAndRun)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_IdleCpu(benchmark::State &state) {
    double spent = 0, loopSpent = 0;
    for (auto _ : state) {
        tRunningScheduler rs;
        if (!rs.Init()) {
            state.SkipWithError("init");
            return;
        }
        tCounter counter;
        (void)TaskSchedule(&rs.sched, ShortTask, &counter, nullptr, time(nullptr) + 3600,
                           &taskCategories[TC_UPDATE], "later", 0);
        rs.Run();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it settle
        clockid_t loopClock;
        pthread_getcpuclockid(rs.loop.native_handle(), &loopClock);
        double before = CpuSeconds(), loopBefore = ThreadCpuSeconds(loopClock);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        spent += CpuSeconds() - before;
        loopSpent += ThreadCpuSeconds(loopClock) - loopBefore;
        rs.Stop();
    }
    state.counters["process_cpu_us_per_idle_s"] = spent * 1e6 / double(state.iterations());
    state.counters["loop_cpu_us_per_idle_s"] = loopSpent * 1e6 / double(state.iterations());
}
BENCHMARK(BM_IdleCpu)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
