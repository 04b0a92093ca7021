#include "server/main/run.h"

#include "lib/appendlog.h"
#include "lib/console.h"
#include "lib/diag.h"
#include "lib/files.h"
#include "lib/log.h"
#include "lib/panic.h"
#include "lib/shutdown.h"
#include "lib/sock.h"
#include "lib/tasks.h"
#include "lib/threadpool.h"
#include "server/main/entry.h"
#include "server/main/exitcodes.h"
#include "server/settings/settings.h"
#include "server/main/workdir.h"

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <system_error>

int consoleAttached = 1;
int restartRequested = 0;
int keptClientSocket = -1;

namespace {

// The state of one run that the stages share.
struct tRun {
    int minimalOption = 0;
    int autoConfigured = 0;
    const char *importFile = nullptr;
    int migrationMode = 0;
    bool pastDirectories = false;  // the directories exist: the settings are saved at the end
    bool threadsStarted = false;   // threads may run: wait for them and write the reports
    bool schedulerReady = false;   // the task pool and the scheduler exist
    bool settingsLoaded = false;   // the settings were read (also half-way)
};

// A group of start-up steps and the tear-down of what they set up.
struct tRunStage {
    // Sets up; returns 0 or the exit code of the failing step.
    int (*start)(tRun *run);
    // Undoes start, also a start that failed half-way; null when nothing to undo.
    void (*stop)(tRun *run);
};

void Journal(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Journal(const char *format, ...) {
    va_list args;
    va_start(args, format);
    LogMessageV(&journal, format, args);
    va_end(args);
}

// Creates the directory name (an existing one is fine); on failure the
// journal says so.
bool MakeDirectory(const char *name) { return CreateDirectoryChecked(name, &journal) == E_OK; }

// The shared log of unusable servers, open in minimal mode only.
tAppendLog unusableLog;

// ---------------------------------------------------------------------------
// Steps 3-7: sockets, settings, limits, ports.

int StartSettings(tRun *run) {
    // Step 3: a fresh cancellation socket for this run (the socket layer
    // itself needs no initialisation here). Creating it only fails when the
    // process is out of descriptors, and then nothing of the run could work.
    if (CancelSocketCreate() < 0) {
        Journal("Could not create the cancellation socket: %s.\n", SockErrorText(SockLastError()));
        Panic("CancelSocketCreate() >= 0", __FILE__, __LINE__);
    }

    // Step 4: the global settings ("etc/mergator.ini", created when missing).
    run->settingsLoaded = true;
    if (SettingsLoad(&journal) != 0) return EXIT_MERGATOR_INI;

    // Step 5. The listeners read the four login settings themselves.
    if (run->minimalOption) minimal = 1;
    taskCategories[TC_ZOMBIE].limit = zombieTasks;
    taskCategories[TC_ASYNCAV].limit = serverAvailable;
    taskCategories[TC_CONNECT].limit = maxTasks;

    // Step 6.
    if (int code = SettingsCheckPorts(&journal)) return code;

    // Step 7: is another server already listening on the NNTP port?
    if (nntpEnabled && !run->migrationMode) {
        tConnectRequest probe{};
        probe.host = "127.0.0.1";
        probe.port = nntpPort;
        probe.timeout = 10;
        probe.cancelSocket = CancelSocketGet();
        int sock = DirectConnect(&probe);
        if (sock >= 0) {
            SocketClose(sock);
            Journal("Another server is already running on port %d\n", nntpPort);
            if (!run->autoConfigured) {
                if (!ignoreAnother) return EXIT_ANOTHER_SERVER;
                Journal("Ignoring this situation as requested.\n");
            }
        }
    }
    return 0;
}

void StopSettings(tRun *) {
    // Every thread has ended: nothing waits on the cancellation socket now.
    CancelSocketClose();
}

// ---------------------------------------------------------------------------
// Steps 8-13: directories, index cache, minimal-mode log, priority.

int StartDirectories(tRun *run) {
    // Step 8.
    static const struct {
        const char *name;
        int code;
    } directories[] = {
        {"logs", EXIT_LOGS_DIRECTORY},       {"list", EXIT_LIST_DIRECTORY},
        {"explore", EXIT_EXPLORE_DIRECTORY}, {"connect", EXIT_CONNECT_DIRECTORY},
        {"async", EXIT_ASYNC_DIRECTORY},
    };
    for (const auto &d : directories) {
        if (!MakeDirectory(d.name)) return d.code;
    }

    // Step 9: the directory must hold long file names.
    if (!shortFileNames) {
        const char *probe = "explore/f.i.l.e.name";
        if (!FileExists(probe)) {
            FILE *f = fopen(probe, "w");
            if (!f) {
                Journal("Work directory cannot store long filenames.\n");
                return EXIT_SHORT_NAMES_ONLY;
            }
            fclose(f);
            remove(probe);
        }
    }

    // Step 10.
    if (!minimal && !MakeDirectory("newsrc3")) return EXIT_NEWSRC_DIRECTORY;
    run->pastDirectories = true;

    // Step 11: the group index cache; unless minimal it creates "index2"
    // (failure: EXIT_INDEX_DIRECTORY). -> store goes here.

    // Step 12.
    if (minimal && AppendLogInit(&unusableLog, "logs/unusable", &journal, 0) != E_OK) return EXIT_UNUSABLE_LOG;

    // Step 13.
    if (lowerPriority && !ProcessLowerPriority()) Journal("Could not lower the process priority.\n");
    return 0;
}

void StopDirectories(tRun *) {
    AppendLogRelease(&unusableLog);
    // -> release the index cache.
}

// ---------------------------------------------------------------------------
// Steps 14-18: servers.

int StartServers(tRun *run) {
    // Step 14: load "etc/servdyna.ini"; failure: EXIT_SERVERS_INI.
    // Step 15: load "etc/servers.ini" with shortFileNames, noXGTITLE,
    //          alwaysLIST, the check callback and the scheduler; failure:
    //          EXIT_SERVERS_INI.
    // Step 16: with run->importFile import its servers; failure:
    //          EXIT_IMPORT_FAILED.
    // Step 17: bind the servers to their proxies and dynamic data; failure:
    //          EXIT_SERVERS_INI.
    // -> server definitions go here. Until then an import cannot be made,
    //    and saying so is better than ignoring the file.
    if (run->importFile) {
        Journal("Cannot import servers from '%s': this version cannot read server lists yet.\n", run->importFile);
        return EXIT_IMPORT_FAILED;
    }

    // Step 18.
    if (otherComputers) Journal("Warning: server configured to allow connections from everywhere.\n");
    return 0;
}

void StopServers(tRun *) {
    // -> release the servers, saving "etc/servdyna.ini".
}

// ---------------------------------------------------------------------------
// Steps 19-22: retrieved and hidden lists, filters, category limits.

int StartLists(tRun *) {
    // Step 19: open "etc/retrievd.sq3"; failure: EXIT_RETRIEVD. With
    //          applyRetrievd apply it to all groups.
    // Step 20: open "etc/hidden.sq3"; failure: EXIT_HIDDEN. With applyHidden
    //          apply it to all groups.
    // Step 21: create the sample "etc/filters.ini" when missing; with
    //          filterAll apply the filters to all groups.
    // -> Message-ID lists and filters go here.

    // Step 22.
    taskCategories[TC_ASYNC].limit = simultaneous;
    taskCategories[TC_EXPLORE].limit = minimal ? simultaneousMinimal : simultaneousNormal;
    return 0;
}

void StopLists(tRun *) {
    // -> close the hidden list, then the retrieved list.
}

// ---------------------------------------------------------------------------
// Step 23: task pool and scheduler.

int StartScheduler(tRun *run) {
    // Step 23: the task pool without a limit and the scheduler on it.
    // Creating them only fails when the system cannot create a mutex or a
    // condition variable, and then nothing else of the run could work.
    if (TasksInit() != E_OK) {
        Journal("Could not create the task scheduler: %s.\n", DiagText(E_ERRNO));
        Panic("TasksInit() == E_OK", __FILE__, __LINE__);
    }
    run->schedulerReady = true;
    return 0;
}

void StopScheduler(tRun *run) {
    if (!run->schedulerReady) return;
    TasksRelease();
    run->schedulerReady = false;
}

// ---------------------------------------------------------------------------
// Steps 24-25: full group list.

int StartGroupList(tRun *) {
    // Step 24: open "etc/groups.sq3" with noByName; unless minimal enter each
    //          file of "index2" (but "*-journal") as an active group, with the
    //          journal lines of the group list; failure: EXIT_GROUPS_LIST.
    // Step 25: the popularity data is the group list itself.
    // -> full group list goes here.
    return 0;
}

void StopGroupList(tRun *) {
    // -> close the full group list.
}

// ---------------------------------------------------------------------------
// Steps 26-29: asynchronous retrieval, client registry, listeners.

int StartServices(tRun *) {
    // Step 26: initialise asynchronous retrieval with retrievedMark, the
    //          retrieved list when retrievedLog, and executeCmd only when
    //          executeYes and not empty; failure: EXIT_ASYNC_INIT.
    // Step 27: initialise the client registry.
    // Step 28: when nntpEnabled and not migrating: the NNTP listener on
    //          nntpPort with "logs/clients" (100000 bytes), maxNntp,
    //          nntpQueueRequests and keptClientSocket; failure:
    //          EXIT_NNTP_SERVER. Then the shortcut files "telnet.htm",
    //          "telnet.url", "news.htm", "news.url" (telnetHtm, telnetUrl,
    //          newsHtm, newsUrl) with the port actually bound.
    // Step 29: when webEnabled and not migrating: the web listener on webPort
    //          with "logs/web" (100000 bytes), maxWeb, webQueueRequests;
    //          failure: EXIT_WEB_SERVER. Then "web.htm", "web.url" (webHtm,
    //          webUrl).
    // -> asynchronous retrieval and listeners go here.
    return 0;
}

void StopServices(tRun *) {
    // -> close the listening sockets, then release the client registry, then
    //    asynchronous retrieval.
}

// ---------------------------------------------------------------------------
// Steps 30-38: from the start-up to the running state.

int StartRunning(tRun *run) {
    // Step 30.
    if (ShutdownRequested()) return EXIT_SHUTDOWN_DURING_STARTUP;

    // Step 31.
    if (run->autoConfigured) {
        Journal("Mergator has been successfully auto-configured.\n"
                "Please review the created default configuration files,\n"
                "possibly adjust some settings and run Mergator again\n"
                "to enter normal operation mode.\n");
        return EXIT_AUTOCONFIG_DONE;
    }

    // Step 32: the conversion of an older work directory runs here, on the
    // main thread, and hands its result (0 or EXIT_MIGRATION_FAILED) to
    // RequestShutdown. -> legacy migration goes here; until then no
    // conversion can be made and the migration fails.
    if (run->migrationMode) {
        run->threadsStarted = true;
        Journal("This version cannot convert the files of older versions.\n");
        RequestShutdown(EXIT_MIGRATION_FAILED);
        return 0;
    }

    // Step 33.
    Journal("Mergator successfully started.\n");

    // Step 34: no window to hide on this platform, so leave the terminal.
    static bool wentToBackground = false;
    if (runInBackground && !wentToBackground) {
        wentToBackground = true;
        consoleAttached = 0;
        journal.echo = 0;
        ConsoleDetach();
    }

    // Step 35: resume the pending asynchronous retrievals.
    // -> asynchronous retrieval goes here.

    run->threadsStarted = true;
    // Step 36: start the dispatcher threads "NntpDispatcher" and
    //          "WebDispatcher" of the existing listeners on the task pool
    //          (PoolStart); failure: RequestShutdown and return
    //          EXIT_NNTP_THREAD or EXIT_WEB_THREAD.
    // Step 37: schedule "Compact" in category "compact", due in 600 seconds;
    //          failure: RequestShutdown and return EXIT_COMPACT_TASK.
    // Step 38: when explore is set, prepare the update context and schedule
    //          "UpdateServers" in category "update", due now; failure:
    //          RequestShutdown and return EXIT_UPDATE_TASK.
    // -> listeners, maintenance and the update cycle go here.

    // The scheduler loop on the main thread until a shutdown is requested.
    SchedulerRun(&taskScheduler);
    return 0;
}

const tRunStage stages[] = {
    {StartSettings, StopSettings},     {StartDirectories, StopDirectories}, {StartServers, StopServers},
    {StartLists, StopLists},           {StartScheduler, StopScheduler},     {StartGroupList, StopGroupList},
    {StartServices, StopServices},     {StartRunning, nullptr},
};
constexpr int stageCount = (int)(sizeof stages / sizeof stages[0]);

// Deletes "path" and "path.bak".
void DeleteWithBackup(const char *path) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
    std::filesystem::remove(std::string(path) + ".bak", ec);
}

// Step 44: the deletions the shutdown settings ask for, then the removal of
// what is empty.
void ShutdownDeletions() {
    std::error_code ec;
    if (deleteActual) {
        DeleteFilesOf("actual");
        if (std::filesystem::is_empty("actual", ec) && !ec) std::filesystem::remove("actual", ec);
    }
    if (deleteJournal) DeleteWithBackup("journal");
    if (deleteLogsClients) DeleteWithBackup("logs/clients");
    if (deleteLogsCompact) DeleteWithBackup("logs/compact");
    if (deleteLogsIntruder) std::filesystem::remove("logs/intruder", ec);
    if (deleteLogsResults) std::filesystem::remove("logs/results", ec);
    if (deleteLogsSummary) DeleteWithBackup("logs/summary");
    if (deleteLogsUnusable) std::filesystem::remove("logs/unusable", ec);
    if (deleteLogsWeb) DeleteWithBackup("logs/web");
    if (deleteExplore) DeleteFilesOf("explore");
    if (deleteConnect) DeleteFilesOf("connect");
    if (deleteLogs) DeleteFilesOf("logs");
    CleanWorkDirectory(0);
}

// One pass from the opening of the journal to the shutdown deletions.
// Returns the exit code of the pass.
int RunOnce(tRun *run) {
    // Step 1.
    if (LogOpen(&journal, "journal", JOURNAL_MAX_SIZE) != E_OK) {
        fputs("Could not create the journal file.\n", stderr);
        return EXIT_JOURNAL;
    }
    journal.echo = consoleAttached;

    // Step 2.
    Journal("%s\n", ProgramBanner());

    int code = 0;
    int entered = 0;
    while (entered < stageCount) {
        code = stages[entered++].start(run);
        if (code != 0) break;
    }

    if (run->threadsStarted) {
        // Step 39: the dispatchers and the tasks end on the shutdown request.
        if (run->schedulerReady) PoolWaitAll(&taskPool);
        if (shutdownCode.load() != 0) code = shutdownCode.load();
        // Step 40.
        if (!run->migrationMode) {
            Journal("All threads have returned.\n");
            LogRaw(&journal, "\n");
            // -> the server status report (text form) goes here.
            LogRaw(&journal, "\n");
            if (run->schedulerReady) TasksReportToLog(&taskScheduler, &journal);
        }
    }

    // Step 41: tear down in reverse order.
    while (entered > 0) {
        const tRunStage &stage = stages[--entered];
        if (stage.stop) stage.stop(run);
    }

    // Step 42.
    if (run->pastDirectories) SettingsWriteBack(&journal);

    // Step 43.
    if (run->settingsLoaded) SettingsRelease();
    if (code != 0) {
        Journal("Mergator is terminating with code %d: %s.\n", code, ExitCodeText(code));
        if (consoleAttached) Journal("See journal file for more information.\n");
    }
    LogClose(&journal);

    // Step 44: another server on the same port keeps all its files.
    if (code != EXIT_ANOTHER_SERVER) ShutdownDeletions();
    return code;
}

}  // namespace

int RunServer(int consoleAttachedArg, int minimalOption, int autoConfigured, const char *importFile,
              int migrationMode) {
    consoleAttached = consoleAttachedArg;
    keptClientSocket = -1;
    InstallConsoleControl();
    for (;;) {
        tRun run;
        run.minimalOption = minimalOption;
        run.autoConfigured = autoConfigured;
        run.importFile = importFile;
        run.migrationMode = migrationMode;
        int code = RunOnce(&run);
        if (code == EXIT_JOURNAL) return code;
        // Step 45: the internal restart.
        if (!restartRequested && shutdownCode.load() != EXIT_PANIC_RESTART) return code;
        restartRequested = 0;
        ShutdownReset();
    }
}
