// Drives one reader session over input held in memory: the first byte
// chooses the logins (even: none, so every command is allowed; odd: a user
// and an administrator login), the rest is everything the reader "sends".
// The session runs on a socket pair against a small store in a private work
// directory (a few listed groups, one with articles); its answers are read
// and dropped. Shared by the libFuzzer target and the regression test that
// replays its findings.
#pragma once

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "lib/log.h"
#include "lib/sock.h"
#include "server/nntp/clients.h"
#include "server/nntp/session.h"
#include "server/store/articles.h"
#include "server/store/grouplist.h"
#include "server/store/indices.h"

namespace sessionfuzz {

struct tWorld {
    std::string directory;
    tLog journal{};
    tGroupList list{};
    tIndices *indices = nullptr;
    bool ready = false;
};

inline void AddArticle(tWorld *w, const char *group, long number) {
    tArticles *articles = nullptr;
    if (ArticlesOpen(w->indices, group, &w->journal, true, &articles, -1) != E_OK) return;
    std::string line = std::to_string(number) + "\tSubject " + std::to_string(number) +
                       "\tPoster <p@example.org>\tMon, 7 Dec 2026 10:00:00 +0000\t<" + std::to_string(number) +
                       "@example.org>\t\t1500\t20\r\n";
    tAddCounters counters{};
    tOverviewFixes fixes{};
    tOverviewAdd context;
    context.log = &w->journal;
    context.serverId = 1;
    context.articles = articles;
    context.counters = &counters;
    context.fixes = &fixes;
    context.indices = w->indices;
    long previous = 0;
    (void)AddOverviewLine(&context, line.c_str(), &previous, false, {0, 2147483647});
    IndicesRelease(articles, 2);
}

inline tWorld *WorldObject() {
    static tWorld world;
    return &world;
}

// Closes the store and removes its directory at exit.
inline void RemoveWorld() {
    tWorld *w = WorldObject();
    IndicesClose(w->indices);
    GroupListClose(&w->list);
    LogClose(&w->journal);
    if (chdir("/") == 0) {
        std::error_code ignored;
        std::filesystem::remove_all(w->directory, ignored);
    }
}

// The store of every run: made once per process in a fresh directory, which
// becomes the current directory (removed at exit).
inline tWorld *World() {
    tWorld &world = *WorldObject();
    if (world.ready) return &world;
    char pattern[] = "/tmp/mgsessfuzz-XXXXXX";
    if (!mkdtemp(pattern) || chdir(pattern) != 0 || mkdir("etc", 0755) != 0) abort();
    world.directory = pattern;
    atexit(RemoveWorld);
    if (LogOpen(&world.journal, "journal", 1 << 20) != E_OK) abort();
    if (GroupListOpen(nullptr, &world.list, &world.journal, nullptr, nullptr) != E_OK) abort();
    if (IndicesCreate(&world.indices, false, &world.journal, &articlesStoreOps) != E_OK) abort();
    for (const char *group : {"alt.test", "comp.empty"})
        if (GroupAddActive(&world.list, group) != E_OK) abort();
    (void)GroupLookup(&world.list, "misc.inactive", GL_INSERT, nullptr, false, false, nullptr, 1);
    for (long n = 1; n <= 5; n++) AddArticle(&world, "alt.test", n);
    sessionDelays.rejectMs = 0;
    sessionDelays.placeholderMs = 0;
    sessionDelays.readSeconds = 5;
    world.ready = true;
    return &world;
}

// Runs one session over data; returns the number of bytes it answered.
inline size_t RunOne(const uint8_t *data, size_t size) {
    tWorld *w = World();
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) abort();
    tSession *session = SessionAllocate();
    if (!session) abort();
    SockBufInit(&session->conversation, pair[0]);
    session->indices = w->indices;
    session->groupList = &w->list;
    session->popularity = &w->list;
    bool logins = size > 0 && (data[0] & 1);
    session->userLogin = logins ? "user" : nullptr;
    session->userPass = logins ? "secret" : nullptr;
    session->adminLogin = logins ? "admin" : nullptr;
    session->adminPass = logins ? "root" : nullptr;
    snprintf(session->logPath, sizeof session->logPath, "cli-fuzz");
    // The reader: one thread sends everything, another reads the answers to
    // the end (the session closes its socket when it ends).
    std::thread writer([&] {
        const uint8_t *p = size > 0 ? data + 1 : data;
        size_t left = size > 0 ? size - 1 : 0;
        while (left > 0) {
            ssize_t n = send(pair[1], p, left, MSG_NOSIGNAL);
            if (n <= 0) break;
            p += n;
            left -= (size_t)n;
        }
        shutdown(pair[1], SHUT_WR);
    });
    size_t answered = 0;
    std::thread reader([&] {
        char buffer[65536];
        for (;;) {
            ssize_t n = recv(pair[1], buffer, sizeof buffer, 0);
            if (n <= 0) break;
            answered += (size_t)n;
        }
    });
    SessionRun(session);
    writer.join();
    reader.join();
    close(pair[1]);
    return answered;
}

}  // namespace sessionfuzz
