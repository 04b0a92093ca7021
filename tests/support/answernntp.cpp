#include "tests/support/answernntp.h"

#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool Readable(int fd, int stopFd, int ms) {
    pollfd p[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    if (poll(p, 2, ms) <= 0) return false;
    return !(p[1].revents & (POLLIN | POLLHUP)) && (p[0].revents != 0);
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

}  // namespace

tAnswerNntp::tAnswerNntp(tAnswer answer) : answer_(std::move(answer)) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
        stopRead_ = fds[0];
        stopWrite_ = fds[1];
    }
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listener_, (sockaddr *)&a, sizeof a) == 0 && listen(listener_, 16) == 0 &&
        getsockname(listener_, (sockaddr *)&a, &len) == 0)
        port_ = ntohs(a.sin_port);
    listenThread_ = std::thread([this] { Listen(); });
}

tAnswerNntp::~tAnswerNntp() {
    if (stopWrite_ >= 0) close(stopWrite_);
    listenThread_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> g(lock_);
        threads.swap(threads_);
    }
    for (auto &t : threads) t.join();
    close(listener_);
    if (stopRead_ >= 0) close(stopRead_);
}

std::string tAnswerNntp::Commands() {
    std::lock_guard<std::mutex> g(lock_);
    return commands_;
}

void tAnswerNntp::Listen() {
    // Bounded: at most 10 minutes of listening.
    for (int rounds = 0; rounds < 6000; rounds++) {
        pollfd p[2] = {{listener_, POLLIN, 0}, {stopRead_, POLLIN, 0}};
        if (poll(p, 2, 100) < 0) return;
        if (p[1].revents) return;
        if (!(p[0].revents & POLLIN)) continue;
        int conn = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) continue;
        std::lock_guard<std::mutex> g(lock_);
        threads_.emplace_back([this, conn] { Serve(conn); });
    }
}

void tAnswerNntp::Serve(int conn) {
    std::string line;
    char buffer[4096];
    std::string pending;
    if (!SendAll(conn, "200 script\r\n")) {
        close(conn);
        return;
    }
    while (Readable(conn, stopRead_, 60000)) {
        ssize_t n = recv(conn, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        pending.append(buffer, (size_t)n);
        size_t eol;
        bool closing = false;
        while (!closing && (eol = pending.find('\n')) != std::string::npos) {
            line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            {
                std::lock_guard<std::mutex> g(lock_);
                commands_ += line + "\n";
            }
            if (line == "QUIT") {
                SendAll(conn, "205 bye\r\n");
                closing = true;
                break;
            }
            std::string answer = answer_(line);
            if (answer == "<close>") {
                closing = true;
            } else if (answer.rfind("<trickle>", 0) == 0) {
                // In pieces of 1 to 4 bytes, so that the reader meets every seam.
                std::string rest = answer.substr(9);
                for (size_t at = 0, i = 0; at < rest.size() && !closing; at += i % 4 + 1, i++) {
                    if (!SendAll(conn, rest.substr(at, i % 4 + 1))) closing = true;
                    std::this_thread::sleep_for(std::chrono::microseconds(300));
                }
            } else if (answer.rfind("<partial>", 0) == 0) {
                SendAll(conn, answer.substr(9));
                closing = true;
            } else if (!SendAll(conn, answer)) {
                closing = true;
            }
        }
        if (closing) break;
    }
    close(conn);
}
