#include "server/store/grouplist.h"

#include "lib/crc32.h"
#include "lib/dirwalk.h"
#include "lib/files.h"
#include "lib/wildmatch.h"
#include "server/store/sqltext.h"

#include <sqlite3.h>

#include <cstring>
#include <ctime>
#include <strings.h>

const char *const groupListSchema =
    "CREATE TABLE fgl (addTimeSecs INTEGER,groupName TEXT PRIMARY KEY COLLATE NOCASE,hash INTEGER,"
    "description TEXT,articlesGot INTEGER,kiloBytesGot INTEGER,lastGotSecs INTEGER,lastGroupSecs INTEGER,"
    "lastOverviewSecs INTEGER,flags INTEGER,rangeLow INTEGER,rangeHigh INTEGER,score INTEGER,serverId INTEGER);"
    "CREATE INDEX byHash ON fgl (hash);";

static unsigned long NameHash(const char *name) { return Crc32StringLower(name); }

// Holds the connection's own (recursive) mutex, so that a sequence of calls
// (a statement and its change count, the steps of a lookup) is not
// interleaved with other threads' statements.

tGroupList groupList;

namespace {
struct tConnectionLock {
    sqlite3_mutex *mutex;
    explicit tConnectionLock(tDb *db) : mutex(db->db ? sqlite3_db_mutex(db->db) : nullptr) {
        if (mutex) sqlite3_mutex_enter(mutex);
    }
    ~tConnectionLock() {
        if (mutex) sqlite3_mutex_leave(mutex);
    }
    tConnectionLock(const tConnectionLock &) = delete;
    tConnectionLock &operator=(const tConnectionLock &) = delete;
};
}  // namespace

static bool ShuttingDown(const tGroupList *list) { return list->shutdownFlag && list->shutdownFlag->load() != 0; }

// ---------------------------------------------------------------------------
// Group names

tDiag GroupCheck(const tGroupList *list, const char *name) {
    if (!name || !*name || GroupNameInvalid(name) || strcasecmp(name, "async") == 0) return E_BAD_GROUP_NAME;
    if (PatternListMatch(name, list->noByPattern, WM_EMPTY_NO_MATCH | WM_NO_NEGATION)) return E_GROUP_UNWANTED;
    if (!list->yesAll && !PatternListMatch(name, list->yes, WM_NO_NEGATION)) return E_GROUP_UNWANTED;
    return E_OK;
}

// ---------------------------------------------------------------------------
// Opening and closing

tDiag GroupListOpen(const char *path, tGroupList *list, tLog *log, const tGroupWants *wants,
                    const std::atomic<int> *shutdownFlag) {
    if (!path) path = GROUP_LIST_PATH;
    static const tGroupWants everything;
    if (!wants) wants = &everything;
    list->yesAll = 0;
    for (const char *const *p = wants->yes; p && *p; p++)
        if (strcmp(*p, "*") == 0) list->yesAll = 1;
    list->unwanted = wants->noByName;
    list->yes = wants->yes;
    list->noByPattern = wants->noByPattern;
    list->shutdownFlag = shutdownFlag;

    bool existed = FileExists(path);
    tDiag diag = DbOpen(&list->db, path, log, groupListSchema);
    if (diag < 0) return diag;
    if (existed) {
        LogMessage(log, "Deactivating all groups in %s\n", path);
        tSqlText deactivate("UPDATE fgl SET flags=(flags & ~%d);", GF_ACTIVE);
        diag = deactivate.text ? DbExec(&list->db, deactivate.text) : E_OUT_OF_MEMORY;
        if (diag == E_OK) {
            LogMessage(log, "Deleting unwanted groups from %s\n", path);
            tSqlText forget("DELETE from fgl WHERE flags&%d;", GF_UNWANTED);
            diag = forget.text ? DbExec(&list->db, forget.text) : E_OUT_OF_MEMORY;
        }
    }
    for (const char *const *p = list->unwanted; diag == E_OK && p && *p; p++) {
        tDiag entered = GroupLookup(list, *p, GL_INSERT, nullptr, false, true, nullptr, 0);
        if (entered < 0 && entered != E_GROUP_UNWANTED) {
            LogMessage(log, "Could not incorporate groups.noByName settings into the %s list: %s.\n", path,
                       DiagText(entered));
            diag = entered;
        }
    }
    if (diag < 0) GroupListClose(list);
    return diag;
}

