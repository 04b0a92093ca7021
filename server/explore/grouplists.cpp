// Group list queries; see grouplists.h.
#include "server/explore/grouplists.h"

#include "lib/files.h"
#include "lib/log.h"
#include "lib/shutdown.h"
#include "lib/sock.h"
#include "lib/strings.h"
#include "lib/wildmatch.h"
#include "server/explore/groupsel.h"
#include "server/store/actual.h"
#include "server/upstream/nntp.h"
#include "server/upstream/servers.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int LIST_LINE_SIZE = 282;     // a group line of up to 281 bytes with its NUL
constexpr int LIST_COMMAND_SIZE = 282;
constexpr int ANSWER_LINE_SIZE = 2048 + 1;
constexpr int LIST_RESTART = 1;         // ReadList: the connection broke within the list
constexpr int EMPTY_LINES_MAX = 16;     // empty lines tolerated before an answer

enum tListForm {
    FORM_AS_IS,         // LIST ACTIVE: every line is a group of the pattern
    FORM_LOCAL_MATCH,   // full LIST and NEWGROUPS: lines are matched here
    FORM_TITLE,         // XGTITLE: names with descriptions, no ranges
};

struct tQuery {
    tListQuery *query;
    tNntp *nntp;
    tServer *server;
    tLog *log;
    int failures = 0;           // broken exchanges of this query
    tDiag failureDiag = E_LIST_TIMEOUTS;  // what the third one gives
};

void TrimEnd(char *text) {
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '\t'))
        text[--n] = 0;
}

bool IsTerminator(const char *line) { return line[0] == '.' && (line[1] == '\r' || line[1] == '\n'); }

bool IsCancel(int rc) { return rc == E_SHUTDOWN || rc == E_CLIENT_DISCONNECTED; }

bool HasWildcard(const char *pattern) { return strpbrk(pattern, "*?[\\") != nullptr; }

// A send or read failure of a command: E_SHUTDOWN; E_OK when the command is
// to be repeated on a new connection; the third failure gives third; a
// failed reconnection its diagnostic.
tDiag AfterFailure(tQuery *q, int rc, tDiag third) {
    if (IsCancel(rc)) return E_SHUTDOWN;
    if (++q->failures >= 3) return FailWithLog(q->nntp, third, "%s", DiagText(third));
    return Reconnect(q->nntp, GROUPSEL_RECONNECT_TIMEOUT, CancelSocketGet(), q->query->requester);
}

// Sends command and reads its answer into line, skipping the welcome lines
// a blind-login server repeats and (with emptyLabel) empty lines. Returns
// the answer's code (0: none), or the send or read failure.
int Ask(tQuery *q, const char *command, int seconds, const char *what, char *line, int size,
        const char *emptyLabel) {
    int rc = SendCommand(q->nntp, command);
    if (rc < 0) return rc;
    int empty = 0;
    for (;;) {
        rc = ReadResponse(q->nntp, line, size, seconds, what);
        if (rc < 0) return rc;
        TrimEnd(line);
        int code = ReplyCode(line);
        if ((code == 200 || code == 201) && q->server->blindLogin) {
            LogMessage(q->log, "Ignoring blind-login server's welcome message: %s\n", line);
            continue;
        }
        if (line[0] == 0 && emptyLabel && ++empty <= EMPTY_LINES_MAX) {
            LogMessage(q->log, "LIST ACTIVE %s refused: empty line.\n", emptyLabel);
            continue;
        }
        return code < 0 ? 0 : code;
    }
}

// Counts the outcome of one addition; E_OK, or a failure that ends the
// query (the store failed).
tDiag CountAddition(tQuery *q, tDiag rc) {
    tListQuery *query = q->query;
    switch (rc) {
    case E_OK:
        query->kept++;
        return E_OK;
    case E_GROUP_UNWANTED:
    case E_BAD_GROUP_NAME:
        query->unwanted++;
        return E_OK;
    case E_TREE_DUPLICATE:
        query->duplicates++;
        return E_OK;
    case E_STRING_EMPTY:
    case E_NUMBER_CORRUPTED:
        return E_OK;  // a malformed line
    default:
        LogMessage(q->log, "Could not enter a group into the list: %s.\n", DiagText(rc));
        return rc;
    }
}

