// Walking a directory with a pattern list.
//
// DirWalk lists a directory (optionally recursively), matches each entry's
// name with PatternListMatch and calls back with the entry's path. Every
// name is handled once even when a callback renames files and the listing
// shows a name again. A directory that cannot be listed is tried three
// times; for one that exists, each failure prints "Error: directory '<dir>'
// is not accessible.\n" (or "Warning: ...") on standard output.
//
// Threading: reentrant; the callback runs on the calling thread.
#pragma once

constexpr int DW_RECURSE = 1;         // walk subdirectories too
constexpr int DW_NO_NEGATION = 2;     // passed to the matcher: "!" literal
constexpr int DW_NO_SETS = 4;         // passed to the matcher: "[" literal
constexpr int DW_UNLISTABLE_OK = 8;   // a directory that cannot be listed is no error
constexpr int DW_DIRECTORIES = 16;    // report directories instead of files
constexpr int DW_EMPTY_NO_MATCH = 32;  // an empty pattern list matches nothing

// Called with an entry's path ("<directory>/<name>", or the bare name when
// no directory was given) and the context. A negative result ends the walk.
typedef int (*tDirWalkFn)(const char *path, void *context);

// Calls callback for each entry of directory (null or empty: the current
// directory) whose name passes PatternListMatch with patterns (a
// null-terminated list, or null). Files are reported, or with DW_DIRECTORIES
// directories only. With DW_RECURSE (and without DW_DIRECTORIES) every
// subdirectory is walked too. When patterns holds exactly one pattern
// without "*", "?" or "[" and recursion is off, nothing is listed: the
// callback is called once with that name (prefixed by the directory when
// one is given). Returns the first negative callback or recursion result,
// or 0; -1 when a directory cannot be listed after three attempts (0 with
// DW_UNLISTABLE_OK) or when the listing path would exceed 260 characters.
int DirWalk(const char *directory, const char *const *patterns, int flags, tDirWalkFn callback, void *context);
