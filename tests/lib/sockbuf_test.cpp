// The socket line reader over a local stream socket pair: line splitting,
// pieces for long lines, end of stream, time-outs and cancellation.
#include "lib/sockbuf.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "lib/diag.h"

namespace {

struct tPair {
    int reader = -1, writer = -1;
    tPair() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        reader = fds[0];
        writer = fds[1];
    }
    ~tPair() {
        if (reader >= 0) close(reader);
        CloseWriter();
    }
    void Send(const std::string &s) { ASSERT_EQ(write(writer, s.data(), s.size()), (ssize_t)s.size()); }
    void CloseWriter() {
        if (writer >= 0) close(writer);
        writer = -1;
    }
};

// Reads pieces until end of stream or failure; each piece is checked for
// its size limit and for carrying a line feed only at its end.
std::vector<std::string> ReadAll(tSockBuf *sb, int outSize, int seconds = 30) {
    std::vector<std::string> pieces;
    std::vector<char> out((size_t)outSize);
    for (;;) {
        int n = SockBufReadLine(sb, out.data(), outSize, seconds, -1);
        if (n <= 0) break;
        EXPECT_EQ((int)strlen(out.data()), n);
        EXPECT_LE(n, std::min(outSize - 1, SOCKBUF_SIZE));
        std::string piece(out.data(), (size_t)n);
        EXPECT_EQ(piece.find('\n'), piece.find('\n') == std::string::npos ? std::string::npos : piece.size() - 1);
        pieces.push_back(piece);
    }
    return pieces;
}

std::string Join(const std::vector<std::string> &v) {
    std::string s;
    for (auto &p : v) s += p;
    return s;
}

}  // namespace

TEST(SockBuf, TwoLinesInOnePieceNeedOneReceive) {
    tPair p;
    tSockBuf sb;
    SockBufInit(&sb, p.reader);
    p.Send("200 ok\r\n211 x\r\n");
    char out[100];
    EXPECT_EQ(SockBufReadLine(&sb, out, sizeof out, 5, -1), 8);
    EXPECT_STREQ(out, "200 ok\r\n");
    // Nothing more arrives: a zero wait succeeds only without a receive.
    EXPECT_EQ(SockBufReadLine(&sb, out, sizeof out, 0, -1), 7);
    EXPECT_STREQ(out, "211 x\r\n");
    EXPECT_EQ(SockBufReadLine(&sb, out, sizeof out, 0, -1), -1);
    EXPECT_EQ(SockLastError(), ESOCK_TIMEOUT);
}

TEST(SockBuf, LinesOfManyLengthsComeBackWhole) {
    for (int length : {0, 1, 511, 512, 513, 2046, 2047, 2048, 5000, 100000}) {
        SCOPED_TRACE(length);
        tPair p;
        tSockBuf sb;
        SockBufInit(&sb, p.reader);
        std::string line(length, 'x');
        for (int i = 0; i < length; i++) line[i] = (char)('a' + i % 26);
        std::string stream = line + "\r\n" + "next\r\n";
        std::thread writer([&] {
            p.Send(stream);
            p.CloseWriter();
        });
        auto pieces = ReadAll(&sb, 10240);
        writer.join();
        EXPECT_EQ(Join(pieces), stream);
        ASSERT_GE(pieces.size(), 2u);
        EXPECT_EQ(pieces.back(), "next\r\n");
        // A line fits one piece unless it passes the 2048-byte buffer.
        size_t expected = (size_t)(length + 2 + SOCKBUF_SIZE - 1) / SOCKBUF_SIZE;
        EXPECT_EQ(pieces.size() - 1, expected);
    }
}

TEST(SockBuf, PiecesFollowTheBufferAndTheTarget) {
    struct tCase {
        int lineLength;  // bytes before the line feed
        int outSize;
        std::vector<int> pieces;
    } cases[] = {
        {4999, 10240, {2048, 2048, 904}},  // 5000 bytes with the line feed
        {249, 100, {99, 99, 52}},
        {0, 2, {1}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.lineLength);
        tPair p;
        tSockBuf sb;
        SockBufInit(&sb, p.reader);
        std::string line(c.lineLength, 'q');
        line += '\n';
        std::thread writer([&] {
            p.Send(line);
            p.CloseWriter();
        });
        auto pieces = ReadAll(&sb, c.outSize);
        writer.join();
        std::vector<int> sizes;
        for (auto &s : pieces) sizes.push_back((int)s.size());
        EXPECT_EQ(sizes, c.pieces);
        EXPECT_EQ(Join(pieces), line);
    }
}

