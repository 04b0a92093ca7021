// The command line of mergator and the preparation and clean-up of the work
// directory, run as real processes in temporary directories.
#include "tests/support/paths.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

const char *const usage =
    "Usage: mergator [options]\n"
    "-c      Delete empty files and directories and exit\n"
    "-d dir  Use this directory for all files instead of current one\n"
    "-h      Print this help and exit\n"
    "-i file Import a list of additional news-servers from file\n"
    "-m      Perform minimal exploration of servers and exit\n"
    "-sl p   List Windows services matching pattern <p>\n"
    "-si     Install Mergator as a Windows service\n"
    "-sa     Start the Mergator service\n"
    "-sp     Pause the Mergator service\n"
    "-sc     Continue the Mergator service\n"
    "-so     Stop the Mergator service\n"
    "-su     Uninstall the Mergator service\n"
    "-v      Print name, version, copyright and exit\n"
    "-C      Delete all created files and directories and exit (dangerous!)\n";

// True when line is the banner: "Mergator 4.5 (Jun  8 2009)  notice\n".
bool IsBanner(const std::string &line) {
    const std::string head = "Mergator 4.5 (";
    if (line.rfind(head, 0) != 0 || line.size() < head.size() + 16 || line.back() != '\n') return false;
    std::string date = line.substr(head.size(), 11);   // "Jun  8 2009"
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    bool monthOk = false;
    for (int m = 0; m < 12; m++) monthOk |= date.compare(0, 3, months + 3 * m, 3) == 0;
    bool digitsOk = date[3] == ' ' && (date[4] == ' ' || isdigit((unsigned char)date[4])) &&
                    isdigit((unsigned char)date[5]) && date[6] == ' ' &&
                    strspn(date.c_str() + 7, "0123456789") == 4;
    std::string rest = line.substr(head.size() + 11);
    return monthOk && digitsOk && rest.rfind(")  ", 0) == 0 && rest.size() > 4 &&
           rest.find('\n') == rest.size() - 1;
}


// Runs mergator with args in dir, with nothing on standard input.
tRunResult Mergator(const std::vector<std::string> &args, const std::string &dir, const std::string &input = "") {
    return RunProgram(MgProgram("mergator"), args, dir, input, 60);
}

// Splits off the banner line from standard error; fails the test when the
// error output does not start with it.
std::string AfterBanner(const std::string &err) {
    size_t eol = err.find('\n');
    if (eol == std::string::npos) {
        ADD_FAILURE() << "no banner in: " << err;
        return err;
    }
    std::string first = err.substr(0, eol + 1);
    EXPECT_TRUE(IsBanner(first)) << first;
    return err.substr(eol + 1);
}

void MakeFile(const std::string &path, const std::string &content = "") {
    fs::create_directories(fs::path(path).parent_path());
    ASSERT_TRUE(WriteWholeFile(path, content)) << path;
}

}  // namespace

TEST(MergatorOptions, VersionPrintsOnlyTheBanner) {
    tTempDir dir;
    tRunResult r = Mergator({"-v"}, dir.path);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(IsBanner(r.err)) << r.err;
    EXPECT_TRUE(ListTree(dir.path).empty());
}

TEST(MergatorOptions, HelpPrintsTheUsageOnStandardOutput) {
    tTempDir dir;
    tRunResult r = Mergator({"-h"}, dir.path);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, usage);
    EXPECT_EQ(AfterBanner(r.err), "");
    EXPECT_TRUE(ListTree(dir.path).empty());
}

