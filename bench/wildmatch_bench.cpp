// Wildcard matching over a realistic group list: 100,000 generated group
// names against the kind of pattern lists that group selection, access lists
// and filters use.
#include "lib/wildmatch.h"

#include <benchmark/benchmark.h>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> &Groups() {
    static const std::vector<std::string> groups = [] {
        const char *top[] = {"alt", "comp", "de", "fr", "news", "rec", "sci", "soc", "talk", "misc", "uk", "it"};
        const char *mid[] = {"binaries", "lang", "os", "sport", "comp", "games", "music", "pictures",
                             "answers", "test", "sources", "politics", "culture", "fan", "sys", "discuss"};
        const char *low[] = {"misc", "linux", "c", "c++", "moderated", "d", "announce", "help",
                             "unix", "windows", "erotica", "mp3", "boneless", "fussball", "jazz", "physics"};
        std::vector<std::string> v;
        v.reserve(100000);
        uint32_t x = 1;
        for (int i = 0; i < 100000; i++) {
            x = x * 1103515245u + 12345u;
            std::string g = std::string(top[(x >> 8) % 12]) + "." + mid[(x >> 12) % 16] + "." + low[(x >> 16) % 16];
            if ((x >> 20) % 3 == 0) g += ".group" + std::to_string(i);
            if ((x >> 24) % 4 == 0) g += ".d";
            v.push_back(g);
        }
        return v;
    }();
    return groups;
}

// The groups section of a typical configuration: exclusions first.
const char *const groupPatterns[] = {"!*.binaries.*", "!alt.sex*", "!*.d", "!*erotica*", "comp.*",
                                     "de.comp.*",     "sci.[a-p]*", "news.answers", "rec.music.*", "alt.*.misc",
                                     nullptr};

void BM_PatternListMatchGroups(benchmark::State &state) {
    const std::vector<std::string> &groups = Groups();
    int64_t matched = 0;
    for (auto _ : state) {
        for (const std::string &g : groups) matched += PatternListMatch(g.c_str(), groupPatterns, 0);
        benchmark::DoNotOptimize(matched);
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)groups.size());
}

void BM_WildMatchOnePattern(benchmark::State &state) {
    static const char *const patterns[] = {"comp.lang.*", "*.binaries.*", "*linux*", "de.*.misc"};
    const char *pattern = patterns[state.range(0)];
    state.SetLabel(pattern);
    const std::vector<std::string> &groups = Groups();
    int64_t matched = 0;
    for (auto _ : state) {
        for (const std::string &g : groups) matched += WildMatch(g.c_str(), pattern, 0);
        benchmark::DoNotOptimize(matched);
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)groups.size());
}

}  // namespace

BENCHMARK(BM_PatternListMatchGroups)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WildMatchOnePattern)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
