// Proxy exchanges against scripted fake proxies: every reply a real proxy
// may give and the malformed ones real proxies will not give.
#include "lib/proxy.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "lib/diag.h"
#include "tests/support/fakepeer.h"
#include "tests/support/tracetext.h"

namespace {

tUrl Proxy(int scheme, int port, const char *login = nullptr, const char *password = nullptr) {
    tUrl u = {};
    u.scheme = scheme;
    u.host = (char *)"127.0.0.1";
    u.port = port;
    u.login = (char *)login;
    u.password = (char *)password;
    return u;
}

int ConnectThrough(const tUrl &proxy, const tConnectRequest &r) {
    switch (proxy.scheme) {
    case URL_SOCKS5:
    case URL_SOCKS5B: return Socks5Connect(-1, &proxy, &r);
    case URL_SOCKS4:
    case URL_SOCKS4B: return Socks4Connect(-1, &proxy, &r);
    case URL_HTTPS: return HttpProxyConnect(-1, &proxy, &r);
    case URL_SUN: return SunProxyConnect(-1, &proxy, &r);
    default: return -1;
    }
}

const std::string kGreeting = Bytes({5, 1, 0});
// CONNECT to "dest" port 119 by name.
const std::string kSocks5Request = Bytes({5, 1, 0, 3, 4}) + "dest" + Bytes({0, 119});
// SOCKS4 request for 127.0.0.1:119 without user id.
const std::string kSocks4Request = Bytes({4, 1, 0, 119, 127, 0, 0, 1, 0});
const std::string kConnect = "CONNECT dest:119 HTTP/1.0\r\n\r\n";

struct tProxyCase {
    const char *name;
    int scheme;
    const char *login;
    tFakeScript script;
    int error;               // 0: the exchange succeeds
    std::string relayed;     // on success: what the client reads next
    int timeout = 10;
};

std::vector<tProxyCase> Cases() {
    std::string ok5 = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 119});
    std::vector<tProxyCase> c = {
        {"socks5 no common method", URL_SOCKS5, nullptr, tFakeScript().Expect(kGreeting).Send(Bytes({5, 0xff})),
         EPROXY_NO_AUTH_METHOD, ""},
        {"socks5 asks for login", URL_SOCKS5, nullptr, tFakeScript().Expect(kGreeting).Send(Bytes({5, 2})),
         EPROXY_LOGIN_REQUIRED, ""},
        {"socks5 wrong version", URL_SOCKS5, nullptr, tFakeScript().Expect(kGreeting).Send(Bytes({4, 0})),
         EPROXY_IMMEDIATE_SYNTAX, ""},
        {"socks5 login refused", URL_SOCKS5, "u",
         tFakeScript().Expect(Bytes({5, 2, 0, 2})).Send(Bytes({5, 2})).Expect(Bytes({1, 1, 'u', 0})).Send(Bytes({1, 1})),
         EPROXY_INTERMEDIATE_SYNTAX, ""},
        {"socks5 reply version", URL_SOCKS5, nullptr,
         tFakeScript().Expect(kGreeting).Send(Bytes({5, 0})).Expect(kSocks5Request).Send(Bytes({4, 0, 0, 1})),
         EPROXY_INTERMEDIATE_SYNTAX, ""},
        {"socks5 address type", URL_SOCKS5, nullptr,
         tFakeScript().Expect(kGreeting).Send(Bytes({5, 0})).Expect(kSocks5Request).Send(Bytes({5, 0, 0, 2})),
         EPROXY_INTERMEDIATE_SYNTAX, ""},
        {"socks5 closes mid-reply", URL_SOCKS5, nullptr,
         tFakeScript().Expect(kGreeting).Send(Bytes({5, 0})).Expect(kSocks5Request).Send(Bytes({5, 0, 0, 1, 127})).Close(),
         EPROXY_CLOSED, ""},
        {"socks5 closes at once", URL_SOCKS5, nullptr, tFakeScript().Expect(kGreeting).Close(), EPROXY_CLOSED, ""},
        {"socks5 stalls", URL_SOCKS5, nullptr, tFakeScript().Expect(kGreeting).Send(Bytes({5})).Stall(),
         ESOCK_TIMEOUT, "", 1},
        {"socks5 IPv4 reply", URL_SOCKS5, nullptr,
         tFakeScript().Expect(kGreeting).Send(Bytes({5, 0})).Expect(kSocks5Request).Send(ok5 + "data"), 0, "data"},
        // The short variant leaves the address and port in the stream.
        {"socks5b IPv4 reply", URL_SOCKS5B, nullptr,
         tFakeScript().Expect(kGreeting).Send(Bytes({5, 0})).Expect(kSocks5Request).Send(ok5 + "data"), 0,
         Bytes({127, 0, 0, 1, 0, 119}) + "data"},
        {"socks5 name reply", URL_SOCKS5, nullptr,
         tFakeScript().Expect(kGreeting).Send(Bytes({5, 0})).Expect(kSocks5Request).Send(
             Bytes({5, 0, 0, 3, 3}) + "abc" + Bytes({0, 1}) + "data"),
         0, "data"},
        {"socks5 IPv6 reply", URL_SOCKS5, nullptr,
         tFakeScript().Expect(kGreeting).Send(Bytes({5, 0})).Expect(kSocks5Request).Send(
             Bytes({5, 0, 0, 4}) + std::string(16, '\0') + Bytes({0, 1}) + "data"),
         0, "data"},
        {"socks4b granted", URL_SOCKS4B, nullptr,
         tFakeScript().Expect(kSocks4Request).Send(Bytes({0, 0x5a, 0, 0, 0, 0, 0, 0}) + "data"), 0, "data"},
        {"socks4 granted with six more bytes", URL_SOCKS4, nullptr,
         tFakeScript().Expect(kSocks4Request).Send(Bytes({0, 0x5a, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6}) + "data"), 0,
         "data"},
        {"socks4 rejected", URL_SOCKS4B, nullptr,
         tFakeScript().Expect(kSocks4Request).Send(Bytes({0, 0x5b, 0, 0, 0, 0, 0, 0})), EPROXY_NETWORK_UNREACHABLE, ""},
        {"socks4 unknown status", URL_SOCKS4B, nullptr,
         tFakeScript().Expect(kSocks4Request).Send(Bytes({0, 0x5c, 0, 0, 0, 0, 0, 0})), EPROXY_INTERMEDIATE_SYNTAX, ""},
        {"socks4 wrong version", URL_SOCKS4B, nullptr,
         tFakeScript().Expect(kSocks4Request).Send(Bytes({4, 0x5a, 0, 0, 0, 0, 0, 0})), EPROXY_IMMEDIATE_SYNTAX, ""},
        {"socks4 short reply", URL_SOCKS4B, nullptr, tFakeScript().Expect(kSocks4Request).Send(Bytes({0, 0x5a})).Close(),
         EPROXY_CLOSED, ""},
        {"http 403", URL_HTTPS, nullptr, tFakeScript().Expect(kConnect).Send("HTTP/1.0 403 Forbidden\r\n\r\n"),
         EPROXY_NOT_ALLOWED, ""},
        {"http 502", URL_HTTPS, nullptr, tFakeScript().Expect(kConnect).Send("HTTP/1.1 502 Bad Gateway\r\n\r\n"),
         EPROXY_REFUSED, ""},
        // Refuses, then holds the connection open without a word more.
        {"http 407 keeps the connection", URL_HTTPS, nullptr,
         tFakeScript().Expect(kConnect).Send("HTTP/1.1 407 Proxy Authentication Required\r\n").Stall(), EPROXY_REFUSED,
         ""},
        {"http SSH banner", URL_HTTPS, nullptr, tFakeScript().Expect(kConnect).Send("SSH-2.0-OpenSSH_9.2\r\n"),
         EPROXY_IMMEDIATE_SYNTAX, ""},
        {"http short first line", URL_HTTPS, nullptr, tFakeScript().Expect(kConnect).Send("HTT\n"),
         EPROXY_IMMEDIATE_SYNTAX, ""},
        {"http no status", URL_HTTPS, nullptr, tFakeScript().Expect(kConnect).Send("HTTP/1.0\r\n\r\n"),
         EPROXY_INTERMEDIATE_SYNTAX, ""},
        {"http endless line", URL_HTTPS, nullptr,
         tFakeScript().Expect(kConnect).Send("HTTP/1.0 200 " + std::string(5000, 'x')), EPROXY_INTERMEDIATE_SYNTAX, ""},
        {"http closes in header", URL_HTTPS, nullptr,
         tFakeScript().Expect(kConnect).Send("HTTP/1.0 200 OK\r\nVia: x\r\n").Close(), EPROXY_CLOSED, ""},
        {"http stalls", URL_HTTPS, nullptr, tFakeScript().Expect(kConnect).Send("HTTP/1.0 200 OK\r\n").Stall(),
         ESOCK_TIMEOUT, "", 1},
        {"http 200", URL_HTTPS, nullptr,
         tFakeScript().Expect(kConnect).Send("HTTP/1.1 200 Connection established\r\nProxy-agent: x\r\n\r\ndata"), 0,
         "data"},
        {"http 200 bare line feeds", URL_HTTPS, nullptr,
         tFakeScript().Expect(kConnect).Send("HTTP/1.0 200 OK\nX: y\n\ndata"), 0, "data"},
        {"relay ok", URL_SUN, nullptr, tFakeScript().Expect("dest 119\n").Send("hello\nconnected\ndata"), 0, "data"},
        {"relay refused", URL_SUN, nullptr, tFakeScript().Expect("dest 119\n").Send("x: Connection refused\n"),
         EPROXY_REFUSED, ""},
        {"relay not allowed", URL_SUN, nullptr, tFakeScript().Expect("dest 119\n").Send("ok\nyou are not allowed\n"),
         EPROXY_NOT_ALLOWED, ""},
        {"relay unknown host", URL_SUN, nullptr, tFakeScript().Expect("dest 119\n").Send("unknown host dest\n"),
         EPROXY_HOST_NOT_FOUND, ""},
        {"relay closes after one line", URL_SUN, nullptr, tFakeScript().Expect("dest 119\n").Send("hello\n").Close(),
         EPROXY_CLOSED, ""},
        {"relay endless line", URL_SUN, nullptr, tFakeScript().Expect("dest 119\n").Send(std::string(3000, 'y')),
         EPROXY_INTERMEDIATE_SYNTAX, ""},
    };
    const int socks5Errors[][2] = {{1, EPROXY_HOST_NOT_FOUND},     {2, EPROXY_NOT_ALLOWED},
                                   {3, EPROXY_NETWORK_UNREACHABLE}, {4, EPROXY_HOST_UNREACHABLE},
                                   {5, EPROXY_REFUSED},             {6, EPROXY_TTL_EXPIRED},
                                   {7, EPROXY_COMMAND_UNSUPPORTED}, {8, EPROXY_ADDRESS_UNSUPPORTED},
                                   {9, EPROXY_UNDOCUMENTED},        {0xff, EPROXY_UNDOCUMENTED}};
    for (const auto &e : socks5Errors)
        c.push_back({"socks5 reply code", URL_SOCKS5, nullptr,
                     tFakeScript().Expect(kGreeting).Send(Bytes({5, 0})).Expect(kSocks5Request).Send(
                         Bytes({5, e[0], 0, 1, 0, 0, 0, 0, 0, 0})),
                     e[1], ""});
    return c;
}

