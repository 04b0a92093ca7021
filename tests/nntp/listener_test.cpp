// The local server's listener over real loopback connections: admission and
// refusal, per-client logs, the client pool with and without queueing, port
// fall-back, shutdown, the client listing and the kept socket of a restart.
#include "server/nntp/listener.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "lib/files.h"
#include "lib/log.h"
#include "lib/sendlog.h"
#include "lib/shutdown.h"
#include "lib/sock.h"
#include "lib/sockserver.h"
#include "server/nntp/admission.h"
#include "tests/support/lineclient.h"
#include "tests/support/paths.h"

namespace {

constexpr int kWaitMs = 30000;  // bound of every wait for the server

// A session for the tests: greets, then answers each line until QUIT.
// "CLIENTS" lists the clients, "ASYNC" pretends to select the pseudo-group,
// "RESTART" keeps this connection for the next run.
void TestSession(void *argument) {
    tSession *s = (tSession *)argument;
    int socket = s->conversation.socket;
    SendAndLog(socket, "200 test server\r\n", &s->log);
    for (;;) {
        int n = SockBufReadLine(&s->conversation, s->line, SESSION_LINE_SIZE, 60, CancelSocketGet());
        if (n <= 0) break;
        LogMessage(&s->log, "%s", s->line);
        std::string line(s->line);
        if (line.rfind("QUIT", 0) == 0) {
            SendAndLog(socket, "205 bye\r\n", &s->log);
            break;
        }
        if (line.rfind("CLIENTS", 0) == 0) {
            ClientsReport(s);
        } else if (line.rfind("ASYNC", 0) == 0) {
            s->localServer = 1;
            SendAndLog(socket, "211 async\r\n", &s->log);
        } else if (line.rfind("RESTART", 0) == 0) {
            *s->restartRequested = 1;
            *s->keptClientSocket = socket;
            SendAndLog(socket, "200 restarting\r\n", &s->log);
            break;
        } else {
            SendAndLog(socket, "500 what\r\n", &s->log);
        }
    }
    SessionEnd(s);
}

// A TCP client of the listener, from a given loopback address.
using tClient = tLineClient;

int OpenDescriptors() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d)) n++;
    closedir(d);
    return n;
}

int Threads() {
    int n = 0;
    DIR *d = opendir("/proc/self/task");
    while (readdir(d)) n++;
    closedir(d);
    return n;
}

// Polls cond every 10 ms for at most kWaitMs.
template <class F>
bool WaitFor(F cond) {
    for (int i = 0; i < kWaitMs / 10; i++) {
        if (cond()) return true;
        usleep(10 * 1000);
    }
    return cond();
}

class ListenerTest : public ::testing::Test {
protected:
    tTempDir dir;
    std::string oldCwd;
    tLog log;
    tClientRegistry registry{};
    tThreadPool taskPool;
    tListener listener{};
    int restartRequested = 0;
    int keptClientSocket = -1;
    bool started = false;

    void SetUp() override {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        oldCwd = cwd;
        ASSERT_EQ(chdir(dir.path.c_str()), 0);
        ShutdownReset();
        mkdir("logs", 0777);  // made by the program at start-up
        ASSERT_EQ(LogOpen(&log, "journal", JOURNAL_MAX_SIZE), E_OK);
        ASSERT_EQ(CancelSocketCreate(), 0);
        RegistryInit(&registry);
        ASSERT_EQ(PoolInit(&taskPool, POOL_NO_LIMIT), 0);
        listener.registry = &registry;
        listener.isWeb = 0;
        listener.taskPool = &taskPool;
        listener.restartRequested = &restartRequested;
        listener.keptClientSocket = &keptClientSocket;
        listener.journal = &log;
        listener.port = 0;
        listener.otherComputers = 0;
        listener.socket = -1;
        listener.clientsLogPath = "logs/clients";
        listener.clientsLogMax = CLIENTS_LOG_MAX_SIZE;
        listener.sessionFunction = TestSession;
        listener.threadLabel = "NntpServer";
        listener.maxClients = 10;
        listener.queueRequests = 0;
    }

    // Creates the listener and starts its dispatcher.
    void Start() {
        ASSERT_EQ(ListenerCreate(&listener), E_OK);
        ASSERT_GT(listener.port, 0);
        ASSERT_EQ(PoolStart(&taskPool, DispatcherRun, &listener, 0, "NntpDispatcher"), 0);
        started = true;
    }

    void Stop() {
        if (!started) return;
        RequestShutdown(1);
        PoolWaitAll(&taskPool);
        started = false;
    }

