// ParseDate over 100,000 Date fields of the kinds real overview data carries.
#include "lib/dates.h"

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

std::vector<std::string> MakeDates(size_t count) {
    static const char *const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    static const char *const zones[] = {"+0000", "+0100", "+0200", "-0400", "-0500", "-0800", "GMT", "UTC"};
    std::mt19937 rng(7);
    std::vector<std::string> out;
    char buf[128];
    for (size_t i = 0; i < count; i++) {
        int d = rng() % 28 + 1, m = rng() % 12, y = 2000 + rng() % 25, wd = rng() % 7;
        int h = rng() % 24, mi = rng() % 60, s = rng() % 60;
        const char *zone = zones[rng() % 8];
        switch (rng() % 10) {
        case 0:  // two-digit year, zone name
            snprintf(buf, sizeof buf, "%s, %d %s %02d %02d:%02d:%02d %s", days[wd], d, months[m], y % 100, h, mi, s,
                     rng() % 2 ? "EST" : "CEST");
            break;
        case 1:  // asctime form
            snprintf(buf, sizeof buf, "%s %s %2d %02d:%02d:%02d %d", days[wd], months[m], d, h, mi, s, y);
            break;
        case 2:  // no day name, no zone (local time)
            snprintf(buf, sizeof buf, "%d %s %d %02d:%02d:%02d", d, months[m], y, h, mi, s);
            break;
        default:  // the usual form, often with a comment
            snprintf(buf, sizeof buf, "%s, %02d %s %d %02d:%02d:%02d %s%s", days[wd], d, months[m], y, h, mi, s, zone,
                     rng() % 3 ? "" : " (UTC)");
        }
        out.push_back(buf);
    }
    return out;
}

void BM_ParseDate(benchmark::State &state) {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    std::vector<std::string> dates = MakeDates(100000);
    long parsed = 0;
    for (auto _ : state) {
        for (const std::string &d : dates) {
            struct tm tmv;
            parsed += ParseDate(d, &tmv, false) > 0;
        }
    }
    if (parsed != (long)state.iterations() * 100000) state.SkipWithError("a date did not parse");
    state.SetItemsProcessed(state.iterations() * (int64_t)dates.size());
}
BENCHMARK(BM_ParseDate)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