void GroupListClose(tGroupList *list) {
    if (list->recordRetrieval) (void)DbFinalize(&list->db, list->recordRetrieval);
    list->recordRetrieval = nullptr;
    if (list->db.db) (void)DbCommitClose(&list->db);
}

tDiag GroupListDelete() { return DbDelete(GROUP_LIST_PATH, true); }

// ---------------------------------------------------------------------------
// Lookups and changes

tDiag GroupLookup(tGroupList *list, const char *name, int options, int *flags, bool setActive, bool setUnwanted,
                  std::string *storedName, long serverId) {
    tDiag diag = GroupCheck(list, name);
    if (diag == E_GROUP_UNWANTED) {
        if (!(options & GL_ACCEPT_UNWANTED)) return diag;
        setUnwanted = true;
    } else if (diag < 0) {
        return diag;
    }
    unsigned long hash = NameHash(name);
    int setFlags = (setActive ? GF_ACTIVE : 0) | (setUnwanted ? GF_UNWANTED : 0);
    tConnectionLock hold(&list->db);
    bool inserted = false;
    if (options & GL_INSERT) {
        // A group listed already (under any spelling) keeps its row.
        tSqlText insert("INSERT OR IGNORE INTO fgl VALUES(%ld,%Q,%lu,NULL,0,0,0,0,0,%d,%ld,%ld,0,%ld);",
                        (long)time(nullptr), name, hash, setFlags, 0L, 0L, serverId);
        if (!insert.text) return E_OUT_OF_MEMORY;
        if ((diag = DbExec(&list->db, insert.text)) < 0) return diag;
        inserted = sqlite3_changes(list->db.db) > 0;
    }
    if (setFlags && !inserted) {
        tSqlText update("UPDATE fgl SET flags=(flags|%d) WHERE hash=%lu AND groupName=%Q;", setFlags, hash, name);
        if (!update.text) return E_OUT_OF_MEMORY;
        if ((diag = DbExec(&list->db, update.text)) < 0) return diag;
    }
    tSqlText select("SELECT flags,groupName FROM fgl WHERE hash=%lu AND groupName=%Q;", hash, name);
    if (!select.text) return E_OUT_OF_MEMORY;
    sqlite3_stmt *statement = nullptr;
    if ((diag = DbPrepare(&list->db, select.text, &statement)) < 0) return diag;
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
        int rowFlags = sqlite3_column_int(statement, 0);
        if (flags) *flags = rowFlags;
        if (storedName) {
            const unsigned char *text = sqlite3_column_text(statement, 1);
            storedName->assign(text ? reinterpret_cast<const char *>(text) : "");
        }
        diag = (rowFlags & GF_UNWANTED) ? E_GROUP_UNWANTED : E_OK;
    } else if (rc == SQLITE_DONE) {
        diag = E_TREE_NOT_FOUND;
    } else {
        LogMessage(list->db.log, "Cannot find flags for %s: %s (%d)\n", name, sqlite3_errmsg(list->db.db), rc);
        diag = E_SQL_FAILED;
    }
    tDiag finalized = DbFinalize(&list->db, statement);
    return finalized < 0 && diag >= 0 ? finalized : diag;
}

int GroupIsActive(tGroupList *list, const char *name) {
    int flags = 0;
    tDiag diag = GroupLookup(list, name, 0, &flags, false, false, nullptr, 0);
    if (diag < 0) return diag;
    return (flags & GF_ACTIVE) ? 1 : 0;
}

tDiag GroupStoredName(tGroupList *list, const char *name, bool activate, std::string *stored) {
    return GroupLookup(list, name, 0, nullptr, activate, false, stored, 0);
}

tDiag GroupAddActive(tGroupList *list, const char *name) {
    return GroupLookup(list, name, GL_INSERT, nullptr, true, false, nullptr, 0);
}