TEST(Proxy, FakeProxyReplies) {
    for (tProxyCase &c : Cases()) {
        SCOPED_TRACE(c.name);
        tFakePeer peer(c.script, 15);
        tTraceText trace;
        bool byAddress = c.scheme == URL_SOCKS4 || c.scheme == URL_SOCKS4B;
        tConnectRequest r = TracedRequest(byAddress ? "127.0.0.1" : "dest", 119, c.timeout, &trace);
        tUrl proxy = Proxy(c.scheme, peer.port(), c.login);
        SockSetLastError(0);
        int s = ConnectThrough(proxy, r);
        if (c.error != 0) {
            EXPECT_EQ(s, -1);
            EXPECT_EQ(SockLastError(), c.error) << ProxyErrorText(SockLastError());
        } else {
            ASSERT_GE(s, 0) << ProxyErrorText(SockLastError());
            std::string got(c.relayed.size(), '\0');
            EXPECT_EQ(ReadExact(s, got.data(), (int)got.size(), 10, -1), (int)got.size());
            EXPECT_EQ(got, c.relayed);
            close(s);
        }
        peer.Wait();
        EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    }
}

TEST(Proxy, ErrorTextsOfTheCommonRefusals) {
    EXPECT_STREQ(ProxyErrorText(EPROXY_NO_AUTH_METHOD), "No common authentication method found with proxy");
    EXPECT_STREQ(ProxyErrorText(EPROXY_LOGIN_REQUIRED), "Proxy asks for login name");
    EXPECT_STREQ(ProxyErrorText(EPROXY_REFUSED), "Proxy says connection refused");
    EXPECT_STREQ(ProxyErrorText(EPROXY_NOT_ALLOWED), "Proxy says connection not allowed");
    EXPECT_STREQ(ProxyErrorText(EPROXY_IMMEDIATE_SYNTAX), "Immediate syntax error when talking to proxy");
}

