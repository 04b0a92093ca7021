#include "lib/ini.h"

#include "lib/diag.h"
#include "tests/support/paths.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdarg>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

namespace {

// A small table with one variable of every type and a repeated section.
int vInt, vLong, vPort, vNonNeg, vBool;
int64_t vLongLong;
char *vText;
tIniStringArray vList;
tIniIntArray vNumbers;
tDiag vDiag;
uint32_t vAddress;

const char *const listDefault[] = {"*", "!alt.*", nullptr};

const tIniEntry mainEntries[] = {
    {"count", &iniTypeInteger, IniVar(&vInt), IniDefInt(-5)},
    {"big", &iniTypeLong, IniVar(&vLong), IniDefInt(7)},
    {"huge", &iniTypeLongLong, IniVar(&vLongLong), IniDefInt(-1)},
    {"port", &iniTypeTcpPort, IniVar(&vPort), IniDefInt(119)},
    {"limit", &iniTypeNonNegative, IniVar(&vNonNeg), IniDefInt(16)},
    {"flag", &iniTypeBoolean, IniVar(&vBool), IniDefInt(1)},
    {"text", &iniTypeString, IniVar(&vText), IniDefText("Hello")},
    {"list", &iniTypeStringArray, IniVar(&vList), IniDefList(listDefault)},
    {"numbers", &iniTypeIntegerArray, IniVar(&vNumbers), 0},
    {"diag", &iniTypeDiagnostic, IniVar(&vDiag), IniDefInt(E_OK)},
    {"address", &iniTypeIpAddress, IniVar(&vAddress), (intptr_t)inet_addr("127.0.0.1")},
    {nullptr, nullptr, 0, 0},
};

struct tServerRecord {
    char *name;
    tIniIntArray ids;
    int weight;
    tIniStringArray ignored;
};

const tIniEntry serverEntries[] = {
    {"name", &iniTypeString, INI_FIELD(tServerRecord, name), IniDefText("unnamed")},
    {"ids", &iniTypeIntegerArray, INI_FIELD(tServerRecord, ids), 0},
    {"weight", &iniTypeInteger, INI_FIELD(tServerRecord, weight), IniDefInt(3)},
    {"ignored", &iniTypeStringArray, INI_FIELD(tServerRecord, ignored), 0},
    {nullptr, nullptr, 0, 0},
};

tIniSectionOps serverOps = {sizeof(tServerRecord), {},
                            IniInstancesNew, IniInstancesInit,
                            IniInstancesWriteAll, IniInstancesReleaseAll};

tIniSection testSections[] = {
    {"main", mainEntries, nullptr},
    {"server", serverEntries, &serverOps},
    {nullptr, nullptr, nullptr},
};

std::vector<std::string> reports;

void Collect(void *, const char *format, ...) {
    va_list args;
    va_start(args, format);
    char buf[4096];
    vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    reports.push_back(buf);
}

std::vector<std::string> Strings(const tIniStringArray &a) {
    std::vector<std::string> out;
    for (char **p = IniStrings(a); p && *p; p++) out.push_back(*p);
    return out;
}

std::vector<int> Ints(const tIniIntArray &a) {
    return std::vector<int>((int32_t *)a.array.buf, (int32_t *)a.array.buf + a.array.used);
}

tServerRecord *Server(int i) { return (tServerRecord *)IniInstance(&testSections[1], i); }

class Ini : public ::testing::Test {
protected:
    tTempDir dir;
    std::string path;
    tIniFile file{};

    void SetUp() override {
        path = dir / "test.ini";
        file = {nullptr, testSections, nullptr, 1};
        file.name = path.c_str();
        reports.clear();
        ASSERT_EQ(IniApplyDefaults(&file), 0);
    }
    void TearDown() override { IniRelease(&file); }

    // Writes content, applies the defaults and reads it.
    int Read(const std::string &content) {
        EXPECT_TRUE(WriteWholeFile(path, content));
        IniRelease(&file);
        EXPECT_EQ(IniApplyDefaults(&file), 0);
        reports.clear();
        return IniRead(&file, Collect, nullptr);
    }

