// The servers file: load, validation, names, write back, import, statistics,
// references, option letters and the results log.
#include "server/upstream/servers.h"

#include "lib/log.h"
#include "server/settings/settings.h"
#include "tests/support/paths.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct ServersFixture : ::testing::Test {
    tTempDir dir;
    std::string iniPath = dir / "servers.ini";
    std::string dynaPath = dir / "servdyna.ini";
    std::string logPath = dir / "journal";
    tLog log{};
    std::unique_ptr<tServers> servers = std::make_unique<tServers>();

    void SetUp() override {
        ASSERT_EQ(LogOpen(&log, logPath.c_str(), 1 << 30), E_OK);
        servers->resultsPath = nullptr;
    }
    void TearDown() override {
        ServersRelease(servers.get());
        LogClose(&log);
    }

    tDiag Load(const std::string &content, int shortFileNames = 0) {
        EXPECT_TRUE(WriteWholeFile(iniPath, content));
        return LoadServers(servers.get(), &log, shortFileNames, 0, 0, nullptr, nullptr, nullptr, iniPath.c_str());
    }
    // Loads statistics, servers and binds them.
    tDiag Start() {
        tDiag rc = ServersLoadDynamic(servers.get(), &log, dynaPath.c_str());
        if (rc == E_OK) rc = LoadServers(servers.get(), &log, 0, 0, 0, nullptr, nullptr, nullptr, iniPath.c_str());
        if (rc == E_OK) rc = BindServers(servers.get());
        return rc;
    }
    void Restart() {
        ServersRelease(servers.get());
        servers = std::make_unique<tServers>();
        servers->resultsPath = nullptr;
    }
    std::string Journal() { return ReadWholeFile(logPath); }
    tServer *Server(int i) { return ServerAt(servers.get(), i); }
};

const char *const REALISTIC =
    "[file]\n"
    "comment=Servers of the household\n"
    "comment=second line\n"
    "\n"
    "; a comment line of the reader's own\n"
    "[proxies]\n"
    "url=socks5://proxy.lan:1080\n"
    "url=https://user:pw@web.lan:3128,1\n"
    "url=sun://relay.lan,2\n"
    "url=socks4b://s4.lan,2\n"
    "\n"
    "[proxychain]\n"
    "proxyGroup=1\n"
    "proxyGroup=2\n"
    "\n"
    "[server]\n"
    "url=news.example.com\n"
    "comment=200 news.example.com ready\n"
    "\n"
    "[server]\n"
    "id=7\n"
    "url=reader:secret@news.example.net:563,1\n"
    "main=1\n"
    "ignoreGroup=alt.binaries.*\n"
    "postingGroup=de.*\n"
    "postingGroup=comp.lang.c*\n"
    "\n"
    "[server]\n"
    "url=news.example.org\n"
    "privateProxy=socks5://p1.lan\n"
    "privateProxy=tunnel://p2.lan:9000\n"
    "disabled=1\n"
    "background=1\n"
    "futureKey=kept\n";

// The block a server of only a url is completed to, in key order.
std::string CompletedBlock(int id, const char *url, const tServer *s, const char *trailer) {
    return "[server]\ndisabled=0\nid=" + std::to_string(id) + "\nurl=" + url +
           "\nadjustMaxConnections=0\nattemptMsgId=0\nbackground=0\nblindLogin=0\ncategory=0\n"
           "closeOnListOk=0\ncost=0\ndaysTooOld=0\nexplore=1\nemulateXoverUsingHead=0\n"
           "emulateXoverUsingXhdr=0\nenforceForbiddenIPs=1\nextraConnectTime=0\nextraTime=0\n"
           "filterArticles=0\ngroupBeforeMsgId=0\nignoreLoginFailure=0\nisSlow=0\nkeepAlive=0\n"
           "listgroupDoesNotSetGroup=0\nlistgroupIfGroupFails=0\nlistPreferred=0\nmain=0\n"
           "maxUnusedSecs=-1\nmsgIdIfNbFails=1\nnumbersCollapseMaxRanges=0\nnumbersCollapseMinDistance=0\n"
           "retrieveArticles=1\nreuseForAsync=1\nxoverOnEmpty=1\ntruncAfterMsgId=0\nuseFakes=0\n"
           "useXrefs=1\nxgTitleBroken=0\nzombies=1\nxhdrMessageIdAllowNumberNotGreater=0\n"
           "xoverAllowNumberNotGreater=0\naddedDateSecs=" +
           std::to_string(s->addedDateSecs) + "\naddedDateString=" + s->addedDateString + "\n" + trailer + "\n";
}

