#include "server/store/articles.h"

#include "server/store/db.h"
#include "server/store/indices.h"
#include "tests/support/paths.h"
#include "tests/support/storeline.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// An overview line as a server sends it.
std::string Line(long number, const std::string &msgId, const std::string &xref = "") {
    std::string line = std::to_string(number) + "\tSubject " + std::to_string(number) +
                       "\tPoster <p@example.org>\tMon, 7 Dec 2026 10:00:00 +0000\t" + msgId + "\t\t1500\t20";
    if (!xref.empty()) line += "\tXref: news.example.org " + xref;
    return line + "\r\n";
}

// A work directory with an index cache on the group index store; every index
// operation of a test runs inside it.
class ArticlesTest : public ::testing::Test {
protected:
    tTempDir dir;
    std::string previousDir;
    tLog log{};
    tIndices *indices = nullptr;
    int zombieDays = 7;
    int useXrefs = 1;
    tArticlesSettings savedSettings = articlesSettings;

    void SetUp() override {
        previousDir = fs::current_path().string();
        ASSERT_EQ(chdir(dir.path.c_str()), 0);
        ASSERT_EQ(LogOpen(&log, "journal", 1 << 20), E_OK);
        ASSERT_EQ(IndicesCreate(&indices, false, &log, &articlesStoreOps), E_OK);
        articlesSettings.zombieDays = &zombieDays;
        articlesSettings.useXrefs = &useXrefs;
    }
    void TearDown() override {
        IndicesClose(indices);
        LogClose(&log);
        articlesSettings = savedSettings;
        ASSERT_EQ(chdir(previousDir.c_str()), 0);
    }

    tArticles *Open(const char *group, bool create = true) {
        tArticles *articles = nullptr;
        EXPECT_EQ(ArticlesOpen(indices, group, &log, create, &articles, -1), E_OK) << group;
        return articles;
    }

    // Adds one overview line from a server, as exploration does.
    int Add(tArticles *articles, long server, const std::string &line, tAddCounters *counters = nullptr,
            tNumbers *seen = nullptr) {
        return StoreOverviewLine(indices, articles, &log, server, line, counters, seen);
    }

    // The servRefs column of the row with msgId ("?" when there is none).
    std::string RefsOf(tArticles *articles, const char *msgId) {
        ArticlesLock(articles);
        tArticleFull full{};
        std::string text = "?";
        if (ArticlesFindByMsgId(articles, msgId, &full) == E_OK) {
            char buffer[1024];
            EXPECT_EQ(ServRefsFormat(&full.a->refs, buffer, sizeof buffer), E_OK);
            text = buffer;
            ArticleFullFree(&full);
        }
        ArticlesUnlock(articles);
        return text;
    }

    std::vector<long> Numbers(tArticles *articles) {
        std::vector<long> numbers;
        ArticlesLock(articles);
        tArticleFull full{};
        for (tDiag d = ArticlesIterStart(&full, articles, 0, 1, nullptr); d == E_OK; d = ArticlesIterNext(&full))
            numbers.push_back(full.a->number);
        ArticlesIterEnd(&full);
        ArticlesUnlock(articles);
        return numbers;
    }

    std::string Journal() { return ReadWholeFile(dir / "journal"); }
};

TEST_F(ArticlesTest, SameMessageIdFromThreeServersIsOneArticleWithThreeReferences) {
    tArticles *g = Open("alt.test");
    tAddCounters counters{};
    EXPECT_EQ(Add(g, 3, Line(10, "<m1@x>"), &counters), AA_NEW);
    EXPECT_EQ(Add(g, 5, Line(77, "<m1@x>"), &counters), AA_DUP);
    EXPECT_EQ(Add(g, 12, Line(9, "<m1@x>"), &counters), AA_DUP);
    EXPECT_EQ(RefsOf(g, "<m1@x>"), " 3:10 5:77 12:9");
    EXPECT_EQ(counters.newArticles, 1);
    EXPECT_EQ(counters.dup, 2);

    // A reget changes nothing, on disk or in memory.
    ASSERT_EQ(ArticlesSync(g), E_OK);
    EXPECT_FALSE(ArticlesModified(g));
    EXPECT_EQ(Add(g, 5, Line(77, "<m1@x>"), &counters), AA_REGET);
    EXPECT_EQ(counters.reget, 1);
    EXPECT_EQ(RefsOf(g, "<m1@x>"), " 3:10 5:77 12:9");
    ArticlesLock(g);
    EXPECT_EQ(ArticlesCount(g), 1);
    ArticlesUnlock(g);

    // The same server under another number: kept as a second reference, with
    // a warning.
    EXPECT_EQ(Add(g, 3, Line(11, "<m1@x>"), &counters), AA_DUP);
    EXPECT_EQ(RefsOf(g, "<m1@x>"), " 3:10 5:77 12:9 3:11");
    EXPECT_NE(Journal().find("Warning: article 11 has same Message-ID <m1@x> as article 10 (1 in Mergator)"),
              std::string::npos);
    IndicesRelease(g, 2);
}

