// Number sets: adding article numbers as an exploration sees them (mostly
// ascending with gaps, a few late arrivals), membership tests, and
// collapsing a fragmented set.
#include "lib/numbers.h"

#include <random>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

// count article numbers: ascending, one in ten followed by a gap of 1..20,
// and one in fifty an earlier number arriving late.
std::vector<int32_t> ArticleNumbers(int64_t count) {
    std::mt19937 rng(11);
    std::vector<int32_t> out;
    out.reserve(count);
    int32_t next = 1000;
    for (int64_t i = 0; i < count; i++) {
        if (rng() % 50 == 0 && next > 2000) {
            out.push_back(next - 1 - (int32_t)(rng() % 1000));
            continue;
        }
        out.push_back(next);
        next += rng() % 10 == 0 ? 2 + (int32_t)(rng() % 20) : 1;
    }
    return out;
}

void BM_AddAscending(benchmark::State &state) {
    std::vector<int32_t> numbers = ArticleNumbers(state.range(0));
    int32_t ranges = 0;
    for (auto _ : state) {
        tNumbers n;
        NumbersInit(&n);
        for (int32_t v : numbers)
            if (NumbersAdd(&n, v, v) < 0) state.SkipWithError("out of memory");
        ranges = NumbersRanges(&n);
        NumbersFree(&n);
    }
    state.counters["ranges"] = ranges;
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AddAscending)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_Contains(benchmark::State &state) {
    std::vector<int32_t> numbers = ArticleNumbers(1000000);
    tNumbers n;
    NumbersInit(&n);
    for (int32_t v : numbers)
        if (NumbersAdd(&n, v, v) < 0) state.SkipWithError("out of memory");
    std::mt19937 rng(3);
    int32_t top = NumbersRange(&n, NumbersRanges(&n) - 1)->high;
    int64_t found = 0;
    for (auto _ : state) found += NumbersContains(&n, (int32_t)(rng() % (uint32_t)top));
    benchmark::DoNotOptimize(found);
    NumbersFree(&n);
}
BENCHMARK(BM_Contains);

void BM_CollapseTo32(benchmark::State &state) {
    std::vector<int32_t> numbers = ArticleNumbers(1000000);
    tNumbers full;
    NumbersInit(&full);
    for (int32_t v : numbers)
        if (NumbersAdd(&full, v, v) < 0) state.SkipWithError("out of memory");
    for (auto _ : state) {
        state.PauseTiming();
        tNumbers n;
        NumbersInit(&n);
        if (NumbersCopy(&n, &full) != E_OK) state.SkipWithError("out of memory");
        state.ResumeTiming();
        benchmark::DoNotOptimize(NumbersCollapseTo(&n, 32));
        NumbersFree(&n);
    }
    state.counters["ranges"] = NumbersRanges(&full);
    NumbersFree(&full);
}
BENCHMARK(BM_CollapseTo32)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
