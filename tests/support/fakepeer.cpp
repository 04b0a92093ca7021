#include "tests/support/fakepeer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back((char)(unsigned char)v);
    return s;
}

tFakePeer::tFakePeer(std::vector<tFakeScript> scripts, int stepSeconds)
    : scripts_(std::move(scripts)), stepSeconds_(stepSeconds) {
    received_.resize(scripts_.size());
    listener_ = ListenLoopback(&port_);
    if (listener_ < 0) {
        failures_.push_back("cannot listen");
        return;
    }
    thread_ = std::thread([this] { Run(); });
}

tFakePeer::~tFakePeer() {
    stop_.Stop();
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
}

void tFakePeer::Wait() {
    if (thread_.joinable()) thread_.join();
}

std::string tFakePeer::Received(size_t i) {
    std::lock_guard<std::mutex> g(lock_);
    return i < received_.size() ? received_[i] : "";
}

std::vector<std::string> tFakePeer::Failures() {
    std::lock_guard<std::mutex> g(lock_);
    return failures_;
}

int tFakePeer::Accepted() {
    std::lock_guard<std::mutex> g(lock_);
    return accepted_;
}

void tFakePeer::Run() {
    for (size_t i = 0; i < scripts_.size(); i++) {
        if (!Readable(listener_, stepSeconds_ * 1000)) return;
        int conn = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) return;
        {
            std::lock_guard<std::mutex> g(lock_);
            accepted_++;
        }
        Serve(conn, scripts_[i], i);
        close(conn);
    }
}

void tFakePeer::Serve(int conn, const tFakeScript &script, size_t index) {
    auto fail = [&](const std::string &what) {
        std::lock_guard<std::mutex> g(lock_);
        failures_.push_back("connection " + std::to_string(index) + ": " + what);
    };
    // Reads one chunk of at most n bytes; "" at end, timeout or stop.
    auto readSome = [&](size_t n, int ms) -> std::string {
        if (!Readable(conn, ms)) return "";
        char buf[4096];
        ssize_t got = recv(conn, buf, n < sizeof buf ? n : sizeof buf, 0);
        if (got <= 0) return "";
        std::string s(buf, (size_t)got);
        std::lock_guard<std::mutex> g(lock_);
        received_[index] += s;
        return s;
    };
    for (const tFakeStep &step : script.steps) {
        switch (step.kind) {
        case tFakeStep::EXPECT:
        case tFakeStep::READ: {
            size_t want = step.kind == tFakeStep::EXPECT ? step.bytes.size() : (size_t)step.count;
            std::string got;
            while (got.size() < want) {
                std::string s = readSome(want - got.size(), stepSeconds_ * 1000);
                if (s.empty()) break;
                got += s;
            }
            if (got.size() < want) {
                fail("short read: got " + std::to_string(got.size()) + " of " + std::to_string(want));
                return;
            }
            if (step.kind == tFakeStep::EXPECT && got != step.bytes) {
                fail("unexpected bytes");
                return;
            }
            break;
        }
        case tFakeStep::READ_LINE: {
            std::string got;
            while (got.empty() || got.back() != '\n') {
                std::string s = readSome(1, stepSeconds_ * 1000);
                if (s.empty()) {
                    fail("no line");
                    return;
                }
                got += s;
            }
            break;
        }
        case tFakeStep::SEND:
            if (!SendAll(conn, step.bytes)) return;  // the client went away
            break;
        case tFakeStep::SLEEP: {
            struct pollfd p = {stop_.readEnd, POLLIN, 0};
            poll(&p, 1, step.count);
            break;
        }
        case tFakeStep::STALL:
            // Hold the connection until the client closes it or we stop.
            while (!readSome(4096, -1).empty()) {
            }
            return;
        case tFakeStep::ECHO:
            for (;;) {
                std::string s = readSome(4096, -1);
                if (s.empty()) return;
                if (send(conn, s.data(), s.size(), MSG_NOSIGNAL) <= 0) return;
            }
        case tFakeStep::CLOSE:
            return;
        }
    }
}
