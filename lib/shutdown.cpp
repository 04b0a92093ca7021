#include "lib/shutdown.h"

#include <mutex>

#include "lib/tasks.h"

std::atomic<int> shutdownCode{0};

namespace {

struct tHook {
    void (*fn)(void *);
    void *arg;
};

std::mutex hookLock;                 // guards hooks, hookCount
tHook hooks[16];                     // guarded by hookLock
int hookCount = 0;                   // guarded by hookLock
std::atomic<bool> requested{false};

}  // namespace

void RequestShutdown(int code) {
    int expected = 0;
    shutdownCode.compare_exchange_strong(expected, code);
    requested.store(true);
    SchedulerStop(&taskScheduler);
    tHook copy[16];
    int n;
    {
        std::lock_guard<std::mutex> g(hookLock);
        n = hookCount;
        for (int i = 0; i < n; i++) copy[i] = hooks[i];
    }
    for (int i = 0; i < n; i++) copy[i].fn(copy[i].arg);
}

bool ShutdownRequested() { return requested.load() || shutdownCode.load() != 0; }

bool ShutdownAddHook(void (*fn)(void *), void *arg) {
    std::lock_guard<std::mutex> g(hookLock);
    if (hookCount >= 16) return false;
    hooks[hookCount++] = {fn, arg};
    return true;
}

void ShutdownRemoveHook(void (*fn)(void *), void *arg) {
    std::lock_guard<std::mutex> g(hookLock);
    for (int i = 0; i < hookCount; i++) {
        if (hooks[i].fn == fn && hooks[i].arg == arg) {
            hooks[i] = hooks[--hookCount];
            return;
        }
    }
}

void ShutdownReset() {
    shutdownCode.store(0);
    requested.store(false);
}