TEST(Proxy, Socks5LoginTraceIsByteExact) {
    tFakePeer peer(tFakeScript()
                       .Expect(Bytes({5, 2, 0, 2}))
                       .Send(Bytes({5, 2}))
                       .Expect(Bytes({1, 1, 'u', 2, 'p', ' '}))
                       .Send(Bytes({1, 0}))
                       .Expect(kSocks5Request)
                       .Send(Bytes({5, 0, 0, 1, 127, 0, 0, 1, 4, 0x38})));
    tTraceText trace;
    tConnectRequest r = TracedRequest("dest", 119, 10, &trace);
    tUrl proxy = Proxy(URL_SOCKS5, peer.port(), "u", "p ");
    int s = Socks5Connect(-1, &proxy, &r);
    ASSERT_GE(s, 0) << ProxyErrorText(SockLastError());
    close(s);
    EXPECT_EQ(trace.text,
              "Sending: 05 02 00 02\n"
              "Received: 05 02\n"
              "Sending: 01 01 u 02 p 20\n"
              "Received: 01 00\n"
              "Sending: 05 01 00 03 04 d e s t 00 w\n"
              "Received: 05 00 00 01\n"
              "Received: 7F 00 00 01 04 38\n");
}

TEST(Proxy, Socks4TraceShowsTheUserIdAsText) {
    tFakePeer peer(std::vector<tFakeScript>{
        tFakeScript().Expect(Bytes({4, 1, 0, 119, 127, 0, 0, 1}) + "id" + Bytes({0})).Send(Bytes({0, 0x5a, 0, 0, 0, 0, 0, 0})),
        tFakeScript().Expect(kSocks4Request).Send(Bytes({0, 0x5a, 0, 0, 0, 0, 0, 0}))});
    tTraceText trace;
    tConnectRequest r = TracedRequest("127.0.0.1", 119, 10, &trace);
    tUrl proxy = Proxy(URL_SOCKS4B, peer.port(), nullptr, "id");
    int s = Socks4Connect(-1, &proxy, &r);
    ASSERT_GE(s, 0) << ProxyErrorText(SockLastError());
    close(s);
    EXPECT_EQ(trace.text, "Sending: 04 01 00 w \x7F 00 00 01 i d 00\nReceived: 00 5A 00 00 00 00 00 00\n");
    trace.text.clear();
    proxy.password = nullptr;
    s = Socks4Connect(-1, &proxy, &r);
    ASSERT_GE(s, 0) << ProxyErrorText(SockLastError());
    close(s);
    EXPECT_EQ(trace.text, "Sending: 04 01 00 77 7F 00 00 01 00\nReceived: 00 5A 00 00 00 00 00 00\n");
}

