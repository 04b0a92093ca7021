#include "tests/support/scriptnntp.h"

#include <chrono>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Readable within ms, and not stopped.
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

tScriptNntp::tScriptNntp(Handler handler, std::string welcome)
    : handler_(std::move(handler)), welcome_(std::move(welcome)) {
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

tScriptNntp::~tScriptNntp() {
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

int tScriptNntp::Accepted() {
    std::lock_guard<std::mutex> g(lock_);
    return accepted_;
}

std::vector<std::string> tScriptNntp::Commands() {
    std::lock_guard<std::mutex> g(lock_);
    return commands_;
}

void tScriptNntp::Listen() {
    // Bounded: at most 10 minutes of listening.
    for (int rounds = 0; rounds < 6000; rounds++) {
        pollfd p[2] = {{listener_, POLLIN, 0}, {stopRead_, POLLIN, 0}};
        if (poll(p, 2, 100) < 0) return;
        if (p[1].revents) return;
        if (!(p[0].revents & POLLIN)) continue;
        int conn = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) continue;
        std::lock_guard<std::mutex> g(lock_);
        int index = accepted_++;
        threads_.emplace_back([this, conn, index] { Serve(conn, index); });
    }
}

void tScriptNntp::Serve(int conn, int index) {
    bool silent = !SendAll(conn, welcome_ + "\r\n");
    std::string line;
    char buffer[4096];
    while (Readable(conn, stopRead_, 60000)) {
        ssize_t n = recv(conn, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        if (silent) continue;
        line.append(buffer, (size_t)n);
        size_t eol;
        bool closing = false;
        while (!silent && (eol = line.find('\n')) != std::string::npos) {
            std::string command = line.substr(0, eol);
            line.erase(0, eol + 1);
            if (!command.empty() && command.back() == '\r') command.pop_back();
            tScriptReply reply;
            {
                std::lock_guard<std::mutex> g(lock_);
                commands_.push_back(command);
                if (command == "QUIT")
                    reply = {"205 bye\r\n", true, false};
                else
                    reply = handler_(index, command);
            }
            bool sent = true;
            if (reply.trickle) {
                for (size_t at = 0, i = 0; at < reply.text.size() && sent; at += i % 4 + 1, i++) {
                    sent = SendAll(conn, reply.text.substr(at, i % 4 + 1));
                    std::this_thread::sleep_for(std::chrono::microseconds(300));
                }
            } else {
                sent = SendAll(conn, reply.text);
            }
            if (!sent || reply.close) {
                closing = true;
                break;
            }
            silent = reply.hang;
        }
        if (closing) break;
    }
    close(conn);
}
