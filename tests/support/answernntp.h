// Test support: an NNTP server on 127.0.0.1 whose answers a test computes
// from each command, for the article answers a real server will not give on
// demand (refusals, wrong or empty articles, a drop in the middle).
//
// Every connection gets "200 script\r\n" and then, per command line (without
// its CR LF), the text answer(command) returns, sent as it is. QUIT is
// answered "205 bye" and closes; an answer "<close>" closes at once without
// answering; an answer that begins with "<partial>" sends the rest and
// closes; one that begins with "<trickle>" sends the rest in pieces of 1 to
// 4 bytes. Every connection runs on its own thread; the destructor closes
// everything and joins.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class tAnswerNntp {
public:
    using tAnswer = std::function<std::string(const std::string &command)>;
    explicit tAnswerNntp(tAnswer answer);
    ~tAnswerNntp();
    tAnswerNntp(const tAnswerNntp &) = delete;
    tAnswerNntp &operator=(const tAnswerNntp &) = delete;

    int port() const { return port_; }
    std::string Commands();  // every command received, one per line

private:
    void Listen();
    void Serve(int conn);

    tAnswer answer_;
    int listener_ = -1;
    int port_ = 0;
    int stopRead_ = -1, stopWrite_ = -1;
    std::thread listenThread_;
    std::mutex lock_;
    std::vector<std::thread> threads_;  // guarded by lock_
    std::vector<int> conns_;            // guarded by lock_
    std::string commands_;              // guarded by lock_
};
