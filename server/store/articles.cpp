#include "server/store/articles.h"

#include "lib/crc32.h"
#include "lib/panic.h"
#include "lib/sendlog.h"
#include "lib/shutdown.h"
#include "server/settings/settings.h"
#include "server/store/store_deps.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>

const char *const ARTICLES_SCHEMA =
    "CREATE TABLE articles (number INTEGER PRIMARY KEY,subject TEXT,fromWho TEXT,dateString TEXT,msgId TEXT,"
    "hash INTEGER,refs TEXT,bytes INTEGER,lines INTEGER,xrefs TEXT,servRefs TEXT,flags INTEGER,"
    "dateSecs INTEGER);CREATE INDEX byHash ON articles (hash);";

// The columns of a row read back as a description.
#define ARTICLE_COLUMNS "number,subject,fromWho,dateString,msgId,refs,bytes,lines,xrefs,servrefs,flags,dateSecs"

// The text form of references never exceeds this (as in every writer).
constexpr size_t SERVREFS_TEXT_SIZE = 1024;

// ---------------------------------------------------------------------------
// Settings

tArticlesSettings articlesSettings = {&zombieDays,          &fakes,
                                      &useXrefs,            &daysTooOld,
                                      &xrefLogAddedArticle, &xrefLogGroupNotActive,
                                      &xrefLogHadArticle,   &verbose};

static bool Verbose() { return *articlesSettings.verbose != 0; }

// ---------------------------------------------------------------------------
// Articles in memory

tArticle *ArticleAlloc(const char *msgId, size_t length) {
    tArticle *a = (tArticle *)malloc(sizeof(tArticle) + length + 1);
    if (!a) return nullptr;
    a->refs.server = -1;
    a->refs.number = 0;
    a->refs.second = 0;
    a->refs.more = 0;
    a->number = 0;
    a->flags = 0;
    a->msgId = (char *)(a + 1);
    memcpy(a->msgId, msgId, length);
    a->msgId[length] = '\0';
    return a;
}

void ArticleFree(tArticle *a) {
    if (!a) return;
    ServRefsClear(&a->refs);
    free(a);
}

void ArticleFullFree(tArticleFull *full) {
    ArticleFree(full->a);
    full->a = nullptr;
    ArticleDataFree(&full->adt);
}

static unsigned long MsgIdHash(const char *msgId) { return (unsigned long)Crc32String(msgId); }

// ---------------------------------------------------------------------------
// Statements

static const char *const statementTexts[AST_COUNT_] = {
    "SELECT number,servRefs FROM articles WHERE hash=?1 AND msgId=?2;",
    "INSERT INTO articles VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13);",
    "UPDATE articles SET servRefs=?1 WHERE number=?2;",
    "UPDATE articles SET servRefs=?1,flags=?2 WHERE number=?3;",
    "DELETE from articles WHERE number=?1;",
    "SELECT " ARTICLE_COLUMNS " FROM articles WHERE number=?1;",
    "SELECT " ARTICLE_COLUMNS " FROM articles WHERE hash=?1 AND msgId=?2;",
    "UPDATE articles SET flags=(flags|?1) WHERE number=?2;",
};

// The prepared statement `which`, reset and unbound. Null after a prepare
// failure (logged by the database layer).
static sqlite3_stmt *Statement(tArticles *articles, int which) {
    sqlite3_stmt *&st = articles->statements[which];
    if (!st && DbPrepare(&articles->db, statementTexts[which], &st) != E_OK) return nullptr;
    return st;
}

static void FinalizeStatements(tArticles *articles) {
    for (sqlite3_stmt *&st : articles->statements) {
        if (st) (void)DbFinalize(&articles->db, st);
        st = nullptr;
    }
}

static tDiag BeginIfNeeded(tArticles *articles) {
    if (articles->inTransaction) return E_OK;
    tDiag diag = DbExec(&articles->db, "BEGIN;");
    if (diag == E_OK) articles->inTransaction = true;
    return diag;
}

// Runs a bound change statement to its end. On failure the statement is
// logged as its text form (textFormat with the same values, SQLite's %Q
// quoting), in the words of the database layer.
static tDiag StepChange(tArticles *articles, sqlite3_stmt *st, const char *textFormat, ...) {
    tDiag diag = BeginIfNeeded(articles);
    if (diag != E_OK) return diag;
    int rc = sqlite3_step(st);
    if (rc == SQLITE_DONE) {
        sqlite3_reset(st);
        return E_OK;
    }
    sqlite3_reset(st);
    va_list args;
    va_start(args, textFormat);
    char *sql = sqlite3_vmprintf(textFormat, args);
    va_end(args);
    LogMessage(articles->db.log, "Execution of '%.1000s' in %s failed: %.1000s\n", sql ? sql : textFormat,
               articles->db.name, sqlite3_errmsg(articles->db.db));
    sqlite3_free(sql);
    return E_SQL_FAILED;
}

// Reports a read statement whose step failed, as the finalize of a
// one-time statement would.
static tDiag ReadFailed(tArticles *articles, int rc) {
    LogMessage(articles->db.log, "Cannot finalize request on %s: %s (%d)\n", articles->db.name,
               sqlite3_errmsg(articles->db.db), rc);
    return E_SQL_FAILED;
}

static tDiag DeleteRow(tArticles *articles, long number) {
    sqlite3_stmt *st = Statement(articles, AST_DELETE);
    if (!st) return E_SQL_FAILED;
    sqlite3_bind_int64(st, 1, number);
    tDiag diag = StepChange(articles, st, "DELETE from articles WHERE number=%ld;", number);
    if (diag == E_OK && sqlite3_changes(articles->db.db) > 0) articles->count--;
    return diag;
}

