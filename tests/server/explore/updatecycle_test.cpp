// The update cycle: scheduling every explored server once the Internet is
// there, the main-server sync, and the end of minimal mode.
#include "tests/server/explore/explorefixture.h"

#include "lib/shutdown.h"

namespace {

struct UpdateCycleTest : ExploreFixture {
    tUpdateCycle cycle;

    void LoadThree(const std::string &extra = "") {
        std::string port = std::to_string(fake->port());
        LoadIni("[proxies]\nurl=none\n\n[server]\nurl=127.0.0.1:" + port + "\n" + extra +
                "\n[server]\nurl=127.0.0.2:" + port + "\nexplore=0\n\n[server]\nurl=localhost:" + port + "\n");
        cycle.templ = templ;
        cycle.templ.periodic = 1;
    }
    int Handle(int i) {
        std::lock_guard<std::mutex> guard(ServerAt(servers.get(), i)->lock);
        return ServerAt(servers.get(), i)->exploreTask;
    }
};

TEST_F(UpdateCycleTest, AssumedInternetSchedulesEveryExploredServerOnTheFirstRun) {
    Put("misc.test", 1, 3);
    ASSERT_EQ(GroupAddActive(&groupList, "misc.test"), E_OK);
    LoadThree();
    time_t before = time(nullptr);
    time_t next = UpdateTask(&cycle, nullptr);
    EXPECT_GE(next, before + 10);
    EXPECT_LE(next, time(nullptr) + 10);
    EXPECT_TRUE(cycle.scheduled && cycle.synced && cycle.connected && cycle.probed);
    EXPECT_GT(Handle(0), 0);
    EXPECT_EQ(Handle(1), 0);  // explore=0
    EXPECT_GT(Handle(2), 0);
    ASSERT_TRUE(Eventually([&] {
        return ServerAt(servers.get(), 0)->dynamic->okExplores == 1 && ServerAt(servers.get(), 2)->dynamic->okExplores == 1;
    }));
    // Later runs schedule nothing more.
    int first = Handle(0);
    (void)UpdateTask(&cycle, nullptr);
    EXPECT_EQ(Handle(0), first);
    EXPECT_EQ(ServerAt(servers.get(), 1)->dynamic->okExplores, 0);
}

TEST_F(UpdateCycleTest, MinimalModeEndsWithCode49OnceEveryServerWasExplored) {
    LoadThree();
    ASSERT_EQ(servers->serversToExplore, 3);
    ServerExplored(servers.get());
    ServerExplored(servers.get());
    EXPECT_EQ(shutdownCode.load(), 0);
    ServerExplored(servers.get());
    EXPECT_EQ(shutdownCode.load(), 49);
}

TEST_F(UpdateCycleTest, MinimalModeCountsAServerThatIsNotExploredAsDone) {
    LoadThree();
    cycle.templ.minimal = 1;
    ASSERT_EQ(ScheduleIfExplored(ServerAt(servers.get(), 1), &cycle.templ), E_OK);
    EXPECT_EQ(servers->serversToExplore, 2);
    EXPECT_EQ(Handle(1), 0);
}

TEST_F(UpdateCycleTest, AMainServerWithANewsrcIsNotSyncedAgain) {
    LoadThree("main=1\n");
    ASSERT_NE(servers->mainServer, 0);
    std::string path = std::string("newsrc3/") + ServerAt(servers.get(), 0)->diskName;
    ASSERT_TRUE(WriteWholeFile(path, ""));
    EXPECT_EQ(SyncWithMain(&cycle), E_OK);
    EXPECT_EQ(fake->Accepted(), 0);
}

TEST_F(UpdateCycleTest, AMainServerSyncNumbersTheNewIndexLikeTheServer) {
    Put("misc.test", 101, 105);
    ASSERT_EQ(GroupAddActive(&groupList, "misc.test"), E_OK);
    LoadThree("main=1\n");
    EXPECT_EQ(SyncWithMain(&cycle), E_OK);
    EXPECT_TRUE(Has(Journal(), "Syncing with main server ")) << Journal();
    EXPECT_TRUE(Has(Journal(), "Sync with main server done.\n")) << Journal();
    tArticles *articles = nullptr;
    ASSERT_EQ(ArticlesOpen(indexCache, "misc.test", &journal, false, &articles, -1), E_OK);
    ArticlesLock(articles);
    tRange range;
    long count;
    ArticlesGetRange(articles, &range, &count);
    ArticlesUnlock(articles);
    IndicesRelease(articles, 1);
    EXPECT_EQ(range.low, 101);
    EXPECT_EQ(range.high, 105);
    EXPECT_EQ(cycle.templ.server, nullptr);
    EXPECT_EQ(cycle.templ.useServerNumber, 0);
}

TEST_F(UpdateCycleTest, AMainServerWithoutActiveGroupsLetsStartUpContinue) {
    Put("misc.test", 1, 5);  // offered, but nobody reads it
    LoadThree("main=1\n");
    EXPECT_EQ(SyncWithMain(&cycle), E_OK);
    EXPECT_TRUE(Has(Journal(), "Ignoring this error; main server will simply be the default posting server.\n"))
        << Journal();
}

TEST_F(UpdateCycleTest, AFailedMainServerSyncStopsTheProgramWithCode35) {
    LoadIni("[proxies]\nurl=none\n\n[server]\nurl=127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "\nmain=1\n");
    cycle.templ = templ;
    EXPECT_EQ(UpdateTask(&cycle, nullptr), 0);
    EXPECT_EQ(shutdownCode.load(), 35);
    EXPECT_TRUE(Has(Journal(), "Sync with main server failed: ")) << Journal();
}

}  // namespace
