#include "lib/semaphore.h"

#include <cerrno>
#include <ctime>

#include "lib/diag.h"
#include "lib/panic.h"

namespace {

int Fail(int err) {
    errno = err;
    SockSetLastError(err == ELIB_TIMEOUT ? ESOCK_TIMEOUT : SockErrorFromErrno(err));
    return -1;
}

// Absolute monotonic deadline milliseconds from now (capped at ten years so
// that huge waits cannot overflow).
timespec DeadlineAfter(int64_t milliseconds) {
    constexpr int64_t kMaxMs = int64_t(10) * 366 * 24 * 3600 * 1000;
    if (milliseconds > kMaxMs) milliseconds = kMaxMs;
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += milliseconds / 1000;
    ts.tv_nsec += (milliseconds % 1000) * 1000000;
    if (ts.tv_nsec >= 1000000000) {
        ts.tv_sec++;
        ts.tv_nsec -= 1000000000;
    }
    return ts;
}

}  // namespace

tSemaphore::tSemaphore() {
    MG_ASSERT(pthread_mutex_init(&mutex, nullptr) == 0);
    pthread_condattr_t attr;
    MG_ASSERT(pthread_condattr_init(&attr) == 0);
    MG_ASSERT(pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0);
    MG_ASSERT(pthread_cond_init(&cond, &attr) == 0);
    pthread_condattr_destroy(&attr);
}

tSemaphore::~tSemaphore() {
    pthread_cond_destroy(&cond);
    pthread_mutex_destroy(&mutex);
}

int SemaphoreInit(tSemaphore *sem, int initial, int maximum) {
    if (initial < 0 || maximum < 1 || initial > maximum) return Fail(EINVAL);
    pthread_mutex_lock(&sem->mutex);
    sem->count = initial;
    sem->maximum = maximum;
    pthread_mutex_unlock(&sem->mutex);
    return 0;
}

int SemaphoreRelease(tSemaphore *sem, int count) {
    if (count < 1) return Fail(EINVAL);
    pthread_mutex_lock(&sem->mutex);
    if (count > sem->maximum - sem->count) {
        pthread_mutex_unlock(&sem->mutex);
        return Fail(EOVERFLOW);
    }
    sem->count += count;
    if (count == 1)
        pthread_cond_signal(&sem->cond);
    else
        pthread_cond_broadcast(&sem->cond);
    pthread_mutex_unlock(&sem->mutex);
    return 0;
}

int SemaphoreWait(tSemaphore *sem, int64_t milliseconds) {
    pthread_mutex_lock(&sem->mutex);
    if (milliseconds < 0) {
        while (sem->count == 0) pthread_cond_wait(&sem->cond, &sem->mutex);
    } else if (sem->count == 0 && milliseconds > 0) {
        timespec deadline = DeadlineAfter(milliseconds);
        while (sem->count == 0) {
            if (pthread_cond_timedwait(&sem->cond, &sem->mutex, &deadline) == ETIMEDOUT) break;
        }
    }
    if (sem->count == 0) {
        pthread_mutex_unlock(&sem->mutex);
        Fail(ELIB_TIMEOUT);
        return 0;
    }
    sem->count--;
    pthread_mutex_unlock(&sem->mutex);
    return 1;
}

int SemaphoreCount(tSemaphore *sem) {
    pthread_mutex_lock(&sem->mutex);
    int n = sem->count;
    pthread_mutex_unlock(&sem->mutex);
    return n;
}
