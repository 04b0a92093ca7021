// Overview retrieval: XOVER with its recovery, the XHDR and HEAD emulations,
// and the Message-ID pass.
#include "server/explore/overview.h"

#include "lib/log.h"
#include "lib/shutdown.h"
#include "lib/sock.h"
#include "lib/wildmatch.h"
#include "server/explore/groupsel.h"
#include "server/settings/settings.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

tOverviewLimits overviewLimits = {60, 30, 60, 2, 17, 5};

namespace {

constexpr int32_t OPEN_END = 2147483647;
constexpr int COMMAND_SIZE = 10240;
constexpr int LINE_SIZE = 65536;  // one data line; longer ones arrive in pieces
constexpr int DEFAULT_TIMEOUT = -1;  // the pool's own time-out for a reconnection
constexpr int EMULATION_TIMEOUT = 30;

// ---------------------------------------------------------------------------
// Reading whole lines

// Joins the pieces the conversation's reader hands out into one line. A
// failure met after part of a line was read is kept and returned by the next
// read, so the partial line is seen first and no wait is repeated.
struct tLineReader {
    tNntp *nntp;
    int cancelSocket;
    char *buf;      // LINE_SIZE bytes
    tDiag pending;  // 0, or the failure to return next
};

// Reads one line into buf + start, up to its LF or until the buffer is full.
// Returns the length read (the text stays NUL-terminated), or a negative
// tDiag.
int ReadLine(tLineReader *r, int start, int timeout, const char *what) {
    if (r->pending) {
        tDiag d = r->pending;
        r->pending = 0;
        return d;
    }
    int len = start;
    for (;;) {
        int n = ReadResponseLine(r->nntp, r->buf + len, LINE_SIZE - len, timeout, r->cancelSocket, what);
        if (n < 0) {
            r->buf[len] = 0;
            if (len > start) {
                r->pending = n;
                return len - start;
            }
            return n;
        }
        len += n;
        if (r->buf[len - 1] == '\n' || len >= LINE_SIZE - 1) return len - start;
    }
}

// The end of a listing: "." followed by CR or LF (or nothing).
bool IsTerminator(const char *line) {
    return line[0] == '.' && (line[1] == '\r' || line[1] == '\n' || line[1] == 0);
}

bool EndsWith(const char *text, int length, const char *tail) {
    int n = (int)strlen(tail);
    return length >= n && memcmp(text + length - n, tail, n) == 0;
}

// Length of text without its final CR LF (either or both).
int WithoutLineEnd(const char *text, int length) {
    if (length > 0 && text[length - 1] == '\n') length--;
    if (length > 0 && text[length - 1] == '\r') length--;
    return length;
}

// True when the server has sent more than what was read: something is
// buffered or arrives within the peek time.
bool MoreOutput(tNntp *nntp, int cancelSocket) {
    tSockBuf *sb = &nntp->sb;
    if (sb->pos < sb->len) return true;
    if (sb->socket < 0) return false;
    (void)SockBufScan(sb, '\n', overviewLimits.peekSeconds, cancelSocket);
    return sb->pos < sb->len;
}

int CancelOf(int cancelSocket) { return cancelSocket >= 0 ? cancelSocket : CancelSocketGet(); }

// The diagnostic of a send (the count sent, or a negative tDiag).
tDiag SendDiag(int sent) { return sent < 0 ? sent : E_OK; }

// Formats a command; E_BUFFER_TOO_SMALL when it does not fit.
tDiag FormatCommand(char *out, int size, const char *format, ...) __attribute__((format(printf, 3, 4)));
tDiag FormatCommand(char *out, int size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = vsnprintf(out, size, format, args);
    va_end(args);
    return (n < 0 || n >= size) ? E_BUFFER_TOO_SMALL : E_OK;
}

// Asks for one range of a listing: logs command with the number of ranges
// left after it, sends it and reads its status line into the reader's
// buffer (what names the answer in messages). Returns the line's length, or
// a negative tDiag.
int PerformRangeCommand(tLineReader *reader, tLog *log, int rangesLeft, const char *command, const char *what) {
    LogMessage(log, "Performing (%d ranges remain): %s", rangesLeft, command);
    reader->pending = 0;
    tDiag d = SendDiag(SendCommand(reader->nntp, command));
    if (d != E_OK) return d;
    return ReadLine(reader, 0, overviewLimits.responseSeconds, what);
}

// Reads the next data line of a listing into the reader's buffer (what
// names it in messages). Returns its length (> 0), 0 at the terminating
// ".", or a negative tDiag: the read's failure, or E_NO_EOL (logged) for a
// line that lacks its end.
int ReadDataLine(tLineReader *reader, tLog *log, const char *what) {
    int n = ReadLine(reader, 0, overviewLimits.dataLineSeconds, what);
    if (n < 0) return n;
    if (IsTerminator(reader->buf)) return 0;
    if (reader->buf[n - 1] != '\n') {
        LogMessage(log, "Missing end of line: %s\n", reader->buf);
        return E_NO_EOL;
    }
    return n;
}

// The context AddOverviewLine needs, from the job and its server.
tOverviewAdd AddContext(tOverviewJob *job) {
    tServer *server = job->nntp->server;
    tOverviewAdd add;
    add.log = job->nntp->log;
    add.serverId = server->id;
    add.truncAfterMsgId = server->truncAfterMsgId != 0;
    add.allowNotGreater = server->xoverAllowNumberNotGreater != 0;
    add.useXrefs = server->useXrefs != 0;
    add.daysTooOld = server->daysTooOld;
    add.articles = job->articles;
    add.seen = job->seen;
    add.counters = job->counters;
    add.fixes = job->fixes;
    add.indices = job->indices;
    add.filters = job->filters;
    return add;
}

// Selects the job's group unless it is current. E_OK, or SelectGroup's
// failure.
tDiag SelectJobGroup(tNntp *nntp, const char *group, int timeout, int cancelSocket, const tRequester *requester,
                     bool always, int32_t *low = nullptr) {
    if (!always && !low && GroupIsCurrent(nntp, group)) return E_OK;
    tGroupSelection selection;
    selection.group = group;
    tDiag d = SelectGroup(nntp, &selection, 1, timeout, cancelSocket, 1, requester);
    if (d == E_OK && low) *low = selection.low;
    return d;
}

long NumberOf(const char *line) { return strtol(line, nullptr, 10); }

bool IsFieldFailure(int d) {
    return d == E_BAD_ARTICLE_NUMBER || d == E_NUMBER_OUT_OF_RANGE || d == E_NO_TAB_AFTER_NUMBER ||
           (d >= E_NO_SUBJECT && d <= E_LINES_TOO_LARGE && d != E_DATE_TOO_OLD);
}

bool IsStoreExhaustion(int d) { return d == E_OUT_OF_MEMORY || d == E_OUT_OF_FILES || d == E_DISK_WRITE; }

int SumOutcomes(const tAddCounters *c) {
    return c->bad + c->tooOld + c->newArticles + c->reget + c->alreadyDeleted + c->phoenix + c->dup +
           c->filteredOut + c->hidden;
}

// ---------------------------------------------------------------------------
// XOVER

// Request kinds; KIND_END marks an explicit end.
enum { XK_MINUS = 0, XK_FROM0 = 1, XK_FROM1 = 2, XK_FROM = 3, XK_END = 4 };

struct tXover {
    tOverviewJob *job;
    tNntp *nntp;
    tLog *log;
    tServer *server;
    const tRequester *requester;
    int cancelSocket;
    tOverviewAdd add;
    tLineReader reader;
    tNumbers retry;
    long lastGood = -1;
    long restartAt = -1;
    int retries = 0;
    bool closedEnd = false, tried1 = false, triedMinus = false, recoverPending = false;
    tRange previous{0, 0};
    int32_t low = 0, high = 0;
    int kind = 0;
    long lines = 0;  // data lines of the current command
};

// Adds from..to to the ranges to explore again.
tDiag RetryRange(tXover *x, long from, long to) {
    LogMessage(x->log, "Range %ld-%ld will be explored again.\n", from, to);
    return NumbersAdd(&x->retry, (int32_t)from, (int32_t)to) < 0 ? E_OUT_OF_MEMORY : E_OK;
}

// What a data line led to.
enum { DL_NEXT, DL_RANGE_DONE, DL_RETRY, DL_END };

// Handles one complete data line (step c onward). *result receives the
// call's result for DL_END.
int XoverDataLine(tXover *x, char *line, int length, tDiag *result) {
    bool hasLf = length > 0 && line[length - 1] == '\n';
    x->lines++;
    if (!hasLf) LogMessage(x->log, "Missing end of line: %s\n", line);
    tRange range{x->low, x->high};
    for (;;) {
        long prev = x->lastGood;
        int r = AddOverviewLine(&x->add, line, &prev, x->job->useServerNumber, range);
        if (r == E_DATE_TOO_OLD || r == E_FILTERED_OUT) {
            LogDot(x->log, '-');
            r = 0;
        } else {
            LogDotChar(x->log);
        }
        if (r >= 0) {
            long n = prev;
            if (x->recoverPending) {
                long start = std::max(x->lastGood + 1, (long)x->low);
                if (RetryRange(x, start, std::max(n - 1, start)) != E_OK) {
                    *result = E_OUT_OF_MEMORY;
                    return DL_END;
                }
                x->recoverPending = false;
            }
            if (n < x->lastGood)
                LogMessage(x->log, "Warning: Article number lower than previous %ld: %s", x->lastGood, line);
            x->lastGood = n;
            NumbersRemoveUpTo(x->job->wanted, (int32_t)n);
            if (length > 3 && EndsWith(line, length, ".\r\n") && !MoreOutput(x->nntp, x->cancelSocket)) {
                x->recoverPending = true;
                LogMessage(x->log, "Line seems fine but has final .<CR><LF>. Assume XOVER output end: %s", line);
                return DL_RANGE_DONE;
            }
            return DL_NEXT;
        }
        LogMessage(x->log, "%s: %s%s", DiagText(r), line, hasLf ? "" : "\n");
        if (IsStoreExhaustion(r)) {
            NntpCloseSocket(x->nntp);
            *result = r;
            return DL_END;
        }
        if (IsFieldFailure(r)) {
            if (x->lastGood < x->high)
                LogMessage(x->log, x->low == x->high ? "Sole article corrupted: no recovery.\n"
                                                     : "Will recover at next XOVER\n");
            else
                LogMessage(x->log, "Range completed, so error can be ignored.\n");
            x->recoverPending = true;
            int bare = WithoutLineEnd(line, length);
            if (bare > 0 && line[bare - 1] == '.' && !MoreOutput(x->nntp, x->cancelSocket)) {
                LogMessage(x->log, "Line has final .<CR><LF>. Assume XOVER output end.\n");
                return DL_RANGE_DONE;
            }
            return DL_NEXT;
        }
        long n = NumberOf(line);
        if (x->restartAt >= x->lastGood) {
            if (r == E_TENFOLD_LEAP) {
                LogMessage(x->log, "Restart did not fix article number (%ld after %ld). Assuming number ok.\n", n,
                           x->lastGood);
                x->lastGood = n - 1;
                NumbersRemoveUpTo(x->job->wanted, (int32_t)(n - 1));
                continue;  // the same line again
            }
            LogMessage(x->log, "Restart did not help. Ignoring bad article reference.\n");
            return DL_NEXT;
        }
        if (r == E_TENFOLD_LEAP && n == 1001) {
            LogMessage(x->log, "Number is pivot+1, assuming ok.\n");
            x->lastGood = 1000;
            NumbersRemoveUpTo(x->job->wanted, 1000);
            continue;
        }
        LogMessage(x->log, "Bad line (last good %ld total %ld).\n", x->lastGood, x->lines);
        x->restartAt = x->lastGood;
        return DL_RETRY;
    }
}

// Reads the data lines of one answer. Returns DL_RANGE_DONE, DL_RETRY or
// DL_END (with *result).
int XoverData(tXover *x, tDiag *result) {
    char *line = x->reader.buf;
    int joined = 0;  // length of a record being joined
    for (;;) {
        int n = ReadLine(&x->reader, joined, overviewLimits.xoverLineSeconds, "article description");
        if (n < 0) {
            if (n == E_SHUTDOWN) {
                *result = n;
                return DL_END;
            }
            LogMessage(x->log, "EOF at %ld articles, last good %ld\n", x->lines, x->lastGood);
            if (x->recoverPending) {
                long start = std::max(x->lastGood + 1, (long)x->low);
                if (start <= x->high && RetryRange(x, start, x->high) != E_OK) {
                    *result = E_OUT_OF_MEMORY;
                    return DL_END;
                }
                x->recoverPending = false;
            }
            return DL_RETRY;
        }
        int length = joined + n;
        if (joined == 0 && IsTerminator(line)) return DL_RANGE_DONE;
        if (n <= 12 && length < LINE_SIZE / 2) {
            if (EndsWith(line, length, ".\r\n") && !MoreOutput(x->nntp, x->cancelSocket)) {
                x->recoverPending = true;
                LogMessage(x->log, "Line has final .<CR><LF>. Assume XOVER output end: %s", line);
                return DL_RANGE_DONE;
            }
            LogMessage(x->log, "Recovering split record in XOVER: %s\n", line);
            joined = WithoutLineEnd(line, length);
            line[joined] = 0;
            continue;
        }
        joined = 0;
        int step = XoverDataLine(x, line, length, result);
        if (step != DL_NEXT) return step;
    }
}

// Formats the command for low..high (step 4) and sets the kind.
tDiag XoverCommand(tXover *x, char *command) {
    uint32_t flags = x->server->flags;
    if (x->low == -1 || (x->low == 0 && x->high == OPEN_END && (flags & SF_XOVER_USE_MINUS))) {
        x->kind = XK_MINUS;
        return FormatCommand(command, COMMAND_SIZE, "XOVER -\r\n");
    }
    if (x->low == 0 && x->high == OPEN_END && (flags & SF_XOVER_USE_ONE)) {
        x->low = 1;
        if (x->closedEnd || (flags & SF_XOVER_CLOSED_END)) {
            x->kind = XK_FROM1 | XK_END;
            return FormatCommand(command, COMMAND_SIZE, "XOVER 1-%ld\r\n", (long)x->high);
        }
        x->kind = XK_FROM1;
        return FormatCommand(command, COMMAND_SIZE, "XOVER 1-\r\n");
    }
    int base = x->low == 0 ? XK_FROM0 : x->low == 1 ? XK_FROM1 : XK_FROM;
    if (x->high == OPEN_END && !x->closedEnd && !(flags & SF_XOVER_CLOSED_END)) {
        x->kind = base;
        return FormatCommand(command, COMMAND_SIZE, "XOVER %ld-\r\n", (long)x->low);
    }
    x->kind = base | XK_END;
    if (x->low == x->high) return FormatCommand(command, COMMAND_SIZE, "XOVER %ld\r\n", (long)x->low);
    return FormatCommand(command, COMMAND_SIZE, "XOVER %ld-%ld\r\n", (long)x->low, (long)x->high);
}

// The answers that say the range holds nothing (or that its form is not
// understood).
bool IsEmptyRangeAnswer(int code, const char *line) {
    if (code == 412 || code == 420 || code == 423) return true;
    return code == 501 && (strstr(line, "most specify beginning of range") ||
                           strstr(line, "must specify beginning of range"));
}

// What ends a command: the next step of the range loop.
enum { XS_COMMAND, XS_RANGE_LOOP, XS_RETRY, XS_END };

// Step 8, the range is done. Returns XS_COMMAND (ask again), XS_RANGE_LOOP
// or XS_END (with *result).
int XoverRangeDone(tXover *x, tDiag *result) {
    if (x->recoverPending) {
        long start = std::max(x->lastGood + 1, (long)x->low);
        if (start > x->high) {
            LogMessage(x->log, "Error is benign because range has been completed.\n");
        } else if (x->low == x->high) {
            LogMessage(x->log, "Not requesting %ld again for now.\n", (long)x->low);
        } else if (RetryRange(x, start, x->high) != E_OK) {
            *result = E_OUT_OF_MEMORY;
            return XS_END;
        }
        x->recoverPending = false;
    }
    if (x->high != OPEN_END) {
        x->lastGood = x->high;
        NumbersRemoveUpTo(x->job->wanted, x->high);
    }
    if (x->lines > 0) {
        const tAddCounters *c = x->job->counters;
        int sum = SumOutcomes(c);
        if (x->job->fixes->lineCounts == sum && sum - c->reget != 1) {
            LogMessage(x->log,
                       "Line count in all %d article descriptions needed fixing, forcing reconnect for next "
                       "operation.\n",
                       sum);
            NntpCloseSocket(x->nntp);
        }
        if (x->lines == 1 && !x->closedEnd) {
            if (x->kind == XK_FROM0) {
                LogMessage(x->log, "Only one reference for xover 0-, trying xover 1-\n");
                x->low = 1;
                x->job->useServerNumber = false;
                x->lastGood = x->restartAt = -1;
                return XS_COMMAND;
            }
            if (!(x->kind & XK_END) && !(x->server->flags & SF_XOVER_OPEN_RETURNS_MANY)) {
                LogMessage(x->log, "Only one reference for xover %ld-, trying %ld-%ld\n", (long)x->low, (long)x->low,
                           (long)OPEN_END);
                x->closedEnd = true;
                x->job->useServerNumber = false;
                x->lastGood = x->restartAt = -1;
                return XS_COMMAND;
            }
        } else if (x->lines > 1 && x->closedEnd) {
            if (!(x->server->flags & SF_XOVER_CLOSED_END))
                LogMessage(x->log, "Server returns only 1 article for number- requests.\n");
            x->server->flags.fetch_or(SF_XOVER_CLOSED_END);
        } else if (x->lines > 1 && !(x->kind & XK_END)) {
            x->server->flags.fetch_or(SF_XOVER_OPEN_RETURNS_MANY);
        }
    }
    if (x->high == OPEN_END && NumbersRanges(&x->retry) == 0) {
        *result = E_OK;
        return XS_END;
    }
    x->lastGood = x->restartAt = -1;
    return XS_RANGE_LOOP;
}

// One command for low..high and its answer (steps 4 to 9).
int XoverCommandStep(tXover *x, tDiag *result) {
    char command[COMMAND_SIZE];
    tDiag d = XoverCommand(x, command);
    if (d != E_OK) {
        *result = d;
        return XS_END;
    }
    x->lines = 0;
    int n = PerformRangeCommand(&x->reader, x->log, NumbersRanges(x->job->wanted) - 1, command, "XOVER response");
    char *answer = x->reader.buf;
    d = n < 0 ? n : E_OK;
    if (d != E_OK) {
        if (d == E_SHUTDOWN) {
            *result = d;
            return XS_END;
        }
        return XS_RETRY;
    }
    int code = ReplyCode(answer);
    if (code == 500) {
        LogMessage(x->log, "Emulating XOVER using HEAD\n");
        *result = FetchOverviewByHead(x->job, x->requester);
        return XS_END;
    }
    if (IsEmptyRangeAnswer(code, answer)) {
        int kind = x->kind;
        if (kind == XK_FROM0) {
            LogMessage(x->log, "Error for 0-, trying 1-: %s", answer);
            x->tried1 = true;
            x->low = 1;
            return XS_COMMAND;
        }
        if (kind == XK_FROM1) {
            LogMessage(x->log, "Error for 1-, trying -: %s", answer);
            x->triedMinus = true;
            x->low = -1;
            return XS_COMMAND;
        }
        if (kind == XK_MINUS) {
            LogMessage(x->log, "Error for -, assuming no articles: %s", answer);
            *result = E_OK;
            return XS_END;
        }
        if (kind == XK_FROM) {
            LogMessage(x->log, "Assuming end of articles: %s", answer);
            return XoverRangeDone(x, result);
        }
        if (kind == (XK_FROM0 | XK_END) || kind == (XK_FROM | XK_END)) {
            LogMessage(x->log, "Assuming no articles in range: %s", answer);
            return XoverRangeDone(x, result);
        }
    }
    if (code == 224 || code == 221) {
        if (x->triedMinus) {
            if (!(x->server->flags & SF_XOVER_USE_MINUS)) LogMessage(x->log, "Setting XOVER-use-minus\n");
            x->server->flags.fetch_or(SF_XOVER_USE_MINUS);
        } else if (x->tried1) {
            if (!(x->server->flags & SF_XOVER_USE_ONE)) LogMessage(x->log, "Setting XOVER-use-one\n");
            x->server->flags.fetch_or(SF_XOVER_USE_ONE);
        }
        int step = XoverData(x, result);
        if (step == DL_RANGE_DONE) return XoverRangeDone(x, result);
        return step == DL_RETRY ? XS_RETRY : XS_END;
    }
    answer[WithoutLineEnd(answer, (int)strlen(answer))] = 0;
    LogMessage(x->log, "XOVER failed: %s\n", answer);
    if (code == 0 || code == 503 || (code == 400 && WildMatch(answer, "*timeout*", 0))) return XS_RETRY;
    if (code == 480) {
        *result = QuitAndMarkFailed(x->nntp, E_XOVER_REFUSED, nullptr);
        return XS_END;
    }
    *result = E_XOVER_FAILED;
    return XS_END;
}

// Retry: reconnect and go on with the range loop, or give up.
int XoverRetry(tXover *x, tDiag *result) {
    if (++x->retries >= overviewLimits.xoverRetries) {
        *result = CloseAndMarkFailed(x->nntp, E_XOVER_EOFS, nullptr);
        return XS_END;
    }
    x->previous = {0, 0};
    tDiag d = Reconnect(x->nntp, DEFAULT_TIMEOUT, x->cancelSocket, x->requester);
    if (d != E_OK) {
        *result = d;
        return XS_END;
    }
    return XS_RANGE_LOOP;
}

// Step 2 and 3: the next range. XS_COMMAND with low..high set, or XS_END.
int XoverNextRange(tXover *x, tDiag *result) {
    tNumbers *wanted = x->job->wanted;
    for (;;) {
        if (NumbersRanges(&x->retry) > 0 &&
            (NumbersRanges(wanted) == 0 || NumbersRange(&x->retry, 0)->high < NumbersRange(wanted, 0)->low))
            x->lastGood = x->restartAt = -1;
        if (NumbersMerge(wanted, &x->retry) != E_OK) {
            LogMessage(x->log, "No memory to extend the list of missing numbers with new bad ranges");
            *result = E_OUT_OF_MEMORY;
            return XS_END;
        }
        if (NumbersRanges(wanted) == 0) {
            *result = E_OK;
            return XS_END;
        }
        tRange range = *NumbersRange(wanted, 0);
        if (range.low == x->previous.low && range.high == x->previous.high) {
            LogMessage(x->log, "Range is same as previous. Skipping to next one.\n");
            NumbersRemoveUpTo(wanted, range.high);
            continue;
        }
        x->previous = range;
        x->low = range.low;
        x->high = range.high;
        break;
    }
    tDiag d = SelectJobGroup(x->nntp, ArticlesName(x->job->articles), DEFAULT_TIMEOUT, x->cancelSocket,
                             x->requester, false);
    if (d == E_NO_SUCH_GROUP || d == E_GROUP_TEMP) {
        *result = E_OK;
        return XS_END;
    }
    if (d != E_OK) {
        *result = d;
        return XS_END;
    }
    return XS_COMMAND;
}

}  // namespace

