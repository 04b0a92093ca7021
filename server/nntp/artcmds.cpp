// The reader's article and overview commands.
#include "server/nntp/artcmds.h"

#include "lib/dates.h"
#include "lib/html.h"
#include "lib/sendlog.h"
#include "lib/sock.h"
#include "lib/strings.h"
#include "lib/wildmatch.h"
#include "server/nntp/session.h"
#include "server/retrieve/direct.h"
#include "server/settings/settings.h"
#include "server/store/article_data.h"
#include "server/store/articles.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

long (*artAsyncSchedule)(const char *, long, const char *, long, const char *) = nullptr;
int (*artAsyncDeliver)(tSession *, long, int, int) = nullptr;
tDiag (*artAsyncList)(tSession *, int, const char *) = nullptr;

namespace {

const char *const HEADER_NAMES[OVH_COUNT_] = {"",      "SUBJECT", "FROM",  "DATE",       "MESSAGE-ID", "REFERENCES",
                                             "BYTES", "LINES",   "XREF", "MGSERVREFS", "MGSUBJECT"};

constexpr int WORK_TEXT = 16384;  // answers composed for the reader

bool IsAdmin(tSession *session) { return session->reader && session->reader->authLevel == AUTH_ADMIN; }

int Send(tSession *session, const char *text) { return SendAndLog(session->conversation.socket, text, &session->log); }

// "</mg" followed by a digit.
bool IsRenumberedForm(const char *word) { return strncmp(word, "</mg", 4) == 0 && isdigit((unsigned char)word[4]); }

// The flags prefix: "/r ", "/a ", "/ra " or "".
const char *FlagsPrefix(int flags, char *buffer) {
    if (!(flags & (ART_RETRIEVED | ART_QUEUED))) return "";
    char *p = buffer;
    *p++ = '/';
    if (flags & ART_RETRIEVED) *p++ = 'r';
    if (flags & ART_QUEUED) *p++ = 'a';
    *p++ = ' ';
    *p = 0;
    return buffer;
}

// The Date as listed: reformatted when asked and it parses.
const char *ListedDate(const char *date, char *buffer, int size) {
    if (!reformatDates) return date;
    static const char *const weekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm tm;
    if (ParseDate(date, &tm, false) == (time_t)-1 || tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 ||
        tm.tm_mon > 11)
        return date;
    if (FormatBounded(buffer, size, "%s, %d %s %d  %02d:%02d:%02d", weekdays[tm.tm_wday], tm.tm_mday,
                      months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec) < 0)
        return date;
    return buffer;
}

}  // namespace

const char *ShownMsgId(char *buffer, int size, const char *msgId, long number, int flags) {
    if (!(flags & ART_RENUMBERED)) return msgId;
    if (FormatBounded(buffer, size, "</mg%ld/%s", number, msgId[0] == '<' ? msgId + 1 : msgId) < 0) return msgId;
    return buffer;
}

// ===========================================================================
// Overview listings