TEST(Proxy, HttpAndRelayTracesAreByteExact) {
    tFakePeer http(std::vector<tFakeScript>{
        tFakeScript().Expect(kConnect).Send("HTTP/1.0 200 OK\r\n\r\n"),
        tFakeScript().Expect(kConnect).Send("HTTP/1.0 502 Bad Gateway\r\n\r\n<html>down</html>").Close()});
    tTraceText trace;
    tConnectRequest r = TracedRequest("dest", 119, 10, &trace);
    tUrl proxy = Proxy(URL_HTTPS, http.port());
    int s = HttpProxyConnect(-1, &proxy, &r);
    ASSERT_GE(s, 0);
    close(s);
    EXPECT_EQ(trace.text, "Sending: CONNECT dest:119 HTTP/1.0\nReceived: HTTP/1.0 200 OK\r\n\r\n");
    trace.text.clear();
    EXPECT_EQ(HttpProxyConnect(-1, &proxy, &r), -1);
    EXPECT_EQ(trace.text,
              "Sending: CONNECT dest:119 HTTP/1.0\nReceived: HTTP/1.0 502 Bad Gateway\r\n"
              "Proxy also said: \r\n<html>down</html>\n");

    tFakePeer relay(tFakeScript().Expect("dest 119\n").Send("a\nb\n"));
    trace.text.clear();
    proxy = Proxy(URL_SUN, relay.port());
    s = SunProxyConnect(-1, &proxy, &r);
    ASSERT_GE(s, 0);
    close(s);
    EXPECT_EQ(trace.text, "Sending: dest 119\nReceived: a\nb\n");

    tFakePeer relay2(tFakeScript().Expect("dest 119\n").Send("a\n").Close());
    trace.text.clear();
    proxy = Proxy(URL_SUN, relay2.port());
    EXPECT_EQ(SunProxyConnect(-1, &proxy, &r), -1);
    EXPECT_EQ(trace.text, "Sending: dest 119\nReceived: a\n<Proxy closed connection unexpectedly>\n");
}

