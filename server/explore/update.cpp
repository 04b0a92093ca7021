#include "server/explore/update.h"

#include "lib/files.h"
#include "lib/log.h"
#include "lib/shutdown.h"
#include "lib/sock.h"
#include "lib/tasks.h"
#include "server/settings/settings.h"
#include "server/store/newsrc.h"
#include "server/upstream/servers.h"

#include <cstdio>
#include <cstring>
#include <atomic>
#include <mutex>

tUpdateCycle updateCycle;

namespace {

constexpr int EXIT_MAIN_SYNC = 35;     // "Error during synchronization with main server"
constexpr int EXIT_NO_INTERNET = 36;   // "Internet not present"
constexpr int EXIT_UPDATE = 48;        // "Could not create the server update task"
constexpr int EXIT_MINIMAL_DONE = 49;  // "Automatic shutdown after exploring all servers in minimal mode"

// UpdateStart succeeded and UpdateStop has not run.
std::atomic<bool> cycleRunning{false};
// The template of one-group explorations, fixed at UpdateStart.
tExplore oneGroupTemplate;

tLog *Log(const tUpdateCycle *cycle) {
    tServers *servers = cycle->templ.servers;
    return servers && servers->log ? servers->log : &journal;
}

tDiag ScheduleOne(tServers *, tServer *server, void *templ) {
    return ScheduleIfExplored(server, static_cast<const tExplore *>(templ));
}

}  // namespace

tDiag ScheduleIfExplored(tServer *server, const tExplore *templ) {
    if (!server->explore) {
        // Minimal mode waits for every enabled server: one that is never
        // explored is done at once.
        if (templ->minimal && !templ->oneGroup[0]) ServerExplored(templ->servers ? templ->servers : server->servers);
        return E_OK;
    }
    return ScheduleExplore(server, templ);
}

void ServerExplored(tServers *servers) {
    bool done;
    {
        std::lock_guard<std::mutex> guard(servers->lock);
        servers->serversToExplore--;
        done = servers->serversToExplore == 0;
    }
    if (done) RequestShutdown(EXIT_MINIMAL_DONE);
}

tDiag SyncWithMain(tUpdateCycle *cycle) {
    tExplore *templ = &cycle->templ;
    tServers *servers = templ->servers;
    tLog *log = Log(cycle);
    tServer *main = FindServerById(servers, servers->mainServer);
    if (!main) return E_MAIN_SYNC_FAILED;
    char path[512];
    int n = snprintf(path, sizeof path, "%s/%s", NewsrcDirectory(), main->diskName);
    if (n < 0 || n > 255) {
        LogMessage(log, "Server name %s is too long.\n", main->diskName);
        ServerRelease(main);
        return E_PATH_TOO_LONG;
    }
    if (FileExists(path)) {
        ServerRelease(main);
        return E_OK;
    }
    int deferred = templ->deferred;
    templ->deferred = 0;
    templ->server = main;
    templ->useServerNumber = 1;
    LogMessage(log, "Syncing with main server %s.\n", main->displayName);
    (void)ExploreServer(templ);
    templ->server = nullptr;
    templ->useServerNumber = 0;
    templ->deferred = deferred;
    tDiag result = main->dynamic ? main->dynamic->lastExploreDiag : E_NONE;
    tDiag rc = E_OK;
    if (result == E_OK) {
        LogMessage(log, "Sync with main server done.\n");
    } else {
        LogMessage(log, "Sync with main server failed: %s.\n", DiagText(result));
        if (result == E_NO_ACTIVE_GROUPS) {
            LogMessage(log, "Ignoring this error; main server will simply be the default posting server.\n");
        } else {
            rc = E_MAIN_SYNC_FAILED;
        }
    }
    ServerRelease(main);
    return rc;
}

