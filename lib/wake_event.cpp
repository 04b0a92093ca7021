#include "lib/wake_event.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

int WakeEventCreate(tWakeEvent *event) {
    event->fd = eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK | EFD_CLOEXEC);
    return event->fd < 0 ? -1 : 0;
}

int WakeEventSignal(tWakeEvent *event, int count) {
    uint64_t n = (uint64_t)count;
    for (;;) {
        if (write(event->fd, &n, sizeof n) == (ssize_t)sizeof n) return 0;
        if (errno != EINTR) return -1;
    }
}

int WakeEventWait(tWakeEvent *event, int watchSocket) {
    for (;;) {
        struct pollfd fds[2] = {{event->fd, POLLIN, 0}, {watchSocket, POLLIN, 0}};
        int n = poll(fds, watchSocket >= 0 ? 2 : 1, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (watchSocket >= 0 && fds[1].revents) return 0;
        if (fds[0].revents & POLLIN) {
            uint64_t one;
            if (read(event->fd, &one, sizeof one) == (ssize_t)sizeof one) return 1;
            if (errno != EAGAIN && errno != EINTR) return -1;
            // another waiter took it first: wait again
        } else if (fds[0].revents) {
            errno = EBADF;
            return -1;
        }
    }
}

void WakeEventClose(tWakeEvent *event) {
    if (event->fd >= 0) close(event->fd);
    event->fd = -1;
}
