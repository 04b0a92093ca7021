// Counting semaphores with a maximum count.
//
// A tSemaphore is a count guarded by a mutex and a condition variable (on the
// monotonic clock, so waits with a time-out ignore changes of the wall
// clock). SemaphoreRelease adds to the count and fails rather than pass the
// maximum; SemaphoreWait takes one count, waiting at most a given time.
//
// The mutex and condition variable live for the whole life of the object
// (constructor and destructor), so a semaphore embedded in a long-lived
// struct can be released at any moment, even before SemaphoreInit has set its
// counts; SemaphoreInit only sets the counts.
//
// Failures set errno (EINVAL, EOVERFLOW, ELIB_TIMEOUT) and the thread's last
// socket error (the Winsock-style value of the same meaning, ESOCK_TIMEOUT
// for a time-out), so that E_SEMAPHORE and E_ERRNO both read right.
//
// Threading: every function may be called from any thread. Destroying a
// semaphore while a thread still waits on it is not allowed; destroying it
// right after the waiter was woken is (the releasing thread touches nothing
// after the count is handed over).
#pragma once

#include <cstdint>
#include <pthread.h>

struct tSemaphore {
    pthread_mutex_t mutex;  // guards count and maximum
    pthread_cond_t cond;    // signalled when count grows
    int count = 0;          // guarded by mutex
    int maximum = 1;        // guarded by mutex

    tSemaphore();
    ~tSemaphore();
    tSemaphore(const tSemaphore &) = delete;
    tSemaphore &operator=(const tSemaphore &) = delete;
};

// Sets the count to initial and the maximum count to maximum. Returns 0, or
// -1 with EINVAL when initial is negative, maximum is below 1 or initial
// exceeds maximum. Must not race with waiters (call before sharing).
[[nodiscard]] int SemaphoreInit(tSemaphore *sem, int initial, int maximum);

// Adds count (1 or more) and wakes as many waiters. Returns 0, or -1 with
// EOVERFLOW (count unchanged) when the result would pass the maximum, or
// EINVAL when count is below 1.
int SemaphoreRelease(tSemaphore *sem, int count = 1);

// Takes one count, waiting at most milliseconds (negative: without limit,
// 0: only tries). Returns 1 when a count was taken, 0 on time-out (errno
// ELIB_TIMEOUT, last socket error ESOCK_TIMEOUT).
[[nodiscard]] int SemaphoreWait(tSemaphore *sem, int64_t milliseconds);

// The current count (for reports and tests; it may change at once).
int SemaphoreCount(tSemaphore *sem);