tDiag FetchOverview(tOverviewJob *job, const tRequester *requester) {
    tServer *server = job->nntp->server;
    if (server->emulateXoverUsingHead) return FetchOverviewByHead(job, requester);
    if (server->emulateXoverUsingXhdr) return FetchOverviewByXhdr(job, requester);
    tXover x;
    x.job = job;
    x.nntp = job->nntp;
    x.log = job->nntp->log;
    x.server = server;
    x.requester = requester;
    x.cancelSocket = CancelOf(job->cancelSocket);
    x.add = AddContext(job);
    char *buffer = static_cast<char *>(malloc(LINE_SIZE));
    if (!buffer) return E_OUT_OF_MEMORY;
    x.reader = {job->nntp, x.cancelSocket, buffer, 0};
    NumbersInit(&x.retry);
    LogDotsInit(x.log, 50);
    tDiag result = E_OK;
    int step = XS_RANGE_LOOP;
    while (step != XS_END) {
        switch (step) {
        case XS_RANGE_LOOP: step = XoverNextRange(&x, &result); break;
        case XS_COMMAND: step = XoverCommandStep(&x, &result); break;
        case XS_RETRY: step = XoverRetry(&x, &result); break;
        }
    }
    if (result < 0)
        LogMessage(x.log, "Error when overwiewing %s, last good article %ld\n", ArticlesName(job->articles),
                   x.lastGood);
    NumbersFree(&x.retry);
    free(buffer);
    return result;
}