// Reads the list of an answer (or of the cache file cacheIn) up to its end,
// adding the groups; each line from the server is also written to cacheOut
// when given. Returns E_OK, LIST_RESTART, or a failure.
int ReadList(tQuery *q, tListForm form, FILE *cacheIn, FILE *cacheOut) {
    tListQuery *query = q->query;
    tNntp *nntp = q->nntp;
    char line[LIST_LINE_SIZE];
    bool skipping = false;  // the rest of an overlong line
    for (;;) {
        int n;
        if (cacheIn) {
            if (ShutdownRequested()) return E_SHUTDOWN;
            if (!fgets(line, sizeof line, cacheIn)) break;
            n = (int)strlen(line);
        } else {
            n = ReadResponseLine(nntp, line, sizeof line, 300, CancelSocketGet(), "group list line");
            if (n < 0) {
                if (IsCancel(n)) {
                    NntpCloseSocket(nntp);
                    return E_SHUTDOWN;
                }
                if (q->server->closeOnListOk) {
                    LogMessage(q->log, "Considering got all list.\n");
                    break;
                }
                return LIST_RESTART;
            }
            if (!skipping && IsTerminator(line)) break;
            if (cacheOut && fputs(line, cacheOut) == EOF) {
                NntpCloseSocket(nntp);
                return FailWithLog(nntp, E_DISK_WRITE, "Error when writing cache for LIST");
            }
        }
        bool whole = n > 0 && line[n - 1] == '\n';
        if (skipping) {
            skipping = !whole;
            continue;
        }
        if (!whole) {
            // Longer than any group line (its rest follows), or cut short by
            // the end of the answer: dropped.
            skipping = n == LIST_LINE_SIZE - 1;
            continue;
        }
        if (++query->listed % 32 == 0) LogDot(q->log, '.');
        TrimEnd(line);
        tDiag rc;
        if (form == FORM_TITLE) {
            line[strcspn(line, "\t")] = 0;
            line[strcspn(line, " ")] = 0;
            query->total++;
            rc = ActualAddName(query->actual, line);
        } else {
            if (form == FORM_LOCAL_MATCH) {
                size_t nameLength = strcspn(line, " \t");
                char saved = line[nameLength];
                line[nameLength] = 0;
                bool match = WildMatch(line, query->pattern, 0);
                line[nameLength] = saved;
                if (!match) continue;
            }
            query->total++;
            rc = ActualAddListLine(query->actual, line);
        }
        if ((rc = CountAddition(q, rc)) != E_OK) {
            if (!cacheIn) NntpCloseSocket(nntp);  // the rest of the answer is abandoned
            return rc;
        }
    }
    return E_OK;
}

// Selects every group of the actual list that has no range to learn it.
tDiag LearnRanges(tQuery *q) {
    tListQuery *query = q->query;
    tGroupListIterator iterator;
    tDiag rc = GroupIterStart(&iterator, &query->actual->list, false, 0, nullptr, nullptr, true);
    if (rc != E_OK) return rc;
    int refusals = 0;
    int next;
    while ((next = GroupIterNext(&iterator)) > 0) {
        tGroupRow *row = &iterator.row;
        if (row->rangeLow != 0 || row->rangeHigh != 0) continue;
        tGroupSelection selection{row->groupName.c_str(), 0, 0};
        rc = SelectGroup(q->nntp, &selection, 1, GROUPSEL_RECONNECT_TIMEOUT, -1, 0, query->requester);
        if (rc == E_GROUP_REFUSED) {
            if (++refusals >= 6) {
                LogMessage(q->log, "Too many 'GROUP refused' errors, keeping group list without article "
                                   "number ranges.\n");
                break;
            }
            continue;
        }
        refusals = 0;
        if (rc == E_NO_SUCH_GROUP || rc == E_GROUP_TEMP) {
            row->rangeLow = 1;
            row->rangeHigh = 0;
        } else if (rc == E_OK) {
            row->rangeLow = selection.low;
            row->rangeHigh = selection.high;
        } else {
            GroupIterEnd(&iterator);
            return rc;
        }
    }
    GroupIterEnd(&iterator);
    return next < 0 ? (tDiag)next : E_OK;
}

void Report(tQuery *q) {
    tListQuery *query = q->query;
    LogMessage(q->log, "Groups: total %3ld dups %3ld unwanted %3ld kept %3ld   %s\n", query->total,
               query->duplicates, query->unwanted, query->kept, query->since ? "*" : query->pattern);
}

