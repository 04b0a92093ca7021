// Group list discovery and group selection.
//
// DiscoverFullList: a full LIST of 100,000 groups from the scripted fake
// server into a fresh actual list (through the LIST cache being written and
// local matching), in groups per second; DiscoverFromCache: the same list
// read again from the LIST cache, as the later patterns of a sweep do.
// SelectGroups: 1,000 GROUP selections in a row on a private INN through
// SelectGroup, next to the bare GROUP round trips on the same pooled
// connection (SendCommand / ReadResponse) and on a plain socket, in the same
// run. The INN benchmarks are skipped when INN does not start.
#include <benchmark/benchmark.h>

#include "lib/log.h"
#include "lib/sock.h"
#include "lib/tasks.h"
#include "server/explore/grouplists.h"
#include "server/explore/groupsel.h"
#include "server/store/actual.h"
#include "server/upstream/pool.h"
#include "server/upstream/servers.h"
#include "tests/support/fakenntp.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int LIST_GROUPS = 100000;
constexpr int SELECT_GROUPS = 1000;

std::string Script() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/../tests/support/innserver.py";
}

char benchDir[] = "/tmp/mg-groupsel-bench-XXXXXX";
int innPort = 0;
std::unique_ptr<tFakeNntp> fake;
const tRequester requester{"bench", 0, KIND_EXPLORE};

std::string InnGroup(int i) {
    char name[32];
    snprintf(name, sizeof name, "bench.g%04d", i);
    return name;
}

bool StartInn() {
    std::string cmd = "python3 " + Script() + " start " + benchDir + "/inn";
    for (int i = 0; i < SELECT_GROUPS; i++) cmd += " --group " + InnGroup(i) + ":" + std::to_string(1 + i);
    cmd += " 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return false;
    char line[256];
    while (fgets(line, sizeof line, p))
        if (sscanf(line, "PORT %d", &innPort) == 1) break;
    pclose(p);
    return innPort > 0;
}

void StopInn() {
    if (!innPort) return;
    std::string cmd = "python3 " + Script() + " stop " + std::string(benchDir) + "/inn >/dev/null 2>&1";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not stop INN\n");
}

std::string BigList() {
    std::string list = "215 list follows\r\n";
    char line[96];
    for (int i = 0; i < LIST_GROUPS; i++) {
        snprintf(line, sizeof line, "hier%02d.topic%03d.group%05d %010d %010d y\r\n", i % 50, i % 997, i, 1000 + i,
                 1 + i);
        list += line;
    }
    return list + ".\r\n";
}

// A fresh full list and actual list for one discovery.
struct tLists {
    tGroupList full;
    tActualList actual;
    bool ok = false;
    explicit tLists(tServer *server) {
        unlink("etc/groups.sq3");
        ok = GroupListOpen(nullptr, &full, &journal, nullptr, nullptr) == E_OK;
        if (ok && ActualListCreate(&actual, server->diskName, &journal, &full, server->id) != E_OK) {
            GroupListClose(&full);
            ok = false;
        }
    }
    ~tLists() {
        if (!ok) return;
        ActualListClose(&actual);
        GroupListClose(&full);
    }
};

void Discover(benchmark::State &state, bool fromCache) {
    tServer *server = ServerAt(&allServers, 0);
    tServerConnection *sc = nullptr;
    if (RequestConnection(server, &requester, &journal, 60, -1, &sc) != E_OK)
        return state.SkipWithError("no connection to the fake server");
    long groups = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (!fromCache) (void)ListCacheRemove(server);
        auto lists = std::make_unique<tLists>(server);
        if (!lists->ok) return state.SkipWithError("lists not opened");
        tListQuery query;
        query.nntp = &sc->nntp;
        query.requester = &requester;
        query.pattern = "*";
        query.actual = &lists->actual;
        state.ResumeTiming();
        tDiag rc = QueryGroupList(&query);
        state.PauseTiming();
        if (rc != E_OK || query.kept != LIST_GROUPS) {
            ReleaseConnection(sc, 0);
            return state.SkipWithError("discovery failed");
        }
        groups += query.kept;
        lists.reset();
        state.ResumeTiming();
    }
    state.counters["groups/s"] = benchmark::Counter((double)groups, benchmark::Counter::kIsRate);
    ReleaseConnection(sc, 0);
}

void DiscoverFullList(benchmark::State &state) { Discover(state, false); }
void DiscoverFromCache(benchmark::State &state) { Discover(state, true); }

tServer *InnServer() { return ServerCount(&allServers) > 1 ? ServerAt(&allServers, 1) : nullptr; }

