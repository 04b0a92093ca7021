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
#include "server/explore/explore.h"
#include "server/explore/update.h"
#include "server/nntp/clients.h"
#include "server/nntp/interim.h"
#include "server/nntp/listener.h"
#include "server/nntp/localservers.h"
#include "server/nntp/session.h"
#include "server/retrieve/direct.h"
#include "server/store/grouplist.h"
#include "server/upstream/pool.h"
#include "server/upstream/servers.h"
#include "server/store/articles.h"
#include "server/store/indices.h"

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
    bool groupListOpen = false;    // the full group list is open
    bool serversLoaded = false;    // the server definitions were read (also half-way)
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
        if (int code = LocalServerProbe(nntpPort, run->autoConfigured, ignoreAnother, &journal)) return code;
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

    // Step 11: the group index cache; unless minimal it creates "index2".
    if (tDiag diag = IndicesCreate(&indexCache, minimal != 0, &journal, &articlesStoreOps); diag != E_OK) {
        if (diag == E_CANNOT_CREATE_DIR) return EXIT_INDEX_DIRECTORY;
        Journal("Could not create the index cache: %s.\n", DiagText(diag));
        return EXIT_INDEX_DIRECTORY;
    }

    // Step 12.
    if (minimal && AppendLogInit(&unusableLog, "logs/unusable", &journal, 0) != E_OK) return EXIT_UNUSABLE_LOG;

    // Step 13.
    if (lowerPriority && !ProcessLowerPriority()) Journal("Could not lower the process priority.\n");
    return 0;
}

void StopDirectories(tRun *) {
    AppendLogRelease(&unusableLog);
    IndicesClose(indexCache);
    indexCache = nullptr;
}

// ---------------------------------------------------------------------------
// Steps 14-18: servers.

int StartServers(tRun *run) {
    // Steps 14-17: "etc/servdyna.ini", "etc/servers.ini", the import of
    // run->importFile and the binding of servers to their proxies and
    // statistics (exit codes 20 and 56).
    run->serversLoaded = true;
    if (int code = ServersStart(&allServers, &journal, run->importFile, nullptr, nullptr, &taskScheduler))
        return code;

    // Step 18.
    if (otherComputers) Journal("Warning: server configured to allow connections from everywhere.\n");
    return 0;
}

void StopServers(tRun *run) {
    // Saves "etc/servdyna.ini"; safe after a start that failed half-way.
    if (run->serversLoaded) ServersRelease(&allServers);
    run->serversLoaded = false;
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
    if (indexCache) IndicesUseScheduler(indexCache, &taskScheduler);
    return 0;
}

void StopScheduler(tRun *run) {
    if (!run->schedulerReady) return;
    TasksRelease();
    run->schedulerReady = false;
}

// ---------------------------------------------------------------------------
// Steps 24-25: full group list.

int StartGroupList(tRun *run) {
    // Step 24: the full group list; unless minimal every file of "index2"
    // enters it as an active group. Step 25: the popularity data is the
    // group list itself.
    static tGroupWants wants;  // the setting arrays outlive the list
    wants.yes = IniStrings(yes);
    wants.noByPattern = IniStrings(noByPattern);
    wants.noByName = IniStrings(noByName);
    if (GroupListStart(&groupList, &journal, &wants, &shutdownCode, minimal != 0) < 0) return EXIT_GROUPS_LIST;
    run->groupListOpen = true;
    return 0;
}

void StopGroupList(tRun *run) {
    if (!run->groupListOpen) return;
    GroupListClose(&groupList);
    run->groupListOpen = false;
}

// ---------------------------------------------------------------------------
// Steps 26-29: asynchronous retrieval, client registry, listeners.

// The client registry and the two listeners of this run (new objects each
// run: they hold locks that cannot be reset in place).
tClientRegistry *clientRegistry = nullptr;
tListener *nntpListener = nullptr;
tListener *webListener = nullptr;

