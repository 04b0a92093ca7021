// RunServer in-process: the internal restart, driven the way the restart
// commands drive it (set restartRequested, or use the panic code, then
// request the shutdown), and the deletions the shutdown settings ask for.
#include "lib/shutdown.h"
#include "server/main/exitcodes.h"
#include "server/main/run.h"
#include "server/settings/settings.h"
#include "tests/support/paths.h"
#include "tests/support/proxies.h"

#include <algorithm>
#include <filesystem>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// Waits until the journal shows the n-th start of a run.
bool WaitForStart(int n) {
    for (int i = 0; i < 3000; i++) {
        if (Count(ReadWholeFile("journal"), "Mergator successfully started.\n") >= (size_t)n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// "[access]" lines that put both listeners on free loopback ports, so runs
// in parallel never meet on the default ports.
std::string FreePortSettings() {
    return "[access]\nnntpPort=" + std::to_string(FreeLoopbackPort()) +
           "\nwebPort=" + std::to_string(FreeLoopbackPort()) + "\n";
}

}  // namespace

TEST(RunServer, RestartRunsTheWholeSequenceAgain) {
    tTempDir dir;
    std::filesystem::create_directories(dir / "etc");
    ASSERT_TRUE(WriteWholeFile(dir / "etc/servers.ini", ""));
    ASSERT_TRUE(WriteWholeFile(dir / "etc/mergator.ini", FreePortSettings()));
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path);

    std::thread driver([] {
        // The restart command of a session, then the panic restart, then an
        // ordinary shutdown.
        if (!WaitForStart(1)) return RequestShutdown(EXIT_MGSHUT);
        restartRequested = 1;
        RequestShutdown(EXIT_MGRESTART);
        if (!WaitForStart(2)) return RequestShutdown(EXIT_MGSHUT);
        RequestShutdown(EXIT_PANIC_RESTART);
        if (!WaitForStart(3)) return RequestShutdown(EXIT_MGSHUT);
        RequestShutdown(EXIT_MGSHUT);
    });
    int code = RunServer(0, 0, 0, nullptr, 0);
    driver.join();
    std::string journal = ReadWholeFile("journal");
    std::filesystem::current_path(previous);

    EXPECT_EQ(code, EXIT_MGSHUT);
    EXPECT_EQ(restartRequested, 0);
    EXPECT_EQ(Count(journal, "Mergator successfully started.\n"), 3u) << journal;
    EXPECT_EQ(Count(journal, "========================\nDate: "), 3u);
    EXPECT_EQ(Count(journal, "Ended at: "), 3u);
    EXPECT_EQ(Count(journal, "terminating with code 44: Internal restart requested using MGRESTART.\n"), 1u);
    EXPECT_EQ(Count(journal, "terminating with code 57: Internal restart on panic.\n"), 1u);
    EXPECT_EQ(Count(journal, "terminating with code 39: The MGSHUT command has been performed.\n"), 1u);
}

TEST(RunServer, ShutdownSettingsDeleteTheirFilesOnly) {
    tTempDir dir;
    for (const char *file : {"etc/servers.ini", "journal.bak", "logs/clients", "logs/clients.bak", "logs/intruder",
                             "logs/web", "explore/news.example.org", "connect/news.example.org", "actual/1"}) {
        std::filesystem::create_directories(std::filesystem::path(dir / file).parent_path());
        ASSERT_TRUE(WriteWholeFile(dir / file, "data"));
    }
    ASSERT_TRUE(WriteWholeFile(dir / "etc/servers.ini", ""));
    ASSERT_TRUE(WriteWholeFile(dir / "etc/mergator.ini",
                               FreePortSettings() + "[shutdown]\ndeleteJournal=1\ndeleteLogsClients=1\ndeleteLogsIntruder=1\n"
                               "deleteExplore=1\ndeleteActual=1\n"));
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path);

    std::thread driver([] {
        WaitForStart(1);
        RequestShutdown(EXIT_MGSHUT);
    });
    int code = RunServer(0, 0, 0, nullptr, 0);
    driver.join();
    std::filesystem::current_path(previous);

    EXPECT_EQ(code, EXIT_MGSHUT);
    std::vector<std::string> left;
    for (auto &entry : std::filesystem::recursive_directory_iterator(dir.path))
        left.push_back(std::filesystem::relative(entry.path(), dir.path).string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"connect", "connect/news.example.org", "etc", "etc/groups.sq3", "etc/mergator.ini",
                                              "etc/servdyna.ini", "etc/servers.ini", "logs", "logs/web"}));
}
