#include "lib/ping.h"

#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "lib/diag.h"
#include "tests/support/tracetext.h"

namespace {

TEST(Ping, LoopbackAnswers) {
    tTraceText trace;
    const std::string &report = trace.text;
    int rc = Ping("127.0.0.1", 1, CollectTrace, &trace);
    if (rc < 0 && SockLastError() == ESOCK_NO_PING) {
        EXPECT_STREQ(ProxyErrorText(SockLastError()), "Ping not implemented");
        GTEST_SKIP() << "this machine allows no ICMP socket";
    }
    ASSERT_EQ(rc, 0) << ProxyErrorText(SockLastError());
    int rtt = -1, ttl = -1;
    ASSERT_EQ(sscanf(report.c_str(), "Addr 127.0.0.1  RTT %dms  TTL %d", &rtt, &ttl), 2) << report;
    EXPECT_EQ(report, "Addr 127.0.0.1  RTT " + std::to_string(rtt) + "ms  TTL " + std::to_string(ttl) + "\n");
    EXPECT_GE(rtt, 0);
    EXPECT_GT(ttl, 0);
    // Quiet without verbose.
    trace.text.clear();
    ASSERT_EQ(Ping("127.0.0.1", 0, CollectTrace, &trace), 0);
    EXPECT_EQ(report, "");
}

// Without the right to open an ICMP socket the echo fails cleanly.
TEST(Ping, UnprivilegedProcessGetsAnAnswerOrNoPing) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop privileges";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
        int rc = Ping("127.0.0.1", 0, nullptr, nullptr);
        _exit(rc == 0 ? 0 : SockLastError() == ESOCK_NO_PING ? 1 : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_TRUE(WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 1) << WEXITSTATUS(status);
}

TEST(Ping, UnknownHostFailsWithTheResolverError) {
    EXPECT_EQ(Ping("no-such-host.invalid", 1, nullptr, nullptr), -1);
    EXPECT_EQ(SockLastError(), WSAHOST_NOT_FOUND);
}

// Builds an ICMP packet behind a 20-byte IPv4 header (TTL 61, from 10.1.2.3).
std::string Packet(int type, int code, const std::string &body) {
    std::string ip(20, '\0');
    ip[0] = 0x45;
    ip[8] = 61;
    ip[9] = 1;
    ip[12] = 10, ip[13] = 1, ip[14] = 2, ip[15] = 3;
    std::string icmp = {(char)type, (char)code, 0, 0};
    return ip + icmp + body;
}

std::string IdSeq(uint16_t id, uint16_t seq) {
    return {(char)(id >> 8), (char)id, (char)(seq >> 8), (char)seq};
}

TEST(Ping, ParseRepliesAndErrors) {
    const uint16_t id = 0x1234, seq = 7;
    // The quoted original echo inside an error message.
    std::string quotedIp(20, '\0');
    quotedIp[0] = 0x45;
    quotedIp[9] = 1;
    std::string quoted = quotedIp + std::string{8, 0, 0, 0} + IdSeq(id, seq);
    struct {
        const char *name;
        std::string packet;
        int answers, status;
    } cases[] = {
        {"echo reply", Packet(0, 0, IdSeq(id, seq) + std::string(64, '\xaa')), 1, 0},
        {"another process's reply", Packet(0, 0, IdSeq(id + 1, seq)), 0, 0},
        {"an old sequence", Packet(0, 0, IdSeq(id, seq - 1)), 0, 0},
        {"our own request", Packet(8, 0, IdSeq(id, seq)), 0, 0},
        {"host unreachable", Packet(3, 1, std::string(4, '\0') + quoted), 1, 11003},
        {"net unreachable", Packet(3, 0, std::string(4, '\0') + quoted), 1, 11002},
        {"port unreachable", Packet(3, 3, std::string(4, '\0') + quoted), 1, IP_DEST_PORT_UNREACHABLE},
        {"TTL expired", Packet(11, 0, std::string(4, '\0') + quoted), 1, IP_TTL_EXPIRED_TRANSIT},
        {"error about someone else", Packet(3, 1, std::string(4, '\0') + quotedIp + std::string{8, 0, 0, 0} +
                                                      IdSeq(id + 1, seq)),
         0, 0},
        {"truncated error", Packet(3, 1, std::string(4, '\0') + quotedIp), 0, 0},
        {"truncated header", std::string(12, '\x45'), 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int status = -1, ttl = 0;
        uint32_t from = 0;
        int got = PingParseReply((const unsigned char *)c.packet.data(), (int)c.packet.size(), true, id, seq, &status,
                                 &ttl, &from);
        EXPECT_EQ(got, c.answers);
        if (got) {
            EXPECT_EQ(status, c.status);
            EXPECT_EQ(ttl, 61);
        }
    }
    EXPECT_STREQ(SockErrorText(IP_REQ_TIMED_OUT), "Request timed out");
}

}  // namespace
