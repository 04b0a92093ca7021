// Overview retrieval against a real news server: a private INN on loopback
// with a group of several thousand articles, some cross-posted, and a small
// group cross-posted to three groups for comparing XOVER with its emulations.
#include "server/explore/overview.h"

#include "server/store/newsrc.h"
#include "tests/server/explore/overviewfixture.h"
#include "tests/support/inn.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <sys/stat.h>

namespace {

constexpr int LARGE = 3000;  // in misc.test; every 10th also in misc.other
constexpr int SMALL = 40;    // in misc.small1, misc.small2 and misc.small3

std::unique_ptr<tInn> inn;
int innPort = 0;
std::string innSkip;

std::string Article(const std::string &id, const std::string &groups, const std::string &subject,
                    const std::string &references) {
    std::string a = "Path: test!not-for-mail\nFrom: Tester <t@example.com>\nNewsgroups: " + groups +
                    "\nSubject: " + subject + "\nDate: Thu, 10 Dec 2026 12:00:00 +0000\nMessage-ID: " + id + "\n";
    if (!references.empty()) a += "References: " + references + "\n";
    return a + "\nLine one.\nLine two.\n" + std::string(1, '\0') + "ARTICLE\n";
}

struct OverviewInn : OverviewFixture {
    static void SetUpTestSuite() {
        inn = std::make_unique<tInn>();
        std::vector<std::string> options;
        for (const char *g : {"misc.test", "misc.other", "misc.small1", "misc.small2", "misc.small3"}) {
            options.push_back("--group");
            options.push_back(g);
        }
        if (!inn->Start(options)) {
            innSkip = inn->failure;
            return;
        }
        innPort = inn->port;
        std::string articles;
        for (int i = 1; i <= LARGE; i++)
            articles += Article("<big" + std::to_string(i) + "@example.com>",
                                i % 10 == 0 ? "misc.test,misc.other" : "misc.test", "Large group article " + std::to_string(i),
                                i % 3 == 0 ? "<big" + std::to_string(i - 1) + "@example.com>" : "");
        for (int i = 1; i <= SMALL; i++)
            articles += Article("<small" + std::to_string(i) + "@example.com>", "misc.small1,misc.small2,misc.small3",
                                "Small\tgroup article " + std::to_string(i),
                                i > 1 ? "<small" + std::to_string(i - 1) + "@example.com>" : "");
        if (!inn->Feed(articles, LARGE + SMALL, 600)) innSkip = inn->failure;
    }

    static void TearDownTestSuite() {
        inn.reset();
        innPort = 0;
    }

