// Test support for the store: a fresh work directory that the test runs in
// (the store's paths are relative to it), with a journal whose text the test
// can read.
#pragma once

#include "lib/log.h"
#include "tests/support/paths.h"

#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

struct tStoreDir {
    tTempDir dir;
    tLog log;
    char old[4096];
    tStoreDir() {
        if (!getcwd(old, sizeof old)) old[0] = '\0';
        EXPECT_EQ(chdir(dir.path.c_str()), 0);
        EXPECT_EQ(LogOpen(&log, "journal", 1 << 20), 0);
    }
    ~tStoreDir() {
        LogClose(&log);
        EXPECT_EQ(chdir(old), 0);
    }
    tStoreDir(const tStoreDir &) = delete;
    tStoreDir &operator=(const tStoreDir &) = delete;
    // Everything written to the journal so far.
    std::string Journal() const { return ReadWholeFile(dir / "journal"); }
    // Creates an empty file (and its directory) in the work directory.
    bool Touch(const std::string &path) {
        size_t slash = path.rfind('/');
        if (slash != std::string::npos) (void)mkdir(path.substr(0, slash).c_str(), 0755);
        return WriteWholeFile(dir / path, "");
    }
};