TEST_F(ArticlesTest, XhdrMessageIdLinesOnlyAddReferencesToKnownArticles) {
    tArticles *g = Open("alt.test");
    ASSERT_EQ(Add(g, 3, Line(10, "<m1@x>")), AA_NEW);
    long previous = 99;
    const tRange range{100, 200};
    struct Case {
        const char *line;
        int outcome;
    };
    const Case cases[] = {
        {"100 <m1@x>\r\n", AA_DUP},          // known: gains server 7's reference
        {"101 <m1@x>", AA_DUP},                // the same server under another number: both kept
        {"102 <unknown@x>", 0},                // not in the index: nothing made
        {"103", E_NO_MSGID},
        {"104 m1@x>", E_MSGID_NO_START},
        {"105 <m1@x", E_MSGID_NO_END},
        {"300 <m1@x>", E_NUMBER_OUT_OF_RANGE},
    };
    for (const Case &c : cases) {
        int outcome = ParseXhdrMsgIdLine(g, c.line, 7, &previous, &log, range, false);
        EXPECT_EQ(outcome, c.outcome) << c.line;
    }
    EXPECT_EQ(RefsOf(g, "<m1@x>"), " 3:10 7:100 7:101");
    EXPECT_EQ(RefsOf(g, "<unknown@x>"), "?");
    EXPECT_EQ(Numbers(g), std::vector<long>{1});
    IndicesRelease(g, 2);
}

TEST_F(ArticlesTest, ServerForgottenByAGroupLeavesZombiesOrNothing) {
    tArticles *g = Open("alt.gone");
    ASSERT_EQ(Add(g, 3, Line(10, "<both@x>")), AA_NEW);
    ASSERT_EQ(Add(g, 5, Line(20, "<both@x>")), AA_DUP);
    ASSERT_EQ(Add(g, 3, Line(11, "<only3@x>")), AA_NEW);
    IndicesRelease(g, 2);
    long removed = -1, emptied = -1;
    bool opened = false;
    ASSERT_EQ(ArticlesRemoveServerRefsOfGroup(indices, "ALT.GONE", 3, 1, &removed, &emptied, &opened), E_OK);
    EXPECT_TRUE(opened);
    EXPECT_EQ(removed, 2);
    EXPECT_EQ(emptied, 1);
    g = Open("alt.gone", false);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(RefsOf(g, "<both@x>"), " 5:20");
    EXPECT_EQ(RefsOf(g, "<only3@x>").rfind(" 0:", 0), 0u);  // a zombie
    IndicesRelease(g, 2);
    // No index: nothing to do, and none is made.
    EXPECT_EQ(ArticlesRemoveServerRefsOfGroup(indices, "alt.never", 3, 1, &removed, &emptied, &opened), E_NO_INDEX);
    EXPECT_FALSE(opened);
    EXPECT_FALSE(fs::exists(fs::path(dir.path) / "index2" / "alt.never"));
}

TEST_F(ArticlesTest, MessageIdsDifferingInCaseAreDifferentArticles) {
    tArticles *g = Open("alt.test");
    EXPECT_EQ(Add(g, 1, Line(1, "<Part@Example.org>")), AA_NEW);
    EXPECT_EQ(Add(g, 1, Line(2, "<part@example.org>")), AA_NEW);
    EXPECT_EQ(RefsOf(g, "<Part@Example.org>"), " 1:1");
    EXPECT_EQ(RefsOf(g, "<part@example.org>"), " 1:2");
    EXPECT_EQ(Numbers(g), (std::vector<long>{1, 2}));
    IndicesRelease(g, 2);
}

