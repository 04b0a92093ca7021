// Overview retrieval of a 100,000-article group from a private INN on
// loopback: FetchOverview merging everything into an empty group index
// (parse, store, commit), next to a plain client that only downloads the
// same XOVER range from the same server, in the same run. At the end the
// best times and their ratio are printed.
//
// The INN tree with the articles is built once (about two minutes) and kept
// under MG_BENCH_INN_DIR, by default <build>/bench-cache/overview-inn; later
// runs start INN on it again. Remove the directory to build it afresh.
#include <benchmark/benchmark.h>

#include "lib/log.h"
#include "lib/sock.h"
#include "lib/tasks.h"
#include "server/explore/overview.h"
#include "server/settings/settings.h"
#include "server/store/articles.h"
#include "server/store/indices.h"
#include "server/upstream/pool.h"
#include "server/upstream/servers.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int ARTICLES = 100000;
const char *const GROUP = "misc.bench";

std::string Script() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/../tests/support/innserver.py";
}

std::string innDir;  // the kept INN tree
int innPort = 0;
double bestPlain = 0, bestFetch = 0;  // seconds

bool Run(const std::string &command, std::string *out = nullptr) {
    FILE *p = popen(command.c_str(), "r");
    if (!p) return false;
    char line[512];
    while (fgets(line, sizeof line, p))
        if (out) *out += line;
    return pclose(p) == 0;
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

bool StartInn() {
    const char *dir = getenv("MG_BENCH_INN_DIR");
    innDir = dir ? dir : std::string(MG_BINARY_DIR) + "/bench-cache/overview-inn";
    if (!Run("mkdir -p '" + innDir.substr(0, innDir.rfind('/')) + "'")) return false;
    bool kept = access((innDir + "/kept").c_str(), F_OK) == 0;
    std::string out;
    if (!Run("python3 " + Script() + " start '" + innDir + "' --keep --group " + GROUP +
                 " --group misc.test 2>/dev/null",
             &out) ||
        sscanf(out.c_str() + out.find("PORT "), "PORT %d", &innPort) != 1)
        return false;
    if (kept) return true;
    fprintf(stderr, "Feeding %d articles to INN in %s (once) ...\n", ARTICLES, innDir.c_str());
    std::string file = innDir + ".articles";
    FILE *f = fopen(file.c_str(), "w");
    if (!f) return false;
    std::string all = ArticleFile();
    bool ok = fwrite(all.data(), 1, all.size(), f) == all.size();
    ok = fclose(f) == 0 && ok;
    out.clear();
    ok = ok && Run("python3 " + Script() + " feed '" + innDir + "' '" + file + "'", &out);
    unlink(file.c_str());
    if (!ok || out.find("ACCEPTED " + std::to_string(ARTICLES)) == std::string::npos) {
        fprintf(stderr, "feeding failed: %s\n", out.c_str());
        return false;
    }
    FILE *mark = fopen((innDir + "/kept").c_str(), "w");
    if (mark) fclose(mark);
    return true;
}

void StopInn() {
    if (!Run("python3 " + Script() + " stop '" + innDir + "' >/dev/null 2>&1")) fprintf(stderr, "could not stop INN\n");
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The plain client: GROUP, "XOVER 0-" and every byte up to the end.
void PlainXover(benchmark::State &state) {
    if (!innPort) return state.SkipWithError("INN did not start");
    long lines = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)innPort);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(s, (sockaddr *)&a, sizeof a) != 0) return state.SkipWithError("connect failed");
        static char buf[65536];
        std::string pending;
        auto readLine = [&] {
            size_t nl;
            while ((nl = pending.find('\n')) == std::string::npos) {
                ssize_t n = recv(s, buf, sizeof buf, 0);
                if (n <= 0) return false;
                pending.append(buf, (size_t)n);
            }
            pending.erase(0, nl + 1);
            return true;
        };
        const char *commands = "GROUP misc.bench\r\nXOVER 0-\r\n";
        if (!readLine() || send(s, commands, strlen(commands), MSG_NOSIGNAL) <= 0 || !readLine() || !readLine())
            return state.SkipWithError("GROUP or XOVER failed");
        // The listing: count line ends until the terminator.
        lines = 0;
        std::string tail = pending;
        for (;;) {
            size_t from = 0, nl;
            while ((nl = tail.find('\n', from)) != std::string::npos) {
                if (tail.compare(from, 2, ".\r") == 0) goto done;
                lines++;
                from = nl + 1;
            }
            tail.erase(0, from);
            ssize_t n = recv(s, buf, sizeof buf, 0);
            if (n <= 0) return state.SkipWithError("listing broken");
            tail.append(buf, (size_t)n);
        }
    done:
        close(s);
        double t = Seconds(start);
        if (bestPlain == 0 || t < bestPlain) bestPlain = t;
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

        auto start = std::chrono::steady_clock::now();
        tDiag d = FetchOverview(&job, &requester);
        if (d == E_OK) d = ArticlesSync(articles);
        double t = Seconds(start);

        state.PauseTiming();
        if (d != E_OK) return state.SkipWithError(DiagText(d));
        if (bestFetch == 0 || t < bestFetch) bestFetch = t;
        ArticlesLock(articles);
        stored = ArticlesCount(articles);
        ArticlesUnlock(articles);
        NumbersFree(&wanted);
        NumbersFree(&seen);
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
    bool inn = StartInn();
    char work[] = "/tmp/mg-overview-bench-XXXXXX";
    std::thread loop;
    if (inn && (!mkdtemp(work) || chdir(work) != 0 || mkdir("connect", 0755) != 0 || mkdir("index2", 0755) != 0))
        inn = false;
    if (inn) {
        std::string ini = "[proxies]\nurl=none\n\n[server]\nurl=127.0.0.1:" + std::to_string(innPort) + "\n";
        FILE *f = fopen("servers.ini", "w");
        if (f) {
            fputs(ini.c_str(), f);
            fclose(f);
        }
        allServers.resultsPath = nullptr;
        useXrefs = 1;
        inn = LogOpen(&journal, "journal", 1 << 30) == E_OK && CancelSocketCreate() == 0 && TasksInit() == E_OK &&
              ServersLoadDynamic(&allServers, &journal, "servdyna.ini") == E_OK &&
              LoadServers(&allServers, &journal, 0, 0, 0, nullptr, nullptr, &taskScheduler, "servers.ini") == E_OK &&
              BindServers(&allServers) == E_OK;
        if (inn) loop = std::thread([] { SchedulerRun(&taskScheduler); });
    }
    if (!inn) innPort = 0;
    benchmark::RunSpecifiedBenchmarks();
    if (bestPlain > 0 && bestFetch > 0)
        printf("best plain download %.3f s, best retrieval into the index %.3f s, ratio %.2f\n", bestPlain, bestFetch,
               bestFetch / bestPlain);
    if (loop.joinable()) {
        PoolRelease(&allServers);
        SchedulerStop(&taskScheduler);
        loop.join();
        PoolWaitAll(&taskPool);
        ServersRelease(&allServers);
        TasksRelease();
        LogClose(&journal);
    }
    if (innPort) StopInn();
    if (inn) (void)Run(std::string("rm -rf ") + work);
    return 0;
}