TEST_F(ServersFixture, RealisticFileLoadsCompletesAndWritesBackStable) {
    ASSERT_EQ(Load(REALISTIC), E_OK) << Journal();
    ASSERT_EQ(ServerCount(servers.get()), 3);
    tServer *first = Server(0), *second = Server(1), *third = Server(2);
    // Ids: the lowest free numbers, around the explicit 7.
    EXPECT_EQ(first->id, 1);
    EXPECT_EQ(second->id, 7);
    EXPECT_EQ(third->id, 2);
    EXPECT_STREQ(first->diskName, "news.example.com");
    EXPECT_STREQ(first->displayName, "news.example.com (1)");
    // Secrets stay out of the names; ":" is not allowed in file names.
    EXPECT_STREQ(second->diskName, "reader@news.example.net_563");
    EXPECT_EQ(servers->mainServer, 7);
    EXPECT_EQ(servers->backgroundServer, 0);  // the background server is disabled
    EXPECT_EQ(third->background, 0);
    EXPECT_EQ(servers->serversToExplore, 2);
    EXPECT_GT(first->addedDateSecs, 0);
    EXPECT_EQ(first->maxConnections, 4);

    std::string written = ReadWholeFile(iniPath);
    EXPECT_EQ(written.rfind("[file]\ncomment=Servers of the household\ncomment=second line\n\n"
                            "[proxies]\nurl=socks5://proxy.lan\nurl=https://user:pw@web.lan:3128,1\n"
                            "url=sun://relay.lan,2\nurl=socks4b://s4.lan,2\n\n"
                            "[proxychain]\nproxyGroup=1\nproxyGroup=2\n\n",
                            0),
              0u)
        << written;
    EXPECT_NE(written.find(CompletedBlock(1, "news.example.com", first, "comment=200 news.example.com ready\n")),
              std::string::npos)
        << written;
    // Unknown keys are kept under "ignored"; lists stay in order.
    EXPECT_NE(written.find("ignored=futureKey=kept\n"), std::string::npos);
    EXPECT_NE(written.find("postingGroup=de.*\npostingGroup=comp.lang.c*\n"), std::string::npos);
    EXPECT_NE(written.find("privateProxy=socks5://p1.lan\nprivateProxy=tunnel://p2.lan:9000\n"), std::string::npos);
    std::string journal = Journal();
    EXPECT_NE(journal.find("Server reader@news.example.net_563 (7) is main.\n"), std::string::npos);
    EXPECT_NE(journal.find("The following groups will be ignored on server reader@news.example.net_563 (7):\n"),
              std::string::npos);
    EXPECT_NE(journal.find("  alt.binaries.*\n"), std::string::npos);

    // A second run reads the completed file and writes exactly the same.
    int32_t added = first->addedDateSecs;
    Restart();
    ASSERT_EQ(LoadServers(servers.get(), &log, 0, 0, 0, nullptr, nullptr, nullptr, iniPath.c_str()), E_OK);
    EXPECT_EQ(ReadWholeFile(iniPath), written);
    EXPECT_EQ(Server(0)->addedDateSecs, added);
}

TEST_F(ServersFixture, MissingFileIsCreatedEmptyWithDirectProxy) {
    ASSERT_EQ(LoadServers(servers.get(), &log, 0, 0, 0, nullptr, nullptr, nullptr, iniPath.c_str()), E_OK);
    EXPECT_EQ(ServerCount(servers.get()), 0);
    EXPECT_EQ(ReadWholeFile(iniPath), "[file]\n\n[proxies]\nurl=none\n\n");
    EXPECT_NE(Journal().find("Empty etc/servers.ini file.\n"), std::string::npos);
}

struct tFaultCase {
    const char *name;
    std::string content;
    tDiag rc;
    const char *message;
};

