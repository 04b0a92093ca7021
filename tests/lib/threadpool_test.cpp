#include "lib/threadpool.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/eventually.h"

#include "lib/diag.h"
#include "lib/semaphore.h"

namespace {

// A pool thread body that counts its start and blocks until its gate opens.
struct tBlocker {
    tSemaphore gate;
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    tBlocker() { EXPECT_EQ(SemaphoreInit(&gate, 0, 1000), 0); }
    static void Run(void *raw) {
        tBlocker *b = static_cast<tBlocker *>(raw);
        b->started++;
        EXPECT_EQ(SemaphoreWait(&b->gate, 60000), 1);
        b->finished++;
    }
};

}  // namespace

TEST(Semaphore, CountsUpToItsMaximumAndTimesOut) {
    tSemaphore sem;
    ASSERT_EQ(SemaphoreInit(&sem, 1, 2), 0);
    EXPECT_EQ(SemaphoreRelease(&sem), 0);
    SockSetLastError(0);
    EXPECT_EQ(SemaphoreRelease(&sem), -1);  // would pass the maximum
    EXPECT_EQ(errno, EOVERFLOW);
    EXPECT_STRNE(DiagText(E_SEMAPHORE), "Semaphore error not set or value has been lost");
    EXPECT_EQ(SemaphoreCount(&sem), 2);
    EXPECT_EQ(SemaphoreWait(&sem, 0), 1);
    EXPECT_EQ(SemaphoreWait(&sem, -1), 1);
    EXPECT_EQ(SemaphoreWait(&sem, 0), 0);
    EXPECT_EQ(errno, ELIB_TIMEOUT);
    EXPECT_STREQ(DiagText(E_SEMAPHORE), "Operation timed out");
    EXPECT_EQ(SemaphoreWait(&sem, 5), 0);

    EXPECT_EQ(SemaphoreInit(&sem, 3, 2), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(SemaphoreInit(&sem, -1, 2), -1);
    EXPECT_EQ(SemaphoreInit(&sem, 0, 0), -1);
}

TEST(Semaphore, ReleaseOfSeveralWakesAsManyWaiters) {
    tSemaphore sem;
    ASSERT_EQ(SemaphoreInit(&sem, 0, 10), 0);
    std::atomic<int> woken{0};
    std::thread a([&] { woken += SemaphoreWait(&sem, -1); });
    std::thread b([&] { woken += SemaphoreWait(&sem, -1); });
    EXPECT_EQ(SemaphoreRelease(&sem, 2), 0);
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_EQ(SemaphoreCount(&sem), 0);
}

TEST(ThreadPool, LimitedStartIsRefusedWhenFullAndQueuedStartWaitsForASlot) {
    tThreadPool pool;
    ASSERT_EQ(PoolInit(&pool, 2), 0);
    tBlocker b;
    ASSERT_EQ(PoolStart(&pool, tBlocker::Run, &b, 1, "one"), 0);
    ASSERT_EQ(PoolStart(&pool, tBlocker::Run, &b, 1, "two"), 0);
    EXPECT_TRUE(Eventually([&] { return b.started == 2; }));

    errno = 0;
    EXPECT_EQ(PoolStart(&pool, tBlocker::Run, &b, 1, "three"), -1);
    EXPECT_EQ(errno, ELIB_POOL_EXHAUSTED);
    EXPECT_STREQ(DiagText(E_ERRNO), "Thread pool temporily exhausted");
    EXPECT_EQ(PoolRunning(&pool), 2);

    // A queueing start blocks until a thread of the pool ends.
    std::atomic<int> queuedRc{1};
    std::thread listener([&] { queuedRc = PoolStart(&pool, tBlocker::Run, &b, 0, "queued"); });
    EXPECT_TRUE(Eventually([&] { return PoolRunning(&pool) == 3; }));  // counted, waiting for a slot
    EXPECT_EQ(b.started.load(), 2);
    EXPECT_EQ(queuedRc.load(), 1);
    EXPECT_EQ(SemaphoreRelease(&b.gate), 0);  // one of the two ends
    listener.join();
    EXPECT_EQ(queuedRc.load(), 0);
    EXPECT_TRUE(Eventually([&] { return b.started == 3; }));

    EXPECT_EQ(SemaphoreRelease(&b.gate, 2), 0);
    PoolWaitAll(&pool);
    EXPECT_EQ(b.finished.load(), 3);
    EXPECT_EQ(PoolRunning(&pool), 0);
    // All slots are back.
    EXPECT_EQ(SemaphoreCount(&pool.slots), 2);
    PoolRelease(&pool);
}

TEST(ThreadPool, PoolOfLimitZeroRefusesEvenAQueueingStart) {
    tThreadPool pool;
    ASSERT_EQ(PoolInit(&pool, 0), 0);
    tBlocker b;
    EXPECT_EQ(PoolStart(&pool, tBlocker::Run, &b, 0, "never"), -1);
    EXPECT_EQ(errno, ELIB_POOL_EXHAUSTED);
    EXPECT_EQ(PoolRunning(&pool), 0);
    EXPECT_EQ(PoolInit(&pool, -1), -1);
}

TEST(ThreadPool, UnlimitedPoolNeverRefusesAndWaitAllWaitsForEveryThread) {
    tThreadPool pool;
    ASSERT_EQ(PoolInit(&pool, POOL_NO_LIMIT), 0);
    tBlocker b;
    constexpr int kThreads = 300;  // more than the slots semaphore's usual maximum
    for (int i = 0; i < kThreads; i++) ASSERT_EQ(PoolStart(&pool, tBlocker::Run, &b, 1, "t"), 0);
    std::atomic<int> finishedAtReturn{-1};
    std::thread waiter([&] {
        PoolWaitAll(&pool);
        finishedAtReturn = b.finished.load();
    });
    EXPECT_EQ(SemaphoreRelease(&b.gate, kThreads), 0);
    waiter.join();
    EXPECT_EQ(finishedAtReturn.load(), kThreads);
}

TEST(ThreadPool, ThreadsHaveRoomForDeepLibraryCalls) {
    tThreadPool pool;
    ASSERT_EQ(PoolInit(&pool, 1), 0);
    static size_t stackSize;
    stackSize = 0;
    ASSERT_EQ(PoolStart(&pool,
                        [](void *) {
                            pthread_attr_t attr;
                            if (pthread_getattr_np(pthread_self(), &attr) == 0) {
                                pthread_attr_getstacksize(&attr, &stackSize);
                                pthread_attr_destroy(&attr);
                            }
                        },
                        nullptr, 1, "stack"),
              0);
    PoolWaitAll(&pool);
    EXPECT_GE(stackSize, size_t(256 * 1024));
}
