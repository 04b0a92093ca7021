#include "tests/support/fakenntp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <chrono>
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

void SendAll(int fd, const std::string &s) {
    size_t sent = 0;
    while (sent < s.size()) {
        ssize_t n = send(fd, s.data() + sent, s.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += (size_t)n;
    }
}

bool StartsWith(const std::string &s, const char *p) { return s.rfind(p, 0) == 0; }

}  // namespace

tFakeNntp::tFakeNntp(std::vector<std::string> welcomes, int dropAfter, int delayMs)
    : welcomes_(std::move(welcomes)), dropAfter_(dropAfter), delayMs_(delayMs) {
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

tFakeNntp::~tFakeNntp() {
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

int tFakeNntp::Accepted() {
    std::lock_guard<std::mutex> g(lock_);
    return accepted_;
}

int tFakeNntp::Open() {
    std::lock_guard<std::mutex> g(lock_);
    return open_;
}

void tFakeNntp::SetScript(tFakeNntpScript script) {
    std::lock_guard<std::mutex> g(lock_);
    script_ = std::move(script);
}

std::string tFakeNntp::Commands() {
    std::lock_guard<std::mutex> g(lock_);
    return commands_;
}

void tFakeNntp::Listen() {
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
        open_++;
        threads_.emplace_back([this, conn, index] { Serve(conn, index); });
    }
}

void tFakeNntp::Serve(int conn, int index) {
    const std::string &welcome =
        welcomes_.empty() ? std::string("200 fake ready") : welcomes_[std::min<size_t>(index, welcomes_.size() - 1)];
    auto finish = [&] {
        close(conn);
        std::lock_guard<std::mutex> g(lock_);
        open_--;
    };
    if (welcome == "<close>") return finish();
    if (welcome.empty()) {
        // Silent: wait until the client closes or the server stops.
        char c;
        while (Readable(conn, stopRead_, 60000) && recv(conn, &c, 1, 0) > 0) {}
        return finish();
    }
    SendAll(conn, welcome + "\r\n");
    if (welcome[0] < '0' || welcome[0] > '9') return finish();  // junk: nothing more
    std::string line;
    int commands = 0;
    char c;
    while (Readable(conn, stopRead_, 60000) && recv(conn, &c, 1, 0) == 1) {
        if (c != '\n') {
            line += c;
            continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        commands++;
        {
            std::lock_guard<std::mutex> g(lock_);
            commands_ += line + "\n";
        }
        int drop = dropAfter_.load();
        if (drop >= 0 && commands > drop) break;
        if (delayMs_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_));
        if (line == "QUIT") {
            SendAll(conn, "205 bye\r\n");
            break;
        }
        tFakeNntpScript script;
        {
            std::lock_guard<std::mutex> g(lock_);
            script = script_;
        }
        std::string answer = script ? script(index, line) : std::string();
        if (!answer.empty()) {
            static const std::string closeMark = "<close>";
            bool closing = answer.size() >= closeMark.size() &&
                           answer.compare(answer.size() - closeMark.size(), closeMark.size(), closeMark) == 0;
            if (closing) answer.resize(answer.size() - closeMark.size());
            SendAll(conn, answer);
            if (closing) break;
        } else if (line == "MODE READER") SendAll(conn, "200 reader\r\n");
        else if (StartsWith(line, "STAT")) SendAll(conn, "223 1 <1@fake> status\r\n");
        else if (StartsWith(line, "AUTHINFO USER")) SendAll(conn, "381 more\r\n");
        else if (StartsWith(line, "AUTHINFO PASS")) SendAll(conn, "281 ok\r\n");
        else SendAll(conn, "500 what?\r\n");
        line.clear();
    }
    finish();
}
