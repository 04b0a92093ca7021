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

// Every length and alignment around the block sizes of the fast paths
// agrees with a plain bit-by-bit CRC.
TEST(Crc32, FastPathsAgreeWithBitwiseReference) {
    std::string s;
    uint32_t x = 99;
    for (int i = 0; i < 2100; i++) {
        x = x * 1103515245u + 12345u;
        s += (char)(x >> 16);
    }
    auto reference = [](const unsigned char *p, size_t n) {
        uint32_t c = 0xFFFFFFFFu;
        for (size_t i = 0; i < n; i++) {
            c ^= p[i];
            for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        }
        return ~c;
    };
    const unsigned char *base = reinterpret_cast<const unsigned char *>(s.data());
    for (size_t off = 0; off < 17; off += 3) {
        for (size_t len : {0, 1, 15, 63, 64, 127, 128, 129, 143, 191, 192, 255, 256, 1000, 2047, 2083}) {
            if (off + len > s.size()) continue;
            ASSERT_EQ(~Crc32Update(base + off, len, 0xFFFFFFFFu), reference(base + off, len)) << off << "+" << len;
        }
    }
}