    void SetUp() override {
        OverviewFixture::SetUp();
        if (!innSkip.empty()) GTEST_SKIP() << innSkip;
    }
};

TEST_F(OverviewInn, LargeGroupArrivesWholeWithItsCrossPostsAndIsRememberedInTheNewsrc) {
    Begin(innPort);
    tArticles *other = Open("misc.other");
    ASSERT_EQ(mkdir("newsrc3", 0755), 0);
    tDb newsrc;
    ASSERT_EQ(NewsrcOpen(&newsrc, Server()->diskName, &journal), E_OK);
    tNewsrcGroup record;
    ASSERT_EQ(NewsrcRead(&newsrc, "misc.test", true, &record), E_OK);

    tOverviewJob job = Job();
    job.seen = &record.numbers;
    ASSERT_GE(NumbersAdd(&wanted, 0, OPEN), 0);
    ASSERT_EQ(FetchOverview(&job, &requester), E_OK) << Journal();
    std::vector<std::string> stored = Stored();
    ASSERT_EQ(stored.size(), (size_t)LARGE);
    EXPECT_EQ(stored[0], "<big1@example.com> " + std::to_string(Server()->id) + ":1");
    EXPECT_EQ(counters.newArticles, LARGE);
    EXPECT_EQ(counters.bad, 0);
    EXPECT_EQ(counters.xrefNew, LARGE / 10);
    EXPECT_EQ(Stored(other).size(), (size_t)LARGE / 10);
    EXPECT_EQ(RangesText(&record.numbers), "1-" + std::to_string(LARGE) + " ");

    tArticleFull full{};
    ArticlesLock(articles);
    ASSERT_EQ(ArticlesFindByMsgId(articles, "<big3@example.com>", &full), E_OK);
    EXPECT_STREQ(ArticleDataSubject(&full.adt), "Large group article 3");
    EXPECT_STREQ(ArticleDataRefs(&full.adt), "<big2@example.com>");
    EXPECT_EQ(full.adt.lines, 2);
    ArticleFullFree(&full);
    ArticlesUnlock(articles);

    // What was explored survives in the newsrc.
    record.flags |= 2;
    ASSERT_EQ(NewsrcWrite(&newsrc, &record), E_OK);
    ASSERT_EQ(NewsrcRead(&newsrc, "misc.test", false, &record), E_OK);
    EXPECT_EQ(RangesText(&record.numbers), "1-" + std::to_string(LARGE) + " ");

    // The next visit asks only beyond the last number and finds nothing new.
    NumbersFree(&wanted);
    ASSERT_GE(NumbersAdd(&wanted, LARGE + 1, OPEN), 0);
    ASSERT_EQ(FetchOverview(&job, &requester), E_OK) << Journal();
    EXPECT_EQ(counters.newArticles, LARGE);
    EXPECT_EQ(Stored().size(), (size_t)LARGE);
    NewsrcGroupFree(&record);
    NewsrcClose(&newsrc);
    IndicesRelease(other, 0);
}

// The same articles read with XOVER, with XHDR per field and with heads give
// the same descriptions; the Message-ID pass then recognises all of them.
TEST_F(OverviewInn, EmulationsBuildTheDescriptionsXoverGives) {
    Begin(innPort, "useXrefs=0\n", "misc.small1");
    tArticles *byXhdr = Open("misc.small2");
    tArticles *byHead = Open("misc.small3");
    ASSERT_EQ(Fetch(), E_OK) << Journal();

    Server()->emulateXoverUsingXhdr = 1;
    ASSERT_GE(NumbersAdd(&wanted, 0, OPEN), 0);
    tOverviewJob job = Job(byXhdr);
    ASSERT_EQ(FetchOverview(&job, &requester), E_OK) << Journal();
    EXPECT_TRUE(std::filesystem::is_empty(dir / "xhdr"));

    Server()->emulateXoverUsingHead = 1;
    NumbersFree(&wanted);
    ASSERT_GE(NumbersAdd(&wanted, 0, OPEN), 0);
    job = Job(byHead);
    ASSERT_EQ(FetchOverview(&job, &requester), E_OK) << Journal();

    for (tArticles *a : {articles, byXhdr, byHead}) EXPECT_EQ(Stored(a).size(), (size_t)SMALL);
    for (int i = 1; i <= SMALL; i++) {
        std::string id = "<small" + std::to_string(i) + "@example.com>";
        SCOPED_TRACE(id);
        std::vector<std::string> descriptions;
        for (tArticles *a : {articles, byXhdr, byHead}) {
            tArticleFull full{};
            ArticlesLock(a);
            EXPECT_EQ(ArticlesFindByMsgId(a, id.c_str(), &full), E_OK);
            descriptions.push_back(std::string(ArticleDataSubject(&full.adt)) + "|" + ArticleDataFrom(&full.adt) + "|" +
                                   ArticleDataDate(&full.adt) + "|" + ArticleDataRefs(&full.adt));
            ArticleFullFree(&full);
            ArticlesUnlock(a);
        }
        EXPECT_EQ(descriptions[0], descriptions[1]);
        EXPECT_EQ(descriptions[0], descriptions[2]);
    }

    NumbersFree(&wanted);
    ASSERT_GE(NumbersAdd(&wanted, 0, OPEN), 0);
    tAddCounters matched{};
    ASSERT_EQ(MatchByMessageId(&sc->nntp, byXhdr, &wanted, &seen, "misc.small2", &requester, &matched), E_OK)
        << Journal();
    EXPECT_EQ(matched.reget, SMALL);
    EXPECT_EQ(RangesText(&wanted), "0-0 ");  // 0 was never listed
    IndicesRelease(byXhdr, 0);
    IndicesRelease(byHead, 0);
}

}  // namespace
