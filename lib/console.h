// Console control and the process's place at the terminal.
//
// The multiplexer learns that its user wants it to stop through console
// events: on this platform the signals SIGINT (Ctrl-C), SIGTERM and SIGHUP
// (the terminal went away). ConsoleControlInstall blocks them in the calling
// thread, so every thread created afterwards inherits the blocked mask, and
// starts one dedicated thread that takes them with sigwait and calls the
// installed handler for each. Nothing runs in a signal handler, so the
// handler may do anything an ordinary thread may.
//
// Standard input is read only through this module: the reads wait with poll
// on standard input and on a wake-up pipe that the signal thread writes to
// after each event, so a prompt never outlives a shutdown request.
//
// Programs started by the process inherit the blocked signals: whoever
// starts one must unblock SIGINT, SIGTERM and SIGHUP in the child before it
// executes the program.
//
// Threading: ConsoleControlInstall, ConsoleDetach and the reads are called
// from the main thread; the handler runs on the signal thread.
#pragma once

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and starts the
// signal thread, which calls handler(signal number) for every such signal
// (SIGHUP no longer after ConsoleDetach). A signal that is ignored when the
// program starts (a background job of a shell, nohup) stays ignored. Must be called before any other
// thread is created. A second call only replaces the handler. Returns false
// when the thread cannot be started (the signals are then left unblocked).
bool ConsoleControlInstall(void (*handler)(int event));

// True when standard input is a terminal, that is when someone can answer a
// prompt.
bool ConsoleIsInteractive();

// Reads one line from standard input into buf (at most size - 1 characters,
// the rest of a longer line is read and dropped; the line end is not kept)
// and returns its length. Returns -1 at the end of input, on a read error,
// or when a shutdown is requested (ShutdownRequested, lib/shutdown.h) before
// or while it waits. size must be at least 1.
int ConsoleReadLine(char *buf, int size);

// Waits until one character arrives on standard input, the input ends, or a
// further console event arrives.
void ConsoleWaitKey();

// Leaves the terminal: standard input, output and error are redirected to
// /dev/null and a hang-up of the terminal no longer counts as a console
// event. SIGINT and SIGTERM still do.
void ConsoleDetach();

// Lowers the process's scheduling priority to the idle level (nice 19).
// Returns false on failure.
bool ProcessLowerPriority();