TEST_F(ArticlesTest, GroupNamesDifferingInCaseAreOneGroup) {
    tArticles *g = Open("comp.Lang.c");
    tArticles *same = Open("COMP.LANG.C");
    EXPECT_EQ(g, same);
    EXPECT_EQ(Add(g, 1, Line(1, "<a@x>")), AA_NEW);
    IndicesRelease(same, 0);
    IndicesRelease(g, 2);  // synced and freed

    // Found again from disk under another spelling, without creating a file.
    tArticles *again = Open("comp.lang.c", false);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(RefsOf(again, "<a@x>"), " 1:1");
    IndicesRelease(again, 2);
    std::vector<std::string> files;
    for (const auto &f : fs::directory_iterator(dir / "index2")) files.push_back(f.path().filename().string());
    EXPECT_EQ(files, std::vector<std::string>{"comp.Lang.c"});
}

TEST_F(ArticlesTest, OpeningWithoutCreationNeedsAnIndexFile) {
    tArticles *articles = nullptr;
    EXPECT_EQ(ArticlesOpen(indices, "no.such.group", &log, false, &articles, -1), E_NO_INDEX);
    EXPECT_FALSE(fs::exists(dir / "index2/no.such.group"));
    EXPECT_EQ(ArticlesOpen(indices, "bad.name.", &log, true, &articles, -1), E_BAD_GROUP_NAME);

    // An unreadable file is refused with its reason in the log.
    ASSERT_TRUE(WriteWholeFile(dir / "index2/broken", std::string(4096, 'x')));
    EXPECT_LT(ArticlesOpen(indices, "broken", &log, false, &articles, -1), 0);
    EXPECT_NE(Journal().find("Refusing access to group"), std::string::npos);
}

TEST_F(ArticlesTest, ZombieBroughtBackByAnotherServerIsAPhoenix) {
    tArticles *g = Open("alt.test");
    ASSERT_EQ(Add(g, 3, Line(10, "<z@x>")), AA_NEW);
    ASSERT_EQ(Add(g, 3, Line(11, "<later@x>")), AA_NEW);
    int emptied = 0;
    EXPECT_EQ(ArticlesRemoveServerRefs(g, -1, nullptr, 3, 10, &emptied, true), 1);
    EXPECT_EQ(emptied, 1);
    std::string zombie = RefsOf(g, "<z@x>");
    ASSERT_EQ(zombie.rfind(" 0:", 0), 0u) << zombie;
    EXPECT_NEAR(std::stol(zombie.substr(3)), (long)time(nullptr), 5);  // stamped at its save

    tAddCounters counters{};
    EXPECT_EQ(Add(g, 8, Line(500, "<z@x>"), &counters), AA_PHOENIX);
    EXPECT_EQ(counters.phoenix, 1);
    EXPECT_EQ(RefsOf(g, "<z@x>"), " 8:500");
    IndicesRelease(g, 2);
}

TEST_F(ArticlesTest, LocallyDeletedArticleStaysDeleted) {
    tArticles *g = Open("alt.test");
    ASSERT_EQ(Add(g, 3, Line(10, "<low@x>")), AA_NEW);
    ASSERT_EQ(Add(g, 3, Line(11, "<high@x>")), AA_NEW);
    int emptied = 0;
    // Without zombies: the lower row goes at once, the highest row stays
    // (empty) so that its number is never given again.
    EXPECT_EQ(ArticlesRemoveServerRefs(g, -1, nullptr, 3, -1, &emptied, false), 2);
    EXPECT_EQ(emptied, 2);
    EXPECT_EQ(RefsOf(g, "<low@x>"), "?");
    EXPECT_EQ(RefsOf(g, "<high@x>"), "");

    tAddCounters counters{};
    EXPECT_EQ(Add(g, 9, Line(4, "<high@x>"), &counters), AA_ALREADY_DELETED);
    EXPECT_EQ(counters.alreadyDeleted, 1);
    EXPECT_EQ(RefsOf(g, "<high@x>"), "");
    // Once a newer article is above it, the empty row is garbage, removed
    // when read; its number stays used.
    EXPECT_EQ(Add(g, 9, Line(5, "<next@x>")), AA_NEW);
    EXPECT_EQ(Numbers(g), (std::vector<long>{3}));
    IndicesRelease(g, 2);
}