    void ExpectDefaults() {
        EXPECT_EQ(vInt, -5);
        EXPECT_EQ(vLong, 7);
        EXPECT_EQ(vLongLong, -1);
        EXPECT_EQ(vPort, 119);
        EXPECT_EQ(vNonNeg, 16);
        EXPECT_EQ(vBool, 1);
        EXPECT_STREQ(vText, "Hello");
        EXPECT_EQ(Strings(vList), (std::vector<std::string>{"*", "!alt.*"}));
        EXPECT_TRUE(Ints(vNumbers).empty());
        EXPECT_EQ(vDiag, E_OK);
        EXPECT_EQ(vAddress, inet_addr("127.0.0.1"));
    }
};

TEST_F(Ini, ErrorTexts) {
    EXPECT_STREQ(IniErrorText(INI_WRITE_FAILED), "File write failed");
    EXPECT_STREQ(IniErrorText(INI_OUT_OF_RANGE), "Integer value outside of allowed range");
    EXPECT_STREQ(IniErrorText(INI_TRUNCATED_SECTION), "Truncated section separator");
    EXPECT_STREQ(IniErrorText(-83), "Error without string");
    EXPECT_STREQ(IniErrorText(-100), "Error without string");
}

TEST_F(Ini, DefaultsWrittenAndReadBackAreEqual) {
    ASSERT_EQ(IniWrite(&file), 0);
    EXPECT_EQ(ReadWholeFile(path),
              "[main]\ncount=-5\nbig=7\nhuge=-1\nport=119\nlimit=16\nflag=1\ntext=Hello\n"
              "list=*\nlist=!alt.*\ndiag=Ok\naddress=127.0.0.1\n\n");
    ASSERT_EQ(Read(ReadWholeFile(path)), 0);
    EXPECT_TRUE(reports.empty());
    ExpectDefaults();
}

TEST_F(Ini, EveryTypeSurvivesARoundTrip) {
    std::string content =
        "[main]\ncount=-2147483648\nbig=2147483647\nhuge=-9000000000\nport=65535\nlimit=0\n"
        "flag=0\ntext=Some text = with equals\nlist=a\nlist=b c\nnumbers=4\nnumbers=-1\n"
        "diag=Server overloaded\naddress=10.1.2.3\n\n"
        "[server]\nname=first\nids=1\nids=2\nweight=9\n\n"
        "[server]\nname=second\nweight=3\n\n";
    ASSERT_EQ(Read(content), 0);
    EXPECT_TRUE(reports.empty()) << reports[0];
    EXPECT_EQ(vInt, INT32_MIN);
    EXPECT_EQ(vLong, INT32_MAX);
    EXPECT_EQ(vLongLong, -9000000000LL);
    EXPECT_EQ(vPort, 65535);
    EXPECT_EQ(vNonNeg, 0);
    EXPECT_EQ(vBool, 0);
    EXPECT_STREQ(vText, "Some text = with equals");
    EXPECT_EQ(Strings(vList), (std::vector<std::string>{"a", "b c"}));
    EXPECT_EQ(Ints(vNumbers), (std::vector<int>{4, -1}));
    EXPECT_EQ(vDiag, E_SERVER_OVERLOADED);
    EXPECT_EQ(vAddress, inet_addr("10.1.2.3"));
    ASSERT_EQ(serverOps.instances.used, 2);
    EXPECT_STREQ(Server(0)->name, "first");
    EXPECT_EQ(Ints(Server(0)->ids), (std::vector<int>{1, 2}));
    EXPECT_STREQ(Server(1)->name, "second");
    EXPECT_TRUE(Ints(Server(1)->ids).empty());

    // Written back in table order, each instance as its own block.
    ASSERT_EQ(IniWrite(&file), 0);
    EXPECT_EQ(ReadWholeFile(path), content);
}

TEST_F(Ini, WithoutStoreDefaultsOnlyChangedScalarsAndArraysAreWritten) {
    ASSERT_EQ(Read("[main]\ncount=-5\nport=120\nTEXT=hello\n[server]\n"), 0);
    file.storeDefaults = 0;
    ASSERT_EQ(IniWrite(&file), 0);
    // count equals its default; the text compares without regard to case.
    EXPECT_EQ(ReadWholeFile(path), "[main]\nport=120\nlist=*\nlist=!alt.*\n\n[server]\n\n");
}

struct tBadLine {
    const char *line;
    const char *message;
};

TEST_F(Ini, BadKeyLinesAreReportedAndSkipped) {
    const std::string longValue(1500, 'x');
    const std::string longText = "text=" + longValue;
    const tBadLine cases[] = {
        {"port=70000",
         "Ignoring entry port of type tcp-port because Integer value outside of allowed range: port=70000"},
        {"port=0", "Ignoring entry port of type tcp-port because Integer value outside of allowed range: port=0"},
        {"port=abc",
         "Ignoring entry port of type tcp-port because Integer value outside of allowed range: port=abc"},
        {"port=4294967415",  // would wrap to 119 if read modulo 2^32
         "Ignoring entry port of type tcp-port because Integer value outside of allowed range: port=4294967415"},
        {"limit=-1",
         "Ignoring entry limit of type non-negative because Integer value outside of allowed range: limit=-1"},
        {"count = 1", "Ignoring line because Unknown entry name: count = 1"},
        {"verbose=1", "Ignoring line because Unknown entry name: verbose=1"},
        {"1count=2", "Ignoring line because Invalid key name: 1count=2"},
        {"=2", "Ignoring line because Invalid key name: =2"},
        {"count", "Ignoring line because Missing equal after key: count"},
        {longText.c_str(),
         nullptr},  // checked below: the value would be cut, so it is refused
    };
    for (const tBadLine &c : cases) {
        SCOPED_TRACE(std::string(c.line).substr(0, 40));
        EXPECT_EQ(Read(std::string("[main]\n") + c.line + "\n"), 0);
        ASSERT_EQ(reports.size(), 1u);
        if (c.message)
            EXPECT_EQ(reports[0], std::string(c.message) + "\n");
        else
            EXPECT_EQ(reports[0], "Ignoring entry text of type string because Invalid format: " +
                                      longText.substr(0, INI_LINE_BUFFER - 1) + "\n");
        ExpectDefaults();
    }
}

TEST_F(Ini, LooseNumbersReadAsAtoiDoes) {
    ASSERT_EQ(Read("[main]\ncount=  42abc\nbig=junk\nflag=yes\nhuge=12345678901234\n"
                   "address=not an address\ndiag=no such message\n"),
              0);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(vInt, 42);
    EXPECT_EQ(vLong, 0);
    EXPECT_EQ(vBool, 0);  // "yes" is not a number
    EXPECT_EQ(vLongLong, 12345678901234LL);
    EXPECT_EQ(vAddress, 0xFFFFFFFFu);
    EXPECT_EQ(vDiag, E_NONE);
    ASSERT_EQ(Read("[main]\nflag=-3\n"), 0);
    EXPECT_EQ(vBool, 1);
}

TEST_F(Ini, HeaderErrorsStopTheRead) {
    const tBadLine cases[] = {
        {"[main", "Truncated section separator: [main"},
        {"[main x]", "Missing right bracket: [main x]"},
        {"[main] x", "Junk after right bracket: [main] x"},
        {"[nosuch]", "Invalid section name: [nosuch]"},
        {"[]", "Invalid section name: []"},
    };
    const int codes[] = {INI_TRUNCATED_SECTION, INI_MISSING_BRACKET, INI_JUNK_AFTER_BRACKET,
                         INI_INVALID_SECTION, INI_INVALID_SECTION};
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(cases[i].line);
        EXPECT_EQ(Read(std::string("[main]\ncount=1\n") + cases[i].line + "\ncount=2\n"), codes[i]);
        EXPECT_EQ(reports, (std::vector<std::string>{std::string(cases[i].message) + "\n"}));
        EXPECT_EQ(vInt, 1);  // nothing after the bad header was read
    }
    EXPECT_EQ(Read("count=1\n[main]\n"), INI_NOT_IN_SECTION);
    EXPECT_EQ(reports, (std::vector<std::string>{"Not in a section: count=1\n"}));
    EXPECT_EQ(vInt, -5);
}

