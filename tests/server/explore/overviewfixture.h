// Test fixture for overview retrieval: the upstream fixture's server and
// pool, an index cache with the group "misc.test" open, a borrowed
// connection, and the number sets and counters of one group visit.
#pragma once

#include "server/explore/overview.h"
#include "server/store/articles.h"
#include "server/store/serv_refs.h"
#include "tests/server/upstream/upstreamfixture.h"

#include <algorithm>
#include <string>
#include <vector>

constexpr int32_t OPEN = 2147483647;

struct OverviewFixture : UpstreamFixture {
    tIndices *indices = nullptr;
    tArticles *articles = nullptr;  // "misc.test"
    tServerConnection *sc = nullptr;
    tNumbers wanted{}, seen{};
    tAddCounters counters{};
    tOverviewFixes fixes{};
    tOverviewLimits savedLimits = overviewLimits;
    int savedUseXrefs = useXrefs;
    tRequester requester{"overview test", 0, KIND_EXPLORE};

    void SetUp() override {
        UpstreamFixture::SetUp();
        NumbersInit(&wanted);
        NumbersInit(&seen);
        overviewLimits.peekSeconds = 1;
        useXrefs = 1;  // the setting's default
    }

    // Loads the server at port (with the extra keys), opens the index cache
    // and "misc.test", and borrows a connection.
    void Begin(int port, const std::string &keys = "", const char *group = "misc.test") {
        LoadServer(port, keys);
        ASSERT_EQ(IndicesCreate(&indices, false, &journal, &articlesStoreOps), E_OK);
        articles = Open(group);
        ASSERT_EQ(RequestConnection(Server(), &requester, &journal, 60, -1, &sc), E_OK);
    }

    tArticles *Open(const char *group) {
        tArticles *a = nullptr;
        EXPECT_EQ(ArticlesOpen(indices, group, &journal, true, &a, -1), E_OK) << group;
        return a;
    }

    tOverviewJob Job(tArticles *group = nullptr) {
        tOverviewJob job;
        job.nntp = &sc->nntp;
        job.articles = group ? group : articles;
        job.wanted = &wanted;
        job.seen = &seen;
        job.counters = &counters;
        job.fixes = &fixes;
        job.indices = indices;
        return job;
    }

    tDiag Fetch(int32_t from = 0, int32_t to = OPEN) {
        EXPECT_GE(NumbersAdd(&wanted, from, to), 0);
        tOverviewJob job = Job();
        return FetchOverview(&job, &requester);
    }

    // Every stored article of group (default "misc.test"), by the number
    // in its Message-ID: "<msgid> refs".
    std::vector<std::string> Stored(tArticles *group = nullptr) {
        tArticles *a = group ? group : articles;
        std::vector<std::string> out;
        ArticlesLock(a);
        tArticleFull full{};
        for (tDiag d = ArticlesIterStart(&full, a, 0, 1, nullptr); d == E_OK; d = ArticlesIterNext(&full)) {
            char refs[1024];
            EXPECT_EQ(ServRefsFormat(&full.a->refs, refs, sizeof refs), E_OK);
            out.push_back(std::string(full.a->msgId) + refs);
        }
        ArticlesIterEnd(&full);
        ArticlesUnlock(a);
        auto number = [](const std::string &x) { return atol(x.c_str() + x.find_first_of("0123456789")); };
        std::sort(out.begin(), out.end(),
                  [&](const std::string &x, const std::string &y) { return number(x) < number(y); });
        return out;
    }

    static std::string RangesText(const tNumbers *numbers) {
        std::string s;
        for (int i = 0; i < NumbersRanges(numbers); i++)
            s += std::to_string(NumbersRange(numbers, i)->low) + "-" + std::to_string(NumbersRange(numbers, i)->high) +
                 " ";
        return s;
    }
    std::string SeenText() { return RangesText(&seen); }

    // Gives back the connection and the indexes (before the server goes).
    void End() {
        if (sc) ReleaseConnection(sc, 0);
        sc = nullptr;
        if (articles) IndicesRelease(articles, 0);
        articles = nullptr;
        if (indices) IndicesClose(indices);
        indices = nullptr;
    }

    void TearDown() override {
        End();
        NumbersFree(&wanted);
        NumbersFree(&seen);
        overviewLimits = savedLimits;
        useXrefs = savedUseXrefs;
        UpstreamFixture::TearDown();
    }
};
