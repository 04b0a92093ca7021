#include "lib/diag.h"
#include "lib/dynarray.h"
#include "tests/support/paths.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

TEST(DynArray, GrowthFollowsIncrementOrDoubling) {
    struct tCase {
        int increment, flags, used, size, grow, wantSize;
    } cases[] = {
        {10, 0, 0, 0, 3, 10},           // fresh: at least increment
        {10, 0, 0, 0, 25, 25},          // fresh: exactly what is asked when more
        {10, DA_DOUBLE, 10, 10, 1, 20},
        {10, DA_DOUBLE, 16, 16, 40, 64},  // 16 -> 32 -> 64
        {10, 0, 10, 10, 15, 30},        // by increments
        {10, 0, 5, 10, 5, 10},          // room already
    };
    for (const tCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.increment << "/" << c.flags << "/" << c.used << "+" << c.grow);
        tDynArray da;
        DynArrayInit(&da, 4, c.increment, c.flags);
        if (c.size) {
            ASSERT_EQ(DynArrayGrow(&da, c.size), 0);
            ASSERT_EQ(da.size, c.size);
            da.used = c.used;
        }
        ASSERT_EQ(DynArrayGrow(&da, c.grow), 0);
        EXPECT_EQ(da.size, c.wantSize);
        EXPECT_EQ(da.used, c.used);
        DynArrayFree(&da);
        EXPECT_EQ(da.buf, nullptr);
        EXPECT_EQ(da.size, 0);
    }
}

TEST(DynArray, StatisticsCountEnlargements) {
    tDynArray da;
    DynArrayInit(&da, 1, 1, 0);
    ASSERT_EQ(DynArrayGrow(&da, 1), 0);  // first allocation is not an enlargement
    EXPECT_EQ(da.reallocCount, 0);
    da.used = 1;
    ASSERT_EQ(DynArrayGrow(&da, 3), 0);  // three steps of one, one reallocation
    EXPECT_EQ(da.size, 4);
    EXPECT_EQ(da.reallocCount, 1);
    EXPECT_LE(da.moveCount, 1);
    DynArrayFree(&da);
}

TEST(DynArray, ImpossibleSizeFailsAndLeavesArrayIntact) {
    tDynArray da;
    DynArrayInit(&da, 1 << 20, 1, 0);
    ASSERT_EQ(DynArrayGrow(&da, 2), 0);
    void *old = da.buf;
    errno = 0;
    EXPECT_EQ(DynArrayGrow(&da, 1 << 20), -1);  // 2^40 bytes
    EXPECT_EQ(errno, ELIB_OUT_OF_MEMORY);
    EXPECT_EQ(da.buf, old);
    EXPECT_EQ(da.size, 2);
    DynArrayFree(&da);
}

TEST(DynArray, RemoveAndShrink) {
    tDynArray da;
    DynArrayInit(&da, sizeof(int), 8, 0);
    ASSERT_EQ(DynArrayGrow(&da, 5), 0);
    int *v = static_cast<int *>(da.buf);
    for (int i = 0; i < 5; i++) v[i] = i;
    da.used = 5;
    DynArrayRemove(&da, 1);
    DynArrayRemove(&da, 3);  // the last one
    v = static_cast<int *>(da.buf);
    ASSERT_EQ(da.used, 3);
    EXPECT_EQ(v[0], 0);
    EXPECT_EQ(v[1], 2);
    EXPECT_EQ(v[2], 3);
    DynArrayShrink(&da);
    EXPECT_EQ(da.size, 3);
    EXPECT_EQ(static_cast<int *>(da.buf)[2], 3);
    da.used = 0;
    DynArrayShrink(&da);
    EXPECT_EQ(da.buf, nullptr);
    EXPECT_EQ(da.size, 0);
}

TEST(DynArray, PointerArrayOwnsCopiesAndNulls) {
    tDynArray da;
    DynArrayInit(&da, sizeof(char *), 2, 0);
    char text[] = "Alpha";
    ASSERT_EQ(DynArrayAddPointerCopy(&da, text), 0);
    ASSERT_EQ(DynArrayAddPointerCopy(&da, nullptr), 0);
    ASSERT_EQ(DynArrayAddPointerCopy(&da, "beta"), 0);
    text[0] = 'X';
    ASSERT_EQ(da.used, 3);
    EXPECT_STREQ(DynArrayPointer(&da, 0), "Alpha");
    EXPECT_EQ(DynArrayPointer(&da, 1), nullptr);
    EXPECT_TRUE(StringArrayContains(&da, "Alpha", 1));
    EXPECT_FALSE(StringArrayContains(&da, "ALPHA", 1));
    EXPECT_TRUE(StringArrayContains(&da, "ALPHA", 0));
    EXPECT_TRUE(StringArrayContains(&da, "Beta", 0));
    EXPECT_FALSE(StringArrayContains(&da, "gamma", 0));
    DynArrayFreePointers(&da);  // ASan checks that every copy is released
    EXPECT_EQ(da.used, 0);
}

