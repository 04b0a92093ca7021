#include "lib/appendlog.h"
#include "lib/diag.h"
#include "lib/log.h"
#include "lib/shutdown.h"
#include "tests/support/paths.h"

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

struct tFixture {
    tTempDir dir;
    tLog journal{};
    tAppendLog shared{};
    tFixture() { EXPECT_EQ(LogOpen(&journal, (dir / "journal").c_str(), 204800), E_OK); }
    ~tFixture() {
        AppendLogRelease(&shared);
        LogClose(&journal);
    }
    std::string Journal() { return ReadWholeFile(dir / "journal"); }
};

}  // namespace

TEST(AppendFile, AppendsAndChecksSizes) {
    tTempDir dir;
    std::string target = dir / "target", source = dir / "source";
    std::string big(40000, 'x');  // three chunks
    for (size_t i = 0; i < big.size(); i += 97) big[i] = '\n';
    ASSERT_TRUE(WriteWholeFile(source, big));
    EXPECT_EQ(AppendFile(target.c_str(), source.c_str()), 0);  // created when absent
    EXPECT_EQ(AppendFile(target.c_str(), source.c_str()), 0);
    EXPECT_EQ(ReadWholeFile(target), big + big);
    struct tCase {
        std::string target, source;
        int err;
    } cases[] = {
        {target, dir / "absent", ELIB_SOURCE_SIZE},
        {dir / "no/dir/t", source, ELIB_TARGET_OPEN},
        {dir.path, source, ELIB_TARGET_OPEN},  // a directory
    };
    for (const tCase &c : cases) {
        SCOPED_TRACE(c.target + " <- " + c.source);
        errno = 0;
        EXPECT_EQ(AppendFile(c.target.c_str(), c.source.c_str()), -1);
        EXPECT_EQ(errno, c.err);
    }
    EXPECT_EQ(ReadWholeFile(target).size(), 2 * big.size());
}

TEST(AppendLog, InitChecksPathAndFile) {
    tFixture f;
    EXPECT_EQ(AppendLogInit(&f.shared, std::string(128, 'p').c_str(), &f.journal, 0), E_PATH_TOO_LONG);
    std::string bad = f.dir / "no/dir/clients";
    EXPECT_EQ(AppendLogInit(&f.shared, bad.c_str(), &f.journal, 0), E_CANNOT_OPEN_FILE);
    EXPECT_NE(f.Journal().find("Could not init the '" + bad + "' file.\n"), std::string::npos);
    ASSERT_EQ(AppendLogInit(&f.shared, (f.dir / "clients").c_str(), &f.journal, 0), E_OK);
    EXPECT_EQ(access((f.dir / "clients").c_str(), F_OK), 0);  // created
}

TEST(AppendLog, AppendsRemovesAndRotates) {
    tFixture f;
    std::string shared = f.dir / "clients", source = f.dir / "cli-1";
    ASSERT_EQ(AppendLogInit(&f.shared, shared.c_str(), &f.journal, 100), E_OK);
    ASSERT_TRUE(WriteWholeFile(source, std::string(80, 'a')));
    EXPECT_EQ(AppendLogAdd(&f.shared, source.c_str()), 0);
    EXPECT_NE(access(source.c_str(), F_OK), 0);
    ASSERT_TRUE(WriteWholeFile(source, std::string(80, 'b')));
    EXPECT_EQ(AppendLogAdd(&f.shared, source.c_str()), 0);  // 80 is not above 100: appended
    EXPECT_EQ(ReadWholeFile(shared), std::string(80, 'a') + std::string(80, 'b'));
    ASSERT_TRUE(WriteWholeFile(source, "c"));
    EXPECT_EQ(AppendLogAdd(&f.shared, source.c_str()), 0);  // 160 is: rotated first
    EXPECT_EQ(ReadWholeFile(shared), "c");
    EXPECT_EQ(ReadWholeFile(shared + ".bak"), std::string(80, 'a') + std::string(80, 'b'));

    // A 0-byte source appends nothing and is removed.
    ASSERT_TRUE(WriteWholeFile(source, ""));
    EXPECT_EQ(AppendLogAdd(&f.shared, source.c_str()), 0);
    EXPECT_EQ(ReadWholeFile(shared), "c");
    EXPECT_NE(access(source.c_str(), F_OK), 0);
    EXPECT_EQ(f.Journal().find("Could not"), std::string::npos);

    // A missing source is a size failure: abandoned at once.
    EXPECT_EQ(AppendLogAdd(&f.shared, source.c_str()), -1);
    EXPECT_NE(f.Journal().find("Could not append '" + source + "' to '" + shared +
                               "': Could not obtain size of source file. Abandoning.\n"),
              std::string::npos)
        << f.Journal();
}

// The shared log cannot be opened for a while (a directory stands in its
// place): the appender retries until it can, and loses nothing.
TEST(AppendLog, RetriesUntilTheSharedLogCanBeWritten) {
    tFixture f;
    std::string shared = f.dir / "summary", source = f.dir / "async.log";
    ASSERT_EQ(AppendLogInit(&f.shared, shared.c_str(), &f.journal, 0), E_OK);
    ASSERT_EQ(unlink(shared.c_str()), 0);
    ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
    ASSERT_TRUE(WriteWholeFile(source, "retrieval log\n"));
    std::thread unblock([&] {
        // Wait (bounded) for the first failure to be reported, then clear the way.
        for (int i = 0; i < 6000 && f.Journal().find("Will retry.") == std::string::npos; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        rmdir(shared.c_str());
    });
    EXPECT_EQ(AppendLogAdd(&f.shared, source.c_str()), 0);
    unblock.join();
    EXPECT_EQ(ReadWholeFile(shared), "retrieval log\n");
    EXPECT_NE(access(source.c_str(), F_OK), 0);
    std::string j = f.Journal();
    EXPECT_NE(j.find("Could not append '" + source + "' to '" + shared + "': Could not open target file. Will retry.\n"),
              std::string::npos)
        << j;
    EXPECT_NE(j.find("File '" + source + "' appended to '" + shared + "' after "), std::string::npos) << j;
    EXPECT_NE(j.find(" retries.\n"), std::string::npos);
}

TEST(AppendLog, ShutdownLeavesTheSourceInPlace) {
    tFixture f;
    std::string shared = f.dir / "web", source = f.dir / "web-1";
    ASSERT_EQ(AppendLogInit(&f.shared, shared.c_str(), &f.journal, 0), E_OK);
    ASSERT_EQ(unlink(shared.c_str()), 0);
    ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
    ASSERT_TRUE(WriteWholeFile(source, "kept"));
    RequestShutdown(5);
    EXPECT_EQ(AppendLogAdd(&f.shared, source.c_str()), -1);
    ShutdownReset();
    EXPECT_EQ(ReadWholeFile(source), "kept");
    std::string j = f.Journal();
    EXPECT_NE(j.find("Will retry.\n"), std::string::npos);
    EXPECT_NE(j.find("Shutdown when appending file to global log.\n"), std::string::npos);
    EXPECT_NE(j.find("Not appending '" + source + "' to '" + shared + "'.\n"), std::string::npos);
}
