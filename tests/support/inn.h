// Test support: a private INN on loopback for C++ tests, through
// tests/support/innserver.py (see its docstring): started in a temporary
// directory of its own, fed articles, stopped by the destructor.
//
// Threading: one test thread uses an object.
#pragma once

#include "tests/support/paths.h"

#include <string>
#include <vector>

struct tInn {
    tTempDir dir;         // holds the server's tree
    int port = 0;         // the readers' port; 0 until Start succeeded
    std::string failure;  // why Start or Feed failed, for a skip message

    tInn() = default;
    ~tInn() { Stop(); }
    tInn(const tInn &) = delete;
    tInn &operator=(const tInn &) = delete;

    // Starts INN with innserver.py's start options ("--group", "misc.test:1",
    // ...), waiting at most seconds. False, with failure set, when it did
    // not start.
    bool Start(const std::vector<std::string> &options, int seconds = 300);
    // Feeds articles (each followed by a line "\0ARTICLE"); false, with
    // failure set, unless all count of them were accepted.
    bool Feed(const std::string &articles, int count, int seconds = 120);
    // Stops a started INN; nothing otherwise.
    void Stop();
};
