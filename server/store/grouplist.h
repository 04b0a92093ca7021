// The full group list "etc/groups.sq3": every newsgroup any server has
// offered, whether it is active (a reader uses it, so it has an index and is
// explored) or unwanted, and how popular it is with the local readers. Also
// the tests whether a group name is acceptable and wanted, and the start-up
// walk that reactivates every group that has an index file.
//
// Design: one SQLite table fgl, shared with the per-server actual lists
// (server/store/actual.h). Group names are unique without regard to case
// (COLLATE NOCASE) and keep the spelling of their first listing; every
// lookup goes through the byHash index with the CRC-32 of the lower-cased
// name plus the exact text. Opening the list deactivates every group and
// forgets the unwanted ones, then enters the groups.noByName names as
// unwanted; the start-up walk then reactivates the groups found in "index2".
// The popularity counters are updated by single UPDATE statements that add
// to the stored values, so concurrent sessions lose no update.
//
// Threading: a tGroupList is shared by all threads through its tDb (SQLite's
// serialized mode: each statement is atomic, all callers share the one long
// transaction). Open and close happen on the main thread with no other user.
// An iterator belongs to the thread that started it. The patterns given at
// open must stay valid and unchanged while the list is open.
#pragma once

#include "lib/diag.h"
#include "lib/log.h"
#include "server/store/db.h"
#include "server/store/group_name.h"

#include <atomic>
#include <string>

struct sqlite3_stmt;

// The full list's file, relative to the work directory.
constexpr const char *GROUP_LIST_PATH = "etc/groups.sq3";

// The directory of the group indexes walked at start-up.
constexpr const char *GROUP_INDEX_DIRECTORY = "index2";

// The table of the full list and of the actual lists.
extern const char *const groupListSchema;

// Row flags.
constexpr int GF_ACTIVE = 1;     // a reader uses the group
constexpr int GF_UNWANTED = 2;   // refused by the settings
constexpr int GF_POSTING = 4;    // the server allows posting (actual lists)
constexpr int GF_MODERATED = 8;  // the server says moderated (actual lists)

// GroupLookup options.
constexpr int GL_INSERT = 1;           // insert the group when absent
constexpr int GL_ACCEPT_UNWANTED = 4;  // enter an unwanted name, flagged unwanted

// Which groups are wanted: the settings of section groups. Each is a
// null-terminated pattern or name list, or null for none.
struct tGroupWants {
    const char *const *yes = nullptr;          // patterns of wanted groups; null: all
    const char *const *noByPattern = nullptr;  // patterns of unwanted groups
    const char *const *noByName = nullptr;     // names of unwanted groups
};

// An open list. Fields up to db as the store describes them; the last two
// keep the patterns GroupCheck uses.
struct tGroupList {
    int yesAll = 0;                                       // yes holds the pattern "*" itself
    const char *const *unwanted = nullptr;                // the noByName names
    const std::atomic<int> *shutdownFlag = nullptr;       // non-zero ends walks; may be null
    tDb db;                                               // the open database
    const char *const *yes = nullptr;                     // wanted patterns
    const char *const *noByPattern = nullptr;             // unwanted patterns
    sqlite3_stmt *recordRetrieval = nullptr;              // kept for GroupRecordRetrieval; under db's mutex
};

// One row as walks see it. A walk of an actual list writes a changed range
// back when it moves on.
struct tGroupRow {
    std::string groupName;  // as stored
    int flags = 0;          // GF_* bits
    long rangeLow = 0;      // the server's range (actual lists)
    long rangeHigh = 0;
};

// Walks rows of a list; see GroupIterStart.
struct tGroupListIterator {
    tGroupList *list = nullptr;
    sqlite3_stmt *statement = nullptr;
    bool withRange = false;
    tGroupRow row;          // the current row
    long readLow = 0;       // its range as read
    long readHigh = 0;
};

// ---------------------------------------------------------------------------
// Group names

// GroupNameInvalid (server/store/group_name.h) is the rule for acceptable
// names.

// E_BAD_GROUP_NAME for an empty or invalid name or for "async" in any case
// (the pseudo-group of asynchronous retrieval); E_GROUP_UNWANTED when the
// name matches a noByPattern pattern, or when yes does not hold "*" and the
// name matches none of its patterns; else E_OK. The noByName names are
// judged by the list's rows, not here.
[[nodiscard]] tDiag GroupCheck(const tGroupList *list, const char *name);

// ---------------------------------------------------------------------------
// Opening and closing

// Opens the list at path (null: GROUP_LIST_PATH), creating it when absent.
// An existing file is reset: "Deactivating all groups in %s\n" (every group
// inactive) and "Deleting unwanted groups from %s\n" (unwanted rows
// removed). Then every wants->noByName name is entered as unwanted (a name
// the patterns refuse already is not entered); another failure writes
// "Could not incorporate groups.noByName settings into the %s list: %s.\n",
// closes the list and is returned. wants (may be null: everything wanted)
// must outlive the list; shutdownFlag may be null.
[[nodiscard]] tDiag GroupListOpen(const char *path, tGroupList *list, tLog *log, const tGroupWants *wants,
                                  const std::atomic<int> *shutdownFlag);

// Commits and closes the list (a closed list is left alone).
void GroupListClose(tGroupList *list);

// Removes "etc/groups.sq3" and its journal; E_ERRNO when one stays.
[[nodiscard]] tDiag GroupListDelete();

// ---------------------------------------------------------------------------
// Start-up