TEST_F(ServersFixture, FaultyFilesAreRefusedWithTheirMessageAndLeftUntouched) {
    const tFaultCase cases[] = {
        {"unknown proxy type by port", "[proxies]\nurl=p.lan:9999\n", E_SERVERS_INI_ERROR,
         "Proxy type is not specified for p.lan; could not figure out a default value given the port either.\n"},
        {"news is no proxy", "[proxies]\nurl=news://p.lan\n", E_SERVERS_INI_ERROR,
         "Proxy type 'news://' is incorrect for p.lan\n"},
        {"chain of three", "[proxies]\nurl=socks5://a,1\n[proxychain]\nproxyGroup=1\nproxyGroup=0\nproxyGroup=2\n",
         E_SERVERS_INI_ERROR, "Proxy chain 0 does not contain exactly 2 proxy group numbers.\n"},
        {"chain reusing a first group",
         "[proxies]\nurl=socks5://a,1\nurl=socks5://b,2\n[proxychain]\nproxyGroup=1\nproxyGroup=2\n"
         "[proxychain]\nproxyGroup=1\nproxyGroup=0\n",
         E_SERVERS_INI_ERROR, "Proxy 1 is already used in chain 1 2\n"},
        {"chain from unknown proxy id", "[proxychain]\nproxyGroup=5\nproxyGroup=0\n", E_SERVERS_INI_ERROR,
         "First proxy group 5 not defined.\n"},
        {"chain to unknown proxy id", "[proxies]\nurl=socks5://a,1\n[proxychain]\nproxyGroup=1\nproxyGroup=3\n",
         E_SERVERS_INI_ERROR, "Second proxy group 3 not defined.\n"},
        {"chain starting direct", "[proxies]\nurl=none,1\n[proxychain]\nproxyGroup=1\nproxyGroup=0\n",
         E_SERVERS_INI_ERROR, "First proxy cannot be of type 'none'.\n"},
        {"chain ending at port mapper",
         "[proxies]\nurl=socks5://a,1\nurl=ftpproxy://b,2\n[proxychain]\nproxyGroup=1\nproxyGroup=2\n",
         E_SERVERS_INI_ERROR, "Second proxy cannot be of type 'ftpproxy://'.\n"},
        {"negative server number", "[server]\nid=-5\nurl=a.example\n", E_SERVERS_INI_ERROR,
         "Server number -5 is invalid.\n"},
        {"bad url", "[server]\nid=3\nurl=a.example:0\n", E_SERVERS_INI_ERROR, "Server 3 does not have an URL.\n"},
        {"duplicate server number", "[server]\nid=3\nurl=a.example\n[server]\nid=3\nurl=b.example\n",
         E_SERVERS_INI_ERROR, "Server number 3 is duplicate (a.example and b.example).\n"},
        {"duplicate server", "[server]\nurl=a.example\n[server]\nurl=news://A.example:119\n", E_SERVERS_INI_ERROR,
         "URL A.example gives the same disk name as server 1, which is forbidden.\n"},
        {"login alone", "[server]\nurl=me@a.example\n", E_SERVERS_INI_ERROR,
         "Login and password must be provided together.\n"},
        {"private proxies and group", "[proxies]\nurl=socks5://a,1\n[server]\nurl=a.example,1\nprivateProxy=socks5://p\n",
         E_SERVERS_INI_ERROR, "Servers having private proxies cannot have a proxy group set.\n"},
        {"private proxy with group", "[server]\nurl=a.example\nprivateProxy=socks5://p,1\n", E_SERVERS_INI_ERROR,
         "Per-server proxies cannot have a proxy group defined.\n"},
        {"bad private proxy", "[server]\nurl=a.example\nprivateProxy=p:7\n", E_SERVERS_INI_ERROR,
         "Proxy type is not specified for p; could not figure out"},
        {"two main servers", "[server]\nurl=a.example\nmain=1\n[server]\nurl=b.example\nmain=1\n", E_SERVERS_INI_ERROR,
         "Main server already defined as a.example (1)\n"},
        {"two background servers",
         "[server]\nurl=a.example\nbackground=1\n[server]\nurl=b.example\nbackground=1\n", E_SERVERS_INI_ERROR,
         "Background server already defined as a.example (1)\n"},
        {"truncated header", "[server]\nurl=a.example\n[serv", E_FILE_MISSING, "Truncated section separator"},
        {"unknown section", "[servers]\nurl=a.example\n", E_FILE_MISSING, "Invalid section name"},
        {"binary", std::string("\x7f" "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0\x03\0>\0", 20), E_FILE_MISSING,
         "holds binary data"},
        {"junk before any section", "garbage\n[server]\nurl=a.example\n", E_FILE_MISSING, "Not in a section"},
    };
    for (const tFaultCase &c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        size_t before = Journal().size();
        EXPECT_EQ(Load(c.content), c.rc);
        std::string journal = Journal().substr(before);
        EXPECT_NE(journal.find(c.message), std::string::npos) << journal;
        EXPECT_EQ(ReadWholeFile(iniPath), c.content);
        EXPECT_EQ(ServerCount(servers.get()), 0);
    }
}

