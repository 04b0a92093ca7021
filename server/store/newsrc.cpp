#include "server/store/newsrc.h"

#include "lib/dirwalk.h"
#include "server/store/sqltext.h"

#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

const char *const newsrcSchema =
    "CREATE TABLE grs (lastExploreSecs INTEGER,groupName TEXT UNIQUE COLLATE NOCASE,flags INTEGER,ranges BLOB);";

// Longest path of a newsrc file, terminator included.
static constexpr size_t NEWSRC_PATH_MAX = 256;

const char *NewsrcDirectory() { return NEWSRC_DIRECTORY; }

tDiag NewsrcOpen(tDb *db, const char *diskName, tLog *log) {
    std::string path;
    if (strlen(NEWSRC_DIRECTORY) + 1 + strlen(diskName) >= NEWSRC_PATH_MAX) {
        LogMessage(log, "Path %s/%s too long.\n", NEWSRC_DIRECTORY, diskName);
        return E_PATH_TOO_LONG;
    }
    (void)FindFileNoCase(NEWSRC_DIRECTORY, diskName, &path);
    return DbOpen(db, path.c_str(), log, newsrcSchema);
}

void NewsrcClose(tDb *db) {
    if (db->db) (void)DbCommitClose(db);
}

tDiag NewsrcCheckpoint(tDb *db) { return DbCheckpoint(db); }

long NewsrcCount(tDb *db) {
    long count = 0;
    tDiag diag = DbCount(db, "grs", &count);
    return diag < 0 ? diag : count;
}

void NewsrcGroupFree(tNewsrcGroup *record) {
    free(record->groupName);
    record->groupName = nullptr;
    NumbersFree(&record->numbers);
}

static uint32_t BigEndianWord(const unsigned char *bytes) {
    return (uint32_t)bytes[0] << 24 | (uint32_t)bytes[1] << 16 | (uint32_t)bytes[2] << 8 | bytes[3];
}

// Fills record from a row's time and blob.
static tDiag BuildRecord(tDb *db, const char *groupName, long lastExploreSecs, const unsigned char *blob,
                         int bytes, tNewsrcGroup *record) {
    if (bytes % 8 != 0) {
        LogMessage(db->log, "Size of ranges %d is incorrect.\n", bytes);
        return E_SQL_CORRUPTED;
    }
    tNewsrcGroup built;
    NumbersInit(&built.numbers);
    built.lastExploreSecs = lastExploreSecs;
    built.groupName = strdup(groupName);
    int ranges = bytes / 8;
    if (!built.groupName || (ranges > 0 && DynArrayGrow(&built.numbers, ranges) != 0)) {
        NewsrcGroupFree(&built);
        return E_OUT_OF_MEMORY;
    }
    for (int i = 0; i < ranges; i++) {
        uint32_t low = BigEndianWord(blob + 8 * i), high = BigEndianWord(blob + 8 * i + 4);
        if (low > INT32_MAX || high > INT32_MAX) {
            LogMessage(db->log, "Ranges of %s are incorrect.\n", groupName);
            NewsrcGroupFree(&built);
            return E_SQL_CORRUPTED;
        }
        // Room was made above, so adding cannot fail; ranges out of order
        // or overlapping are merged into a canonical set.
        (void)NumbersAdd(&built.numbers, (int32_t)low, (int32_t)high);
    }
    *record = built;
    return E_OK;
}

tDiag NewsrcRead(tDb *db, const char *groupName, bool create, tNewsrcGroup *record) {
    if (create) {
        tSqlText insert("INSERT OR IGNORE INTO grs VALUES(%ld,%Q,0,X'%s');", 0L, groupName, "");
        if (!insert.text) return E_OUT_OF_MEMORY;
        tDiag diag = DbExec(db, insert.text);
        if (diag < 0) return diag;
    }
    tSqlText select("SELECT lastExploreSecs,ranges FROM grs WHERE groupName=%Q;", groupName);
    if (!select.text) return E_OUT_OF_MEMORY;
    sqlite3_stmt *statement = nullptr;
    tDiag diag = DbPrepare(db, select.text, &statement);
    if (diag < 0) return diag;
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_DONE) {
        diag = E_NOT_IN_NEWSRC;
    } else if (rc != SQLITE_ROW) {
        LogMessage(db->log, "Cannot find %s: %s (%d)\n", groupName, sqlite3_errmsg(db->db), rc);
        diag = E_SQL_FAILED;
    } else if (record) {
        const unsigned char *blob = static_cast<const unsigned char *>(sqlite3_column_blob(statement, 1));
        int bytes = sqlite3_column_bytes(statement, 1);
        diag = BuildRecord(db, groupName, (long)sqlite3_column_int64(statement, 0), blob, bytes, record);
    }
    tDiag finalized = DbFinalize(db, statement);
    if (diag == E_OK && finalized < 0) {
        if (record) NewsrcGroupFree(record);
        diag = finalized;
    }
    return diag;
}

