// STAT round trips to a private INN on loopback: through a pooled upstream
// connection (SendCommand / ReadResponse on the connection the pool hands
// out and takes back for every batch) next to a plain socket client doing
// the same exchange, in the same run. Skipped when INN does not start.
#include <benchmark/benchmark.h>

#include "lib/log.h"
#include "lib/sock.h"
#include "lib/tasks.h"
#include "server/upstream/pool.h"
#include "server/upstream/servers.h"

#include <arpa/inet.h>
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

std::string Script() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/../tests/support/innserver.py";
}

char innDir[] = "/tmp/mg-upstream-bench-XXXXXX";
int innPort = 0;

bool StartInn() {
    if (!mkdtemp(innDir)) return false;
    std::string cmd = "python3 " + Script() + " start " + innDir + "/inn --group misc.test:1 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return false;
    char line[256];
    while (fgets(line, sizeof line, p))
        if (sscanf(line, "PORT %d", &innPort) == 1) break;
    pclose(p);
    return innPort > 0;
}

void StopInn() {
    std::string cmd = "python3 " + Script() + " stop " + innDir + "/inn >/dev/null 2>&1; rm -rf " + innDir;
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not stop INN\n");
}

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
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)innPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, (sockaddr *)&a, sizeof a) != 0) return state.SkipWithError("connect failed");
    std::string pending;
    auto readLine = [&] {
        char buf[4096];
        size_t nl;
        while ((nl = pending.find('\n')) == std::string::npos) {
            ssize_t n = recv(s, buf, sizeof buf, 0);
            if (n <= 0) return false;
            pending.append(buf, (size_t)n);
        }
        pending.erase(0, nl + 1);
        return true;
    };
    auto exchange = [&](const char *cmd) { return send(s, cmd, strlen(cmd), MSG_NOSIGNAL) > 0 && readLine(); };
    if (!readLine() || !exchange("GROUP misc.test\r\n")) return state.SkipWithError("GROUP failed");
    for (auto _ : state)
        if (!exchange("STAT 1\r\n")) return state.SkipWithError("STAT failed");
    close(s);
}

}  // namespace

BENCHMARK(PooledStat)->Iterations(10000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(DirectStat)->Iterations(10000)->UseRealTime()->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    bool inn = StartInn();
    std::string work = std::string(innDir) + "/work";
    std::thread loop;
    if (inn) {
        (void)mkdir(work.c_str(), 0755);
        if (chdir(work.c_str()) != 0 || mkdir("connect", 0755) != 0) inn = false;
    }
    if (inn) {
        std::string ini = "[proxies]\nurl=none\n\n[server]\nurl=127.0.0.1:" + std::to_string(innPort) + "\n";
        FILE *f = fopen("servers.ini", "w");
        if (f) {
            fputs(ini.c_str(), f);
            fclose(f);
        }
        allServers.resultsPath = nullptr;
        inn = LogOpen(&journal, "journal", 1 << 30) == E_OK && CancelSocketCreate() == 0 && TasksInit() == E_OK &&
              ServersLoadDynamic(&allServers, &journal, "servdyna.ini") == E_OK &&
              LoadServers(&allServers, &journal, 0, 0, 0, nullptr, nullptr, &taskScheduler, "servers.ini") == E_OK &&
              BindServers(&allServers) == E_OK;
        if (inn) loop = std::thread([] { SchedulerRun(&taskScheduler); });
    }
    if (!inn) innPort = 0;
    benchmark::RunSpecifiedBenchmarks();
    if (loop.joinable()) {
        PoolRelease(&allServers);
        SchedulerStop(&taskScheduler);
        loop.join();
        PoolWaitAll(&taskPool);
        ServersRelease(&allServers);
        TasksRelease();
    }
    StopInn();
    return 0;
}