TEST_F(ServersFixture, EnormousFileIsRefusedUntouched) {
    ASSERT_TRUE(WriteWholeFile(iniPath, "[server]\nurl=a.example\n"));
    ASSERT_EQ(truncate(iniPath.c_str(), SERVERS_FILE_MAX_BYTES + 1), 0);
    EXPECT_EQ(LoadServers(servers.get(), &log, 0, 0, 0, nullptr, nullptr, nullptr, iniPath.c_str()), E_FILE_MISSING);
    struct stat st;
    ASSERT_EQ(stat(iniPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, SERVERS_FILE_MAX_BYTES + 1);
    EXPECT_NE(Journal().find("is larger than"), std::string::npos);
}

TEST_F(ServersFixture, ValidationRulesAndDerivedNames) {
    ASSERT_EQ(Load("[proxies]\nurl=s5.lan:1080\nurl=web.lan,3\n"
                   "[server]\nurl=news.abcd.com\nid=1234\n"
                   "[server]\nurl=b.example\ndisabled=1\nmain=1\n"
                   "[server]\nurl=c.example\nadjustMaxConnections=-4\n",
                   1),
              E_OK)
        << Journal();
    EXPECT_STREQ(Server(0)->diskName, "abcd.234");
    EXPECT_STREQ(Server(0)->displayName, "abcd.234 (1234)");
    EXPECT_STREQ(Server(1)->diskName, "bexample.1");
    EXPECT_EQ(Server(1)->main, 0);
    EXPECT_EQ(servers->mainServer, 0);
    EXPECT_EQ(Server(2)->maxConnections, 0);
    const tUrl *proxies = static_cast<const tUrl *>(servers->proxies.array.buf);
    EXPECT_EQ(proxies[0].scheme, URL_SOCKS5);
    EXPECT_EQ(proxies[1].scheme, URL_HTTPS);
    EXPECT_EQ(proxies[1].port, 80);
    std::string journal = Journal();
    for (const char *message :
         {"Proxy type was not specified for s5.lan; assumed socks5://\n",
          "No proxy type or port specified with web.lan; assuming https:// on port 80\n",
          "Warning: server cexample.2 (2) has the maximum number of connections set to less than 1. No "
          "connections will be attempted to it.\n"})
        EXPECT_NE(journal.find(message), std::string::npos) << message;
    // Group 0 had a proxy, so no direct proxy was added.
    EXPECT_EQ(servers->proxies.array.used, 2);
}

TEST(ServerNames, ShortenedHostAndUnsafeCharacters) {
    char out[64];
    struct {
        const char *host;
        const char *expected;
    } cases[] = {
        {"news.abcd.com", "abcd"},
        {"news.news.org.com", "news"},  // only the first "news" goes
        {"a.b.c", "abc"},
        {"", ""},
    };
    for (const auto &c : cases) {
        ASSERT_GE(ShortenHost(c.host, out, sizeof out), 0);
        EXPECT_STREQ(out, c.expected) << c.host;
    }
    EXPECT_EQ(ShortenHost("toolong.example", out, 4), -1);
}

TEST_F(ServersFixture, LongDiskNameReplacesUnsafeCharacters) {
    ASSERT_EQ(Load("[server]\nurl=news://a%3cb%7cc.example:1119\n"), E_OK) << Journal();
    EXPECT_STREQ(Server(0)->diskName, "a_b_c.example_1119");
}

TEST_F(ServersFixture, StatisticsSurviveSaveAndReload) {
    ASSERT_TRUE(WriteWholeFile(iniPath, "[server]\nurl=a.example\n[server]\nurl=u:p@b.example:563\n"));
    ASSERT_EQ(Start(), E_OK) << Journal();
    ASSERT_NE(Server(0)->dynamic, nullptr);
    ASSERT_NE(Server(0)->dynamic, Server(1)->dynamic);
    EXPECT_STREQ(Server(1)->dynamic->url, "u@b.example:563");
    tServerDynamic *d = Server(1)->dynamic;
    d->okNntpConnects = 12;
    d->bytesReceived = 5000000000LL;
    d->ipAddr = htonl(0x0a000001);
    d->lastExploreDiag = E_NO_GROUPS;
    ASSERT_EQ(DynArrayAddPointerCopy(&d->okBanners.array, "200 ready"), 0);
    ASSERT_EQ(DynArrayAddPointerCopy(&d->okBanners.array, nullptr), 0);
    int32_t id = Server(1)->id, added = Server(1)->addedDateSecs;

    Restart();  // saves etc/servdyna.ini
    std::string saved = ReadWholeFile(dynaPath);
    EXPECT_NE(saved.find("ipAddr=10.0.0.1\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("lastExploreDiag=" + std::string(DiagText(E_NO_GROUPS)) + "\n"), std::string::npos);
    EXPECT_EQ(saved.find("okPings="), std::string::npos);  // defaults are left out

    ASSERT_EQ(Start(), E_OK) << Journal();
    d = Server(1)->dynamic;
    EXPECT_EQ(d->id, id);
    EXPECT_EQ(d->addedDateSecs, added);
    EXPECT_EQ(d->okNntpConnects, 12);
    EXPECT_EQ(d->bytesReceived, 5000000000LL);
    EXPECT_EQ(d->ipAddr, htonl(0x0a000001));
    EXPECT_EQ(d->lastExploreDiag, E_NO_GROUPS);
    ASSERT_EQ(IniStringCount(d->okBanners), 1);
    EXPECT_STREQ(IniStrings(d->okBanners)[0], "200 ready");
    EXPECT_EQ(ServDynaCount(&servers->dyna), 2);
}

TEST_F(ServersFixture, ServerReaddedWithSameIdGetsFreshStatistics) {
    ASSERT_TRUE(WriteWholeFile(dynaPath, "[serverDynamic]\nid=1\naddedDateSecs=1000\nokExplores=9\nurl=old.example\n"));
    ASSERT_TRUE(WriteWholeFile(iniPath, "[server]\nid=1\naddedDateSecs=2000\nurl=a.example\n"));
    ASSERT_EQ(Start(), E_OK) << Journal();
    EXPECT_EQ(Server(0)->dynamic->okExplores, 0);
    EXPECT_EQ(ServDynaCount(&servers->dyna), 2);
    std::string saved = ReadWholeFile(dynaPath);
    EXPECT_NE(saved.find("okExplores=9\n"), std::string::npos);  // the old record is kept
    EXPECT_NE(saved.find("url=a.example\nid=1\naddedDateSecs=2000\n"), std::string::npos) << saved;
}

TEST_F(ServersFixture, BadStatisticsFileIsRefusedUntouched) {
    const std::string bad[] = {"[serverDynamic]\nid=1\nokExplores=3\n[serverDyn", "okExplores=3\n",
                               std::string("\0\1\2\3garbage", 11)};
    for (const std::string &content : bad) {
        Restart();
        ASSERT_TRUE(WriteWholeFile(dynaPath, content));
        EXPECT_EQ(ServersLoadDynamic(servers.get(), &log, dynaPath.c_str()), E_FILE_MISSING);
        EXPECT_EQ(ReadWholeFile(dynaPath), content);
    }
    ASSERT_EQ(truncate(dynaPath.c_str(), SERVERS_FILE_MAX_BYTES + 10), 0);
    EXPECT_EQ(ServersLoadDynamic(servers.get(), &log, dynaPath.c_str()), E_FILE_MISSING);
}

TEST_F(ServersFixture, UnwritableStatisticsFileStopsStartUp) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
    std::string sub = dir / "ro";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    std::string path = sub + "/servdyna.ini";
    ASSERT_TRUE(WriteWholeFile(path, "[serverDynamic]\nid=1\n"));
    ASSERT_EQ(chmod(sub.c_str(), 0555), 0);
    EXPECT_EQ(ServersLoadDynamic(servers.get(), &log, path.c_str()), E_SERVERS_INI_SAVE);
    EXPECT_NE(Journal().find("Could not save etc/servdyna.ini: "), std::string::npos);
    EXPECT_EQ(ReadWholeFile(path), "[serverDynamic]\nid=1\n");
}

TEST_F(ServersFixture, ImportAddsNewServersAndSkipsKnownOnes) {
    ASSERT_EQ(Load("[server]\nurl=a.example\n"), E_OK);
    std::string list = dir / "list.txt";
    ASSERT_TRUE(WriteWholeFile(list, "b.example socks5://p1.lan\ttunnel://p2.lan:9\r\n"
                                     "\n"
                                     "   \n"
                                     "news://a.example\n"
                                     "u:pw@c.example:563\n"));
    ASSERT_EQ(AddServersFromList(servers.get(), 0, 0, 0, list.c_str()), E_OK) << Journal();
    ASSERT_EQ(ServerCount(servers.get()), 3);
    EXPECT_STREQ(Server(1)->displayName, "b.example (2)");
    EXPECT_EQ(Server(1)->privateProxy.array.used, 2);
    EXPECT_STREQ(Server(2)->displayName, "u@c.example_563 (3)");
    EXPECT_EQ(servers->serversToExplore, 3);
    std::string written = ReadWholeFile(iniPath);
    EXPECT_NE(written.find("url=u:pw@c.example:563\n"), std::string::npos);
    EXPECT_NE(written.find("privateProxy=socks5://p1.lan\nprivateProxy=tunnel://p2.lan:9\n"), std::string::npos);

    // The servers file of a second run holds them all.
    Restart();
    ASSERT_EQ(LoadServers(servers.get(), &log, 0, 0, 0, nullptr, nullptr, nullptr, iniPath.c_str()), E_OK);
    EXPECT_EQ(ServerCount(servers.get()), 3);
}

TEST_F(ServersFixture, FaultyImportsFail) {
    ASSERT_EQ(Load("[server]\nurl=a.example\n"), E_OK);
    std::string before = ReadWholeFile(iniPath);
    std::string longLine = "b.example " + std::string(600, 'p') + "\n";
    struct {
        std::string content;
        tDiag rc;
        const char *message;
    } cases[] = {
        {longLine, E_SERVERS_INI_ERROR, "Line 1 of '"},
        {std::string("b.example\0\n", 11), E_FILE_MISSING, "holds binary data"},
        {"b.example\nc.example:0\n", E_SERVERS_INI_ERROR, "URL c.example:0 has incorrect format: "},
        {"d.example p.lan:9999\n", E_SERVERS_INI_ERROR, "Proxy type is not specified for p.lan"},
        {"e.example socks5://p,1\n", E_SERVERS_INI_ERROR, "Per-server proxies cannot have a proxy group defined.\n"},
        {"f.example socks5://p:0\n", E_SERVERS_INI_ERROR, "Could not add private proxy 'socks5://p:0': "},
    };
    std::string list = dir / "list.txt";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.content.substr(0, 40));
        ASSERT_TRUE(WriteWholeFile(list, c.content));
        EXPECT_EQ(AddServersFromList(servers.get(), 0, 0, 0, list.c_str()), c.rc);
        EXPECT_NE(Journal().find(c.message), std::string::npos) << Journal();
        EXPECT_EQ(ReadWholeFile(iniPath), before);
    }
    EXPECT_EQ(AddServersFromList(servers.get(), 0, 0, 0, (dir / "absent").c_str()), E_FILE_MISSING);
    EXPECT_NE(Journal().find("Could not open '" + dir / "absent" + "'.\n"), std::string::npos);
}