// ---------------------------------------------------------------------------
// Opening, closing, the cache's operations

static tArticles *Articles(tIndexEntry *entry) { return static_cast<tArticles *>(entry); }

static tIndexEntry *StoreAllocate() { return new (std::nothrow) tArticles(); }

static void StoreFree(tIndexEntry *entry, tLog *log) {
    tArticles *articles = Articles(entry);
    if (Verbose()) LogMessage(log, "Freeing %s\n", entry->name.c_str());
    ArticleFree(articles->newArticle);
    articles->newArticle = nullptr;
    FinalizeStatements(articles);
    DbClose(&articles->db);
    if (entry->flags & INDEX_DELETE_ON_FREE) {
        std::string path;
        if (IndexPath(entry->name.c_str(), &path) == E_OK) (void)DbDelete(path.c_str(), false);
    }
    delete articles;
}

static tDiag StoreSync(tIndexEntry *entry) { return ArticlesSync(Articles(entry)); }
static bool StoreModified(tIndexEntry *entry) { return ArticlesModified(Articles(entry)); }
static bool StoreInTransaction(tIndexEntry *entry) { return Articles(entry)->inTransaction; }

static void StoreRange(tIndexEntry *entry, long *low, long *high, long *count) {
    tArticles *articles = Articles(entry);
    std::lock_guard<std::mutex> guard(articles->lock);
    *low = articles->range.low;
    *high = articles->range.high;
    *count = articles->count;
}

const tIndexStoreOps articlesStoreOps = {StoreAllocate,      StoreFree,  StoreSync, StoreModified,
                                         StoreInTransaction, StoreRange};

static bool FileExists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

tDiag ArticlesReadRange(tDb *db, tRange *range, long *count, bool forListing) {
    long low = 0, high = 0, rows = 0;
    tDiag diag = DbSelectInt(db, "articles", "min(number)", &low);
    if (diag == E_OK) diag = DbSelectInt(db, "articles", "max(number)", &high);
    if (diag == E_OK) diag = DbCount(db, "articles", &rows);
    if (diag != E_OK) return diag;
    if (rows == 0 || (low == 0 && high == 0)) {
        range->low = forListing ? 1000 : 1;
        range->high = forListing ? 1000 : 0;
        *count = forListing ? 1000 : 0;
        return E_OK;
    }
    range->low = (int32_t)low;
    range->high = (int32_t)high;
    *count = rows;
    return E_OK;
}

// Loads an entry this caller holds the load of. On failure the entry is
// marked failed and released.
static tDiag Load(tArticles *articles, const std::string &path, tLog *log) {
    tIndices *indices = articles->indices;
    bool existed = FileExists(path);
    tDiag diag;
    {
        std::lock_guard<std::mutex> guard(articles->lock);
        diag = DbOpen(&articles->db, path.c_str(), indices->log, ARTICLES_SCHEMA);
        if (diag != E_OK) {
            if (existed) LogMessage(log, "Could not open %s but it exists. Refusing access to group.\n", path.c_str());
        } else {
            articles->inTransaction = true;
            // A page cache that holds the Message-ID index of a large group
            // keeps merging at the same speed as the group grows.
            (void)DbExec(&articles->db, "PRAGMA cache_size=-8192;");
            diag = ArticlesReadRange(&articles->db, &articles->range, &articles->count, false);
            if (diag != E_OK) {
                LogMessage(log, "Could not obtain first/last/count info about %s. Refusing access to group.\n",
                           path.c_str());
                (void)DbCommitClose(&articles->db);
                articles->inTransaction = false;
            } else {
                MG_ASSERT(articles->count <= RangeCount(&articles->range));
            }
        }
    }
    if (diag != E_OK) {
        SetLoadState(articles, true, false);
        IndicesRelease(articles, 1);
        return diag;
    }
    SetLoadState(articles, false, true);
    return E_OK;
}

tDiag ArticlesOpen(tIndices *indices, const char *group, tLog *log, bool create, tArticles **articles,
                   int watchSocket) {
    *articles = nullptr;
    if (!group || !*group) return E_NULL_GROUP_NAME;
    std::string path;
    tDiag diag = IndexPath(group, &path);
    if (diag != E_OK) return diag;
    tIndexEntry *entry = nullptr;
    int found = IndicesLookup(indices, group, &entry, watchSocket);
    if (found < 0) return found;
    if (found == 2) {
        *articles = Articles(entry);
        return E_OK;
    }
    if (found == 0) {
        if (!create && !FileExists(path)) {
            IndicesUnlock(indices);
            return E_NO_INDEX;
        }
        diag = IndicesAddEntry(indices, group, &entry);
        IndicesUnlock(indices);
        if (diag != E_OK) return diag;
    } else if (!create && !FileExists(path)) {
        // Handed the load of an entry whose group has no index: pass the
        // load on to the next waiter and leave.
        SetLoadState(entry, false, false);
        IndicesRelease(entry, 1);
        return E_NO_INDEX;
    }
    diag = Load(Articles(entry), path, log);
    if (diag != E_OK) return diag;
    *articles = Articles(entry);
    return E_OK;
}

void ArticlesGetRange(tArticles *articles, tRange *range, long *count) {
    *range = articles->range;
    *count = articles->count;
}

long ArticlesCount(tArticles *articles) { return articles->count; }

const char *ArticlesName(const tArticles *articles) { return articles->name.c_str(); }