namespace {

// The output of a listing: lines gathered and written in pieces with the
// store lock released.
struct tListOut {
    int socket;
    tLog *log;
    char *data;      // the caller's buffer
    int size;
    int used = 0;
    bool failed = false;
};

bool ListFlush(tListOut *out) {
    if (out->failed) return false;
    int at = 0;
    while (at < out->used) {
        int n = SendBytes(out->socket, out->data + at, out->used - at);
        if (n <= 0) {
            // The last line of the piece is what could not be sent.
            int start = out->used - 1;
            while (start > 0 && out->data[start - 1] != '\n') start--;
            LogMessage(out->log, "Could not send this: %.*s", out->used - start, out->data + start);
            out->failed = true;
            return false;
        }
        at += n;
    }
    out->used = 0;
    return true;
}

// Formats one line into the buffer; false when the buffer is full (the
// caller flushes and repeats) or the line alone is too long (skipped:
// *skip set).
bool ListLine(tListOut *out, bool *skip, const char *format, ...) __attribute__((format(printf, 3, 4)));
bool ListLine(tListOut *out, bool *skip, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int room = out->size - out->used;
    int n = vsnprintf(out->data + out->used, (size_t)room, format, args);
    va_end(args);
    *skip = false;
    if (n < 0) {
        *skip = true;
        return false;
    }
    if (n >= room) {
        if (out->used == 0) *skip = true;
        return false;
    }
    out->used += n;
    return true;
}

// Appends the line of one article. False when the buffer must be flushed
// first (nothing added).
bool ArticleLine(tListOut *out, tArticles *articles, const tArticleFull *full, int headerIndex, int html,
                 int retrievedShow, const char *pattern, bool *skip) {
    const tArticleData *adt = &full->adt;
    const tArticle *a = full->a;
    long number = a->number;
    char prefixBuffer[8];
    char msgIdBuffer[1100];
    char dateBuffer[64];
    char refsBuffer[1100];
    char numberText[32];
    *skip = false;
    const char *prefix = FlagsPrefix(a->flags, prefixBuffer);
    const char *value = nullptr;  // what a pattern is matched against
    switch (headerIndex) {
    case OVH_SUBJECT: value = ArticleDataSubject(adt); break;
    case OVH_FROM: value = ArticleDataFrom(adt); break;
    case OVH_DATE: value = ListedDate(ArticleDataDate(adt), dateBuffer, sizeof dateBuffer); break;
    case OVH_MESSAGE_ID:
        value = ShownMsgId(msgIdBuffer, sizeof msgIdBuffer, a->msgId, number, a->flags);
        break;
    case OVH_REFERENCES: value = ArticleDataRefs(adt); break;
    case OVH_BYTES:
    case OVH_LINES:
        snprintf(numberText, sizeof numberText, "%ld", headerIndex == OVH_BYTES ? adt->bytes : adt->lines);
        value = numberText;
        break;
    case OVH_MGSERVREFS:
        if (ServRefsFormat(&a->refs, refsBuffer, sizeof refsBuffer) != E_OK) refsBuffer[0] = 0;
        value = refsBuffer;
        break;
    case OVH_MGSUBJECT: value = ArticleDataSubject(adt); break;
    case OVH_XREF: *skip = true; return true;
    default: break;
    }
    if (pattern && value && !WildMatch(value, pattern, 0)) {
        *skip = true;
        return true;
    }
    if (headerIndex == OVH_XOVER) {
        const char *msgId = ShownMsgId(msgIdBuffer, sizeof msgIdBuffer, a->msgId, number, a->flags);
        if (html) {
            // The web table: texts made safe for HTML, long runs broken.
            char *subject = static_cast<char *>(malloc(3 * 4096));
            if (!subject) {
                *skip = true;
                return true;
            }
            char *from = subject + 4096;
            char *shown = subject + 8192;
            (void)HtmlText(subject, 4096, ArticleDataSubject(adt), 0, 24);
            (void)HtmlText(from, 4096, ArticleDataFrom(adt), 1, 30);
            char renumbered[64] = "";
            const char *id = a->msgId;
            if (a->flags & ART_RENUMBERED) {
                snprintf(renumbered, sizeof renumbered, "&lt;/mg%ld/", number);
                if (id[0] == '<') id++;
            }
            (void)HtmlText(shown, 4096, id, 1, 24);
            bool ok = ListLine(out, skip,
                               "<tr><td>%ld</td><td>%s</td><td>%s%s</td><td>%s</td><td>%s%s</td><td>%ld</td><td>%ld</td>"
                               "</tr>\r\n",
                               number, HtmlNonEmpty(subject, 1), prefix, HtmlNonEmpty(from, 1),
                               HtmlNonEmpty(ArticleDataDate(adt), 1), renumbered, HtmlNonEmpty(shown, 1), adt->bytes,
                               adt->lines);
            free(subject);
            return ok;
        }
        const char *date = ListedDate(ArticleDataDate(adt), dateBuffer, sizeof dateBuffer);
        if (provideXrefs)
            return ListLine(out, skip, "%ld\t%s\t%s%s\t%s\t%s\t%s\t%ld\t%ld\tXref: mergator %s:%ld\r\n", number,
                            ArticleDataSubject(adt), retrievedShow ? prefix : "", ArticleDataFrom(adt), date, msgId,
                            ArticleDataRefs(adt), adt->bytes, adt->lines, ArticlesName(articles), number);
        return ListLine(out, skip, "%ld\t%s\t%s%s\t%s\t%s\t%s\t%ld\t%ld\t\t\r\n", number, ArticleDataSubject(adt),
                        retrievedShow ? prefix : "", ArticleDataFrom(adt), date, msgId, ArticleDataRefs(adt),
                        adt->bytes, adt->lines);
    }
    if (headerIndex == OVH_MGSUBJECT || (headerIndex == OVH_FROM && retrievedShow))
        return ListLine(out, skip, "%ld\t%s%s\r\n", number, prefix, value);
    return ListLine(out, skip, "%ld\t%s\r\n", number, value);
}

// ArticlesListNumbersTo's writer on a tListOut.
int WriteToSocket(void *output, const char *text, size_t length) {
    int socket = *static_cast<int *>(output);
    size_t at = 0;
    while (at < length) {
        int n = SendBytes(socket, text + at, (int)(length - at));
        if (n <= 0) return -1;
        at += (size_t)n;
    }
    return 0;
}

}  // namespace

