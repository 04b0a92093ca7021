// Test support: an NNTP server on 127.0.0.1 whose answers a test computes.
//
// Every accepted connection is served on its own thread: the welcome line,
// then for each command line the handler's reply (called under one lock, in
// order of arrival, with the connection's index counted from 0 and the
// command without its CR LF). A reply's text is sent as it stands; then the
// connection is closed (close) or left silent until the client closes it
// (hang). With trickle the text goes out in pieces of 1 to 4 bytes, so that
// a reader meets every seam. QUIT is answered "205 bye" without asking the handler.
//
// Every wait is bounded; the destructor closes everything and joins.
#pragma once

#include "tests/support/loopback.h"

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct tScriptReply {
    std::string text;
    bool close = false;  // close the connection after the text
    bool hang = false;   // send nothing more on this connection
    bool trickle = false;  // send the text in pieces of 1 to 4 bytes
};

class tScriptNntp {
public:
    using Handler = std::function<tScriptReply(int connection, const std::string &command)>;

    explicit tScriptNntp(Handler handler, std::string welcome = "200 script server ready");
    ~tScriptNntp();
    tScriptNntp(const tScriptNntp &) = delete;
    tScriptNntp &operator=(const tScriptNntp &) = delete;

    int port() const { return server_.port(); }
    int Accepted() { return server_.Accepted(); }
    std::vector<std::string> Commands();  // every command received, in order

private:
    void Serve(int conn, int index);

    Handler handler_;
    std::string welcome_;
    std::mutex lock_;                    // serialises the handler and guards what follows
    std::vector<std::string> commands_;
    tLoopbackServer server_;             // last: starts serving once the rest is set up
};
