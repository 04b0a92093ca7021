// The connection pool: deadline order, reuse of idle connections, idle and
// keep-alive tasks, failed connects, reconnection, shutdown and reports.
#include "server/upstream/pool.h"

#include "tests/server/upstream/upstreamfixture.h"
#include "tests/support/fakenntp.h"

#include <vector>

namespace {

struct PoolFixture : UpstreamFixture {
    int ActiveRequests() {
        std::lock_guard<std::mutex> guard(Server()->lock);
        int n = 0;
        for (tDlink *l = Server()->activeServerRequests.next; l != &Server()->activeServerRequests; l = l->next) n++;
        return n;
    }
    int Connections() {
        std::lock_guard<std::mutex> guard(Server()->lock);
        return Server()->connections;
    }
    void Advance(long seconds) {
        clockOffset += seconds;
        SchedulerWake(&taskScheduler);
    }
};

const tRequester direct{"direct", -120, KIND_DIRECT};
const tRequester explore{"explore", 120, KIND_EXPLORE};

TEST_F(PoolFixture, RequestsAreServedInDeadlineOrderWithinTheConnectionLimit) {
    tFakeNntp fake({"200 hi"});
    LoadServer(fake.port(), "adjustMaxConnections=-2\n");
    tServerConnection *held[2];
    for (auto &sc : held) ASSERT_EQ(RequestConnection(Server(), &direct, &journal, 60, -1, &sc), E_OK);

    std::mutex lock;
    std::vector<std::string> order;
    std::vector<std::thread> threads;
    auto ask = [&](const tRequester *who, std::string name) {
        threads.emplace_back([&, who, name] {
            tServerConnection *sc = nullptr;
            tRequester r = *who;
            r.name = name.c_str();
            ASSERT_EQ(RequestConnection(Server(), &r, &journal, 120, -1, &sc), E_OK);
            {
                std::lock_guard<std::mutex> g(lock);
                order.push_back(name);
            }
            ReleaseConnection(sc, 0);
        });
    };
    for (int i = 0; i < 3; i++) {
        ask(&explore, "explore" + std::to_string(i));
        ASSERT_TRUE(Eventually([&] { return ActiveRequests() == i + 1; }));
    }
    ask(&direct, "direct");
    ASSERT_TRUE(Eventually([&] { return ActiveRequests() == 4; }));
    // No third connection is opened for them.
    EXPECT_EQ(fake.Accepted(), 2);
    ReleaseConnection(held[0], 0);
    for (auto &t : threads) t.join();
    EXPECT_EQ(order, (std::vector<std::string>{"direct", "explore0", "explore1", "explore2"}));
    ReleaseConnection(held[1], 0);
    EXPECT_EQ(fake.Accepted(), 2);
}

TEST_F(PoolFixture, IdleConnectionIsReusedThenClosedAfterItsIdleTime) {
    tFakeNntp fake({"200 hi"});
    LoadServer(fake.port());
    tServerConnection *sc = nullptr, *again = nullptr;
    ASSERT_EQ(RequestConnection(Server(), &direct, &journal, 60, -1, &sc), E_OK);
    ASSERT_GT(SendCommand(&sc->nntp, "STAT\r\n"), 0);
    char line[256];
    ASSERT_GT(ReadResponse(&sc->nntp, line, sizeof line, 10, "STAT response"), 0);
    ReleaseConnection(sc, 0);
    EXPECT_EQ(sc->status, SC_IDLE);
    // Served at once with the same connection, no connect task.
    ASSERT_EQ(RequestConnection(Server(), &explore, &journal, 60, -1, &again), E_OK);
    EXPECT_EQ(again, sc);
    EXPECT_EQ(again->usedTimes, 2);
    EXPECT_EQ(again->status, SC_ACTIVE);
    EXPECT_EQ(again->kind, KIND_EXPLORE);
    EXPECT_EQ(fake.Accepted(), 1);
    ReleaseConnection(again, 0);
    Advance(301);
    ASSERT_TRUE(Eventually([&] { return Connections() == 0; }));
    EXPECT_TRUE(Has(Journal(), "Closing idle ("));
    EXPECT_EQ(fake.Commands(), "STAT\nQUIT\n");
    // Its traffic went into the server's statistics.
    EXPECT_EQ(Server()->dynamic->bytesSent, 12);
    EXPECT_GT(Server()->dynamic->bytesReceived, 20);
    EXPECT_EQ(Server()->dynamic->maxBytesSent, 12);
}

TEST_F(PoolFixture, KeptAliveConnectionIsRefreshedThenClosedWhenUnusedTooLong) {
    tFakeNntp fake({"200 hi"});
    LoadServer(fake.port(), "keepAlive=1\n");
    tServerConnection *sc = nullptr;
    ASSERT_EQ(RequestConnection(Server(), &direct, &journal, 60, -1, &sc), E_OK);
    ReleaseConnection(sc, 0);
    EXPECT_EQ(sc->status, SC_KEPT_ALIVE);
    Advance(61);
    ASSERT_TRUE(Eventually([&] { return fake.Commands() == "MODE READER\n"; }));
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> g(Server()->lock);
        return DlinkInList(&Server()->idleConnections) && sc->status == SC_KEPT_ALIVE;
    }));
    {
        std::lock_guard<std::mutex> g(Server()->lock);
        sc->lastUse -= 1000;
    }
    Advance(61);
    ASSERT_TRUE(Eventually([&] { return Connections() == 0; }));
    EXPECT_EQ(fake.Commands(), "MODE READER\nMODE READER\nQUIT\n");
}

