// Small file-system helpers.
//
// Existence tests, removal of empty files, checked directory creation,
// flushing to disk and the test that recognises a work directory of the
// older layout. Paths are relative to the current (work) directory unless
// absolute.
//
// Threading: reentrant; CreateDirectoryChecked writes to the given log
// (LogMessage locks it).
#pragma once

#include "lib/diag.h"

#include <cstdio>

struct tLog;

// False only when the file is absent (the test fails with "no such file");
// any other failure counts as present.
bool FileExists(const char *path);

// -1 when the file cannot be examined, 1 when it is not empty; otherwise
// removes it and returns 0 (-1 when the removal fails).
int RemoveIfEmpty(const char *path);

// Creates the directory (an existing one is fine) and checks that name is a
// directory. On failure writes "Could not create the '<name>' directory.\n"
// to log (when given) and returns E_CANNOT_CREATE_DIR; else E_OK.
[[nodiscard]] tDiag CreateDirectoryChecked(const char *name, tLog *log);

// Flushes the stream's buffer, then commits the file to disk. 0, or -1 with
// errno.
int FileFlushToDisk(FILE *file);

// True when any file or directory of the older work-directory layout
// exists in the current directory ("etc/scheduld", "etc/done", "etc/hidden",
// "etc/retrievd", "etc/groups", "etc/popular.ini", "dataset2", "index",
// "update", "newsrc2"): such a directory needs migration first.
bool OldLayoutPresent();
