// CRC-32 throughput: ours next to zlib's crc32 over the same buffers.
#include "lib/crc32.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <zlib.h>

namespace {

std::vector<unsigned char> Data(size_t n) {
    std::vector<unsigned char> v(n);
    uint32_t x = 12345;
    for (auto &c : v) {
        x = x * 1103515245u + 12345u;
        c = (unsigned char)(x >> 16);
    }
    return v;
}

void BM_Crc32Ours(benchmark::State &state) {
    std::vector<unsigned char> d = Data((size_t)state.range(0));
    uint32_t check = (uint32_t)crc32(0, d.data(), (uInt)d.size());
    if (~Crc32Update(d.data(), d.size(), 0xFFFFFFFFu) != check) state.SkipWithError("result differs from zlib");
    for (auto _ : state) benchmark::DoNotOptimize(Crc32Update(d.data(), d.size(), 0xFFFFFFFFu));
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

void BM_Crc32Zlib(benchmark::State &state) {
    std::vector<unsigned char> d = Data((size_t)state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(crc32(0, d.data(), (uInt)d.size()));
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

// Group names and Message-IDs: short texts hashed one by one.
void BM_Crc32StringShort(benchmark::State &state) {
    const char *names[] = {"comp.lang.c", "alt.binaries.pictures.misc", "<abc123.456@news.example.com>",
                           "de.comp.os.unix.linux.misc"};
    size_t bytes = 0;
    for (const char *n : names) bytes += strlen(n);
    for (auto _ : state)
        for (const char *n : names) benchmark::DoNotOptimize(Crc32StringLower(n));
    state.SetBytesProcessed((int64_t)(state.iterations() * bytes));
}

}  // namespace

BENCHMARK(BM_Crc32Ours)->Arg(64)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_Crc32Zlib)->Arg(64)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_Crc32StringShort);

BENCHMARK_MAIN();