TEST_F(PoolFixture, BrokenConversationIsReconnectedOnceThenTheFailureReported) {
    tFakeNntp fake({"200 hi"}, 1);  // every connection drops at its second command
    LoadServer(fake.port());
    tServerConnection *sc = nullptr;
    ASSERT_EQ(RequestConnection(Server(), &direct, &journal, 60, -1, &sc), E_OK);
    char line[256];
    ASSERT_GT(SendCommand(&sc->nntp, "STAT 1\r\n"), 0);
    ASSERT_GT(ReadResponse(&sc->nntp, line, sizeof line, 10, "STAT response"), 0);
    (void)SendCommand(&sc->nntp, "STAT 2\r\n");
    EXPECT_EQ(ReadResponse(&sc->nntp, line, sizeof line, 10, "STAT response"), E_CLOSED_BY_PEER);
    // Reconnect and repeat the command.
    ASSERT_EQ(Reconnect(&sc->nntp, 60, -1, &direct), E_OK);
    EXPECT_EQ(sc->nntp.reconnects, 1);
    ASSERT_GT(SendCommand(&sc->nntp, "STAT 2\r\n"), 0);
    ASSERT_GT(ReadResponse(&sc->nntp, line, sizeof line, 10, "STAT response"), 0);
    EXPECT_EQ(ReplyCode(line), 223);
    EXPECT_EQ(Connections(), 1);  // the donor connection is gone
    // The new connection breaks too: two failures within 2 seconds hold
    // back the next attempt, which reports why.
    (void)SendCommand(&sc->nntp, "STAT 3\r\n");
    EXPECT_LT(ReadResponse(&sc->nntp, line, sizeof line, 10, "STAT response"), 0);
    EXPECT_LT(ReadResponse(&sc->nntp, line, sizeof line, 10, "STAT response"), 0);
    EXPECT_EQ(Reconnect(&sc->nntp, 60, -1, &direct), E_FAILURE_TOO_RECENT);
    EXPECT_TRUE(Has(Journal(), "Not attempting reconnect, last failed tentative is too recent.\n"));
    EXPECT_EQ(fake.Accepted(), 2);
    ReleaseConnection(sc, 0);  // without a socket: closed and freed
    EXPECT_EQ(Connections(), 0);
}

TEST_F(PoolFixture, RefusingServerFailsAllWaitersAtOnce) {
    tFakeNntp fake({"502 you are not welcome"});
    LoadServer(fake.port());
    std::vector<std::thread> threads;
    std::vector<tDiag> results(3, E_OK);
    for (int i = 0; i < 3; i++)
        threads.emplace_back([&, i] {
            tServerConnection *sc = nullptr;
            results[i] = RequestConnection(Server(), &direct, &journal, 120, -1, &sc);
        });
    for (auto &t : threads) t.join();
    for (tDiag rc : results) EXPECT_EQ(rc, E_NNTP_REFUSED);
    EXPECT_EQ(Server()->lastConnectDiag, E_NNTP_REFUSED);
    EXPECT_TRUE(Has(ConnectLog(), "Failing waiters because "));
    EXPECT_TRUE(Has(ConnectLog(), "Connect task did 1 connect(s).\n"));
}

