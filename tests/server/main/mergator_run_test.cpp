// A run of mergator as a real process: start-up, the running state, a
// console event and the tear-down, seen through the exit code, the journal
// and the work directory.
#include "tests/support/loopback.h"
#include "tests/support/paths.h"
#include "tests/support/process.h"
#include "tests/support/proxies.h"

#include <algorithm>
#include <csignal>
#include <unistd.h>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

void MakeFile(const std::string &path, const std::string &content = "") {
    fs::create_directories(fs::path(path).parent_path());
    ASSERT_TRUE(WriteWholeFile(path, content)) << path;
}

// The lines of text with their time stamps ("dd/mm hh:mm:ss  ") removed.
std::vector<std::string> JournalLines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t eol = text.find('\n', start);
        if (eol == std::string::npos) eol = text.size();
        std::string line = text.substr(start, eol - start);
        if (line.size() > 16 && line[2] == '/' && line[14] == ' ' && line[15] == ' ') line = line.substr(16);
        lines.push_back(line);
        start = eol + 1;
    }
    return lines;
}

// True when want appears in lines in this order (other lines may come
// between).
bool InOrder(const std::vector<std::string> &lines, const std::vector<std::string> &want) {
    size_t next = 0;
    for (const std::string &line : lines) {
        if (next < want.size() && line.rfind(want[next], 0) == 0) next++;
    }
    return next == want.size();
}


// A listening socket on a free loopback port; closed with the object.
struct tListening {
    int fd = -1;
    int port = 0;
    tListening() { fd = ListenLoopback(&port); }
    ~tListening() {
        if (fd >= 0) close(fd);
    }
};

// A configured work directory below a scratch directory that also holds the
// program's standard output and error. Its ports are free ones, so runs in
// parallel never meet.
struct tWorkDir {
    tTempDir scratch;
    std::string work = scratch / "work";
    std::string out = scratch / "out";
    std::string err = scratch / "err";
    int nntpPort = FreeLoopbackPort();
    int webPort = FreeLoopbackPort();
    tWorkDir() {
        MakeFile(work + "/etc/servers.ini", "[server]\nurl=news.example.org\n\n");
        WritePorts(nntpPort, webPort);
    }
    void WritePorts(int nntp, int web) {
        MakeFile(work + "/etc/mergator.ini", "[access]\nnntpPort=" + std::to_string(nntp) +
                                                 "\nwebPort=" + std::to_string(web) +
                                                 "\n\n[explore]\nexplore=0\n");
    }
};

}  // namespace

TEST(MergatorRun, ConsoleEventsStopTheRunWithCode43) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        tWorkDir w;
        MakeFile(w.work + "/logs/unusable");           // empty, removed
        tChild child;
        ASSERT_TRUE(child.Start(MgProgram("mergator"), {"-d", w.work}, w.scratch.path, w.out, w.err));
        ASSERT_TRUE(WaitForFileText(w.work + "/journal", "Mergator successfully started.\n"));
        // Running: the directories of the run exist.
        for (const char *dir : {"logs", "list", "explore", "connect", "async", "newsrc3"})
            EXPECT_TRUE(fs::is_directory(w.work + "/" + dir)) << dir;
        ASSERT_TRUE(child.Signal(sig));
        EXPECT_EQ(child.Wait(), 43);

        std::vector<std::string> lines = JournalLines(ReadWholeFile(w.work + "/journal"));
        EXPECT_TRUE(InOrder(lines, {"========================", "Date: ", "Mergator 4.5 (",
                                    "Mergator successfully started.", "All threads have returned.",
                                    "Mergator is terminating with code 43: Shutdown requested by signal.",
                                    "See journal file for more information.", "Ended at: "}))
            << ReadWholeFile(w.work + "/journal");
        std::string err = ReadWholeFile(w.err);
        EXPECT_NE(err.find("Shutdown requested by signal " + std::to_string(sig) + "...\n"), std::string::npos)
            << err;
        EXPECT_NE(err.find("Mergator successfully started.\n"), std::string::npos) << "journal echoed: " << err;
        // The empty directories of the run are gone; the configuration and
        // the journal stay.
        EXPECT_EQ(ListTree(w.work), (std::vector<std::string>{"etc/", "etc/groups.sq3", "etc/mergator.ini",
                                                             "etc/servdyna.ini", "etc/servers.ini", "journal"}));
    }
}

