// Test fixture for server exploration: the upstream fixture (scheduler,
// servers, journal) plus a work directory with the exploration's
// directories, the index cache, the full group list, and a fake news server
// that serves a small model of groups and articles (GROUP, LISTGROUP, LIST
// ACTIVE, NEWGROUPS, XOVER, XHDR) so that the tests can change what the
// server holds between explorations.
#pragma once

#include "server/explore/explore.h"
#include "server/explore/update.h"
#include "server/store/articles.h"
#include "server/store/grouplist.h"
#include "server/store/indices.h"
#include "server/store/newsrc.h"
#include "tests/server/upstream/upstreamfixture.h"
#include "tests/support/fakenntp.h"
#include "tests/support/proxies.h"

#include <fnmatch.h>

#include <map>
#include <mutex>
#include <sstream>
#include <string>

// What the fake server holds: group -> article number -> Message-ID.
struct tFakeNews {
    std::mutex lock;
    std::map<std::string, std::map<int32_t, std::string>> groups;  // guarded by lock
    std::map<int, std::string> current;                           // connection -> group; guarded by lock

    static std::string OverviewLine(const std::string &group, int32_t n, const std::string &msgId) {
        return std::to_string(n) + "\tSubject " + msgId + "\tA <a@example.com>\tThu, 10 Dec 2026 12:00:00 +0000\t" +
               msgId + "\t\t1000\t10\tXref: fake " + group + ":" + std::to_string(n) + "\r\n";
    }

    // Parses "a-b", "a-" or "a" (an empty range when absent).
    static void Range(const std::string &text, int32_t *low, int32_t *high) {
        *low = 0;
        *high = INT32_MAX;
        if (text.empty()) return;
        size_t dash = text.find('-');
        *low = dash == 0 ? 0 : (int32_t)atol(text.c_str());
        if (dash == std::string::npos) {
            *high = *low;
        } else if (dash + 1 < text.size()) {
            *high = (int32_t)atol(text.c_str() + dash + 1);
        }
    }

    std::string Answer(int connection, const std::string &command) {
        std::lock_guard<std::mutex> guard(lock);
        std::istringstream words(command);
        std::string verb, a1, a2;
        words >> verb >> a1 >> a2;
        for (char &c : verb) c = (char)toupper((unsigned char)c);
        if (verb == "GROUP" || verb == "LISTGROUP") {
            auto g = groups.find(a1);
            if (g == groups.end()) return "411 no such group\r\n";
            current[connection] = a1;
            auto &arts = g->second;
            int32_t low = arts.empty() ? 0 : arts.begin()->first, high = arts.empty() ? 0 : arts.rbegin()->first;
            std::string out = "211 " + std::to_string(arts.size()) + " " + std::to_string(low) + " " +
                              std::to_string(high) + " " + a1 + "\r\n";
            if (verb == "LISTGROUP") {
                for (auto &[n, id] : arts) out += std::to_string(n) + "\r\n";
                out += ".\r\n";
            }
            return out;
        }
        if (verb == "LIST") {
            std::string pattern = a1.empty() || a1 == "ACTIVE" ? (a2.empty() ? "*" : a2) : "*";
            std::string out = "215 list follows\r\n";
            for (auto &[name, arts] : groups) {
                if (fnmatch(pattern.c_str(), name.c_str(), 0) != 0) continue;
                int32_t low = arts.empty() ? 1 : arts.begin()->first, high = arts.empty() ? 0 : arts.rbegin()->first;
                out += name + " " + std::to_string(high) + " " + std::to_string(low) + " y\r\n";
            }
            return out + ".\r\n";
        }
        if (verb == "NEWGROUPS") return "231 nothing new\r\n.\r\n";
        if (verb == "XOVER" || verb == "OVER" || verb == "XHDR") {
            auto c = current.find(connection);
            if (c == current.end()) return "412 no group selected\r\n";
            auto &arts = groups[c->second];
            int32_t low, high;
            std::string field;
            if (verb == "XHDR") {
                field = a1;
                for (char &ch : field) ch = (char)toupper((unsigned char)ch);
                Range(a2, &low, &high);
            } else {
                Range(a1, &low, &high);
            }
            std::string out = verb == "XHDR" ? "221 data follows\r\n" : "224 overview follows\r\n";
            for (auto it = arts.lower_bound(low); it != arts.end() && it->first <= high; ++it) {
                if (verb != "XHDR") {
                    out += OverviewLine(c->second, it->first, it->second);
                } else if (field == "MESSAGE-ID") {
                    out += std::to_string(it->first) + " " + it->second + "\r\n";
                } else if (field == "LINES") {
                    out += std::to_string(it->first) + " 10\r\n";
                } else {
                    return "500 unknown field\r\n";
                }
            }
            return out + ".\r\n";
        }
        return "";  // built-in answers (MODE READER 200, anything else 500)
    }
};

struct ExploreFixture : UpstreamFixture {
    std::unique_ptr<tFakeNntp> fake;
    tFakeNews news;
    tExplore templ;
    bool listOpen = false;