TEST(Proxy, Http404RetriesOnceByAddress) {
    tFakePeer peer(std::vector<tFakeScript>{
        tFakeScript().Expect("CONNECT localhost:119 HTTP/1.0\r\n\r\n").Send("HTTP/1.0 404 Not Found\r\n\r\n"),
        tFakeScript().Expect("CONNECT 127.0.0.1:119 HTTP/1.0\r\n\r\n").Send("HTTP/1.0 200 OK\r\n\r\nhi")});
    tTraceText trace;
    tConnectRequest r = TracedRequest("localhost", 119, 10, &trace);
    tUrl proxy = Proxy(URL_HTTPS, peer.port());
    int s = HttpProxyConnect(-1, &proxy, &r);
    ASSERT_GE(s, 0) << ProxyErrorText(SockLastError());
    char buf[2];
    EXPECT_EQ(ReadExact(s, buf, 2, 10, -1), 2);
    close(s);
    EXPECT_NE(trace.text.find("Trying IP address 127.0.0.1\n"), std::string::npos) << trace.text;
    EXPECT_EQ(peer.Accepted(), 2);

    // An address, or a second 404, is not retried.
    tFakePeer again(std::vector<tFakeScript>{
        tFakeScript().Expect("CONNECT 127.0.0.1:119 HTTP/1.0\r\n\r\n").Send("HTTP/1.0 404 Not Found\r\n\r\n")});
    r.host = "127.0.0.1";
    proxy.port = again.port();
    EXPECT_EQ(HttpProxyConnect(-1, &proxy, &r), -1);
    EXPECT_EQ(SockLastError(), EPROXY_NOT_ALLOWED);
    again.Wait();
    EXPECT_EQ(again.Accepted(), 1);
}