// How a save judges a zombie, by its stamp and the zombie days.
TEST_F(ArticlesTest, SaveJudgesZombiesByAge) {
    const long day = 86400;
    const long now = (long)time(nullptr);
    struct {
        int zombieDays;
        long stamp;
        bool kept;
        bool stamped;  // the stamp became the current time
    } cases[] = {
        {7, now - 8 * day, false, false}, {7, now - 6 * day, true, false}, {7, 0, true, true},
        {0, now, false, false},           {0, 0, false, false},
    };
    tArticles *g = Open("alt.test");
    int i = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.zombieDays) + " days, stamp " + std::to_string(c.stamp));
        zombieDays = c.zombieDays;
        std::string msgId = "<zz" + std::to_string(++i) + "@x>";
        ASSERT_EQ(Add(g, 1, Line(2 * i, msgId)), AA_NEW);
        ASSERT_EQ(Add(g, 1, Line(2 * i + 1, "<top" + std::to_string(i) + "@x>")), AA_NEW);  // above it
        ArticlesLock(g);
        tArticleFull full{};
        ASSERT_EQ(ArticlesFindByMsgId(g, msgId.c_str(), &full), E_OK);
        full.a->refs.server = 0;
        full.a->refs.number = c.stamp;
        full.a->flags |= ART_DIRTY;
        EXPECT_EQ(ArticlesSaveArticle(g, full.a), E_OK);
        ArticleFullFree(&full);
        ArticlesUnlock(g);
        std::string refs = RefsOf(g, msgId.c_str());
        EXPECT_EQ(refs != "?", c.kept) << refs;
        if (c.kept && c.stamped) {
            EXPECT_NEAR(std::stol(refs.substr(3)), now, 5);
        } else if (c.kept) {
            EXPECT_EQ(refs, " 0:" + std::to_string(c.stamp));
        }
    }
    IndicesRelease(g, 2);
}

TEST_F(ArticlesTest, RewriteRejudgesEveryZombieAtTheSync) {
    tArticles *g = Open("alt.test");
    ASSERT_EQ(Add(g, 1, Line(1, "<old@x>")), AA_NEW);
    ASSERT_EQ(Add(g, 1, Line(2, "<fresh@x>")), AA_NEW);
    ASSERT_EQ(Add(g, 1, Line(3, "<top@x>")), AA_NEW);
    ArticlesLock(g);
    char sql[128];
    snprintf(sql, sizeof sql, "UPDATE articles SET servRefs=' 0:%ld' WHERE number=1;", (long)time(nullptr) - 30 * 86400);
    ASSERT_EQ(ArticlesExec(g, sql), E_OK);
    ASSERT_EQ(ArticlesExec(g, "UPDATE articles SET servRefs=' 0:0' WHERE number=2;"), E_OK);
    ArticlesUnlock(g);
    ArticlesRequestRewrite(g);
    EXPECT_TRUE(ArticlesModified(g));
    ASSERT_EQ(ArticlesSync(g), E_OK);
    EXPECT_FALSE(ArticlesModified(g));
    EXPECT_EQ(RefsOf(g, "<old@x>"), "?");
    EXPECT_NE(RefsOf(g, "<fresh@x>"), " 0:0");
    EXPECT_EQ(Numbers(g), (std::vector<long>{2, 3}));
    IndicesRelease(g, 2);
}

