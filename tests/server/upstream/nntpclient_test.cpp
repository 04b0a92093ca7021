// The upstream conversation: welcome classification, login, command and
// response under time-outs and shutdown, keep-alive, QUIT, reconnection.
#include "server/upstream/nntp.h"

#include "tests/server/upstream/upstreamfixture.h"
#include "tests/support/fakenntp.h"
#include "tests/support/fakepeer.h"
#include "tests/support/proxies.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

struct NntpFixture : UpstreamFixture {
    tNntp nntp{};
    void Open(int port, const std::string &keys = "", const std::string &url = "") {
        LoadServer(port, keys, url);
        NntpInit(&nntp, Server(), &journal);
    }
    void TearDown() override {
        NntpCloseSocket(&nntp);
        UpstreamFixture::TearDown();
    }
    int BannerCount(const tIniStringArray &a) { return IniStringCount(a); }
};

struct WelcomeCase {
    const char *welcome;
    int otherConnections;  // connections of the server besides this one
    tDiag expected;
    bool keepAliveMark;
    const char *logged;  // part of the journal, or ""
};

TEST_F(NntpFixture, EveryWelcomeIsClassifiedWithItsDiagnosticAndStatistics) {
    const WelcomeCase cases[] = {
        {"200 news ready", 0, E_OK, false, "Connected to "},
        {"201 news ready, no posting", 0, E_OK, false, "Connected to "},
        {"400 go away", 0, E_SERVER_OVERLOADED, true, "Marking server internally for keep-alive."},
        {"400 Throttled: disk full", 0, E_SERVER_MAINTAINED, false, "NNTP connect refused: 400 Throttled"},
        {"400 Server connection limit reached", 0, E_SERVER_OVERLOADED, true, ""},
        {"480 authentication required", 0, E_NNTP_REFUSED, false, "NNTP connect refused: 480"},
        {"502 access denied", 0, E_NNTP_REFUSED, false, "NNTP connect refused: 502 access denied"},
        {"502 too many connections from your host", 1, E_TOO_MANY_CONNECTIONS, false, ""},
        {"502 Too many users, sorry", 0, E_SERVER_OVERLOADED, true, ""},
        {"500 no", 0, E_SERVER_OVERLOADED, true, "This is our first connection to this server."},
        {"500 no", 1, E_TOO_MANY_CONNECTIONS, false, ""},
        {"504 overloaded, try later", 0, E_SERVER_OVERLOADED, true, ""},
        {"hello there\r\nsecond junk line  ", 0, E_NNTP_REFUSED, false, "Following junk: second junk line\n"},
    };
    tFakeNntp peer({"<close>"});  // only for the port number of the server file
    Open(peer.port());
    tServer *server = Server();
    for (const WelcomeCase &c : cases) {
        SCOPED_TRACE(c.welcome);
        tFakeNntp fake({c.welcome});
        server->url.port = fake.port();
        server->flags = 0;
        server->connections = 1 + c.otherConnections;
        int failedBefore = server->dynamic->failedNntpConnects;
        EXPECT_EQ(ConnectServer(&nntp, 0, 10, CancelSocketGet()), c.expected);
        EXPECT_EQ((server->flags & SF_KEEP_ALIVE_MARK) != 0, c.keepAliveMark);
        EXPECT_TRUE(Has(Journal(), c.logged));
        if (c.expected == E_OK) {
            EXPECT_STREQ(nntp.diagText, "Ok");
            EXPECT_NE(server->flags & (strncmp(c.welcome, "200", 3) == 0 ? SF_WELCOME_200 : SF_WELCOME_201), 0u);
            EXPECT_EQ(server->lastFailedConnectTime, 0);
            Quit(&nntp);
        } else {
            EXPECT_FALSE(NntpConnected(&nntp));
            EXPECT_EQ(server->dynamic->failedNntpConnects, failedBefore + 1);
            EXPECT_NE(server->lastFailedConnectTime, 0);
        }
        server->connections = 0;
    }
    // Distinct lines only, exactly as received.
    EXPECT_EQ(BannerCount(server->dynamic->okBanners), 2);
    EXPECT_EQ(BannerCount(server->dynamic->failedBanners), 10);
    EXPECT_EQ(server->dynamic->okNntpConnects, 2);
}