void ArticlesLock(tArticles *articles) { articles->lock.lock(); }

void ArticlesUnlock(tArticles *articles) { articles->lock.unlock(); }

bool ArticlesModified(tArticles *articles) { return articles->rewriteRequested || articles->inTransaction; }

void ArticlesRequestRewrite(tArticles *articles) { articles->rewriteRequested = true; }

void ArticlesSetDeleteOnFree(tArticles *articles, bool on) { IndicesSetDeleteOnFree(articles, on); }

tDiag ArticlesSync(tArticles *articles) {
    std::lock_guard<std::mutex> guard(articles->lock);
    if (!articles->db.db) return E_OK;
    tDiag diag = E_OK;
    if (articles->rewriteRequested) {
        diag = BeginIfNeeded(articles);
        if (diag == E_OK) {
            articles->rewriteRequested = false;
            tArticleFull full{};
            tDiag walk = ArticlesIterStart(&full, articles, 0, 1, " AND servRefs LIKE '% 0:%'");
            while (walk == E_OK) {
                if (full.a->refs.server == 0) full.a->flags |= ART_DIRTY;
                walk = ArticlesIterNext(&full);
            }
            ArticlesIterEnd(&full);
            diag = DbCommit(&articles->db);
            if (diag == E_OK) {
                articles->inTransaction = false;
                diag = DbExec(&articles->db, "VACUUM;");
            }
        }
    }
    if (articles->inTransaction) {
        tDiag committed = DbCommit(&articles->db);
        if (committed == E_OK) articles->inTransaction = false;
        if (diag == E_OK) diag = committed;
    }
    return diag;
}

// ---------------------------------------------------------------------------
// Reading

static const char *ColumnText(sqlite3_stmt *st, int column) {
    return (const char *)sqlite3_column_text(st, column);
}

// Steps st until a row that is not garbage, and reads it into full (which
// must own nothing). E_ARTICLE_NOT_FOUND when the rows run out.
static tDiag ReadRow(tArticles *articles, sqlite3_stmt *st, tArticleFull *full) {
    full->articles = articles;
    for (;;) {
        int rc = sqlite3_step(st);
        if (rc == SQLITE_DONE) return E_ARTICLE_NOT_FOUND;
        if (rc != SQLITE_ROW) return ReadFailed(articles, rc);
        long number = (long)sqlite3_column_int64(st, 0);
        const char *servRefs = ColumnText(st, 9);
        if ((!servRefs || !*servRefs) && number < articles->range.high) {
            tDiag diag = DeleteRow(articles, number);
            if (diag != E_OK) return diag;
            continue;
        }
        const char *msgId = ColumnText(st, 4);
        if (!msgId) msgId = "";
        tArticle *a = ArticleAlloc(msgId, strlen(msgId));
        if (!a) return E_OUT_OF_MEMORY;
        a->number = number;
        a->flags = sqlite3_column_int(st, 10) & ART_STORED_FLAGS;
        // References that do not parse read as none: the article cannot be
        // fetched, and nothing else is lost.
        (void)ServRefsParse(&a->refs, servRefs ? servRefs : "", nullptr);
        tDiag diag = ArticleDataInit(&full->adt, number, ColumnText(st, 1), ColumnText(st, 2), ColumnText(st, 3),
                                     msgId, ColumnText(st, 5), (long)sqlite3_column_int64(st, 6),
                                     (long)sqlite3_column_int64(st, 7), (long)sqlite3_column_int64(st, 11));
        if (diag != E_OK) {
            ArticleFree(a);
            return diag;
        }
        full->a = a;
        return E_OK;
    }
}

// Prepares sql (owned by sqlite3_mprintf, freed here) and reads its first row.
static tDiag FindOne(tArticles *articles, char *sql, tArticleFull *full) {
    if (!sql) return E_OUT_OF_MEMORY;
    sqlite3_stmt *st;
    tDiag diag = DbPrepare(&articles->db, sql, &st);
    sqlite3_free(sql);
    if (diag != E_OK) return diag;
    diag = ReadRow(articles, st, full);
    tDiag fin = DbFinalize(&articles->db, st);
    if (diag == E_OK && fin != E_OK) {
        ArticleFullFree(full);
        diag = fin;
    }
    return diag;
}

// Reads the first row of the kept statement st (bound by the caller) and
// leaves it reset: a reader's lookups cost no SQL compilation.
static tDiag FindKept(tArticles *articles, sqlite3_stmt *st, tArticleFull *full) {
    tDiag diag = ReadRow(articles, st, full);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    return diag;
}

tDiag ArticlesFind(tArticles *articles, long number, int direction, tArticleFull *full, const char *extraCondition) {
    if (direction == 0 && !extraCondition) {
        sqlite3_stmt *st = Statement(articles, AST_FIND_NUMBER);
        if (!st) return E_SQL_FAILED;
        sqlite3_bind_int64(st, 1, number);
        return FindKept(articles, st, full);
    }
    const char *op = direction == 0 ? "=" : direction < 0 ? "<=" : ">=";
    const char *order = direction == 0 ? "" : direction < 0 ? " ORDER BY number DESC" : " ORDER BY number";
    char *sql = sqlite3_mprintf("SELECT " ARTICLE_COLUMNS " FROM articles WHERE number%s%ld%s%s;", op, number,
                                extraCondition ? extraCondition : "", order);
    return FindOne(articles, sql, full);
}

