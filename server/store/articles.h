// The article index of one newsgroup: an SQLite file "index2/<group>" with
// one row per article (its overview fields, local number, server references
// and flags), opened through the index cache and shared by every client
// session, exploration task and maintenance walk of the group.
//
// Design: tArticles is the cache entry of the group (tIndexEntry) followed by
// the store fields. An article that arrives from several servers (the same
// Message-ID, compared exactly) is stored once and gains one server reference
// per server; local numbers only grow: a new article takes high + 1 (or the
// server's number when the index follows one server's numbering), a renumbered
// one moves to high + 1, and the row holding high is never deleted by losing
// references, so no number is ever given twice. The file is kept in one long
// transaction, committed by ArticlesSync (the cache's sync/free task, 2 to 5
// seconds after the last user, and at shutdown): a crash loses at most the
// changes since the last sync. Message-ID lookups go through the CRC-32 hash
// column and its index; the frequent statements are prepared once per open
// index and bound, and a failing one is logged in the same words as the
// statement text would be.
//
// Filters and the hidden-list marking plug in through tArticleHooks; the
// settings the index reads are reached through articlesSettings so that
// run-time changes (zombie days) take effect at once.
//
// Threading: the store lock (tArticles::lock) serialises every use of an
// index's database and store fields. Functions say whether they take it or
// REQUIRE it held. ArticlesAddRef may return AA_NEW still holding it; the
// caller then inserts (ArticlesInsertNew) and finishes (ArticlesFinishNew) or
// abandons (ArticlesAbandonNew) the new article, which releases it. Lock
// order: the cache lock before a store lock; no function here holds two store
// locks, and AddXrefs opens other indexes holding none.
#pragma once

#include "lib/diag.h"
#include "lib/log.h"
#include "lib/numbers.h"
#include "server/store/article_data.h"
#include "server/store/db.h"
#include "server/store/indices.h"
#include "server/store/serv_refs.h"

#include <atomic>
#include <cstddef>
#include <mutex>

struct sqlite3_stmt;

// The schema of an index file, created on every open ("already exists" is
// tolerated).
extern const char *const ARTICLES_SCHEMA;

// Article flags (the low four bits are stored).
constexpr int ART_RETRIEVED = 1;
constexpr int ART_RENUMBERED = 2;
constexpr int ART_QUEUED = 4;
constexpr int ART_HIDDEN = 8;
constexpr int ART_STORED_FLAGS = 15;
constexpr int ART_DIRTY = 1 << 16;  // references or flags changed: write back

// Outcomes of ArticlesAddRef (and the hidden outcome set by the caller).
constexpr int AA_NEW = 0;              // no such Message-ID: a new article is prepared
constexpr int AA_REGET = 1;            // this server and number are already there
constexpr int AA_ALREADY_DELETED = 2;  // deleted locally: nothing changes
constexpr int AA_PHOENIX = 3;          // a zombie brought back by this server
constexpr int AA_DUP = 4;              // this server's reference was added
constexpr int AA_HIDDEN = 5;           // a new article that a hiding filter matched

// The stored part of one article. Allocated with its Message-ID in the same
// block (ArticleAlloc); freed with ArticleFree.
struct tArticle {
    tServRefs refs;
    long number;   // local number
    int flags;     // ART_* bits
    char *msgId;   // points into the same allocation
};

// A new article for msgId (length bytes) with no references (server -1),
// number 0, flags 0; null when out of memory.
tArticle *ArticleAlloc(const char *msgId, size_t length);

// Frees the article and its reference array. Null is fine.
void ArticleFree(tArticle *a);

struct tArticles;

// An article being read: its stored part, its index and its description
// (numbered with the local number); statement is the walk's query while
// iterating. Start zeroed ({}); free with ArticleFullFree.
struct tArticleFull {
    tArticle *a = nullptr;
    tArticles *articles = nullptr;
    tArticleData adt;
    sqlite3_stmt *statement = nullptr;
};

// Frees the article and the description (not the statement).
void ArticleFullFree(tArticleFull *full);

// Prepared statements kept per open index.
enum {
    AST_LOOKUP,   // by hash and Message-ID
    AST_INSERT,
    AST_SET_REFS,
    AST_SAVE,     // servRefs and flags
    AST_DELETE,
    AST_FIND_NUMBER,     // one article by number
    AST_FIND_MSGID,      // one article by hash and Message-ID
    AST_MARK_RETRIEVED,  // flags |= ?1 for one number
    AST_COUNT_
};