int StartServices(tRun *run) {
    // Step 26: initialise asynchronous retrieval with retrievedMark, the
    //          retrieved list when retrievedLog, and executeCmd only when
    //          executeYes and not empty; failure: EXIT_ASYNC_INIT.
    // -> asynchronous retrieval goes here.

    // Step 27.
    clientRegistry = new tClientRegistry{};
    RegistryInit(clientRegistry);

    tLocalServerContext context{};
    context.registry = clientRegistry;
    context.indices = indexCache;
    context.taskPool = &taskPool;
    context.groupList = &groupList;
    context.restartRequested = &restartRequested;
    context.keptClientSocket = &keptClientSocket;
    context.journal = &journal;
    context.servers = &allServers;
    context.nntpSession = SessionRun;
    context.webSession = InterimWebSession;

    // Step 28: the NNTP listener and its shortcut files (with the port bound).
    if (nntpEnabled && !run->migrationMode) {
        nntpListener = new tListener{};
        if (int code = NntpServerCreate(nntpListener, &context)) return code;
    }
    // Step 29: the web listener and its shortcut files.
    if (webEnabled && !run->migrationMode) {
        webListener = new tListener{};
        if (int code = WebServerCreate(webListener, &context)) return code;
    }
    return 0;
}

void StopServices(tRun *) {
    // Every client thread has ended (PoolWaitAll): close the listening
    // sockets, then the registry. -> asynchronous retrieval goes here, last.
    for (tListener **listener : {&nntpListener, &webListener}) {
        if (!*listener) continue;
        ListenerClose(*listener);
        delete *listener;
        *listener = nullptr;
    }
    if (clientRegistry) {
        RegistryRelease(clientRegistry);
        delete clientRegistry;
        clientRegistry = nullptr;
    }
}

// ---------------------------------------------------------------------------
// Steps 30-38: from the start-up to the running state.

// A sample article of minimal mode, fetched on the exploration's own
// conversation and thrown away.
tDiag FetchSample(tNntp *nntp, const char *group, long number) {
    tRetrieval r;
    r.groupName = group;
    r.log = nntp->log;
    r.requester = {"explore sample", priorityExplore, KIND_EXPLORE};
    return FetchArticle(nntp, &r, number, nullptr, 30);
}

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
    // Step 36: the dispatcher threads "NntpDispatcher" and "WebDispatcher"
    // (on failure the shutdown has been requested already).
    for (tListener *listener : {nntpListener, webListener}) {
        if (!listener) continue;
        if (int code = DispatcherStart(listener)) return code;
    }
    // Step 37: the compaction task, first due in ten minutes.
    if (CompactTaskSchedule(indexCache, &taskScheduler, time(nullptr) + COMPACT_FIRST_DELAY) < 0) {
        RequestShutdown(EXIT_COMPACT_TASK);
        return EXIT_COMPACT_TASK;
    }
    // Step 38: the update cycle, when explore is set.
    if (explore) {
        exploreSample = FetchSample;
        if (int code = UpdateStart(&allServers, indexCache, &groupList, &taskScheduler)) {
            RequestShutdown(code);
            return code;
        }
        sessionExploreOneGroup = ExploreGroupEverywhere;
    }
    // -> listeners and maintenance go here.

    // The scheduler loop on the main thread until a shutdown is requested.
    SchedulerRun(&taskScheduler);
    return 0;
}

void StopRunning(tRun *) {
    sessionExploreOneGroup = nullptr;
    exploreSample = nullptr;
    // What the explorations left behind (tasks that never ran again).
    UpdateStop();
}

const tRunStage stages[] = {
    {StartSettings, StopSettings},     {StartDirectories, StopDirectories}, {StartServers, StopServers},
    {StartLists, StopLists},           {StartScheduler, StopScheduler},     {StartGroupList, StopGroupList},
    {StartServices, StopServices},     {StartRunning, StopRunning},
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
        // No thread uses a server connection now: cancel the connect tasks,
        // fail what still waits and close the idle connections.
        if (run->serversLoaded) PoolRelease(&allServers);
        if (shutdownCode.load() != 0) code = shutdownCode.load();
        // Step 40.
        if (!run->migrationMode) {
            Journal("All threads have returned.\n");
            LogRaw(&journal, "\n");
            ServersStatusReportToLog(&allServers, &journal);
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
