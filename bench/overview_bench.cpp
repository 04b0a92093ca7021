// Overview retrieval of a 100,000-article group from a private INN on
// loopback: FetchOverview merging everything into an empty group index
// (parse, store, commit), next to a plain client that only downloads the
// same XOVER range from the same server, in the same run. At the end the
// best times and their ratio are printed, with the CPU time the news server
// and the retrieving thread spent per run: the retrieval overlaps with the
// server's output (the socket buffers decouple them), so on an idle machine
// its time approaches the larger of the two, while on a busy one the two
// CPU times add up.
//
// The INN tree with the articles is built once (about two minutes) and kept
// under MG_BENCH_INN_DIR, by default <build>/bench-cache/overview-inn; later
// runs start INN on it again. Remove the directory to build it afresh.
#include <benchmark/benchmark.h>

#include "bench/benchsupport.h"
#include "lib/log.h"
#include "server/explore/overview.h"
#include "server/settings/settings.h"
#include "server/store/articles.h"
#include "server/store/indices.h"
#include "server/upstream/pool.h"
#include "server/upstream/servers.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int ARTICLES = 100000;
const char *const GROUP = "misc.bench";

std::string innDir;  // the kept INN tree
int innPort = 0;
int nnrpdPid = 0;    // the reader daemon: its children serve the connections
double bestPlain = 0, bestFetch = 0;  // seconds
double plainServerCpu = 0, fetchServerCpu = 0, fetchCpu = 0;  // seconds, summed over the iterations
int plainRuns = 0, fetchRuns = 0;