// An open group index: the cache header followed by the store fields.
struct tArticles : tIndexEntry {
    std::mutex lock;                         // the store lock
    tArticle *newArticle = nullptr;          // prepared by ArticlesAddRef, not yet inserted; guarded by lock
    tDb db;                                  // the index file; guarded by lock
    tRange range{1, 0};                      // lowest and highest local number; guarded by lock
    long count = 0;                          // rows; guarded by lock
    std::atomic<bool> rewriteRequested{false};  // next sync re-judges zombies and vacuums
    std::atomic<bool> inTransaction{false};     // a transaction is open (written under lock)
    sqlite3_stmt *statements[AST_COUNT_] = {};  // prepared on first use; guarded by lock
};

// The store operations the index cache uses for its entries; give them to
// IndicesCreate.
extern const tIndexStoreOps articlesStoreOps;

// The settings the index reads, each a pointer to the live variable: the
// global settings of the same names. Tests point them elsewhere.
struct tArticlesSettings {
    const int *zombieDays;
    const int *fakes;
    const int *useXrefs;
    const int *daysTooOld;
    const int *xrefLogAddedArticle;
    const int *xrefLogGroupNotActive;
    const int *xrefLogHadArticle;
    const int *verbose;
};
extern tArticlesSettings articlesSettings;

// ---------------------------------------------------------------------------
// Opening and closing

// Opens the index of group through the cache. Path "index2/" + group (a file
// whose name differs only in case is the same group's); E_PATH_TOO_LONG
// beyond 10239 characters; E_NULL_GROUP_NAME / E_BAD_GROUP_NAME for unusable
// names. Without create a group without an index file gives E_NO_INDEX. A
// file that cannot be opened or whose range cannot be read is refused (a
// line in log, the error returned). watchSocket (negative: none) ends a wait
// for another opener's load (E_INDEX_NOT_LOADED). On success *articles holds
// one reference: give it back with IndicesRelease(*articles, mode).
[[nodiscard]] tDiag ArticlesOpen(tIndices *indices, const char *group, tLog *log, bool create,
                                 tArticles **articles, int watchSocket);

// Reads min(number), max(number) and count() of an index database. An empty
// index gives 1, 0, 0, or with forListing 1000, 1000, 1000.
[[nodiscard]] tDiag ArticlesReadRange(tDb *db, tRange *range, long *count, bool forListing);

// The range and count. REQUIRES: the store lock held.
void ArticlesGetRange(tArticles *articles, tRange *range, long *count);
long ArticlesCount(tArticles *articles);
const char *ArticlesName(const tArticles *articles);

// The store lock, for callers that read or walk.
void ArticlesLock(tArticles *articles);
void ArticlesUnlock(tArticles *articles);

// Commits the index. With a rewrite requested first re-judges every zombie
// (stamping fresh ones, deleting expired ones), commits and vacuums. Takes
// the store lock. inTransaction stays set only when the commit failed.
tDiag ArticlesSync(tArticles *articles);

// A rewrite is requested or a transaction is open. No lock needed.
bool ArticlesModified(tArticles *articles);

// Asks the next sync to re-judge zombies and vacuum. No lock needed.
void ArticlesRequestRewrite(tArticles *articles);

// Removes the index file when the entry is freed (group deactivated).
void ArticlesSetDeleteOnFree(tArticles *articles, bool on);

// ---------------------------------------------------------------------------
// Reading. REQUIRES: the store lock held for every function of this division.
// Rows that were deleted locally (no references) below high are garbage:
// reading one deletes it and takes the next row instead.

// The row numbered number (direction 0), the nearest at or below it
// (direction < 0) or at or above it (direction > 0); extraCondition (or null)
// is appended to the WHERE clause, e.g. " AND NOT servRefs=''".
// E_ARTICLE_NOT_FOUND when no row qualifies. On success full owns the result.
[[nodiscard]] tDiag ArticlesFind(tArticles *articles, long number, int direction, tArticleFull *full,
                                 const char *extraCondition = nullptr);

// The row with this exact Message-ID; E_ARTICLE_NOT_FOUND.
[[nodiscard]] tDiag ArticlesFindByMsgId(tArticles *articles, const char *msgId, tArticleFull *full);

// The row numbered number if its Message-ID is msgId (else
// E_ARTICLE_NOT_FOUND); when no row has that number, the row with msgId.
// full->articles must be set.
[[nodiscard]] tDiag ArticlesFindByNumberAndMsgId(tArticleFull *full, long number, const char *msgId);

// Starts a walk at fromNumber, ascending for a positive direction (numbers
// >= fromNumber) and descending otherwise (<=), restricted by
// extraCondition (or null). The first row is in full: E_OK; E_ARTICLE_NOT_FOUND
// when there is none (the walk is then over). ArticlesIterNext moves on
// (writing back the current article when dirty): E_OK, or negative at the
// end (E_ARTICLE_NOT_FOUND) or on failure, the walk then being over.
// ArticlesIterEnd writes back and frees the current article and ends the walk
// (safe after the end).
[[nodiscard]] tDiag ArticlesIterStart(tArticleFull *full, tArticles *articles, long fromNumber, int direction,
                                      const char *extraCondition);
