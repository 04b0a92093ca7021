// Group list throughput.
//
// BM_ReadList: reads a LIST answer of 100,000 groups into a fresh actual
// list (each line enters the full list too) and commits; items/s is lines
// per second.
// BM_LookupIgnoringCase: in a full list of 100,000 groups, looks groups up
// by a spelling in another case (GroupIsActive); items/s is lookups per
// second.
// BM_Activate: activates groups of that list by name (GroupAddActive, a
// lookup that also sets the flag).
#include <benchmark/benchmark.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "server/store/actual.h"
#include "server/store/grouplist.h"

namespace {

constexpr int kGroups = 100000;

std::string GroupName(int i) {
    char name[64];
    snprintf(name, sizeof name, "alt.bench.h%03d.group%06d", i % 997, i);
    return name;
}

// A fresh work directory for the run, left with the current directory in it.
void EnterFreshDirectory() {
    static std::string base;
    if (base.empty()) {
        char tmpl[] = "/tmp/mgbench.XXXXXX";
        if (!mkdtemp(tmpl)) abort();
        base = tmpl;
        atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(base, ec);
        });
    }
    static int runs = 0;
    std::string dir = base + "/" + std::to_string(runs++);
    mkdir(dir.c_str(), 0755);
    if (chdir(dir.c_str()) != 0) abort();
    mkdir("etc", 0755);
}

void BM_ReadList(benchmark::State &state) {
    std::vector<std::string> lines;
    for (int i = 0; i < kGroups; i++) lines.push_back(GroupName(i) + " " + std::to_string(i + 100) + " 1 y");
    for (auto _ : state) {
        state.PauseTiming();
        EnterFreshDirectory();
        tGroupList full;
        if (GroupListOpen(nullptr, &full, nullptr, nullptr, nullptr) != E_OK) abort();
        tActualList actual;
        if (ActualListCreate(&actual, "news.example.com", nullptr, &full, 1) != E_OK) abort();
        state.ResumeTiming();
        for (const std::string &line : lines)
            if (ActualAddListLine(&actual, line.c_str()) != E_OK) abort();
        if (ActualCommit(&actual) != E_OK || DbCheckpoint(&full.db) != E_OK) abort();
        state.PauseTiming();
        ActualListClose(&actual);
        GroupListClose(&full);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kGroups);
}
BENCHMARK(BM_ReadList)->Unit(benchmark::kMillisecond)->Iterations(2);

// The full list of kGroups groups shared by the lookup benchmarks.
tGroupList *FullList() {
    static tGroupList full;
    static bool made = false;
    if (!made) {
        EnterFreshDirectory();
        if (GroupListOpen(nullptr, &full, nullptr, nullptr, nullptr) != E_OK) abort();
        for (int i = 0; i < kGroups; i++)
            if (GroupLookup(&full, GroupName(i).c_str(), GL_INSERT, nullptr, false, false, nullptr, 1) != E_OK)
                abort();
        if (DbCheckpoint(&full.db) != E_OK) abort();
        made = true;
    }
    return &full;
}

std::vector<std::string> UpperNames() {
    std::vector<std::string> names;
    for (int i = 0; i < kGroups; i++) {
        std::string name = GroupName((int)((i * 7919L) % kGroups));
        for (char &c : name) c = (char)toupper((unsigned char)c);
        names.push_back(name);
    }
    return names;
}

void BM_LookupIgnoringCase(benchmark::State &state) {
    tGroupList *full = FullList();
    std::vector<std::string> names = UpperNames();
    size_t next = 0;
    for (auto _ : state) {
        int active = GroupIsActive(full, names[next].c_str());
        if (active < 0) abort();
        benchmark::DoNotOptimize(active);
        next = (next + 1) % names.size();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LookupIgnoringCase);

void BM_Activate(benchmark::State &state) {
    tGroupList *full = FullList();
    std::vector<std::string> names = UpperNames();
    size_t next = 0;
    for (auto _ : state) {
        if (GroupAddActive(full, names[next].c_str()) != E_OK) abort();
        next = (next + 1) % names.size();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Activate);

}  // namespace

BENCHMARK_MAIN();
