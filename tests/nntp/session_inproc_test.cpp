// The reader session in process, on a socket pair against a small store:
// what a test of the running program cannot reach quickly (the idle time-out,
// the index references left after a reader vanishes) and the replay of the
// fuzzer's findings.
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "fuzz/session/session_driver.h"
#include "lib/dlink.h"
#include "lib/files.h"
#include "tests/support/paths.h"

namespace {

constexpr int kWaitMs = 30000;  // bound of every wait for the session

// One session on its own thread; the test is the reader.
struct tReaderEnd {
    int fd = -1;
    std::thread thread;
    std::string logPath;

    tReaderEnd() {
        sessionfuzz::tWorld *w = sessionfuzz::World();
        int pair[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        fd = pair[1];
        tSession *session = SessionAllocate();
        SockBufInit(&session->conversation, pair[0]);
        session->indices = w->indices;
        session->groupList = &w->list;
        static int serial = 0;
        logPath = "cli-inproc-" + std::to_string(++serial);
        snprintf(session->logPath, sizeof session->logPath, "%s", logPath.c_str());
        EXPECT_EQ(LogOpen(&session->log, session->logPath, 1 << 20), E_OK);
        thread = std::thread(SessionRun, session);
    }
    ~tReaderEnd() {
        if (fd >= 0) close(fd);
        if (thread.joinable()) thread.join();
    }
    void Send(const std::string &text) { ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), (ssize_t)text.size()); }
    // Everything received until the session closes its end ("" and false when
    // it stays open longer than the bound).
    bool ReadToEnd(std::string *text) {
        char buffer[4096];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, kWaitMs) <= 0) return false;
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) return true;
            text->append(buffer, (size_t)n);
        }
    }
    void End() {
        thread.join();
    }
};

// The cache's entries in use (an entry stays until its last user leaves).
int OpenIndexes() {
    tIndices *indices = sessionfuzz::World()->indices;
    std::lock_guard<std::mutex> g(indices->lock);
    int n = 0;
    for (tDlink *l = indices->list.next; l != &indices->list; l = l->next) n++;
    return n;
}

TEST(ReaderSession, IdleReaderIsTimedOut) {
    sessionfuzz::World();
    sessionDelays.readSeconds = 1;
    tReaderEnd reader;
    std::string received;
    ASSERT_TRUE(reader.ReadToEnd(&received));
    reader.End();
    sessionDelays.readSeconds = 5;
    EXPECT_EQ(received, "200 Mergator 4.5 (posting allowed)\r\n");
    std::string log = ReadWholeFile(reader.logPath);
    EXPECT_NE(log.find("Connection interrupted: "), std::string::npos) << log;
}

TEST(ReaderSession, ReaderVanishingMidCommandLeavesNoIndexReference) {
    sessionfuzz::World();
    ASSERT_EQ(OpenIndexes(), 0);
    sessionDelays.placeholderMs = 500;
    {
        // LISTGROUP of a group never downloaded pauses between its two
        // placeholders; the reader is gone before the answer.
        tReaderEnd reader;
        reader.Send("LISTGROUP comp.empty\r\nGROUP alt.te");
        shutdown(reader.fd, SHUT_RDWR);
        close(reader.fd);
        reader.fd = -1;
        reader.End();
        std::string log = ReadWholeFile(reader.logPath);
        EXPECT_NE(log.find("Connection "), std::string::npos) << log;
        // The unterminated command is not executed.
        EXPECT_EQ(log.find("GROUP alt.te"), std::string::npos) << log;
    }
    sessionDelays.placeholderMs = 0;
    EXPECT_EQ(OpenIndexes(), 0);
}

TEST(ReaderSession, NoIndexReferenceOutlivesASession) {
    sessionfuzz::World();
    tReaderEnd reader;
    reader.Send("GROUP alt.test\r\nNEXT\r\nLISTGROUP\r\nLAST\r\nQUIT\r\n");
    std::string received;
    ASSERT_TRUE(reader.ReadToEnd(&received));
    reader.End();
    EXPECT_NE(received.find("223 2 <2@example.org> Article retrieved"), std::string::npos) << received;
    EXPECT_NE(received.find("205 bye\r\n"), std::string::npos) << received;
    EXPECT_EQ(OpenIndexes(), 0);
}

// The listing of the web pages: rows of active groups with their links and
// forms, lines of all groups, and the pseudo-group's entry.
TEST(ReaderSession, WebListingsOfGroups) {
    sessionfuzz::tWorld *w = sessionfuzz::World();
    struct {
        int mode;
        const char *pattern;
        long count;
        std::string text;
    } cases[] = {
        {LIST_MODE_WEB_TABLE, "alt.*", 1,
         "<tr><td><a href=\"/stats.htm?alt.test\">Stats</a></td><td><a href=\"/articles.htm?alt.test\">Articles"
         "</a></td><td align=right>5</td><td align=right>1</td><td align=right>5</td><td><a href=\"news:alt.test\">"
         "alt.test</a></td><form><td><input type=submit name=alt.test value=Refresh></td><td><input type=submit "
         "name=alt.test value=Rewrite></td><td><input type=submit name=alt.test value=Filter></td><td><input "
         "type=submit name=alt.test value=Deactivate></td></form>\r\n</tr>\r\n"},
        {LIST_MODE_WEB_SHORT, "*s*", 3,
         "<a href=\"/stats.htm?alt.test\">Stats</a> <a href=\"/articles.htm?alt.test\">Articles</a> 5 (1-5) "
         "<b>alt.test</b><br>\r\n"
         "<a href=\"/articles.htm?misc.inactive\">Activate</a> misc.inactive<br>\r\n"
         "<a href=\"/async.htm\"> Articles </a> 0 (1-0) async<br>\r\n"},
        {LIST_MODE_WEB_TABLE, "as*", 1,
         "<tr><td>&nbsp;</td><td><a href=\"/async.htm\">Articles</a></td><td align=right>0</td><td "
         "align=right>1</td><td align=right>0</td><td>async</td><td>&nbsp;</td><td>&nbsp;</td><td>&nbsp;</td>"
         "<td>&nbsp;</td></tr>\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pattern);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        tSession *session = SessionAllocate();
        SockBufInit(&session->conversation, pair[0]);
        session->indices = w->indices;
        session->groupList = &w->list;
        EXPECT_EQ(ListGroups(session, false, c.mode, 0, c.pattern), c.count);
        SessionEnd(session);
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = recv(pair[1], buffer, sizeof buffer, 0)) > 0;) text.append(buffer, (size_t)n);
        close(pair[1]);
        EXPECT_EQ(text, c.text);
    }
}

// Every input the fuzzer kept (seeds and crashes) runs to its end.
TEST(ReaderSession, FuzzFindingsReplay) {
    sessionfuzz::World();
    int files = 0;
    for (const char *dir : {"fuzz/session/corpus", "fuzz/session/regress"}) {
        std::string path = MgSource(dir);
        DIR *d = opendir(path.c_str());
        ASSERT_NE(d, nullptr) << path;
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            SCOPED_TRACE(e->d_name);
            std::string input = ReadWholeFile(path + "/" + e->d_name);
            sessionfuzz::RunOne((const uint8_t *)input.data(), input.size());
            files++;
        }
        closedir(d);
    }
    EXPECT_GT(files, 0);
    EXPECT_EQ(OpenIndexes(), 0);
}

}  // namespace
