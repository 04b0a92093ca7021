// Group index speed: merging the overview data of two servers that carry
// the same group with half of their articles in common, the file size per
// article, and reading the whole range back as descriptions. Each size runs
// in a fresh work directory under $TMPDIR (or /tmp).
#include "server/settings/settings.h"
#include "server/store/articles.h"
#include "server/store/indices.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

const char *const words[] = {"re:",    "linux",  "kernel", "patch",  "question", "about",  "the",   "new",
                             "driver", "update", "howto",  "build",  "error",    "with",   "gcc",   "part",
                             "weekly", "report", "release", "notes", "problem",  "solved", "again", "network"};
const char *const names[] = {"Alice Example", "bob",       "Carol Q. Poster", "dave",
                             "Eve Listener",  "frank.t",   "Grace H.",        "heidi"};
const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string MsgId(long article) { return "<" + std::to_string(article * 7919 + 12345) + ".fsf@news" +
                                         std::to_string(article % 97) + ".example.net>"; }

// The overview line of article (0-based, over the whole group) as numbered on
// a server: realistic field sizes, a References chain on most follow-ups,
// an Xref naming the group (and on every tenth a second, inactive group).
std::string OverviewLine(long article, long serverNumber, std::mt19937 &random) {
    std::string subject;
    int wordCount = 4 + random() % 8;
    for (int i = 0; i < wordCount; i++) {
        if (i) subject += ' ';
        subject += words[random() % (sizeof words / sizeof *words)];
    }
    const char *name = names[random() % (sizeof names / sizeof *names)];
    char date[64];
    snprintf(date, sizeof date, "%s, %ld %s 2026 %02d:%02d:%02d +0100", "Mon", 1 + article % 28,
             months[article % 12], (int)(random() % 24), (int)(random() % 60), (int)(random() % 60));
    std::string refs;
    int depth = article % 4;
    for (int i = 1; i <= depth && article - i * 3 >= 0; i++) {
        if (!refs.empty()) refs += ' ';
        refs += MsgId(article - i * 3);
    }
    long lines = 10 + random() % 200;
    std::string line = std::to_string(serverNumber) + '\t' + subject + '\t' + name + " <" + name[0] +
                       "@example.org>\t" + date + '\t' + MsgId(article) + '\t' + refs + '\t' +
                       std::to_string(lines * 62) + '\t' + std::to_string(lines) +
                       "\tXref: news.example.net bench.group:" + std::to_string(serverNumber);
    if (article % 10 == 0) line += " other.inactive:" + std::to_string(article);
    return line + "\r\n";
}

struct tWorkDir {
    std::string previous;
    std::string path;
    tWorkDir() {
        previous = fs::current_path().string();
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp ? tmp : "/tmp") + "/articles_bench_XXXXXX";
        char *made = mkdtemp(pattern.data());
        if (!made || chdir(made) != 0) abort();
        path = made;
    }
    ~tWorkDir() {
        if (chdir(previous.c_str()) != 0) abort();
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// Server A carries articles [0, 2n/3), server B [n/3, n): n unique articles,
// 4n/3 lines, half of each server's articles also on the other.
struct tFeed {
    std::vector<std::string> a, b;
    explicit tFeed(long n) {
        std::mt19937 random(42);
        for (long i = 0; i < 2 * n / 3; i++) a.push_back(OverviewLine(i, 1000 + i, random));
        for (long i = n / 3; i < n; i++) b.push_back(OverviewLine(i, 50000 + i, random));
    }
};

long Merge(tIndices *indices, tArticles *articles, long serverId, const std::vector<std::string> &lines,
           tAddCounters *counters) {
    tOverviewFixes fixes{};
    tNumbers seen;
    NumbersInit(&seen);
    tOverviewAdd context;
    context.serverId = serverId;
    context.articles = articles;
    context.seen = &seen;
    context.counters = counters;
    context.fixes = &fixes;
    context.indices = indices;
    long previous = 0, merged = 0;
    for (const std::string &line : lines)
        if (AddOverviewLine(&context, line.c_str(), &previous, false, {0, 2147483647}) >= 0) merged++;
    NumbersFree(&seen);
    return merged;
}

void BM_MergeTwoServers(benchmark::State &state) {
    useXrefs = 1;  // the defaults of the settings file
    zombieDays = 7;
    long n = state.range(0);
    tFeed feed(n);
    for (auto _ : state) {
        state.PauseTiming();
        tWorkDir dir;
        tIndices *indices;
        if (IndicesCreate(&indices, false, nullptr, &articlesStoreOps) != E_OK) abort();
        tArticles *articles;
        if (ArticlesOpen(indices, "bench.group", nullptr, true, &articles, -1) != E_OK) abort();
        tAddCounters counters{};
        state.ResumeTiming();
        long merged = Merge(indices, articles, 1, feed.a, &counters);
        merged += Merge(indices, articles, 2, feed.b, &counters);
        if (ArticlesSync(articles) != E_OK) abort();
        state.PauseTiming();
        if (counters.newArticles != n || counters.dup != (long)(feed.a.size() + feed.b.size()) - n) abort();
        state.counters["lines"] = (double)merged;
        state.counters["articles"] = (double)counters.newArticles;
        state.counters["bytes_per_article"] =
            (double)fs::file_size("index2/bench.group") / (double)counters.newArticles;
        state.SetItemsProcessed(state.items_processed() + merged);
        IndicesRelease(articles, 2);
        IndicesClose(indices);
        state.ResumeTiming();
    }
}

void BM_ReadBackAsDescriptions(benchmark::State &state) {
    long n = state.range(0);
    tFeed feed(n);
    tWorkDir dir;
    tIndices *indices;
    if (IndicesCreate(&indices, false, nullptr, &articlesStoreOps) != E_OK) abort();
    tArticles *articles;
    if (ArticlesOpen(indices, "bench.group", nullptr, true, &articles, -1) != E_OK) abort();
    tAddCounters counters{};
    Merge(indices, articles, 1, feed.a, &counters);
    Merge(indices, articles, 2, feed.b, &counters);
    if (ArticlesSync(articles) != E_OK) abort();
    for (auto _ : state) {
        long read = 0, bytes = 0;
        ArticlesLock(articles);
        tArticleFull full{};
        for (tDiag d = ArticlesIterStart(&full, articles, 0, 1, nullptr); d == E_OK; d = ArticlesIterNext(&full)) {
            read++;
            bytes += full.adt.bytes;
        }
        ArticlesIterEnd(&full);
        ArticlesUnlock(articles);
        if (read != n) abort();
        benchmark::DoNotOptimize(bytes);
        state.SetItemsProcessed(state.items_processed() + read);
    }
    IndicesRelease(articles, 2);
    IndicesClose(indices);
}

}  // namespace

BENCHMARK(BM_MergeTwoServers)->Arg(20000)->Arg(50000)->Arg(100000)->Arg(200000)->Iterations(1)->Unit(
    benchmark::kMillisecond);
BENCHMARK(BM_ReadBackAsDescriptions)->Arg(20000)->Arg(50000)->Arg(100000)->Arg(200000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