int QueryNewgroups(tQuery *q, char *line) {
    char command[64];
    if (FormatNewgroups(q->query->since, command, sizeof command) < 0)
        return SetDiag(q->nntp, E_BUFFER_TOO_SMALL, nullptr);
    q->failureDiag = E_LIST_TIMEOUTS;
    for (;;) {
        LogMessage(q->log, "Sending: %.*s\n", (int)strcspn(command, "\r\n"), command);
        int code = Ask(q, command, 60, "NEWGROUPS response", line, ANSWER_LINE_SIZE, nullptr);
        if (code < 0) {
            tDiag rc = AfterFailure(q, code, E_LIST_TIMEOUTS);
            if (rc != E_OK) return rc;
            continue;
        }
        if (code != 231) {
            LogMessage(q->log, "NEWGROUPS refused: %s\n", line);
            return SetDiag(q->nntp, E_LIST_REFUSED, nullptr);
        }
        return ReadList(q, FORM_LOCAL_MATCH, nullptr, nullptr);
    }
}

// Removes a cache that was being written.
void DestroyCache(tQuery *q, FILE **cache, const char *path) {
    if (!*cache) return;
    LogMessage(q->log, "Destroying cache for LIST\n");
    fclose(*cache);
    *cache = nullptr;
    unlink(path);
}

int QueryFullList(tQuery *q, char *line) {
    char path[1024];
    if (ListCachePath(q->server, path, sizeof path) < 0) return SetDiag(q->nntp, E_BUFFER_TOO_SMALL, nullptr);
    struct stat st;
    if (stat(path, &st) == 0 && time(nullptr) - st.st_mtime >= LIST_CACHE_SECONDS) {
        LogMessage(q->log, "LIST cache is too old. Ignoring it.\n");
        unlink(path);
    }
    if (FILE *cacheIn = fopen(path, "rb")) {
        int rc = ReadList(q, FORM_LOCAL_MATCH, cacheIn, nullptr);
        fclose(cacheIn);
        return rc;
    }
    q->failureDiag = E_LIST_TIMEOUTS;
    for (;;) {
        int code = Ask(q, "LIST\r\n", 60, "LIST response", line, ANSWER_LINE_SIZE, nullptr);
        if (code < 0) {
            tDiag rc = AfterFailure(q, code, E_LIST_TIMEOUTS);
            if (rc != E_OK) return rc;
            continue;
        }
        if (code != 215) {
            LogMessage(q->log, "LIST refused: %s\n", line);
            return SetDiag(q->nntp, E_LIST_REFUSED, nullptr);
        }
        break;
    }
    FILE *cacheOut = nullptr;
    if (CreateDirectoryChecked(LIST_CACHE_DIRECTORY, nullptr) == E_OK) cacheOut = fopen(path, "wb");
    if (!cacheOut) {
        NntpCloseSocket(q->nntp);
        return FailWithLog(q->nntp, E_OUT_OF_FILES, "Could not create cache for LIST");
    }
    LogMessage(q->log, "Creating a cache for LIST\n");
    int rc = ReadList(q, FORM_LOCAL_MATCH, nullptr, cacheOut);
    if (rc != E_OK) {
        DestroyCache(q, &cacheOut, path);
        return rc;
    }
    if (fclose(cacheOut) != 0) {
        LogMessage(q->log, "Error when writing cache for LIST: %s.\n", strerror(errno));
        unlink(path);
    }
    return E_OK;
}