TEST_F(ArticlesTest, FindByDirectionAndGarbageRowsVanishWhenRead) {
    tArticles *g = Open("alt.test");
    ArticlesLock(g);
    for (long n : {10, 40, 60}) {
        tArticleData adt;
        std::string msgId = "<n" + std::to_string(n) + "@x>";
        ASSERT_EQ(ArticleDataInit(&adt, 0, "s", "f", "d", msgId.c_str(), nullptr, 10, 1, 1000), E_OK);
        ASSERT_EQ(ArticlesAddRef(g, true, msgId.c_str(), &adt, 1, n, true, &log), AA_NEW);
        ASSERT_EQ(ArticlesInsertNew(g, &adt), E_OK);
        ArticlesFinishNew(g, false);
        ArticleDataFree(&adt);
    }
    struct {
        long number;
        int direction;
        long found;  // 0: none
    } cases[] = {{50, -1, 40}, {50, 1, 60}, {50, 0, 0}, {40, 0, 40}, {5, -1, 0}, {61, 1, 0}};
    for (const auto &c : cases) {
        tArticleFull full{};
        tDiag diag = ArticlesFind(g, c.number, c.direction, &full);
        EXPECT_EQ(diag == E_OK ? full.a->number : 0, c.found) << c.number << " " << c.direction;
        if (diag == E_OK) {
            EXPECT_EQ(full.adt.number, c.found);
        }
        ArticleFullFree(&full);
    }
    // Deleted locally below high: removed by the first read that meets it.
    ASSERT_EQ(ArticlesExec(g, "UPDATE articles SET servRefs='' WHERE number=40;"), E_OK);
    tArticleFull full{};
    ASSERT_EQ(ArticlesFind(g, 20, 1, &full), E_OK);
    EXPECT_EQ(full.a->number, 60);
    ArticleFullFree(&full);
    EXPECT_EQ(ArticlesCount(g), 2);
    // Useful numbers need the server's numbering to grow.
    tArticleData adt;
    ASSERT_EQ(ArticleDataInit(&adt, 0, "s", "f", "d", "<late@x>", nullptr, 10, 1, 1000), E_OK);
    EXPECT_EQ(ArticlesAddRef(g, true, "<late@x>", &adt, 1, 60, true, &log), E_NUMBER_NOT_GREATER);
    EXPECT_EQ(ArticlesAddRef(g, true, "<late@x>", nullptr, 1, 70, false, &log), E_TREE_NOT_FOUND);
    ArticleDataFree(&adt);
    ArticlesUnlock(g);
    IndicesRelease(g, 2);
}

TEST_F(ArticlesTest, CrossPostsReachActiveGroupsOnly) {
    tArticles *g1 = Open("g1");
    tArticles *g2 = Open("g2");
    ASSERT_EQ(Add(g2, 4, Line(1, "<other@x>")), AA_NEW);  // g2's next number is 2
    tAddCounters counters{};
    EXPECT_EQ(Add(g1, 3, Line(5, "<cross@x>", "g1:5 g2:7 g3:9"), &counters), AA_NEW);
    EXPECT_EQ(counters.xref.self, 1);
    EXPECT_EQ(counters.xrefNew, 1);
    EXPECT_EQ(counters.notActive, 1);
    EXPECT_EQ(RefsOf(g2, "<cross@x>"), " 3:7");
    EXPECT_EQ(Numbers(g2), (std::vector<long>{1, 2}));
    EXPECT_FALSE(fs::exists(dir / "index2/g3"));

    // Met again as new in another group: g2 already has it.
    tArticles *g4 = Open("g4");
    EXPECT_EQ(Add(g4, 3, Line(8, "<cross@x>", "g4:8 g2:7")), AA_NEW);
    IndicesRelease(g4, 2);
    useXrefs = 0;
    EXPECT_EQ(Add(g1, 3, Line(6, "<cross2@x>", "g2:8")), AA_NEW);
    EXPECT_EQ(RefsOf(g2, "<cross2@x>"), "?");
    IndicesRelease(g1, 2);
    IndicesRelease(g2, 2);
}

// Two explorations cross-posting into each other's group at the same time:
// neither waits for the other's store lock while holding its own, and every
// article reaches both groups under its own number.
TEST_F(ArticlesTest, ConcurrentCrossPostsInBothDirections) {
    tArticles *g1 = Open("g1");
    tArticles *g2 = Open("g2");
    auto explore = [this](tArticles *group, long server, const char *tag, const char *other) {
        for (long n = 1; n <= 150; n++)
            EXPECT_EQ(Add(group, server, Line(n, std::string("<") + tag + std::to_string(n) + "@x>",
                                              std::string(other) + ":" + std::to_string(n))),
                      AA_NEW);
    };
    std::thread first(explore, g1, 1, "a", "g2");
    std::thread second(explore, g2, 2, "b", "g1");
    first.join();
    second.join();
    for (tArticles *g : {g1, g2}) {
        std::vector<long> numbers = Numbers(g);
        ASSERT_EQ(numbers.size(), 300u);
        for (size_t i = 0; i < numbers.size(); i++) EXPECT_EQ(numbers[i], (long)i + 1);
    }
    EXPECT_EQ(RefsOf(g1, "<b7@x>"), " 2:7");
    EXPECT_EQ(RefsOf(g2, "<a7@x>"), " 1:7");
    IndicesRelease(g1, 2);
    IndicesRelease(g2, 2);
}