TEST(DynArray, JoinedSetKeepsWholeNamesOnce) {
    tDynArray set;
    DynArrayInit(&set, 1, 16, 0);
    EXPECT_EQ(JoinedSetAdd(&set, "a", '/'), 0);
    EXPECT_EQ(JoinedSetAdd(&set, "b", '/'), 0);
    EXPECT_EQ(JoinedSetAdd(&set, "c", '/'), 0);
    EXPECT_STREQ(static_cast<char *>(set.buf), "a/b/c");
    EXPECT_EQ(JoinedSetAdd(&set, "b", '/'), 1);
    EXPECT_EQ(JoinedSetAdd(&set, "bc", '/'), 0);  // a prefix of nothing whole
    EXPECT_STREQ(static_cast<char *>(set.buf), "a/b/c/bc");
    EXPECT_EQ(CountFields(&set, '/'), 4);
    EXPECT_EQ(JoinedSetAdd(&set, "c", '/'), 1);

    const char *list = "ab/b/abc";
    EXPECT_EQ(JoinedFind(list, "b", '/'), list + 3);
    EXPECT_EQ(JoinedFind(list, "abc", '/'), list + 5);
    EXPECT_EQ(JoinedFind(list, "bc", '/'), nullptr);
    EXPECT_EQ(JoinedFind(list, "a", '/'), nullptr);
    EXPECT_EQ(JoinedFind(nullptr, "a", '/'), nullptr);
    DynArrayFree(&set);
    EXPECT_EQ(CountFields(&set, '/'), 0);
}

TEST(DynArrayDeathTest, CountFieldsOfUnterminatedBufferPanics) {
    tTempDir dir;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    tDynArray da;
    DynArrayInit(&da, 1, 4, 0);
    ASSERT_EQ(DynArrayAppendBytes(&da, "ab", 2), 0);
    EXPECT_DEATH(CountFields(&da, '/'), "");
    ASSERT_EQ(chdir(cwd), 0);
    std::string panic = ReadWholeFile(dir / "panic");
    EXPECT_EQ(panic.rfind("Assertion failed: da->buf [da->used-1] == '\\0', file ", 0), 0u) << panic;
    DynArrayFree(&da);
}

namespace {
void Collect(void *context, const char *message) { *static_cast<std::string *>(context) += message; }
}  // namespace

TEST(DynArray, LoadLinesFileSkipsEmptyLinesAndSplitsLongOnes) {
    tTempDir dir;
    std::string longLine(600, 'x');
    ASSERT_TRUE(WriteWholeFile(dir / "lines", "first\r\n\r\n" + longLine + "\nlast"));
    tDynArray da;
    DynArrayInit(&da, sizeof(char *), 4, 0);
    std::string report;
    ASSERT_EQ(LoadLinesFile(&da, (dir / "lines").c_str(), Collect, &report), 0);
    ASSERT_EQ(da.used, 4);
    EXPECT_STREQ(DynArrayPointer(&da, 0), "first");
    EXPECT_EQ(std::string(DynArrayPointer(&da, 1)), std::string(511, 'x'));
    EXPECT_EQ(std::string(DynArrayPointer(&da, 2)), std::string(89, 'x'));
    EXPECT_STREQ(DynArrayPointer(&da, 3), "last");
    EXPECT_EQ(report, "");
    DynArrayFreePointers(&da);

    ASSERT_TRUE(WriteWholeFile(dir / "three", "one\n\nthree\n"));
    ASSERT_EQ(LoadLinesFile(&da, (dir / "three").c_str(), Collect, &report), 0);
    EXPECT_EQ(da.used, 2);
    DynArrayFreePointers(&da);

    std::string missing = dir / "missing";
    EXPECT_EQ(LoadLinesFile(&da, missing.c_str(), Collect, &report), -1);
    EXPECT_EQ(report, "Could not open the '" + missing + "' file.\n");
    EXPECT_EQ(LoadLinesFile(&da, missing.c_str(), nullptr, nullptr), -1);
}
