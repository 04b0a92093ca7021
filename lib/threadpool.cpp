#include "lib/threadpool.h"

#include <cerrno>
#include <climits>
#include <new>
#include <pthread.h>

#include "lib/diag.h"

namespace {

// The slots semaphore's maximum count: at least 256, and never below the
// limit (the task pool's limit is POOL_NO_LIMIT).
constexpr int kMinSlotMaximum = 256;

struct tPoolStart {
    tThreadPool *pool;
    tPoolFunction function;
    void *argument;
};

void *PoolThread(void *raw) {
    tPoolStart start = *static_cast<tPoolStart *>(raw);
    delete static_cast<tPoolStart *>(raw);
    start.function(start.argument);
    PoolEnd(start.pool);
    return nullptr;
}

}  // namespace

int PoolInit(tThreadPool *pool, int limit) {
    if (limit < 0) {
        errno = EINVAL;
        return -1;
    }
    if (SemaphoreInit(&pool->slots, limit, limit > kMinSlotMaximum ? limit : kMinSlotMaximum) < 0) return -1;
    if (SemaphoreInit(&pool->ended, 0, INT_MAX) < 0) return -1;
    std::lock_guard<std::mutex> g(pool->lock);
    pool->running = 0;
    pool->free = limit;
    pool->limit = limit;
    return 0;
}

int PoolStart(tThreadPool *pool, tPoolFunction function, void *argument, int limited,
              const char * /*description*/) {
    {
        std::lock_guard<std::mutex> g(pool->lock);
        if ((limited && pool->free <= 0) || pool->limit == 0) {
            errno = ELIB_POOL_EXHAUSTED;
            return -1;
        }
        pool->running++;
        pool->free--;
    }
    // A count is always there for a limited start; an unlimited start may
    // wait here for a thread of the pool to end.
    while (SemaphoreWait(&pool->slots, -1) != 1) {
    }
    tPoolStart *start = new (std::nothrow) tPoolStart{pool, function, argument};
    int err = 0;
    if (!start) {
        err = ELIB_OUT_OF_MEMORY;
    } else {
        pthread_attr_t attr;
        err = pthread_attr_init(&attr);
        if (err == 0) {
            pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
            err = pthread_attr_setstacksize(&attr, POOL_STACK_SIZE);
            pthread_t thread;
            if (err == 0) err = pthread_create(&thread, &attr, PoolThread, start);
            pthread_attr_destroy(&attr);
        }
        if (err != 0) delete start;
    }
    if (err != 0) {
        PoolEnd(pool);
        errno = err;
        return -1;
    }
    return 0;
}

void PoolEnd(tThreadPool *pool) {
    SemaphoreRelease(&pool->slots);
    // `ended` is released under the lock: PoolWaitAll must read running 0
    // only after this thread's last touch of the pool.
    std::lock_guard<std::mutex> g(pool->lock);
    pool->running--;
    pool->free++;
    SemaphoreRelease(&pool->ended);
}

void PoolWaitAll(tThreadPool *pool) {
    for (;;) {
        {
            std::lock_guard<std::mutex> g(pool->lock);
            if (pool->running <= 0) return;
        }
        while (SemaphoreWait(&pool->ended, -1) != 1) {
        }
    }
}

int PoolRunning(tThreadPool *pool) {
    std::lock_guard<std::mutex> g(pool->lock);
    return pool->running;
}

void PoolRelease(tThreadPool *pool) {
    std::lock_guard<std::mutex> g(pool->lock);
    pool->running = 0;
    pool->free = 0;
    pool->limit = 0;
}
