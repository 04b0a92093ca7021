#include "lib/diag.h"
#include "lib/strings.h"
#include "tests/support/paths.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

// Over-long texts fail with ELIB_BUFFER_TOO_SMALL and never write past the
// buffer; the guard bytes after it show any overflow.
TEST(Strings, BoundedCopyAndConcatFailWithoutWriting) {
    struct tBuf {
        char data[8];
        char guard[8];
    };
    tBuf b;
    memset(&b, '#', sizeof b);
    EXPECT_EQ(StrCopyBounded(b.data, "1234567", sizeof b.data), 7);
    EXPECT_STREQ(b.data, "1234567");
    memset(&b, '#', sizeof b);
    errno = 0;
    EXPECT_EQ(StrCopyBounded(b.data, "12345678", sizeof b.data), -1);
    EXPECT_EQ(errno, ELIB_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::string(b.data, 16), std::string(16, '#'));
    EXPECT_EQ(StrCopyBounded(b.data, "", 0), -1);

    EXPECT_EQ(StrConcatBounded(b.data, sizeof b.data, "abc", "defg"), 8);
    EXPECT_STREQ(b.data, "abcdefg");
    memset(&b, '#', sizeof b);
    errno = 0;
    EXPECT_EQ(StrConcatBounded(b.data, sizeof b.data, "abcd", "efgh"), -1);
    EXPECT_EQ(errno, ELIB_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::string(b.data, 16), std::string(16, '#'));
    // Appending in place.
    ASSERT_EQ(StrCopyBounded(b.data, "ab", sizeof b.data), 2);
    EXPECT_EQ(StrConcatBounded(b.data, sizeof b.data, b.data, "cd"), 5);
    EXPECT_STREQ(b.data, "abcd");
}

TEST(Strings, FormatBoundedFailsOnTruncationButTerminates) {
    char buf[8];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(FormatBounded(buf, 4, "%d", 123), 3);
    EXPECT_STREQ(buf, "123");
    errno = 0;
    EXPECT_EQ(FormatBounded(buf, 4, "%d", 1234), -1);
    EXPECT_EQ(errno, ELIB_BUFFER_TOO_SMALL);
    EXPECT_STREQ(buf, "123");  // truncated and terminated
    EXPECT_EQ(buf[4], '#');
    errno = 0;
    EXPECT_EQ(FormatBounded(buf, 0, "x"), -1);
    EXPECT_EQ(errno, ELIB_BUFFER_TOO_SMALL);
    EXPECT_EQ(FormatBounded(buf, -5, "x"), -1);
    EXPECT_EQ(buf[0], '1');  // nothing written for len <= 0
}

TEST(Strings, ParseInt) {
    struct tCase {
        const char *text;
        bool ok;
        int value;
        int stop;  // offset of the returned position
    } cases[] = {
        {" - 42x", true, -42, 5},   {"2147483647", true, 2147483647, 10}, {"2147483648", false, 0, 0},
        {"9999999999", false, 0, 0}, {"-2147483647", true, -2147483647, 11}, {"  7", true, 7, 3},
        {"-", false, 0, 0},          {"x1", false, 0, 0},                   {"", false, 0, 0},
        {"--1", false, 0, 0},        {"0012", true, 12, 4},
    };
    for (const tCase &c : cases) {
        SCOPED_TRACE(c.text);
        int v = 555;
        const char *end = ParseInt(c.text, &v);
        if (!c.ok) {
            EXPECT_EQ(end, nullptr);
            continue;
        }
        ASSERT_NE(end, nullptr);
        EXPECT_EQ(v, c.value);
        EXPECT_EQ(end - c.text, c.stop);
    }
}

TEST(Strings, NextTokenSplitsInPlace) {
    char text[] = "  GROUP \t alt.test  ";
    char *start = nullptr;
    char *p = NextToken(text, &start);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(start, "GROUP");
    p = NextToken(p, &start);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(start, "alt.test");
    EXPECT_EQ(NextToken(p, &start), nullptr);
    char last[] = "end";
    p = NextToken(last, &start);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(*p, '\0');
    EXPECT_STREQ(start, "end");
}

TEST(Strings, FieldEndWalksTabs) {
    const char *line = "12\tSubject\t\tlast";
    std::string fields;
    const char *start;
    const char *p = line;
    for (int n = 0; n < 10; n++) {
        const char *end = FieldEnd(p, &start);
        if (!end) break;
        fields += "[" + std::string(start, end) + "]";
        if (!*end) break;
        p = end + 1;
    }
    EXPECT_EQ(fields, "[12][Subject][][last]");
    EXPECT_EQ(FieldEnd("", &start), nullptr);
}

TEST(Strings, StrEqualNull) {
    EXPECT_TRUE(StrEqualNull(nullptr, nullptr, 1));
    EXPECT_TRUE(StrEqualNull(nullptr, "", 1));
    EXPECT_TRUE(StrEqualNull("", nullptr, 0));
    EXPECT_FALSE(StrEqualNull(nullptr, "a", 0));
    EXPECT_TRUE(StrEqualNull("Abc", "aBC", 0));
    EXPECT_FALSE(StrEqualNull("Abc", "aBC", 1));
    EXPECT_TRUE(StrEqualNull("Abc", "Abc", 1));
}

TEST(Strings, LineEndsAndRanges) {
    char a[] = "x\r\n", b[] = "x\n\r", c[] = "\n";
    EXPECT_EQ(StripEol(a), 1);
    EXPECT_EQ(StripEol(b), 2);  // only a CR before the LF goes
    EXPECT_EQ(StripEol(c), 0);
    const char *t = "hello world";
    char *d = StrDupRange(t + 6, t + 11);
    EXPECT_STREQ(d, "world");
    free(d);

    tTempDir dir;
    ASSERT_TRUE(WriteWholeFile(dir / "f", "line one\r\n0123456789\n"));
    FILE *f = fopen((dir / "f").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char buf[6];
    EXPECT_EQ(ReadLine(f, buf, sizeof buf), 5);  // a long line comes in pieces
    EXPECT_STREQ(buf, "line ");
    char big[64];
    EXPECT_EQ(ReadLine(f, big, sizeof big), 3);
    EXPECT_STREQ(big, "one");
    EXPECT_EQ(ReadLine(f, big, sizeof big), 10);
    errno = 0;
    EXPECT_EQ(ReadLine(f, big, sizeof big), -1);
    EXPECT_EQ(errno, ELIB_EOF);
    fclose(f);
}