TEST_F(ServersFixture, StartUpStepsGiveTheirExitCodes) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    ASSERT_EQ(mkdir("etc", 0755), 0);
    ASSERT_TRUE(WriteWholeFile("etc/servers.ini", "[server]\nurl=a.example\n"));
    ASSERT_TRUE(WriteWholeFile("list", "b.example\n"));
    ASSERT_TRUE(WriteWholeFile("badlist", "c.example:0\n"));
    EXPECT_EQ(ServersStart(servers.get(), &log, "list", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(ServerCount(servers.get()), 2);
    EXPECT_EQ(ServDynaCount(&servers->dyna), 2);
    EXPECT_NE(Server(1)->dynamic, nullptr);
    Restart();
    EXPECT_EQ(ServersStart(servers.get(), &log, "badlist", nullptr, nullptr, nullptr), SERVERS_EXIT_IMPORT);
    Restart();
    ASSERT_TRUE(WriteWholeFile("etc/servdyna.ini", std::string("\0\0", 2)));
    EXPECT_EQ(ServersStart(servers.get(), &log, nullptr, nullptr, nullptr, nullptr), SERVERS_EXIT_CONFIG);
    Restart();
    ASSERT_TRUE(WriteWholeFile("etc/servdyna.ini", ""));
    ASSERT_TRUE(WriteWholeFile("etc/servers.ini", "[server]\nid=2\nurl=a.example\n[server]\nid=2\nurl=b.example\n"));
    EXPECT_EQ(ServersStart(servers.get(), &log, nullptr, nullptr, nullptr, nullptr), SERVERS_EXIT_CONFIG);
    Restart();
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(ServersFixture, LookupsByIdNameAndPostingGroup) {
    ASSERT_EQ(Load("[server]\nurl=news.alpha.example\npostingGroup=de.*\n"
                   "[server]\nurl=news.beta.example\npostingGroup=comp.*\npostingGroup=de.comp.*\nretrieveArticles=0\n"
                   "[server]\nurl=news.gamma.example\ndisabled=1\npostingGroup=*\n"),
              E_OK);
    tServers *s = servers.get();
    EXPECT_EQ(FindServerByName(s, "2"), 2);
    EXPECT_EQ(FindServerByName(s, "9"), E_NO_SUCH_SERVER_NUMBER);
    EXPECT_EQ(FindServerByName(s, "beta"), 2);
    EXPECT_EQ(FindServerByName(s, "(3)"), 3);
    EXPECT_EQ(FindServerByName(s, "news."), E_AMBIGUOUS_SERVER);
    EXPECT_EQ(FindServerByName(s, "delta"), E_NO_SUCH_SERVER_NAME);

    EXPECT_EQ(FindServerById(s, 0), nullptr);
    tServer *two = FindServerById(s, 2);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(two->users, 1);
    ServerRelease(two);
    EXPECT_EQ(FindServerByIdWith(s, 2, SERVERS_SKIP_NO_RETRIEVE), nullptr);
    EXPECT_EQ(FindServerByIdWith(s, 3, SERVERS_SKIP_DISABLED), nullptr);
    EXPECT_EQ(Server(1)->users, 0);

    struct {
        const char *group;
        int id;
    } posting[] = {{"de.test", 1}, {"comp.lang.c", 2}, {"alt.test", 0}};
    for (const auto &p : posting) {
        tServer *found = FindPostingServer(s, p.group);
        EXPECT_EQ(found ? found->id : 0, p.id) << p.group;
        ServerRelease(found);
    }

    std::vector<int> seen;
    for (tServer *it = ServersFirst(s, SERVERS_SKIP_DISABLED | SERVERS_SKIP_NO_RETRIEVE); it;
         it = ServersNext(s, it, SERVERS_SKIP_DISABLED | SERVERS_SKIP_NO_RETRIEVE))
        seen.push_back(it->id);
    EXPECT_EQ(seen, std::vector<int>{1});

    auto failOnBeta = [](tServers *, tServer *server, void *data) -> tDiag {
        ++*static_cast<int *>(data);
        return server->id == 2 ? E_NO_GROUPS : E_OK;
    };
    int calls = 0;
    EXPECT_EQ(ForEachServer(s, failOnBeta, &calls), E_NO_GROUPS);
    EXPECT_EQ(calls, 2);
    EXPECT_NE(Journal().find("Server news.beta.example (2) failed: " + std::string(DiagText(E_NO_GROUPS)) + ".\n"),
              std::string::npos);
    for (int i = 0; i < ServerCount(s); i++) EXPECT_EQ(Server(i)->users, 0) << i;
}

TEST_F(ServersFixture, ReferencesFromManyThreadsBalance) {
    ASSERT_EQ(Load("[server]\nurl=a.example\n[server]\nurl=b.example\n[server]\nurl=c.example\n"), E_OK);
    std::atomic<int> peak{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; i++) {
                tServer *server = FindServerById(servers.get(), 1 + (i + t) % 3);
                int users = server->users;
                if (users > peak) peak = users;
                for (tServer *it = ServersFirst(servers.get(), 0); it; it = ServersNext(servers.get(), it, 0)) {
                }
                ServerRelease(server);
            }
        });
    }
    for (auto &th : threads) th.join();
    for (int i = 0; i < 3; i++) EXPECT_EQ(Server(i)->users, 0);
    EXPECT_GE(peak, 1);
}