tDiag ArticlesFindByMsgId(tArticles *articles, const char *msgId, tArticleFull *full) {
    sqlite3_stmt *st = Statement(articles, AST_FIND_MSGID);
    if (!st) return E_SQL_FAILED;
    sqlite3_bind_int64(st, 1, (sqlite3_int64)MsgIdHash(msgId));
    sqlite3_bind_text(st, 2, msgId, -1, SQLITE_STATIC);
    return FindKept(articles, st, full);
}

tDiag ArticlesFindByNumberAndMsgId(tArticleFull *full, long number, const char *msgId) {
    tArticles *articles = full->articles;
    tDiag diag = ArticlesFind(articles, number, 0, full);
    if (diag == E_OK) {
        if (strcmp(full->a->msgId, msgId) == 0) return E_OK;
        ArticleFullFree(full);
        return E_ARTICLE_NOT_FOUND;
    }
    if (diag != E_ARTICLE_NOT_FOUND) return diag;
    return ArticlesFindByMsgId(articles, msgId, full);
}

// Writes back and frees the current article of a walk.
static tDiag LeaveCurrent(tArticleFull *full) {
    tDiag diag = E_OK;
    if (full->a && (full->a->flags & ART_DIRTY)) diag = ArticlesSaveArticle(full->articles, full->a);
    ArticleFullFree(full);
    return diag;
}

tDiag ArticlesIterStart(tArticleFull *full, tArticles *articles, long fromNumber, int direction,
                        const char *extraCondition) {
    full->articles = articles;
    full->a = nullptr;
    full->statement = nullptr;
    char *sql = sqlite3_mprintf("SELECT " ARTICLE_COLUMNS " FROM articles WHERE number%s%ld%s%s;",
                                direction > 0 ? ">=" : "<=", fromNumber, extraCondition ? extraCondition : "",
                                direction > 0 ? " ORDER BY number" : " ORDER BY number DESC");
    if (!sql) return E_OUT_OF_MEMORY;
    tDiag diag = DbPrepare(&articles->db, sql, &full->statement);
    sqlite3_free(sql);
    if (diag != E_OK) return diag;
    diag = ReadRow(articles, full->statement, full);
    if (diag != E_OK) ArticlesIterEnd(full);
    return diag;
}

tDiag ArticlesIterNext(tArticleFull *full) {
    if (!full->statement) return E_ARTICLE_NOT_FOUND;
    tDiag diag = LeaveCurrent(full);
    if (diag == E_OK) diag = ReadRow(full->articles, full->statement, full);
    if (diag != E_OK) ArticlesIterEnd(full);
    return diag;
}

void ArticlesIterEnd(tArticleFull *full) {
    (void)LeaveCurrent(full);
    if (full->statement) (void)DbFinalize(&full->articles->db, full->statement);
    full->statement = nullptr;
}

// Collects listing lines and writes them in pieces.
namespace {
struct tListBuffer {
    tListWrite write;
    void *output;
    size_t used = 0;
    char data[8192];

    tListBuffer(tListWrite w, void *o) : write(w), output(o) {}

    bool Flush() {
        if (used == 0) return true;
        bool ok = write(output, data, used) >= 0;
        used = 0;
        return ok;
    }
    bool Add(const char *text, size_t length) {
        if (used + length > sizeof data && !Flush()) return false;
        memcpy(data + used, text, length);
        used += length;
        return true;
    }
};
}  // namespace

tDiag ArticlesListNumbersTo(tArticles *articles, const tRange *range, tListWrite write, void *output) {
    std::lock_guard<std::mutex> guard(articles->lock);
    char *sql = range ? sqlite3_mprintf("SELECT number,lines from articles WHERE number>=%ld AND number<=%ld AND "
                                        "NOT servrefs='' AND NOT (flags & %d);",
                                        (long)range->low, (long)range->high, ART_HIDDEN)
                      : sqlite3_mprintf("SELECT number from articles WHERE NOT servrefs='' AND NOT (flags & %d);",
                                        ART_HIDDEN);
    if (!sql) return E_OUT_OF_MEMORY;
    sqlite3_stmt *st;
    tDiag diag = DbPrepare(&articles->db, sql, &st);
    sqlite3_free(sql);
    if (diag != E_OK) return diag;
    tListBuffer buffer(write, output);
    int rows = 0;
    for (;;) {
        int rc = sqlite3_step(st);
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) {
            diag = ReadFailed(articles, rc);
            break;
        }
        // The shutdown check costs a little: look every few hundred rows.
        if ((++rows & 255) == 0 && ShutdownRequested()) {
            diag = E_SHUTDOWN;
            break;
        }
        char line[48];
        int n = range ? snprintf(line, sizeof line, "%lld\t%lld\r\n", (long long)sqlite3_column_int64(st, 0),
                                 (long long)sqlite3_column_int64(st, 1))
                      : snprintf(line, sizeof line, "%lld\r\n", (long long)sqlite3_column_int64(st, 0));
        if (!buffer.Add(line, (size_t)n)) {
            diag = E_CLIENT_DISCONNECTED;
            break;
        }
    }
    sqlite3_finalize(st);
    if (diag == E_OK && !buffer.Flush()) diag = E_CLIENT_DISCONNECTED;
    if (diag == E_OK && ShutdownRequested()) diag = E_SHUTDOWN;
    return diag;
}

static int SendPiece(void *socket, const char *text, size_t length) {
    // SendAndLog sends a NUL-terminated text; the pieces are built here.
    std::string piece(text, length);
    return SendAndLog((int)(intptr_t)socket, piece.c_str(), nullptr) < 0 ? -1 : 0;
}

