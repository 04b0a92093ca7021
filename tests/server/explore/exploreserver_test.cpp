// Server exploration against a fake news server whose groups the tests
// change between explorations: what is fetched, what is forgotten, what the
// newsrc, the index, the statistics and the logs hold afterwards.
#include "tests/server/explore/explorefixture.h"

namespace {

struct ExploreServerTest : ExploreFixture {
    void LoadFake(const std::string &keys = "") { LoadServer(fake->port(), keys); }
    bool Sent(const std::string &command) { return Has(fake->Commands(), command + "\n"); }
};

TEST(ExploreDelay, TheResultChoosesTheNextExploration) {
    const struct {
        tDiag result;
        int seconds;
    } cases[] = {
        {E_OK, 7200},          {E_XOVER_REFUSED, 7200},        {E_SHUTDOWN, -1},        {E_BAD_PROXY_ID, -1},
        {E_STILL_RUNNING, 60}, {E_NONE, 0},                    {E_GROUP_EOFS, 600},     {E_TCP_REFUSED, 1800},
        {E_LIST_TIMEOUTS, 1800}, {E_SERVER_OVERLOADED, 10},    {E_NO_CONNECTION, 10},   {E_XOVER_FAILED, 300},
        {E_NO_GROUPS, 900},    {E_NO_INTERESTING_GROUPS, 18000}, {E_NO_ACTIVE_GROUPS, 43200},
        {E_GROUP_REFUSED, 1200}, {E_ARTICLE_REFUSED, 10800},   {E_SQL_FAILED, 3600},
    };
    for (const auto &c : cases) EXPECT_EQ(NextExploreDelay(c.result), c.seconds) << DiagText(c.result);
}

TEST(ExploreReport, CountersNameOnlyWhatHappened) {
    tTempDir d;
    tLog log;
    ASSERT_EQ(LogOpen(&log, (d / "log").c_str(), 1 << 20), E_OK);
    tAddCounters c{};
    c.newArticles = 5;
    c.dup = 2;
    c.bad = 1;
    ReportCounters(&c, "full article descriptions", &log);
    c = tAddCounters{};
    c.reget = 3;
    c.xref.self = 4;
    c.notActive = 2;
    ReportCounters(&c, "server refs", &log);
    LogClose(&log);
    std::string text = ReadWholeFile(d / "log");
    EXPECT_NE(text.find("Got 8 full article descriptions, 5 new, 2 dup, 1 bad.\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Got 3 server refs, 3 reget.\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Processed 6 x-refs, 4 self, 2 not active.\n"), std::string::npos) << text;
}

TEST_F(ExploreServerTest, FirstExplorationFetchesEveryActiveGroupAndRecordsTheResult) {
    Put("misc.test", 1, 30);
    Put("misc.other", 5, 9);
    Put("alt.unused", 1, 50);
    ASSERT_EQ(GroupAddActive(&groupList, "misc.test"), E_OK);
    ASSERT_EQ(GroupAddActive(&groupList, "misc.other"), E_OK);
    LoadFake();
    ASSERT_EQ(Explore(), E_OK);

    EXPECT_EQ(NewsrcText("misc.test"), "1-30");
    EXPECT_EQ(NewsrcText("misc.other"), "5-9");
    EXPECT_EQ(NewsrcText("alt.unused"), "-");
    auto index = Index("misc.test");
    EXPECT_EQ(index.size(), 30u);
    EXPECT_EQ(index["<7.misc.test@fake>"], " " + std::to_string(Server()->id) + ":7");
    EXPECT_TRUE(Index("alt.unused").empty());

    std::string log = ExploreLog();
    EXPECT_TRUE(Has(log, "Exploring all groups.\n")) << log;
    EXPECT_TRUE(Has(log, "Performing a full groups.yes sweep (last groups.yes scan time not known).\n")) << log;
    EXPECT_TRUE(Has(log, "\tNew group, up to 30 articles (1-30).\n")) << log;
    EXPECT_TRUE(Has(log, "Got 30 full article descriptions, 30 new.\n")) << log;
    EXPECT_TRUE(Has(log, "Result: Ok, next exploration in 2 hours.\n")) << log;
    tServerDynamic *d = Server()->dynamic;
    EXPECT_EQ(d->lastExploreDiag, E_OK);
    EXPECT_EQ(d->okExplores, 1);
    EXPECT_EQ(d->failedExplores, 0);
    EXPECT_NE(d->lastGroupYesScanTime, 0);
    EXPECT_TRUE(Has(ReadWholeFile("logs/results"), "127.0.0.1:" + std::to_string(fake->port())));
    EXPECT_TRUE(Has(ReadWholeFile("servdyna.ini"), "okExplores=1"));
    EXPECT_EQ(Server()->exploreState, nullptr);

    // Nothing new: the second exploration asks only for the new groups and
    // lists each group's numbers once.
    ASSERT_EQ(Explore(), E_OK);
    log = ExploreLog();
    EXPECT_TRUE(Has(log, "Last full groups.yes sweep is recent, asking about new groups only.\n")) << log;
    EXPECT_TRUE(Has(log, "All 30 articles still there (1-30).\n")) << log;
    EXPECT_TRUE(Has(log, "Already have all remaining articles (1-30).\n")) << log;
    EXPECT_EQ(Index("misc.test").size(), 30u);
    EXPECT_EQ(Server()->dynamic->okExplores, 2);
}

TEST_F(ExploreServerTest, VanishedNumbersAreForgottenAndOnlyNewOnesFetched) {
    // Old 1-100, now 50-150: 1-49 vanish, 101 onward is fetched.
    Put("misc.test", 1, 100);
    ASSERT_EQ(GroupAddActive(&groupList, "misc.test"), E_OK);
    LoadFake();
    ASSERT_EQ(Explore(), E_OK);
    ASSERT_EQ(NewsrcText("misc.test"), "1-100");
    Drop("misc.test", 1, 49);
    Put("misc.test", 101, 150);
    ASSERT_EQ(Explore(), E_OK);
    std::string log = ExploreLog();
    EXPECT_TRUE(Has(log, "49 (1-49) of 100 (1-100) articles vanished.\n")) << log;
    EXPECT_TRUE(Has(log, "Article 101 is first new (50-150), up to 50 new articles.\n")) << log;
    EXPECT_TRUE(Sent("XOVER 101-") || Sent("XOVER 101-2147483647")) << fake->Commands();
    EXPECT_EQ(NewsrcText("misc.test"), "50-150");
    auto index = Index("misc.test");
    // Articles 1-49 lost their only reference: zombies keep the empty
    // reference, the rest carry the server's.
    std::string id = std::to_string(Server()->id);
    EXPECT_EQ(index["<120.misc.test@fake>"], " " + id + ":120");
    EXPECT_EQ(index["<60.misc.test@fake>"], " " + id + ":60");
    EXPECT_EQ(index["<10.misc.test@fake>"].find(" " + id + ":"), std::string::npos) << index["<10.misc.test@fake>"];
}

TEST_F(ExploreServerTest, ArticlesAppearingInAGapAreFetchedAlone) {
    // Old 1-59 and 71-100, the server now lists 1-100: only 60-70.
    Put("misc.test", 1, 100);
    ASSERT_EQ(GroupAddActive(&groupList, "misc.test"), E_OK);
    LoadFake();
    SetNewsrc("misc.test", {{1, 59}, {71, 100}});
    ASSERT_EQ(Explore(), E_OK);
    std::string log = ExploreLog();
    EXPECT_TRUE(Has(log, "11 articles appeared in 1 ranges before the previous last one.\n")) << log;
    EXPECT_TRUE(Has(log, "No new articles beyond previous last one.\n")) << log;
    EXPECT_TRUE(Sent("XOVER 60-70")) << fake->Commands();
    EXPECT_EQ(Index("misc.test").size(), 11u);
    EXPECT_EQ(NewsrcText("misc.test"), "1-100");
}

TEST_F(ExploreServerTest, ListedNumbersWithoutOverviewBecomeFakesWithUseFakes) {
    Put("misc.test", 1, 20);
    ASSERT_EQ(GroupAddActive(&groupList, "misc.test"), E_OK);
    LoadFake("useFakes=1\n");
    SetNewsrc("misc.test", {{1, 10}});
    // The server lists 11-20 but has no overview for 11-15 (a fake answer
    // for XOVER that skips them).
    fake->SetScript([this](int connection, const std::string &command) {
        if (command.rfind("XOVER", 0) == 0) {
            std::string out = "224 overview\r\n";
            for (int n = 16; n <= 20; n++) out += tFakeNews::OverviewLine("misc.test", n, "<" + std::to_string(n) + "@f>");
            return out + ".\r\n";
        }
        return news.Answer(connection, command);
    });
    ASSERT_EQ(Explore(), E_OK);
    EXPECT_EQ(NewsrcText("misc.test"), "1-20");
    EXPECT_TRUE(Has(ExploreLog(), "Added 5 fake numbers, total now 20\n")) << ExploreLog();
}

TEST_F(ExploreServerTest, AServerThatIsDownFailsWithItsDiagnosticAndCountsAFailure) {
    int port = FreeLoopbackPort();
    LoadServer(port);
    tDiag rc = Explore();
    EXPECT_EQ(rc, E_TCP_REFUSED) << DiagText(rc);
    tServerDynamic *d = Server()->dynamic;
    EXPECT_EQ(d->failedExplores, 1);
    EXPECT_EQ(d->lastFailedExploreDiag, rc);
    EXPECT_EQ(d->lastExploreDiag, rc);
    std::string log = ExploreLog();
    EXPECT_TRUE(Has(log, "Requesting a connection to ")) << log;
    EXPECT_TRUE(Has(log, std::string("Result: ") + DiagText(rc) + ", next exploration in 30 minutes.\n")) << log;
    EXPECT_TRUE(Has(ReadWholeFile("logs/results"), DiagText(rc)));
}

TEST_F(ExploreServerTest, OneGroupExplorationVisitsOnlyThatGroupAndLeavesTheStatistics) {
    Put("misc.test", 1, 5);
    Put("misc.other", 1, 5);
    ASSERT_EQ(GroupAddActive(&groupList, "misc.test"), E_OK);
    ASSERT_EQ(GroupAddActive(&groupList, "misc.other"), E_OK);
    LoadFake();
    ASSERT_EQ(Explore("misc.test"), E_OK);
    EXPECT_EQ(Index("misc.test").size(), 5u);
    EXPECT_TRUE(Index("misc.other").empty());
    EXPECT_FALSE(Sent("LIST ACTIVE *")) << fake->Commands();
    EXPECT_TRUE(Has(ExploreLog(), "Exploring group misc.test\n"));
    EXPECT_TRUE(Has(ExploreLog(), "Result: Ok.\n"));
    EXPECT_EQ(Server()->dynamic->okExplores, 0);
    EXPECT_EQ(Server()->dynamic->lastExploreDiag, E_NONE);
}

TEST_F(ExploreServerTest, ADeferredExplorationSkipsARecentGoodOne) {
    Put("misc.test", 1, 5);
    ASSERT_EQ(GroupAddActive(&groupList, "misc.test"), E_OK);
    LoadFake();
    Server()->dynamic->lastExploreDiag = E_OK;
    Server()->dynamic->lastExploreTime = (int32_t)time(nullptr) - 100;
    templ.deferred = 1;
    EXPECT_EQ(Explore(), E_OK);
    EXPECT_EQ(fake->Accepted(), 0);
    EXPECT_EQ(Server()->dynamic->okExplores, 0);
}

TEST_F(ExploreServerTest, PeriodicTaskKeepsItsHandleAndAForcedRunReusesIt) {
    Put("misc.test", 1, 5);
    ASSERT_EQ(GroupAddActive(&groupList, "misc.test"), E_OK);
    LoadFake();
    templ.periodic = 1;
    ASSERT_EQ(ScheduleExplore(Server(), &templ), E_OK);
    int handle;
    {
        std::lock_guard<std::mutex> guard(Server()->lock);
        handle = Server()->exploreTask;
    }
    EXPECT_GT(handle, 0);
    EXPECT_EQ(ScheduleExplore(Server(), &templ), E_STILL_RUNNING);
    ASSERT_TRUE(Eventually([&] { return Server()->dynamic->okExplores == 1; }));
    // The task waits two hours now; an exploration of all groups asked for
    // meanwhile makes it due instead of adding another task.
    tExplore now = templ;
    now.periodic = 0;
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> guard(Server()->lock);
        return Server()->exploreState == nullptr;
    }));
    ASSERT_EQ(ScheduleExplore(Server(), &now), E_OK);
    ASSERT_TRUE(Eventually([&] { return Server()->dynamic->okExplores == 2; }));
    std::lock_guard<std::mutex> guard(Server()->lock);
    EXPECT_EQ(Server()->exploreTask, handle);
}