    void TearDown() override {
        Stop();
        if (HasFailure()) printf("journal:\n%s\n", Journal().c_str());
        ListenerClose(&listener);
        RegistryRelease(&registry);
        CancelSocketClose();
        LogClose(&log);
        ShutdownReset();
        if (keptClientSocket >= 0) close(keptClientSocket);
        EXPECT_EQ(chdir(oldCwd.c_str()), 0);
    }

    std::string Journal() { return ReadWholeFile(dir / "journal"); }
    std::string File(const char *name) { return ReadWholeFile(dir / name); }

    int Registered() {
        int n = 0;
        for (tSession *s = RegistryFirst(&registry); s; s = RegistryNext(s)) n++;
        return n;
    }
    bool AllSessionsEnded() { return Registered() == 0 && PoolRunning(&listener.clientPool) == 0; }
};

TEST_F(ListenerTest, LocalClientIsServedAndItsLogMovesToTheSharedLog) {
    Start();
    {
        tClient c(listener.port);
        EXPECT_EQ(c.Line(), "200 test server\r\n");
        std::string perClient = "logs/cli-" + std::string("localhost") + "-" + std::to_string(c.localPort);
        char name[128];
        uint32_t loopback = htonl(INADDR_LOOPBACK);
        if (ReverseLookup(loopback, name, sizeof name) == 0)
            perClient = "logs/cli-" + std::string(name) + "-" + std::to_string(c.localPort);
        else
            perClient = "logs/cli-127.0.0.1-" + std::to_string(c.localPort);
        EXPECT_TRUE(FileExists(perClient.c_str()));
        c.Send("HELLO\r\nQUIT\r\n");
        EXPECT_EQ(c.Line(), "500 what\r\n");
        EXPECT_EQ(c.Line(), "205 bye\r\n");
        EXPECT_TRUE(c.AtEnd());
        ASSERT_TRUE(WaitFor([&] { return AllSessionsEnded(); }));
        EXPECT_FALSE(FileExists(perClient.c_str()));
        std::string shared = File("logs/clients");
        EXPECT_NE(shared.find("Client: "), std::string::npos);
        EXPECT_NE(shared.find(" port " + std::to_string(c.localPort) + "\n"), std::string::npos);
        EXPECT_NE(shared.find("205 bye"), std::string::npos);
        EXPECT_NE(shared.find("Ended at: "), std::string::npos);
    }
    std::string j = Journal();
    EXPECT_NE(j.find("Created the NNTP server on port " + std::to_string(listener.port) + " pid "),
              std::string::npos);
    EXPECT_NE(j.find("New NNTP client, socket "), std::string::npos);
    EXPECT_NE(j.find(", address 127.0.0.1, hostname "), std::string::npos);
    EXPECT_FALSE(FileExists("logs/intruder"));
}

TEST_F(ListenerTest, RefusedClientsAreAnsweredAndRecorded) {
    char name[128];
    bool named = ReverseLookup(htonl(INADDR_LOOPBACK), name, sizeof name) == 0;
    const char *localhostOnly[] = {"!localhost", "*", nullptr};
    const char *lan[] = {"192.168.*", nullptr};
    struct tCase {
        const char *from;
        int otherComputers;
        const char *const *allowedIP;
        const char *const *allowedHostName;
        const char *reason;
    } cases[] = {
        {"127.0.0.2", 0, nullptr, nullptr, "Client is not on local computer"},
        {"127.0.0.1", 1, lan, nullptr, "This IP address is not allowed"},
        {"127.0.0.1", 0, nullptr, localhostOnly, named ? "This host name is not allowed" : nullptr},
    };
    for (auto &c : cases) {
        if (!c.reason) continue;
        SCOPED_TRACE(c.reason);
        listener.otherComputers = c.otherComputers;
        listener.allowedIP = c.allowedIP;
        listener.allowedHostName = c.allowedHostName;
        unlink("logs/intruder");
        Start();
        tClient client(listener.port, c.from);
        EXPECT_EQ(client.Line(), "502 You are not in my access list.\r\n");
        EXPECT_TRUE(client.AtEnd());
        std::string record = File("logs/intruder");
        EXPECT_EQ(record.rfind("========================\nDate: ", 0), 0u) << record;
        std::string tail = std::string("Interface: NNTP\nAddress: ") + c.from +
                           "\nPort: " + std::to_string(client.localPort) + "\nHostname: ";
        EXPECT_NE(record.find(tail), std::string::npos) << record;
        EXPECT_NE(record.find(std::string("Reason: ") + c.reason + "\n"), std::string::npos) << record;
        Stop();
        ListenerClose(&listener);
        ShutdownReset();
        ASSERT_EQ(CancelSocketCreate(), 0);
        EXPECT_EQ(Registered(), 0);
    }
    EXPECT_NE(Journal().find("502 You are not in my access list."), std::string::npos);
}