// ---------------------------------------------------------------------------
// XHDR emulation

namespace {

enum { XF_SUBJECT, XF_FROM, XF_DATE, XF_MSGID, XF_REFERENCES, XF_BYTES, XF_LINES, XF_COUNT };
const char *const xhdrFields[XF_COUNT] = {"SUBJECT", "FROM", "DATE", "MESSAGE-ID", "REFERENCES", "BYTES", "LINES"};
const char *const NO_VALUE = "(<mg> no value)";

struct tXhdrFiles {
    FILE *file[XF_COUNT] = {};
    char path[XF_COUNT][1024] = {};

    ~tXhdrFiles() {
        for (int i = 0; i < XF_COUNT; i++) {
            if (file[i]) fclose(file[i]);
            if (path[i][0]) unlink(path[i]);
        }
    }
};

// Reads the next line of file into *line (getline); false at the end.
bool NextLine(FILE *file, char **line, size_t *size) { return getline(line, size, file) >= 0; }

// The value of a line "number blanks value": the text after the blanks, line
// end removed.
const char *LineValue(char *line) {
    char *p = line;
    while (*p >= '0' && *p <= '9') p++;
    while (*p == ' ' || *p == '\t') p++;
    p[WithoutLineEnd(p, (int)strlen(p))] = 0;
    return p;
}

// A field file read forward by number.
struct tFieldCursor {
    FILE *file;
    char *line = nullptr;
    size_t size = 0;
    bool have = false;  // line holds an unread entry
    bool end = false;
};

// The value of number n in the cursor's file, or null when it has none.
const char *FieldValue(tFieldCursor *c, long n) {
    for (;;) {
        if (!c->have) {
            if (c->end || !NextLine(c->file, &c->line, &c->size)) {
                c->end = true;
                return nullptr;
            }
            c->have = true;
        }
        long number = NumberOf(c->line);
        if (number < n) {
            c->have = false;
            continue;
        }
        if (number > n) return nullptr;
        c->have = false;
        return LineValue(c->line);
    }
}

// Copies value (or the no-value text) into out (size bytes), cut to fit,
// tabs turned into blanks.
void CopyField(char *out, size_t size, const char *value) {
    snprintf(out, size, "%s", value ? value : NO_VALUE);
    TabsToBlanks(out);
}

long NumberField(const char *value) {
    if (!value || !*value) return -1;
    char *end;
    long n = strtol(value, &end, 10);
    return end == value ? -1 : n;
}

// Fetches one field over the copy of wanted into file.
tDiag XhdrFetchField(tOverviewJob *job, const tRequester *requester, int cancelSocket, tLineReader *reader,
                     int field, FILE *file) {
    tNntp *nntp = job->nntp;
    tLog *log = nntp->log;
    const char *group = ArticlesName(job->articles);
    tNumbers copy;
    NumbersInit(&copy);
    if (NumbersCopy(&copy, job->wanted) != E_OK) {
        LogMessage(log, "Could not duplicate missing numbers list");
        return E_OUT_OF_MEMORY;
    }
    int retries = 0;
    tDiag result = E_OK;
    while (NumbersRanges(&copy) > 0) {
        tRange range = *NumbersRange(&copy, 0);
        char command[COMMAND_SIZE];
        tDiag d = FormatCommand(command, sizeof command, "XHDR %s %ld-%ld\r\n", xhdrFields[field], (long)range.low,
                                (long)range.high);
        if (d != E_OK) {
            result = d;
            break;
        }
        int n = PerformRangeCommand(reader, log, NumbersRanges(&copy) - 1, command, "XHDR response");
        char *line = reader->buf;
        d = n < 0 ? n : E_OK;
        if (d == E_OK && ReplyCode(line) != 221) {
            line[WithoutLineEnd(line, n)] = 0;
            LogMessage(log, "XHDR failed: %s\n", line);
            result = E_XOVER_EMULATION;
            break;
        }
        bool done = false;
        while (d == E_OK) {
            n = ReadDataLine(reader, log, "XHDR data");
            if (n <= 0) {
                if (n == 0) done = true;
                else d = n;
                break;
            }
            long number = NumberOf(line);
            if (number < range.low || number > range.high) {
                LogMessage(log, "Warning: Out of range %ld-%ld, ignoring: %s\n", (long)range.low, (long)range.high,
                           line);
                continue;
            }
            if (fwrite(line, 1, n, file) != (size_t)n) {
                NntpCloseSocket(nntp);
                LogMessage(log, "Could not write into XHDR temporary file");
                result = E_DISK_WRITE;
                d = E_DISK_WRITE;
                break;
            }
            NumbersRemoveUpTo(&copy, (int32_t)number);
        }
        if (result != E_OK) break;
        if (done) {
            NumbersRemoveUpTo(&copy, range.high);
            continue;
        }
        if (d == E_SHUTDOWN) {
            result = d;
            break;
        }
        if (++retries > overviewLimits.emulationRetries) {
            result = E_XOVER_EOFS;
            break;
        }
        d = Reconnect(nntp, DEFAULT_TIMEOUT, cancelSocket, requester);
        if (d == E_OK) d = SelectJobGroup(nntp, group, EMULATION_TIMEOUT, cancelSocket, requester, true);
        if (d != E_OK) {
            result = d;
            break;
        }
    }
    NumbersFree(&copy);
    return result;
}

// Merges the field files into overview lines for the index.
tDiag XhdrMerge(tOverviewJob *job, tXhdrFiles *files) {
    tLog *log = job->nntp->log;
    LogMessage(log, "Merging fields.\n");
    tFieldCursor cursors[XF_COUNT];
    for (int i = 0; i < XF_COUNT; i++) {
        rewind(files->file[i]);
        cursors[i].file = files->file[i];
    }
    tOverviewAdd add = AddContext(job);
    char subject[1024], from[1024], date[256], references[4096];
    char *overview = static_cast<char *>(malloc(COMMAND_SIZE));
    if (!overview) return E_OUT_OF_MEMORY;
    tDiag result = E_OK;
    tFieldCursor *ids = &cursors[XF_MSGID];
    while (NextLine(ids->file, &ids->line, &ids->size)) {
        long n = NumberOf(ids->line);
        const char *msgId = LineValue(ids->line);
        if (strlen(msgId) > 1023) {
            LogMessage(log, "Message-ID %s is too long. Not taking article.\n", msgId);
            continue;
        }
        CopyField(subject, sizeof subject, FieldValue(&cursors[XF_SUBJECT], n));
        CopyField(from, sizeof from, FieldValue(&cursors[XF_FROM], n));
        CopyField(date, sizeof date, FieldValue(&cursors[XF_DATE], n));
        CopyField(references, sizeof references, FieldValue(&cursors[XF_REFERENCES], n));
        tArticleData sizes;
        sizes.db = subject;
        sizes.bytes = NumberField(FieldValue(&cursors[XF_BYTES], n));
        sizes.lines = NumberField(FieldValue(&cursors[XF_LINES], n));
        ArticleDataGuessSizes(&sizes);
        int length = snprintf(overview, COMMAND_SIZE, "%ld\t%s\t%s\t%s\t%s\t%s\t%ld\t%ld\r\n", n, subject, from, date,
                              msgId, references, sizes.bytes, sizes.lines);
        if (length < 0 || length >= COMMAND_SIZE) {
            result = E_BUFFER_TOO_SMALL;
            break;
        }
        long prev = -1;
        int r = AddOverviewLine(&add, overview, &prev, job->useServerNumber, tRange{(int32_t)n, (int32_t)n});
        if (r < 0) LogMessage(log, "Article add error: %s.\n", DiagText(r));
        if (IsStoreExhaustion(r)) {
            result = r;
            break;
        }
        NumbersRemoveUpTo(job->wanted, (int32_t)n);
    }
    for (int i = 0; i < XF_COUNT; i++) free(cursors[i].line);
    free(overview);
    return result;
}

}  // namespace

