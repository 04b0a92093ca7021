#include "lib/wildmatch.h"

#include <string>

#include <gtest/gtest.h>

TEST(WildMatch, Cases) {
    struct tCase {
        const char *name, *pattern;
        int flags;
        bool match;
    } cases[] = {
        {"abc", "a?c", 0, true},
        {"a.c", "a?c", 0, false},  // "?" never matches "."
        {"abc", "abc*", 0, true},
        {"abc", "abc*.*", 0, true},
        {"abc", "abc.*", 0, false},
        {"abc", "abc.", 0, true},
        {"abc", "abc?", 0, false},
        {"abc", "?abc", 0, false},
        {"abc", "???", 0, true},
        {"abcd", "???", 0, false},
        {"ABC", "[a-c]bc", 0, true},
        {"xbc", "[^a-c]bc", 0, true},
        {"bbc", "[^a-c]bc", 0, false},
        {"^bc", "[^]bc", 0, true},   // "^" before "]" is itself
        {"abc", "[abc", 0, false},   // unterminated set
        {"a", "[abc", 0, false},
        {"[abc", "[abc", 4, true},   // sets off: "[" is literal
        {"-", "[a-]", 0, true},
        {"comp.lang.c", "COMP.*", 0, true},
        {"comp.lang.c", "*.lang.*", 0, true},
        {"comp.lang.c", "*.c", 0, true},
        {"comp.lang.cpp", "*.c", 0, false},
        {"Re: file.zip (1/2)", "*.zip*", 0, true},
        {"", "", 0, true},
        {"a", "", 0, false},
        {"", "*", 0, true},
        {"", "?", 0, false},
        {"", "*?", 0, false},
        {"x", "*", 0, true},
        {"alt.binaries.x", "alt.*.x", 0, true},
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*a*a*a*c", 0, false},
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaac", "*a*a*a*a*a*a*a*a*a*c", 0, true},
        {"\xC4rger", "\xC4*", 0, true},
    };
    for (const tCase &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " ~ " + c.pattern);
        EXPECT_EQ(WildMatch(c.name, c.pattern, c.flags), c.match);
    }
}

// Many stars on a long name that does not match: finishes (the failed
// positions are remembered) instead of trying every combination.
TEST(WildMatch, ManyStarsOnLongNames) {
    std::string name(300, 'a');
    EXPECT_FALSE(WildMatch((name + "b").c_str(), "*a*a*a*a*a*a*a*a*a*a*a*a*c", 0));
    EXPECT_TRUE(WildMatch((name + "c").c_str(), "*a*a*a*a*a*a*a*a*a*a*a*a*c", 0));
    EXPECT_FALSE(WildMatch(name.c_str(), "*?*?*?*?*?*?*?*?*?*?*?*?x", 0));
}

TEST(PatternListMatch, FirstMatchDecides) {
    const char *binaries[] = {"!Re: *", "*.zip*", nullptr};
    EXPECT_EQ(PatternListMatch("Re: file.zip", binaries, 0), 0);
    EXPECT_EQ(PatternListMatch("file.zip", binaries, 0), 1);
    EXPECT_EQ(PatternListMatch("file.txt", binaries, 0), 0);
    // "!" literal: the first pattern now needs a leading "!".
    EXPECT_EQ(PatternListMatch("Re: file.zip", binaries, WM_NO_NEGATION), 1);
    EXPECT_EQ(PatternListMatch("!Re: x", binaries, WM_NO_NEGATION), 1);

    const char *order[] = {"*", "!alt.*", nullptr};  // the catch-all comes first
    EXPECT_EQ(PatternListMatch("alt.test", order, 0), 1);
    const char *journals[] = {"!*-journal", "*", nullptr};
    EXPECT_EQ(PatternListMatch("comp.lang.c-journal", journals, 0), 0);
    EXPECT_EQ(PatternListMatch("comp.lang.c", journals, 0), 1);
    const char *sets[] = {"[ab]*", nullptr};
    EXPECT_EQ(PatternListMatch("b1", sets, 0), 1);
    EXPECT_EQ(PatternListMatch("b1", sets, WM_NO_SETS), 0);
    EXPECT_EQ(PatternListMatch("[ab]1", sets, WM_NO_SETS), 1);

    const char *empty[] = {nullptr};
    EXPECT_EQ(PatternListMatch("x", nullptr, 0), 1);
    EXPECT_EQ(PatternListMatch("x", empty, 0), 1);
    EXPECT_EQ(PatternListMatch("x", nullptr, WM_EMPTY_NO_MATCH), 0);
    EXPECT_EQ(PatternListMatch("x", empty, WM_EMPTY_NO_MATCH | WM_NO_NEGATION), 0);
    const char *blank[] = {"", nullptr};  // one empty pattern matches only ""
    EXPECT_EQ(PatternListMatch("x", blank, 0), 0);
    EXPECT_EQ(PatternListMatch("", blank, 0), 1);
}
