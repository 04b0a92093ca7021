// The actual group list of an upstream server: the groups it offers now,
// with their article number ranges, listing flags and an exploration score.
//
// Design: the same table as the full group list, in its own file "actual/"
// followed by the server's disk name, made afresh at each exploration's
// group list phase. Every group entered here is first entered into the full
// list (with this server as its lister), which also refuses invalid and
// unwanted names; the actual row is active when the group is active in the
// full list. Walks of the active groups follow the score.
//
// Threading: an actual list is used only by its server's exploration task.
// It reaches the full list, which is shared (server/store/grouplist.h).
#pragma once

#include "lib/diag.h"
#include "lib/log.h"
#include "server/store/grouplist.h"

// The directory of the actual lists, relative to the work directory.
constexpr const char *ACTUAL_DIRECTORY = "actual";

struct tActualList {
    tGroupList list;                // the server's list on its own file
    tLog *log = nullptr;            // the exploration's log
    tGroupList *fullList = nullptr; // the full group list
    long activeCount = -1;          // active groups; -1 until counted
    long serverId = 0;
};

// Makes the directory "actual", removes an old "actual/<diskName>" (its
// journal first; any file of that directory whose name differs only in case
// too), and opens a fresh list there with the full list's patterns. When a
// file stays: "Cannot delete the %s file.\n" and E_CANNOT_OPEN_FILE.
// Otherwise what GroupListOpen returns. Release with ActualListClose.
[[nodiscard]] tDiag ActualListCreate(tActualList *actual, const char *diskName, tLog *log, tGroupList *fullList,
                                     long serverId);

// Commits and closes the list; the file stays until the next
// ActualListCreate or ActualDirectoryDelete.
void ActualListClose(tActualList *actual);

// Enters a group the server offers: first into the full list (inserted when
// absent; an invalid or unwanted name fails here with E_BAD_GROUP_NAME or
// E_GROUP_UNWANTED and is entered nowhere), then into the actual list under
// the full list's spelling, with flags GF_ACTIVE when active in the full
// list plus listingFlags, and the range low..high. A group already in the
// actual list is left as it is and gives E_TREE_DUPLICATE.
[[nodiscard]] tDiag ActualAdd(tActualList *actual, const char *name, long low, long high, int listingFlags);

// One line of a LIST ACTIVE answer: name, high, low and flag, separated by
// white space. The flag's first character "m" gives GF_POSTING|GF_MODERATED,
// "y" GF_POSTING, anything else (or none) 0. E_STRING_EMPTY for a line
// without a name, E_NUMBER_CORRUPTED for a missing or bad number; then
// ActualAdd. The line is not changed.
[[nodiscard]] tDiag ActualAddListLine(tActualList *actual, const char *line);

// A group known by name only (no range), posting allowed: ActualAdd.
[[nodiscard]] tDiag ActualAddName(tActualList *actual, const char *name);

// "COMMIT; BEGIN;".
[[nodiscard]] tDiag ActualCommit(tActualList *actual);

// Computes a group's score from its row.
typedef long (*tActualScoreFn)(const tGroupRow *row, void *context);

// Stores the score function's result for every active group. Returns E_OK or
// the first failure.
[[nodiscard]] tDiag ActualScore(tActualList *actual, tActualScoreFn function, void *context);

// Called for each active group in score order with its row (the range may
// be changed: it is written back), its index from 0 and the active count.
typedef tDiag (*tActualGroupFn)(tGroupRow *row, void *context, long index, long activeCount);

// Walks the active groups ordered by score, calling function. A failure
// writes "Error when processing group %s: %s.\n" and ends the walk; a
// shutdown ends it with E_SHUTDOWN. Returns the last result of function, or
// E_NO_ACTIVE_GROUPS when there was no active group.
[[nodiscard]] tDiag ActualForEachActive(tActualList *actual, tActualGroupFn function, void *context);

// Active groups (cached until the next ActualAdd), or a negative tDiag.
[[nodiscard]] long ActualActiveCount(tActualList *actual);

// All groups, or a negative tDiag.
[[nodiscard]] long ActualCount(tActualList *actual);

// Logs the groups ordered by name (only the active ones unless allGroups)
// whose active flag differs from allGroups: "%ld\t%c\t%s %ld %ld %c\n"
// (articles, "A" or "-", name, high, low, "m", "y" or "n"), or
// "-\t%c\t%s - - -\n" when the range is 0..0.
void ActualListStates(tActualList *actual, bool allGroups);

// Removes every file of "actual" and the directory. E_ERRNO when something
// stays.
[[nodiscard]] tDiag ActualDirectoryDelete();