tDiag FetchOverviewByXhdr(tOverviewJob *job, const tRequester *requester) {
    tNntp *nntp = job->nntp;
    tLog *log = nntp->log;
    int cancelSocket = CancelOf(job->cancelSocket);
    if (mkdir("xhdr", 0755) != 0 && errno != EEXIST) {
        LogMessage(log, "Could not create temporary XHDR file");
        return E_OUT_OF_FILES;
    }
    tDiag d = SelectJobGroup(nntp, ArticlesName(job->articles), EMULATION_TIMEOUT, cancelSocket, requester, true);
    if (d != E_OK) return d;
    tXhdrFiles files;
    for (int i = 0; i < XF_COUNT; i++) {
        int n = snprintf(files.path[i], sizeof files.path[i], "xhdr/%s_%s", nntp->server->diskName, xhdrFields[i]);
        if (n < 0 || n >= (int)sizeof files.path[i]) {
            files.path[i][0] = 0;
            LogMessage(log, "Pathname of temporary XHDR file too long");
            return E_PATH_TOO_LONG;
        }
        files.file[i] = fopen(files.path[i], "w+");
        if (!files.file[i]) {
            files.path[i][0] = 0;
            LogMessage(log, "Could not create temporary XHDR file");
            return E_OUT_OF_FILES;
        }
    }
    char *buffer = static_cast<char *>(malloc(LINE_SIZE));
    if (!buffer) return E_OUT_OF_MEMORY;
    tLineReader reader{nntp, cancelSocket, buffer, 0};
    for (int i = 0; i < XF_COUNT && d == E_OK; i++)
        d = XhdrFetchField(job, requester, cancelSocket, &reader, i, files.file[i]);
    free(buffer);
    for (int i = 0; i < XF_COUNT && d == E_OK; i++)
        if (fflush(files.file[i]) != 0) d = E_DISK_WRITE;
    if (d == E_OK) d = XhdrMerge(job, &files);
    return d;
}

