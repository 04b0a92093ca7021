#include "server/store/actual.h"

#include "lib/crc32.h"
#include "lib/dirwalk.h"
#include "lib/files.h"
#include "lib/strings.h"
#include "server/store/sqltext.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

// Removes a list file: its journal first, so that no journal outlives its
// database.
static void RemoveListFile(const std::string &path) {
    (void)unlink((path + "-journal").c_str());
    (void)unlink(path.c_str());
}

tDiag ActualListCreate(tActualList *actual, const char *diskName, tLog *log, tGroupList *fullList, long serverId) {
    actual->log = log;
    actual->fullList = fullList;
    actual->activeCount = -1;
    actual->serverId = serverId;
    tDiag diag = CreateDirectoryChecked(ACTUAL_DIRECTORY, log);
    if (diag < 0) return diag;
    std::string path = std::string(ACTUAL_DIRECTORY) + "/" + diskName;
    // Disk names compare without regard to case: an old list under another
    // spelling of the same name goes as well.
    std::string found;
    for (int i = 0; i < 16 && FindFileNoCase(ACTUAL_DIRECTORY, diskName, &found); i++) RemoveListFile(found);
    RemoveListFile(path);
    if (FileExists((path + "-journal").c_str())) {
        LogMessage(log, "Cannot delete the %s file.\n", (path + "-journal").c_str());
        return E_CANNOT_OPEN_FILE;
    }
    if (FileExists(path.c_str())) {
        LogMessage(log, "Cannot delete the %s file.\n", path.c_str());
        return E_CANNOT_OPEN_FILE;
    }
    tGroupWants wants;
    wants.yes = fullList->yes;
    wants.noByPattern = fullList->noByPattern;
    return GroupListOpen(path.c_str(), &actual->list, log, &wants, fullList->shutdownFlag);
}

void ActualListClose(tActualList *actual) { GroupListClose(&actual->list); }

tDiag ActualAdd(tActualList *actual, const char *name, long low, long high, int listingFlags) {
    int fullFlags = 0;
    std::string stored;
    tDiag diag = GroupLookup(actual->fullList, name, GL_INSERT, &fullFlags, false, false, &stored, actual->serverId);
    if (diag < 0) return diag;
    int flags = (fullFlags & GF_ACTIVE) | listingFlags;
    tSqlText sql("INSERT OR IGNORE INTO fgl VALUES(%ld,%Q,%lu,NULL,0,0,0,0,0,%d,%ld,%ld,0,%ld);", (long)time(nullptr),
                 stored.c_str(), (unsigned long)Crc32StringLower(stored.c_str()), flags, low, high, actual->serverId);
    if (!sql.text) return E_OUT_OF_MEMORY;
    actual->activeCount = -1;
    if ((diag = DbExec(&actual->list.db, sql.text)) < 0) return diag;
    // The actual list belongs to one exploration task: the change count is
    // this statement's.
    return sqlite3_changes(actual->list.db.db) > 0 ? E_OK : E_TREE_DUPLICATE;
}

// Reads one whole decimal token.
static bool ParseNumberToken(const char *token, long *value) {
    int number = 0;
    const char *end = token ? ParseInt(token, &number) : nullptr;
    if (!end || *end) return false;
    *value = number;
    return true;
}

tDiag ActualAddListLine(tActualList *actual, const char *line) {
    std::string copy(line);
    char *name = nullptr, *high = nullptr, *low = nullptr, *flag = nullptr;
    char *rest = NextToken(copy.data(), &name);
    if (!rest) return E_STRING_EMPTY;
    if ((rest = NextToken(rest, &high)) != nullptr && (rest = NextToken(rest, &low)) != nullptr)
        (void)NextToken(rest, &flag);
    long highNumber = 0, lowNumber = 0;
    if (!ParseNumberToken(high, &highNumber) || !ParseNumberToken(low, &lowNumber)) return E_NUMBER_CORRUPTED;
    int flags = 0;
    if (flag && *flag == 'm')
        flags = GF_POSTING | GF_MODERATED;
    else if (flag && *flag == 'y')
        flags = GF_POSTING;
    return ActualAdd(actual, name, lowNumber, highNumber, flags);
}

tDiag ActualAddName(tActualList *actual, const char *name) { return ActualAdd(actual, name, 0, 0, GF_POSTING); }

