// Thread pools: a bound on how many threads of one kind run at once.
//
// Every thread of a pool is started by PoolStart with an explicit stack size
// and detached; when its function returns, the pool's thread wrapper calls
// PoolEnd, which gives the slot back and wakes PoolWaitAll. Client listeners
// use a pool with their client limit: a limited start refuses at once when
// the pool is full, an unlimited one queues (waits for a slot). The task pool
// has the limit POOL_NO_LIMIT and so never refuses and never waits.
//
// Stack size: POOL_STACK_SIZE. A 32 KiB stack is far too small on Linux for
// SQLite and the resolver (glibc's getaddrinfo alone can take more), so pool
// threads get 256 KiB, and more under the sanitizers, whose instrumentation
// enlarges every frame.
//
// Threading: PoolStart, PoolEnd and PoolWaitAll may be called from any
// thread; the counters are guarded by the pool's lock, never held while
// waiting. PoolInit and PoolRelease run with no pool thread alive.
#pragma once

#include <cstddef>
#include <mutex>

#include "lib/semaphore.h"

constexpr int POOL_NO_LIMIT = 2147483647;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t POOL_STACK_SIZE = 1024 * 1024;
#else
constexpr size_t POOL_STACK_SIZE = 256 * 1024;
#endif

typedef void (*tPoolFunction)(void *argument);

struct tThreadPool {
    std::mutex lock;     // guards running, free
    tSemaphore slots;    // one count per thread that may still start
    tSemaphore ended;    // released each time a pool thread ends
    int running = 0;     // threads started and not ended; guarded by lock
    int free = 0;        // limit minus running (negative while starts queue); guarded by lock
    int limit = 0;       // as given to PoolInit; guarded by lock
};

// Sets up the pool for limit threads (0 or more): running 0, free = limit,
// `slots` holding limit counts. Returns 0, or -1 with errno EINVAL when limit
// is negative.
[[nodiscard]] int PoolInit(tThreadPool *pool, int limit);

// Starts a thread running function(argument). With limited set and no free
// slot it fails at once with errno ELIB_POOL_EXHAUSTED (so does any start into
// a pool of limit 0, which could never get a slot); otherwise it counts
// the thread as running, waits (without limit) for a slot, and starts the
// thread. Returns 0, or -1 with errno set (the thread could not be created:
// the error of pthread_create, or ELIB_OUT_OF_MEMORY), the slot given back.
// The description is for the caller's logs only.
[[nodiscard]] int PoolStart(tThreadPool *pool, tPoolFunction function, void *argument, int limited,
                            const char *description);

// Gives back one thread's slot: releases `slots`, decrements running,
// increments free and releases `ended`. The pool's thread wrapper calls it
// when the thread's function has returned; callers never call it for a
// thread that PoolStart started.
void PoolEnd(tThreadPool *pool);

// Waits until no thread of the pool is running.
void PoolWaitAll(tThreadPool *pool);

// Threads of the pool now running (a snapshot).
int PoolRunning(tThreadPool *pool);

// Tears the pool down after PoolWaitAll: nothing to free; resets the counts
// so that a stale pool refuses every start.
void PoolRelease(tThreadPool *pool);