TEST(Admission, RulesDecideInOrder) {
    const char *lan[] = {"192.168.*", nullptr};
    const char *notBad[] = {"!*.bad.example", "*", nullptr};
    struct tCase {
        int otherComputers, isLocal;
        const char *const *allowedIP;
        const char *const *allowedHostName;
        int hostNameRequired;
        const char *dotted, *hostName, *reason;
    } cases[] = {
        {0, 0, nullptr, nullptr, 0, "10.0.0.5", "pc.example", "Client is not on local computer"},
        {0, 1, nullptr, nullptr, 0, "127.0.0.1", "localhost", nullptr},
        {1, 0, lan, nullptr, 0, "10.0.0.5", "pc.example", "This IP address is not allowed"},
        {1, 0, lan, nullptr, 0, "192.168.1.9", nullptr, nullptr},
        {1, 0, nullptr, notBad, 0, "10.0.0.5", "x.bad.example", "This host name is not allowed"},
        {1, 0, nullptr, notBad, 1, "10.0.0.5", "x.good.example", nullptr},
        {1, 0, nullptr, notBad, 1, "10.0.0.5", nullptr, "Client does not have a hostname (reverse DNS failed)"},
        {1, 0, nullptr, notBad, 0, "10.0.0.5", nullptr, nullptr},
    };
    for (auto &c : cases) {
        tAdmissionRules rules = {c.otherComputers, c.allowedIP, c.allowedHostName, c.hostNameRequired};
        const char *reason = AdmissionCheck(&rules, c.isLocal, c.dotted, c.hostName);
        EXPECT_STREQ(reason, c.reason) << c.dotted << " " << (c.hostName ? c.hostName : "(none)");
    }
}

TEST_F(ListenerTest, FullPoolRefusesWithOutOfThreads) {
    listener.maxClients = 1;
    Start();
    tClient first(listener.port);
    EXPECT_EQ(first.Line(), "200 test server\r\n");
    {
        tClient second(listener.port);
        EXPECT_EQ(second.Line(), "503 Out of threads.\r\n");
        EXPECT_TRUE(second.AtEnd());
        // The refused client's log is in the shared log already.
        std::string shared = File("logs/clients");
        EXPECT_NE(shared.find(" port " + std::to_string(second.localPort) + "\n"), std::string::npos);
    }
    first.Send("QUIT\r\n");
    EXPECT_EQ(first.Line(), "205 bye\r\n");
    EXPECT_NE(Journal().find("503 Out of threads."), std::string::npos);
}

TEST_F(ListenerTest, FullPoolWithQueueingMakesTheClientWait) {
    listener.maxClients = 1;
    listener.queueRequests = 1;
    Start();
    tClient first(listener.port);
    EXPECT_EQ(first.Line(), "200 test server\r\n");
    tClient second(listener.port);
    EXPECT_EQ(second.Line(200), "");  // waiting for a slot
    first.Send("QUIT\r\n");
    EXPECT_EQ(first.Line(), "205 bye\r\n");
    EXPECT_EQ(second.Line(), "200 test server\r\n");
    second.Send("QUIT\r\n");
    EXPECT_EQ(second.Line(), "205 bye\r\n");
}

TEST_F(ListenerTest, ManyClientsAtOnceAreServedOrRefused) {
    listener.maxClients = 8;
    Start();
    {
        // Settle the descriptors the first connection creates for good
        // (the shared client log is opened and closed per append).
        tClient warm(listener.port);
        EXPECT_EQ(warm.Line(), "200 test server\r\n");
        warm.Send("QUIT\r\n");
        EXPECT_EQ(warm.Line(), "205 bye\r\n");
    }
    ASSERT_TRUE(WaitFor([&] { return AllSessionsEnded(); }));
    int fdsBefore = OpenDescriptors();
    int threadsBefore = Threads();
    constexpr int kClients = 200;
    std::atomic<int> served{0}, refused{0}, other{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; i++) {
        clients.emplace_back([&] {
            tClient c(listener.port);
            std::string greeting = c.Line();
            if (greeting == "200 test server\r\n") {
                c.Send("QUIT\r\n");
                if (c.Line() == "205 bye\r\n") {
                    served++;
                    return;
                }
            } else if (greeting == "503 Out of threads.\r\n" && c.AtEnd()) {
                refused++;
                return;
            }
            other++;
        });
    }
    for (auto &t : clients) t.join();
    EXPECT_EQ(served + refused, kClients);
    EXPECT_EQ(other, 0);

    EXPECT_GT(served, 0);
    ASSERT_TRUE(WaitFor([&] { return AllSessionsEnded(); }));
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptors() == fdsBefore; })) << OpenDescriptors() << " " << fdsBefore;
    EXPECT_TRUE(WaitFor([&] { return Threads() == threadsBefore; }));
    // Still accepting.
    tClient after(listener.port);
    EXPECT_EQ(after.Line(), "200 test server\r\n");
}