TEST_F(NntpFixture, ContinuationWelcomeLinesAreSkipped) {
    tFakeNntp fake({"200-first\r\n200-second\r\n200 ready"});
    Open(fake.port());
    ASSERT_EQ(ConnectServer(&nntp, 0, 10, CancelSocketGet()), E_OK);
    char line[100];
    ASSERT_GT(SendCommand(&nntp, "STAT\r\n"), 0);
    ASSERT_GT(ReadResponse(&nntp, line, sizeof line, 10, "STAT response"), 0);
    EXPECT_EQ(ReplyCode(line), 223);
    EXPECT_TRUE(Has(Journal(), "200 ready\n"));
}

TEST_F(NntpFixture, CloseRightAfterConnectIsRetriedOnceThenConnectEofs) {
    tFakeNntp fake({"<close>"});
    Open(fake.port());
    EXPECT_EQ(ConnectServer(&nntp, 0, 10, CancelSocketGet()), E_CONNECT_EOFS);
    EXPECT_EQ(fake.Accepted(), 2);
    EXPECT_TRUE(Has(Journal(), "Unexpected close on connect, one more try.\n"));
    EXPECT_NE(Server()->flags & SF_KEEP_ALIVE_MARK, 0u);
}

TEST_F(NntpFixture, LoginWaitsPastWaitingLineAndRefusalIsBadAuth) {
    {
        tFakePeer peer(tFakeScript()
                           .Send("200 hi\r\n")
                           .Expect("AUTHINFO USER joe\r\n")
                           .Send("381 pass\r\n")
                           .Expect("AUTHINFO PASS s3cret\r\n")
                           .Send("waiting for the password file\r\n281 welcome\r\n")
                           .Expect("QUIT\r\n")
                           .Send("205 bye\r\n"));
        Open(peer.port(), "", "joe:s3cret@127.0.0.1:" + std::to_string(peer.port()));
        EXPECT_EQ(ConnectServer(&nntp, 0, 10, CancelSocketGet()), E_OK);
        Quit(&nntp);
        peer.Wait();
        EXPECT_TRUE(peer.Failures().empty());
        EXPECT_FALSE(Has(Journal(), "s3cret")) << "password in the log";
    }
    tFakePeer refusing(tFakeScript()
                           .Send("200 hi\r\n")
                           .Expect("AUTHINFO USER joe\r\n")
                           .Send("381 pass\r\n")
                           .ReadLine()
                           .Send("481 no\r\n"));
    Server()->url.port = refusing.port();
    EXPECT_EQ(ConnectServer(&nntp, 0, 10, CancelSocketGet()), E_BAD_AUTH);
    EXPECT_TRUE(Has(Journal(), "AUTHINFO PASS joe failed: 481 no\n"));
}

TEST_F(NntpFixture, ResponsesInPiecesEofAndTimeOut) {
    std::string longLine = "223 " + std::string(3000, 'x') + "\r\n";
    tFakePeer peer(tFakeScript().Send("200 hi\r\n").ReadLine().Send(longLine).Sleep(1500).Close());
    Open(peer.port());
    ASSERT_EQ(ConnectServer(&nntp, 0, 10, CancelSocketGet()), E_OK);
    ASSERT_GT(SendCommand(&nntp, "STAT 1\r\n"), 0);
    char line[4096];
    EXPECT_EQ(ReadResponse(&nntp, line, sizeof line, 10, "STAT response"), 2048);
    EXPECT_EQ(ReadResponse(&nntp, line, sizeof line, 10, "STAT response"), (int)longLine.size() - 2048);
    EXPECT_EQ(line[strlen(line) - 1], '\n');
    // The peer sleeps: a 1-second read times out with the socket error.
    EXPECT_EQ(ReadResponse(&nntp, line, sizeof line, 1, "next response"), E_SOCKET);
    EXPECT_TRUE(Has(nntp.diagText, "Cannot read next response from")) << nntp.diagText;
    EXPECT_EQ(ReadResponse(&nntp, line, sizeof line, 30, "last response"), E_CLOSED_BY_PEER);
    EXPECT_TRUE(Has(line, "EOF encountered"));
    EXPECT_GT(nntp.bytesReceived, 3000);
    EXPECT_EQ(nntp.bytesSent, 8);
    // Two I/O failures within 2 seconds mark the server as failing.
    EXPECT_NE(Server()->lastFailedConnectTime, 0);
}

