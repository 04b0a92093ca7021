// The article commands in process on the reader session: the hand-over of
// large articles to asynchronous retrieval (through its dispatch points) and
// the renumber level that ends the session. No upstream server exists here,
// so whatever goes to direct retrieval fails.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "fuzz/session/session_driver.h"
#include "server/nntp/artcmds.h"
#include "server/settings/settings.h"
#include "tests/support/paths.h"

namespace {

// Runs one session over the commands (QUIT appended) and returns every
// answer.
std::string Converse(const std::string &commands) {
    sessionfuzz::tWorld *w = sessionfuzz::World();
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    tSession *session = SessionAllocate();
    SockBufInit(&session->conversation, pair[0]);
    session->indices = w->indices;
    session->groupList = &w->list;
    session->reportAsDeleted = reportAsDeleted;
    session->retrievedShow = 1;
    snprintf(session->logPath, sizeof session->logPath, "cli-artcmds");
    EXPECT_EQ(LogOpen(&session->log, session->logPath, 1 << 20), E_OK);
    std::thread thread(SessionRun, session);
    std::string text = commands + "QUIT\r\n";
    EXPECT_EQ(send(pair[1], text.data(), text.size(), MSG_NOSIGNAL), (ssize_t)text.size());
    std::string received;
    char buffer[4096];
    for (;;) {
        pollfd p{pair[1], POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0) break;
        ssize_t n = recv(pair[1], buffer, sizeof buffer, 0);
        if (n <= 0) break;
        received.append(buffer, (size_t)n);
    }
    close(pair[1]);
    thread.join();
    return received;
}

long scheduledHandle = 0;
std::string scheduled;
long Schedule(const char *group, long number, const char *msgId, long bytes, const char *subject) {
    scheduled += std::string(group) + " " + std::to_string(number) + " " + msgId + " " + std::to_string(bytes) + " " +
                 subject + "\n";
    return scheduledHandle;
}

struct Async : ::testing::Test {
    void SetUp() override {
        sessionfuzz::World();
        artAsyncSchedule = Schedule;
        scheduled.clear();
    }
    void TearDown() override {
        artAsyncSchedule = nullptr;
        lineTrigger = 0;
        reportAsDeleted = 0;
        renumber = 0;
    }
};

TEST_F(Async, LargeArticlesGetAnInterimArticleAndHeadStaysDirect) {
    lineTrigger = -20;  // every article of 20 lines and more
    scheduledHandle = 0x2a;
    std::string got = Converse("GROUP alt.test\r\nARTICLE 3\r\nHEAD 3\r\nXHDR FROM 3\r\n");
    EXPECT_NE(got.find("220 3 <3@example.org> head and body follow\r\nSubject: Subject 3\r\nFrom: Poster "
                       "<p@example.org>\r\nDate: Mon, 7 Dec 2026 10:00:00 +0000\r\nMessage-ID: <3@example.org>\r\n"
                       "References: \r\nLines: 20\r\n\r\nArticle is being retrieved asynchronously, handle 2a\r\n.\r\n"),
              std::string::npos)
        << got;
    EXPECT_EQ(scheduled, "alt.test 3 <3@example.org> 1500 Subject 3\n");
    // HEAD is never asynchronous: direct retrieval, which has no server here.
    EXPECT_NE(got.find("500 No server having article is reachable\r\n"), std::string::npos) << got;
    // The article is marked as queued.
    EXPECT_NE(got.find("3\t/a Poster <p@example.org>\r\n"), std::string::npos) << got;

    // Fewer lines than the trigger: direct.
    lineTrigger = 21;
    scheduled.clear();
    got = Converse("GROUP alt.test\r\nARTICLE 4\r\n");
    EXPECT_EQ(scheduled, "");
    EXPECT_NE(got.find("500 No server having article is reachable\r\n"), std::string::npos) << got;
}

TEST_F(Async, ReportedAsDeletedOnceScheduledAndFallsBackWhenSchedulingFails) {
    lineTrigger = -20;
    reportAsDeleted = 1;
    scheduledHandle = 0x10;
    std::string got = Converse("GROUP alt.test\r\nARTICLE 2\r\nARTICLE <2@example.org>\r\n");
    EXPECT_NE(got.find("423 article has been scheduled for async retrieval (10)\r\n"
                       "423 article is already scheduled for async retrieval\r\n"),
              std::string::npos)
        << got;
    scheduledHandle = 0;
    got = Converse("GROUP alt.test\r\nARTICLE 5\r\n");
    EXPECT_NE(got.find("500 No server having article is reachable\r\n"), std::string::npos) << got;
    EXPECT_NE(ReadWholeFile("cli-artcmds").find("Could not setup async getting."), std::string::npos);
}

TEST_F(Async, RenumberAboveTwoEndsTheSession) {
    renumber = 3;
    std::string got = Converse("GROUP alt.test\r\nSTAT 1\r\nDATE\r\n");
    EXPECT_NE(got.find("503 Timeout\r\n"), std::string::npos) << got;
    EXPECT_EQ(got.find("111 "), std::string::npos) << got;  // nothing after it
}

}  // namespace
