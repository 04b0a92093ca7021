// Test fixture for the upstream conversation and the connection pool: a
// private work directory (journal, "connect/"), one server loaded from a
// servers file written by the test, the system's scheduler running on a
// thread with a movable clock, the cancellation socket, and a count of open
// descriptors to find what was left behind.
#pragma once

#include "lib/log.h"
#include "lib/shutdown.h"
#include "lib/sock.h"
#include "lib/tasks.h"
#include "server/settings/settings.h"
#include "server/upstream/pool.h"
#include "server/upstream/servers.h"
#include "tests/support/eventually.h"
#include "tests/support/paths.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <dirent.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

inline int OpenDescriptors() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (readdir(d)) n++;
    closedir(d);
    return n;
}

// Seconds added to the scheduler's clock.
inline std::atomic<long> clockOffset{0};
inline time_t TestClock() { return time(nullptr) + clockOffset.load(); }

struct UpstreamFixture : ::testing::Test {
    tTempDir dir;
    std::string oldCwd;
    std::unique_ptr<tServers> servers = std::make_unique<tServers>();
    std::thread loop;
    bool started = false;
    int fdsBefore = 0;

    void SetUp() override {
        fdsBefore = OpenDescriptors();
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        oldCwd = cwd;
        ASSERT_EQ(chdir(dir.path.c_str()), 0);
        ASSERT_EQ(mkdir("connect", 0755), 0);
        ASSERT_EQ(LogOpen(&journal, "journal", 1 << 30), E_OK);
        ShutdownReset();
        ASSERT_EQ(CancelSocketCreate(), 0);
        verbose = 1;
        clockOffset = 0;
        ASSERT_EQ(TasksInit(), E_OK);
        taskScheduler.now = TestClock;
        loop = std::thread([] { SchedulerRun(&taskScheduler); });
        servers->resultsPath = nullptr;
    }

    // Loads one server "127.0.0.1:port" with the extra keys (lines "key=value\n").
    void LoadServer(int port, const std::string &keys = "", const std::string &url = "") {
        std::string u = url.empty() ? "127.0.0.1:" + std::to_string(port) : url;
        LoadIni("[proxies]\nurl=none\n\n[server]\nurl=" + u + "\n" + keys);
    }

    // Loads the servers of a whole servers file.
    void LoadIni(const std::string &content) {
        ASSERT_TRUE(WriteWholeFile("servers.ini", content));
        ASSERT_EQ(ServersLoadDynamic(servers.get(), &journal, "servdyna.ini"), E_OK);
        ASSERT_EQ(LoadServers(servers.get(), &journal, 0, 0, 0, nullptr, nullptr, &taskScheduler, "servers.ini"),
                  E_OK);
        ASSERT_EQ(BindServers(servers.get()), E_OK);
        started = true;
    }

    tServer *Server() { return ServerAt(servers.get(), 0); }

    void TearDown() override {
        if (started) PoolRelease(servers.get());
        StopScheduler();
        for (int i = 0; started && i < ServerCount(servers.get()); i++) {
            tServer *server = ServerAt(servers.get(), i);
            std::lock_guard<std::mutex> guard(server->lock);
            EXPECT_FALSE(DlinkInList(&server->allConnections)) << "connection left behind";
            EXPECT_EQ(server->connections, 0);
        }
        ReleaseServersAndLeave();
        EXPECT_EQ(OpenDescriptors(), fdsBefore) << "descriptor left open";
    }

    // The first and the last steps of TearDown, for fixtures that release
    // more in between: StopScheduler stops the scheduler's loop and waits
    // for the pool's tasks; ReleaseServersAndLeave releases the servers, the
    // tasks, the cancellation socket and the journal and returns to the
    // test runner's directory.
    void StopScheduler() {
        SchedulerStop(&taskScheduler);
        loop.join();
        PoolWaitAll(&taskPool);
    }
    void ReleaseServersAndLeave() {
        ServersRelease(servers.get());
        TasksRelease();
        CancelSocketClose();
        LogClose(&journal);
        ShutdownReset();
        verbose = 0;
        ASSERT_EQ(chdir(oldCwd.c_str()), 0);
    }

    std::string Journal() { return ReadWholeFile(dir / "journal"); }
    std::string ConnectLog() { return ReadWholeFile(dir / ("connect/" + std::string(Server()->diskName))); }
    bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }
};