TEST(SockBuf, OnlyLineFeedsEndLines) {
    tPair p;
    tSockBuf sb;
    SockBufInit(&sb, p.reader);
    p.Send("a\nb\rc\r\n\rd\r");
    p.CloseWriter();
    auto pieces = ReadAll(&sb, 100);
    EXPECT_EQ(pieces, (std::vector<std::string>{"a\n", "b\rc\r\n", "\rd\r"}));
}

TEST(SockBuf, EndOfStreamHandsOutTheRestThenZero) {
    tPair p;
    tSockBuf sb;
    SockBufInit(&sb, p.reader);
    p.Send("abc");
    p.CloseWriter();
    char out[100];
    EXPECT_EQ(SockBufReadLine(&sb, out, sizeof out, 5, -1), 3);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(SockBufReadLine(&sb, out, sizeof out, 5, -1), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(SockBufReadLine(&sb, out, sizeof out, 5, -1), 0);
}

TEST(SockBuf, TimeOutHandsOutWhatArrivedFirst) {
    tPair p;
    tSockBuf sb;
    SockBufInit(&sb, p.reader);
    char out[100];
    EXPECT_EQ(SockBufReadLine(&sb, out, sizeof out, 0, -1), -1);
    EXPECT_EQ(SockLastError(), ESOCK_TIMEOUT);
    // Half a line, then the peer stalls.
    p.Send("line\r\nab");
    EXPECT_EQ(SockBufReadLine(&sb, out, sizeof out, 1, -1), 6);
    EXPECT_EQ(SockBufReadLine(&sb, out, sizeof out, 1, -1), 2);
    EXPECT_STREQ(out, "ab");
    SockSetLastError(0);
    EXPECT_EQ(SockBufReadLine(&sb, out, sizeof out, 1, -1), -1);
    EXPECT_EQ(SockLastError(), ESOCK_TIMEOUT);
    // The conversation goes on when the rest arrives.
    p.Send("cd\n");
    EXPECT_EQ(SockBufReadLine(&sb, out, sizeof out, 1, -1), 3);
    EXPECT_STREQ(out, "cd\n");
}

TEST(SockBuf, DisconnectMidLineGivesThePartThenEnd) {
    tPair p;
    tSockBuf sb;
    SockBufInit(&sb, p.reader);
    char out[100];
    std::thread writer([&] {
        p.Send("GROUP alt.te");
        usleep(50 * 1000);
        p.CloseWriter();
    });
    EXPECT_EQ(SockBufReadLine(&sb, out, sizeof out, 30, -1), 12);
    EXPECT_STREQ(out, "GROUP alt.te");
    EXPECT_EQ(SockBufReadLine(&sb, out, sizeof out, 30, -1), 0);
    writer.join();
}

TEST(SockBuf, CancelSocketEndsTheWait) {
    tPair p, cancel;
    tSockBuf sb;
    SockBufInit(&sb, p.reader);
    char out[100];
    std::thread canceller([&] {
        usleep(50 * 1000);
        cancel.CloseWriter();
    });
    EXPECT_EQ(SockBufReadLine(&sb, out, sizeof out, -1, cancel.reader), -1);
    EXPECT_EQ(SockLastError(), ESOCK_CANCELLED);
    canceller.join();
}

TEST(SockBuf, ZeroSizeTargetFailsAndReadsNothing) {
    tPair p;
    tSockBuf sb;
    SockBufInit(&sb, p.reader);
    p.Send("x\n");
    char out[4];
    EXPECT_EQ(SockBufReadLine(&sb, out, 0, 5, -1), -1);
    EXPECT_EQ(SockLastError(), ESOCK_BUFFER_OVERFLOW);
    EXPECT_STREQ(SockErrorText(SockLastError()), "Buffer overflow");
    EXPECT_EQ(SockBufReadLine(&sb, out, sizeof out, 5, -1), 2);
    EXPECT_STREQ(out, "x\n");
}