TEST_F(ArticlesTest, OutcomesAreCountedAndSeenNumbersRemembered) {
    struct {
        int result;
        int tAddCounters::*counter;
    } cases[] = {
        {AA_NEW, &tAddCounters::newArticles},         {AA_REGET, &tAddCounters::reget},
        {AA_ALREADY_DELETED, &tAddCounters::alreadyDeleted}, {AA_PHOENIX, &tAddCounters::phoenix},
        {AA_DUP, &tAddCounters::dup},                 {AA_HIDDEN, &tAddCounters::hidden},
        {E_DATE_TOO_OLD, &tAddCounters::tooOld},      {E_FILTERED_OUT, &tAddCounters::filteredOut},
        {E_NO_SUBJECT, &tAddCounters::bad},
    };
    for (const auto &c : cases) {
        tAddCounters counters{};
        CountOutcome(&counters, c.result);
        EXPECT_EQ(counters.*(c.counter), 1) << c.result;
    }

    tArticles *g = Open("alt.test");
    tNumbers seen;
    NumbersInit(&seen);
    tAddCounters counters{};
    EXPECT_EQ(Add(g, 1, Line(7, "<a@x>"), &counters, &seen), AA_NEW);
    EXPECT_EQ(Add(g, 1, "8\tbroken line\r\n", &counters, &seen), E_NO_TAB_AFTER_SUBJECT);
    EXPECT_EQ(counters.bad, 1);
    EXPECT_TRUE(NumbersContains(&seen, 7));
    EXPECT_FALSE(NumbersContains(&seen, 8));
    NumbersFree(&seen);
    IndicesRelease(g, 2);
}

// A filter that hides articles whose subject ends in 1 and drops those ending
// in 2.
int TestFilter(void *, tArticles *, tArticleFull *full) {
    std::string subject = ArticleDataSubject(&full->adt);
    if (subject.back() == '1') {
        full->a->flags |= ART_HIDDEN | ART_DIRTY;
        return AA_HIDDEN;
    }
    return subject.back() == '2' ? E_FILTERED_OUT : 0;
}

TEST_F(ArticlesTest, FiltersHideOrDropNewArticlesAndListingsSkipThem) {
    tArticles *g = Open("alt.test");
    tArticleHooks hooks{TestFilter, nullptr};
    tAddCounters counters{};
    tNumbers seen;
    NumbersInit(&seen);
    for (long n : {10, 11, 12, 13}) {
        tOverviewFixes fixes{};
        tOverviewAdd context;
        context.log = &log;
        context.serverId = 1;
        context.articles = g;
        context.seen = &seen;
        context.counters = &counters;
        context.fixes = &fixes;
        context.indices = indices;
        context.filters = &hooks;
        long previous = 0;
        (void)AddOverviewLine(&context, Line(n, "<f" + std::to_string(n) + "@x>").c_str(), &previous, false,
                              {0, 1000});
    }
    EXPECT_EQ(counters.newArticles, 2);
    EXPECT_EQ(counters.hidden, 1);
    EXPECT_EQ(counters.filteredOut, 1);
    EXPECT_TRUE(NumbersContains(&seen, 12));  // not asked for again
    NumbersFree(&seen);
    EXPECT_EQ(Numbers(g), (std::vector<long>{1, 2, 3}));

    std::string out;
    auto collect = [](void *output, const char *text, size_t length) {
        ((std::string *)output)->append(text, length);
        return 0;
    };
    ASSERT_EQ(ArticlesListNumbersTo(g, nullptr, collect, &out), E_OK);
    EXPECT_EQ(out, "1\r\n3\r\n");
    out.clear();
    tRange range{2, 3};
    ASSERT_EQ(ArticlesListNumbersTo(g, &range, collect, &out), E_OK);
    EXPECT_EQ(out, "3\t20\r\n");
    auto fail = [](void *, const char *, size_t) { return -1; };
    EXPECT_EQ(ArticlesListNumbersTo(g, nullptr, fail, nullptr), E_CLIENT_DISCONNECTED);
    IndicesRelease(g, 2);
}