TEST_F(ServersFixture, UsersLeftAtReleaseAreReported) {
    ASSERT_EQ(Load("[server]\nurl=a.example\n"), E_OK);
    ServerRef(Server(0));
    ServerRef(Server(0));
    ServersRelease(servers.get());
    EXPECT_NE(Journal().find("  2 users for a.example (1).\n"), std::string::npos);
}

TEST_F(ServersFixture, OptionLetters) {
    ASSERT_EQ(Load("[server]\nurl=a.example\n"
                   "[server]\nurl=b.example\nkeepAlive=1\nattemptMsgId=1\ncost=3\nreuseForAsync=0\n"
                   "xoverOnEmpty=0\nmsgIdIfNbFails=0\nexplore=0\nmaxUnusedSecs=0\nadjustMaxConnections=-2\n"
                   "category=2\nextraConnectTime=1\ndaysTooOld=30\nignoreGroup=x\nlistgroupGroup=y\nmain=1\n"
                   "privateProxy=socks5://p\n"),
              E_OK);
    char out[80];
    ServerFlagsString(Server(0), out, sizeof out, 1);
    EXPECT_STREQ(out, "DEMUk-1");
    ServerFlagsString(Server(1), out, sizeof out, 0);
    EXPECT_STREQ(out, "Aac3mR-2t2X1y30");
    Server(1)->flags |= SF_WELCOME_200 | SF_WELCOME_201;
    ServerFlagsString(Server(1), out, sizeof out, 1);
    EXPECT_STREQ(out, "Aac3glmNoPR-2t2X1y30");
    struct {
        int size;
        const char *expected;
    } sizes[] = {{1, ""}, {3, "DE"}, {5, "DEMU"}, {7, "DEMU"}, {8, "DEMUk-1"}};
    for (const auto &c : sizes) {
        memset(out, 'z', sizeof out);
        EXPECT_EQ(ServerFlagsString(Server(0), out, c.size, 0), (int)strlen(c.expected));
        EXPECT_STREQ(out, c.expected) << c.size;
    }
    out[0] = 'z';
    EXPECT_EQ(ServerFlagsString(Server(0), out, 0, 0), 0);
    EXPECT_EQ(out[0], 'z');
}

