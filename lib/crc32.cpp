#include "lib/crc32.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

struct tCrcTables {
    uint32_t t[8][256];
    tCrcTables() {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; i++)
            for (int s = 1; s < 8; s++) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
};

const tCrcTables &Tables() {
    static const tCrcTables tables;
    return tables;
}

#if defined(__x86_64__)

// Folding with carry-less multiplication (the method of Intel's white paper
// "Fast CRC Computation for Generic Polynomials Using PCLMULQDQ
// Instruction", constants for the bit-reflected polynomial 0xEDB88320).
// len is at least 64 and a multiple of 16; crc is the running register.
__attribute__((target("pclmul,sse4.1"))) uint32_t Crc32Fold(const unsigned char *buf, size_t len, uint32_t crc) {
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596LL, 0x0154442bd4LL);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009eLL, 0x01751997d0LL);
    const __m128i k5k0 = _mm_set_epi64x(0, 0x0163cd6124LL);
    const __m128i poly = _mm_set_epi64x(0x01f7011641LL, 0x01db710641LL);
    const __m128i mask32 = _mm_setr_epi32(~0, 0, ~0, 0);

    __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x00));
    __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x10));
    __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x20));
    __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x30));
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128((int)crc));
    buf += 64;
    len -= 64;

    // Four lanes of 128 bits, each folded 512 bits ahead.
    while (len >= 64) {
        __m128i x5 = _mm_clmulepi64_si128(x1, k1k2, 0x00);
        __m128i x6 = _mm_clmulepi64_si128(x2, k1k2, 0x00);
        __m128i x7 = _mm_clmulepi64_si128(x3, k1k2, 0x00);
        __m128i x8 = _mm_clmulepi64_si128(x4, k1k2, 0x00);
        x1 = _mm_clmulepi64_si128(x1, k1k2, 0x11);
        x2 = _mm_clmulepi64_si128(x2, k1k2, 0x11);
        x3 = _mm_clmulepi64_si128(x3, k1k2, 0x11);
        x4 = _mm_clmulepi64_si128(x4, k1k2, 0x11);
        x1 = _mm_xor_si128(_mm_xor_si128(x1, x5), _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x00)));
        x2 = _mm_xor_si128(_mm_xor_si128(x2, x6), _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x10)));
        x3 = _mm_xor_si128(_mm_xor_si128(x3, x7), _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x20)));
        x4 = _mm_xor_si128(_mm_xor_si128(x4, x8), _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x30)));
        buf += 64;
        len -= 64;
    }

    // The four lanes into one, then the remaining 16-byte blocks.
    __m128i x5 = _mm_clmulepi64_si128(x1, k3k4, 0x00);
    x1 = _mm_clmulepi64_si128(x1, k3k4, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, x2), x5);
    x5 = _mm_clmulepi64_si128(x1, k3k4, 0x00);
    x1 = _mm_clmulepi64_si128(x1, k3k4, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, x3), x5);
    x5 = _mm_clmulepi64_si128(x1, k3k4, 0x00);
    x1 = _mm_clmulepi64_si128(x1, k3k4, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, x4), x5);
    while (len >= 16) {
        x2 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf));
        x5 = _mm_clmulepi64_si128(x1, k3k4, 0x00);
        x1 = _mm_clmulepi64_si128(x1, k3k4, 0x11);
        x1 = _mm_xor_si128(_mm_xor_si128(x1, x2), x5);
        buf += 16;
        len -= 16;
    }

    // 128 bits to 64, then to 32 by Barrett reduction.
    x2 = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_and_si128(x1, mask32);
    x1 = _mm_clmulepi64_si128(x1, k5k0, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    x2 = _mm_and_si128(x1, mask32);
    x2 = _mm_clmulepi64_si128(x2, poly, 0x10);
    x2 = _mm_and_si128(x2, mask32);
    x2 = _mm_clmulepi64_si128(x2, poly, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    return (uint32_t)_mm_extract_epi32(x1, 1);
}

bool HaveClmul() {
    static const bool have = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return have;
}

#endif

}  // namespace

uint32_t Crc32Update(const void *data, size_t len, uint32_t crc) {
    const tCrcTables &T = Tables();
    const unsigned char *p = static_cast<const unsigned char *>(data);
#if defined(__x86_64__)
    if (len >= 128 && HaveClmul()) {
        size_t bulk = len & ~(size_t)15;
        crc = Crc32Fold(p, bulk, crc);
        p += bulk;
        len -= bulk;
    }
#endif
    while (len >= 8) {
        uint32_t lo, hi;
        memcpy(&lo, p, 4);
        memcpy(&hi, p + 4, 4);
        lo ^= crc;  // little-endian machines only (x86-64, arm64)
        crc = T.t[7][lo & 0xFF] ^ T.t[6][(lo >> 8) & 0xFF] ^ T.t[5][(lo >> 16) & 0xFF] ^ T.t[4][lo >> 24] ^
              T.t[3][hi & 0xFF] ^ T.t[2][(hi >> 8) & 0xFF] ^ T.t[1][(hi >> 16) & 0xFF] ^ T.t[0][hi >> 24];
        p += 8;
        len -= 8;
    }
    while (len--) crc = (crc >> 8) ^ T.t[0][(crc ^ *p++) & 0xFF];
    return crc;
}

uint32_t Crc32String(const char *text) { return ~Crc32Update(text, strlen(text), 0xFFFFFFFFu); }

uint32_t Crc32StringLower(const char *text) {
    const tCrcTables &T = Tables();
    uint32_t crc = 0xFFFFFFFFu;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        unsigned char c = (*p >= 'A' && *p <= 'Z') ? (unsigned char)(*p + 32) : *p;
        crc = (crc >> 8) ^ T.t[0][(crc ^ c) & 0xFF];
    }
    return ~crc;
}