tDiag ArticlesListNumbers(tArticles *articles, const tRange *range, int socket) {
    tDiag diag = ArticlesListNumbersTo(articles, range, SendPiece, (void *)(intptr_t)socket);
    if (diag == E_CLIENT_DISCONNECTED || diag == E_SHUTDOWN) shutdown(socket, SHUT_RDWR);
    return diag;
}

// ---------------------------------------------------------------------------
// Changing

tDiag ArticlesExec(tArticles *articles, const char *sql) {
    tDiag diag = BeginIfNeeded(articles);
    if (diag == E_OK) diag = DbExec(&articles->db, sql);
    return diag;
}

int ArticlesAddRef(tArticles *articles, bool lockHeld, const char *msgId, tArticleData *newFull, long serverId,
                   long serverNumber, bool useServerNumber, tLog *log) {
    if (!lockHeld) articles->lock.lock();
    int result;
    sqlite3_stmt *st = Statement(articles, AST_LOOKUP);
    unsigned long hash = MsgIdHash(msgId);
    size_t msgIdLength = strlen(msgId);
    if (!st) {
        result = E_SQL_FAILED;
    } else {
        sqlite3_bind_int64(st, 1, (sqlite3_int64)hash);
        sqlite3_bind_text(st, 2, msgId, (int)msgIdLength, SQLITE_STATIC);
        int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) {
            long number = (long)sqlite3_column_int64(st, 0);
            const char *text = ColumnText(st, 1);
            tServRefs refs;
            (void)ServRefsParse(&refs, text ? text : "", nullptr);
            sqlite3_reset(st);
            long otherNumber = -1;
            result = ServRefsAdd(&refs, serverId, serverNumber, &otherNumber);
            if (result == AA_DUP && otherNumber != -1)
                LogMessage(log,
                           "Warning: article %ld has same Message-ID %s as article %ld (%ld in Mergator). "
                           "Considering it as same.\n",
                           serverNumber, msgId, otherNumber, number);
            if (result == AA_PHOENIX || result == AA_DUP) {
                char buffer[SERVREFS_TEXT_SIZE];
                tDiag diag = ServRefsFormat(&refs, buffer, sizeof buffer);
                sqlite3_stmt *update = diag == E_OK ? Statement(articles, AST_SET_REFS) : nullptr;
                if (diag == E_OK && !update) diag = E_SQL_FAILED;
                if (diag == E_OK) {
                    sqlite3_bind_text(update, 1, buffer, -1, SQLITE_STATIC);
                    sqlite3_bind_int64(update, 2, number);
                    diag = StepChange(articles, update, "UPDATE articles SET servRefs='%s' WHERE number=%ld;",
                                      buffer, number);
                }
                if (diag != E_OK) result = diag;
            }
            ServRefsClear(&refs);
        } else if (rc != SQLITE_DONE) {
            sqlite3_reset(st);
            result = ReadFailed(articles, rc);
        } else {
            sqlite3_reset(st);
            if (!newFull) {
                result = E_TREE_NOT_FOUND;
            } else if (useServerNumber && serverNumber <= articles->range.high) {
                result = E_NUMBER_NOT_GREATER;
            } else if (!useServerNumber && articles->range.high >= INT32_MAX) {
                result = E_NUMBER_OUT_OF_RANGE;
            } else {
                MG_ASSERT(!articles->newArticle);
                tArticle *a = ArticleAlloc(msgId, msgIdLength);
                if (!a) {
                    result = E_OUT_OF_MEMORY;
                } else {
                    a->refs.server = serverId;
                    a->refs.number = serverNumber;
                    a->flags = ART_DIRTY;
                    a->number = useServerNumber ? serverNumber : (long)articles->range.high + 1;
                    newFull->number = a->number;
                    articles->newArticle = a;
                    return AA_NEW;  // the store lock stays held
                }
            }
        }
    }
    if (!lockHeld) articles->lock.unlock();
    return result;
}

tDiag ArticlesInsertNew(tArticles *articles, tArticleData *adt) {
    tArticle *a = articles->newArticle;
    MG_ASSERT(a);
    MG_ASSERT(a->number == adt->number);
    MG_ASSERT(!strcmp(a->msgId, ArticleDataMsgId(adt)));
    MG_ASSERT(articles->range.high < adt->number);
    if (adt->dateSecs <= 0) {
        time_t t = StoreParseDate(ArticleDataDate(adt));
        if (t <= 0) {
            LogMessage(articles->db.log, "Unrecognized Date, current time assumed: %s\r\n", ArticleDataDate(adt));
            t = time(nullptr);
        }
        adt->dateSecs = (long)t;
    }
    if (adt->bytes < 0 || adt->lines < 0) ArticleDataGuessSizes(adt);
    char refs[SERVREFS_TEXT_SIZE];
    tDiag diag = ServRefsFormat(&a->refs, refs, sizeof refs);
    if (diag != E_OK) return diag;
    sqlite3_stmt *st = Statement(articles, AST_INSERT);
    if (!st) return E_SQL_FAILED;
    unsigned long hash = MsgIdHash(a->msgId);
    int flags = a->flags & ART_STORED_FLAGS;
    sqlite3_bind_int64(st, 1, a->number);
    sqlite3_bind_text(st, 2, ArticleDataSubject(adt), -1, SQLITE_STATIC);
    sqlite3_bind_text(st, 3, ArticleDataFrom(adt), -1, SQLITE_STATIC);
    sqlite3_bind_text(st, 4, ArticleDataDate(adt), -1, SQLITE_STATIC);
    sqlite3_bind_text(st, 5, a->msgId, -1, SQLITE_STATIC);
    sqlite3_bind_int64(st, 6, (sqlite3_int64)hash);
    sqlite3_bind_text(st, 7, ArticleDataRefs(adt), -1, SQLITE_STATIC);
    sqlite3_bind_int64(st, 8, adt->bytes);
    sqlite3_bind_int64(st, 9, adt->lines);
    sqlite3_bind_text(st, 10, "", 0, SQLITE_STATIC);
    sqlite3_bind_text(st, 11, refs, -1, SQLITE_STATIC);
    sqlite3_bind_int64(st, 12, flags);
    sqlite3_bind_int64(st, 13, adt->dateSecs);
    diag = StepChange(articles, st, "INSERT INTO articles VALUES(%ld,%Q,%Q,%Q,%Q,%lu,%Q,%ld,%ld,%Q,%Q,%ld,%ld);",
                      a->number, ArticleDataSubject(adt), ArticleDataFrom(adt), ArticleDataDate(adt), a->msgId, hash,
                      ArticleDataRefs(adt), adt->bytes, adt->lines, "", refs, (long)flags, adt->dateSecs);
    sqlite3_clear_bindings(st);
    if (diag != E_OK) return diag;
    if (articles->count == 0) articles->range.low = (int32_t)a->number;
    articles->count++;
    articles->range.high = (int32_t)a->number;
    a->flags &= ~ART_DIRTY;
    MG_ASSERT(articles->count <= RangeCount(&articles->range));
    return E_OK;
}