TEST_F(ListenerTest, ShutdownEndsIdleSessionsAndTheDispatcher) {
    Start();
    tClient a(listener.port), b(listener.port);
    EXPECT_EQ(a.Line(), "200 test server\r\n");
    EXPECT_EQ(b.Line(), "200 test server\r\n");
    Stop();
    EXPECT_TRUE(a.AtEnd());
    EXPECT_TRUE(b.AtEnd());
    EXPECT_EQ(Registered(), 0);
    EXPECT_EQ(listener.socket, -1);
    std::string j = Journal();
    size_t down = j.find("NNTP server shutting down.\n");
    EXPECT_NE(down, std::string::npos);
    EXPECT_NE(j.find("NNTP server ended.\n", down), std::string::npos);
    EXPECT_NE(File("logs/clients").find("Client: "), std::string::npos);
}

TEST_F(ListenerTest, ClientListingMarksTheRequesterAndThePseudoGroup) {
    Start();
    tClient a(listener.port), b(listener.port);
    EXPECT_EQ(a.Line(), "200 test server\r\n");
    EXPECT_EQ(b.Line(), "200 test server\r\n");
    a.Send("ASYNC\r\n");
    EXPECT_EQ(a.Line(), "211 async\r\n");
    b.Send("CLIENTS\r\n");
    auto lines = b.Listing();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "200 List of clients follows.\r\n");
    EXPECT_EQ(lines[1], "T SOCK ADDR PORT HOST TIME L GROUP ARTICLE ME\r\n");
    std::string rowA = " 127.0.0.1 " + std::to_string(a.localPort) + " ";
    std::string rowB = " 127.0.0.1 " + std::to_string(b.localPort) + " ";
    EXPECT_EQ(lines[2].rfind("N ", 0), 0u);
    EXPECT_NE(lines[2].find(rowA), std::string::npos) << lines[2];
    EXPECT_NE(lines[2].find(" N async -1\r\n"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find(rowB), std::string::npos) << lines[3];
    EXPECT_NE(lines[3].find(" N none -1 *\r\n"), std::string::npos) << lines[3];
    EXPECT_EQ(lines[4], "Contentions: 0\r\n");
    EXPECT_EQ(lines[5], ".\r\n");
}

TEST_F(ListenerTest, KeptSocketOfARestartIsTheFirstClientAndStaysOpen) {
    Start();
    tClient c(listener.port);
    EXPECT_EQ(c.Line(), "200 test server\r\n");
    c.Send("RESTART\r\n");
    EXPECT_EQ(c.Line(), "200 restarting\r\n");
    ASSERT_TRUE(WaitFor([&] { return AllSessionsEnded(); }));
    ASSERT_GE(keptClientSocket, 0);
    EXPECT_NE(fcntl(keptClientSocket, F_GETFD), -1);  // not closed by SessionEnd
    EXPECT_EQ(c.Line(200), "");                        // and the client is still connected

    // The next run: the dispatcher takes the kept connection first.
    Stop();
    ListenerClose(&listener);
    ShutdownReset();
    ASSERT_EQ(CancelSocketCreate(), 0);
    restartRequested = 0;
    listener.port = 0;
    Start();
    EXPECT_EQ(c.Line(), "200 test server\r\n");
    EXPECT_EQ(keptClientSocket, -1);
    c.Send("QUIT\r\n");
    EXPECT_EQ(c.Line(), "205 bye\r\n");
    EXPECT_TRUE(c.AtEnd());
}