tDiag GroupDeactivate(tGroupList *list, const char *name) {
    tSqlText sql("UPDATE fgl SET flags=(flags & ~%d) WHERE hash=%lu AND groupName=%Q;", GF_ACTIVE, NameHash(name),
                 name);
    return sql.text ? DbExec(&list->db, sql.text) : E_OUT_OF_MEMORY;
}

// Runs a SELECT that yields one integer; E_TREE_NOT_FOUND for no row.
static tDiag SelectLong(tDb *db, const char *sql, long *value) {
    sqlite3_stmt *statement = nullptr;
    tDiag diag = DbPrepare(db, sql, &statement);
    if (diag < 0) return diag;
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW)
        *value = (long)sqlite3_column_int64(statement, 0);
    else
        diag = rc == SQLITE_DONE ? E_TREE_NOT_FOUND : E_SQL_FAILED;
    tDiag finalized = DbFinalize(db, statement);
    return finalized < 0 && diag >= 0 ? finalized : diag;
}

long GroupCount(tGroupList *list, bool activeOnly) {
    tSqlText active(" AND (flags & %d)", GF_ACTIVE);
    if (!active.text) return E_OUT_OF_MEMORY;
    tSqlText sql("SELECT count() FROM fgl WHERE NOT (flags & %d) %s;", GF_UNWANTED, activeOnly ? active.text : "");
    if (!sql.text) return E_OUT_OF_MEMORY;
    long count = 0;
    tDiag diag = SelectLong(&list->db, sql.text, &count);
    return diag < 0 ? diag : count;
}

// ---------------------------------------------------------------------------
// Walks

tDiag GroupIterStart(tGroupListIterator *iterator, tGroupList *list, bool activeOnly, long sinceSecs,
                     const char *pattern, const char *orderBy, bool withRange) {
    *iterator = tGroupListIterator{};
    iterator->list = list;
    iterator->withRange = withRange;
    tSqlText active("AND (flags & %d)", GF_ACTIVE);
    tSqlText since("AND (addTimeSecs >= %ld)", sinceSecs);
    tSqlText glob("AND groupName GLOB %Q", pattern ? pattern : "");
    tSqlText order("ORDER BY %s", orderBy ? orderBy : "");
    if (!active.text || !since.text || !glob.text || !order.text) return E_OUT_OF_MEMORY;
    tSqlText sql("SELECT groupName,flags%s FROM fgl WHERE NOT (flags & %d) %s %s %s %s;",
                 withRange ? ",rangeLow,rangeHigh" : "", GF_UNWANTED, activeOnly ? active.text : "",
                 sinceSecs > 0 ? since.text : "", pattern ? glob.text : "", orderBy ? order.text : "");
    if (!sql.text) return E_OUT_OF_MEMORY;
    return DbPrepare(&list->db, sql.text, &iterator->statement);
}

// Writes the current row's range back when the walker changed it.
static tDiag WriteBackRange(tGroupListIterator *iterator) {
    tGroupRow &row = iterator->row;
    if (!iterator->withRange || row.groupName.empty() ||
        (row.rangeLow == iterator->readLow && row.rangeHigh == iterator->readHigh))
        return E_OK;
    iterator->readLow = row.rangeLow;
    iterator->readHigh = row.rangeHigh;
    tSqlText sql("UPDATE fgl SET rangeLow=%ld,rangeHigh=%ld WHERE hash=%lu AND groupName=%Q;", row.rangeLow,
                 row.rangeHigh, NameHash(row.groupName.c_str()), row.groupName.c_str());
    return sql.text ? DbExec(&iterator->list->db, sql.text) : E_OUT_OF_MEMORY;
}