TEST_F(ArticlesTest, RenumberingNeverReusesANumber) {
    tArticles *g = Open("alt.test");
    for (long n = 1; n <= 3; n++) ASSERT_EQ(Add(g, 1, Line(n, "<r" + std::to_string(n) + "@x>")), AA_NEW);
    ArticlesLock(g);
    tArticleFull full{};
    ASSERT_EQ(ArticlesFind(g, 2, 0, &full), E_OK);
    ASSERT_EQ(ArticlesRenumber(g, &log, true, &full), E_OK);
    EXPECT_EQ(full.adt.number, 4);
    ArticleFullFree(&full);
    ASSERT_EQ(ArticlesFind(g, 4, 0, &full), E_OK);  // the top row moves on as well
    ASSERT_EQ(ArticlesRenumber(g, &log, false, &full), E_OK);
    EXPECT_EQ(full.adt.number, 5);
    EXPECT_EQ(full.a->flags & ART_RENUMBERED, ART_RENUMBERED);
    ArticleFullFree(&full);
    ArticlesUnlock(g);
    EXPECT_NE(Journal().find("Renumbered <r2@x> into </mg4/r2@x>.\n"), std::string::npos);

    ASSERT_EQ(Add(g, 1, Line(4, "<r4@x>")), AA_NEW);
    EXPECT_EQ(Numbers(g), (std::vector<long>{1, 3, 5, 6}));
    IndicesRelease(g, 2);

    // After reopening the next number still comes after every number given.
    g = Open("alt.test", false);
    ASSERT_EQ(Add(g, 1, Line(5, "<r5@x>")), AA_NEW);
    EXPECT_EQ(Numbers(g), (std::vector<long>{1, 3, 5, 6, 7}));
    IndicesRelease(g, 2);
}

TEST_F(ArticlesTest, DownloadPlaceholdersShowARangeWithoutReadableArticles) {
    tArticles *g = Open("alt.new");
    int fakes = 0;
    articlesSettings.fakes = &fakes;
    ArticlesLock(g);
    ASSERT_EQ(AddDownloadPlaceholder(g, &log, false), E_OK);
    ASSERT_EQ(AddDownloadPlaceholder(g, &log, true), E_OK);
    ASSERT_EQ(AddDownloadPlaceholder(g, &log, true), E_OK);  // high is 1000 now: nothing
    tRange range;
    long count;
    ArticlesGetRange(g, &range, &count);
    EXPECT_EQ(range.low, 1);
    EXPECT_EQ(range.high, 1000);
    EXPECT_EQ(count, 2);
    ArticlesUnlock(g);
    std::string out;
    auto collect = [](void *output, const char *text, size_t length) {
        ((std::string *)output)->append(text, length);
        return 0;
    };
    ASSERT_EQ(ArticlesListNumbersTo(g, nullptr, collect, &out), E_OK);
    EXPECT_EQ(out, "");
    EXPECT_EQ(Add(g, 1, Line(1, "<real@x>")), AA_NEW);
    EXPECT_EQ(Numbers(g), (std::vector<long>{1001}));  // the placeholders were garbage below it
    IndicesRelease(g, 2);
}

// A process killed between adds and the next sync keeps exactly what was
// synced, in a sound file.
TEST_F(ArticlesTest, CrashBeforeSyncLosesOnlyUncommittedArticles) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        tIndices *own = nullptr;
        tArticles *g = nullptr;
        if (IndicesCreate(&own, false, nullptr, &articlesStoreOps) != E_OK ||
            ArticlesOpen(own, "crash.test", nullptr, true, &g, -1) != E_OK)
            _exit(2);
        for (long n = 1; n <= 250; n++) {
            if (Add(g, 1, Line(n, "<c" + std::to_string(n) + "@x>")) != AA_NEW) _exit(3);
            if (n == 200 && ArticlesSync(g) != E_OK) _exit(4);
        }
        if (write(ready[1], "x", 1) != 1) _exit(5);
        for (;;) pause();
    }
    close(ready[1]);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    tArticles *g = Open("crash.test", false);
    ASSERT_NE(g, nullptr);
    ArticlesLock(g);
    EXPECT_EQ(ArticlesCount(g), 200);
    sqlite3_stmt *st;
    ASSERT_EQ(DbPrepare(&g->db, "PRAGMA integrity_check;", &st), E_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ((const char *)sqlite3_column_text(st, 0), "ok");
    sqlite3_finalize(st);
    ArticlesUnlock(g);
    EXPECT_EQ(Add(g, 1, Line(201, "<c201@x>")), AA_NEW);
    EXPECT_EQ(Numbers(g).back(), 201);
    IndicesRelease(g, 2);
}

}  // namespace
