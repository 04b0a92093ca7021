#include "lib/console.h"

#include "lib/shutdown.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

std::atomic<void (*)(int)> handler{nullptr};
std::atomic<bool> installed{false};
std::atomic<bool> detached{false};
int wakePipe[2] = {-1, -1};     // written by the signal thread, read by the main thread
const int consoleSignals[] = {SIGINT, SIGTERM, SIGHUP};
sigset_t waitedSignals;         // set before the signal thread starts, then only read

void *SignalThread(void *) {
    for (;;) {
        int sig = 0;
        if (sigwait(&waitedSignals, &sig) != 0) continue;
        if (sig == SIGHUP && detached.load()) continue;
        void (*fn)(int) = handler.load();
        if (fn) fn(sig);
        char byte = 1;
        ssize_t n = write(wakePipe[1], &byte, 1);   // full pipe: a wake-up is already pending
        (void)n;
    }
    return nullptr;
}

void DrainWakePipe() {
    char buf[64];
    while (read(wakePipe[0], buf, sizeof buf) > 0) {
    }
}

// Waits until standard input is readable (1) or a console event arrived (0);
// -1 on a poll failure.
int WaitInputOrEvent() {
    for (;;) {
        struct pollfd fds[2] = {{0, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
        int nfds = wakePipe[0] >= 0 ? 2 : 1;
        int rc = poll(fds, (nfds_t)nfds, -1);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (nfds == 2 && fds[1].revents) return 0;
        if (fds[0].revents) return 1;
    }
}

}  // namespace

bool ConsoleControlInstall(void (*fn)(int)) {
    handler.store(fn);
    if (installed.exchange(true)) return true;
    if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        installed.store(false);
        return false;
    }
    // A signal that the parent set to be ignored (a background job of a
    // shell, nohup) stays ignored: it is neither blocked nor waited for.
    sigset_t set, old;
    sigemptyset(&set);
    for (int sig : consoleSignals) {
        struct sigaction current;
        if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) sigaddset(&set, sig);
    }
    waitedSignals = set;
    if (sigisemptyset(&set)) return true;   // nothing to wait for
    pthread_sigmask(SIG_BLOCK, &set, &old);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 65536);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, SignalThread, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        close(wakePipe[0]);
        close(wakePipe[1]);
        wakePipe[0] = wakePipe[1] = -1;
        installed.store(false);
        return false;
    }
    return true;
}

bool ConsoleIsInteractive() { return isatty(0) == 1; }

int ConsoleReadLine(char *buf, int size) {
    int len = 0;
    for (;;) {
        if (ShutdownRequested()) return -1;
        int ready = WaitInputOrEvent();
        if (ready < 0) return -1;
        if (ready == 0) {
            DrainWakePipe();
            continue;               // loop checks the shutdown request
        }
        char c;
        ssize_t got = read(0, &c, 1);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) {
            if (len == 0) return -1;
            break;                  // a last line without line end
        }
        if (c == '\n') break;
        if (len < size - 1) buf[len++] = c;
    }
    if (len > 0 && buf[len - 1] == '\r') len--;
    buf[len] = '\0';
    return len;
}

void ConsoleWaitKey() {
    if (wakePipe[0] >= 0) DrainWakePipe();
    for (;;) {
        int ready = WaitInputOrEvent();
        if (ready <= 0) return;
        char c;
        ssize_t got = read(0, &c, 1);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return;
    }
}

void ConsoleDetach() {
    detached.store(true);
    int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    for (int target = 0; target <= 2; target++) dup2(fd, target);
    if (fd > 2) close(fd);
}

bool ProcessLowerPriority() {
    errno = 0;
    return setpriority(PRIO_PROCESS, 0, 19) == 0;
}
