#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

int ListenLoopback(int *port) {
    *port = 0;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, (sockaddr *)&a, sizeof a) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, (sockaddr *)&a, &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

bool Readable(int fd, int stopFd, int ms) {
    pollfd p[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        int n = poll(p, 2, ms);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || p[1].revents) return false;
        return p[0].revents != 0;
    }
}

bool SendAll(int fd, const std::string &s) {
    size_t sent = 0;
    while (sent < s.size()) {
        ssize_t n = send(fd, s.data() + sent, s.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += (size_t)n;
    }
    return true;
}

tStopPipe::tStopPipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
        readEnd = fds[0];
        writeEnd = fds[1];
    }
}

tStopPipe::~tStopPipe() {
    Stop();
    if (readEnd >= 0) close(readEnd);
}

void tStopPipe::Stop() {
    if (writeEnd >= 0) close(writeEnd);
    writeEnd = -1;
}

tLoopbackServer::tLoopbackServer(tServe serve) : serve_(std::move(serve)) {
    listener_ = ListenLoopback(&port_);
    if (listener_ >= 0) listenThread_ = std::thread([this] { Listen(); });
}

tLoopbackServer::~tLoopbackServer() {
    Stop();
    if (listener_ >= 0) close(listener_);
}

void tLoopbackServer::Stop() {
    stop_.Stop();
    if (listenThread_.joinable()) listenThread_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> g(lock_);
        threads.swap(threads_);
    }
    for (auto &t : threads) t.join();
}

int tLoopbackServer::Accepted() {
    std::lock_guard<std::mutex> g(lock_);
    return accepted_;
}

int tLoopbackServer::Open() {
    std::lock_guard<std::mutex> g(lock_);
    return open_;
}

void tLoopbackServer::Listen() {
    // Bounded: at most 10 minutes of listening.
    for (int rounds = 0; rounds < 6000; rounds++) {
        pollfd p[2] = {{listener_, POLLIN, 0}, {stop_.readEnd, POLLIN, 0}};
        if (poll(p, 2, 100) < 0) return;
        if (p[1].revents) return;
        if (!(p[0].revents & POLLIN)) continue;
        int conn = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) continue;
        std::lock_guard<std::mutex> g(lock_);
        int index = accepted_++;
        open_++;
        threads_.emplace_back([this, conn, index] {
            serve_(conn, index);
            close(conn);
            std::lock_guard<std::mutex> g(lock_);
            open_--;
        });
    }
}
