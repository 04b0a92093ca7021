#include "lib/diag.h"
#include "lib/log.h"
#include "lib/sendlog.h"
#include "tests/support/paths.h"

#include <cstring>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

bool Digit(char c, bool spaceOk = false) { return (c >= '0' && c <= '9') || (spaceOk && c == ' '); }

// True when line is a time stamp "%2d/%02d %2d:%02d:%02d  " followed by rest.
bool Stamped(const std::string &line, const std::string &rest) {
    if (line.size() != 16 + rest.size() || line.compare(16, std::string::npos, rest) != 0) return false;
    const char *l = line.c_str();
    return Digit(l[0], true) && Digit(l[1]) && l[2] == '/' && Digit(l[3]) && Digit(l[4]) && l[5] == ' ' &&
           Digit(l[6], true) && Digit(l[7]) && l[8] == ':' && Digit(l[9]) && Digit(l[10]) && l[11] == ':' &&
           Digit(l[12]) && Digit(l[13]) && l[14] == ' ' && l[15] == ' ';
}

// ctime's fixed form "Tue Jun  9 14:03:55 2009": 24 characters, the day of
// the month padded with a space.
bool CtimeForm(const std::string &t) {
    if (t.size() != 24) return false;
    const char *c = t.c_str();
    return c[3] == ' ' && c[7] == ' ' && Digit(c[8], true) && Digit(c[9]) && c[10] == ' ' && Digit(c[11]) &&
           Digit(c[12]) && c[13] == ':' && c[16] == ':' && c[19] == ' ' && Digit(c[20]) && Digit(c[23]);
}

}  // namespace

TEST(Log, BannerStampPrefixAndEnd) {
    tTempDir dir;
    std::string path = dir / "journal";
    tLog log;
    ASSERT_EQ(LogOpen(&log, path.c_str(), 204800), E_OK);
    log.prefix = "srv1: ";
    LogMessage(&log, "Hello %d\n", 42);
    LogRaw(&log, "raw ");
    LogWrite(&log, "bytes\n", 6);
    timeStampLogs = 0;
    LogMessage(&log, "plain\n");
    timeStampLogs = 1;
    LogClose(&log);
    EXPECT_EQ(log.file, nullptr);

    std::vector<std::string> lines = Lines(ReadWholeFile(path));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "========================");
    ASSERT_EQ(lines[1].rfind("Date: ", 0), 0u);
    EXPECT_TRUE(CtimeForm(lines[1].substr(6))) << lines[1];
    EXPECT_TRUE(Stamped(lines[2], "srv1: Hello 42")) << lines[2];
    EXPECT_EQ(lines[3], "raw bytes");
    EXPECT_EQ(lines[4], "srv1: plain");
    ASSERT_EQ(lines[5].rfind("Ended at: ", 0), 0u);
    EXPECT_TRUE(CtimeForm(lines[5].substr(10))) << lines[5];
}

TEST(Log, RotatesAtTheLimitKeepingOneBackup) {
    tTempDir dir;
    std::string path = dir / "journal";
    ASSERT_TRUE(WriteWholeFile(path, std::string(200000, 'a')));
    ASSERT_TRUE(WriteWholeFile(path + ".bak", "old backup"));
    tLog log;
    ASSERT_EQ(LogOpen(&log, path.c_str(), 204800), E_OK);  // small enough: appended
    LogClose(&log);
    EXPECT_EQ(ReadWholeFile(path + ".bak"), "old backup");
    std::string kept = ReadWholeFile(path);
    EXPECT_EQ(kept.substr(0, 200000), std::string(200000, 'a'));
    EXPECT_GT(kept.size(), 200000u);

    ASSERT_TRUE(WriteWholeFile(path, std::string(300000, 'b')));
    ASSERT_EQ(LogOpen(&log, path.c_str(), 204800), E_OK);
    LogClose(&log);
    EXPECT_EQ(ReadWholeFile(path + ".bak"), std::string(300000, 'b'));  // the old backup is gone
    EXPECT_EQ(ReadWholeFile(path).rfind("========================\nDate: ", 0), 0u);
    EXPECT_LT(ReadWholeFile(path).size(), 200u);

    // Exactly at the limit is not "larger".
    ASSERT_TRUE(WriteWholeFile(path, std::string(100, 'c')));
    EXPECT_EQ(RotateIfLarge(path.c_str(), 100), 0);
    EXPECT_EQ(ReadWholeFile(path), std::string(100, 'c'));
    EXPECT_EQ(RotateIfLarge((dir / "absent").c_str(), 1), 0);
}