void ArticlesFinishNew(tArticles *articles, bool unlock) {
    ArticleFree(articles->newArticle);
    articles->newArticle = nullptr;
    if (unlock) articles->lock.unlock();
}

void ArticlesAbandonNew(tArticles *articles, bool unlock) { ArticlesFinishNew(articles, unlock); }

tDiag ArticlesSaveArticle(tArticles *articles, tArticle *a) {
    if (!(a->flags & ART_DIRTY)) return E_OK;
    time_t now = time(nullptr);
    long zombieDays = *articlesSettings.zombieDays;
    bool zombie = a->refs.server == 0;
    bool expired = zombie && (zombieDays <= 0 || (a->refs.number != 0 && a->refs.number < now - zombieDays * 86400L));
    if ((a->refs.server == -1 || expired) && a->number != articles->range.high) {
        tDiag diag = DeleteRow(articles, a->number);
        if (diag == E_OK) a->flags &= ~ART_DIRTY;
        return diag;
    }
    if (zombie && a->refs.number == 0) a->refs.number = (long)now;
    char refs[SERVREFS_TEXT_SIZE];
    if (ServRefsFormat(&a->refs, refs, sizeof refs) != E_OK) {
        LogMessage(articles->db.log, "Could not format servRefs for article %ld in %s\n", a->number,
                   articles->db.name);
        return E_BUFFER_TOO_SMALL;
    }
    sqlite3_stmt *st = Statement(articles, AST_SAVE);
    if (!st) return E_SQL_FAILED;
    long flags = a->flags & ART_STORED_FLAGS;
    sqlite3_bind_text(st, 1, refs, -1, SQLITE_STATIC);
    sqlite3_bind_int64(st, 2, flags);
    sqlite3_bind_int64(st, 3, a->number);
    tDiag diag = StepChange(articles, st, "UPDATE articles SET servRefs='%s',flags=%ld WHERE number=%ld;", refs,
                            flags, a->number);
    if (diag == E_OK) a->flags &= ~ART_DIRTY;
    return diag;
}

tDiag ArticlesMarkRetrieved(tArticles *articles, long number) {
    std::lock_guard<std::mutex> guard(articles->lock);
    sqlite3_stmt *st = Statement(articles, AST_MARK_RETRIEVED);
    if (!st) return E_SQL_FAILED;
    sqlite3_bind_int64(st, 1, ART_RETRIEVED);
    sqlite3_bind_int64(st, 2, number);
    return StepChange(articles, st, "UPDATE articles SET flags=(flags|%d) WHERE number=%ld;", ART_RETRIEVED, number);
}

namespace {
struct tServerMatch {
    long server;
    long number;  // negative: any
};
}  // namespace

static bool MatchServer(void *context, long server, long number) {
    const tServerMatch *m = (const tServerMatch *)context;
    return server == m->server && (m->number < 0 || number == m->number);
}

// The walk behind ArticlesForEachRemoveIf. REQUIRES: the store lock held.
static long RemoveIfLocked(tArticles *articles, tServRefPredicate predicate, void *context, int *emptied,
                           bool keepZombie, const char *extraCondition) {
    long removed = 0;
    tArticleFull full{};
    tDiag diag = ArticlesIterStart(&full, articles, 0, 1, extraCondition);
    while (diag == E_OK) {
        int n = ServRefsRemoveIf(&full.a->refs, predicate, context, emptied, keepZombie);
        if (n > 0) {
            full.a->flags |= ART_DIRTY;
            removed += n;
        }
        diag = ArticlesIterNext(&full);
    }
    ArticlesIterEnd(&full);
    return diag == E_ARTICLE_NOT_FOUND ? removed : diag;
}

long ArticlesForEachRemoveIf(tArticles *articles, tServRefPredicate predicate, void *context, int *emptied,
                             bool keepZombie, const char *extraCondition) {
    std::lock_guard<std::mutex> guard(articles->lock);
    return RemoveIfLocked(articles, predicate, context, emptied, keepZombie, extraCondition);
}