[[nodiscard]] tDiag ArticlesIterNext(tArticleFull *full);
void ArticlesIterEnd(tArticleFull *full);

// Writes one piece of a listing; negative when the output failed.
typedef int (*tListWrite)(void *output, const char *text, size_t length);

// The numbers of the visible articles (references present, not hidden):
// with range "%d\t%d\r\n" (number, lines) for the rows within it, without
// "%d\r\n" for all. Takes the store lock. E_CLIENT_DISCONNECTED when a write
// fails, E_SHUTDOWN when a shutdown is requested.
[[nodiscard]] tDiag ArticlesListNumbersTo(tArticles *articles, const tRange *range, tListWrite write, void *output);

// The same sent on socket (in pieces of a few kilobytes); on either failure
// the socket is shut down.
[[nodiscard]] tDiag ArticlesListNumbers(tArticles *articles, const tRange *range, int socket);

// ---------------------------------------------------------------------------
// Changing

// Executes sql, beginning a transaction first when none is open.
// REQUIRES: the store lock held.
[[nodiscard]] tDiag ArticlesExec(tArticles *articles, const char *sql);

// Adds the reference (serverId, serverNumber) to the article with msgId.
// Takes the store lock unless lockHeld. Returns AA_REGET, AA_ALREADY_DELETED,
// AA_PHOENIX or AA_DUP for an article already there (the last two written
// back; the lock is released unless lockHeld), or a negative tDiag
// (E_SQL_FAILED, E_OUT_OF_MEMORY, E_BUFFER_TOO_SMALL when the references
// outgrow 1024 bytes). When there is no such article: with newFull, a new
// article numbered high + 1 (or serverNumber when useServerNumber) is
// prepared, newFull->number becomes that number and AA_NEW is returned with
// the store lock held (also when this call took it); the caller must insert
// and finish, or abandon. With useServerNumber and serverNumber not above
// high: E_NUMBER_NOT_GREATER. Without newFull: E_TREE_NOT_FOUND.
[[nodiscard]] int ArticlesAddRef(tArticles *articles, bool lockHeld, const char *msgId, tArticleData *newFull,
                                 long serverId, long serverNumber, bool useServerNumber, tLog *log);

// Inserts the prepared new article with the description adt (numbered and
// with the Message-ID of the prepared article: checked). Computes dateSecs
// when not positive ("Unrecognized Date, current time assumed: %s\r\n" and
// the current time when the Date is not recognised). REQUIRES: the store lock
// held (after AA_NEW).
[[nodiscard]] tDiag ArticlesInsertNew(tArticles *articles, tArticleData *adt);

// Free the prepared article; with unlock release the store lock taken by
// ArticlesAddRef.
void ArticlesFinishNew(tArticles *articles, bool unlock);
void ArticlesAbandonNew(tArticles *articles, bool unlock);

// Writes a dirty article back: deletes it when it has no references, or is a
// zombie and zombieDays is 0 or its stamp is older than zombieDays days
// (except the row numbered high, which is updated instead); stamps a fresh
// zombie with the current time; else updates servRefs and flags. Clears
// dirty on success. REQUIRES: the store lock held.
[[nodiscard]] tDiag ArticlesSaveArticle(tArticles *articles, tArticle *a);

// Sets the retrieved flag of the row numbered number. Takes the store lock.
[[nodiscard]] tDiag ArticlesMarkRetrieved(tArticles *articles, long number);

// Removes the references of serverId (only the one numbered serverNumber
// when that is not negative): from one article (number > 0 and msgId given;
// found by number, else by Message-ID) or from every row. Articles losing
// their last reference become zombies (keepZombie) or deleted, and count in
// *emptied. Takes the store lock. Returns the number of references removed,
// or a negative tDiag.
[[nodiscard]] long ArticlesRemoveServerRefs(tArticles *articles, long number, const char *msgId, long serverId,
                                            long serverNumber, int *emptied, bool keepZombie);

// The whole of a group's references to serverId removed, for the newsrc
// sweep (a tRemoveServerRefsFn): opens the group's index without creating
// it, removes the server's references from every row and releases the index
// synced. *removed and *emptied take the counts, *opened whether the index
// could be opened. E_OK, E_NO_INDEX (no index: nothing to do) or a failure.
[[nodiscard]] tDiag ArticlesRemoveServerRefsOfGroup(tIndices *indices, const char *group, long serverId,
                                                    int keepZombie, long *removed, long *emptied, bool *opened);