// ---------------------------------------------------------------------------
// HEAD emulation

namespace {

// Logs the number of a head: "[n] ", a new log line for multiples of 8, at a
// range start and after a failure.
void LogHeadNumber(tLog *log, long n, bool newLine) {
    if (newLine || n % 8 == 0)
        LogMessage(log, "[%ld] ", n);
    else
        LogRaw(log, "[%ld] ", n);
}

// Reads the head lines of an article into fields; E_OK at the terminator.
tDiag ReadHead(tLineReader *reader, tHeaderFields *fields) {
    HeaderFieldsReset(fields);
    for (;;) {
        int n = ReadLine(reader, 0, overviewLimits.dataLineSeconds, "article head line");
        if (n < 0) return n;
        if (IsTerminator(reader->buf)) return E_OK;
        HeaderFieldsCollect(fields, reader->buf[0] == '.' ? reader->buf + 1 : reader->buf);
    }
}

// The Message-ID of a 221/223 answer "code number <id> ...", copied into out.
bool AnswerMsgId(const char *answer, char *out, size_t size) {
    const char *start = strchr(answer, '<');
    if (!start) return false;
    const char *end = strchr(start, '>');
    if (!end || (size_t)(end - start + 1) >= size) return false;
    memcpy(out, start, end - start + 1);
    out[end - start + 1] = 0;
    return true;
}

}  // namespace