TEST_F(ServersFixture, ResultsLogStartsWithProxiesThenOneLinePerExploration) {
    ASSERT_EQ(Load("[proxies]\nurl=socks5://u:pw@p.lan,1\nurl=https://h.lan:8080,2\n"
                   "[proxychain]\nproxyGroup=1\nproxyGroup=2\n"
                   "[server]\nurl=me:pw@a.example,1\nignoreGroup=x.y\nignoreGroup=z\nlistgroupGroup=l.g\n"
                   "[server]\nurl=b.example\nprivateProxy=socks4://q.lan\n"),
              E_OK);
    ASSERT_EQ(ServersLoadDynamic(servers.get(), &log, dynaPath.c_str()), E_OK);
    ASSERT_EQ(BindServers(servers.get()), E_OK);
    std::string results = dir / "results";
    servers->resultsPath = results.c_str();
    Server(0)->dynamic->lastExploreDiag = E_NO_GROUPS;
    AppendResultLine(servers.get(), Server(0), "LIST said nothing");
    Server(1)->dynamic->lastExploreDiag = E_OK;
    AppendResultLine(servers.get(), Server(1), "Ok");
    std::string text = ReadWholeFile(results);
    std::string expected0 = "proxy socks5://u:pw@p.lan,1\nproxy https://h.lan:8080,2\nproxy none\nproxychain 1 2\n"
                            "me:pw@a.example,1 DEMUk-1g(x.y z)l(l.g)\t# ";
    ASSERT_EQ(text.rfind(expected0, 0), 0u) << text;
    std::string tail0 = ": " + std::string(DiagText(E_NO_GROUPS)) + " (LIST said nothing)\n";
    size_t end0 = text.find('\n', expected0.size());
    ASSERT_NE(end0, std::string::npos);
    EXPECT_EQ(text.substr(end0 + 1 - tail0.size(), tail0.size()), tail0);
    std::string line1 = text.substr(end0 + 1);
    EXPECT_EQ(line1.rfind("b.example DEMUk-1o(socks4://q.lan)\t# ", 0), 0u) << line1;
    EXPECT_EQ(line1.substr(line1.size() - 5), ": Ok\n");
}