TEST(Proxy, OverlongNamesAreRefusedBeforeSending) {
    tTraceText trace;
    std::string host(251, 'h');
    tFakePeer peer(tFakeScript().Expect(kGreeting).Send(Bytes({5, 0})).Stall());
    tConnectRequest r = TracedRequest(host.c_str(), 119, 10, &trace);
    tUrl proxy = Proxy(URL_SOCKS5, peer.port());
    EXPECT_EQ(Socks5Connect(-1, &proxy, &r), -1);
    EXPECT_EQ(SockLastError(), ESOCK_BUFFER_OVERFLOW);

    std::string login(254, 'l');
    tFakePeer peer2(tFakeScript().Expect(Bytes({5, 2, 0, 2})).Send(Bytes({5, 2})).Stall());
    r.host = "dest";
    proxy = Proxy(URL_SOCKS5, peer2.port(), login.c_str(), "");
    EXPECT_EQ(Socks5Connect(-1, &proxy, &r), -1);
    EXPECT_EQ(SockLastError(), ESOCK_BUFFER_OVERFLOW);

    std::string user(120, 'u');
    tFakePeer peer3(tFakeScript().Stall());
    proxy = Proxy(URL_SOCKS4B, peer3.port(), nullptr, user.c_str());
    r.host = "127.0.0.1";
    EXPECT_EQ(Socks4Connect(-1, &proxy, &r), -1);
    EXPECT_EQ(SockLastError(), ESOCK_BUFFER_OVERFLOW);
}

// ---- Chains ----

TEST(Proxy, ChainRules) {
    tTraceText trace;
    tConnectRequest r = TracedRequest("dest", 119, 10, &trace);
    tUrl news = Proxy(URL_NEWS, 1);
    EXPECT_EQ(ChainConnect(&news, &r), -1);
    EXPECT_STREQ(ProxyErrorText(SockLastError()), "Invalid proxy type");

    // A tunnel after another hop.
    tFakePeer first(tFakeScript().Expect(kGreeting).Send(Bytes({5, 0})).Read(5 + 9 + 2).Send(
        Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0})).Stall());
    tUrl hop1 = Proxy(URL_SOCKS5, first.port());
    tUrl tunnel = Proxy(URL_TUNNEL, 7000);
    hop1.next = &tunnel;
    EXPECT_EQ(ChainConnect(&hop1, &r), -1);
    EXPECT_STREQ(ProxyErrorText(SockLastError()), "Invalid proxy chaining attempted");

    // A port-mapping proxy with a further hop.
    tUrl map = Proxy(URL_FTPPROXY, 1);
    tUrl hop2 = Proxy(URL_SOCKS5, 1);
    map.next = &hop2;
    EXPECT_EQ(ChainConnect(&map, &r), -1);
    EXPECT_EQ(SockLastError(), EPROXY_BAD_CHAINING);

    // "none" after a real hop ends the chain: the proxy gets the destination.
    tFakePeer only(tFakeScript().Expect(kGreeting).Send(Bytes({5, 0})).Expect(kSocks5Request).Send(
        Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}) + "ok"));
    tUrl socks = Proxy(URL_SOCKS5, only.port());
    tUrl none = {};
    none.scheme = URL_NO_PROXY;
    socks.next = &none;
    int s = ChainConnect(&socks, &r);
    ASSERT_GE(s, 0) << ProxyErrorText(SockLastError());
    close(s);
    // "none" alone connects directly; followed by a hop it is a bad chain.
    tFakePeer direct(tFakeScript().Send("hi"));
    r.host = "127.0.0.1";
    r.port = direct.port();
    s = ChainConnect(&none, &r);
    ASSERT_GE(s, 0);
    close(s);
    none.next = &socks;
    socks.next = nullptr;
    EXPECT_EQ(ChainConnect(&none, &r), -1);
    EXPECT_EQ(SockLastError(), EPROXY_BAD_CHAINING);
}