TEST_F(ExploreServerTest, AOneGroupExplorationWaitsForTheRunningOne) {
    Put("misc.test", 1, 5);
    ASSERT_EQ(GroupAddActive(&groupList, "misc.test"), E_OK);
    LoadFake();
    int busy = 0;
    {
        std::lock_guard<std::mutex> guard(Server()->lock);
        Server()->exploreState = &busy;  // another exploration runs
    }
    tExplore one = templ;
    snprintf(one.oneGroup, sizeof one.oneGroup, "misc.test");
    ASSERT_EQ(ScheduleExplore(Server(), &one), E_OK);
    auto waiting = [] {
        tTaskListing listing;
        TasksList(&taskScheduler, &listing);
        for (const auto &t : listing.tasks)
            if (t.state == TASK_WAIT && t.timeLeft > 30 && !strcmp(t.category, "explore")) return true;
        return false;
    };
    ASSERT_TRUE(Eventually(waiting));
    EXPECT_EQ(fake->Accepted(), 0);
    {
        std::lock_guard<std::mutex> guard(Server()->lock);
        Server()->exploreState = nullptr;
    }
    clockOffset += 61;
    SchedulerWake(&taskScheduler);
    ASSERT_TRUE(Eventually([&] { return Index("misc.test").size() == 5u; }));
}

}  // namespace

