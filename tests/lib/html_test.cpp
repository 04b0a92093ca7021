#include "lib/html.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

TEST(HtmlText, Cases) {
    struct tCase {
        const char *text;
        int atBreak, wrap, len;
        const char *want;
    } cases[] = {
        {"a<b>c", 0, 0, 64, "a&lt;b>c"},
        {"joe@example.com", 1, 0, 64, "joe @ example.com"},
        {"joe@example.com", 0, 0, 64, "joe@example.com"},
        {"abcdefghij", 0, 3, 64, "abcd efghi j"},  // the character after a break starts at 0
        {"ab cdefg", 0, 3, 64, "ab cdef g"},       // white space ends a run
        {"a<<<<b", 0, 3, 64, "a&lt;&lt;&lt;&lt; b"},  // "&lt;" counts and never breaks
        {"ab@cdefg", 1, 3, 64, "ab @ cdef g"},
        {"abcdef", 0, 0, 4, "ab"},  // each item must leave a byte free besides the NUL
        {"a<b", 0, 0, 6, "a"},      // "&lt;" does not fit: copying stops
        {"", 0, 0, 1, ""},
    };
    for (const tCase &c : cases) {
        SCOPED_TRACE(c.text);
        char buf[80];
        memset(buf, '#', sizeof buf);
        int n = HtmlText(buf, c.len, c.text, c.atBreak, c.wrap);
        EXPECT_STREQ(buf, c.want);
        EXPECT_EQ(n, (int)strlen(c.want));
        EXPECT_LT(n, c.len);
        EXPECT_EQ(buf[c.len], '#');
    }
}

TEST(HtmlText, NonEmpty) {
    EXPECT_STREQ(HtmlNonEmpty("", 1), "&nbsp;");
    EXPECT_STREQ(HtmlNonEmpty(" ", 1), "&nbsp;");
    EXPECT_STREQ(HtmlNonEmpty(nullptr, 1), "&nbsp;");
    EXPECT_STREQ(HtmlNonEmpty("  ", 1), "  ");
    EXPECT_STREQ(HtmlNonEmpty("x", 1), "x");
    EXPECT_STREQ(HtmlNonEmpty("", 0), "");
    EXPECT_STREQ(HtmlNonEmpty(" ", 0), " ");
}
