// Small helpers shared by the group list, the actual lists and the newsrc
// stores: SQL text formatted with SQLite's quoting, and finding a file whose
// name differs only in case.
//
// Design: tSqlText owns what sqlite3_mprintf returns and frees it on every
// exit path. Statement texts are built with "%Q" for every text value (quoted,
// NULL for a null pointer), as everywhere in the store.
//
// Threading: reentrant; no state.
#pragma once

#include <cstdarg>
#include <string>

// A statement text made by sqlite3_mprintf, freed with the object. text is
// null when the text could not be made (out of memory).
struct tSqlText {
    char *text = nullptr;
    explicit tSqlText(const char *format, ...);  // "%Q" is SQLite's: no printf check
    ~tSqlText();
    tSqlText(const tSqlText &) = delete;
    tSqlText &operator=(const tSqlText &) = delete;
};

// Work-directory files compare without regard to case where the system
// relies on it (newsrc stores, actual lists, group indexes). Stores in *path
// "<directory>/<name>" when that file exists; otherwise, when the directory
// holds a file whose name equals name without regard to ASCII case (rollback
// journals excluded), that file; otherwise "<directory>/<name>" again.
// Returns true when an existing file was found.
bool FindFileNoCase(const char *directory, const char *name, std::string *path);