// Enters every group that has an index file as active: walks the files of
// "index2" (journals excluded); the file name is the group name. A group the
// list already holds as active (a second file for the same group, spelled
// differently) writes "Error: group %s is already present in list as %s.\n"
// (or "Error: group %s is already present and active in list.\n" for equal
// spellings) and fails the walk with E_TREE_DUPLICATE. A listed, inactive
// group spelled differently writes "Warning: group's file name (%s) is
// different from list name (%s).\n" and is activated under the listed
// spelling. An unwanted group writes "Group %s is unwanted, deleting
// file(s).\n" and its index file and journal are removed. Any other failure
// writes "Could not enter group %s into the list: %s.\n" and ends the walk
// with it. A missing "index2" is no failure. Returns E_OK or the failure
// (the main program then stops with exit code 21).
[[nodiscard]] tDiag GroupListEnterIndexes(tGroupList *list, tLog *log);

// The main program's start-up step in one call: GroupListOpen of
// GROUP_LIST_PATH and, unless minimal, GroupListEnterIndexes. On a failure
// of the walk the list is closed. Every failure means exit code 21; on
// success release with GroupListClose.
[[nodiscard]] tDiag GroupListStart(tGroupList *list, tLog *log, const tGroupWants *wants,
                                   const std::atomic<int> *shutdownFlag, bool minimal);

// The multiplexer's full group list: opened by the main program at start-up
// (GroupListStart), closed at its tear-down.
extern tGroupList groupList;

// ---------------------------------------------------------------------------
// Lookups and changes

// Looks a group up (without regard to case). GroupCheck first: an invalid
// name fails; an unwanted name gives E_GROUP_UNWANTED unless
// GL_ACCEPT_UNWANTED, which enters it flagged unwanted. With GL_INSERT an
// absent group is inserted (added now, serverId as the lister). setActive
// and setUnwanted add those flags to the row. Then the row is read: none
// gives E_TREE_NOT_FOUND; a failing step writes "Cannot find flags for %s:
// %s (%d)\n" and gives E_SQL_FAILED. Otherwise *flags (may be null) and
// *storedName (may be null) get the row's flags and spelling, and the result
// is E_GROUP_UNWANTED when the row is unwanted, else E_OK.
[[nodiscard]] tDiag GroupLookup(tGroupList *list, const char *name, int options, int *flags, bool setActive,
                                bool setUnwanted, std::string *storedName, long serverId);

// 1 when the group is active, 0 when listed but inactive, else the failure
// of GroupLookup (E_TREE_NOT_FOUND when not listed).
[[nodiscard]] int GroupIsActive(tGroupList *list, const char *name);

// The stored spelling of a listed group, optionally activating it. The
// failures of GroupLookup.
[[nodiscard]] tDiag GroupStoredName(tGroupList *list, const char *name, bool activate, std::string *stored);

// Inserts the group when absent and sets it active. The failures of
// GroupLookup (E_GROUP_UNWANTED for an unwanted group).
[[nodiscard]] tDiag GroupAddActive(tGroupList *list, const char *name);

// Clears the group's active flag.
[[nodiscard]] tDiag GroupDeactivate(tGroupList *list, const char *name);

// Groups that are not unwanted (only the active ones with activeOnly), or a
// negative tDiag.
[[nodiscard]] long GroupCount(tGroupList *list, bool activeOnly);

// Called with a group's stored name, whether it is active, 0, and the
// context. A negative result ends the walk.
typedef int (*tGroupFn)(const char *name, int active, int reserved, void *context);

// Checkpoints, then calls function for every group that is not unwanted;
// only active ones with activeOnly, only those added at or after sinceSecs
// when it is positive, only names matching the GLOB pattern when it is not
// null. Ends at a negative result (returned) or a shutdown (E_SHUTDOWN).
// Returns the last result, E_OK for no group.
[[nodiscard]] int GroupForEach(tGroupList *list, tGroupFn function, void *context, bool activeOnly, long sinceSecs,
                               const char *pattern);

// Starts a walk over the rows that are not unwanted, filtered as in
// GroupForEach, ordered by orderBy (an SQL expression, null: any order),
// reading the ranges with withRange. E_SQL_FAILED, E_OUT_OF_MEMORY.
[[nodiscard]] tDiag GroupIterStart(tGroupListIterator *iterator, tGroupList *list, bool activeOnly, long sinceSecs,
                                   const char *pattern, const char *orderBy, bool withRange);

// Moves to the next row (writing back a changed range of the current one
// first): 1 and iterator->row filled, 0 at the end, or a negative tDiag.
[[nodiscard]] int GroupIterNext(tGroupListIterator *iterator);

// Ends the walk (writing back a changed range); safe to call twice.
void GroupIterEnd(tGroupListIterator *iterator);

// ---------------------------------------------------------------------------
// Popularity

// Counts one retrieved article of bytes bytes: articlesGot + 1,
// kiloBytesGot + (bytes + 512) / 1024, lastGotSecs now. An empty name does
// nothing; failures are logged by the database layer and otherwise ignored.
void GroupRecordRetrieval(tGroupList *list, const char *name, long bytes);

// Records a reader's selection of the group: lastGroupSecs now.
void GroupRecordSelection(tGroupList *list, const char *name);

// Kilobytes retrieved for the group; 0 when absent or unwanted.
[[nodiscard]] long GroupKiloBytes(tGroupList *list, const char *name);

// Clears the popularity of inactive groups not selected in the last days
// (and, unless evenRetrieved, never retrieved from). Returns the number of
// rows changed or a negative tDiag.
[[nodiscard]] long GroupTrimPopular(tGroupList *list, long days, bool evenRetrieved);
