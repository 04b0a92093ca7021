// The newsrc of an upstream server: per group, the article numbers already
// explored on that server and the time of the last exploration there.
//
// Design: one SQLite file per server, "newsrc3/" followed by the server's
// disk name, with one row per group in the table grs (group names unique
// without regard to case). The explored numbers are a tNumbers stored as a
// blob: each range as two 32-bit words, low then high, most significant byte
// first, 8 bytes per range, so the file reads the same on any machine. A
// record is read into a tNewsrcGroup, changed, and written back (or deleted)
// with NewsrcWrite, which always releases the record.
//
// Linux file names are case-sensitive; disk names are not: NewsrcOpen finds
// an existing file whose name differs from the disk name only in case.
//
// Threading: a newsrc belongs to the one task that opened it (an exploration
// or a maintenance operation); nothing here locks.
#pragma once

#include "lib/diag.h"
#include "lib/log.h"
#include "lib/numbers.h"
#include "server/store/db.h"

// The directory of the newsrc files, relative to the work directory; the
// main program creates it at start-up (unless minimal).
constexpr const char *NEWSRC_DIRECTORY = "newsrc3";

// The schema, created on every open (an existing table is fine).
extern const char *const newsrcSchema;

// tNewsrcGroup flags.
constexpr int NEWSRC_DELETE = 1;    // delete the row when written back
constexpr int NEWSRC_MODIFIED = 2;  // update the row when written back

// One group's record in memory. Owns groupName and numbers: release with
// NewsrcWrite or NewsrcGroupFree.
struct tNewsrcGroup {
    char *groupName = nullptr;  // as passed to NewsrcRead; owned
    long lastExploreSecs = 0;   // time of the last exploration; 0 never
    tNumbers numbers{};         // the explored numbers
    int flags = 0;              // NEWSRC_DELETE, NEWSRC_MODIFIED
};

// "newsrc3".
const char *NewsrcDirectory();

// Opens the newsrc of the server with this disk name: the file
// "newsrc3/<diskName>", or an existing file of that directory whose name
// differs only in case; created with the schema when absent. The path must
// fit 256 bytes, else "Path %s too long.\n" and E_PATH_TOO_LONG. Otherwise
// what DbOpen returns (db closed on failure).
[[nodiscard]] tDiag NewsrcOpen(tDb *db, const char *diskName, tLog *log);

// Commits and closes an open newsrc (a closed one is left alone).
void NewsrcClose(tDb *db);

// "COMMIT; BEGIN;".
[[nodiscard]] tDiag NewsrcCheckpoint(tDb *db);

// The number of groups, or a negative tDiag.
[[nodiscard]] long NewsrcCount(tDb *db);

// Reads a group's record. With create, a group not in the file is entered
// with nothing explored. Without create a missing group gives
// E_NOT_IN_NEWSRC. A failing step writes "Cannot find %s: %s (%d)\n" and
// gives E_SQL_FAILED; a blob whose length is not a multiple of 8 writes
// "Size of ranges %d is incorrect.\n" and gives E_SQL_CORRUPTED, as does a
// word above 2147483647 ("Ranges of %s are incorrect.\n"). With record null
// only presence is checked. On success *record holds an owned copy of
// groupName, the time and the numbers, flags 0; on failure it holds nothing
// that needs releasing. E_OUT_OF_MEMORY when the record cannot be built.
[[nodiscard]] tDiag NewsrcRead(tDb *db, const char *groupName, bool create, tNewsrcGroup *record);

// Writes a record back and always releases it: NEWSRC_DELETE deletes the
// row; otherwise NEWSRC_MODIFIED updates its time and ranges; neither flag
// writes nothing.
[[nodiscard]] tDiag NewsrcWrite(tDb *db, tNewsrcGroup *record);

// Releases what a record owns; the record is empty afterwards.
void NewsrcGroupFree(tNewsrcGroup *record);

// Empties the numbers, sets the time to 0 and flags the record modified:
// the group will be explored from scratch.
void NewsrcReset(tNewsrcGroup *record);

// NewsrcReset and flags the record for deletion.
void NewsrcMarkDelete(tNewsrcGroup *record);

// Deletes a group's row; a group that is not there is fine (E_OK).
[[nodiscard]] tDiag NewsrcDeleteGroup(tDb *db, const char *groupName);

// Resets a group's row (nothing explored); a group that is not there is fine.
[[nodiscard]] tDiag NewsrcResetGroup(tDb *db, const char *groupName);

// Called for each group by NewsrcForEachGroup with a record holding only the
// group name (owned by the walk; the function must not release it). A
// negative result ends the walk.
typedef int (*tNewsrcGroupFn)(tNewsrcGroup *record, void *context);

// Checkpoints, then calls function for every group of the file. The names
// are read first, so the function may delete or change rows. A negative
// result writes "Error when processing group %s: %s.\n" and ends the walk; a
// failing scan writes "Cannot scan the full group list: %s\n" and gives
// E_SQL_FAILED. With legacyMode (a file of the older format) E_NOT_IMPLEMENTED
// at once. Returns the last result of function (E_OK when there is no group).
[[nodiscard]] int NewsrcForEachGroup(tDb *db, tNewsrcGroupFn function, void *context, tLog *log,
                                     bool legacyMode);

// Resets the group in the newsrc of every server (every file of "newsrc3"
// but the journals): open, reset, checkpoint, close. Returns the first
// failure after trying all files, or E_OK.
[[nodiscard]] tDiag NewsrcResetGroupEverywhere(const char *groupName, tLog *log);