TEST(Log, OpenFailsWithOutOfFiles) {
    tTempDir dir;
    tLog log;
    EXPECT_EQ(LogOpen(&log, (dir / "no/such/dir/log").c_str(), 1000), E_OUT_OF_FILES);
    LogMessage(&log, "ignored\n");  // a log that is not open is left alone
    LogClose(&log);
}

TEST(Log, DotsMakeLinesAndMessagesEndThem) {
    tTempDir dir;
    std::string path = dir / "explore";
    tLog log;
    ASSERT_EQ(LogOpen(&log, path.c_str(), 102400), E_OK);
    log.prefix = "P ";
    LogDotsInit(&log, 50);
    for (int i = 0; i < 50; i++) EXPECT_EQ(LogDotChar(&log), i + 1);
    for (int i = 0; i < 3; i++) LogDot(&log, '+');
    LogMessage(&log, "between\n");
    LogDot(&log, '*');  // position 3, but no line is open: a new line starts
    LogDot(&log, '*');
    LogClose(&log);

    std::vector<std::string> lines = Lines(ReadWholeFile(path));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_TRUE(Stamped(lines[2], "P " + std::string(50, '.'))) << lines[2];
    EXPECT_TRUE(Stamped(lines[3], "P +++")) << lines[3];
    EXPECT_TRUE(Stamped(lines[4], "P between")) << lines[4];
    EXPECT_TRUE(Stamped(lines[5], "P **")) << lines[5];
    EXPECT_EQ(lines[6].rfind("Ended at: ", 0), 0u);
}

// Progress characters are collected per row: a finished row is in the file
// at once, an unfinished one as soon as anything else is written.
TEST(Log, DotRowsReachTheFileWhenTheyEndOrSomethingFollows) {
    tTempDir dir;
    std::string path = dir / "explore";
    tLog log;
    ASSERT_EQ(LogOpen(&log, path.c_str(), 102400), E_OK);
    LogDotsInit(&log, 4);
    for (int i = 0; i < 6; i++) LogDotChar(&log);
    std::string text = ReadWholeFile(path);
    EXPECT_NE(text.find("....\n"), std::string::npos) << text;
    LogRaw(&log, "[%d]", 7);
    EXPECT_NE(ReadWholeFile(path).find("  ..[7]"), std::string::npos) << ReadWholeFile(path);
    LogClose(&log);
}

// Lines of different threads never interleave within one LogMessage.
TEST(Log, ConcurrentWritersKeepLinesWhole) {
    tTempDir dir;
    std::string path = dir / "shared";
    tLog log;
    ASSERT_EQ(LogOpen(&log, path.c_str(), 0x7fffffff), E_OK);
    log.prefix = "[p] ";
    constexpr int THREADS = 4, LINES = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; t++)
        threads.emplace_back([&log, t] {
            std::string body(200 + 300 * t, (char)('A' + t));  // one line longer than the small buffer
            for (int i = 0; i < LINES; i++) LogMessage(&log, "%d %s %d\n", t, body.c_str(), i);
        });
    for (auto &th : threads) th.join();
    LogClose(&log);

    std::vector<std::string> lines = Lines(ReadWholeFile(path));
    ASSERT_EQ(lines.size(), 3u + THREADS * LINES);
    int count[THREADS] = {};
    for (size_t i = 2; i + 1 < lines.size(); i++) {
        const std::string &l = lines[i];
        ASSERT_GT(l.size(), 22u);
        int t = l[20] - '0';
        ASSERT_TRUE(t >= 0 && t < THREADS) << l.substr(0, 80);
        std::string rest = "[p] " + std::to_string(t) + " " + std::string(200 + 300 * t, (char)('A' + t)) + " " +
                           std::to_string(count[t]++);  // each thread's lines in order
        ASSERT_TRUE(Stamped(l, rest)) << l.substr(0, 80);
    }
}