tDiag OverviewList(tArticles *articles, tRange range, int headerIndex, char *buffer, int size, int socket, int html,
                   int retrievedShow, const char *pattern, tLog *log) {
    if (headerIndex == OVH_LINES && !pattern && !html) {
        int s = socket;
        tDiag d = ArticlesListNumbersTo(articles, &range, WriteToSocket, &s);
        if (d == E_CLIENT_DISCONNECTED) LogMessage(log, "Could not send this: %s", "(list of lines)\r\n");
        return d;
    }
    tListOut out{socket, log, buffer, size};
    if (html && headerIndex == OVH_XOVER) {
        bool skip;
        if (!ListLine(&out, &skip,
                      "<form><table border=1 cellspacing=0><tr><th colspan=7>List of articles &nbsp; <input "
                      "type=submit value=Update name=%s></th></tr>\r\n</form>\r\n<tr><th>Number</th><th>Subject</th>"
                      "<th>From</th><th>Date</th><th>Message-ID</th><th>Bytes</th><th>Lines</th></tr>\r\n",
                      ArticlesName(articles)) ||
            !ListFlush(&out))
            return E_CLIENT_DISCONNECTED;
    }
    if (headerIndex == OVH_XREF || range.low > range.high) {
        if (html && headerIndex == OVH_XOVER && (SendBytes(socket, "</table>\r\n", 10) != 10))
            return E_CLIENT_DISCONNECTED;
        return E_OK;
    }
    // Visible rows of the range, read in batches: the walk ends before each
    // write so that no statement stays open without the lock.
    char condition[96];
    snprintf(condition, sizeof condition, " AND number<=%ld AND NOT servRefs='' AND NOT (flags & %d)",
             (long)range.high, ART_HIDDEN);
    long from = range.low;
    tDiag result = E_OK;
    bool more = true;
    while (more && result == E_OK) {
        ArticlesLock(articles);
        tArticleFull full{};
        tDiag d = ArticlesIterStart(&full, articles, from, 1, condition);
        bool full_buffer = false;
        while (d == E_OK) {
            bool skip = false;
            if (!ArticleLine(&out, articles, &full, headerIndex, html, retrievedShow, pattern, &skip) && !skip) {
                full_buffer = true;  // this article again after the write
                from = full.a->number;
                break;
            }
            d = ArticlesIterNext(&full);
        }
        ArticlesIterEnd(&full);
        ArticlesUnlock(articles);
        if (d != E_OK && d != E_ARTICLE_NOT_FOUND) result = d;
        if (!full_buffer) more = false;
        if (!ListFlush(&out)) result = E_CLIENT_DISCONNECTED;
    }
    if (result == E_OK && html && headerIndex == OVH_XOVER && SendBytes(socket, "</table>\r\n", 10) != 10)
        result = E_CLIENT_DISCONNECTED;
    return result;
}