TEST(MergatorRun, FirstStartConfiguresThenTheNextStartRuns) {
    tTempDir scratch;
    tRunResult first = RunProgram(MgProgram("mergator"), {"-d", "work"}, scratch.path, "y\n");
    ASSERT_EQ(first.exitCode, 55) << first.out << first.err;

    // The next start on free ports, so that parallel runs never meet.
    std::string ini = ReadWholeFile(scratch / "work/etc/mergator.ini");
    ini = std::regex_replace(ini, std::regex("nntpPort=[0-9]+"), "nntpPort=" + std::to_string(FreeLoopbackPort()));
    ini = std::regex_replace(ini, std::regex("webPort=[0-9]+"), "webPort=" + std::to_string(FreeLoopbackPort()));
    ASSERT_TRUE(WriteWholeFile(scratch / "work/etc/mergator.ini", ini));
    tChild child;
    ASSERT_TRUE(child.Start(MgProgram("mergator"), {"-d", "work"}, scratch.path, scratch / "out", scratch / "err"));
    ASSERT_TRUE(WaitForFileText(scratch / "work/journal", "Mergator successfully started.\n"));
    ASSERT_TRUE(child.Signal(SIGINT));
    EXPECT_EQ(child.Wait(), 43);
    EXPECT_EQ(ReadWholeFile(scratch / "out"), "");
    std::vector<std::string> lines = JournalLines(ReadWholeFile(scratch / "work/journal"));
    EXPECT_TRUE(InOrder(lines, {"Mergator 4.5 (", "Mergator has been successfully auto-configured.",
                                "Mergator is terminating with code 55: Auto-configuration done.", "Ended at: ",
                                "Mergator 4.5 (", "Mergator successfully started.",
                                "Mergator is terminating with code 43: Shutdown requested by signal."}));
}

TEST(MergatorRun, ConsoleEventDuringTheCreatePromptEndsIt) {
    tTempDir scratch;
    tChild child;
    ASSERT_TRUE(child.Start(MgProgram("mergator"), {"-d", "newdir"}, scratch.path, scratch / "out",
                            scratch / "err"));
    ASSERT_TRUE(WaitForFileText(scratch / "out", "Create it (y/n/q)? "));
    ASSERT_TRUE(child.Signal(SIGTERM));
    EXPECT_EQ(child.Wait(), 43);
    EXPECT_EQ(ReadWholeFile(scratch / "out"),
              "Work directory 'newdir' does not exist.\n"
              "Create it (y/n/q)? "
              "Auto-configuration failed: Shutdown requested by signal\n");
    EXPECT_FALSE(fs::exists(scratch / "newdir"));
}

TEST(MergatorRun, DirectoriesThatCannotBeCreatedEndTheStartUp) {
    struct {
        const char *blocked;
        int code;
        const char *text;
    } cases[] = {
        {"logs", 10, "Could not create the logs directory"},
        {"list", 12, "Could not create the list directory"},
        {"explore", 13, "Could not create the explore directory"},
        {"connect", 58, "Could not create the connect directory"},
        {"async", 14, "Could not create the async directory"},
        {"newsrc3", 16, "Could not create the newsrc directory"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.blocked);
        tWorkDir w;
        MakeFile(w.work + "/" + c.blocked, "in the way");
        tRunResult r = RunProgram(MgProgram("mergator"), {}, w.work);
        EXPECT_EQ(r.exitCode, c.code);
        std::vector<std::string> lines = JournalLines(ReadWholeFile(w.work + "/journal"));
        EXPECT_TRUE(InOrder(lines, {std::string("Could not create the '") + c.blocked + "' directory.",
                                    "Mergator is terminating with code " + std::to_string(c.code) + ": " + c.text +
                                        ".",
                                    "Ended at: "}))
            << ReadWholeFile(w.work + "/journal");
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "Mergator successfully started."), 0);
        EXPECT_EQ(ReadWholeFile(w.work + "/" + c.blocked), "in the way");
    }
}