TEST_F(PoolFixture, OverloadedServerIsRetriedAfterTenSeconds) {
    tFakeNntp fake({"400 busy", "200 hi"});
    LoadServer(fake.port());
    std::thread waiter([&] {
        tServerConnection *sc = nullptr;
        EXPECT_EQ(RequestConnection(Server(), &direct, &journal, 300, -1, &sc), E_OK);
        if (sc) ReleaseConnection(sc, 0);
    });
    ASSERT_TRUE(Eventually([&] { return Has(ConnectLog(), "Waiting 10 seconds before retrying.\n"); }));
    Advance(11);
    waiter.join();
    EXPECT_EQ(fake.Accepted(), 2);
    // The overloaded server was marked: its idle connection is kept alive.
    EXPECT_NE(Server()->flags & SF_KEEP_ALIVE_MARK, 0u);
}

TEST_F(PoolFixture, ShutdownEndsConnectsAndWaitsLeavingNothingBehind) {
    tFakeNntp silent({""});
    LoadServer(silent.port());
    tDiag rc = E_OK;
    std::thread waiter([&] {
        tServerConnection *sc = nullptr;
        rc = RequestConnection(Server(), &direct, &journal, 500, CancelSocketGet(), &sc);
    });
    ASSERT_TRUE(Eventually([&] { return silent.Accepted() == 1; }));
    RequestShutdown(1);
    waiter.join();
    EXPECT_EQ(rc, E_SHUTDOWN);
    ASSERT_TRUE(Eventually([&] { return Connections() == 0; }));
    ASSERT_TRUE(Eventually([&] { return silent.Open() == 0; }));
}

TEST_F(PoolFixture, StatusAndConnectionsReports) {
    tFakeNntp fake({"200 hi"});
    LoadServer(fake.port());
    std::string text;
    auto collect = [](void *c, const char *t) {
        *static_cast<std::string *>(c) += t;
        return 0;
    };
    ASSERT_EQ(ServersStatusReport(servers.get(), 0, collect, &text), E_OK);
    EXPECT_TRUE(Has(text, "ID  State  Update Flags  Speed Art Kbytes Name (Problems)\r\n  1       "));
    text.clear();
    ASSERT_EQ(ServersStatusReport(servers.get(), 1, collect, &text), E_OK);
    EXPECT_TRUE(Has(text, "<tr><td>1</td><td>&nbsp;</td><td>&nbsp;</td>"));
    EXPECT_TRUE(Has(text, "value=Explore>"));
    Server()->disabled = 1;
    text.clear();
    ASSERT_EQ(ServersStatusReport(servers.get(), 1, collect, &text), E_OK);
    EXPECT_TRUE(Has(text, "<tr bgcolor=#E0E0E0><td>1</td><td>Disab</td>"));
    EXPECT_FALSE(Has(text, "value=Explore>"));
    Server()->disabled = 0;
    ServersStatusReportToLog(servers.get(), &journal);
    EXPECT_TRUE(Has(Journal(), "ID  State  Update Flags  Speed Art Kbytes Name (Problems)\r\n"));

    tServerConnection *sc = nullptr;
    ASSERT_EQ(RequestConnection(Server(), &explore, &journal, 60, -1, &sc), E_OK);
    text.clear();
    ASSERT_EQ(ConnectionsReport(servers.get(), 0, collect, &text), E_OK);
    EXPECT_TRUE(Has(text, "\r\n1   E    "));
    EXPECT_TRUE(Has(text, " () (Ok)\r\n")) << text;
    ReleaseConnection(sc, 0);
    // A failing writer stops the report.
    auto failing = [](void *, const char *) { return -1; };
    EXPECT_EQ(ConnectionsReport(servers.get(), 1, failing, nullptr), E_SOCKET);
}

TEST_F(PoolFixture, ReleasedConnectionIsOfferedToTheServerAvailableCallback) {
    tFakeNntp fake({"200 hi"});
    LoadServer(fake.port());
    static tServerConnection *offered;
    static int takeIt;
    offered = nullptr;
    servers->serverAvailable = [](void *, tServerConnection *sc) {
        offered = sc;
        EXPECT_EQ(sc->status, SC_AVAILABLE);
        return takeIt;
    };
    tServerConnection *sc = nullptr;
    ASSERT_EQ(RequestConnection(Server(), &direct, &journal, 60, -1, &sc), E_OK);
    takeIt = 0;
    ReleaseConnection(sc, 0);  // not allowed: straight to idle
    EXPECT_EQ(offered, nullptr);
    ASSERT_EQ(RequestConnection(Server(), &direct, &journal, 60, -1, &sc), E_OK);
    ReleaseConnection(sc, 1);  // declined: idle
    EXPECT_EQ(offered, sc);
    EXPECT_EQ(sc->status, SC_IDLE);
    ASSERT_EQ(RequestConnection(Server(), &direct, &journal, 60, -1, &sc), E_OK);
    takeIt = 1;
    ReleaseConnection(sc, 1);  // taken: the callback owns it now
    {
        std::lock_guard<std::mutex> g(Server()->lock);
        EXPECT_FALSE(DlinkInList(&Server()->idleConnections));
    }
    servers->serverAvailable = nullptr;
    ReleaseConnection(offered, 0);
    EXPECT_EQ(fake.Accepted(), 1);
}

