#include "lib/dirwalk.h"
#include "tests/support/paths.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct tSeen {
    std::vector<std::string> paths;
    int stopAt = -1;  // return -7 on this call
};

int Record(const char *path, void *context) {
    tSeen *seen = static_cast<tSeen *>(context);
    seen->paths.push_back(path);
    if ((int)seen->paths.size() == seen->stopAt) return -7;
    return 0;
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// A tree: sub/a.hdr, sub/b.txt, sub/c.HDR, sub/d1/e.hdr, sub/d2.hdr/ (a directory)
struct tTree {
    tTempDir dir;
    char old[4096];
    tTree() {
        EXPECT_NE(getcwd(old, sizeof old), nullptr);
        EXPECT_EQ(chdir(dir.path.c_str()), 0);
        mkdir("sub", 0777);
        mkdir("sub/d1", 0777);
        mkdir("sub/d2.hdr", 0777);
        WriteWholeFile("sub/a.hdr", "");
        WriteWholeFile("sub/b.txt", "");
        WriteWholeFile("sub/c.HDR", "");
        WriteWholeFile("sub/d1/e.hdr", "");
    }
    ~tTree() { EXPECT_EQ(chdir(old), 0); }
};

}  // namespace

TEST(DirWalk, PatternsFlagsAndRecursion) {
    tTree tree;
    const char *hdr[] = {"*.hdr", nullptr};
    struct tCase {
        const char *dir;
        const char *const *patterns;
        int flags;
        std::vector<std::string> want;
    } cases[] = {
        {"sub", hdr, 0, {"sub/a.hdr", "sub/c.HDR"}},
        {"sub", hdr, DW_DIRECTORIES, {"sub/d2.hdr"}},
        {"sub", nullptr, DW_DIRECTORIES, {"sub/d1", "sub/d2.hdr"}},
        {"sub", hdr, DW_RECURSE, {"sub/a.hdr", "sub/c.HDR", "sub/d1/e.hdr"}},
        {"sub/", hdr, DW_RECURSE, {"sub//a.hdr", "sub//c.HDR", "sub/d1/e.hdr"}},
        {"sub", nullptr, 0, {"sub/a.hdr", "sub/b.txt", "sub/c.HDR"}},
        {"sub", nullptr, DW_EMPTY_NO_MATCH, {}},
    };
    for (const tCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.dir << " flags " << c.flags);
        tSeen seen;
        EXPECT_EQ(DirWalk(c.dir, c.patterns, c.flags, Record, &seen), 0);
        EXPECT_EQ(Sorted(seen.paths), c.want);
    }
    // No directory: bare names, recursion below the current directory.
    ASSERT_EQ(chdir("sub"), 0);
    tSeen seen;
    EXPECT_EQ(DirWalk(nullptr, hdr, DW_RECURSE, Record, &seen), 0);
    EXPECT_EQ(Sorted(seen.paths), (std::vector<std::string>{"a.hdr", "c.HDR", "d1/e.hdr"}));
    ASSERT_EQ(chdir(".."), 0);
}

TEST(DirWalk, SinglePlainNameIsNotListed) {
    tTree tree;
    const char *one[] = {"x.txt", nullptr};
    tSeen seen;
    EXPECT_EQ(DirWalk("", one, 0, Record, &seen), 0);
    EXPECT_EQ(DirWalk("sub", one, 0, Record, &seen), 0);
    EXPECT_EQ(seen.paths, (std::vector<std::string>{"x.txt", "sub/x.txt"}));
    seen.paths.clear();
    seen.stopAt = 1;
    EXPECT_EQ(DirWalk(nullptr, one, 0, Record, &seen), -7);  // the callback's result
    // With recursion the name is looked for in every directory.
    const char *e[] = {"e.hdr", nullptr};
    seen = tSeen{};
    EXPECT_EQ(DirWalk("sub", e, DW_RECURSE, Record, &seen), 0);
    EXPECT_EQ(seen.paths, (std::vector<std::string>{"sub/d1/e.hdr"}));
}

TEST(DirWalk, NegativeCallbackEndsTheWalk) {
    tTree tree;
    tSeen seen;
    seen.stopAt = 2;
    EXPECT_EQ(DirWalk("sub", nullptr, DW_RECURSE, Record, &seen), -7);
    EXPECT_EQ(seen.paths.size(), 2u);
}

namespace {
// Renames every file it is given; the listing may show the new names later,
// and each of those is handled once.
int Rename(const char *path, void *context) {
    Record(path, context);
    std::string to = std::string(path) + ".x";
    if (to.size() < 40) rename(path, to.c_str());
    return 0;
}
}  // namespace

TEST(DirWalk, RenamedFilesAreHandledOnce) {
    tTempDir dir;
    for (int i = 0; i < 50; i++) WriteWholeFile(dir / ("f" + std::to_string(i)), "");
    tSeen seen;
    EXPECT_EQ(DirWalk(dir.path.c_str(), nullptr, 0, Rename, &seen), 0);
    std::vector<std::string> s = Sorted(seen.paths);
    EXPECT_EQ(std::unique(s.begin(), s.end()), s.end());
    EXPECT_GE(s.size(), 50u);
}

TEST(DirWalk, UnlistableDirectories) {
    tTempDir dir;
    const char *any[] = {"*", nullptr};
    std::string missing = dir / "missing";
    std::string notDir = dir / "plain";
    ASSERT_TRUE(WriteWholeFile(notDir, ""));
    std::string out = dir / "out";
    // Run in a child so that its standard output can be captured.
    std::string locked = dir / "locked";
    ASSERT_EQ(mkdir(locked.c_str(), 0), 0);
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    auto run = [&](const std::string &target, int flags) {
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            if (!freopen(out.c_str(), "w", stdout)) _exit(99);
            if (getuid() == 0 && setuid(65534) != 0) _exit(98);  // root reads everything
            tSeen seen;
            int rc = DirWalk(target.c_str(), any, flags, Record, &seen);
            fflush(stdout);
            _exit(rc == 0 ? 0 : rc == -1 ? 1 : 2);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(run(missing, 0), 1);
    EXPECT_EQ(ReadWholeFile(out), "");  // a missing directory: silent
    EXPECT_EQ(run(missing, DW_UNLISTABLE_OK), 0);
    EXPECT_EQ(run(notDir, 0), 1);
    std::string line = "Error: directory '" + notDir + "' is not accessible.\n";
    EXPECT_EQ(ReadWholeFile(out), line + line + line);
    EXPECT_EQ(run(notDir, DW_UNLISTABLE_OK), 0);
    line = "Warning: directory '" + notDir + "' is not accessible.\n";
    EXPECT_EQ(ReadWholeFile(out), line + line + line);
    // A directory without permissions.
    EXPECT_EQ(run(locked, 0), 1);
    line = "Error: directory '" + locked + "' is not accessible.\n";
    EXPECT_EQ(ReadWholeFile(out), line + line + line);
    // A listing path beyond 260 characters.
    EXPECT_EQ(run(std::string(300, 'd'), DW_UNLISTABLE_OK), 1);
}
