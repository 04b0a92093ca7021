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

#include "bench/benchsupport.h"
#include "lib/log.h"
#include "server/explore/grouplists.h"
#include "server/explore/groupsel.h"
#include "server/store/actual.h"
#include "server/upstream/pool.h"
#include "server/upstream/servers.h"
#include "tests/support/fakenntp.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int LIST_GROUPS = 100000;
constexpr int SELECT_GROUPS = 1000;

char benchDir[] = "/tmp/mg-groupsel-bench-XXXXXX";
int innPort = 0;
std::unique_ptr<tFakeNntp> fake;
const tRequester requester{"bench", 0, KIND_EXPLORE};

std::string InnGroup(int i) {
    char name[32];
    snprintf(name, sizeof name, "bench.g%04d", i);
    return name;
}

std::string InnDir() { return std::string(benchDir) + "/inn"; }

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
    tPlainClient client(innPort);
    if (client.fd < 0) return state.SkipWithError("connect failed");
    std::vector<std::string> commands;
    for (int i = 0; i < SELECT_GROUPS; i++) commands.push_back("GROUP " + InnGroup(i) + "\r\n");
    if (!client.SkipLine()) return state.SkipWithError("no welcome");
    for (auto _ : state)
        for (const std::string &command : commands)
            if (!client.Exchange(command)) return state.SkipWithError("GROUP failed");
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
    std::string groups;
    for (int i = 0; i < SELECT_GROUPS; i++) groups += " --group " + InnGroup(i) + ":" + std::to_string(1 + i);
    innPort = StartInn(InnDir(), groups);
    if (mkdir(work.c_str(), 0755) != 0 || chdir(work.c_str()) != 0 || mkdir("connect", 0755) != 0 ||
        mkdir("etc", 0755) != 0)
        return 1;
    const std::string list = BigList();
    fake = std::make_unique<tFakeNntp>(std::vector<std::string>{"200 fake"});
    fake->SetScript([&list](int, const std::string &command) { return command == "LIST" ? list : std::string(); });
    std::string servers = ServerSection(fake->port(), "listPreferred=1\n");
    if (innPort) servers += "\n" + ServerSection(innPort);
    if (!StartServers(servers)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    StopServers();
    fake.reset();
    if (innPort) (void)StopInn(InnDir());
    if (!RunCommand(std::string("rm -rf ") + benchDir)) fprintf(stderr, "could not remove %s\n", benchDir);
    return 0;
}