namespace {

int sampled = 0;
tDiag SampleOk(tNntp *, const char *, long) {
    sampled++;
    return E_OK;
}
tDiag SampleRefused(tNntp *, const char *, long) {
    sampled++;
    return E_ARTICLE_REFUSED;
}

struct MinimalTest : ExploreServerTest {
    void SetUp() override {
        ExploreServerTest::SetUp();
        sampled = 0;
        templ.minimal = 1;
        for (int g = 0; g < 30; g++) Put("misc.g" + std::to_string(g), 1, 20);
    }
    void TearDown() override {
        exploreSample = nullptr;
        ExploreServerTest::TearDown();
    }
};

TEST_F(MinimalTest, TwentyGoodSamplesJudgeTheServerAndEndTheRun) {
    exploreSample = SampleOk;
    LoadFake();
    EXPECT_EQ(Explore(), E_OK);
    EXPECT_EQ(sampled, 20);
    EXPECT_EQ(shutdownCode.load(), 49);  // the only server was explored
    std::string log = ExploreLog();
    EXPECT_TRUE(Has(log, "Sampling article 20 from misc.g")) << log;
    EXPECT_TRUE(Has(log, "Result: Ok.\n")) << log;
    EXPECT_FALSE(Has(fake->Commands(), "XOVER"));
}

TEST_F(MinimalTest, AServerRefusingEverySampleIsCopiedToTheCopyPath) {
    exploreSample = SampleRefused;
    ASSERT_EQ(mkdir("failed", 0755), 0);
    templ.copyPath = "failed";
    LoadFake();
    EXPECT_EQ(Explore(), E_ALL_ARTICLES_REFUSED);
    EXPECT_EQ(sampled, 30);  // one try per group: a refusal moves on
    EXPECT_TRUE(Has(ReadWholeFile(std::string("failed/") + Server()->diskName), "Failed to obtain sample article"));
}

}  // namespace