TEST(MergatorOptions, OptionErrorsPrintTheirMessageAndExitWithTwo) {
    struct {
        std::vector<std::string> args;
        std::string message;     // before the usage text, or the whole error output
        bool withUsage;
    } cases[] = {
        {{"-x"}, "Option -x is unknown.\n", true},
        {{"-xyz"}, "Option -xyz is unknown.\n", true},
        {{"-m", "-q"}, "Option -q is unknown.\n", true},
        {{"-D"}, "Option -D is unknown.\n", true},
        {{"-d"}, "", true},
        {{"-i"}, "", true},
        {{"-m", "-d"}, "", true},
        {{"stray"}, "", true},
        {{"-sx"}, "No such command '-sx'\n", false},
        {{"-s"}, "No such command '-s'\n", false},
        {{"-sa", "-so"}, "Only one service action is allowed.\n", false},
        {{"-sl"}, "The '-sl' option requires a <pattern> argument.\n", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        tTempDir dir;
        tRunResult r = Mergator(c.args, dir.path);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(AfterBanner(r.err), c.message + (c.withUsage ? usage : ""));
        EXPECT_TRUE(ListTree(dir.path).empty());
    }
}

TEST(MergatorOptions, ServiceActionsAreRefusedOnThisPlatform) {
    for (std::vector<std::string> args : {std::vector<std::string>{"-si"}, {"-sl", "mer*"}, {"-so"}}) {
        SCOPED_TRACE(args[0]);
        tTempDir dir;
        tRunResult r = Mergator(args, dir.path);
        EXPECT_EQ(r.exitCode, 60);
        EXPECT_NE(AfterBanner(r.err).find("not available on this platform"), std::string::npos) << r.err;
        EXPECT_TRUE(ListTree(dir.path).empty());
    }
}

TEST(MergatorWorkDirectory, MissingDirectoryAsksUntilAnsweredAndQuitLeavesNothing) {
    struct {
        std::string input;
        int prompts;
    } cases[] = {{"x\nQ\n", 2}, {"n\n", 1}, {"\nhello\nq\n", 3}, {"", 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE("input: " + c.input);
        tTempDir dir;
        tRunResult r = Mergator({"-d", "newdir"}, dir.path, c.input);
        EXPECT_EQ(r.exitCode, 47);
        std::string expected = "Work directory 'newdir' does not exist.\n";
        for (int i = 0; i < c.prompts; i++) expected += "Create it (y/n/q)? ";
        if (c.input.empty()) expected += "\n";
        expected += "Auto-configuration failed: Auto-configuration failed\n";
        EXPECT_EQ(r.out, expected);
        EXPECT_TRUE(ListTree(dir.path).empty());
    }
}

TEST(MergatorWorkDirectory, FirstStartInANewDirectoryConfiguresItAndEndsWith55) {
    tTempDir dir;
    tRunResult r = Mergator({"-d", "newdir"}, dir.path, "Y\n");
    EXPECT_EQ(r.exitCode, 55);
    EXPECT_EQ(r.out,
              "Work directory 'newdir' does not exist.\n"
              "Create it (y/n/q)? "
              "Creating the etc sub-directory.\n"
              "No etc/servers.ini file yet.\n"
              "Trying to locate your news-servers automatically.\n"
              "Adding some public news-servers.\n"
              "Auto-configuration terminated.\n");
    EXPECT_EQ(ListTree(dir.path), (std::vector<std::string>{"newdir/", "newdir/etc/", "newdir/etc/groups.sq3", "newdir/etc/mergator.ini", "newdir/etc/servdyna.ini",
                                                           "newdir/etc/servers.ini",
                                                           "newdir/journal"}));
    std::string journal = ReadWholeFile(dir / "newdir/journal");
    EXPECT_NE(journal.find("Mergator has been successfully auto-configured.\n"
                           "Please review the created default configuration files,\n"
                           "possibly adjust some settings and run Mergator again\n"
                           "to enter normal operation mode.\n"),
              std::string::npos)
        << journal;
    EXPECT_NE(journal.find("Mergator is terminating with code 55: Auto-configuration done.\n"), std::string::npos);
    EXPECT_NE(r.err.find("Mergator is terminating with code 55"), std::string::npos) << "journal echoed";
}

TEST(MergatorWorkDirectory, MinimalFirstStartCreatesAnEmptyServerList) {
    tTempDir dir;
    tRunResult r = Mergator({"-m"}, dir.path);
    EXPECT_EQ(r.exitCode, 55);
    EXPECT_EQ(r.out, "Creating the etc sub-directory.\nNo etc/servers.ini file yet.\n");
    EXPECT_TRUE(fs::exists(dir / "etc/servers.ini"));
    // No server yet: the list is written back with its empty sections.
    EXPECT_EQ(ReadWholeFile(dir / "etc/servers.ini"), "[file]\n\n[proxies]\nurl=none\n\n");
}

TEST(MergatorWorkDirectory, OlderWorkDirectoriesAreRefusedUntouched) {
    struct {
        std::string oldName;
        bool isDirectory;
        int code;
        std::string message;
    } cases[] = {
        {"config", true, 47,
         "This version of Mergator cannot be used with a pre-4.0 work directory,\n"
         "because the names and formats of several files have changed.\n"
         "You will need a fresh install.\n"
         "Auto-configuration failed: Auto-configuration failed\n"},
        {"dataset", false, 47, ""},
        {"newsrc2", true, 64,
         "Files from pre-4.5 versions of Mergator have been found in the work directory. "
         "Please migrate them to 4.5 format using the MgMigrat utility.\n"
         "Auto-configuration failed: Database migration is required\n"},
        {"etc/popular.ini", false, 64, ""},
        {"update", true, 64, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.oldName);
        tTempDir dir;
        if (c.isDirectory) {
            fs::create_directories(dir / c.oldName);
        } else {
            MakeFile(dir / c.oldName, "old");
        }
        std::vector<std::string> before = ListTree(dir.path);
        tRunResult r = Mergator({"-d", dir.path}, "/");
        EXPECT_EQ(r.exitCode, c.code);
        if (!c.message.empty()) {
            EXPECT_EQ(r.out, c.message);
        }
        EXPECT_EQ(ListTree(dir.path), before);
    }
}

TEST(MergatorWorkDirectory, UnusableWorkDirectoriesEndWithThree) {
    tTempDir dir;
    MakeFile(dir / "plainfile", "keep");
    // A file where the directory should be: cannot be entered nor created.
    tRunResult r = Mergator({"-d", "plainfile"}, dir.path, "y\n");
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out,
              "Work directory 'plainfile' does not exist.\n"
              "Create it (y/n/q)? "
              "Could not create the working directory 'plainfile'.\n"
              "Try running Mergator without the -d option\n"
              "or provide another work directory name.\n"
              "Auto-configuration failed: Missing work directory\n");
    // A parent that does not exist either.
    r = Mergator({"-d", "no/such/dir"}, dir.path, "y\n");
    EXPECT_EQ(r.exitCode, 3);
    // The clean-ups do not offer to create anything.
    for (const char *option : {"-c", "-C"}) {
        r = Mergator({option, "-d", "missing"}, dir.path);
        EXPECT_EQ(r.exitCode, 3);
        EXPECT_EQ(r.out, "Work directory 'missing' does not exist.\n");
    }
    EXPECT_EQ(ListTree(dir.path), std::vector<std::string>{"plainfile"});
    EXPECT_EQ(ReadWholeFile(dir / "plainfile"), "keep");
}

TEST(MergatorWorkDirectory, DirectoryWithoutAccessIsNotEntered) {
    if (geteuid() == 0) GTEST_SKIP() << "root enters every directory";
    tTempDir dir;
    fs::create_directories(dir / "locked");
    chmod((dir / "locked").c_str(), 0);
    tRunResult r = Mergator({"-d", "locked"}, dir.path, "q\n");
    chmod((dir / "locked").c_str(), 0755);
    EXPECT_EQ(r.exitCode, 47);
    EXPECT_EQ(r.out.rfind("Work directory 'locked' does not exist.\n", 0), 0u) << r.out;
    EXPECT_TRUE(ListTree(dir / "locked").empty());
}

TEST(MergatorWorkDirectory, ServerListThatCannotBeCreatedEndsWith47) {
    tTempDir dir;
    MakeFile(dir / "etc", "not a directory");
    tRunResult r = Mergator({}, dir.path);
    EXPECT_EQ(r.exitCode, 47);
    EXPECT_EQ(r.out, "No etc/servers.ini file yet.\nAuto-configuration failed: Auto-configuration failed\n");
    EXPECT_EQ(AfterBanner(r.err), "Could not create the etc/servers.ini file.\n");
    EXPECT_EQ(ListTree(dir.path), std::vector<std::string>{"etc"});
}

TEST(MergatorWorkDirectory, JournalThatCannotBeOpenedEndsWithFour) {
    tTempDir dir;
    MakeFile(dir / "etc/servers.ini", "[server]\nurl=news.example.org\n\n");
    fs::create_directories(dir / "journal");
    std::vector<std::string> before = ListTree(dir.path);
    tRunResult r = Mergator({}, dir.path);
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(AfterBanner(r.err), "Could not create the journal file.\n");
    EXPECT_EQ(ListTree(dir.path), before);
}

// A work directory as a run leaves it, with the user's own files.
void FillWorkDirectory(const tTempDir &dir) {
    for (const char *keep : {"etc/mergator.ini", "etc/servers.ini", "etc/servdyna.ini", "etc/filters.ini"})
        MakeFile(dir / keep, "x=1\n");
    for (const char *data : {"etc/groups.sq3", "etc/groups.sq3-journal", "etc/async.sq3", "etc/hidden.sq3",
                             "etc/retrievd.sq3", "index2/comp.lang.c", "newsrc3/1", "newsrc3/1-journal",
                             "xhdr/1.tmp", "explore/news.example.org", "connect/news.example.org",
                             "logs/clients", "logs/web", "logs/summary", "journal", "journal.bak"})
        MakeFile(dir / data, "data");
    for (const char *empty : {"logs/unusable", "logs/results"}) MakeFile(dir / empty);
    for (const char *emptyDir : {"list", "async", "cache", "index2/sub"}) fs::create_directories(dir / emptyDir);
    for (const char *shortcut : {"telnet.htm", "telnet.url", "news.htm", "news.url", "web.htm", "web.url"})
        MakeFile(dir / shortcut, "<html>");
    MakeFile(dir / "notes.txt", "mine");
    MakeFile(dir / "list/mine.txt", "mine");
}

TEST(MergatorWorkDirectory, CleanRemovesOnlyWhatIsEmpty) {
    tTempDir dir;
    FillWorkDirectory(dir);
    MakeFile(dir / "logs/clients", "");   // empty: goes with -c
    tRunResult r = Mergator({"-c"}, dir.path);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    std::vector<std::string> after = ListTree(dir.path);
    for (const char *gone : {"logs/clients", "logs/unusable", "async/", "cache/", "telnet.htm", "web.url"})
        EXPECT_EQ(std::count(after.begin(), after.end(), gone), 0) << gone;
    for (const char *kept : {"logs/results", "logs/web", "list/mine.txt", "index2/sub/", "etc/groups.sq3",
                             "journal", "notes.txt", "newsrc3/1-journal"})
        EXPECT_EQ(std::count(after.begin(), after.end(), kept), 1) << kept;
}

TEST(MergatorWorkDirectory, DeleteAllKeepsTheConfigurationAndTheUsersFiles) {
    tTempDir dir;
    FillWorkDirectory(dir);
    tRunResult r = Mergator({"-C", "-d", dir.path}, "/");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ListTree(dir.path), (std::vector<std::string>{
                                     "etc/", "etc/filters.ini", "etc/mergator.ini", "etc/servdyna.ini",
                                     "etc/servers.ini", "index2/", "index2/sub/", "list/", "list/mine.txt",
                                     "notes.txt"}));
}