TEST(Proxy, PortMappingAndTunnelConnectToTheirOwnAddress) {
    tTraceText trace;
    tFakePeer mapped(tFakeScript().Send("mapped"));
    tConnectRequest r = TracedRequest("dest", 119, 10, &trace);
    tUrl map = Proxy(URL_FTPPROXY, mapped.port());
    int s = ChainConnect(&map, &r);
    ASSERT_GE(s, 0) << ProxyErrorText(SockLastError());
    char buf[6];
    EXPECT_EQ(ReadExact(s, buf, 6, 10, -1), 6);
    close(s);

    // A tunnel without a port uses the destination's port.
    tFakePeer tunnelled(tFakeScript().Send("tunnel"));
    r.port = tunnelled.port();
    tUrl tunnel = Proxy(URL_TUNNEL, 0);
    s = ChainConnect(&tunnel, &r);
    ASSERT_GE(s, 0) << ProxyErrorText(SockLastError());
    EXPECT_EQ(ReadExact(s, buf, 6, 10, -1), 6);
    close(s);
}

TEST(Proxy, TwoHopChainAsksTheFirstHopForTheSecond) {
    // One fake stands for both hops: first a SOCKS5 proxy asked for
    // "hop2:8080", then, through it, an HTTP proxy asked for the destination.
    tFakePeer peer(tFakeScript()
                       .Expect(kGreeting)
                       .Send(Bytes({5, 0}))
                       .Expect(Bytes({5, 1, 0, 3, 4}) + "hop2" + Bytes({0x1f, 0x90}))
                       .Send(Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}))
                       .Expect(kConnect)
                       .Send("HTTP/1.0 200 OK\r\n\r\nend"));
    tTraceText trace;
    tConnectRequest r = TracedRequest("dest", 119, 10, &trace);
    uint32_t cached = 0;
    r.cachedAddress = &cached;
    tUrl hop1 = Proxy(URL_SOCKS5, peer.port());
    tUrl hop2 = Proxy(URL_HTTPS, 8080);
    hop2.host = (char *)"hop2";
    hop1.next = &hop2;
    int s = ChainConnect(&hop1, &r);
    ASSERT_GE(s, 0) << ProxyErrorText(SockLastError());
    char buf[3];
    EXPECT_EQ(ReadExact(s, buf, 3, 10, -1), 3);
    EXPECT_EQ(std::string(buf, 3), "end");
    close(s);
    // Proxies are reached without the destination's cached address.
    EXPECT_EQ(cached, 0u);
}

}  // namespace

#include "lib/log.h"
#include "tests/support/paths.h"

namespace {

TEST(Proxy, TraceGoesToALogFile) {
    tTempDir dir;
    tLog log;
    ASSERT_EQ(LogOpen(&log, (dir / "connect.log").c_str(), 100000), 0);
    tFakePeer peer(tFakeScript().Expect(kGreeting).Send(Bytes({5, 0xff})));
    tConnectRequest r = {};
    r.host = "dest";
    r.port = 119;
    r.timeout = 10;
    r.cancelSocket = -1;
    r.trace = TraceToLog;
    r.traceContext = &log;
    tUrl proxy = Proxy(URL_SOCKS5, peer.port());
    EXPECT_EQ(Socks5Connect(-1, &proxy, &r), -1);
    LogClose(&log);
    std::string text = ReadWholeFile(dir / "connect.log");
    EXPECT_NE(text.find("Sending: 05 01 00\nReceived: 05 FF\n"), std::string::npos) << text;
}

}  // namespace
