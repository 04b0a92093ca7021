// One run of the multiplexer: the ordered start-up, the running state, the
// ordered tear-down, the shutdown deletions and the internal restart.
//
// RunServer opens the journal, then sets up the subsystems in groups of
// steps (a tRunStage each: a start that returns 0 or the exit code of the
// failing step, and a stop that undoes it, also after a partial start). A
// failing step ends the start-up; the stages already entered are stopped in
// reverse order. The running state is the scheduler loop on the main thread;
// it ends when any thread calls RequestShutdown (lib/shutdown.h) with an
// exit code. A restart request (or the code EXIT_PANIC_RESTART) makes the
// whole sequence run again within the same process.
//
// Threading: RunServer runs on the main thread. restartRequested and
// keptClientSocket are written by one session thread before it calls
// RequestShutdown and read by the main thread after all threads returned.
#pragma once

// 1 while a console is attached: the journal is echoed on standard error and
// the final prompt may be shown. 0 after the run went to the background.
extern int consoleAttached;

// Set by the restart commands before they request the shutdown.
extern int restartRequested;

// The client connection of the session that asked for the restart, handed
// to the next run's NNTP listener; -1 when none.
extern int keptClientSocket;

// One complete run with its internal restarts, in the current directory (the
// prepared work directory). autoConfigured: the work directory was just
// configured, so the run ends with EXIT_AUTOCONFIG_DONE once everything could
// be set up. importFile: servers to import (-i), or null. Returns the exit
// code: EXIT_JOURNAL (4) when the journal cannot be opened, the code of the
// failing start-up step, or the code of the first shutdown request.
int RunServer(int consoleAttachedArg, int minimalOption, int autoConfigured, const char *importFile,
              int migrationMode);