long ArticlesRemoveServerRefs(tArticles *articles, long number, const char *msgId, long serverId, long serverNumber,
                              int *emptied, bool keepZombie) {
    tServerMatch match{serverId, serverNumber};
    std::lock_guard<std::mutex> guard(articles->lock);
    if (number > 0 && msgId) {
        tArticleFull full{};
        full.articles = articles;
        tDiag diag = ArticlesFindByNumberAndMsgId(&full, number, msgId);
        if (diag != E_OK) return diag;
        long removed = ServRefsRemoveIf(&full.a->refs, MatchServer, &match, emptied, keepZombie);
        if (removed > 0) {
            full.a->flags |= ART_DIRTY;
            diag = ArticlesSaveArticle(articles, full.a);
        }
        ArticleFullFree(&full);
        return diag == E_OK ? removed : diag;
    }
    char condition[64] = "";
    if (number < 0 && serverNumber < 0 && !msgId)
        snprintf(condition, sizeof condition, " AND servRefs LIKE '%% %ld:%%'", serverId);
    return RemoveIfLocked(articles, MatchServer, &match, emptied, keepZombie, condition);
}

tDiag ArticlesRenumber(tArticles *articles, tLog *log, bool logIt, tArticleFull *full) {
    tArticleData *adt = &full->adt;
    MG_ASSERT(adt->number <= articles->range.high);
    if (articles->range.high >= INT32_MAX) return E_NUMBER_OUT_OF_RANGE;
    long newNumber = (long)articles->range.high + 1;
    char *sql = sqlite3_mprintf("UPDATE articles SET number=%ld,flags=(flags|%ld) WHERE number=%ld AND msgId=%Q;",
                                newNumber, logIt ? (long)ART_RENUMBERED : 0L, adt->number, ArticleDataMsgId(adt));
    if (!sql) {
        LogMessage(log, "No memory for renumber request.\n");
        return E_OUT_OF_MEMORY;
    }
    tDiag diag = ArticlesExec(articles, sql);
    sqlite3_free(sql);
    if (diag != E_OK) return diag;
    if (sqlite3_changes(articles->db.db) == 0) return E_ARTICLE_NOT_FOUND;
    articles->range.high = (int32_t)newNumber;
    adt->number = newNumber;
    if (full->a) {
        full->a->number = newNumber;
        if (logIt) full->a->flags |= ART_RENUMBERED;
    }
    if (logIt) {
        const char *msgId = ArticleDataMsgId(adt);
        LogMessage(log, "Renumbered %s into </mg%ld/%s.\n", msgId, newNumber, msgId[0] == '<' ? msgId + 1 : msgId);
    }
    return E_OK;
}

// ---------------------------------------------------------------------------
// Adding overview data

void CountOutcome(tAddCounters *counters, int result) {
    switch (result) {
        case AA_NEW: counters->newArticles++; return;
        case AA_REGET: counters->reget++; return;
        case AA_ALREADY_DELETED: counters->alreadyDeleted++; return;
        case AA_PHOENIX: counters->phoenix++; return;
        case AA_DUP: counters->dup++; return;
        case AA_HIDDEN: counters->hidden++; return;
        default: break;
    }
    MG_ASSERT(result < 0);
    if (result == E_DATE_TOO_OLD)
        counters->tooOld++;
    else if (result == E_FILTERED_OUT)
        counters->filteredOut++;
    else
        counters->bad++;
}

// The oldest acceptable Date of the context's server, or 0 for none.
static long MinDateSecs(const tOverviewAdd *context) {
    int days = context->daysTooOld ? context->daysTooOld : *articlesSettings.daysTooOld;
    if (days <= 0) return 0;
    return (long)time(nullptr) - days * 86400L;
}

static void Seen(tOverviewAdd *context, long serverNumber) {
    if (context->seen && serverNumber >= 0 && serverNumber <= INT32_MAX)
        (void)NumbersAdd(context->seen, (int32_t)serverNumber, (int32_t)serverNumber);
}

tDiag ArticlesRemoveServerRefsOfGroup(tIndices *indices, const char *group, long serverId, int keepZombie,
                                       long *removed, long *emptied, bool *opened) {
    *removed = 0;
    *emptied = 0;
    tArticles *articles = nullptr;
    tDiag diag = ArticlesOpen(indices, group, indices->log, false, &articles, -1);
    *opened = diag == E_OK;
    if (diag != E_OK) return diag;
    int lost = 0;
    long count = ArticlesRemoveServerRefs(articles, -1, nullptr, serverId, -1, &lost, keepZombie != 0);
    IndicesRelease(articles, 2);
    if (count < 0) return static_cast<tDiag>(count);
    *removed = count;
    *emptied = lost;
    return E_OK;
}

int ParseXhdrMsgIdLine(tArticles *articles, const char *line, long serverId, long *previousNumber, tLog *log,
                       tRange expectedRange, bool allowNotGreater) {
    long number = 0;
    const char *msgId = nullptr;
    size_t length = 0;
    tDiag diag = XhdrMsgIdLineParse(line, &number, &msgId, &length, previousNumber, allowNotGreater, expectedRange);
    if (diag != E_OK) return diag;
    std::string id(msgId, length);
    int outcome = ArticlesAddRef(articles, false, id.c_str(), nullptr, serverId, number, false, log);
    return outcome == E_TREE_NOT_FOUND ? 0 : outcome;
}

