#include "lib/crc32.h"

#include <cstring>

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

}  // namespace

uint32_t Crc32Update(const void *data, size_t len, uint32_t crc) {
    const tCrcTables &T = Tables();
    const unsigned char *p = static_cast<const unsigned char *>(data);
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
