// Test support: a small scripted NNTP server on 127.0.0.1 for the failures a
// real server will not produce on demand.
//
// Every accepted connection is served on its own thread, so a client may
// hold several at once. Connection i gets welcome line i of the list (the
// last one repeats): a text is sent with CR LF added; "" says nothing (the
// connection stays silent until the client closes it); "<close>" closes at
// once; a welcome not starting with a digit is closed after sending. Then commands are answered: QUIT 205 (and close), MODE READER 200,
// STAT 223, AUTHINFO USER 381, AUTHINFO PASS 281, anything else 500. With
// dropAfter >= 0 a connection is closed, unanswered, at its command number
// dropAfter + 1 (counted from 1); delayMs delays every answer. A script
// (SetScript) answers any command but QUIT in place of the built-in answers.
//
// Every wait is bounded; the destructor closes everything and joins.
#pragma once

#include "tests/support/loopback.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Answers one command: called with the connection's index (0 first) and
// the command without its CR LF; returns the raw text to send (with its own
// CR LF), or "" for the built-in answer. A text ending in "<close>" sends
// what precedes it and closes the connection. Called on the connection's
// thread.
using tFakeNntpScript = std::function<std::string(int connection, const std::string &command)>;

class tFakeNntp {
public:
    explicit tFakeNntp(std::vector<std::string> welcomes, int dropAfter = -1, int delayMs = 0);
    ~tFakeNntp();
    tFakeNntp(const tFakeNntp &) = delete;
    tFakeNntp &operator=(const tFakeNntp &) = delete;

    int port() const { return server_.port(); }
    int Accepted() { return server_.Accepted(); }  // connections accepted so far
    int Open() { return server_.Open(); }          // connections not yet closed
    std::string Commands();         // every command received, in order, one per line
    void SetDropAfter(int n) { dropAfter_ = n; }
    void SetScript(tFakeNntpScript script);

private:
    void Serve(int conn, int index);

    std::vector<std::string> welcomes_;
    std::atomic<int> dropAfter_;
    int delayMs_;
    std::mutex lock_;
    std::string commands_;    // guarded by lock_
    tFakeNntpScript script_;  // guarded by lock_
    tLoopbackServer server_;  // last: starts serving once the rest is set up
};
