// Test fixture for group selection and group list queries: the upstream
// fixture (work directory, scheduler, pool, one server) plus a conversation
// borrowed from the pool, and scripted answers for the fake server.
#pragma once

#include "server/upstream/nntp.h"
#include "server/upstream/pool.h"
#include "tests/server/upstream/upstreamfixture.h"
#include "tests/support/fakenntp.h"

#include <string>
#include <vector>

// One scripted answer: on connection (-1: any) the command gets text.
struct tScripted {
    int connection;
    std::string command;
    std::string text;
};

// A script answering each command with the first matching entry.
inline tFakeNntpScript Script(std::vector<tScripted> answers) {
    return [answers](int connection, const std::string &command) {
        for (const tScripted &a : answers)
            if ((a.connection < 0 || a.connection == connection) && a.command == command) return a.text;
        return std::string();
    };
}

struct ConversationFixture : UpstreamFixture {
    std::unique_ptr<tFakeNntp> fake;
    tServerConnection *sc = nullptr;
    const tRequester requester{"groupsel test", 120, KIND_EXPLORE};

    // Borrows a connection of the loaded server.
    tNntp *Open() {
        EXPECT_EQ(RequestConnection(Server(), &requester, &journal, 60, -1, &sc), E_OK);
        return sc ? &sc->nntp : nullptr;
    }

    // Starts the fake server with the script, loads it as the server with
    // the extra keys and borrows a connection.
    tNntp *Serve(std::vector<tScripted> answers, const std::string &keys = "") {
        fake = std::make_unique<tFakeNntp>(std::vector<std::string>{"200 fake"});
        fake->SetScript(Script(std::move(answers)));
        LoadServer(fake->port(), keys);
        return Open();
    }

    void TearDown() override {
        if (sc) ReleaseConnection(sc, 0);
        sc = nullptr;
        fake.reset();
        UpstreamFixture::TearDown();
    }
};
