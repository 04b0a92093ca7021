#include "tests/support/scriptnntp.h"

#include <chrono>

#include <sys/socket.h>

tScriptNntp::tScriptNntp(Handler handler, std::string welcome)
    : handler_(std::move(handler)),
      welcome_(std::move(welcome)),
      server_([this](int conn, int index) { Serve(conn, index); }) {}

tScriptNntp::~tScriptNntp() { server_.Stop(); }

std::vector<std::string> tScriptNntp::Commands() {
    std::lock_guard<std::mutex> g(lock_);
    return commands_;
}

void tScriptNntp::Serve(int conn, int index) {
    bool silent = !SendAll(conn, welcome_ + "\r\n");
    std::string line;
    char buffer[4096];
    while (server_.Readable(conn, 60000)) {
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
}
