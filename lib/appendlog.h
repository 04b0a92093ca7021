// Appending finished log files to a shared log.
//
// A per-connection log (a client's, an exploration's, an asynchronous
// retrieval's) is written to a file of its own and, once closed, appended
// whole to a shared log ("logs/clients", "logs/web", "logs/summary") and
// removed. An append that fails for a passing reason (the shared log is
// busy or cannot be opened) is retried every 500 ms without limit, until
// it succeeds or shutdown is requested; the source is never lost except
// when the append is abandoned after a size check failed.
//
// Threading: any thread may call AppendLogAdd; the appender's lock is held
// during rotation and copying, never while sleeping. Messages go to the
// appender's tLog through LogMessage.
#pragma once

#include "lib/diag.h"

#include <mutex>

struct tLog;

struct tAppendLog {
    std::mutex *lock = nullptr;  // serialises rotation and appends; owned
    char path[128] = {};         // the shared log
    tLog *log = nullptr;         // receives the appender's messages; not owned
    long maxSize = 0;            // rotate to ".bak" beyond this many bytes; 0: never
};

// Creates the lock and stores path, log and maxSize; checks that the shared
// log can be opened for appending (creating it). E_PATH_TOO_LONG when path
// has 128 characters or more; E_CANNOT_OPEN_FILE (after writing "Could not
// init the '<path>' file.\n" to log) when it cannot be opened; else E_OK.
// On failure nothing needs releasing.
[[nodiscard]] tDiag AppendLogInit(tAppendLog *appendLog, const char *path, tLog *log, long maxSize);

// Releases the lock and clears the structure. Accepts an appender that was
// never initialised.
void AppendLogRelease(tAppendLog *appendLog);

// Appends the whole file source to the shared log and removes source. The
// appender must be initialised.
// Returns 0 on success; -1 when the append was abandoned after a size
// failure (source removed) or when shutdown was requested while retrying
// (source left in place).
int AppendLogAdd(tAppendLog *appendLog, const char *source);

// Appends the file source to target (created with full permissions when
// absent) and checks the result's size. 0, or -1 with errno:
// ELIB_SOURCE_SIZE (source size unknown), ELIB_OUT_OF_MEMORY,
// ELIB_TARGET_OPEN, ELIB_SOURCE_OPEN, ELIB_SOURCE_READ, ELIB_TARGET_WRITE,
// ELIB_FINAL_SIZE (target size unknown afterwards), ELIB_SIZE_MISMATCH.
int AppendFile(const char *target, const char *source);