TEST(SendAndLog, SendsWholeTextAndCopiesIt) {
    tTempDir dir;
    tLog log;
    ASSERT_EQ(LogOpen(&log, (dir / "cli").c_str(), 10240), E_OK);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    EXPECT_EQ(SendAndLog(sv[0], "200 Welcome\r\n", &log), 13);
    EXPECT_EQ(SendAndLogRaw(sv[0], "line\r\n", &log), 6);
    EXPECT_EQ(SendDotLine(sv[0], &log), 3);
    EXPECT_EQ(SendAndLog(-1, "not sent\r\n", &log), 0);
    EXPECT_EQ(SendAndLog(sv[0], "no log\r\n", nullptr), 8);
    char buf[128] = {};
    ASSERT_EQ(read(sv[1], buf, sizeof buf - 1), 13 + 6 + 3 + 8);
    EXPECT_STREQ(buf, "200 Welcome\r\nline\r\n.\r\nno log\r\n");
    close(sv[1]);
    // A closed peer: failure with the last socket error, no SIGPIPE.
    EXPECT_EQ(SendAndLog(sv[0], "lost\r\n", &log), -1);
    EXPECT_EQ(SockLastError(), WSAECONNRESET);
    close(sv[0]);
    LogClose(&log);
    std::string text = ReadWholeFile(dir / "cli");
    EXPECT_NE(text.find("200 Welcome\r\nline\r\n"), std::string::npos);
    EXPECT_NE(text.find("  .\r\n"), std::string::npos);
    EXPECT_NE(text.find("  not sent\r\n"), std::string::npos);
    EXPECT_NE(text.find("  lost\r\n"), std::string::npos);
}

// A gathering log writes nothing until it is flushed (or closed), keeps the
// order of messages, raw text and progress rows, and writes a message
// bigger than its buffer after what gathered before it.
TEST(Log, GatheredTextIsWrittenWholeAtFlushAndClose) {
    tTempDir dir;
    std::string path = dir / "cli";
    tLog log;
    ASSERT_EQ(LogOpen(&log, path.c_str(), 204800), E_OK);
    timeStampLogs = 0;
    ASSERT_EQ(LogGather(&log, 1), E_OK);
    const size_t banner = ReadWholeFile(path).size();
    LogMessage(&log, "GROUP misc\n");
    LogRaw(&log, "raw ");
    LogWrite(&log, "bytes\n", 6);
    LogDotsInit(&log, 3);
    for (int i = 0; i < 3; i++) LogDotChar(&log);
    EXPECT_EQ(ReadWholeFile(path).size(), banner);
    LogFlush(&log);
    EXPECT_EQ(ReadWholeFile(path).substr(banner), "GROUP misc\nraw bytes\n...\n");

    std::string big(LOG_GATHER_SIZE + 100, 'x');
    LogMessage(&log, "before\n");
    LogMessage(&log, "%s\n", big.c_str());
    EXPECT_EQ(ReadWholeFile(path).substr(banner), "GROUP misc\nraw bytes\n...\nbefore\n" + big + "\n");
    LogMessage(&log, "last\n");
    LogClose(&log);
    timeStampLogs = 1;
    std::vector<std::string> lines = Lines(ReadWholeFile(path));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "last");
    EXPECT_EQ(lines.back().rfind("Ended at: ", 0), 0u);
}

// Gathering off writes out what gathered; many small messages from several
// threads all arrive, each whole.
TEST(Log, GatheringFromSeveralThreadsLosesNothing) {
    tTempDir dir;
    std::string path = dir / "cli";
    tLog log;
    ASSERT_EQ(LogOpen(&log, path.c_str(), 1 << 24), E_OK);
    timeStampLogs = 0;
    ASSERT_EQ(LogGather(&log, 1), E_OK);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&log, t] {
            for (int i = 0; i < 2000; i++) LogMessage(&log, "thread %d message %04d\n", t, i);
        });
    for (auto &th : threads) th.join();
    EXPECT_EQ(LogGather(&log, 0), E_OK);
    LogClose(&log);
    timeStampLogs = 1;
    int count = 0;
    for (const std::string &l : Lines(ReadWholeFile(path)))
        if (l.rfind("thread ", 0) == 0) {
            EXPECT_EQ(l.size(), strlen("thread 0 message 0000")) << l;
            count++;
        }
    EXPECT_EQ(count, 8000);
}