tDiag ActualCommit(tActualList *actual) { return DbCheckpoint(&actual->list.db); }

tDiag ActualScore(tActualList *actual, tActualScoreFn function, void *context) {
    // The rows are read first and scored afterwards: no update runs while
    // the walk's statement is pending.
    std::vector<std::pair<std::string, long>> scores;
    tGroupListIterator iterator;
    tDiag diag = GroupIterStart(&iterator, &actual->list, true, 0, nullptr, nullptr, true);
    if (diag < 0) return diag;
    int next;
    while ((next = GroupIterNext(&iterator)) > 0) scores.emplace_back(iterator.row.groupName, function(&iterator.row, context));
    GroupIterEnd(&iterator);
    if (next < 0) return next;
    for (const auto &[name, score] : scores) {
        tSqlText sql("UPDATE fgl SET score=%ld WHERE hash=%lu AND groupName=%Q;", score,
                     (unsigned long)Crc32StringLower(name.c_str()), name.c_str());
        if (!sql.text) {
            LogMessage(actual->log, "%s.\n", DiagText(E_OUT_OF_MEMORY));
            return E_OUT_OF_MEMORY;
        }
        if ((diag = DbExec(&actual->list.db, sql.text)) < 0) return diag;
    }
    return E_OK;
}

tDiag ActualForEachActive(tActualList *actual, tActualGroupFn function, void *context) {
    long activeCount = ActualActiveCount(actual);
    if (activeCount < 0) return (tDiag)activeCount;
    tGroupListIterator iterator;
    tDiag diag = GroupIterStart(&iterator, &actual->list, true, 0, nullptr, "score", true);
    if (diag < 0) return diag;
    tDiag result = E_NO_ACTIVE_GROUPS;
    for (long index = 0;; index++) {
        if (actual->list.shutdownFlag && actual->list.shutdownFlag->load() != 0) {
            result = E_SHUTDOWN;
            break;
        }
        int next = GroupIterNext(&iterator);
        if (next <= 0) {
            if (next < 0) result = next;
            break;
        }
        result = function(&iterator.row, context, index, activeCount);
        if (result < 0) {
            LogMessage(actual->log, "Error when processing group %s: %s.\n", iterator.row.groupName.c_str(),
                       DiagText(result));
            break;
        }
    }
    GroupIterEnd(&iterator);
    return result;
}

long ActualActiveCount(tActualList *actual) {
    if (actual->activeCount < 0) {
        long count = GroupCount(&actual->list, true);
        if (count < 0) return count;
        actual->activeCount = count;
    }
    return actual->activeCount;
}

long ActualCount(tActualList *actual) { return GroupCount(&actual->list, false); }

void ActualListStates(tActualList *actual, bool allGroups) {
    tGroupListIterator iterator;
    if (GroupIterStart(&iterator, &actual->list, !allGroups, 0, nullptr, "groupName", true) < 0) return;
    while (GroupIterNext(&iterator) > 0) {
        const tGroupRow &row = iterator.row;
        bool active = (row.flags & GF_ACTIVE) != 0;
        if (active == allGroups) continue;
        char state = active ? 'A' : '-';
        if (row.rangeLow == 0 && row.rangeHigh == 0) {
            LogMessage(actual->log, "-\t%c\t%s - - -\n", state, row.groupName.c_str());
            continue;
        }
        char posting = (row.flags & GF_MODERATED) ? 'm' : (row.flags & GF_POSTING) ? 'y' : 'n';
        LogMessage(actual->log, "%ld\t%c\t%s %ld %ld %c\n", row.rangeHigh - row.rangeLow + 1, state,
                   row.groupName.c_str(), row.rangeHigh, row.rangeLow, posting);
    }
    GroupIterEnd(&iterator);
}

static int RemoveFile(const char *path, void *context) {
    if (unlink(path) != 0 && errno != ENOENT) *static_cast<bool *>(context) = false;
    return 0;
}

tDiag ActualDirectoryDelete() {
    bool allGone = true;
    (void)DirWalk(ACTUAL_DIRECTORY, nullptr, DW_UNLISTABLE_OK, RemoveFile, &allGone);
    if (rmdir(ACTUAL_DIRECTORY) != 0 && errno != ENOENT) allGone = false;
    return allGone ? E_OK : E_ERRNO;
}