// One pass of the cascade. E_OK, LIST_RESTART or a failure.
int RunQuery(tQuery *q) {
    tListQuery *query = q->query;
    tServer *server = q->server;
    tNntp *nntp = q->nntp;
    char line[ANSWER_LINE_SIZE];
    char command[LIST_COMMAND_SIZE];

    if (query->since) return QueryNewgroups(q, line);

    bool listOnly = server->listPreferred || (server->flags & SF_ALWAYS_LIST);

    // A single group.
    if (!listOnly && !HasWildcard(query->pattern)) {
        tGroupSelection selection{query->pattern, 0, 0};
        tDiag rc = SelectGroup(nntp, &selection, 0, GROUPSEL_RECONNECT_TIMEOUT, -1, 0, query->requester);
        if (rc == E_NO_SUCH_GROUP || rc == E_GROUP_TEMP || rc == E_GROUP_REFUSED) return E_OK;
        if (rc != E_OK) return rc;
        query->listed++;
        query->total++;
        return CountAddition(q, ActualAdd(query->actual, query->pattern, selection.low, selection.high, GF_POSTING));
    }

    // LIST ACTIVE with the pattern.
    if (!listOnly && !(server->flags & SF_NO_LIST_ACTIVE)) {
        int length = strcmp(query->pattern, "*") == 0
                         ? FormatBounded(command, sizeof command, "LIST\r\n")
                         : FormatBounded(command, sizeof command, "LIST ACTIVE %s\r\n", query->pattern);
        if (length < 0) return SetDiag(nntp, E_BUFFER_TOO_SMALL, nullptr);
        q->failureDiag = E_LIST_ACTIVE_TIMEOUTS;
        for (;;) {
            int code = Ask(q, command, 120, "LIST ACTIVE response", line, sizeof line, query->pattern);
            if (code < 0) {
                tDiag rc = AfterFailure(q, code, E_LIST_ACTIVE_TIMEOUTS);
                if (rc != E_OK) return rc;
                continue;
            }
            if (code == 215) return ReadList(q, FORM_AS_IS, nullptr, nullptr);
            bool notFound = strstr(line, "not found") != nullptr;
            if (code == 0 || (code == 503 && !notFound)) {
                LogMessage(q->log, "Junk after LIST ACTIVE %s: %s\n", query->pattern, line);
                tDiag rc = AfterFailure(q, E_SOCKET, E_LIST_ACTIVE_TIMEOUTS);
                if (rc != E_OK) return rc;
                continue;
            }
            if (code == 400) {
                LogMessage(q->log, "Service refused: %s\n", line);
                return SetDiag(nntp, E_LIST_REFUSED_TEMP, nullptr);
            }
            LogMessage(q->log, "LIST ACTIVE %s refused: %s\n", query->pattern, line);
            if (code == 501) server->flags |= SF_NO_LIST_ACTIVE;
            if (code == 503) server->flags |= SF_NO_LIST_ACTIVE | SF_NO_XGTITLE;
            break;
        }
    }

    // XGTITLE.
    if (!server->xgTitleBroken && !listOnly && !(server->flags & SF_NO_XGTITLE)) {
        if (FormatBounded(command, sizeof command, "XGTITLE %s\r\n", query->pattern) < 0)
            return SetDiag(nntp, E_BUFFER_TOO_SMALL, nullptr);
        q->failureDiag = E_XGTITLE_TIMEOUTS;
        for (;;) {
            int code = Ask(q, command, 60, "XGTITLE response", line, sizeof line, nullptr);
            if (code < 0) {
                tDiag rc = AfterFailure(q, code, E_XGTITLE_TIMEOUTS);
                if (rc != E_OK) return rc;
                continue;
            }
            if (code == 282) {
                int rc = ReadList(q, FORM_TITLE, nullptr, nullptr);
                if (rc != E_OK) return rc;
                return LearnRanges(q);
            }
            LogMessage(q->log, "XGTITLE %s refused: %s\n", query->pattern, line);
            if (code == 500 || code == 481) server->flags |= SF_NO_XGTITLE;
            break;
        }
    }

    return QueryFullList(q, line);
}

}  // namespace

int ListCachePath(const tServer *server, char *path, int size) {
    return FormatBounded(path, size, "%s/%s", LIST_CACHE_DIRECTORY, server->diskName ? server->diskName : "");
}

tDiag ListCacheRemove(const tServer *server) {
    char path[1024];
    if (ListCachePath(server, path, sizeof path) < 0) return E_BUFFER_TOO_SMALL;
    if (unlink(path) != 0 && errno != ENOENT) return E_ERRNO;
    return E_OK;
}

int FormatNewgroups(time_t since, char *buffer, int size) {
    time_t from = since - 86400;
    struct tm t;
    if (!localtime_r(&from, &t)) return -1;
    return FormatBounded(buffer, size, "NEWGROUPS %02d%02d%02d %02d%02d%02d\r\n", t.tm_year % 100, t.tm_mon + 1,
                         t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
}

tDiag QueryGroupList(tListQuery *query) {
    tQuery q;
    q.query = query;
    q.nntp = query->nntp;
    q.server = query->nntp->server;
    q.log = query->nntp->log;
    long listedBefore = query->listed;
    LogDotsInit(q.log, 50);
    for (;;) {
        query->total = query->duplicates = query->unwanted = query->kept = 0;
        int rc = RunQuery(&q);
        if (rc != LIST_RESTART) {
            if (rc != E_OK) return (tDiag)rc;
            Report(&q);
            return SetDiag(q.nntp, E_OK, "Ok");
        }
        // The connection broke within the list: the query starts again on
        // a new connection, without this failure holding reconnection back.
        query->listed = listedBefore;
        q.nntp->lastIoFailure = 0;
        tDiag again = AfterFailure(&q, E_SOCKET, q.failureDiag);
        if (again != E_OK) return again;
    }
}
