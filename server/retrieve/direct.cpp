// Direct retrieval of articles from the upstream servers.
#include "server/retrieve/direct.h"

#include "lib/dates.h"
#include "lib/dynarray.h"
#include "lib/panic.h"
#include "lib/sendlog.h"
#include "lib/shutdown.h"
#include "lib/sock.h"
#include "lib/strings.h"
#include "server/explore/groupsel.h"
#include "server/settings/settings.h"
#include "server/store/articles.h"
#include "server/store/grouplist.h"
#include "server/upstream/pool.h"
#include "server/upstream/servers.h"

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <unistd.h>

const tRetrieveCommand retrieveCommands[RC_COUNT_] = {
    {"ARTICLE", 220, "head and body follow"},
    {"HEAD", 221, "head follows"},
    {"BODY", 222, "body follows"},
    {"STAT", 223, "request text separately"},
};

tDiag (*retrievedListAdd)(tMil *list, const char *msgId) = nullptr;

namespace {

constexpr int COMMAND_TIMEOUT = 30;   // seconds for the command's answer
constexpr int LINE_TIMEOUT = 300;     // seconds for each article line
constexpr int WAIT_SECONDS = 120;     // for a connection from the pool
constexpr int OUT_SIZE = 262144;      // reader output gathered before a send
constexpr int LINE_SIZE = 4096;       // one piece of an article line
constexpr long READ_AHEAD_BYTES = 65536;  // largest article asked for ahead

const char *Name(const tServer *server) { return server && server->displayName ? server->displayName : "server"; }

bool ClientReadable(int socket) { return socket >= 0 && WaitReadable(socket, 0) == 1; }

void SetSpeed(tServer *server, int speed, int maxSpeed) {
    std::lock_guard<std::mutex> guard(server->lock);
    server->speed = speed;
    if (maxSpeed >= 0) server->maxSpeed = maxSpeed;
}

// A refusal or an empty article: 9/10 of the speed, 1000 when unmeasured.
void SlowDown(tServer *server) {
    std::lock_guard<std::mutex> guard(server->lock);
    if (server->speed == 0)
        server->speed = 1000;
    else if (server->speed != 1)
        server->speed = server->speed / 10 * 9 + server->speed % 10 * 9 / 10;
}

// Output to the reader, gathered and sent in large pieces.
struct tReaderOut {
    int socket = -1;
    char *buffer = nullptr;
    int used = 0;
    bool failed = false;
    bool flushed = false;  // something has reached the reader
};

bool OutFlush(tReaderOut *out) {
    if (out->failed) return false;
    int at = 0;
    if (out->used > 0) out->flushed = true;
    while (at < out->used) {
        int n = SendBytes(out->socket, out->buffer + at, out->used - at);
        if (n <= 0) {
            out->failed = true;
            return false;
        }
        at += n;
    }
    out->used = 0;
    return true;
}

bool OutPut(tReaderOut *out, const char *text, int length) {
    if (out->failed) return false;
    if (out->used + length > OUT_SIZE && !OutFlush(out)) return false;
    if (length > OUT_SIZE) {
        out->used = 0;
        out->flushed = true;
        int at = 0;
        while (at < length) {
            int n = SendBytes(out->socket, text + at, length - at);
            if (n <= 0) {
                out->failed = true;
                return false;
            }
            at += n;
        }
        return true;
    }
    memcpy(out->buffer + out->used, text, (size_t)length);
    out->used += length;
    return true;
}

// The value of a header line "Name: value" with blanks and the line end cut.
void HeaderValue(const char *line, size_t nameLength, char *value, size_t size) {
    const char *v = line + nameLength;
    while (*v == ' ' || *v == '\t') v++;
    size_t n = strcspn(v, "\r\n");
    while (n > 0 && (v[n - 1] == ' ' || v[n - 1] == '\t')) n--;
    if (n >= size) n = size - 1;
    memcpy(value, v, n);
    value[n] = 0;
}

bool FileEmpty(FILE *file) {
    if (!file) return true;
    if (fflush(file) != 0) return false;
    if (ftruncate(fileno(file), 0) != 0) return false;
    rewind(file);
    return true;
}

// Speed and maximum reset after an attempt that broke down.
void Penalise(tServer *server) { SetSpeed(server, 1, 1); }

// The buffers of a fetch: the reader's output, one line, the status line.
// One per thread, kept for the thread's life (a reader's thread fetches one
// article after the other).
struct tFetchState {
    tReaderOut out;
    char *line;
    char status[RETRIEVE_MSGID_SIZE + 256];
    char block[OUT_SIZE + LINE_SIZE];
};

struct tFetchStateHolder {
    tFetchState *state = nullptr;
    ~tFetchStateHolder() { free(state); }
};

tFetchState *FetchStateOfThread() {
    static thread_local tFetchStateHolder holder;
    if (!holder.state) holder.state = static_cast<tFetchState *>(malloc(sizeof(tFetchState)));
    return holder.state;
}

// Outcomes of BulkBody.
enum { BULK_DONE, BULK_READER_GONE, BULK_CANCELLED, BULK_BROKEN, BULK_SHUTDOWN };

// Relays the rest of an article to the reader as received, from a line
// start to the final dot line (included in what is sent), without cutting
// it into lines: the bytes need no change on their way. Counts the lines and
// bytes before the final dot line. What follows the final line stays in the
// conversation's buffer.
int BulkBody(tNntp *nntp, tFetchState *st, int clientSocket, long *lines, int64_t *bytes) {
    static const char END[] = "\n.\r\n";
    char context[3] = {'\r', '\n', 0};  // the last bytes before the data: a line start
    int contextLength = 2;
    int timeout = LINE_TIMEOUT;
    if (nntp->server && nntp->server->extraTime) timeout *= 3;
    bool first = true;
    for (;;) {
        if (ShutdownRequested()) return BULK_SHUTDOWN;
        if (OUT_SIZE - st->out.used < OUT_SIZE / 4 && !OutFlush(&st->out)) return BULK_READER_GONE;
        char *data = st->out.buffer + st->out.used;
        int room = OUT_SIZE - st->out.used;
        int n;
        if (first && nntp->sb.pos < nntp->sb.len) {
            // What the line reader holds comes first.
            n = nntp->sb.len - nntp->sb.pos;
            memcpy(data, nntp->sb.buf + nntp->sb.pos, (size_t)n);
            nntp->sb.pos = nntp->sb.len = 0;
        } else {
            n = RecvWithin(nntp->sb.socket, data, room, timeout, clientSocket);
            if (n < 0) return SockLastError() == ESOCK_CANCELLED ? BULK_CANCELLED : BULK_BROKEN;
            if (n == 0) return BULK_BROKEN;
            (void)SocketQuickAck(nntp->sb.socket);
            nntp->bytesReceived += n;
            if (nntp->connection) nntp->connection->bytesReceived += n;
        }
        first = false;
        // The final line: "\n.\r\n", perhaps across the previous data.
        int end = -1;  // offset in data just after the final line
        char seam[8];
        int m = n < 3 ? n : 3;
        memcpy(seam, context, (size_t)contextLength);
        memcpy(seam + contextLength, data, (size_t)m);
        const char *hit = static_cast<const char *>(memmem(seam, (size_t)(contextLength + m), END, 4));
        if (hit && hit - seam < contextLength) end = (int)(hit - seam) + 4 - contextLength;
        int body;  // bytes before the final line
        if (end >= 0) {
            body = end - 3;
            for (int i = 0; i < body; i++) *lines += data[i] == '\n';
        } else {
            // One pass counts the lines and finds a final line wholly in
            // the data: a line feed followed by ".\r\n".
            for (const char *p = data, *stop = data + n;
                 (p = static_cast<const char *>(memchr(p, '\n', (size_t)(stop - p)))); p++) {
                (*lines)++;
                if (stop - p >= 4 && p[1] == '.' && p[2] == '\r' && p[3] == '\n') {
                    end = (int)(p - data) + 4;
                    break;
                }
            }
            body = end < 0 ? n : end - 3;
        }
        *bytes += body;
        if (end >= 0) {
            st->out.used += end;
            // A following answer (none is expected) goes back to the reader.
            int rest = n - end;
            if (rest > 0 && rest <= SOCKBUF_SIZE) {
                memmove(nntp->sb.buf, data + end, (size_t)rest);
                nntp->sb.len = rest;
                nntp->sb.pos = 0;
            }
            return BULK_DONE;
        }
        st->out.used += n;
        // Keep the last bytes for a final line split across receives.
        if (n >= 3) {
            memcpy(context, data + n - 3, 3);
            contextLength = 3;
        } else {
            char joined[8];
            memcpy(joined, context, (size_t)contextLength);
            memcpy(joined + contextLength, data, (size_t)n);
            int total = contextLength + n;
            contextLength = total < 3 ? total : 3;
            memcpy(context, joined + total - contextLength, (size_t)contextLength);
        }
    }
}

// The article lines after a positive answer. Returns E_OK, or a failure with
// *reconnect set when the server closed before the first line.
tDiag RelayLines(tNntp *nntp, const tRetrieval *r, const char *msgId, tFetchState *st, bool *reconnect,
                 long *linesOut, int64_t *bytesOut) {
    tServer *server = nntp->server;
    const bool toReader = r->clientSocket >= 0;
    const bool checkMsgId = msgId && *msgId && strcmp(msgId, "<?>") != 0;
    bool inHeader = r->commandIndex != RC_BODY;
    bool sawMsgId = false;
    bool atLineStart = true;
    bool dropping = false;      // inside a dropped header line (with its continuations)
    bool statusSent = false;
    bool readerGone = false;
    bool badArticle = false;
    bool finalSent = false;     // the final dot line went with the bulk of the body
    long lines = 0;
    int64_t bytes = 0;
    *reconnect = false;
    for (;;) {
        int n = ReadResponseLine(nntp, st->line, LINE_SIZE, LINE_TIMEOUT, r->clientSocket, "article line");
        if (n < 0) {
            if (n == E_SHUTDOWN) {
                Penalise(server);
                return E_SHUTDOWN;
            }
            if (n == E_CLIENT_DISCONNECTED) {
                SetDiag(nntp, E_CLIENT_DISCONNECTED, "Client vanished during article retrieval");
                readerGone = true;
                break;
            }
            if (lines == 0 && !statusSent) {
                LogMessage(r->log, "Server closed before 1st article line, reconnecting.\n");
                *reconnect = true;
                return E_ARTICLE_EOFS;
            }
            // Nothing reached the reader yet: it can still get the
            // article from elsewhere, or an error line.
            NntpCloseSocket(nntp);
            if (toReader && st->out.flushed) (void)SocketShutdown(r->clientSocket);
            Penalise(server);
            return FailWithLog(nntp, E_ARTICLE_EOFS, "%s", "Network error when retrieving article from server");
        }
        const bool complete = st->line[n - 1] == '\n';
        const bool lineStart = atLineStart;
        atLineStart = complete;
        if (lineStart && st->line[0] == '.' &&
            (strcmp(st->line, ".\r\n") == 0 || strcmp(st->line, ".\n") == 0)) {
            if (lines == 0) {
                SlowDown(server);
                return FailWithLog(nntp, E_ARTICLE_DELETED, "%s", "Empty article, pretending deleted");
            }
            break;
        }
        if (lineStart) lines++;
        bytes += n;
        if (!statusSent) {
            statusSent = true;
            if (toReader) {
                LogMessage(r->log, "%s", st->status);
                if (!OutPut(&st->out, st->status, (int)strlen(st->status))) readerGone = true;
            }
            if (r->articleFile && !FileEmpty(r->articleFile)) {
                NntpCloseSocket(nntp);
                if (toReader) (void)SocketShutdown(r->clientSocket);
                return FailWithLog(nntp, E_DISK_WRITE, "%s", "Could not write article to disk");
            }
        }
        if (r->articleFile) {
            const char *text = st->line;
            size_t length = (size_t)n;
            if (lineStart && text[0] == '.') {
                text++;
                length--;
            }
            if (length > 0 && fwrite(text, 1, length, r->articleFile) != length) {
                NntpCloseSocket(nntp);
                if (toReader) (void)SocketShutdown(r->clientSocket);
                return FailWithLog(nntp, E_DISK_WRITE, "%s", "Could not write article to disk");
            }
        }
        bool send = true;
        if (inHeader && lineStart) {
            if (st->line[0] == '\r' || st->line[0] == '\n') {
                inHeader = false;
                dropping = false;
            } else if (st->line[0] != ' ' && st->line[0] != '\t') {
                // A new header line; folded lines continue the one before.
                dropping = r->dropPathAndXref &&
                           (strncasecmp(st->line, "Path:", 5) == 0 || strncasecmp(st->line, "Xref:", 5) == 0);
                if (strncasecmp(st->line, "Message-ID:", 11) == 0) {
                    sawMsgId = true;
                    char got[RETRIEVE_MSGID_SIZE];
                    HeaderValue(st->line, 11, got, sizeof got);
                    if (checkMsgId && strcmp(got, msgId) != 0) {
                        LogMessage(r->log, "Message-ID mismatch in %s, wanted %s, got %s\n", "article header", msgId,
                                   got);
                        badArticle = true;
                        break;
                    }
                }
            }
        }
        if (dropping) send = false;
        if (send && toReader && !readerGone) {
            if (!OutPut(&st->out, st->line, n)) readerGone = true;
        } else if (send && !toReader && !r->articleFile) {
            LogRaw(r->log, "%s", st->line);
        }
        if (readerGone) break;
        if (toReader && !r->articleFile && !inHeader && complete && statusSent) {
            // The body needs no more looking at: relayed as it comes.
            int bulk = BulkBody(nntp, st, r->clientSocket, &lines, &bytes);
            if (bulk == BULK_DONE) {
                finalSent = true;
                break;
            }
            if (bulk == BULK_SHUTDOWN) {
                Penalise(server);
                return SetDiag(nntp, E_SHUTDOWN, nullptr);
            }
            if (bulk == BULK_CANCELLED || bulk == BULK_READER_GONE) {
                if (bulk == BULK_CANCELLED) SetDiag(nntp, E_CLIENT_DISCONNECTED, "Client vanished during article retrieval");
                readerGone = true;
                break;
            }
            NntpCloseSocket(nntp);
            if (st->out.flushed) (void)SocketShutdown(r->clientSocket);
            Penalise(server);
            return FailWithLog(nntp, E_ARTICLE_EOFS, "%s", "Network error when retrieving article from server");
        }
    }
    if (!badArticle && !readerGone && r->commandIndex != RC_BODY && !sawMsgId) {
        LogMessage(r->log, "Did not find a Message-ID in article header.\n");
        badArticle = true;
    }
    if (badArticle && (!toReader || !st->out.flushed)) {
        // Nothing of it reached the reader: as for a file retrieval.
        NntpCloseSocket(nntp);
        (void)FileEmpty(r->articleFile);
        return FailWithLog(nntp, E_ARTICLE_DELETED, "%s", "Bad article, pretending deleted");
    }
    if (badArticle) readerGone = true;
    if (!readerGone && toReader && !finalSent && !OutPut(&st->out, ".\r\n", 3)) readerGone = true;
    if (!readerGone && toReader && !OutFlush(&st->out)) readerGone = true;
    if (readerGone) {
        LogMessage(r->log, "Client disconnected, closing server %s.\n", Name(server));
        NntpCloseSocket(nntp);
        if (toReader) (void)SocketShutdown(r->clientSocket);
        if (nntp->diagText[0] == 0 || strcmp(nntp->diagText, "Ok") == 0)
            SetDiag(nntp, E_CLIENT_DISCONNECTED, nullptr);
        return E_CLIENT_DISCONNECTED;
    }
    if (toReader) LogMessage(r->log, ".\n");
    *linesOut = lines;
    *bytesOut = bytes;
    return E_OK;
}

// Builds the reader's status line from a positive answer. Returns false for
// a status line naming another article.
bool BuildStatus(tNntp *nntp, const tRetrieval *r, long serverNumber, const char *msgId, const char *answer,
                 tFetchState *st) {
    const tRetrieveCommand *cmd = &retrieveCommands[r->commandIndex];
    const char *rest = nullptr;
    if (serverNumber != 0) {
        // Third token onward: the server's Message-ID and text.
        const char *p = answer;
        for (int token = 0; token < 2 && *p; token++) {
            while (*p && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') p++;
            while (*p == ' ' || *p == '\t') p++;
        }
        if (*p && *p != '\r' && *p != '\n') rest = p;
    }
    if (rest && msgId && *msgId && rest[0] == '<' && strncmp(rest, msgId, strlen(msgId)) != 0) {
        char got[RETRIEVE_MSGID_SIZE];
        size_t n = strcspn(rest, " \t\r\n");
        if (n >= sizeof got) n = sizeof got - 1;
        memcpy(got, rest, n);
        got[n] = 0;
        LogMessage(r->log, "Message-ID mismatch in %s, wanted %s, got %s\n", "status line", msgId, got);
        return false;
    }
    int ok;
    if (rest) {
        size_t n = strcspn(rest, "\r\n");
        ok = FormatBounded(st->status, (int)sizeof st->status, "%d %ld %.*s\r\n", cmd->code, r->localNumber, (int)n,
                           rest);
    } else {
        ok = FormatBounded(st->status, (int)sizeof st->status, "%d %ld %s article retrieved - %s\r\n", cmd->code,
                           r->localNumber, msgId && *msgId ? msgId : "<?>", cmd->text);
    }
    if (ok < 0) {
        // Too long to keep whole: the short form always fits.
        (void)FormatBounded(st->status, (int)sizeof st->status, "%d %ld <?> article retrieved - %s\r\n", cmd->code,
                            r->localNumber, cmd->text);
    }
    (void)nntp;
    return true;
}

// Selects the group for a retrieval: GROUP, or LISTGROUP when the server
// does not know the group under GROUP. E_OK, or the failure.
tDiag SelectForRetrieval(tNntp *nntp, const tRetrieval *r) {
    tGroupSelection selection;
    selection.group = r->groupName;
    tDiag d = SelectGroup(nntp, &selection, 1, COMMAND_TIMEOUT, r->clientSocket, 1, &r->requester);
    if (d == E_NO_SUCH_GROUP) {
        LogMessage(r->log, "Trying to use LISTGROUP to change group.\n");
        tNumbers numbers;
        NumbersInit(&numbers);
        tNumberListing listing;
        listing.group = r->groupName;
        listing.numbers = &numbers;
        d = ListGroupNumbers(nntp, &listing, &r->requester);
        NumbersFree(&numbers);
    }
    return d;
}

// The command for local article number on the connection's server, or
// false: when the index says it is small and the server has it.
bool AheadCommand(const tRetrieval *r, tServerConnection *sc, long localNumber, char *command, int size) {
    tArticleFull full{};
    ArticlesLock(r->articles);
    tDiag d = ArticlesFind(r->articles, localNumber, 0, &full);
    ArticlesUnlock(r->articles);
    if (d != E_OK) return false;
    long number = 0;
    if (full.a->refs.server > 0 && !(full.a->flags & ART_HIDDEN) && full.adt.bytes >= 0 &&
        full.adt.bytes <= READ_AHEAD_BYTES) {
        int count = ServRefsCount(&full.a->refs);
        for (int i = 0; i < count && number == 0; i++) {
            tServRef ref = ServRefsAt(&full.a->refs, i);
            if (ref.server == sc->server->id && ref.number > 0 && ref.number <= INT32_MAX) number = (long)ref.number;
        }
    }
    ArticleFullFree(&full);
    return number != 0 &&
           FormatBounded(command, size, "%s %ld\r\n", retrieveCommands[r->commandIndex].command, number) >= 0;
}

// Asks for the reader's likely next articles ahead on the connection that
// just delivered (by their numbers on this server, with the same command),
// keeping NNTP_READ_AHEAD_DEPTH answers on their way: the server has the
// time of more than one of the reader's turns for each.
void SendAhead(const tRetrieval *r, tServerConnection *sc) {
    if (!r->articles || r->nextNumber <= 0 || r->clientSocket < 0 || r->articleFile ||
        r->commandIndex == RC_STAT || !NntpConnected(&sc->nntp))
        return;
    bool sent = false;
    for (int k = 0; k < NNTP_READ_AHEAD_DEPTH; k++) {
        char command[NNTP_READ_AHEAD_MAX];
        if (!AheadCommand(r, sc, r->nextNumber + k, command, (int)sizeof command)) break;
        if (k < sc->nntp.readAheadCount) {
            if (strcmp(sc->nntp.readAhead[k], command) != 0) break;  // something else is on its way
            continue;
        }
        if (!NntpSendAhead(&sc->nntp, command)) break;
        sent = true;
    }
    if (sent) (void)SocketQuickAck(sc->nntp.sb.socket);
}

}  // namespace

tDiag FetchArticle(tNntp *nntp, const tRetrieval *r, long serverNumber, const char *msgId, int timeout) {
    MG_ASSERT(serverNumber != 0 || (msgId && *msgId));
    MG_ASSERT(r->commandIndex >= 0 && r->commandIndex < RC_COUNT_);
    tServer *server = nntp->server;
    const tRetrieveCommand *cmd = &retrieveCommands[r->commandIndex];
    const bool byNumber = serverNumber != 0;
    tFetchState *st = FetchStateOfThread();
    if (!st) return SetDiag(nntp, E_OUT_OF_MEMORY, nullptr);
    st->out = tReaderOut{};
    st->out.socket = r->clientSocket;
    st->out.buffer = st->block;
    st->line = st->block + OUT_SIZE;
    st->status[0] = 0;

    char command[RETRIEVE_MSGID_SIZE + 32];
    if (byNumber)
        (void)FormatBounded(command, (int)sizeof command, "%s %ld\r\n", cmd->command, serverNumber);
    else if (FormatBounded(command, (int)sizeof command, "%s %s\r\n", cmd->command, msgId) < 0)
        return SetDiag(nntp, E_PATH_TOO_LONG, nullptr);
    char what[32];
    (void)FormatBounded(what, (int)sizeof what, "%s response", cmd->command);

    tDiag result = E_OK;
    int reconnections = 0;
    for (;;) {
        bool reconnect = false;
        // 1. The group.
        if (r->groupName && *r->groupName && strcasecmp(r->groupName, nntp->group) != 0 &&
            (byNumber || server->groupBeforeMsgId)) {
            tDiag d = SelectForRetrieval(nntp, r);
            if (d == E_SHUTDOWN || d == E_CLIENT_DISCONNECTED) {
                result = d;
                break;
            }
            if (d != E_OK) {
                if (byNumber || !NntpConnected(nntp)) {
                    Penalise(server);
                    result = d;
                    break;
                }
                LogMessage(r->log, "Ignoring GROUP error because retrieval by Message-ID.\n");
            }
            if (ClientReadable(r->clientSocket)) {
                std::lock_guard<std::mutex> guard(server->lock);
                server->speed /= 2;
                result = E_CLIENT_DISCONNECTED;
            }
            if (result == E_CLIENT_DISCONNECTED) {
                SetDiag(nntp, E_CLIENT_DISCONNECTED, "Client vanished during GROUP, but we can keep server");
                break;
            }
        }
        // 2. The command and its answer (perhaps asked for ahead already).
        const bool askedAhead = NntpTakeReadAhead(nntp, command);
        int sent = askedAhead ? (int)strlen(command) : SendCommand(nntp, command);
        int n = 0;
        // The answer often comes as a status line and then the article in
        // separate writes: acknowledged at once, the second is not held up
        // (an answer asked for ahead was given the same care then).
        if (sent >= 0 && !askedAhead) (void)SocketQuickAck(nntp->sb.socket);
        if (sent == E_SHUTDOWN) {
            Penalise(server);
            result = E_SHUTDOWN;
            break;
        }
        if (sent >= 0) {
            for (;;) {
                n = ReadResponseLine(nntp, st->line, LINE_SIZE, timeout, r->clientSocket, what);
                if (n < 0) break;
                int code = ReplyCode(st->line);
                if ((code == 200 || code == 201) && server->blindLogin) {
                    StripEol(st->line);
                    LogMessage(r->log, "Ignoring blind-login server's welcome message: %s\n", st->line);
                    continue;
                }
                break;
            }
        }
        if (n == E_SHUTDOWN) {
            Penalise(server);
            result = E_SHUTDOWN;
            break;
        }
        if (n == E_CLIENT_DISCONNECTED) {
            result = E_CLIENT_DISCONNECTED;
            break;
        }
        int code = (sent >= 0 && n > 0) ? ReplyCode(st->line) : 0;
        if (sent >= 0 && n > 0 && code == cmd->code) {
            // 3. Positive answer.
            if (!BuildStatus(nntp, r, serverNumber, msgId, st->line, st)) {
                if (r->commandIndex != RC_STAT) NntpCloseSocket(nntp);
                result = FailWithLog(nntp, E_ARTICLE_DELETED, "%s", "Bad article, pretending deleted");
                break;
            }
            if (r->commandIndex == RC_STAT) {
                if (r->clientSocket >= 0 && SendAndLog(r->clientSocket, st->status, r->log) < 0)
                    result = E_CLIENT_DISCONNECTED;
                else
                    result = E_OK;
                break;
            }
            auto start = std::chrono::steady_clock::now();
            long lines = 0;
            int64_t bytes = 0;
            result = RelayLines(nntp, r, msgId, st, &reconnect, &lines, &bytes);
            if (result == E_OK) {
                long ms = (long)std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count();
                long seconds = ms / 1000;
                if (seconds >= 1)
                    LogMessage(r->log, "Article had %ld lines and %ld bytes (%ld bytes/s).\n", lines, (long)bytes,
                               (long)(bytes / seconds));
                if (bytes > 6143) {
                    int64_t speed = bytes * 1000 / (ms > 0 ? ms : 1);
                    if (speed > INT_MAX) speed = INT_MAX;
                    std::lock_guard<std::mutex> guard(server->lock);
                    server->speed = (int)speed;
                    if (server->maxSpeed < server->speed) server->maxSpeed = server->speed;
                } else if (bytes > 0) {
                    std::lock_guard<std::mutex> guard(server->lock);
                    if (server->speed <= 1) server->speed = 1000;
                }
                if (server->dynamic) {
                    server->dynamic->articlesGot++;
                    server->dynamic->articleBytesGot += bytes;
                }
                if (nntp->connection) nntp->connection->articlesGot++;
                if (r->fullGroupList && r->groupName && *r->groupName)
                    GroupRecordRetrieval(r->fullGroupList, r->groupName, (long)bytes);
                break;
            }
            if (!reconnect) break;
        } else if (sent >= 0 && n > 0 && (code == 423 || code == 430)) {
            SlowDown(server);
            StripEol(st->line);
            if (byNumber)
                LogMessage(r->log, "%s %ld refused: %s\n", cmd->command, serverNumber, st->line);
            else
                LogMessage(r->log, "%s %s refused: %s\n", cmd->command, msgId, st->line);
            result = E_ARTICLE_DELETED;
            break;
        } else if (sent >= 0 && n > 0 && code == 502 && server->blindLogin) {
            StripEol(st->line);
            LogMessage(r->log, "Blind-login server, reconnecting: %s\n", st->line);
            reconnect = true;
        } else if (sent >= 0 && n > 0 && code != 0 && code != 503) {
            if (code == 502) {
                std::lock_guard<std::mutex> guard(server->lock);
                server->lastFailedConnectTime = time(nullptr);
            }
            StripEol(st->line);
            if (byNumber)
                LogMessage(r->log, "%s %ld refused: %s\n", cmd->command, serverNumber, st->line);
            else
                LogMessage(r->log, "%s %s refused: %s\n", cmd->command, msgId, st->line);
            result = SetDiag(nntp, E_ARTICLE_REFUSED, nullptr);
            break;
        } else {
            if (sent >= 0 && n > 0) StripEol(st->line);
            LogMessage(r->log, "Lost the connection: %s\n", (sent >= 0 && n > 0) ? st->line : nntp->diagText);
            reconnect = true;
        }
        // 10. Reconnection.
        result = E_ARTICLE_EOFS;
        if (reconnections >= 2) {
            Penalise(server);
            break;
        }
        reconnections++;
        tDiag d = Reconnect(nntp, timeout, r->clientSocket, &r->requester);
        if (d != E_OK) {
            if (d == E_CLIENT_DISCONNECTED || d == E_SHUTDOWN)
                result = d;
            else
                Penalise(server);
            break;
        }
    }
    return result;
}

tDiag RetrieveFromServer(const tRetrieval *r, tServerConnection *connection, long serverNumber, int timeout,
                         const uint8_t options[3]) {
    tServer *server = connection->server;
    tNntp *nntp = &connection->nntp;
    tServerDynamic *dyn = server->dynamic;
    if (serverNumber != 0 && !r->articleFile) {
        std::lock_guard<std::mutex> guard(server->lock);
        server->lastFailedConnectTime = 0;
    }
    tDiag numberResult = E_OK;
    tDiag result = E_ARTICLE_DELETED;
    if (serverNumber != 0) {
        result = numberResult = FetchArticle(nntp, r, serverNumber, r->msgId, timeout);
        if (dyn) (result == E_OK ? dyn->okNumberRetrievals : dyn->failedNumberRetrievals)++;
        if (result == E_OK) goto success;
        if (result == E_CLIENT_DISCONNECTED || ClientReadable(r->clientSocket)) {
            LogMessage(r->log, "Have lost client.\n");
            return E_CLIENT_DISCONNECTED;
        }
        if (result == E_SHUTDOWN) return result;
    }
    if (!(serverNumber != 0 && numberResult == E_ARTICLE_DELETED && !server->msgIdIfNbFails)) {
        result = FetchArticle(nntp, r, 0, r->msgId, timeout);
        if (dyn) {
            bool ok = result == E_OK;
            if (options[CANDIDATE_BLIND])
                (ok ? dyn->okBlindRetrievals : dyn->failedBlindRetrievals)++;
            else if (options[CANDIDATE_ANY_SERVER])
                (ok ? dyn->okZombieRetrievals : dyn->failedZombieRetrievals)++;
            else if (options[CANDIDATE_ATTEMPT_MSGID])
                (ok ? dyn->okAttemptMsgIdRetrievals : dyn->failedAttemptMsgIdRetrievals)++;
            else
                (ok ? dyn->okMsgIdRetrievals : dyn->failedMsgIdRetrievals)++;
        }
        if (result == E_OK) goto success;
    }
    if (result == E_CLIENT_DISCONNECTED) return result;
    if (serverNumber != 0 && numberResult == E_ARTICLE_DELETED && result == E_ARTICLE_DELETED) {
        if (r->articles) {
            int emptied = 0;
            long removed = ArticlesRemoveServerRefs(r->articles, r->localNumber, r->msgId, server->id, serverNumber,
                                                    &emptied, server->zombies != 0);
            if (removed > 0)
                LogMessage(r->log, "Reference %ld:%ld vanished%s.\n", (long)server->id, serverNumber,
                           !emptied ? "" : server->zombies ? " (last one)" : " (last one, no zombies)");
        }
        return server->zombies ? E_ZOMBIE : E_ARTICLE_DELETED;
    }
    if (serverNumber == 0 && result == E_ARTICLE_DELETED) return E_ZOMBIE;
    return result;

success:
    if (r->articles && r->markRetrieved && r->localNumber > 0) (void)ArticlesMarkRetrieved(r->articles, r->localNumber);
    if (r->retrievedList) {
        if (!retrievedListAdd || retrievedListAdd(r->retrievedList, r->msgId) != E_OK)
            LogMessage(r->log, "Retrieved: %s\n", r->msgId);
    }
    return E_OK;
}

tDiag RetrieveArticle(const tRetrieval *r, const tServRefs *refs, tServers *servers, int allowAnyServer) {
    bool locked = r->articles != nullptr;
    auto unlock = [&] {
        if (locked) ArticlesUnlock(r->articles);
        locked = false;
    };
    if (refs && refs->server == -1) {
        unlock();
        return E_DELETED_LOCALLY;
    }
    if (!servers) {
        unlock();
        return E_NO_REACHABLE_SERVER;
    }
    tServerRequestSet *set = new (std::nothrow) tServerRequestSet();
    if (!set) {
        unlock();
        return E_OUT_OF_MEMORY;
    }
    tDiag d = RequestSetInit(set, servers, &r->requester, r->log);
    if (d != E_OK) {
        unlock();
        delete set;
        return d;
    }
    if (refs && refs->server > 0) {
        d = RequestSetAddReferenced(set, refs);
        if (d == E_NO_REACHABLE_SERVER) d = E_OK;  // none usable: no candidate
    } else {
        if (refs && refs->server == 0) {
            if (refs->number != 0)
                LogMessage(r->log, "Zombie article (for %ld hours).\n", (long)(time(nullptr) - refs->number) / 3600);
            else
                LogMessage(r->log, "Zombie article (fresh).\n");
        }
        if (!allowAnyServer) {
            d = E_ZOMBIE;
        } else {
            d = RequestSetAddAllServers(set);
            for (int i = 0; i < set->candidates.used; i++) {
                tServerCandidate *c = static_cast<tServerCandidate *>(set->candidates.buf) + i;
                c->options[CANDIDATE_ANY_SERVER] = 1;
                c->options[CANDIDATE_BLIND] = refs == nullptr;
            }
        }
    }
    char *msgId = static_cast<char *>(malloc(RETRIEVE_MSGID_SIZE));
    if (d == E_OK && !msgId) d = E_OUT_OF_MEMORY;
    if (d == E_OK && StrCopyBounded(msgId, r->msgId ? r->msgId : "", RETRIEVE_MSGID_SIZE) < 0) d = E_PATH_TOO_LONG;
    unlock();
    if (d != E_OK) {
        RequestSetRelease(set);
        delete set;
        free(msgId);
        return d;
    }
    tRetrieval rr = *r;
    rr.msgId = msgId;

    // Servers that are tried by Message-ID whatever the references say.
    for (tServer *server = ServersFirst(servers, SERVERS_SKIP_DISABLED | SERVERS_SKIP_NO_RETRIEVE); server;
         server = ServersNext(servers, server, SERVERS_SKIP_DISABLED | SERVERS_SKIP_NO_RETRIEVE)) {
        if (!server->attemptMsgId) continue;
        bool present = false;
        for (int i = 0; i < set->candidates.used && !present; i++)
            present = (static_cast<tServerCandidate *>(set->candidates.buf) + i)->serverId == server->id;
        if (present) continue;
        tDiag a = RequestSetAdd(set, server->id, 0, 1, 0, 0);
        if (a != E_OK) {
            LogMessage(r->log, "Warning: Could not add attemptMsgId server %s to server references: %s.\n",
                       Name(server), DiagText(a));
            ServerRelease(server);
            break;
        }
    }

    RequestSetSort(set);
    const int total = set->candidates.used;
    // The listing is written in one piece.
    std::string listing;
    char row[SERVER_NAME_MAX + 64];
    snprintf(row, sizeof row, "Server preference order (%d total):\n\n", total);
    listing += row;
    listing += " Flg Score Usr Cat  Name (Id)\n----------------------------------------------\n";
    for (int i = 0; i < total; i++) {
        tServerCandidate *c = static_cast<tServerCandidate *>(set->candidates.buf) + i;
        tServer *server = FindServerById(servers, c->serverId);
        if (!server) continue;
        char flag = c->options[CANDIDATE_ANY_SERVER] ? '?' : c->options[CANDIDATE_ATTEMPT_MSGID] ? '+' : ' ';
        bool checking = false;
        int speed, maxSpeed, connections;
        {
            std::lock_guard<std::mutex> guard(server->lock);
            if (i == 0 && server->speed == 0) {
                server->speed = 1;
                checking = true;
            }
            speed = server->speed;
            maxSpeed = server->maxSpeed;
            connections = server->connections;
        }
        snprintf(row, sizeof row, "  %c %6ld %3d %3d  %s%s", flag, ((long)speed + maxSpeed) / 2, connections,
                 server->category, Name(server), checking ? " <= checking it out\n" : "\n");
        listing += row;
        ServerRelease(server);
    }
    listing += "\n";
    LogMessage(r->log, "%s", listing.c_str());
    RequestSetStart(set);

    int zombies = 0;
    int tried = 0;
    tDiag result = E_NO_REACHABLE_SERVER;
    bool done = false;
    while (set->outstanding > 0 && !done) {
        if (ShutdownRequested()) {
            LogMessage(r->log, "Shutdown when trying next server for retrieval.\n");
            break;
        }
        time_t start = time(nullptr);
        tServerCandidate *c = nullptr;
        d = GetServerConnection(set, WAIT_SECONDS, r->clientSocket, &c);
        time_t waited = time(nullptr) - start;
        if (waited > 0 || d != E_OK) {
            char text[64];
            if (DurationText(text, sizeof text, waited, true) < 0) (void)StrCopyBounded(text, "?", sizeof text);
            tServer *server = d == E_OK ? c->request.sc->server : nullptr;
            LogMessage(r->log, "After %s of waiting got %s\n", text, d == E_OK ? Name(server) : DiagText(d));
        }
        if (d != E_OK) {
            if (d == E_CLIENT_DISCONNECTED) result = d;
            break;
        }
        tServerConnection *sc = c->request.sc;
        sc->nntp.log = r->log;
        tried++;
        LogMessage(r->log, "Trying server %d of %d: %s (article %ld, timeout %d s).\n", tried, total, Name(sc->server),
                   (long)c->articleNumber, COMMAND_TIMEOUT);
        const char *prefix = r->log ? r->log->prefix : nullptr;
        if (r->log) r->log->prefix = "\t";
        d = RetrieveFromServer(&rr, sc, c->articleNumber, COMMAND_TIMEOUT, c->options);
        if (r->log) r->log->prefix = prefix;
        if (d == E_OK && c->articleNumber != 0) SendAhead(&rr, sc);
        ReleaseConnection(sc, c->articleNumber != 0);
        if (d == E_RECONNECT_DISABLED) {
            RequestAnother(set, c);
        } else if (d == E_OK || d == E_CLIENT_DISCONNECTED) {
            result = d;
            done = true;
        } else if (d == E_ZOMBIE) {
            zombies++;
        }
    }
    FreeUnusedRequests(set);
    RequestSetRelease(set);
    delete set;
    free(msgId);
    if (done) return result;
    if (result == E_CLIENT_DISCONNECTED) return result;
    return zombies == total ? E_ZOMBIE : E_NO_REACHABLE_SERVER;
}