tDiag FetchOverviewByHead(tOverviewJob *job, const tRequester *requester) {
    tNntp *nntp = job->nntp;
    tLog *log = nntp->log;
    int cancelSocket = CancelOf(job->cancelSocket);
    tNumbers *wanted = job->wanted;
    int32_t groupLow = 0;
    tDiag d = SelectJobGroup(nntp, ArticlesName(job->articles), EMULATION_TIMEOUT, cancelSocket, requester, true,
                             &groupLow);
    if (d != E_OK) return d;
    char *buffer = static_cast<char *>(malloc(LINE_SIZE));
    tHeaderFields *fields = static_cast<tHeaderFields *>(malloc(sizeof(tHeaderFields)));
    char *overview = static_cast<char *>(malloc(COMMAND_SIZE));
    if (!buffer || !fields || !overview) {
        free(buffer);
        free(fields);
        free(overview);
        return E_OUT_OF_MEMORY;
    }
    tLineReader reader{nntp, cancelSocket, buffer, 0};
    tOverviewAdd add = AddContext(job);
    bool newRange = true, restartFirst = false, lineStart = true;
    long previous = -1;
    int groupLowRestarts = 0;
    int stalls = 0;  // restarts after a walk went back, without progress
    tRange range{0, 0};
    tDiag result = E_OK;
    char command[64];
    char answerId[1024];
    while (NumbersRanges(wanted) > 0) {
        long asked = -1;  // the number asked for, or -1 (the current article)
        bool walking = false;
        if (restartFirst) {
            range = *NumbersRange(wanted, 0);
            asked = range.low;
            previous = range.low - 1;
            restartFirst = false;
        } else if (newRange) {
            range = *NumbersRange(wanted, 0);
            LogMessage(log, "Exploring %ld-%ld\n", (long)range.low, (long)range.high);
            lineStart = true;
            previous = (long)range.low - 1;
            if (range.low >= 2) asked = range.low;
        } else {
            walking = true;
            d = SendDiag(SendCommand(nntp, "NEXT\r\n"));
            int n = d == E_OK ? ReadLine(&reader, 0, overviewLimits.responseSeconds, "NEXT response") : d;
            if (n < 0) {
                result = n;
                break;
            }
            int code = ReplyCode(buffer);
            if (code == 421) break;
            if (code == 420) {
                if (range.high != OPEN_END || groupLowRestarts > 0) break;
                groupLowRestarts++;
                asked = groupLow;
                walking = false;
            } else if (code != 223) {
                buffer[WithoutLineEnd(buffer, n)] = 0;
                LogMessage(log, "NEXT failed: %s\n", buffer);
                result = E_XOVER_EMULATION;
                break;
            }
        }
        if (asked >= 0)
            snprintf(command, sizeof command, "HEAD %ld\r\n", asked);
        else
            snprintf(command, sizeof command, "HEAD\r\n");
        d = SendDiag(SendCommand(nntp, command));
        int n = d == E_OK ? ReadLine(&reader, 0, overviewLimits.responseSeconds, "HEAD response") : d;
        if (n < 0) {
            result = n;
            break;
        }
        int code = ReplyCode(buffer);
        if (code == 423) {
            buffer[WithoutLineEnd(buffer, n)] = 0;
            LogMessage(log, "HEAD failed: %s\n", buffer);
            if (asked >= 0) {
                (void)NumbersRemove(wanted, (int32_t)asked, (int32_t)asked);
                newRange = true;
            } else {
                newRange = false;
            }
            continue;
        }
        long number = -1;
        if (code == 221) {
            const char *p = buffer + 3;
            while (*p == ' ') p++;
            char *end;
            number = strtol(p, &end, 10);
            if (end == p) number = -1;
        }
        if (code != 221 || number < 0 || !AnswerMsgId(buffer, answerId, sizeof answerId)) {
            buffer[WithoutLineEnd(buffer, n)] = 0;
            LogMessage(log, "HEAD failed: %s\n", buffer);
            result = E_XOVER_EMULATION;
            break;
        }
        d = ReadHead(&reader, fields);
        if (d != E_OK) {
            result = d;
            break;
        }
        if (strcasecmp(fields->msgId, answerId) != 0)
            LogMessage(log, "Message-ID does not match, had %s expected %s\n", fields->msgId, answerId);
        tArticleData sizes;
        sizes.db = fields->subject;
        sizes.bytes = fields->bytes;
        sizes.lines = fields->lines;
        ArticleDataGuessSizes(&sizes);
        TabsToBlanks(fields->subject);
        TabsToBlanks(fields->from);
        TabsToBlanks(fields->date);
        TabsToBlanks(fields->msgId);
        TabsToBlanks(fields->references);
        int length = snprintf(overview, COMMAND_SIZE, "%ld\t%s\t%s\t%s\t%s\t%s\t%ld\t%ld\r\n", number,
                              fields->subject, fields->from, fields->date, fields->msgId, fields->references,
                              sizes.bytes, sizes.lines);
        int r = length > 0 && length < COMMAND_SIZE ? AddOverviewLine(&add, overview, &previous, job->useServerNumber,
                                                                      range)
                                                    : E_BUFFER_TOO_SMALL;
        LogHeadNumber(log, number, lineStart);
        lineStart = false;
        if (r < 0) {
            LogMessage(log, "Article add error: %s.\n", DiagText(r));
            lineStart = true;
            if (IsStoreExhaustion(r)) {
                result = r;
                break;
            }
        }
        if (r == E_NUMBER_NOT_GREATER && walking) {
            // The walk went back: start the first range again, but not forever.
            if (++stalls > overviewLimits.emulationRetries) {
                result = E_XOVER_EMULATION;
                break;
            }
            restartFirst = true;
            continue;
        }
        stalls = 0;
        NumbersRemoveUpTo(wanted, (int32_t)number);
        newRange = number >= range.high;
    }
    if (!lineStart) LogRaw(log, "\n");
    free(buffer);
    free(fields);
    free(overview);
    return result;
}