TEST_F(ListenerTest, UnwritableLogsAreAnswered) {
    // A file where the logs directory belongs: no per-client log.
    rmdir("logs");
    ASSERT_TRUE(WriteWholeFile(dir / "logs", "not a directory"));
    listener.clientsLogPath = "clients";
    Start();
    tClient c(listener.port);
    EXPECT_EQ(c.Line(), "503 Cannot create the log file.\r\n");
    EXPECT_TRUE(c.AtEnd());
    ASSERT_TRUE(WaitFor([&] { return Registered() == 0; }));
}

TEST_F(ListenerTest, SharedLogThatCannotBeSetUpStopsTheProgram) {
    listener.clientsLogPath = "missing/clients";
    listener.isWeb = 1;
    Start();
    PoolWaitAll(&taskPool);
    EXPECT_EQ(shutdownCode.load(), 41);
    EXPECT_EQ(listener.socket, -1);
    EXPECT_NE(Journal().find("Web server ended.\n"), std::string::npos);
}

TEST(ListenerPorts, FallBackSequence) {
    EXPECT_EQ(ListenerNextPort(119), 2000);
    EXPECT_EQ(ListenerNextPort(21), 3000);
    EXPECT_EQ(ListenerNextPort(2000), 2001);
    EXPECT_EQ(ListenerNextPort(8000), 8001);
}

// Keeps a port busy by listening on it; -1 when someone else holds it.
int Occupy(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    if (bind(fd, (sockaddr *)&a, sizeof a) != 0 || listen(fd, 1) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST_F(ListenerTest, TakenPortFallsBackAndIsStoredInTheSetting) {
    int busy = Occupy(119);  // busy either way: ours, someone else's, or not ours to take
    int setting = 119;
    listener.port = 119;
    listener.portSetting = &setting;
    ASSERT_EQ(ListenerCreate(&listener), E_OK);
    EXPECT_GE(listener.port, 2000);
    EXPECT_LE(listener.port, 2003);
    EXPECT_EQ(setting, listener.port);
    std::string j = Journal();
    EXPECT_NE(j.find("Could not create the NNTP server on port 119: "), std::string::npos) << j;
    EXPECT_NE(j.find("Created the NNTP server on port " + std::to_string(listener.port)), std::string::npos);
    if (busy >= 0) close(busy);
}

TEST_F(ListenerTest, FiveTakenPortsFail) {
    // Five consecutive ports, from an ephemeral one, all held here: a port
    // that cannot be held (another test's connection uses it for a moment)
    // means another try elsewhere.
    int first = 0;
    std::vector<int> held;
    for (int attempt = 0; attempt < 50 && held.size() < 5; attempt++) {
        for (int fd : held) close(fd);
        held.clear();
        int probe = TcpSocket(&first, nullptr);
        ASSERT_GE(probe, 0);
        ASSERT_EQ(SocketListen(probe, 1), 0);
        held.push_back(probe);
        for (int p = first + 1; p < first + 5; p++) {
            int fd = Occupy(p);
            if (fd < 0) break;
            held.push_back(fd);
        }
    }
    ASSERT_EQ(held.size(), 5u);
    listener.port = first;
    listener.isWeb = 1;
    EXPECT_EQ(ListenerCreate(&listener), E_CANNOT_CREATE_SERVER);
    EXPECT_EQ(listener.socket, -1);
    std::string j = Journal();
    for (int p = first; p < first + 5; p++)
        EXPECT_NE(j.find("Could not create the Web server on port " + std::to_string(p) + ": "), std::string::npos);
    EXPECT_EQ(j.find("Could not create the Web server on port " + std::to_string(first + 5)), std::string::npos);
    for (int fd : held) close(fd);
}

TEST(Registry, RemovalWaitsForAListingThatHoldsTheSession) {
    tClientRegistry registry{};
    RegistryInit(&registry);
    tSession *a = SessionAllocate(), *b = SessionAllocate();
    a->registry = b->registry = &registry;
    RegistryAdd(&registry, a);
    RegistryAdd(&registry, b);
    tSession *held = RegistryFirst(&registry);
    ASSERT_EQ(held, a);
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        RegistryRemove(&registry, a);
        removed = true;
    });
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> g(registry.lock);
        return registry.contentions == 1;
    }));
    EXPECT_FALSE(removed);
    tSession *next = RegistryNext(held);
    EXPECT_EQ(next, b);
    remover.join();
    EXPECT_TRUE(removed);
    EXPECT_EQ(RegistryNext(next), nullptr);
    SessionFree(a);
    RegistryRemove(&registry, b);
    SessionFree(b);
    RegistryRelease(&registry);
}

}  // namespace
