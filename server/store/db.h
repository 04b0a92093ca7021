// The thin layer through which every SQLite database of the store is opened,
// changed and closed.
//
// Design: each database lives inside one long transaction. DbOpen begins it,
// plain statements change the file, DbCommit/DbCheckpoint make the changes
// durable at chosen points, DbClose rolls back whatever was not committed.
// Every SQLite failure is written to the database's log in fixed words and
// reported as E_SQL_FAILED; callers add their own context.
//
// Threading: connections are opened in SQLite's serialized mode, so one
// tDb may be called from several threads; each statement is atomic, and
// sequences that must not interleave are serialised by the callers (the
// index store lock, the owner of a newsrc, the queue lock). DbOpen/DbClose of
// one tDb must not race with other calls on it. dbRetrySleep is set once,
// before any thread uses the layer.
#pragma once

#include "lib/diag.h"
#include "lib/log.h"

struct sqlite3;
struct sqlite3_stmt;

struct tDb {
    char *name = nullptr;     // the file path, used in messages; owned
    tLog *log = nullptr;      // receives this layer's messages; null silences them
    sqlite3 *db = nullptr;    // the connection; null when closed
};

// The pattern list for directory walks over dataset directories ("index2",
// "newsrc3"): every file but the rollback journals.
extern const char *const dbDatasetPatterns[3];

// Attempts and pause of DbCommit.
constexpr int DB_COMMIT_ATTEMPTS = 10;
constexpr int DB_COMMIT_PAUSE_MS = 500;

// Pause between two commit attempts; the argument is the number of failed
// attempts so far (1..9). Defaults to sleeping DB_COMMIT_PAUSE_MS
// milliseconds; tests replace it to make retries instant or to act between
// attempts.
extern void (*dbRetrySleep)(int failures);

// Opens (creating when absent) the database file path in serialized mode and
// begins the long transaction. On an open failure log receives "File %s
// exists, but cannot be opened: %s.\n" or "Cannot open %s: %s\n", the
// connection is closed and E_SQL_FAILED returned. When createSql is not null
// it is executed next tolerating "already exists"; if that fails the
// database is committed and closed and the failure returned.
// E_OUT_OF_MEMORY when the path cannot be copied. On failure db is closed
// (db->db null, db->name freed).
[[nodiscard]] tDiag DbOpen(tDb *db, const char *path, tLog *log, const char *createSql);

// Executes sql (one or more statements) without a row callback. On failure
// writes "Execution of '%.1000s' in %s failed: %.1000s\n" and returns
// E_SQL_FAILED.
[[nodiscard]] tDiag DbExec(tDb *db, const char *sql);

// As DbExec, but a failure whose SQLite message contains tolerated counts as
// success and is not logged.
[[nodiscard]] tDiag DbExecTolerant(tDb *db, const char *sql, const char *tolerated);

// Executes "COMMIT;" up to DB_COMMIT_ATTEMPTS times, pausing between attempts
// (dbRetrySleep). A success after failures writes "Commit succeeded after %d
// failures.\n". Returns the result of the last attempt. The transaction is
// not restarted: use DbCheckpoint to continue working.
[[nodiscard]] tDiag DbCommit(tDb *db);

// Executes "COMMIT; BEGIN;": everything so far becomes durable and a new
// transaction begins.
[[nodiscard]] tDiag DbCheckpoint(tDb *db);

// Closes the connection (uncommitted changes are rolled back) and frees the
// name; a failing close writes "Could not close database %s (%d)\n". A closed
// tDb is left alone. db->db is null afterwards.
void DbClose(tDb *db);

// DbCommit then DbClose; returns the commit's result.
tDiag DbCommitClose(tDb *db);

// Prepares the whole text. On failure writes "Cannot prepare database query
// '%s' on %s: %s\n", sets *statement null and returns E_SQL_FAILED.
[[nodiscard]] tDiag DbPrepare(tDb *db, const char *sql, sqlite3_stmt **statement);

// Finalizes a statement (null is fine). On failure writes "Cannot finalize
// request on %s: %s (%d)\n" and returns E_SQL_FAILED.
tDiag DbFinalize(tDb *db, sqlite3_stmt *statement);

// "SELECT <expression> FROM <table>;" stepped once: a row stores column 0 as
// an integer in *value (NULL reads as 0) and gives E_OK; no row gives
// E_TREE_NOT_FOUND; any other step result, or a statement that does not fit
// 256 bytes, E_SQL_FAILED. A finalize failure replaces the result.
[[nodiscard]] tDiag DbSelectInt(tDb *db, const char *table, const char *expression, long *value);

// DbSelectInt with "count()"; E_TREE_NOT_FOUND reads as 0.
[[nodiscard]] tDiag DbCount(tDb *db, const char *table, long *count);

// Removes the database file path and, with withJournal, its rollback journal
// (path + "-journal"). Files that do not exist are fine. E_ERRNO (errno set)
// when a file exists and cannot be removed; E_PATH_TOO_LONG when the journal
// name does not fit.
[[nodiscard]] tDiag DbDelete(const char *path, bool withJournal);
