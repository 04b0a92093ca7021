#include "lib/files.h"
#include "lib/log.h"
#include "lib/shortcut.h"
#include "tests/support/paths.h"

#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// Runs the test body inside dir, coming back afterwards.
struct tInDir {
    char old[4096];
    explicit tInDir(const std::string &dir) {
        if (!getcwd(old, sizeof old)) old[0] = '\0';
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    ~tInDir() { EXPECT_EQ(chdir(old), 0); }
};

}  // namespace

TEST(Files, ExistsAndRemoveIfEmpty) {
    tTempDir dir;
    std::string empty = dir / "empty", full = dir / "full";
    ASSERT_TRUE(WriteWholeFile(empty, ""));
    ASSERT_TRUE(WriteWholeFile(full, "x"));
    EXPECT_TRUE(FileExists(empty.c_str()));
    EXPECT_FALSE(FileExists((dir / "absent").c_str()));
    EXPECT_TRUE(FileExists((full + "/below").c_str()));  // fails, but not with "no such file"
    EXPECT_EQ(RemoveIfEmpty(full.c_str()), 1);
    EXPECT_EQ(RemoveIfEmpty(empty.c_str()), 0);
    EXPECT_FALSE(FileExists(empty.c_str()));
    EXPECT_EQ(RemoveIfEmpty(empty.c_str()), -1);
}

TEST(Files, CreateDirectoryChecked) {
    tTempDir dir;
    tLog log;
    ASSERT_EQ(LogOpen(&log, (dir / "journal").c_str(), 204800), E_OK);
    EXPECT_EQ(CreateDirectoryChecked((dir / "logs").c_str(), &log), E_OK);
    EXPECT_EQ(CreateDirectoryChecked((dir / "logs").c_str(), &log), E_OK);  // already there
    ASSERT_TRUE(WriteWholeFile(dir / "index2", "a file in the way"));
    EXPECT_EQ(CreateDirectoryChecked((dir / "index2").c_str(), &log), E_CANNOT_CREATE_DIR);
    EXPECT_EQ(CreateDirectoryChecked((dir / "a/b").c_str(), nullptr), E_CANNOT_CREATE_DIR);
    LogClose(&log);
    std::string text = ReadWholeFile(dir / "journal");
    EXPECT_NE(text.find("Could not create the '" + (dir / "index2") + "' directory.\n"), std::string::npos);
}

TEST(Files, FlushToDisk) {
    tTempDir dir;
    FILE *f = fopen((dir / "f").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("data", f);
    EXPECT_EQ(FileFlushToDisk(f), 0);
    EXPECT_EQ(ReadWholeFile(dir / "f"), "data");
    fclose(f);
}

TEST(Files, OldLayoutPresent) {
    tTempDir dir;
    tInDir in(dir.path);
    ASSERT_EQ(mkdir("etc", 0777), 0);
    ASSERT_TRUE(WriteWholeFile("etc/mergator.ini", ""));
    ASSERT_EQ(mkdir("index2", 0777), 0);
    EXPECT_FALSE(OldLayoutPresent());
    for (const char *name : {"etc/popular.ini", "newsrc2", "etc/scheduld"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(WriteWholeFile(name, ""));
        EXPECT_TRUE(OldLayoutPresent());
        unlink(name);
    }
    ASSERT_EQ(mkdir("dataset2", 0777), 0);
    EXPECT_TRUE(OldLayoutPresent());
}

TEST(Shortcut, SixFiles) {
    tTempDir dir;
    tInDir in(dir.path);
    ASSERT_TRUE(WriteWholeFile("news.url", "stale contents that are longer than the new ones......."));
    EXPECT_EQ(WriteShortcut("telnet.url", SHORTCUT_TELNET, 119, 1), 0);
    EXPECT_EQ(WriteShortcut("news.url", SHORTCUT_NEWS, 119, 1), 0);
    EXPECT_EQ(WriteShortcut("web.url", SHORTCUT_HTTP, 8080, 1), 0);
    EXPECT_EQ(WriteShortcut("telnet.htm", SHORTCUT_TELNET, 119, 0), 0);
    EXPECT_EQ(WriteShortcut("news.htm", SHORTCUT_NEWS, 1119, 0), 0);
    EXPECT_EQ(WriteShortcut("web.htm", SHORTCUT_HTTP, 80, 0), 0);
    EXPECT_EQ(ReadWholeFile("telnet.url"), "[InternetShortcut]\nURL=telnet://localhost:119\n");
    EXPECT_EQ(ReadWholeFile("news.url"), "[InternetShortcut]\nURL=news://localhost\n");
    EXPECT_EQ(ReadWholeFile("web.url"), "[InternetShortcut]\nURL=http://localhost:8080\n");
    const char *script = "</head><body><script language=\"JavaScript\">\nwindow.location.href=\"";
    EXPECT_EQ(ReadWholeFile("news.htm"),
              std::string("<html><head>\n") + script + "news://localhost:1119\";\n</script></body></html>\n");
    EXPECT_EQ(ReadWholeFile("web.htm"), std::string("<html><head>\n") +
                                            "<meta http-equiv=\"refresh\" content=\"0;url=http://localhost\">\n" +
                                            script + "http://localhost\";\n</script></body></html>\n");
    EXPECT_EQ(WriteShortcut("missing/web.url", SHORTCUT_HTTP, 80, 1), -1);
}
