#include "lib/sock.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "lib/diag.h"
#include "lib/proxy.h"
#include "lib/shutdown.h"
#include "lib/wakepair.h"
#include "tests/support/fakepeer.h"
#include "tests/support/tracetext.h"

namespace {

uint32_t Ip(const char *dotted) { return inet_addr(dotted); }

tConnectRequest Request(const char *host, int port, int timeout, tTraceText *trace = nullptr) {
    tConnectRequest r = {};
    r.host = host;
    r.port = port;
    r.timeout = timeout;
    r.cancelSocket = -1;
    if (trace) {
        r.trace = CollectTrace;
        r.traceContext = trace;
    }
    return r;
}

// A listener on 127.0.0.1 whose accept queue is full, so that a further
// connect is never answered.
struct tBlackHole {
    int listener = -1;
    int port = 0;
    int fillers[3] = {-1, -1, -1};
    tBlackHole() {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(listener, (struct sockaddr *)&a, sizeof a);
        listen(listener, 0);
        getsockname(listener, (struct sockaddr *)&a, &len);
        port = ntohs(a.sin_port);
        for (int &f : fillers) {
            f = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            connect(f, (struct sockaddr *)&a, sizeof a);
            usleep(100000);
        }
    }
    ~tBlackHole() {
        for (int f : fillers) close(f);
        close(listener);
    }
};

// A port on 127.0.0.1 where nobody listens.
int ClosedPort() {
    int s = TcpSocket(nullptr, nullptr);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(s, (struct sockaddr *)&a, sizeof a);
    getsockname(s, (struct sockaddr *)&a, &len);
    close(s);
    return ntohs(a.sin_port);
}

TEST(Sock, ReplyCodeTable) {
    struct {
        const char *text;
        int code;
    } cases[] = {
        {"211 1234 1 1234 group", 211}, {"211-more", -211}, {"21", 0},        {"200\r\n", 200},
        {"200", 0},                     {"2000 x", 0},      {"20a x", 0},     {"", 0},
        {" 200 x", 0},                  {"480 auth", 480},  {"200\n", 0},
    };
    for (const auto &c : cases) EXPECT_EQ(ReplyCode(c.text), c.code) << c.text;
    EXPECT_EQ(ReplyCode(nullptr), 0);
}

TEST(Sock, LocalOnlyDecision) {
    auto decide = [](std::initializer_list<const char *> dotted) {
        std::vector<uint32_t> a;
        for (const char *d : dotted) a.push_back(Ip(d));
        return LocalOnlyDecide(a.data(), (int)a.size());
    };
    SockSetLastError(0);
    EXPECT_EQ(decide({"127.0.0.1", "10.0.0.5"}), -1);
    EXPECT_STREQ(ProxyErrorText(SockLastError()), "All network connections are local-only");
    EXPECT_EQ(decide({"127.0.0.1", "10.1.2.3"}), 0);
    EXPECT_EQ(decide({"127.0.1.1", "10.0.0.255"}), -1);
    EXPECT_EQ(decide({"10.0.1.0"}), 0);
    EXPECT_EQ(decide({"192.168.1.2"}), 0);
    EXPECT_EQ(decide({}), -1);
    // This machine: either answer, but never a name or address failure.
    int rc = LocalOnlyCheck();
    if (rc < 0) {
        EXPECT_EQ(SockLastError(), ESOCK_LOCAL_ONLY);
    }
}

TEST(Sock, ResolveAddressesNamesAndFailures) {
    uint32_t a = 0;
    ASSERT_EQ(Resolve("127.0.0.9", &a, nullptr), 0);
    EXPECT_EQ(a, Ip("127.0.0.9"));
    a = 0;
    ASSERT_EQ(Resolve("LocalHost", &a, nullptr), 0);
    EXPECT_EQ(a, Ip("127.0.0.1"));
    tDynArray all;
    DynArrayInit(&all, sizeof(uint32_t), 4, 0);
    ASSERT_EQ(Resolve("localhost", &a, &all), 0);
    ASSERT_GE(all.used, 1);
    EXPECT_EQ(static_cast<uint32_t *>(all.buf)[0], a);
    DynArrayFree(&all);
    SockSetLastError(0);
    EXPECT_EQ(Resolve("no-such-host.invalid", &a, nullptr), -1);
    EXPECT_STREQ(ProxyErrorText(SockLastError()), "Host not found");
    char text[16];
    EXPECT_STREQ(AddressText(Ip("10.20.30.40"), text), "10.20.30.40");
}

TEST(Sock, TcpSocketBindsAndReportsThePort) {
    int port = 0;
    int s = TcpSocket(&port, nullptr);
    ASSERT_GE(s, 0);
    EXPECT_GT(port, 0);
    // The same fixed port again with address reuse set.
    close(s);
    int again = port;
    s = TcpSocket(&again, nullptr);
    ASSERT_GE(s, 0);
    EXPECT_EQ(again, port);
    close(s);
}

TEST(Sock, ReadsEndByTimeLimitOrEndOfStream) {
    tFakePeer peer(std::vector<tFakeScript>{tFakeScript().Send("ab").Stall(), tFakeScript().Send("xy").Close()});
    tConnectRequest r = Request("127.0.0.1", peer.port(), 5);
    int s = DirectConnect(&r);
    ASSERT_GE(s, 0);
    char buf[8];
    EXPECT_EQ(ReadExact(s, buf, 2, 5, -1), 2);
    // The peer stalls: the next read ends by the time limit.
    SockSetLastError(0);
    EXPECT_EQ(RecvWithin(s, buf, 1, 1, -1), -1);
    EXPECT_STREQ(ProxyErrorText(SockLastError()), "Operation timed out");
    EXPECT_EQ(ReadExact(s, buf, 1, 1, -1), -1);
    EXPECT_EQ(SockLastError(), ESOCK_TIMEOUT);
    close(s);

    s = DirectConnect(&r);
    ASSERT_GE(s, 0);
    EXPECT_EQ(ReadExact(s, buf, 3, 5, -1), -1);
    EXPECT_STREQ(ProxyErrorText(SockLastError()), "Proxy closed connection unexpectedly");
    close(s);
}

TEST(Sock, AcceptWithinTimesOutThenAccepts) {
    int port = 0;
    int l = TcpSocket(&port, nullptr);
    ASSERT_GE(l, 0);
    ASSERT_EQ(listen(l, 4), 0);
    EXPECT_EQ(AcceptWithin(l, 0), -1);
    EXPECT_EQ(SockLastError(), ESOCK_TIMEOUT);
    tConnectRequest r = Request("127.0.0.1", port, 5);
    int c = DirectConnect(&r);
    ASSERT_GE(c, 0);
    int a = AcceptWithin(l, 5);
    ASSERT_GE(a, 0);
    EXPECT_EQ(SendText(c, "hello"), 5);
    char buf[8] = {};
    EXPECT_EQ(ReadExact(a, buf, 5, 5, -1), 5);
    EXPECT_STREQ(buf, "hello");
    close(a);
    close(c);
    close(l);
}

TEST(Sock, DirectConnectFailures) {
    tTraceText trace;
    int closed = ClosedPort();
    tConnectRequest r = Request("127.0.0.1", closed, 5, &trace);
    SockSetLastError(0);
    EXPECT_EQ(DirectConnect(&r), -1);
    EXPECT_STREQ(ProxyErrorText(SockLastError()), "Connection refused");

    r.host = "no-such-host.invalid";
    EXPECT_EQ(DirectConnect(&r), -1);
    EXPECT_EQ(SockLastError(), WSAHOST_NOT_FOUND);

    // The address filter sees the resolved address and can forbid it.
    tFakePeer peer(tFakeScript().Close());
    r = Request("127.0.0.1", peer.port(), 5);
    uint32_t seen = 0;
    r.addressFilterContext = &seen;
    r.addressFilter = [](const tConnectRequest *, void *ctx, uint32_t address) {
        *(uint32_t *)ctx = address;
        return 1;
    };
    EXPECT_EQ(DirectConnect(&r), -1);
    EXPECT_STREQ(ProxyErrorText(SockLastError()), "IP address is forbidden to connect to");
    EXPECT_EQ(seen, Ip("127.0.0.1"));
}

TEST(Sock, StaleCachedAddressIsForgottenAndResolvedAgain) {
    tFakePeer peer(tFakeScript().Send("ok").Close());
    tTraceText trace;
    tConnectRequest r = Request("127.0.0.1", peer.port(), 5, &trace);
    // Nobody listens on 127.0.0.2 at this port: refused at once.
    uint32_t cached = Ip("127.0.0.2");
    r.cachedAddress = &cached;
    int s = DirectConnect(&r);
    ASSERT_GE(s, 0) << ProxyErrorText(SockLastError());
    EXPECT_EQ(trace.text, "Forgetting cached IP address.\n");
    EXPECT_EQ(cached, Ip("127.0.0.1"));
    char buf[2];
    EXPECT_EQ(ReadExact(s, buf, 2, 5, -1), 2);
    close(s);

    // The same in blocking mode (no time limit, no cancel socket), where the
    // refusal comes from connect itself.
    tFakePeer blocking(tFakeScript().Send("ok").Close());
    trace.text.clear();
    r.port = blocking.port();
    r.timeout = -1;
    cached = Ip("127.0.0.2");
    s = DirectConnect(&r);
    ASSERT_GE(s, 0) << ProxyErrorText(SockLastError());
    EXPECT_EQ(trace.text, "Forgetting cached IP address.\n");
    EXPECT_EQ(cached, Ip("127.0.0.1"));
    EXPECT_EQ(ReadExact(s, buf, 2, 5, -1), 2);
    close(s);
    r.timeout = 5;

    // Without a cache nothing is retried or traced; a fresh address is stored.
    trace.text.clear();
    cached = 0;
    tFakePeer peer2(tFakeScript().Close());
    r.port = peer2.port();
    s = DirectConnect(&r);
    ASSERT_GE(s, 0);
    EXPECT_EQ(cached, Ip("127.0.0.1"));
    EXPECT_EQ(trace.text, "");
    close(s);
}

TEST(Sock, ConnectTimeOutIsNotRetriedAndKeepsTheCache) {
    tBlackHole hole;
    tTraceText trace;
    tConnectRequest r = Request("127.0.0.1", hole.port, 1, &trace);
    uint32_t cached = Ip("127.0.0.1");
    r.cachedAddress = &cached;
    EXPECT_EQ(DirectConnect(&r), -1);
    EXPECT_STREQ(ProxyErrorText(SockLastError()), "Operation timed out");
    EXPECT_EQ(cached, Ip("127.0.0.1"));
    EXPECT_EQ(trace.text, "");
}

TEST(Sock, WakePairSignalsWaitsAndTimesOut) {
    tWakePair pair;
    ASSERT_EQ(WakePairCreate(&pair), 0);
    EXPECT_EQ(WakePairWait(&pair, 0, -1), -1);
    EXPECT_EQ(SockLastError(), ESOCK_TIMEOUT);
    ASSERT_EQ(WakePairSignal(&pair), 0);
    ASSERT_EQ(WakePairSignal(&pair), 0);
    EXPECT_EQ(WakePairWait(&pair, -1, -1), 0);
    EXPECT_EQ(WakePairWait(&pair, 1000, -1), 0);
    EXPECT_EQ(WakePairWait(&pair, 0, -1), -1);
    // Taking a byte never waits.
    EXPECT_EQ(WakePairTake(&pair), 0);
    ASSERT_EQ(WakePairSignal(&pair), 0);
    EXPECT_EQ(WakePairTake(&pair), 1);
    EXPECT_EQ(WakePairTake(&pair), 0);
    // Signalled from another thread while waiting without limit.
    std::thread t([&] { WakePairSignal(&pair); });
    EXPECT_EQ(WakePairWait(&pair, -1, -1), 0);
    t.join();
    // A closed write end ends an unlimited wait instead of spinning.
    close(pair.writeEnd);
    pair.writeEnd = -1;
    EXPECT_EQ(WakePairWait(&pair, -1, -1), -1);
    WakePairClose(&pair);
    EXPECT_EQ(pair.readEnd, -1);
}

// Every kind of wait given the process-wide cancellation socket ends with
// "Operation cancelled" once a shutdown is requested.
TEST(Sock, ShutdownCancelsEveryWait) {
    ASSERT_EQ(CancelSocketCreate(), 0);
    int cancel = CancelSocketGet();
    ASSERT_GE(cancel, 0);
    tBlackHole hole;
    tFakePeer stalled(std::vector<tFakeScript>(4, tFakeScript().Stall()));
    tWakePair pair;
    ASSERT_EQ(WakePairCreate(&pair), 0);

    auto connected = [&] {
        tConnectRequest r = Request("127.0.0.1", stalled.port(), 30);
        return DirectConnect(&r);
    };
    int s1 = connected(), s2 = connected(), s3 = connected();
    ASSERT_GE(s1, 0);
    ASSERT_GE(s2, 0);
    ASSERT_GE(s3, 0);

    std::vector<std::pair<const char *, std::function<int()>>> waits = {
        {"RecvWithin", [&] { char b; return RecvWithin(s1, &b, 1, 600, cancel) < 0 ? SockLastError() : 0; }},
        {"WaitReadableOrCancel", [&] { return WaitReadableOrCancel(s2, -1, cancel) < 0 ? SockLastError() : 0; }},
        {"WakePairWait", [&] { return WakePairWait(&pair, -1, cancel) < 0 ? SockLastError() : 0; }},
        {"DirectConnect",
         [&] {
             tConnectRequest r = Request("127.0.0.1", hole.port, -1);
             r.cancelSocket = cancel;
             int s = DirectConnect(&r);
             if (s >= 0) close(s);
             return s < 0 ? SockLastError() : 0;
         }},
        {"Socks5 exchange",
         [&] {
             tConnectRequest r = Request("dest", 119, -1);
             r.cancelSocket = cancel;
             tUrl proxy = {};
             proxy.scheme = URL_SOCKS5;
             int s = Socks5Connect(s3, &proxy, &r);
             return s < 0 ? SockLastError() : 0;
         }},
    };
    std::vector<std::future<int>> results;
    for (auto &w : waits) results.push_back(std::async(std::launch::async, w.second));
    usleep(200000);
    RequestShutdown(3);
    for (size_t i = 0; i < results.size(); i++) {
        SCOPED_TRACE(waits[i].first);
        ASSERT_EQ(results[i].wait_for(std::chrono::seconds(60)), std::future_status::ready);
        int err = results[i].get();
        EXPECT_EQ(err, ESOCK_CANCELLED) << ProxyErrorText(err);
    }
    // After the request the socket stays readable: new waits end at once.
    EXPECT_EQ(WaitReadableOrCancel(s2, -1, cancel), -1);
    EXPECT_STREQ(ProxyErrorText(SockLastError()), "Operation cancelled");
    char b;
    EXPECT_EQ(RecvWithin(s1, &b, 1, 600, cancel), -1);
    EXPECT_EQ(SockLastError(), ESOCK_CANCELLED);

    WakePairClose(&pair);
    CancelSocketClose();
    EXPECT_EQ(CancelSocketGet(), -1);

    // Created while a shutdown is already requested: readable at once.
    ASSERT_EQ(CancelSocketCreate(), 0);
    EXPECT_EQ(WaitReadableOrCancel(s2, 10000, CancelSocketGet()), -1);
    EXPECT_EQ(SockLastError(), ESOCK_CANCELLED);
    CancelSocketClose();
    ShutdownReset();

    // A new run gets a fresh socket that waits again.
    ASSERT_EQ(CancelSocketCreate(), 0);
    EXPECT_EQ(WaitReadableOrCancel(s2, 0, CancelSocketGet()), -1);
    EXPECT_EQ(SockLastError(), ESOCK_TIMEOUT);
    CancelSocketClose();
    close(s1);
    close(s2);
}

}  // namespace
