// Test support: an NNTP server on 127.0.0.1 whose answers a test computes
// from each command alone, for the article answers a real server will not
// give on demand (refusals, wrong or empty articles, a drop in the middle).
//
// A tScriptNntp with the welcome "200 script" whose answers carry their
// manner in a prefix: an answer "<close>" closes at once without answering;
// one that begins with "<partial>" sends the rest and closes; one that
// begins with "<trickle>" sends the rest in pieces of 1 to 4 bytes; any other
// is sent as it is. QUIT is answered "205 bye" and closes.
#pragma once

#include "tests/support/scriptnntp.h"

#include <functional>
#include <string>

class tAnswerNntp {
public:
    using tAnswer = std::function<std::string(const std::string &command)>;
    explicit tAnswerNntp(tAnswer answer);

    int port() const { return server_.port(); }
    std::string Commands();  // every command received, one per line

private:
    tScriptNntp server_;
};
