#include "tests/support/fakenntp.h"

#include <algorithm>
#include <chrono>
#include <sys/socket.h>

namespace {

bool StartsWith(const std::string &s, const char *p) { return s.rfind(p, 0) == 0; }

}  // namespace

tFakeNntp::tFakeNntp(std::vector<std::string> welcomes, int dropAfter, int delayMs)
    : welcomes_(std::move(welcomes)),
      dropAfter_(dropAfter),
      delayMs_(delayMs),
      server_([this](int conn, int index) { Serve(conn, index); }) {}

tFakeNntp::~tFakeNntp() { server_.Stop(); }

void tFakeNntp::SetScript(tFakeNntpScript script) {
    std::lock_guard<std::mutex> g(lock_);
    script_ = std::move(script);
}

std::string tFakeNntp::Commands() {
    std::lock_guard<std::mutex> g(lock_);
    return commands_;
}

void tFakeNntp::Serve(int conn, int index) {
    const std::string &welcome =
        welcomes_.empty() ? std::string("200 fake ready") : welcomes_[std::min<size_t>(index, welcomes_.size() - 1)];
    if (welcome == "<close>") return;
    if (welcome.empty()) {
        // Silent: wait until the client closes or the server stops.
        char c;
        while (server_.Readable(conn, 60000) && recv(conn, &c, 1, 0) > 0) {}
        return;
    }
    SendAll(conn, welcome + "\r\n");
    if (welcome[0] < '0' || welcome[0] > '9') return;  // junk: nothing more
    std::string line;
    int commands = 0;
    char c;
    while (server_.Readable(conn, 60000) && recv(conn, &c, 1, 0) == 1) {
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
}