    void SetUp() override {
        UpstreamFixture::SetUp();
        for (const char *d : {"explore", "list", "logs", "newsrc3", "etc"}) ASSERT_EQ(mkdir(d, 0755), 0) << d;
        ASSERT_EQ(IndicesCreate(&indexCache, false, &journal, &articlesStoreOps), E_OK);
        IndicesUseScheduler(indexCache, &taskScheduler);
        ASSERT_EQ(GroupListOpen("etc/groups.sq3", &groupList, &journal, nullptr, &shutdownCode), E_OK);
        listOpen = true;
        servers->resultsPath = "logs/results";
        templ.servers = servers.get();
        templ.indices = indexCache;
        templ.popularity = &groupList;
        templ.groupList = &groupList;
        templ.assumeInternetPresent = 1;
        templ.periodic = 0;
        fake = std::make_unique<tFakeNntp>(std::vector<std::string>{"200 fake news server ready"});
        fake->SetScript([this](int connection, const std::string &command) { return news.Answer(connection, command); });
    }

    void TearDown() override {
        StopScheduler();
        ExploreReleaseAll();
        PoolRelease(servers.get());
        IndicesClose(indexCache);
        indexCache = nullptr;
        if (listOpen) GroupListClose(&groupList);
        fake.reset();
        ReleaseServersAndLeave();
    }

    // Fills the fake group with the numbers low..high (Message-IDs
    // "<n.group@fake>" unless ids say otherwise).
    void Put(const std::string &group, int32_t low, int32_t high, const std::string &tag = "") {
        std::lock_guard<std::mutex> guard(news.lock);
        auto &arts = news.groups[group];
        for (int32_t n = low; n <= high; n++)
            arts[n] = "<" + std::to_string(n) + "." + (tag.empty() ? group : tag) + "@fake>";
    }
    void Drop(const std::string &group, int32_t low, int32_t high) {
        std::lock_guard<std::mutex> guard(news.lock);
        auto &arts = news.groups[group];
        for (int32_t n = low; n <= high; n++) arts.erase(n);
    }

    // Writes the server's newsrc record of group: the ranges, explored once.
    void SetNewsrc(const std::string &group, const std::vector<tRange> &ranges) {
        tDb db;
        ASSERT_EQ(NewsrcOpen(&db, Server()->diskName, &journal), E_OK);
        tNewsrcGroup record;
        ASSERT_EQ(NewsrcRead(&db, group.c_str(), true, &record), E_OK);
        for (const tRange &r : ranges) ASSERT_GE(NumbersAdd(&record.numbers, r.low, r.high), 0);
        record.lastExploreSecs = (long)time(nullptr) - 100;
        record.flags |= NEWSRC_MODIFIED;
        ASSERT_EQ(NewsrcWrite(&db, &record), E_OK);
        NewsrcClose(&db);
    }

    // The server's newsrc numbers of group as "a-b,c-d" ("-" without a record).
    std::string NewsrcText(const std::string &group) {
        tDb db;
        if (NewsrcOpen(&db, Server()->diskName, &journal) != E_OK) return "?";
        tNewsrcGroup record;
        std::string text = "-";
        if (NewsrcRead(&db, group.c_str(), false, &record) == E_OK) {
            text.clear();
            for (int i = 0; i < NumbersRanges(&record.numbers); i++) {
                const tRange *r = NumbersRange(&record.numbers, i);
                if (!text.empty()) text += ",";
                text += std::to_string(r->low) + "-" + std::to_string(r->high);
            }
            NewsrcGroupFree(&record);
        }
        NewsrcClose(&db);
        return text;
    }

    // The Message-IDs of the group's index with their server references.
    std::map<std::string, std::string> Index(const std::string &group) {
        std::map<std::string, std::string> out;
        tArticles *articles = nullptr;
        if (ArticlesOpen(indexCache, group.c_str(), &journal, false, &articles, -1) != E_OK) return out;
        ArticlesLock(articles);
        tArticleFull full;
        tDiag rc = ArticlesIterStart(&full, articles, 0, 1, nullptr);
        while (rc == E_OK) {
            char refs[256] = "";
            (void)ServRefsFormat(&full.a->refs, refs, sizeof refs);
            out[full.a->msgId] = refs;
            rc = ArticlesIterNext(&full);
        }
        ArticlesIterEnd(&full);
        ArticlesUnlock(articles);
        IndicesRelease(articles, 1);
        return out;
    }

    std::string ExploreLog() { return ReadWholeFile(dir / ("explore/" + std::string(Server()->diskName))); }

    tDiag Explore(const std::string &oneGroup = "") {
        tExplore e = templ;
        snprintf(e.oneGroup, sizeof e.oneGroup, "%s", oneGroup.c_str());
        ServerRef(Server());
        e.server = Server();
        tDiag rc = ExploreServer(&e);
        ServerRelease(Server());
        return rc;
    }
};