// CPU seconds of the reader daemon's finished children (each connection's
// server process).
double ServerCpu() {
    if (!nnrpdPid) return 0;
    FILE *f = fopen(("/proc/" + std::to_string(nnrpdPid) + "/stat").c_str(), "r");
    if (!f) return 0;
    char text[1024];
    size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = 0;
    const char *p = strrchr(text, ')');
    long cutime = 0, cstime = 0;
    // Fields after the name: state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime
    // stime cutime cstime.
    if (!p || sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %ld %ld", &cutime, &cstime) != 2)
        return 0;
    return (double)(cutime + cstime) / (double)sysconf(_SC_CLK_TCK);
}

double ThreadCpu() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

// Waits (bounded) until the connection's server process has ended and been
// counted.
double ServerCpuAfter(double before) {
    double now = ServerCpu();
    for (int i = 0; i < 50 && now == before; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        now = ServerCpu();
    }
    return now - before;
}

// Articles with the variety of a real group: subjects of several lengths,
// threads with References, a few cross-posts.
std::string ArticleFile() {
    std::string all;
    all.reserve((size_t)ARTICLES * 420);
    char text[2048];
    for (int i = 1; i <= ARTICLES; i++) {
        int thread = i / 7;
        std::string refs;
        for (int r = 0; r < i % 4 && r < i % 7; r++)
            refs += (r ? " " : "") + std::string("<b") + std::to_string(thread * 7 + r) + "@bench.example.org>";
        snprintf(text, sizeof text,
                 "Path: bench!not-for-mail\nFrom: Poster %d <poster%d@example.org>\nNewsgroups: %s%s\n"
                 "Subject: %sThread %d about the benchmark of overview retrieval%s\n"
                 "Date: Thu, 10 Dec 2026 %02d:%02d:%02d +0000\nMessage-ID: <b%d@bench.example.org>\n%s%s%s\n"
                 "Body line one of article %d.\nBody line two.\nBody line three.\n",
                 i % 97, i % 97, GROUP, i % 50 == 0 ? ",misc.test" : "", i % 7 ? "Re: " : "", thread,
                 i % 3 ? "" : " (with a longer subject line than most)", i / 3600 % 24, i / 60 % 60, i % 60, i,
                 refs.empty() ? "" : "References: ", refs.c_str(), refs.empty() ? "" : "\n", i);
        all += text;
        all += '\0';
        all += "ARTICLE\n";
    }
    return all;
}

bool PrepareInn() {
    const char *dir = getenv("MG_BENCH_INN_DIR");
    innDir = dir ? dir : std::string(MG_BINARY_DIR) + "/bench-cache/overview-inn";
    if (!RunCommand("mkdir -p '" + innDir.substr(0, innDir.rfind('/')) + "'")) return false;
    bool kept = access((innDir + "/kept").c_str(), F_OK) == 0;
    innPort = StartInn(innDir, std::string("--keep --group ") + GROUP + " --group misc.test");
    if (!innPort) return false;
    std::string state;
    if (RunCommand("cat '" + innDir + ".state'", &state) && state.find("\"nnrpd\": ") != std::string::npos)
        nnrpdPid = atoi(state.c_str() + state.find("\"nnrpd\": ") + 9);
    if (kept) return true;
    fprintf(stderr, "Feeding %d articles to INN in %s (once) ...\n", ARTICLES, innDir.c_str());
    std::string file = innDir + ".articles";
    FILE *f = fopen(file.c_str(), "w");
    if (!f) return false;
    std::string all = ArticleFile();
    bool ok = fwrite(all.data(), 1, all.size(), f) == all.size();
    ok = fclose(f) == 0 && ok;
    std::string out;
    ok = ok && FeedInn(innDir, file, &out);
    unlink(file.c_str());
    if (!ok || out.find("ACCEPTED " + std::to_string(ARTICLES)) == std::string::npos) {
        fprintf(stderr, "feeding failed: %s\n", out.c_str());
        return false;
    }
    FILE *mark = fopen((innDir + "/kept").c_str(), "w");
    if (mark) fclose(mark);
    return true;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The plain client: GROUP, "XOVER 0-" and every byte up to the end.
void PlainXover(benchmark::State &state) {
    if (!innPort) return state.SkipWithError("INN did not start");
    long lines = 0;
    for (auto _ : state) {
        double serverBefore = ServerCpu();
        auto start = std::chrono::steady_clock::now();
        auto client = std::make_unique<tPlainClient>(innPort);
        if (client->fd < 0) return state.SkipWithError("connect failed");
        if (!client->SkipLine() || !client->Send("GROUP misc.bench\r\nXOVER 0-\r\n") || !client->SkipLine() ||
            !client->SkipLine())
            return state.SkipWithError("GROUP or XOVER failed");
        // The listing: count line ends until the terminator.
        lines = 0;
        std::string tail = client->pending;
        for (;;) {
            size_t from = 0, nl;
            while ((nl = tail.find('\n', from)) != std::string::npos) {
                if (tail.compare(from, 2, ".\r") == 0) goto done;
                lines++;
                from = nl + 1;
            }
            tail.erase(0, from);
            if (!client->Receive(&tail)) return state.SkipWithError("listing broken");
        }
    done:
        client.reset();
        double t = Seconds(start);
        if (bestPlain == 0 || t < bestPlain) bestPlain = t;
        state.PauseTiming();
        plainServerCpu += ServerCpuAfter(serverBefore);
        plainRuns++;
        state.ResumeTiming();
    }
    if (lines != ARTICLES) state.SkipWithError("not every line came");
    state.counters["lines"] = (double)lines;
}

// FetchOverview of the whole group into an empty index, committed.
void Fetch(benchmark::State &state) {
    if (!innPort) return state.SkipWithError("INN did not start");
    const tRequester requester{"bench", 0, KIND_EXPLORE};
    tServer *server = ServerAt(&allServers, 0);
    long stored = 0;
    for (auto _ : state) {
        state.PauseTiming();
        unlink((std::string("index2/") + GROUP).c_str());
        tIndices *indices = nullptr;
        tArticles *articles = nullptr;
        tServerConnection *sc = nullptr;
        if (IndicesCreate(&indices, false, &journal, &articlesStoreOps) != E_OK ||
            ArticlesOpen(indices, GROUP, &journal, true, &articles, -1) != E_OK ||
            RequestConnection(server, &requester, &journal, 60, -1, &sc) != E_OK)
            return state.SkipWithError("set-up failed");
        tNumbers wanted, seen;
        NumbersInit(&wanted);
        NumbersInit(&seen);
        (void)NumbersAdd(&wanted, 0, 2147483647);
        tAddCounters counters{};
        tOverviewFixes fixes{};
        tOverviewJob job;
        job.nntp = &sc->nntp;
        job.articles = articles;
        job.wanted = &wanted;
        job.seen = &seen;
        job.counters = &counters;
        job.fixes = &fixes;
        job.indices = indices;
        state.ResumeTiming();

        double serverBefore = ServerCpu();
        double cpuBefore = ThreadCpu();
        auto start = std::chrono::steady_clock::now();
        tDiag d = FetchOverview(&job, &requester);
        if (d == E_OK) d = ArticlesSync(articles);
        double t = Seconds(start);

        state.PauseTiming();
        fetchCpu += ThreadCpu() - cpuBefore;
        if (d != E_OK) return state.SkipWithError(DiagText(d));
        if (bestFetch == 0 || t < bestFetch) bestFetch = t;
        ArticlesLock(articles);
        stored = ArticlesCount(articles);
        ArticlesUnlock(articles);
        NumbersFree(&wanted);
        NumbersFree(&seen);
        Quit(&sc->nntp);  // the server process ends and its CPU time is counted
        fetchServerCpu += ServerCpuAfter(serverBefore);
        fetchRuns++;
        ReleaseConnection(sc, 0);
        IndicesRelease(articles, 0);
        IndicesClose(indices);
        state.ResumeTiming();
    }
    if (stored != ARTICLES) state.SkipWithError("not every article was stored");
    state.counters["stored"] = (double)stored;
}

}  // namespace

BENCHMARK(PlainXover)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Fetch)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(PlainXover)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    bool inn = PrepareInn();
    char work[] = "/tmp/mg-overview-bench-XXXXXX";
    if (inn && (!mkdtemp(work) || chdir(work) != 0 || mkdir("connect", 0755) != 0 || mkdir("index2", 0755) != 0))
        inn = false;
    if (inn) {
        useXrefs = 1;
        inn = StartServers(ServerSection(innPort));
    }
    if (!inn) innPort = 0;
    benchmark::RunSpecifiedBenchmarks();
    if (bestPlain > 0 && bestFetch > 0) {
        printf("best plain download %.3f s, best retrieval into the index %.3f s, ratio %.2f\n", bestPlain, bestFetch,
               bestFetch / bestPlain);
        if (plainRuns && fetchRuns)
            printf("CPU per run: news server %.3f s for the plain download, %.3f s for the retrieval; "
                   "retrieval thread %.3f s\n",
                   plainServerCpu / plainRuns, fetchServerCpu / fetchRuns, fetchCpu / fetchRuns);
    }
    StopServers();
    if (innPort) (void)StopInn(innDir);
    if (inn) (void)RunCommand(std::string("rm -rf ") + work);
    return 0;
}