TEST_F(Ini, HeadersAcceptBlanksCommentsAndAnyCase) {
    ASSERT_EQ(Read("  ; comment\n# another\n\n[ MAIN ] ; note\nCOUNT=1\n[Main]# x\nPort=2\n"), 0);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(vInt, 1);
    EXPECT_EQ(vPort, 2);
}

TEST_F(Ini, RepeatedKeysLastWinsAndListsAccumulate) {
    ASSERT_EQ(Read("[main]\ncount=1\nlist=x\ncount=2\nlist=y\nnumbers=5\n[main]\nlist=z\nnumbers=6\n"), 0);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(vInt, 2);
    EXPECT_EQ(Strings(vList), (std::vector<std::string>{"x", "y", "z"}));
    EXPECT_EQ(Ints(vNumbers), (std::vector<int>{5, 6}));
    // An empty string value clears the text.
    ASSERT_EQ(Read("[main]\ntext=\n"), 0);
    EXPECT_EQ(vText, nullptr);
}

TEST_F(Ini, LineEndsAndBlanks) {
    ASSERT_EQ(Read("[main]\r\ncount=1\r\ntext=  padded value \t\r\nlist=a\r\n"), 0);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(vInt, 1);
    EXPECT_STREQ(vText, "padded value");
    EXPECT_EQ(Strings(vList), (std::vector<std::string>{"a"}));
    ASSERT_EQ(Read("[main]\ncount=3"), 0);  // no final line end
    EXPECT_EQ(vInt, 3);
    ASSERT_EQ(Read(""), 0);
    ExpectDefaults();
}

