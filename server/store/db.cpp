#include "server/store/db.h"

#include <sqlite3.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

const char *const dbDatasetPatterns[3] = {"!*-journal", "*", nullptr};

static void SleepBetweenCommits(int) {
    std::this_thread::sleep_for(std::chrono::milliseconds(DB_COMMIT_PAUSE_MS));
}

void (*dbRetrySleep)(int failures) = SleepBetweenCommits;

static bool FileExists(const char *path) {
    struct stat st;
    return stat(path, &st) == 0;
}

tDiag DbOpen(tDb *db, const char *path, tLog *log, const char *createSql) {
    db->log = log;
    db->db = nullptr;
    db->name = strdup(path);
    if (!db->name) return E_OUT_OF_MEMORY;
    sqlite3 *conn = nullptr;
    int rc = sqlite3_open_v2(path, &conn, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        const char *msg = conn ? sqlite3_errmsg(conn) : sqlite3_errstr(rc);
        if (FileExists(path))
            LogMessage(log, "File %s exists, but cannot be opened: %s.\n", path, msg);
        else
            LogMessage(log, "Cannot open %s: %s\n", path, msg);
        sqlite3_close(conn);
        free(db->name);
        db->name = nullptr;
        return E_SQL_FAILED;
    }
    db->db = conn;
    tDiag diag = DbExec(db, "BEGIN;");
    if (diag == E_OK && createSql) {
        diag = DbExecTolerant(db, createSql, "already exists");
        if (diag != E_OK) (void)DbCommitClose(db);
        return diag;
    }
    if (diag != E_OK) DbClose(db);
    return diag;
}

tDiag DbExecTolerant(tDb *db, const char *sql, const char *tolerated) {
    char *err = nullptr;
    int rc = sqlite3_exec(db->db, sql, nullptr, nullptr, &err);
    if (rc == SQLITE_OK) return E_OK;
    const char *msg = err ? err : sqlite3_errstr(rc);
    tDiag diag = E_SQL_FAILED;
    if (tolerated && strstr(msg, tolerated))
        diag = E_OK;
    else
        LogMessage(db->log, "Execution of '%.1000s' in %s failed: %.1000s\n", sql, db->name, msg);
    sqlite3_free(err);
    return diag;
}

tDiag DbExec(tDb *db, const char *sql) { return DbExecTolerant(db, sql, nullptr); }

tDiag DbCommit(tDb *db) {
    tDiag diag = E_OK;
    for (int attempt = 1; attempt <= DB_COMMIT_ATTEMPTS; attempt++) {
        diag = DbExec(db, "COMMIT;");
        if (diag == E_OK) {
            if (attempt > 1) LogMessage(db->log, "Commit succeeded after %d failures.\n", attempt - 1);
            break;
        }
        if (attempt < DB_COMMIT_ATTEMPTS) dbRetrySleep(attempt);
    }
    return diag;
}

tDiag DbCheckpoint(tDb *db) { return DbExec(db, "COMMIT; BEGIN;"); }

void DbClose(tDb *db) {
    if (db->db) {
        // Statements left open would make sqlite3_close fail; the store
        // finalizes its own, so a failure here is worth a line.
        int rc = sqlite3_close(db->db);
        if (rc != SQLITE_OK) {
            LogMessage(db->log, "Could not close database %s (%d)\n", db->name, rc);
            sqlite3_close_v2(db->db);  // let SQLite finish when the statements go
        }
        db->db = nullptr;
    }
    free(db->name);
    db->name = nullptr;
}

tDiag DbCommitClose(tDb *db) {
    tDiag diag = DbCommit(db);
    DbClose(db);
    return diag;
}

tDiag DbPrepare(tDb *db, const char *sql, sqlite3_stmt **statement) {
    *statement = nullptr;
    if (sqlite3_prepare_v2(db->db, sql, -1, statement, nullptr) == SQLITE_OK) return E_OK;
    LogMessage(db->log, "Cannot prepare database query '%s' on %s: %s\n", sql, db->name, sqlite3_errmsg(db->db));
    sqlite3_finalize(*statement);
    *statement = nullptr;
    return E_SQL_FAILED;
}

tDiag DbFinalize(tDb *db, sqlite3_stmt *statement) {
    int rc = sqlite3_finalize(statement);
    if (rc == SQLITE_OK) return E_OK;
    LogMessage(db->log, "Cannot finalize request on %s: %s (%d)\n", db->name, sqlite3_errmsg(db->db), rc);
    return E_SQL_FAILED;
}

tDiag DbSelectInt(tDb *db, const char *table, const char *expression, long *value) {
    char sql[256];
    *value = 0;
    int n = snprintf(sql, sizeof sql, "SELECT %s FROM %s;", expression, table);
    if (n < 0 || n >= (int)sizeof sql) return E_SQL_FAILED;
    sqlite3_stmt *st;
    tDiag diag = DbPrepare(db, sql, &st);
    if (diag != E_OK) return diag;
    int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW)
        *value = (long)sqlite3_column_int64(st, 0);
    else if (rc == SQLITE_DONE)
        diag = E_TREE_NOT_FOUND;
    else
        diag = E_SQL_FAILED;
    // A failing step is reported again by finalize, with SQLite's message.
    tDiag fin = DbFinalize(db, st);
    return fin != E_OK ? fin : diag;
}

tDiag DbCount(tDb *db, const char *table, long *count) {
    tDiag diag = DbSelectInt(db, table, "count()", count);
    if (diag == E_TREE_NOT_FOUND) {
        *count = 0;
        diag = E_OK;
    }
    return diag;
}

static tDiag RemoveIfPresent(const char *path) {
    if (unlink(path) == 0 || errno == ENOENT) return E_OK;
    return E_ERRNO;
}

tDiag DbDelete(const char *path, bool withJournal) {
    tDiag diag = RemoveIfPresent(path);
    if (withJournal) {
        char journalPath[4096];
        int n = snprintf(journalPath, sizeof journalPath, "%s-journal", path);
        if (n < 0 || n >= (int)sizeof journalPath) return E_PATH_TOO_LONG;
        tDiag j = RemoveIfPresent(journalPath);
        if (diag == E_OK) diag = j;
    }
    return diag;
}