int GroupIterNext(tGroupListIterator *iterator) {
    if (!iterator->statement) return 0;
    tDiag diag = WriteBackRange(iterator);
    if (diag < 0) return diag;
    int rc = sqlite3_step(iterator->statement);
    if (rc == SQLITE_DONE) {
        iterator->row.groupName.clear();
        return 0;
    }
    if (rc != SQLITE_ROW) {
        LogMessage(iterator->list->db.log, "Cannot walk the groups of %s: %s (%d)\n", iterator->list->db.name,
                   sqlite3_errmsg(iterator->list->db.db), rc);
        return E_SQL_FAILED;
    }
    tGroupRow &row = iterator->row;
    const unsigned char *text = sqlite3_column_text(iterator->statement, 0);
    row.groupName.assign(text ? reinterpret_cast<const char *>(text) : "");
    row.flags = sqlite3_column_int(iterator->statement, 1);
    row.rangeLow = iterator->withRange ? (long)sqlite3_column_int64(iterator->statement, 2) : 0;
    row.rangeHigh = iterator->withRange ? (long)sqlite3_column_int64(iterator->statement, 3) : 0;
    iterator->readLow = row.rangeLow;
    iterator->readHigh = row.rangeHigh;
    return 1;
}

void GroupIterEnd(tGroupListIterator *iterator) {
    if (!iterator->statement) return;
    // The statement is finished first: the write-back then runs with no
    // pending read on the table.
    (void)DbFinalize(&iterator->list->db, iterator->statement);
    iterator->statement = nullptr;
    (void)WriteBackRange(iterator);
    iterator->row.groupName.clear();
}

int GroupForEach(tGroupList *list, tGroupFn function, void *context, bool activeOnly, long sinceSecs,
                 const char *pattern) {
    tDiag diag = DbCheckpoint(&list->db);
    if (diag < 0) return diag;
    tGroupListIterator iterator;
    if ((diag = GroupIterStart(&iterator, list, activeOnly, sinceSecs, pattern, nullptr, false)) < 0) return diag;
    int result = E_OK;
    for (;;) {
        if (ShuttingDown(list)) {
            result = E_SHUTDOWN;
            break;
        }
        int next = GroupIterNext(&iterator);
        if (next <= 0) {
            if (next < 0) result = next;
            break;
        }
        result = function(iterator.row.groupName.c_str(), (iterator.row.flags & GF_ACTIVE) ? 1 : 0, 0, context);
        if (result < 0) break;
    }
    GroupIterEnd(&iterator);
    return result;
}

// ---------------------------------------------------------------------------
// Start-up

namespace {
struct tEnterIndexes {
    tGroupList *list;
    tLog *log;
};
}  // namespace

static int EnterIndex(const char *path, void *context) {
    auto *enter = static_cast<tEnterIndexes *>(context);
    const char *slash = strrchr(path, '/');
    const char *name = slash ? slash + 1 : path;
    int flags = 0;
    std::string listed;
    tDiag diag = GroupLookup(enter->list, name, 0, &flags, false, false, &listed, 0);
    if (diag == E_OK && (flags & GF_ACTIVE)) {
        // Only a second file of the same group can find it active already.
        if (listed == name)
            LogMessage(enter->log, "Error: group %s is already present and active in list.\n", name);
        else
            LogMessage(enter->log, "Error: group %s is already present in list as %s.\n", name, listed.c_str());
        return E_TREE_DUPLICATE;
    }
    if (diag == E_OK && listed != name)
        LogMessage(enter->log, "Warning: group's file name (%s) is different from list name (%s).\n", name,
                   listed.c_str());
    if (diag == E_OK || diag == E_TREE_NOT_FOUND) diag = GroupAddActive(enter->list, name);
    if (diag == E_GROUP_UNWANTED) {
        LogMessage(enter->log, "Group %s is unwanted, deleting file(s).\n", name);
        // The journal goes too: left behind, it would be rolled back into a
        // new index of the same name.
        if (DbDelete(path, true) < 0)
            LogMessage(enter->log, "Could not delete %s: %s.\n", path, DiagText(E_ERRNO));
        return E_OK;
    }
    if (diag < 0) LogMessage(enter->log, "Could not enter group %s into the list: %s.\n", name, DiagText(diag));
    return diag;
}

tDiag GroupListEnterIndexes(tGroupList *list, tLog *log) {
    tEnterIndexes enter{list, log};
    int result = DirWalk(GROUP_INDEX_DIRECTORY, dbDatasetPatterns, DW_UNLISTABLE_OK, EnterIndex, &enter);
    return result < 0 ? (result == -1 ? E_FILE_MISSING : result) : E_OK;
}