int AddOverviewLine(tOverviewAdd *context, const char *line, long *previousNumber, bool useServerNumber,
                    tRange expectedRange) {
    tArticles *articles = context->articles;
    tArticleFull full{};
    full.articles = articles;
    int result = ArticleDataParse(line, context->log, context->fixes, &full.adt, context->truncAfterMsgId,
                                  MinDateSecs(context), &context->counters->xref, ArticlesName(articles),
                                  previousNumber, context->allowNotGreater, expectedRange);
    long serverNumber = full.adt.number;
    if (result != E_OK) {
        if (result == E_DATE_TOO_OLD) Seen(context, serverNumber);
        CountOutcome(context->counters, result);
        ArticleDataFree(&full.adt);
        return result;
    }
    result = ArticlesAddRef(articles, false, ArticleDataMsgId(&full.adt), &full.adt, context->serverId, serverNumber,
                            useServerNumber, context->log);
    if (result == AA_NEW) {
        full.a = articles->newArticle;
        if (context->filters && context->filters->filterArticle) {
            int filtered = context->filters->filterArticle(context->filters->set, articles, &full);
            if (filtered < 0) {
                full.a = nullptr;
                ArticlesAbandonNew(articles, true);
                if (filtered == E_FILTERED_OUT) Seen(context, serverNumber);
                CountOutcome(context->counters, filtered);
                ArticleDataFree(&full.adt);
                return filtered;
            }
            if (filtered == AA_HIDDEN) result = AA_HIDDEN;
        }
        tDiag diag = ArticlesInsertNew(articles, &full.adt);
        full.a = nullptr;
        if (diag != E_OK) {
            long local = articles->newArticle->number;
            ArticlesAbandonNew(articles, true);
            LogMessage(context->log, "Could not save article %ld data.\n", local);
            CountOutcome(context->counters, diag);
            ArticleDataFree(&full.adt);
            return diag;
        }
        ArticlesFinishNew(articles, true);
    }
    if (result >= 0) Seen(context, serverNumber);
    CountOutcome(context->counters, result);
    if ((result == AA_NEW || result == AA_HIDDEN) && *articlesSettings.useXrefs && context->useXrefs &&
        full.adt.xrefCount > 0)
        AddXrefs(context, &full, serverNumber);
    ArticleDataFree(&full.adt);
    return result;
}

void AddXrefs(tOverviewAdd *context, tArticleFull *full, long serverNumber) {
    tArticleData *adt = &full->adt;
    tAddCounters *counters = context->counters;
    long firstLocal = adt->number;
    const char *msgId = ArticleDataMsgId(adt);
    for (int i = 0; i < adt->xrefCount; i++) {
        const char *group = ArticleDataXrefGroup(adt, i);
        long otherServerNumber = adt->xrefs[i].number;
        tArticles *other;
        tDiag diag = ArticlesOpen(context->indices, group, context->log, false, &other, -1);
        if (diag == E_NO_INDEX) {
            counters->notActive++;
            if (*articlesSettings.xrefLogGroupNotActive)
                LogMessage(context->log, "Not adding x-ref for %s: %s\n", group, "Group not active");
            continue;
        }
        if (diag != E_OK) {
            counters->indexErrors++;
            LogMessage(context->log, "Not adding x-ref for %s: %s\n", group, DiagText(diag));
            continue;
        }
        int result = ArticlesAddRef(other, false, msgId, adt, context->serverId, otherServerNumber, false,
                                    context->log);
        if (result < 0) {
            counters->additionErrors++;
        } else if (result > 0) {
            counters->hadAlready++;
            if (*articlesSettings.xrefLogHadArticle)
                LogMessage(context->log, "Had article (server %ld, local %ld) in %s already.\n", serverNumber,
                           firstLocal, group);
        } else {
            diag = ArticlesInsertNew(other, adt);
            if (diag != E_OK) {
                counters->articleDataErrors++;
                LogMessage(context->log, "Could not add article data to secondary group %s: %s.\n", group,
                           DiagText(diag));
                ArticlesAbandonNew(other, true);
            } else {
                counters->xrefNew++;
                if (*articlesSettings.xrefLogAddedArticle)
                    LogMessage(context->log,
                               "Added article to %s (current %ld, other %ld, server current %ld, server other "
                               "%ld).\n",
                               group, firstLocal, adt->number, serverNumber, otherServerNumber);
                ArticlesFinishNew(other, true);
            }
        }
        IndicesRelease(other, 0);
    }
    adt->number = firstLocal;
}

tDiag AddDownloadPlaceholder(tArticles *articles, tLog *log, bool second) {
    if (second && articles->range.high >= 1000) return E_OK;
    static const char *const weekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char date[64];
    snprintf(date, sizeof date, "%s, %d %s %d  %02d:%02d:%02d", weekdays[local.tm_wday], local.tm_mday,
             months[local.tm_mon], local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    tArticleData adt;
    const char *msgId = second ? "<1>" : "<0>";
    tDiag diag = ArticleDataInit(&adt, 0, "Group download in progress", "Mergator <Mergator@Mergator>", date, msgId,
                                 nullptr, 100, 3, (long)now);
    if (diag != E_OK) return diag;
    int result = ArticlesAddRef(articles, true, msgId, &adt, 0, second ? 1000 : (long)now, second, log);
    if (result != AA_NEW) {
        // A real article under the placeholder's Message-ID: leave it be.
        ArticleDataFree(&adt);
        return result < 0 ? result : E_OK;
    }
    if (!(second && *articlesSettings.fakes)) ServRefsMarkDeleted(&articles->newArticle->refs);
    diag = ArticlesInsertNew(articles, &adt);
    if (diag != E_OK) LogMessage(log, "Could not save article %ld data.\n", adt.number);
    ArticlesFinishNew(articles, false);
    ArticleDataFree(&adt);
    return diag;
}
