// The local servers as the main program sets them up: the probe for another
// instance, creation from the settings with port fall-back, shortcut files
// and the settings file, and the stand-in sessions behind the listeners.
#include "server/nntp/localservers.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "lib/log.h"
#include "lib/shutdown.h"
#include "lib/sock.h"
#include "lib/sockserver.h"
#include "server/nntp/interim.h"
#include "server/settings/settings.h"
#include "tests/support/lineclient.h"
#include "tests/support/paths.h"

namespace {

// A port with a listening socket on it, so that nobody else can bind it.
struct tBusyPort {
    int fd = -1;
    int port = 0;
    tBusyPort() {
        fd = TcpSocket(&port, nullptr);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(SocketListen(fd, 4), 0);
    }
    ~tBusyPort() { SocketClose(fd); }
};

// A loopback client reading whole lines with a bounded wait.
using tClient = tLineClient;

class LocalServersTest : public ::testing::Test {
protected:
    tTempDir dir;
    std::string oldCwd;
    tLog log;
    tClientRegistry registry{};
    tThreadPool taskPool;
    int restartRequested = 0;
    int keptClientSocket = -1;
    tLocalServerContext context{};
    tListener nntp{}, web{};
    bool running = false;

    void SetUp() override {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        oldCwd = cwd;
        ASSERT_EQ(chdir(dir.path.c_str()), 0);
        mkdir("etc", 0777);
        mkdir("logs", 0777);
        ShutdownReset();
        ASSERT_EQ(LogOpen(&log, "journal", JOURNAL_MAX_SIZE), E_OK);
        ASSERT_EQ(SettingsLoad(&log), 0);
        ASSERT_EQ(CancelSocketCreate(), 0);
        RegistryInit(&registry);
        ASSERT_EQ(PoolInit(&taskPool, POOL_NO_LIMIT), 0);
        context.registry = &registry;
        context.taskPool = &taskPool;
        context.restartRequested = &restartRequested;
        context.keptClientSocket = &keptClientSocket;
        context.journal = &log;
        context.nntpSession = InterimNntpSession;
        context.webSession = InterimWebSession;
    }

    void TearDown() override {
        if (running) {
            RequestShutdown(1);
            PoolWaitAll(&taskPool);
        }
        ListenerClose(&nntp);
        ListenerClose(&web);
        RegistryRelease(&registry);
        CancelSocketClose();
        SettingsRelease();
        LogClose(&log);
        ShutdownReset();
        EXPECT_EQ(chdir(oldCwd.c_str()), 0);
    }

    std::string Journal() { return ReadWholeFile(dir / "journal"); }
};

TEST_F(LocalServersTest, ProbeFindsAnotherServer) {
    int freePort;
    {
        tBusyPort gone;
        freePort = gone.port;
    }
    EXPECT_EQ(LocalServerProbe(freePort, 0, 0, &log), 0);
    EXPECT_EQ(Journal().find("Another server"), std::string::npos);

    tBusyPort busy;
    struct tCase {
        int autoConfigured, ignoreAnother, code;
        bool ignoring;
    } cases[] = {{0, 0, 5, false}, {0, 1, 0, true}, {1, 0, 0, false}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.autoConfigured * 10 + c.ignoreAnother);
        size_t before = Journal().size();
        EXPECT_EQ(LocalServerProbe(busy.port, c.autoConfigured, c.ignoreAnother, &log), c.code);
        std::string added = Journal().substr(before);
        EXPECT_NE(added.find("Another server is already running on port " + std::to_string(busy.port) + "\n"),
                  std::string::npos);
        EXPECT_EQ(added.find("Ignoring this situation as requested.\n") != std::string::npos, c.ignoring);
    }
}

TEST_F(LocalServersTest, TakenPortsFallBackIntoTheSettingsAndShortcuts) {
    tBusyPort busyNntp, busyWeb;
    nntpPort = busyNntp.port;
    webPort = busyWeb.port;
    newsUrl = 1;
    webUrl = 1;
    telnetHtm = 0;
    ASSERT_EQ(NntpServerCreate(&nntp, &context), 0);
    ASSERT_EQ(WebServerCreate(&web, &context), 0);
    EXPECT_NE(nntp.port, busyNntp.port);
    EXPECT_EQ(nntpPort, nntp.port);
    EXPECT_EQ(webPort, web.port);
    EXPECT_EQ(web.nntpPort, nntp.port);
    EXPECT_NE(ReadWholeFile(dir / "news.url").find("URL=news://localhost:" + std::to_string(nntp.port) + "\n"),
              std::string::npos);
    EXPECT_NE(ReadWholeFile(dir / "web.url").find("URL=http://localhost:" + std::to_string(web.port) + "\n"),
              std::string::npos);
    EXPECT_FALSE(access("telnet.htm", F_OK) == 0);
    ASSERT_EQ(SettingsSave(&log), 0);
    std::string ini = ReadWholeFile(dir / "etc/mergator.ini");
    EXPECT_NE(ini.find("nntpPort=" + std::to_string(nntp.port)), std::string::npos) << ini;
    EXPECT_NE(ini.find("webPort=" + std::to_string(web.port)), std::string::npos);
    EXPECT_NE(Journal().find("Could not create the NNTP server on port " + std::to_string(busyNntp.port) + ": "),
              std::string::npos);
}

TEST_F(LocalServersTest, InterimSessionsAnswerUntilQuit) {
    nntpPort = 0;
    webPort = 0;
    ASSERT_EQ(NntpServerCreate(&nntp, &context), 0);
    ASSERT_EQ(WebServerCreate(&web, &context), 0);
    ASSERT_EQ(DispatcherStart(&nntp), 0);
    ASSERT_EQ(DispatcherStart(&web), 0);
    running = true;
    {
        tClient c(nntp.port);
        EXPECT_EQ(c.Line(), "200 Mergator 4.5 (posting allowed)\r\n");
        c.Send("GROUP alt.test\r\n\r\nquit\r\n");
        EXPECT_EQ(c.Line(), "500 command not recognized\r\n");
        EXPECT_EQ(c.Line(), "205 bye\r\n");
        EXPECT_EQ(c.Line(), "");
        // The log is appended before the connection is closed.
        std::string clients = ReadWholeFile(dir / "logs/clients");
        EXPECT_NE(clients.find("GROUP alt.test\r\n"), std::string::npos) << clients;
        EXPECT_NE(clients.find("205 bye\r\n"), std::string::npos);
    }
    free(banner);
    banner = strdup("200 Welcome here");
    bannerOkAlways = 1;
    {
        tClient c(nntp.port);
        EXPECT_EQ(c.Line(), "200 Welcome here\r\n");
    }
    {
        tClient w(web.port);
        w.Send("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
        std::string answer = w.Rest();
        EXPECT_EQ(answer.rfind("HTTP/1.1 ", 0), 0u) << answer;
        EXPECT_NE(answer.find("</html>\r\n"), std::string::npos);
        std::string webLog = ReadWholeFile(dir / "logs/web");
        EXPECT_NE(webLog.find("Client: "), std::string::npos) << webLog;
        EXPECT_NE(webLog.find("GET / HTTP/1.1\r\n"), std::string::npos);
    }
}

}  // namespace