TEST_F(Ini, LongLinesAreCutNotMisread) {
    // A 1023-character line is whole; a longer comment is dropped whole; the
    // tail of a long line never becomes a line of its own.
    std::string exact = "text=" + std::string(INI_LINE_BUFFER - 1 - 5, 'y');
    std::string longComment = ";" + std::string(2000, 'c') + "count=9";
    std::string longUnknown = "other=" + std::string(1500, 'u') + "\ncount=4";
    ASSERT_EQ(Read("[main]\n" + exact + "\n" + longComment + "\n" + longUnknown + "\n"), 0);
    EXPECT_EQ(std::string(vText), exact.substr(5));
    EXPECT_EQ(vInt, 4);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].rfind("Ignoring line because Unknown entry name: other=uuu", 0), 0u);
}

TEST_F(Ini, UnknownLinesGoToTheIgnoredEntry) {
    ASSERT_EQ(Read("[server]\nname=a\nfoo=bar\n[server]\nweight=2\nbaz = 1\n"), 0);
    EXPECT_EQ(reports, (std::vector<std::string>{"Ignoring line because Unknown entry name: foo=bar\n",
                                                 "Ignoring line because Unknown entry name: baz = 1\n"}));
    ASSERT_EQ(serverOps.instances.used, 2);
    EXPECT_EQ(Strings(Server(0)->ignored), (std::vector<std::string>{"foo=bar"}));
    EXPECT_STREQ(Server(1)->name, "unnamed");
    EXPECT_EQ(Server(1)->weight, 2);
    EXPECT_EQ(Strings(Server(1)->ignored), (std::vector<std::string>{"baz = 1"}));
}

TEST_F(Ini, ArrayDefaultsMustBeEmpty) {
    static int32_t dummy[2];
    static tIniIntArray wrong;
    static const tIniEntry entries[] = {{"n", &iniTypeIntegerArray, IniVar(&wrong), (intptr_t)dummy},
                                        {nullptr, nullptr, 0, 0}};
    static tIniSection sections[] = {{"s", entries, nullptr}, {nullptr, nullptr, nullptr}};
    tIniFile bad = {path.c_str(), sections, nullptr, 1};
    EXPECT_EQ(IniApplyDefaults(&bad), INI_DEFAULT_NOT_ALLOWED);
    IniRelease(&bad);
}

TEST_F(Ini, JunkAndHugeFilesNeitherCrashNorHang) {
    // Random bytes after a valid header: every line is reported or taken,
    // nothing stops the read.
    std::string junk = "[main]\n";
    unsigned seed = 12345;
    for (int i = 0; i < 200000; i++) {
        seed = seed * 1103515245u + 12345u;
        char c = (char)(seed >> 16);
        junk += c == '[' ? 'x' : c;  // a bad header would (rightly) stop the read
    }
    EXPECT_EQ(Read(junk), 0);
    // Junk from the first byte stops at once.
    EXPECT_NE(Read(std::string("\x01\x02\x00\xff=\x80\n", 7) + junk), 0);
    EXPECT_EQ(reports.size(), 1u);
    // Many lines: the last value wins, lists keep everything.
    std::string huge = "[main]\n";
    for (int i = 0; i < 100000; i++) huge += "count=" + std::to_string(i) + "\nlist=" + std::to_string(i) + "\n";
    ASSERT_EQ(Read(huge), 0);
    EXPECT_EQ(vInt, 99999);
    EXPECT_EQ(IniStringCount(vList), 100000);
}

