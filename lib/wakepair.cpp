// Wake pairs; see wakepair.h. On Linux a local socket pair gives exactly the
// behaviour of two connected loopback sockets without a listener.
#include "lib/wakepair.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

#include "lib/diag.h"
#include "lib/sock.h"

int WakePairCreate(tWakePair *pair) {
    pair->readEnd = pair->writeEnd = -1;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return SockFail(SockErrorFromErrno(errno));
    if (SocketSetBlocking(fds[0], false) != 0) {
        close(fds[1]);
        return CloseAndFail(fds[0]);
    }
    pair->readEnd = fds[0];
    pair->writeEnd = fds[1];
    return 0;
}

int WakePairSignal(tWakePair *pair) {
    char b = 1;
    return SendBytes(pair->writeEnd, &b, 1) == 1 ? 0 : -1;
}

int WakePairWait(tWakePair *pair, int milliseconds, int cancelSocket) {
    for (;;) {
        if (WaitReadableOrCancel(pair->readEnd, milliseconds, cancelSocket) < 0) return -1;
        char b;
        ssize_t n = recv(pair->readEnd, &b, 1, 0);
        if (n == 1) return 0;
        if (n == 0) return SockFail(WSAESHUTDOWN);
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return SockFail(SockErrorFromErrno(errno));
        if (milliseconds >= 0) return SockFail(ESOCK_TIMEOUT);
    }
}

int WakePairTake(tWakePair *pair) {
    char b;
    return pair->readEnd >= 0 && recv(pair->readEnd, &b, 1, MSG_DONTWAIT) == 1 ? 1 : 0;
}

void WakePairClose(tWakePair *pair) {
    SocketClose(pair->readEnd);
    SocketClose(pair->writeEnd);
    pair->readEnd = pair->writeEnd = -1;
}