tDiag GroupListStart(tGroupList *list, tLog *log, const tGroupWants *wants, const std::atomic<int> *shutdownFlag,
                     bool minimal) {
    tDiag diag = GroupListOpen(GROUP_LIST_PATH, list, log, wants, shutdownFlag);
    if (diag < 0 || minimal) return diag;
    diag = GroupListEnterIndexes(list, log);
    if (diag < 0) GroupListClose(list);
    return diag;
}

// ---------------------------------------------------------------------------
// Popularity

static void UpdateGroup(tGroupList *list, const char *name, const char *assignments) {
    if (!name || !*name || !assignments) return;
    tSqlText sql("UPDATE fgl SET %s WHERE hash=%lu AND groupName=%Q;", assignments, NameHash(name), name);
    if (!sql.text) {
        LogMessage(list->db.log, "%s.\n", DiagText(E_OUT_OF_MEMORY));
        return;
    }
    (void)DbExec(&list->db, sql.text);
}

void GroupRecordRetrieval(tGroupList *list, const char *name, long bytes) {
    if (!name || !*name || !list->db.db) return;
    const long kiloBytes = (bytes + 512) / 1024;
    const long now = (long)time(nullptr);
    // Counted after every article a reader gets: a kept statement, bound
    // under the connection's mutex, costs no SQL compilation.
    tConnectionLock hold(&list->db);
    if (!list->recordRetrieval &&
        DbPrepare(&list->db,
                  "UPDATE fgl SET articlesGot=articlesGot+1,kiloBytesGot=kiloBytesGot+?1,lastGotSecs=?2 "
                  "WHERE hash=?3 AND groupName=?4;",
                  &list->recordRetrieval) != E_OK)
        return;
    sqlite3_stmt *st = list->recordRetrieval;
    sqlite3_bind_int64(st, 1, kiloBytes);
    sqlite3_bind_int64(st, 2, now);
    sqlite3_bind_int64(st, 3, (sqlite3_int64)NameHash(name));
    sqlite3_bind_text(st, 4, name, -1, SQLITE_STATIC);
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    if (rc == SQLITE_DONE) return;
    tSqlText sql("UPDATE fgl SET articlesGot=articlesGot+1,kiloBytesGot=kiloBytesGot+%ld,lastGotSecs=%ld WHERE "
                 "hash=%lu AND groupName=%Q;",
                 kiloBytes, now, NameHash(name), name);
    LogMessage(list->db.log, "Execution of '%.1000s' in %s failed: %.1000s\n", sql.text ? sql.text : "UPDATE fgl",
               list->db.name, sqlite3_errmsg(list->db.db));
}

void GroupRecordSelection(tGroupList *list, const char *name) {
    tSqlText assignments("lastGroupSecs=%ld", (long)time(nullptr));
    UpdateGroup(list, name, assignments.text);
}

long GroupKiloBytes(tGroupList *list, const char *name) {
    tSqlText sql("SELECT kiloBytesGot FROM fgl WHERE hash=%lu AND groupName=%Q AND NOT (flags & %d);",
                 NameHash(name), name, GF_UNWANTED);
    if (!sql.text) return 0;
    long kiloBytes = 0;
    return SelectLong(&list->db, sql.text, &kiloBytes) == E_OK ? kiloBytes : 0;
}

long GroupTrimPopular(tGroupList *list, long days, bool evenRetrieved) {
    tSqlText sql(
        "UPDATE fgl SET articlesGot=0,kiloBytesGot=0,lastGotSecs=0,lastGroupSecs=0 WHERE NOT (flags & %d) AND "
        "lastGroupSecs < %ld %s;",
        GF_ACTIVE, (long)time(nullptr) - days * 86400, evenRetrieved ? "" : "AND lastGotSecs=0");
    if (!sql.text) {
        LogMessage(list->db.log, "%s.\n", DiagText(E_OUT_OF_MEMORY));
        return E_OUT_OF_MEMORY;
    }
    tConnectionLock hold(&list->db);
    tDiag diag = DbExec(&list->db, sql.text);
    return diag < 0 ? diag : (long)sqlite3_changes(list->db.db);
}