TEST(MergatorRun, MinimalModeNeedsTheUnusableServersLog) {
    tWorkDir w;
    fs::create_directories(w.work + "/logs/unusable");   // in the way of the log file
    tRunResult r = RunProgram(MgProgram("mergator"), {"-m"}, w.work);
    EXPECT_EQ(r.exitCode, 19);
    std::vector<std::string> lines = JournalLines(ReadWholeFile(w.work + "/journal"));
    EXPECT_TRUE(InOrder(lines, {"Could not init the 'logs/unusable' file.",
                                "Mergator is terminating with code 19: Could not create the logs/unusable file."}))
        << ReadWholeFile(w.work + "/journal");
    // Minimal mode keeps no newsrc stores.
    EXPECT_FALSE(fs::exists(w.work + "/newsrc3"));
}

TEST(MergatorRun, AnotherServerOnTheNntpPortEndsWith5AndKeepsEveryFile) {
    tWorkDir w;
    tListening other;
    ASSERT_GT(other.port, 0);
    w.WritePorts(other.port, w.webPort);
    MakeFile(w.work + "/logs/unusable");  // empty: an ordinary end would remove it
    tRunResult r = RunProgram(MgProgram("mergator"), {"-d", w.work}, w.scratch.path);
    EXPECT_EQ(r.exitCode, 5) << r.err;
    std::vector<std::string> lines = JournalLines(ReadWholeFile(w.work + "/journal"));
    EXPECT_TRUE(InOrder(lines, {"Another server is already running on port " + std::to_string(other.port),
                                "Mergator is terminating with code 5: "}))
        << ReadWholeFile(w.work + "/journal");
    EXPECT_TRUE(fs::exists(w.work + "/logs/unusable"));
}

TEST(MergatorRun, EqualNntpAndWebPortsEndWith52) {
    tWorkDir w;
    w.WritePorts(w.nntpPort, w.nntpPort);
    tRunResult r = RunProgram(MgProgram("mergator"), {"-d", w.work}, w.scratch.path);
    EXPECT_EQ(r.exitCode, 52) << r.err;
    std::vector<std::string> lines = JournalLines(ReadWholeFile(w.work + "/journal"));
    EXPECT_TRUE(InOrder(lines, {"NNTP server port and Web server port must be different.",
                                "Mergator is terminating with code 52: "}))
        << ReadWholeFile(w.work + "/journal");
}

TEST(MergatorRun, SecondMergatorOnTheSameDirectoryEndsWith5AndLeavesTheFirstRunning) {
    tWorkDir w;
    tChild first;
    ASSERT_TRUE(first.Start(MgProgram("mergator"), {"-d", w.work}, w.scratch.path, w.out, w.err));
    ASSERT_TRUE(WaitForFileText(w.work + "/journal", "Mergator successfully started.\n"));
    std::vector<std::string> before = ListTree(w.work);

    tRunResult second = RunProgram(MgProgram("mergator"), {"-d", w.work}, w.scratch.path);
    EXPECT_EQ(second.exitCode, 5) << second.err;
    // The second run neither removed nor emptied anything of the first one.
    std::vector<std::string> after = ListTree(w.work);
    for (const std::string &name : before)
        EXPECT_NE(std::find(after.begin(), after.end(), name), after.end()) << name;
    EXPECT_TRUE(fs::is_directory(w.work + "/explore"));
    EXPECT_TRUE(fs::is_directory(w.work + "/newsrc3"));

    // The first one still runs and ends normally.
    ASSERT_TRUE(first.Signal(SIGTERM));
    EXPECT_EQ(first.Wait(), 43);
    std::vector<std::string> lines = JournalLines(ReadWholeFile(w.work + "/journal"));
    EXPECT_TRUE(InOrder(lines, {"Mergator successfully started.",
                                "Another server is already running on port " + std::to_string(w.nntpPort),
                                "Mergator is terminating with code 5: ",
                                "Mergator is terminating with code 43: "}))
        << ReadWholeFile(w.work + "/journal");
}