int OverviewCommand(tSession *session, int command, char **words, int count) {
    static const char XPAT_USAGE[] = "501 xpat header range|MessageID pat [morepat...]\r\n";
    int headerIndex = OVH_XOVER;
    int w = 0;
    // 1. The header.
    if (command != OVCMD_XOVER) {
        if (count < 1) {
            Send(session, command == OVCMD_XPAT ? XPAT_USAGE : "501 header [range|MessageID]\r\n");
            return 0;
        }
        headerIndex = -1;
        for (int i = 1; i < OVH_COUNT_; i++)
            if (strcasecmp(words[0], HEADER_NAMES[i]) == 0) headerIndex = i;
        if (headerIndex < 0 || (headerIndex == OVH_MGSERVREFS && !IsAdmin(session))) {
            Send(session,
                 "501 Only XHDR SUBJECT/FROM/DATE/MESSAGE-ID/REFERENCES/BYTES/LINES/fake-XREF are implemented\r\n");
            return 0;
        }
        w = 1;
    }
    // 2. The group.
    if (!session->localServer && SessionOpenGroup(session, true) < 0) return 0;
    // 3. The range.
    tRange range{0, -1};
    const char *rangeWord = w < count ? words[w] : nullptr;
    if (rangeWord && (rangeWord[0] == '<' || IsRenumberedForm(rangeWord))) {
        if (IsRenumberedForm(rangeWord) && session->localServer) {
            range.low = range.high = atol(rangeWord + 4);
        } else if (session->localServer) {
            Send(session, "500 Incorrect format for Message-ID in async news-group.\r\n");
            return 0;
        } else {
            char *msgId = static_cast<char *>(malloc(RETRIEVE_MSGID_SIZE + 8));
            if (!msgId) {
                Send(session, "500 Out of memory\r\n");
                return 0;
            }
            const char *word = rangeWord;
            if (IsRenumberedForm(word)) {
                const char *p = word + 4;
                while (isdigit((unsigned char)*p)) p++;
                if (*p == '/') {
                    snprintf(msgId, RETRIEVE_MSGID_SIZE + 8, "<%s", p + 1);
                    word = msgId;
                }
            }
            if (word != msgId) snprintf(msgId, RETRIEVE_MSGID_SIZE + 8, "%s", word);
            ArticlesLock(session->articles);
            tArticleFull full{};
            tDiag d = ArticlesFindByMsgId(session->articles, msgId, &full);
            if (d == E_OK) {
                range.low = range.high = full.a->number;
                ArticleFullFree(&full);
            }
            ArticlesUnlock(session->articles);
            free(msgId);
            if (d != E_OK) {
                Send(session, "430 no such article\r\n");
                return 0;
            }
        }
    } else if (rangeWord) {
        const char *p = rangeWord;
        while (*p == ' ' || *p == '\t') p++;
        char *end;
        long low = strtol(p, &end, 10);
        if (end == p) low = 0;
        range.low = low;
        range.high = low;
        if (*end == '-') {
            const char *q = end + 1;
            if (*q == 0) {
                range.high = 2147483647;
            } else {
                char *end2;
                long high = strtol(q, &end2, 10);
                range.high = end2 == q ? 0 : high;
            }
        }
    } else if (command == OVCMD_XPAT) {
        Send(session, XPAT_USAGE);
        return 0;
    } else {
        range.low = range.high = session->currentNumber;
    }
    // 4. The pattern of XPAT: the remaining words joined by one blank.
    const char *pattern = nullptr;
    if (command == OVCMD_XPAT) {
        if (w + 1 >= count) {
            Send(session, XPAT_USAGE);
            return 0;
        }
        char joined[sizeof session->patterns];
        joined[0] = 0;
        int used = 0;
        for (int i = w + 1; i < count; i++) {
            int n = snprintf(joined + used, sizeof joined - (size_t)used, "%s%s", i > w + 1 ? " " : "", words[i]);
            if (n < 0 || used + n >= (int)sizeof joined) {
                Send(session, XPAT_USAGE);
                return 0;
            }
            used += n;
        }
        memcpy(session->patterns, joined, sizeof joined);
        pattern = session->patterns;
    }
    // 5. The first line.
    char first[80];
    if (command == OVCMD_XOVER)
        snprintf(first, sizeof first, "224 Overview information follows\r\n");
    else if (command == OVCMD_XPAT)
        snprintf(first, sizeof first, "221 %s matches follow.\r\n", HEADER_NAMES[headerIndex]);
    else
        snprintf(first, sizeof first, "221 Header follows\r\n");
    if (Send(session, first) < 0) return 0;
    // 6. The lines.
    if (session->localServer) {
        if (artAsyncList) (void)artAsyncList(session, headerIndex, pattern);
    } else {
        tDiag d = EnsureGroupLoaded(session);
        ArticlesUnlock(session->articles);
        if (d != E_OK) LogMessage(&session->log, "Could not add the download placeholder: %s.\n", DiagText(d));
        char *buffer = static_cast<char *>(malloc(65536));
        if (!buffer) return 0;
        d = OverviewList(session->articles, range, headerIndex, buffer, 65536, session->conversation.socket, 0,
                         session->retrievedShow, pattern, &session->log);
        free(buffer);
        if (d == E_CLIENT_DISCONNECTED) return 0;
        if (d != E_OK) LogMessage(&session->log, "Listing failed: %s.\n", DiagText(d));
    }
    SendDotLine(session->conversation.socket, &session->log);
    return 0;
}