TEST_F(ServersFixture, ProxyHopsOfServersAndChains) {
    ASSERT_EQ(Load("[proxies]\nurl=socks5://a1,1\nurl=socks5://a2,1\nurl=https://b1:3128,2\n"
                   "[proxychain]\nproxyGroup=1\nproxyGroup=2\n[proxychain]\nproxyGroup=2\nproxyGroup=1\n"
                   "[server]\nurl=one.example,1\n[server]\nurl=two.example\n"
                   "[server]\nurl=three.example\nprivateProxy=socks4://p1\nprivateProxy=tunnel://p2:9\n"),
              E_OK)
        << Journal();
    tUrl hops[2];
    tUrl *h = ServerProxyAt(servers.get(), Server(0), 1, hops);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->host, "a2");
    ASSERT_EQ(h->next, &hops[1]);
    EXPECT_STREQ(h->next->host, "b1");
    EXPECT_EQ(h->next->next, nullptr);  // chains naming each other never loop
    EXPECT_EQ(ServerProxyAt(servers.get(), Server(0), 2, hops), nullptr);
    h = ServerProxyAt(servers.get(), Server(1), 0, hops);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->scheme, URL_NO_PROXY);  // group 0 was added as a direct connection
    EXPECT_EQ(h->next, nullptr);
    h = ServerProxyAt(servers.get(), Server(2), 1, hops);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->host, "p2");
    EXPECT_EQ(h->next, nullptr);
    EXPECT_EQ(ServerProxyAt(servers.get(), Server(2), 2, hops), nullptr);
}

}  // namespace
