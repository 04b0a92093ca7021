// STAT round trips to a private INN on loopback: through a pooled upstream
// connection (SendCommand / ReadResponse on the connection the pool hands
// out and takes back for every batch) next to a plain socket client doing
// the same exchange, in the same run. Skipped when INN does not start.
#include <benchmark/benchmark.h>

#include "bench/benchsupport.h"
#include "lib/log.h"
#include "server/upstream/pool.h"
#include "server/upstream/servers.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

char innDir[] = "/tmp/mg-upstream-bench-XXXXXX";
int innPort = 0;

void PooledStat(benchmark::State &state) {
    if (!innPort) return state.SkipWithError("INN did not start");
    const tRequester requester{"bench", 0, KIND_EXPLORE};
    tServer *server = ServerAt(&allServers, 0);
    tServerConnection *sc = nullptr;
    if (RequestConnection(server, &requester, &journal, 60, -1, &sc) != E_OK)
        return state.SkipWithError("no connection");
    char line[512];
    if (SendCommand(&sc->nntp, "GROUP misc.test\r\n") < 0 || ReadResponse(&sc->nntp, line, sizeof line, 30, "GROUP") < 0)
        return state.SkipWithError("GROUP failed");
    for (auto _ : state) {
        if (SendCommand(&sc->nntp, "STAT 1\r\n") < 0 ||
            ReadResponse(&sc->nntp, line, sizeof line, 30, "STAT response") < 0)
            return state.SkipWithError("STAT failed");
    }
    ReleaseConnection(sc, 0);
}

void DirectStat(benchmark::State &state) {
    if (!innPort) return state.SkipWithError("INN did not start");
    tPlainClient client(innPort);
    if (client.fd < 0) return state.SkipWithError("connect failed");
    if (!client.SkipLine() || !client.Exchange("GROUP misc.test\r\n")) return state.SkipWithError("GROUP failed");
    for (auto _ : state)
        if (!client.Exchange("STAT 1\r\n")) return state.SkipWithError("STAT failed");
}

}  // namespace

BENCHMARK(PooledStat)->Iterations(10000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(DirectStat)->Iterations(10000)->UseRealTime()->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    bool made = mkdtemp(innDir) != nullptr;
    innPort = made ? StartInn(std::string(innDir) + "/inn", "--group misc.test:1") : 0;
    std::string work = std::string(innDir) + "/work";
    bool inn = innPort > 0;
    if (inn) {
        (void)mkdir(work.c_str(), 0755);
        if (chdir(work.c_str()) != 0 || mkdir("connect", 0755) != 0) inn = false;
    }
    if (inn) inn = StartServers(ServerSection(innPort));
    if (!inn) innPort = 0;
    benchmark::RunSpecifiedBenchmarks();
    StopServers();
    if (made) {
        (void)StopInn(std::string(innDir) + "/inn");
        (void)RunCommand(std::string("rm -rf ") + innDir);
    }
    return 0;
}
