// Start-up cost of the servers file and the reference taking that every
// task and request does.
#include "server/upstream/servers.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

std::string TempDir() {
    char tmpl[] = "/tmp/mgbench.XXXXXX";
    return mkdtemp(tmpl) ? tmpl : "/tmp";
}

// A servers file of n servers with a few keys each.
std::string ServersText(int n) {
    std::string text = "[proxies]\nurl=socks5://p.lan,1\n";
    for (int i = 0; i < n; i++)
        text += "[server]\nurl=user:pw@news" + std::to_string(i) + ".example.com\nignoreGroup=alt.*\n"
                "comment=200 ready\n";
    return text;
}

void BM_LoadServers(benchmark::State &state) {
    std::string dir = TempDir();
    std::string path = dir + "/servers.ini";
    std::string text = ServersText((int)state.range(0));
    tLog log{};
    for (auto _ : state) {
        state.PauseTiming();
        FILE *f = fopen(path.c_str(), "w");
        fputs(text.c_str(), f);
        fclose(f);
        auto servers = std::make_unique<tServers>();
        state.ResumeTiming();
        if (LoadServers(servers.get(), &log, 0, 0, 0, nullptr, nullptr, nullptr, path.c_str()) != E_OK)
            state.SkipWithError("load failed");
        ServersRelease(servers.get());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    unlink(path.c_str());
    rmdir(dir.c_str());
}
BENCHMARK(BM_LoadServers)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_FindServerByIdAndRelease(benchmark::State &state) {
    std::string dir = TempDir();
    std::string path = dir + "/servers.ini";
    FILE *f = fopen(path.c_str(), "w");
    fputs(ServersText(50).c_str(), f);
    fclose(f);
    tLog log{};
    auto servers = std::make_unique<tServers>();
    if (LoadServers(servers.get(), &log, 0, 0, 0, nullptr, nullptr, nullptr, path.c_str()) != E_OK) {
        state.SkipWithError("load failed");
        return;
    }
    int id = 1;
    for (auto _ : state) {
        tServer *server = FindServerById(servers.get(), id);
        benchmark::DoNotOptimize(server);
        ServerRelease(server);
        id = id % 50 + 1;
    }
    ServersRelease(servers.get());
    unlink(path.c_str());
    rmdir(dir.c_str());
}
BENCHMARK(BM_FindServerByIdAndRelease)->Threads(1)->Threads(4);

}  // namespace

BENCHMARK_MAIN();
