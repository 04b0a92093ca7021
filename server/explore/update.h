// The update cycle: the long-lived task "UpdateServers" that makes
// exploration happen on its own.
//
// After start-up it watches for an Internet connection (unless told to
// assume one), synchronises once with the main server when one is
// configured (so that new group indexes number their articles like the main
// server), and then schedules the periodic exploration of every server whose
// explore key is on. It carries the global exploration switches (minimal
// mode, deferral at start-up, Internet presence) in its exploration template
// and ends the program where the settings ask for it: 35 when the main-server
// sync fails, 36 without Internet when exitIfNoInternet is set, 49 once every
// server was explored in minimal mode.
//
// Design: one tUpdateCycle per run (updateCycle), prepared by UpdateStart
// from the settings; its task runs every 10 seconds while the Internet is
// present and every 2 seconds while it is absent. The one-group explorations
// of the reader session and of the posting relay go through
// ExploreGroupEverywhere / ScheduleIfExplored with a copy of the template.
//
// Threading: the update task runs in category "update" (one thread), so the
// switches of tUpdateCycle are only touched by it; the template is read by
// ExploreGroupEverywhere on session threads (its fields do not change after
// UpdateStart except deferred, a plain int). serversToExplore is counted down
// under the tServers lock.
#pragma once

#include "lib/diag.h"
#include "server/explore/explore.h"

#include <ctime>

struct tScheduler;

struct tUpdateCycle {
    tExplore templ;        // the periodic exploration template
    int synced = 0;        // the main-server sync is done (or not needed)
    int connected = 0;     // the last check found the Internet present
    int probed = 0;        // at least one check was made
    int scheduled = 0;     // the exploration tasks have been scheduled
};

// The update cycle of the run.
extern tUpdateCycle updateCycle;

// The task body (argument1 the tUpdateCycle): one check of the Internet and
// what follows from it. Returns the time of the next run, or 0 after
// requesting a shutdown.
time_t UpdateTask(void *cycle, void *unused);

// Explores the main server on this thread with useServerNumber unless its
// newsrc file exists already. E_OK (also for a main server without active
// groups); E_MAIN_SYNC_FAILED; E_PATH_TOO_LONG.
[[nodiscard]] tDiag SyncWithMain(tUpdateCycle *cycle);

// Schedules an exploration of server from templ (ScheduleExplore) when the
// server's explore key is on; otherwise does nothing and returns E_OK (in
// minimal mode the server then counts as explored).
[[nodiscard]] tDiag ScheduleIfExplored(tServer *server, const tExplore *templ);

// Counts down serversToExplore under the servers lock; at 0 requests the
// shutdown with exit code 49.
void ServerExplored(tServers *servers);

// Schedules a one-group exploration of group on every enabled server whose
// explore key is on (the reader session's hook for a group never
// downloaded). E_OK; E_NONE when no update cycle runs; the first scheduling
// failure.
[[nodiscard]] tDiag ExploreGroupEverywhere(const char *group);

// Start-up: fills updateCycle's template from the settings and the run's
// servers, index cache and group list, sets the "explore" category's limit,
// and schedules "UpdateServers" in category "update", due now. Returns 0, or
// 48 (EXIT_UPDATE_TASK) when the task cannot be scheduled. Main thread.
[[nodiscard]] int UpdateStart(tServers *servers, tIndices *indices, tGroupList *groupList, tScheduler *scheduler);

// Tear-down: frees what explorations left behind and ends the cycle. Main
// thread, after every task thread ended.
void UpdateStop();