TEST_F(PoolFixture, RequestSetAsksTheNextCategoryWhenTheFirstDoesNotAnswer) {
    tFakeNntp slow({""});  // category 0, never says welcome
    tFakeNntp spare({"200 hi"});
    LoadIni("[proxies]\nurl=none\n\n[server]\nurl=127.0.0.1:" + std::to_string(spare.port()) +
            "\ncategory=1\n\n[server]\nurl=localhost:" + std::to_string(slow.port()) + "\n");
    tServer *second = ServerAt(servers.get(), 0);
    tServer *first = ServerAt(servers.get(), 1);
    maxCategoryWait = 1;
    tServerRequestSet set;
    const tRequester requester{"reader", -120, KIND_DIRECT};
    ASSERT_EQ(RequestSetInit(&set, servers.get(), &requester, &journal), E_OK);
    ASSERT_EQ(RequestSetAddAllServers(&set), E_OK);
    RequestSetSort(&set);
    tServerCandidate *c0 = static_cast<tServerCandidate *>(set.candidates.buf);
    EXPECT_EQ(c0[0].serverId, first->id);  // lower category first
    RequestSetStart(&set);
    EXPECT_EQ(set.posted, 1);
    tServerCandidate *got = nullptr;
    ASSERT_EQ(GetServerConnection(&set, 60, -1, &got), E_OK);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->serverId, second->id);
    EXPECT_TRUE(Has(Journal(), "Stopping: category of "));
    EXPECT_TRUE(Has(Journal(), "Posting further connection requests (slots 1-...).\n"));
    tServerConnection *sc = got->request.sc;
    EXPECT_EQ(sc->nntp.log, &journal);
    // Another connection to the same server, then everything given back.
    ReleaseConnection(sc, 0);
    RequestAnother(&set, got);
    ASSERT_EQ(GetServerConnection(&set, 60, -1, &got), E_OK);
    EXPECT_EQ(got->request.sc, sc);  // the idle one, at once
    ReleaseConnection(got->request.sc, 0);
    FreeUnusedRequests(&set);
    RequestSetRelease(&set);
    {
        std::lock_guard<std::mutex> g(first->lock);
        EXPECT_FALSE(DlinkInList(&first->activeServerRequests));
    }
    maxCategoryWait = 0;
    RequestShutdown(1);  // ends the connect that still waits for a welcome
}

TEST_F(PoolFixture, ConnectionForAServedSetIsParkedAndTakenAtTheNextRequest) {
    tFakeNntp x({"200 x"}), y({"200 y"});
    LoadIni("[proxies]\nurl=none\n\n[server]\nurl=127.0.0.1:" + std::to_string(x.port()) +
            "\n\n[server]\nurl=localhost:" + std::to_string(y.port()) + "\n");
    tServerRequestSet set;
    const tRequester requester{"reader", -120, KIND_DIRECT};
    ASSERT_EQ(RequestSetInit(&set, servers.get(), &requester, &journal), E_OK);
    ASSERT_EQ(RequestSetAddAllServers(&set), E_OK);
    RequestSetStart(&set);
    EXPECT_EQ(set.posted, 2);
    tServerCandidate *first = nullptr, *second = nullptr;
    ASSERT_EQ(GetServerConnection(&set, 60, -1, &first), E_OK);
    tServerConnection *sc1 = first->request.sc;
    // The other server's connection finds the waiter served: it stays idle
    // and the request is parked.
    tServer *other = ServerAt(servers.get(), first == static_cast<tServerCandidate *>(set.candidates.buf) ? 1 : 0);
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> g(other->lock);
        return DlinkInList(&other->idleServerRequests) && DlinkInList(&other->idleConnections);
    }));
    EXPECT_TRUE(Has(Journal(), "Waiter reader already has a connection, not giving him "));
    ASSERT_EQ(GetServerConnection(&set, 60, -1, &second), E_OK);
    EXPECT_NE(second, first);
    EXPECT_EQ(second->serverId, other->id);
    EXPECT_TRUE(Has(Journal(), "Re-requesting "));
    ReleaseConnection(sc1, 0);
    ReleaseConnection(second->request.sc, 0);
    FreeUnusedRequests(&set);
    RequestSetRelease(&set);
    EXPECT_EQ(x.Accepted() + y.Accepted(), 2);
}