// Walks every row (restricted by extraCondition, or null) removing the
// references for which predicate is true and saving the changed articles.
// Takes the store lock. Returns the number removed, or a negative tDiag.
[[nodiscard]] long ArticlesForEachRemoveIf(tArticles *articles, tServRefPredicate predicate, void *context,
                                           int *emptied, bool keepZombie, const char *extraCondition);

// Gives the article in full (number at most high: checked) the number
// high + 1, with the renumbered flag when logIt (then "Renumbered %s into
// </mg%ld/%s.\n" goes to log). E_ARTICLE_NOT_FOUND when the row is gone.
// REQUIRES: the store lock held.
[[nodiscard]] tDiag ArticlesRenumber(tArticles *articles, tLog *log, bool logIt, tArticleFull *full);

// ---------------------------------------------------------------------------
// Adding overview data (exploration)

// The counters of one exploration of one group.
struct tAddCounters {
    int bad;
    int tooOld;
    int newArticles;  // "new"
    int reget;
    int alreadyDeleted;
    int phoenix;
    int dup;
    int filteredOut;
    int hidden;
    tXrefStats xref;  // missing, corrupted, mismatches, aliases, self
    int xrefNew;
    int notActive;
    int hadAlready;
    int indexErrors;
    int additionErrors;
    int articleDataErrors;
};

// Counts one outcome: 0..5 their counters, E_DATE_TOO_OLD tooOld,
// E_FILTERED_OUT filteredOut, any other negative bad. Above 5: Panic.
void CountOutcome(tAddCounters *counters, int result);

// Where filters plug in. filterArticle decides over a new article before it
// is stored: 0 keep, AA_HIDDEN keep hidden (it sets ART_HIDDEN and dirty on
// full->a and records the Message-ID in the hidden list when configured),
// E_FILTERED_OUT (or another negative result) drop. A null hook filters
// nothing.
struct tArticleHooks {
    int (*filterArticle)(void *set, tArticles *articles, tArticleFull *full);
    void *set;
};

// What AddOverviewLine needs of the exploration of one group on one server.
struct tOverviewAdd {
    tLog *log = nullptr;            // the server connection's log
    long serverId = 0;
    bool truncAfterMsgId = false;   // the server's settings
    bool allowNotGreater = false;
    bool useXrefs = true;
    int daysTooOld = 0;             // the server's age limit; 0: the global one
    tArticles *articles = nullptr;  // the group's open index
    tNumbers *seen = nullptr;       // server numbers seen (not to be asked again)
    tAddCounters *counters = nullptr;
    tOverviewFixes *fixes = nullptr;
    tIndices *indices = nullptr;    // for the groups of the Xref
    const tArticleHooks *filters = nullptr;  // null: no filtering
};

// Parses one overview line and merges it into the group's index: a known
// Message-ID gains this server's reference, a new one is filtered, stored
// and added to the other active groups of its Xref (when useXrefs is on
// globally and for the server). Each outcome is counted; the server number
// joins the seen set after every non-negative outcome and after
// E_DATE_TOO_OLD and E_FILTERED_OUT. Returns the outcome or a negative tDiag
// (which affects this line only). Takes and releases the store locks itself.
[[nodiscard]] int AddOverviewLine(tOverviewAdd *context, const char *line, long *previousNumber,
                                  bool useServerNumber, tRange expectedRange);

// One line of an XHDR/XPAT Message-ID listing from server serverId: the
// number is checked as in an overview line, then the pair becomes a
// reference of the article with that Message-ID (no new article is made).
// Returns 0 for a Message-ID the index does not hold, an ArticlesAddRef
// outcome (AA_REGET .. AA_DUP), or a negative tDiag of the line or of the
// store. Takes and releases the store lock itself.
[[nodiscard]] int ParseXhdrMsgIdLine(tArticles *articles, const char *line, long serverId, long *previousNumber,
                                     tLog *log, tRange expectedRange, bool allowNotGreater);

// Adds the new article in full (already stored in the context's group, with
// its local number there) to every group of its cross-references that has
// an index, counting into the context's counters. Holds no store lock on
// entry and takes one at a time.
void AddXrefs(tOverviewAdd *context, tArticleFull *full, long serverNumber);

// Stores a placeholder article so that readers of a newly activated group do
// not see it empty while its first exploration runs: "<0>" numbered high + 1
// (second false) or "<1>" numbered 1000 (second true; nothing when high is
// already 1000 or more). Deleted locally unless second and fakes are on.
// REQUIRES: the store lock held.
[[nodiscard]] tDiag AddDownloadPlaceholder(tArticles *articles, tLog *log, bool second);
