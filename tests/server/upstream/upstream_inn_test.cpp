// The conversation and the pool against a real news server (a private INN
// on loopback, with login): connect, select a group, keep-alive, reuse.
#include "server/upstream/pool.h"

#include "tests/server/upstream/upstreamfixture.h"
#include "tests/support/inn.h"

#include <cstdio>

namespace {

struct InnFixture : UpstreamFixture {
    tInn inn;
    int innPort = 0;

    void StartInn() {
        if (!inn.Start({"--group", "misc.test:1", "--auth", "joe:pw"}, 120)) GTEST_SKIP() << inn.failure;
        innPort = inn.port;
    }
    void TearDown() override {
        UpstreamFixture::TearDown();
        inn.Stop();
    }
};

TEST_F(InnFixture, PooledConversationWithLoginGroupKeepAliveAndReuse) {
    StartInn();
    if (IsSkipped()) return;
    LoadServer(innPort, "", "joe:pw@127.0.0.1:" + std::to_string(innPort));
    const tRequester requester{"inn test", 0, KIND_EXPLORE};
    tServerConnection *sc = nullptr;
    ASSERT_EQ(RequestConnection(Server(), &requester, &journal, 120, -1, &sc), E_OK);
    char line[512];
    ASSERT_GT(SendCommand(&sc->nntp, "GROUP misc.test\r\n"), 0);
    ASSERT_GT(ReadResponse(&sc->nntp, line, sizeof line, 60, "GROUP response"), 0);
    EXPECT_EQ(ReplyCode(line), 211) << line;
    EXPECT_EQ(KeepAlive(&sc->nntp), E_OK);
    ReleaseConnection(sc, 0);
    tServerConnection *again = nullptr;
    ASSERT_EQ(RequestConnection(Server(), &requester, &journal, 120, -1, &again), E_OK);
    EXPECT_EQ(again, sc);
    ReleaseConnection(again, 0);
    EXPECT_EQ(Server()->dynamic->okNntpConnects, 1);
    EXPECT_EQ(IniStringCount(Server()->dynamic->okBanners), 1);
    EXPECT_TRUE(Has(ConnectLog(), "Connected to "));

    // A wrong password is E_BAD_AUTH.
    CloseConnections(Server(), &journal, 0, 0);
    free(Server()->url.password);
    Server()->url.password = strdup("wrong");
    tNntp nntp;
    NntpInit(&nntp, Server(), &journal);
    EXPECT_EQ(ConnectServer(&nntp, 0, 60, CancelSocketGet()), E_BAD_AUTH);
}

}  // namespace
