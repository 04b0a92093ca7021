// The process-wide shutdown request.
//
// shutdownCode is 0 while running and holds the exit code of the first
// shutdown request afterwards. RequestShutdown keeps the first code, stops
// the system's scheduler (taskScheduler, lib/tasks.h) and runs the
// registered shutdown hooks (the socket layer registers the closing of the
// cancellation socket), so that every interruptible wait ends.
//
// Threading: RequestShutdown may be called from any thread, including the
// signal thread and task functions, but not with the scheduler's lock held.
// Hooks are registered and removed on the main thread during start-up and
// tear-down; a hook runs on the requesting thread and must tolerate being
// called more than once and concurrently with another request.
#pragma once

#include <atomic>

extern std::atomic<int> shutdownCode;

// Records code unless a code is already recorded (the first request wins),
// stops taskScheduler and runs the hooks. A code of 0 is recorded as a
// request too but leaves shutdownCode 0; callers pass non-zero exit codes.
void RequestShutdown(int code);

// True once any shutdown was requested in this run.
bool ShutdownRequested();

// Registers fn(arg) to run on every RequestShutdown call. At most 16 hooks;
// false when full.
bool ShutdownAddHook(void (*fn)(void *), void *arg);

// Removes a hook registered with the same fn and arg.
void ShutdownRemoveHook(void (*fn)(void *), void *arg);

// Clears the request for a new run (internal restart). Main thread only, with
// no other thread running.
void ShutdownReset();