TEST(RankServers, CategoryThenUnmeasuredThenScore) {
    tServers servers;
    tTempDir dir;
    std::string ini = dir / "servers.ini";
    ASSERT_TRUE(WriteWholeFile(ini, "[proxies]\nurl=none\n\n[server]\nurl=a\n\n[server]\nurl=b\n\n"
                                    "[server]\nurl=c\ncategory=1\n"));
    servers.resultsPath = nullptr;
    tLog log{};
    ASSERT_EQ(LoadServers(&servers, &log, 0, 0, 0, nullptr, nullptr, nullptr, ini.c_str()), E_OK);
    tServer *a = ServerAt(&servers, 0), *b = ServerAt(&servers, 1), *c = ServerAt(&servers, 2);
    EXPECT_LT(RankServers(&servers, a->id, c->id), 0);      // category
    EXPECT_LT(RankServers(&servers, a->id, 99), 0);         // a missing server sorts after
    EXPECT_GT(RankServers(&servers, 99, a->id), 0);
    a->speed = a->maxSpeed = 100;
    EXPECT_GT(RankServers(&servers, a->id, b->id), 0);      // b not measured yet
    b->speed = b->maxSpeed = 50;
    EXPECT_LT(RankServers(&servers, a->id, b->id), 0);      // faster
    a->cost = 1;
    EXPECT_GT(RankServers(&servers, a->id, b->id), 0);      // but dearer
    ServersRelease(&servers);
}

}  // namespace

TEST_F(PoolFixture, ReferencedCandidatesAreTheUsableServersOfTheArticle) {
    // Nothing connects here: the builder only picks servers and numbers.
    LoadIni("[proxies]\nurl=none\n\n[server]\nurl=127.0.0.1:1\n\n[server]\nurl=127.0.0.1:2\ndisabled=1\n\n"
            "[server]\nurl=127.0.0.1:3\nretrieveArticles=0\n\n[server]\nurl=127.0.0.1:4\n");
    int32_t ids[4];
    for (int i = 0; i < 4; i++) ids[i] = ServerAt(servers.get(), i)->id;
    const tRequester requester{"reader", -120, KIND_DIRECT};
    struct Case {
        std::vector<std::pair<long, long>> refs;  // empty: no references
        bool zombie;
        tDiag expected;
        std::vector<std::pair<int32_t, int32_t>> candidates;
    };
    const Case cases[] = {
        {{{ids[0], 10}, {ids[1], 20}, {ids[2], 30}, {ids[3], 40}, {999, 50}}, false, E_OK,
         {{ids[0], 10}, {ids[3], 40}}},
        {{{ids[3], 7}}, false, E_OK, {{ids[3], 7}}},
        {{{ids[1], 20}, {ids[2], 30}}, false, E_NO_REACHABLE_SERVER, {}},
        {{}, false, E_NO_REACHABLE_SERVER, {}},
        {{}, true, E_NO_REACHABLE_SERVER, {}},
    };
    for (const Case &c : cases) {
        std::string text = c.zombie ? " 0:12345" : "";
        for (auto [server, number] : c.refs) text += " " + std::to_string(server) + ":" + std::to_string(number);
        tServRefs refs;
        const char *end = nullptr;
        ASSERT_EQ(ServRefsParse(&refs, text.c_str(), &end), E_OK) << text;
        tServerRequestSet set;
        ASSERT_EQ(RequestSetInit(&set, servers.get(), &requester, &journal), E_OK);
        EXPECT_EQ(RequestSetAddReferenced(&set, &refs), c.expected);
        std::vector<std::pair<int32_t, int32_t>> got;
        auto *cand = static_cast<tServerCandidate *>(set.candidates.buf);
        for (int32_t i = 0; i < set.candidates.used; i++) got.emplace_back(cand[i].serverId, cand[i].articleNumber);
        EXPECT_EQ(got, c.candidates);
        RequestSetRelease(&set);
        ServRefsClear(&refs);
    }
}