void SelectGroups(benchmark::State &state) {
    if (!innPort || !InnServer()) return state.SkipWithError("INN did not start");
    tServerConnection *sc = nullptr;
    if (RequestConnection(InnServer(), &requester, &journal, 60, -1, &sc) != E_OK)
        return state.SkipWithError("no connection");
    std::vector<std::string> names;
    for (int i = 0; i < SELECT_GROUPS; i++) names.push_back(InnGroup(i));
    for (auto _ : state) {
        for (const std::string &name : names) {
            tGroupSelection selection{name.c_str(), 0, 0};
            if (SelectGroup(&sc->nntp, &selection, 0, 30, -1, 1, &requester) != E_OK) {
                ReleaseConnection(sc, 0);
                return state.SkipWithError("GROUP failed");
            }
        }
    }
    ReleaseConnection(sc, 0);
}

void PooledGroupRoundTrips(benchmark::State &state) {
    if (!innPort || !InnServer()) return state.SkipWithError("INN did not start");
    tServerConnection *sc = nullptr;
    if (RequestConnection(InnServer(), &requester, &journal, 60, -1, &sc) != E_OK)
        return state.SkipWithError("no connection");
    std::vector<std::string> commands;
    for (int i = 0; i < SELECT_GROUPS; i++) commands.push_back("GROUP " + InnGroup(i) + "\r\n");
    char line[512];
    for (auto _ : state)
        for (const std::string &command : commands)
            if (SendCommand(&sc->nntp, command.c_str()) < 0 ||
                ReadResponse(&sc->nntp, line, sizeof line, 30, "GROUP response") < 0) {
                ReleaseConnection(sc, 0);
                return state.SkipWithError("GROUP failed");
            }
    ReleaseConnection(sc, 0);
}

void DirectGroupRoundTrips(benchmark::State &state) {
    if (!innPort) return state.SkipWithError("INN did not start");
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)innPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, (sockaddr *)&a, sizeof a) != 0) {
        close(s);
        return state.SkipWithError("connect failed");
    }
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
    std::vector<std::string> commands;
    for (int i = 0; i < SELECT_GROUPS; i++) commands.push_back("GROUP " + InnGroup(i) + "\r\n");
    if (!readLine()) {
        close(s);
        return state.SkipWithError("no welcome");
    }
    for (auto _ : state)
        for (const std::string &command : commands)
            if (send(s, command.data(), command.size(), MSG_NOSIGNAL) <= 0 || !readLine()) {
                close(s);
                return state.SkipWithError("GROUP failed");
            }
    close(s);
}

}  // namespace

BENCHMARK(DiscoverFullList)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(DiscoverFromCache)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(SelectGroups)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(PooledGroupRoundTrips)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(DirectGroupRoundTrips)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (!mkdtemp(benchDir)) return 1;
    std::string work = std::string(benchDir) + "/work";
    bool inn = StartInn();
    if (mkdir(work.c_str(), 0755) != 0 || chdir(work.c_str()) != 0 || mkdir("connect", 0755) != 0 ||
        mkdir("etc", 0755) != 0)
        return 1;
    const std::string list = BigList();
    fake = std::make_unique<tFakeNntp>(std::vector<std::string>{"200 fake"});
    fake->SetScript([&list](int, const std::string &command) { return command == "LIST" ? list : std::string(); });
    std::string ini = "[proxies]\nurl=none\n\n[server]\nurl=127.0.0.1:" + std::to_string(fake->port()) +
                      "\nlistPreferred=1\n";
    if (inn) ini += "\n[server]\nurl=127.0.0.1:" + std::to_string(innPort) + "\n";
    FILE *f = fopen("servers.ini", "w");
    if (!f) return 1;
    fputs(ini.c_str(), f);
    fclose(f);
    allServers.resultsPath = nullptr;
    bool ready = LogOpen(&journal, "journal", 1 << 30) == E_OK && CancelSocketCreate() == 0 && TasksInit() == E_OK &&
                 ServersLoadDynamic(&allServers, &journal, "servdyna.ini") == E_OK &&
                 LoadServers(&allServers, &journal, 0, 0, 0, nullptr, nullptr, &taskScheduler, "servers.ini") ==
                     E_OK &&
                 BindServers(&allServers) == E_OK;
    if (!ready) return 1;
    if (!inn) innPort = 0;
    std::thread loop([] { SchedulerRun(&taskScheduler); });
    benchmark::RunSpecifiedBenchmarks();
    PoolRelease(&allServers);
    SchedulerStop(&taskScheduler);
    loop.join();
    PoolWaitAll(&taskPool);
    ServersRelease(&allServers);
    TasksRelease();
    fake.reset();
    StopInn();
    std::string cleanup = std::string("rm -rf ") + benchDir;
    if (system(cleanup.c_str()) != 0) fprintf(stderr, "could not remove %s\n", benchDir);
    return 0;
}