TEST(MergatorMigrationTool, TheFileNameChoosesThePersonality) {
    tTempDir bin;
    fs::create_symlink(MgProgram("mergator"), bin / "mgmigrat");
    fs::create_symlink(MgProgram("mergator"), bin / "MgMigrat");
    const std::string toolUsage =
        "Usage: mgmigrat [options]\n"
        "-d dir  Use this directory for all files instead of current one\n"
        "-h      Print this help and exit\n"
        "-v      Print name, version, copyright and exit\n"
        "-D      Delete old files and directories after migration\n"
        "-P      Proceed (if no other option specified)\n";

    tTempDir work;
    tRunResult r = RunProgram(bin / "mgmigrat", {}, work.path);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err.substr(0, 13), "MgMigrat 4.5 ");
    EXPECT_NE(r.err.find(toolUsage), std::string::npos) << r.err;

    r = RunProgram(bin / "mgmigrat", {"-h"}, work.path);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, toolUsage);

    r = RunProgram(bin / "mgmigrat", {"-c"}, work.path);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("Option -c is unknown.\n" + toolUsage), std::string::npos) << r.err;

    // A work directory without an installation is not created.
    r = RunProgram(bin / "mgmigrat", {"-P", "-d", "missing"}, work.path);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "Work directory 'missing' does not exist.\nDid not find a Mergator installation in 'missing'.\n");
    r = RunProgram(bin / "mgmigrat", {"-P"}, work.path);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_TRUE(ListTree(work.path).empty());

    // Nothing old to convert.
    MakeFile(work / "etc/servers.ini");
    r = RunProgram(bin / "mgmigrat", {"-P"}, work.path);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "No old files or directories were found to migrate.\nYou can start Mergator directly.\n");

    // Mixed case is the multiplexer itself.
    r = RunProgram(bin / "MgMigrat", {"-h"}, work.path);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out.substr(0, 28), "Usage: MgMigrat [options]\n-c");
}
