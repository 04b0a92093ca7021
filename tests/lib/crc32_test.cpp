#include "lib/crc32.h"

#include <string>

#include <gtest/gtest.h>

TEST(Crc32, KnownVectors) {
    EXPECT_EQ(Crc32String(""), 0u);
    EXPECT_EQ(Crc32String("abc"), 0x352441C2u);
    EXPECT_EQ(Crc32String("123456789"), 0xCBF43926u);
    EXPECT_EQ(Crc32String("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
}

TEST(Crc32, ContinuationEqualsOneShotAtEverySplit) {
    std::string s;
    for (int i = 0; i < 100; i++) s += (char)(i * 37 + 11);
    uint32_t whole = ~Crc32Update(s.data(), s.size(), 0xFFFFFFFFu);
    for (size_t cut = 0; cut <= s.size(); cut++) {
        uint32_t c = Crc32Update(s.data(), cut, 0xFFFFFFFFu);
        c = Crc32Update(s.data() + cut, s.size() - cut, c);
        ASSERT_EQ(~c, whole) << cut;
    }
}

TEST(Crc32, LowerFoldsOnlyAsciiLetters) {
    EXPECT_EQ(Crc32StringLower("Comp.Lang.C"), Crc32String("comp.lang.c"));
    EXPECT_EQ(Crc32StringLower("\xC4rger"), Crc32String("\xC4rger"));
}