time_t UpdateTask(void *argument, void *) {
    tUpdateCycle *cycle = static_cast<tUpdateCycle *>(argument);
    tExplore *templ = &cycle->templ;
    tLog *log = Log(cycle);
    bool present = true;
    int error = 0;
    if (!templ->assumeInternetPresent && LocalOnlyCheck() != 0) {
        present = false;
        error = SockLastError();
    }
    time_t next;
    if (present) {
        if (cycle->probed && !cycle->connected) LogMessage(log, "Connected to the Internet now.\n");
        if (!cycle->synced) {
            if (templ->servers->mainServer != 0 && SyncWithMain(cycle) != E_OK) {
                RequestShutdown(EXIT_MAIN_SYNC);
                return 0;
            }
            cycle->synced = 1;
        }
        if (!cycle->scheduled) {
            (void)ForEachServer(templ->servers, ScheduleOne, templ);
            cycle->scheduled = 1;
            if (templ->minimal) {
                // No enabled server at all: nothing will ever count down.
                bool none;
                {
                    std::lock_guard<std::mutex> guard(templ->servers->lock);
                    none = templ->servers->serversToExplore <= 0;
                }
                if (none) {
                    RequestShutdown(EXIT_MINIMAL_DONE);
                    return 0;
                }
            }
        }
        templ->deferred = 0;
        cycle->connected = 1;
        next = time(nullptr) + 10;
    } else {
        const char *reason = SockErrorText(error);
        if (templ->exitIfNoInternet) {
            LogMessage(log, "Internet not present (%s). Closing.\n", reason);
            RequestShutdown(EXIT_NO_INTERNET);
            return 0;
        }
        if (cycle->probed && cycle->connected) {
            LogMessage(log, "Lost Internet connection (%s). Deferring server update.\n", reason);
        } else if (!cycle->probed) {
            LogMessage(log, "Not connected to the Internet now (%s). Waiting...\n", reason);
        }
        cycle->connected = 0;
        next = time(nullptr) + 2;
    }
    cycle->probed = 1;
    return next;
}

tDiag ExploreGroupEverywhere(const char *group) {
    if (!cycleRunning) return E_NONE;
    if (!group || !group[0] || strlen(group) > (size_t)EXPLORE_GROUP_MAX) return E_BAD_GROUP_NAME;
    tExplore templ = oneGroupTemplate;
    snprintf(templ.oneGroup, sizeof templ.oneGroup, "%s", group);
    tServers *servers = templ.servers;
    tDiag first = E_OK;
    for (tServer *server = ServersFirst(servers, SERVERS_SKIP_DISABLED); server;
         server = ServersNext(servers, server, SERVERS_SKIP_DISABLED)) {
        tDiag rc = ScheduleIfExplored(server, &templ);
        if (rc != E_OK && first == E_OK) first = rc;
    }
    return first;
}

int UpdateStart(tServers *servers, tIndices *indices, tGroupList *groupList, tScheduler *scheduler) {
    updateCycle = tUpdateCycle{};
    tExplore *templ = &updateCycle.templ;
    templ->servers = servers;
    templ->indices = indices;
    templ->popularity = groupList;
    templ->groupList = groupList;
    templ->minimal = minimal;
    templ->deferred = deferredOnStartup;
    templ->exitIfNoInternet = exitIfNoInternet;
    templ->assumeInternetPresent = assumeInternetPresent;
    templ->skipEmptyGroups = skipEmptyGroups;
    templ->useServerNumber = 0;
    templ->periodic = 1;
    templ->sweepRequested = 0;
    taskCategories[TC_EXPLORE].limit = minimal ? simultaneousMinimal : simultaneousNormal;
    if (TaskSchedule(scheduler, UpdateTask, &updateCycle, nullptr, time(nullptr), &taskCategories[TC_UPDATE],
                     "UpdateServers", 0) < 0) {
        return EXIT_UPDATE;
    }
    oneGroupTemplate = *templ;
    oneGroupTemplate.periodic = 0;
    oneGroupTemplate.deferred = 0;
    oneGroupTemplate.minimal = 0;
    cycleRunning = true;
    return 0;
}

void UpdateStop() {
    cycleRunning = false;
    ExploreReleaseAll();
}