// ---------------------------------------------------------------------------
// The Message-ID pass

tDiag MatchByMessageId(tNntp *nntp, tArticles *articles, tNumbers *wanted, tNumbers *seen, const char *groupName,
                       const tRequester *requester, tAddCounters *counters) {
    tLog *log = nntp->log;
    tServer *server = nntp->server;
    int cancelSocket = CancelSocketGet();
    tAddCounters local{};
    if (!counters) counters = &local;
    if (!(server->listgroupIfGroupFails && GroupIsCurrent(nntp, groupName))) {
        tDiag d = SelectJobGroup(nntp, groupName, EMULATION_TIMEOUT, cancelSocket, requester, true);
        if (d != E_OK) return d;
    }
    tNumbers copy;
    NumbersInit(&copy);
    if (NumbersCopy(&copy, wanted) != E_OK) {
        LogMessage(log, "Could not duplicate missing numbers list");
        return E_OUT_OF_MEMORY;
    }
    char *buffer = static_cast<char *>(malloc(LINE_SIZE));
    if (!buffer) {
        NumbersFree(&copy);
        return E_OUT_OF_MEMORY;
    }
    tLineReader reader{nntp, cancelSocket, buffer, 0};
    LogDotsInit(log, 50);
    bool useXpat = false;
    int retries = 0;
    tDiag result = E_OK;
    bool allowNotGreater = server->xhdrMessageIdAllowNumberNotGreater != 0;
    while (NumbersRanges(&copy) > 0 && result == E_OK) {
        tRange range = *NumbersRange(&copy, 0);
        char command[128];
        if (useXpat)
            snprintf(command, sizeof command, "XPAT MESSAGE-ID %ld-%ld *\r\n", (long)range.low, (long)range.high);
        else
            snprintf(command, sizeof command, "XHDR MESSAGE-ID %ld-%ld\r\n", (long)range.low, (long)range.high);
        int n = PerformRangeCommand(&reader, log, NumbersRanges(&copy) - 1, command, "XHDR response");
        tDiag d = n < 0 ? n : E_OK;
        int code = d == E_OK ? ReplyCode(buffer) : 0;
        long lastGood = range.low - 1;  // the number of the last good line
        if (d == E_OK && code == 420) {
            LogMessage(log, "Assuming no articles in range.\n");
            break;
        }
        if (d == E_OK && code != 221 && code != 503) {
            buffer[WithoutLineEnd(buffer, n)] = 0;
            LogMessage(log, "XHDR failed: %s\n", buffer);
            if (useXpat) break;
            useXpat = true;
            continue;
        }
        bool done = false;
        if (d == E_OK && code == 221) {
            long previous = range.low - 1;
            long leap = 0;  // the number of a refused leap line
            long runStart = -1, runEnd = -1;
            long lines = 0;
            for (;;) {
                n = ReadDataLine(&reader, log, "XHDR MESSAGE-ID data");
                if (n <= 0) {
                    if (n == 0) done = true;
                    else d = n;
                    break;
                }
                if (++lines % 25 == 0) LogDotChar(log);
                long number = -1;
                long before = previous;
                int r = ParseXhdrMsgIdLine(articles, buffer, server->id, &previous, log, range, allowNotGreater);
                if (r == E_TENFOLD_LEAP) {
                    long leapNumber = NumberOf(buffer);
                    if (leap == 0) {
                        LogMessage(log, "%s, from %ld: %s\n", DiagText(r), before, buffer);
                        leap = leapNumber;
                    } else if (leapNumber > leap && leapNumber <= 10 * leap) {
                        LogMessage(log, "Recovering leap: %s\n", buffer);
                        previous = leap;
                        leap = 0;
                        r = ParseXhdrMsgIdLine(articles, buffer, server->id, &previous, log, range,
                                               allowNotGreater);
                        if (r < 0) LogMessage(log, "%s: %s\n", DiagText(r), buffer);
                    } else {
                        LogMessage(log, "%s: %s\n", DiagText(r), buffer);
                    }
                } else if (r < 0) {
                    LogMessage(log, "%s: %s\n", DiagText(r), buffer);
                }
                CountOutcome(counters, r);
                if (r >= 0) lastGood = number = previous;  // an accepted line's number became the previous one
                if (r >= AA_REGET && r <= AA_DUP) {
                    if (runStart < 0) runStart = number;
                    runEnd = number;
                    (void)NumbersAdd(seen, (int32_t)number, (int32_t)number);
                } else if (runStart >= 0) {
                    (void)NumbersRemove(wanted, (int32_t)runStart, (int32_t)runEnd);
                    runStart = -1;
                }
            }
            if (runStart >= 0) {
                if (done && range.high == OPEN_END) runEnd = OPEN_END;
                if (done || d != E_OK) (void)NumbersRemove(wanted, (int32_t)runStart, (int32_t)runEnd);
            }
        }
        if (done) {
            NumbersRemoveUpTo(&copy, range.high);
            continue;
        }
        if (d == E_SHUTDOWN) {
            result = d;
            break;
        }
        // A broken listing, or 503: go on after the last good line.
        if (lastGood >= range.low) NumbersRemoveUpTo(&copy, (int32_t)lastGood);
        if (++retries > overviewLimits.emulationRetries) {
            result = E_XOVER_EOFS;
            break;
        }
        d = Reconnect(nntp, DEFAULT_TIMEOUT, cancelSocket, requester);
        if (d == E_OK) d = SelectJobGroup(nntp, groupName, EMULATION_TIMEOUT, cancelSocket, requester, true);
        if (d != E_OK) result = d;
    }
    (void)NumbersCollapseWith(wanted, server->numbersCollapseMinDistance, server->numbersCollapseMaxRanges,
                              numbersCollapseMinDistance, numbersCollapseMaxRanges);
    free(buffer);
    NumbersFree(&copy);
    return result;
}