tDiag NewsrcWrite(tDb *db, tNewsrcGroup *record) {
    tDiag diag = E_OK;
    if (record->flags & NEWSRC_DELETE) {
        tSqlText sql("DELETE FROM grs WHERE groupName=%Q;", record->groupName);
        diag = sql.text ? DbExec(db, sql.text) : E_OUT_OF_MEMORY;
    } else if (record->flags & NEWSRC_MODIFIED) {
        // Every word as eight upper-case hexadecimal digits, most significant
        // first: the blob's bytes are big-endian whatever this machine is.
        int32_t ranges = NumbersRanges(&record->numbers);
        std::string hex;
        hex.reserve((size_t)ranges * 16 + 1);
        for (int32_t i = 0; i < ranges; i++) {
            const tRange *range = NumbersRange(&record->numbers, i);
            char words[17];
            snprintf(words, sizeof words, "%08lX%08lX", (unsigned long)(uint32_t)range->low,
                     (unsigned long)(uint32_t)range->high);
            hex += words;
        }
        tSqlText sql("UPDATE grs SET lastExploreSecs=%ld,ranges=X'%s' WHERE groupName=%Q;", record->lastExploreSecs,
                     hex.c_str(), record->groupName);
        diag = sql.text ? DbExec(db, sql.text) : E_OUT_OF_MEMORY;
    }
    NewsrcGroupFree(record);
    record->flags = 0;
    return diag;
}

void NewsrcReset(tNewsrcGroup *record) {
    NumbersFree(&record->numbers);
    record->lastExploreSecs = 0;
    record->flags |= NEWSRC_MODIFIED;
}

void NewsrcMarkDelete(tNewsrcGroup *record) {
    NewsrcReset(record);
    record->flags |= NEWSRC_DELETE;
}

// Reads a group, applies change and writes it back; a missing group is fine.
static tDiag ChangeGroup(tDb *db, const char *groupName, void (*change)(tNewsrcGroup *)) {
    tNewsrcGroup record;
    tDiag diag = NewsrcRead(db, groupName, false, &record);
    if (diag == E_NOT_IN_NEWSRC) return E_OK;
    if (diag < 0) return diag;
    change(&record);
    return NewsrcWrite(db, &record);
}

tDiag NewsrcDeleteGroup(tDb *db, const char *groupName) { return ChangeGroup(db, groupName, NewsrcMarkDelete); }

tDiag NewsrcResetGroup(tDb *db, const char *groupName) { return ChangeGroup(db, groupName, NewsrcReset); }

static int CollectName(void *context, int columns, char **values, char **) {
    auto *names = static_cast<std::vector<std::string> *>(context);
    if (columns > 0 && values[0]) names->emplace_back(values[0]);
    return 0;
}

int NewsrcForEachGroup(tDb *db, tNewsrcGroupFn function, void *context, tLog *log, bool legacyMode) {
    if (legacyMode) return E_NOT_IMPLEMENTED;
    tDiag diag = NewsrcCheckpoint(db);
    if (diag < 0) return diag;
    std::vector<std::string> names;
    char *message = nullptr;
    if (sqlite3_exec(db->db, "SELECT groupName FROM grs;", CollectName, &names, &message) != SQLITE_OK) {
        LogMessage(log, "Cannot scan the full group list: %s\n", message ? message : sqlite3_errmsg(db->db));
        sqlite3_free(message);
        return E_SQL_FAILED;
    }
    int result = E_OK;
    for (std::string &name : names) {
        tNewsrcGroup record;
        record.groupName = name.data();
        result = function(&record, context);
        if (result < 0) {
            LogMessage(log, "Error when processing group %s: %s.\n", name.c_str(), DiagText(result));
            break;
        }
    }
    return result;
}

namespace {
struct tResetAll {
    const char *groupName;
    tLog *log;
    tDiag first;
};
}  // namespace

static int ResetInFile(const char *path, void *context) {
    auto *reset = static_cast<tResetAll *>(context);
    const char *slash = strrchr(path, '/');
    tDb db;
    tDiag diag = NewsrcOpen(&db, slash ? slash + 1 : path, reset->log);
    if (diag == E_OK) {
        diag = NewsrcResetGroup(&db, reset->groupName);
        if (diag == E_OK) diag = NewsrcCheckpoint(&db);
        NewsrcClose(&db);
    }
    if (diag < 0 && reset->first == E_OK) reset->first = diag;
    return 0;
}

tDiag NewsrcResetGroupEverywhere(const char *groupName, tLog *log) {
    tResetAll reset{groupName, log, E_OK};
    if (DirWalk(NEWSRC_DIRECTORY, dbDatasetPatterns, DW_UNLISTABLE_OK, ResetInFile, &reset) < 0)
        return E_FILE_MISSING;
    return reset.first;
}