// ===========================================================================
// Articles

namespace {

enum { BY_NUMBER, BY_MSGID, BY_CURRENT };

// The state of one article command, kept off the client thread's small stack.
struct tArticleWork {
    char msgId[RETRIEVE_MSGID_SIZE + 8];
    char text[WORK_TEXT];
    char shown[RETRIEVE_MSGID_SIZE + 64];
    tArticleFull full;
    tArticleData made;  // the description of an article not in the index
};

// Sends an answer made with format into work->text.
void SendWork(tSession *session, tArticleWork *work, const char *format, ...) __attribute__((format(printf, 3, 4)));
void SendWork(tSession *session, tArticleWork *work, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = FormatBoundedV(work->text, WORK_TEXT, format, args);
    va_end(args);
    if (n < 0) {
        Send(session, "500 Answer too long\r\n");
        return;
    }
    Send(session, work->text);
}

bool IsPlaceholder(const tArticle *a) {
    return a->refs.server <= 0 && ((a->number == 1 && strcmp(a->msgId, "<0>") == 0) ||
                                   (a->number == 1000 && strcmp(a->msgId, "<1>") == 0));
}

// The explanatory article of a group being downloaded.
void AnswerPlaceholder(tSession *session, tArticleWork *work, int commandIndex, const tArticleData *adt,
                       long number) {
    const tRetrieveCommand *cmd = &retrieveCommands[commandIndex];
    const char *msgId = ArticleDataMsgId(adt);
    SendWork(session, work, "%d %ld %s %s\r\n", cmd->code, number, msgId, cmd->text);
    if (commandIndex == ARTCMD_ARTICLE || commandIndex == ARTCMD_HEAD)
        SendWork(session, work,
                 "Subject: %s\r\nFrom: %s\r\nDate: %s\r\nMessage-ID: %s\r\nNewsgroups: %s\r\nReferences: %s\r\n"
                 "Lines: %ld\r\n",
                 ArticleDataSubject(adt), ArticleDataFrom(adt), ArticleDataDate(adt), msgId, session->groupName,
                 ArticleDataRefs(adt), adt->lines);
    if (commandIndex == ARTCMD_ARTICLE) Send(session, "\r\n");
    if (commandIndex == ARTCMD_ARTICLE || commandIndex == ARTCMD_BODY)
        SendWork(session, work,
                 "The %s news-group was not stored locally,\r\nbut is now being downloaded.\r\nPlease check again in "
                 "a few minutes.\r\n",
                 session->groupName);
    if (commandIndex != ARTCMD_STAT) SendDotLine(session->conversation.socket, &session->log);
}

// Whether ARTICLE goes to asynchronous retrieval.
bool WantsAsync(int commandIndex, const tArticleData *adt) {
    if (commandIndex != ARTCMD_ARTICLE || lineTrigger == 0) return false;
    if (lineTrigger < 0) return adt->lines >= -(long)lineTrigger;
    return adt->lines >= lineTrigger &&
           PatternListMatch(ArticleDataSubject(adt), IniStrings(binaryFilter), 0) == 1;
}

int ArticleCommandWith(tSession *session, tArticleWork *work, int commandIndex, const char *argument) {
    tLog *log = &session->log;
    const bool admin = IsAdmin(session);
    const int socket = session->conversation.socket;
    tArticles *articles = nullptr;
    bool locked = false;
    auto unlock = [&] {
        if (locked) ArticlesUnlock(articles);
        locked = false;
    };
    // 1. The group.
    if (!session->localServer) {
        if (session->groupName[0] || !globalMsgIdRetrieval) {
            if (SessionOpenGroup(session, true) < 0) return 0;
        }
        articles = session->articles;
        if (articles) {
            tDiag d = EnsureGroupLoaded(session);
            locked = true;
            if (d != E_OK) LogMessage(log, "Could not add the download placeholder: %s.\n", DiagText(d));
        }
    }
    // 2. The article designated.
    int how = BY_CURRENT;
    long number = -1;
    work->msgId[0] = 0;
    if (argument && IsRenumberedForm(argument)) {
        if (session->localServer) {
            number = atol(argument + 4);
            how = BY_NUMBER;
        } else {
            const char *p = argument + 4;
            while (isdigit((unsigned char)*p)) p++;
            if (*p == '/') {
                if (FormatBounded(work->msgId, (int)sizeof work->msgId, "<%s", p + 1) < 0) {
                    unlock();
                    Send(session, "430 no such article\r\n");
                    return 0;
                }
            } else {
                (void)StrCopyBounded(work->msgId, argument, (int)sizeof work->msgId);
            }
            how = BY_MSGID;
        }
    } else if (argument && argument[0] == '<') {
        if (session->localServer) {
            Send(session, "500 Incorrect format for Message-ID in async news-group.\r\n");
            return 0;
        }
        if (StrCopyBounded(work->msgId, argument, (int)sizeof work->msgId) < 0) {
            unlock();
            Send(session, "430 no such article\r\n");
            return 0;
        }
        how = BY_MSGID;
    } else if (argument && isdigit((unsigned char)argument[0]) && (articles || session->localServer)) {
        number = strtol(argument, nullptr, 10);
        how = BY_NUMBER;
    } else if (articles) {
        number = session->currentNumber;
        how = BY_CURRENT;
    } else if (session->localServer) {
        Send(session, "500 not implemented\r\n");
        return 0;
    } else {
        Send(session, "412 No news group has been selected\r\n");
        return 0;
    }
    if (session->localServer) {
        // The pseudo-group: delivered by asynchronous retrieval.
        if (!artAsyncDeliver) {
            Send(session, "423 no such article number in this group\r\n");
            return 0;
        }
        return artAsyncDeliver(session, number, commandIndex, !admin);
    }
    bool found = false;
    if (articles) {
        tDiag d = how == BY_MSGID ? ArticlesFindByMsgId(articles, work->msgId, &work->full)
                                  : ArticlesFind(articles, number, 0, &work->full);
        if (d == E_OK) {
            found = true;
        } else if (d != E_ARTICLE_NOT_FOUND) {
            unlock();
            SendWork(session, work, "500 %s\r\n", DiagText(d));
            return 0;
        }
    }
    // 6 (first): the download placeholder answers itself, whatever its references.
    if (found && IsPlaceholder(work->full.a)) {
        unlock();
        LogMessage(log, "Subject: %s\n", ArticleDataSubject(&work->full.adt));
        AnswerPlaceholder(session, work, commandIndex, &work->full.adt, work->full.a->number);
        return 0;
    }
    // 3. Not there for the reader.
    if ((found && (work->full.a->refs.server == -1 || (work->full.a->flags & ART_HIDDEN))) ||
        (!found && articles && (how != BY_MSGID || !globalMsgIdRetrieval))) {
        unlock();
        Send(session, "423 no such article number in this group\r\n");
        return 0;
    }
    if (!found && !articles && !globalMsgIdRetrieval) {
        Send(session, "430 no such article\r\n");
        return 0;
    }
    // 4. The description.
    const tArticleData *adt = &work->full.adt;
    if (found) {
        number = work->full.a->number;
        (void)StrCopyBounded(work->msgId, work->full.a->msgId, (int)sizeof work->msgId);
    } else {
        number = 0;
        tDiag d = ArticleDataInit(&work->made, 0, nullptr, nullptr, nullptr, work->msgId, nullptr, 20000, 200, 0);
        if (d != E_OK) {
            unlock();
            SendWork(session, work, "500 %s\r\n", DiagText(d));
            return 0;
        }
        adt = &work->made;
    }
    // 5. The client log.
    LogMessage(log, "Subject: %s\n", ArticleDataSubject(adt));
    if (how != BY_NUMBER) LogMessage(log, "Number: %ld\n", number);
    if (how != BY_MSGID) LogMessage(log, "Message-ID: %s\n", work->msgId);
    // 7. Asynchronous retrieval.
    if (WantsAsync(commandIndex, adt)) {
        char *lastAsync = session->reader ? session->reader->lastAsyncMsgId : nullptr;
        if (reportAsDeleted && lastAsync && strcmp(lastAsync, work->msgId) == 0) {
            unlock();
            Send(session, "423 article is already scheduled for async retrieval\r\n");
            return 0;
        }
        unlock();
        long handle = artAsyncSchedule ? artAsyncSchedule(session->groupName, number, work->msgId, adt->bytes,
                                                          ArticleDataSubject(adt))
                                       : 0;
        if (articles) {
            ArticlesLock(articles);
            locked = true;
        }
        if (handle < 1) {
            LogMessage(log, "Could not setup async getting.\n");
        } else {
            if (found) {
                // The article again: another thread may have changed it.
                ArticleFullFree(&work->full);
                tDiag d = ArticlesFind(articles, number, 0, &work->full);
                if (d != E_OK) {
                    unlock();
                    Send(session, "423 no such article number in this group\r\n");
                    return 0;
                }
                work->full.a->flags |= ART_QUEUED | ART_DIRTY;
                (void)ArticlesSaveArticle(articles, work->full.a);
                adt = &work->full.adt;
            }
            unlock();
            if (reportAsDeleted) {
                if (lastAsync) (void)StrCopyBounded(lastAsync, work->msgId, (int)sizeof session->reader->lastAsyncMsgId);
                SendWork(session, work, "423 article has been scheduled for async retrieval (%lx)\r\n", handle);
            } else {
                SendWork(session, work,
                         "%d %ld %s %s\r\nSubject: %s\r\nFrom: %s\r\nDate: %s\r\nMessage-ID: %s\r\nReferences: "
                         "%s\r\nLines: %ld\r\n\r\nArticle is being retrieved asynchronously, handle %lx\r\n.\r\n",
                         220, number, work->msgId, "head and body follow", ArticleDataSubject(adt),
                         ArticleDataFrom(adt), ArticleDataDate(adt), work->msgId, ArticleDataRefs(adt), adt->lines,
                         handle);
            }
            return 0;
        }
    }
    // 8. Direct retrieval.
    tRetrieval r;
    r.articles = locked ? articles : nullptr;
    r.groupName = session->groupName;
    r.msgId = work->msgId;
    r.localNumber = number;
    r.log = log;
    r.clientSocket = socket;
    r.markRetrieved = session->retrievedMark;
    r.retrievedList = session->retrievedList;
    r.commandIndex = commandIndex;
    r.fullGroupList = session->popularity ? session->popularity : session->groupList;
    r.dropPathAndXref = !admin;
    if (session->reader) r.requester = session->reader->requester;
    else r.requester = {"reader", priorityDirect, KIND_DIRECT};
    if (!locked) r.articles = nullptr;
    // A reader going through the group by number will want the next one.
    if (how == BY_NUMBER && number == session->currentNumber + 1) r.nextNumber = number + 1;
    tDiag d = RetrieveArticle(&r, found ? &work->full.a->refs : nullptr, session->servers, 1);
    locked = false;  // released by the retrieval
    if (d == E_OK) {
        if (how == BY_NUMBER) session->currentNumber = number;
        return 0;
    }
    if (d == E_CLIENT_DISCONNECTED) {
        Send(session, "500 Client aborted request by sending new data or disconnected\r\n");
        return 0;
    }
    if (d == E_DELETED_LOCALLY) {
        LogMessage(log, "Article %ld has been deleted.\n", number);
        Send(session, "423 no such article number in this group\r\n");
        return 0;
    }
    if (!found) {
        Send(session, "430 no such article\r\n");
        return 0;
    }
    const char *failure = d == E_ZOMBIE ? "500 Article is a zombie\r\n" : "500 No server having article is reachable\r\n";
    if (renumber > 2) {
        Send(session, "503 Timeout\r\n");
        return -1;
    }
    if (renumber <= 0 || (!assumeInternetPresent && LocalOnlyCheck() != 0)) {
        Send(session, failure);
        return 0;
    }
    // Moved above the group's highest number: the reader sees it again later.
    ArticlesLock(articles);
    ArticleFullFree(&work->full);
    tDiag found2 = ArticlesFind(articles, number, 0, &work->full);
    if (found2 == E_OK) {
        tDiag moved = ArticlesRenumber(articles, &journal, renumber == 2, &work->full);
        if (moved != E_OK) LogMessage(log, "Could not renumber article %ld: %s.\n", number, DiagText(moved));
    }
    ArticlesUnlock(articles);
    Send(session, "423 no such article number in this group\r\n");
    return 0;
}

}  // namespace

int ArticleCommand(tSession *session, int commandIndex, const char *argument) {
    tArticleWork *work = new (std::nothrow) tArticleWork();
    if (!work) {
        Send(session, "500 Out of memory\r\n");
        return 0;
    }
    int result = ArticleCommandWith(session, work, commandIndex, argument);
    ArticleFullFree(&work->full);
    ArticleDataFree(&work->made);
    delete work;
    return result;
}