TEST_F(NntpFixture, ShutdownInterruptsReadsAndConnects) {
    tFakeNntp silent({""});
    Open(silent.port());
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        RequestShutdown(1);
    });
    // The welcome never comes; the shutdown ends the wait long before 170 s.
    EXPECT_EQ(ConnectServer(&nntp, 1, 170, CancelSocketGet()), E_SHUTDOWN);
    stopper.join();
    EXPECT_EQ(SendCommand(&nntp, "STAT\r\n"), E_SHUTDOWN);
    EXPECT_TRUE(Has(nntp.diagText, "Shutdown before sending 'STAT' to "));
}

TEST_F(NntpFixture, RefusedTcpAndTooRecentReconnect) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(s, (sockaddr *)&a, sizeof a), 0);
    ASSERT_EQ(getsockname(s, (sockaddr *)&a, &len), 0);
    close(s);  // nobody listens on that port now
    Open(ntohs(a.sin_port));
    EXPECT_EQ(ConnectServer(&nntp, 0, 10, CancelSocketGet()), E_TCP_REFUSED);
    EXPECT_EQ(Server()->dynamic->failedTcpConnects, 1);
    // A reconnect 30 seconds after the failure does not touch the network.
    Server()->lastFailedConnectTime = time(nullptr) - 30;
    tRequester requester{"test", 0, KIND_DIRECT};
    EXPECT_EQ(Reconnect(&nntp, 5, CancelSocketGet(), &requester), E_FAILURE_TOO_RECENT);
    EXPECT_EQ(Server()->dynamic->failedTcpConnects, 1);
    nntp.noReconnect = 1;
    EXPECT_EQ(Reconnect(&nntp, 5, CancelSocketGet(), &requester), E_RECONNECT_DISABLED);
}

TEST_F(NntpFixture, KeepAliveQuitAndExtendedTimeOuts) {
    tFakeNntp fake({"200 hi"});
    Open(fake.port(), "extraConnectTime=2\n");
    ASSERT_EQ(ConnectServer(&nntp, 0, -1, CancelSocketGet()), E_OK);
    EXPECT_TRUE(Has(Journal(), "welcome timeout 9m.\n"));
    EXPECT_EQ(KeepAlive(&nntp), E_OK);
    EXPECT_TRUE(Has(Journal(), "Keep-alive ok (200) for "));
    Quit(&nntp);
    EXPECT_FALSE(NntpConnected(&nntp));
    EXPECT_EQ(KeepAlive(&nntp), E_LOST_KEEP_ALIVE);
    EXPECT_EQ(fake.Commands(), "MODE READER\nQUIT\n");
}

TEST_F(NntpFixture, RefusedProxyGivesWayToTheNextPrivateProxy) {
    tRealProxy dante;
    if (!dante.StartDante()) GTEST_SKIP() << dante.error;
    tFakeNntp fake({"200 hi"});
    int closed = FreeLoopbackPort();
    Open(fake.port(), "privateProxy=socks5://127.0.0.1:" + std::to_string(closed) +
                          "\nprivateProxy=socks5://127.0.0.1:" + std::to_string(dante.port) + "\n");
    ASSERT_EQ(ConnectServer(&nntp, 0, 30, CancelSocketGet()), E_OK);
    std::string log = Journal();
    EXPECT_TRUE(Has(log, "Trying next private proxy for server.\n"));
    EXPECT_TRUE(Has(log, "Using proxy socks5://127.0.0.1:" + std::to_string(dante.port)));
    // The server's own address is not learnt through a proxy.
    EXPECT_EQ(Server()->dynamic->ipAddr, 0u);
    Quit(&nntp);
    EXPECT_EQ(fake.Commands(), "QUIT\n");
    // With the last proxy refusing too, the connection is refused.
    NntpInit(&nntp, Server(), &journal);
    dante.Stop();
    EXPECT_EQ(ConnectServer(&nntp, 0, 30, CancelSocketGet()), E_TCP_REFUSED);
}

}  // namespace