TEST_F(Ini, WriteReplacesTheFileOnlyWhenComplete) {
    ASSERT_TRUE(WriteWholeFile(path, "[main]\ncount=1\n"));
    // A file size limit makes the write fail half-way in a child process.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {40, 40};
        setrlimit(RLIMIT_FSIZE, &lim);
        for (int i = 0; i < 100; i++) (void)iniTypeStringArray.parse(&mainEntries[7], nullptr, "long text");
        _exit(IniWrite(&file) == INI_WRITE_FAILED ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadWholeFile(path), "[main]\ncount=1\n");
    auto entries = std::filesystem::directory_iterator(dir.path);
    EXPECT_EQ(std::distance(begin(entries), end(entries)), 1);  // no temporary file left behind

    EXPECT_EQ(IniWrite(&file), 0);
    EXPECT_EQ(ReadWholeFile(path).substr(0, 17), "[main]\ncount=-5\nb");
    file.name = "/nonexistent-dir/x.ini";
    EXPECT_EQ(IniWrite(&file), INI_CANNOT_SAVE);
}

// IniLoad reports to a tLog; the journal text is checked.
class IniLoadTest : public Ini {
protected:
    tLog log{};
    std::string logPath;
    void SetUp() override {
        Ini::SetUp();
        timeStampLogs = 0;
        logPath = dir / "journal";
        ASSERT_EQ(LogOpen(&log, logPath.c_str(), 204800), E_OK);
    }
    void TearDown() override {
        LogClose(&log);
        timeStampLogs = 1;
        Ini::TearDown();
    }
    std::string Journal() {
        std::string text = ReadWholeFile(logPath);
        size_t date = text.find("Date: ");
        size_t start = text.find('\n', date);
        return text.substr(start + 1);
    }
};

TEST_F(IniLoadTest, MissingFileIsCreatedWithDefaults) {
    vInt = 99;
    ASSERT_EQ(IniLoad(&file, &log, 1), 0);
    EXPECT_EQ(Journal(), "Created the " + path + " file.\n");
    ExpectDefaults();
    EXPECT_EQ(file.storeDefaults, 1);
    EXPECT_NE(ReadWholeFile(path).find("count=-5\n"), std::string::npos);

    // Without storing defaults only the non-default scalars and the arrays.
    std::filesystem::remove(path);
    IniRelease(&file);
    ASSERT_EQ(IniLoad(&file, &log, 0), 0);
    EXPECT_EQ(ReadWholeFile(path), "[main]\nlist=*\nlist=!alt.*\n\n");
}

TEST_F(IniLoadTest, Failures) {
    ASSERT_TRUE(WriteWholeFile(path, "port=70000\n[main]\n"));
    EXPECT_EQ(IniLoad(&file, &log, 1), -1);
    EXPECT_EQ(Journal(), "Not in a section: port=70000\nCould not read the " + path +
                             " file: Not in a section\n");
    EXPECT_EQ(vText, nullptr);  // released

    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    EXPECT_EQ(IniLoad(&file, &log, 1), -1);
    EXPECT_NE(Journal().find("Could not read the " + path + " file, but the file exists.\n"), std::string::npos);

    std::string missing = dir / "no/such.ini";
    file.name = missing.c_str();
    EXPECT_EQ(IniLoad(&file, &log, 1), -1);
    EXPECT_NE(Journal().find("Could not create the " + missing + " file.\n"), std::string::npos);
    file.name = path.c_str();
}

TEST_F(IniLoadTest, BadEntriesAreReportedToTheLog) {
    ASSERT_TRUE(WriteWholeFile(path, "[main]\nport=70000\nverbose = 1\ncount=8\n"));
    ASSERT_EQ(IniLoad(&file, &log, 1), 0);
    EXPECT_EQ(Journal(),
              "Ignoring entry port of type tcp-port because Integer value outside of allowed range: port=70000\n"
              "Ignoring line because Unknown entry name: verbose = 1\n");
    EXPECT_EQ(vPort, 119);
    EXPECT_EQ(vInt, 8);
}

}  // namespace
