// Group selection and article number listings; see groupsel.h.
#include "server/explore/groupsel.h"

#include "lib/log.h"
#include "lib/sock.h"
#include "lib/strings.h"
#include "lib/wildmatch.h"
#include "server/upstream/nntp.h"
#include "server/upstream/servers.h"

#include <cstdint>
#include <cstring>
#include <strings.h>

namespace {

constexpr int LINE_SIZE = 2048 + 1;     // one response line or piece with its NUL
constexpr int GROUP_COMMAND_SIZE = 304;
constexpr int LISTGROUP_COMMAND_SIZE = 1024;
constexpr int ANSWER_SECONDS = 60;
constexpr int LINE_SECONDS = 300;
constexpr int RESTARTS_WITHOUT_COUNT = 10;  // bound of the "400 timeout" restarts

// Removes trailing CR, LF and blanks.
void TrimEnd(char *text) {
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '\t'))
        text[--n] = 0;
}

void ForgetGroup(tNntp *nntp) { nntp->group[0] = 0; }

void SetCurrentGroup(tNntp *nntp, const char *group) {
    if (StrCopyBounded(nntp->group, group, (int)sizeof nntp->group) < 0) nntp->group[0] = 0;
}

bool InGroupList(const tIniStringArray &list, const char *group) {
    char **names = IniStrings(list);
    for (int i = 0; names && names[i]; i++)
        if (strcasecmp(names[i], group) == 0) return true;
    return false;
}

// The terminator of a multi-line answer: "." followed by the line end.
bool IsTerminator(const char *line) { return line[0] == '.' && (line[1] == '\r' || line[1] == '\n'); }

// A reply that is no answer: no code, or 503 (what some servers say when
// they lost track of the conversation).
bool IsJunk(int code) { return code <= 0 || code == 503; }

bool IsBlindWelcome(const tNntp *nntp, int code) {
    return (code == 200 || code == 201) && nntp->server->blindLogin;
}

// White space, an optional "-" and digits: the value in *value. False when
// there are no digits or the value is beyond limit (in magnitude).
bool ParseField(const char **text, int64_t limit, int64_t *value) {
    const char *p = *text;
    while (*p == ' ' || *p == '\t') p++;
    bool negative = *p == '-';
    if (negative) p++;
    if (*p < '0' || *p > '9') return false;
    int64_t v = 0;
    while (*p >= '0' && *p <= '9') {
        v = v * 10 + (*p++ - '0');
        if (v > limit + 1) return false;
    }
    if (negative) v = -v;
    if (v > limit || v < -limit - 1) return false;
    *value = v;
    *text = p;
    return true;
}

// "211 count low high": false when a part is missing or does not fit. The
// count may be an unsigned 32-bit number; low and high are signed.
bool ParseGroupAnswer(const char *line, int32_t *low, int32_t *high) {
    const char *p = line;
    int64_t code, count, lo, hi;
    if (!ParseField(&p, INT32_MAX, &code)) return false;
    if (!ParseField(&p, UINT32_MAX, &count)) return false;
    if (!ParseField(&p, INT32_MAX, &lo) || !ParseField(&p, INT32_MAX, &hi)) return false;
    *low = (int32_t)lo;
    *high = (int32_t)hi;
    return true;
}

// ---------------------------------------------------------------------------
// Number lines

enum tLinesResult { LINES_OK, LINES_RESTART, LINES_READ_FAILED, LINES_NEGATIVE, LINES_NO_MEMORY };

struct tNumberLines {
    tNumbers *numbers = nullptr;  // receives accepted numbers; may be null
    bool dots = false;            // a progress dot every 25 lines
    bool any = false;             // a number was accepted
    int32_t lowest = 0;
    int32_t highest = 0;
    int lines = 0;
    int negatives = 0;
    int readResult = 0;           // the read failure with LINES_READ_FAILED
};

// Reads the number lines of a LISTGROUP answer up to its terminator.
tLinesResult ReadNumberLines(tNntp *nntp, const char *group, int cancelSocket, tNumberLines *state) {
    char line[LINE_SIZE];
    bool havePrevious = false;
    int32_t previous = 0;
    for (;;) {
        int rc = ReadResponseLine(nntp, line, sizeof line, LINE_SECONDS, cancelSocket, "LISTGROUP data");
        if (rc < 0) {
            state->readResult = rc;
            return LINES_READ_FAILED;
        }
        if (IsTerminator(line)) break;
        bool terminated = rc > 0 && (line[rc - 1] == '\n' || line[rc - 1] == '\r');
        state->lines++;
        if (state->dots && state->lines % 25 == 0) LogDot(nntp->log, '.');
        TrimEnd(line);
        if (line[0] == '-') {
            if (state->negatives++ == 0) LogMessage(nntp->log, "Number %s negative. Ignoring it.\n", line);
            continue;
        }
        if (line[0] < '0' || line[0] > '9') {
            LogMessage(nntp->log, "Article number contains junk: %s\n", line);
            return LINES_RESTART;
        }
        int64_t value = 0;
        bool tooLarge = false;
        for (const char *p = line; *p >= '0' && *p <= '9'; p++) {
            value = value * 10 + (*p - '0');
            if (value > INT32_MAX) {
                tooLarge = true;
                break;
            }
        }
        if (tooLarge) {
            LogMessage(nntp->log, "Ignoring too large number: %s\n", line);
            continue;
        }
        int32_t number = (int32_t)value;
        bool suspicious = false;
        if (havePrevious && previous >= 1 && previous <= 214748364 && number > 10 * previous) {
            LogMessage(nntp->log, "Warning: %s during LISTGROUP, from %ld to %ld\n", DiagText(E_TENFOLD_LEAP),
                       (long)previous, (long)number);
            suspicious = true;
        } else if (havePrevious && number < previous) {
            if (!terminated) {
                LogMessage(nntp->log, "LISTGROUP line not terminated. Restarting.\n");
                return LINES_RESTART;
            }
            LogMessage(nntp->log, "Warning: article number %ld smaller than previous one %ld\n", (long)number,
                       (long)previous);
            suspicious = true;
        }
        if (suspicious && number % 1000 == 211) {
            LogMessage(nntp->log,
                       "Number ends in 211, maybe the server has restarted internally. Let's ignore it.\n");
            continue;
        }
        if (state->numbers && NumbersAdd(state->numbers, number, number) < 0) return LINES_NO_MEMORY;
        if (!state->any || number < state->lowest) state->lowest = number;
        if (!state->any || number > state->highest) state->highest = number;
        state->any = true;
        previous = number;
        havePrevious = true;
    }
    if (state->negatives > 0 && state->negatives == state->lines) {
        LogMessage(nntp->log, "All %d numbers negative during LISTGROUP %s\n", state->lines, group);
        return LINES_NEGATIVE;
    }
    if (state->negatives > 0)
        LogMessage(nntp->log, "%d numbers negative out of %d\n", state->negatives, state->lines);
    return LINES_OK;
}

// A read failure that is not to be retried: shutdown or the client's cancel.
bool IsCancel(int rc) { return rc == E_SHUTDOWN || rc == E_CLIENT_DISCONNECTED; }

// Sends command and reads its status line into line (size bytes, its end
// trimmed; what names it in messages), passing over a blind-login server's
// welcome; *code gets the reply code. Returns E_OK; a cancelling failure
// (IsCancel) after which the caller stops, the connection closed when the
// read was cancelled; or any other negative tDiag, after which the caller
// reconnects.
tDiag CommandStatus(tNntp *nntp, const char *command, const char *what, char *line, int size, int cancelSocket,
                    int *code) {
    int rc = SendCommand(nntp, command);
    if (rc < 0) return rc;
    for (;;) {
        rc = ReadResponseLine(nntp, line, size, ANSWER_SECONDS, cancelSocket, what);
        if (rc < 0) break;
        TrimEnd(line);
        *code = ReplyCode(line);
        if (!IsBlindWelcome(nntp, *code)) return E_OK;
        LogMessage(nntp->log, "Ignoring blind-login server's welcome message: %s\n", line);
    }
    if (IsCancel(rc)) NntpCloseSocket(nntp);
    return rc;
}

}  // namespace

bool GroupIsCurrent(const tNntp *nntp, const char *group) {
    return nntp->group[0] && strcasecmp(nntp->group, group) == 0;
}

tDiag SelectGroup(tNntp *nntp, tGroupSelection *selection, int quiet411, int reconnectTimeout, int cancelSocket,
                  int refuse480Fatal, const tRequester *requester) {
    tServer *server = nntp->server;
    const char *group = selection->group;
    if (cancelSocket < 0) cancelSocket = CancelSocketGet();
    int retries = 0;        // broken connections, junk and bad answers
    int freeRestarts = 0;   // "400 timeout" answers
    bool useListgroup = false;
    bool reconnect = !NntpConnected(nntp);
    char line[LINE_SIZE];
    char command[GROUP_COMMAND_SIZE];

    for (;;) {
        if (reconnect) {
            reconnect = false;
            tDiag rc = Reconnect(nntp, reconnectTimeout, cancelSocket, requester);
            if (rc != E_OK) {
                ForgetGroup(nntp);
                return rc;
            }
        }
        if (!useListgroup && InGroupList(server->listgroupGroup, group)) {
            LogMessage(nntp->log, "Using LISTGROUP instead of GROUP.\n");
            useListgroup = true;
        }
    send:
        const char *verb = useListgroup ? "LISTGROUP" : "GROUP";
        if (FormatBounded(command, sizeof command, "%s %s\r\n", verb, group) < 0) {
            ForgetGroup(nntp);
            return SetDiag(nntp, E_BUFFER_TOO_SMALL, nullptr);
        }
        int rc = SendCommand(nntp, command);
        if (rc < 0) {
            if (rc == E_SHUTDOWN) {
                ForgetGroup(nntp);
                return E_SHUTDOWN;
            }
            LogMessage(nntp->log, "Send failed in %s %s, %sconnecting.\n", verb, group,
                       NntpConnected(nntp) ? "re" : "");
            if (++retries >= 4) {
                ForgetGroup(nntp);
                return CloseAndMarkFailed(nntp, E_GROUP_EOFS, nullptr);
            }
            reconnect = true;
            continue;
        }
        int code = 0;
        bool restart = false;
        for (;;) {
            rc = ReadResponseLine(nntp, line, sizeof line, ANSWER_SECONDS, cancelSocket,
                                  useListgroup ? "LISTGROUP response" : "GROUP response");
            if (rc < 0) {
                if (IsCancel(rc)) {
                    NntpCloseSocket(nntp);
                    return rc;
                }
                if (++retries >= 4) {
                    ForgetGroup(nntp);
                    return CloseAndMarkFailed(nntp, E_GROUP_EOFS, nullptr);
                }
                restart = true;
                break;
            }
            TrimEnd(line);
            code = ReplyCode(line);
            if (IsJunk(code)) {
                LogMessage(nntp->log, "Junk after %s %s: %s\n", verb, group, line);
                if (++retries >= 6) {
                    ForgetGroup(nntp);
                    return QuitAndMarkFailed(nntp, E_GROUP_EOFS, nullptr);
                }
                restart = true;
                break;
            }
            if (IsBlindWelcome(nntp, code)) {
                LogMessage(nntp->log, "Ignoring blind-login server's welcome message: %s\n", line);
                continue;
            }
            break;
        }
        if (restart) {
            reconnect = true;
            continue;
        }

        if (code == 211 && !useListgroup) {
            int32_t low, high;
            if (ParseGroupAnswer(line, &low, &high)) {
                selection->low = low;
                selection->high = high;
                SetCurrentGroup(nntp, group);
                return SetDiag(nntp, E_OK, "Ok");
            }
            LogMessage(nntp->log, "Error in GROUP response: %s\n", line);
            ForgetGroup(nntp);
            if (++retries <= 3) {
                reconnect = true;
                continue;
            }
            return SetDiag(nntp, E_GROUP_TEMP, nullptr);
        }
        if (code == 211) {
            tNumberLines numbers;
            switch (ReadNumberLines(nntp, group, cancelSocket, &numbers)) {
            case LINES_OK:
                selection->low = numbers.any ? numbers.lowest : 0;
                selection->high = numbers.any ? numbers.highest : 0;
                SetCurrentGroup(nntp, group);
                return SetDiag(nntp, E_OK, "Ok");
            case LINES_NEGATIVE:
                ForgetGroup(nntp);
                return SetDiag(nntp, E_LISTGROUP_NEGATIVE, nullptr);
            case LINES_READ_FAILED:
                if (IsCancel(numbers.readResult)) {
                    NntpCloseSocket(nntp);
                    return numbers.readResult;
                }
                if (++retries >= 4) {
                    ForgetGroup(nntp);
                    return CloseAndMarkFailed(nntp, E_GROUP_EOFS, nullptr);
                }
                break;
            case LINES_RESTART:
            case LINES_NO_MEMORY:  // not produced without a number set
                if (++retries >= 6) {
                    ForgetGroup(nntp);
                    return QuitAndMarkFailed(nntp, E_GROUP_EOFS, nullptr);
                }
                break;
            }
            reconnect = true;
            continue;
        }

        // Any other answer.
        if (!(code == 411 && quiet411)) LogMessage(nntp->log, "%s %s refused: %s\n", verb, group, line);
        bool transient = code == 400 && (WildMatch(line, "*timeout*", 0) || WildMatch(line, "*Session*limit*", 0));
        if (transient && ++freeRestarts <= RESTARTS_WITHOUT_COUNT) {
            reconnect = true;
            continue;
        }
        ForgetGroup(nntp);
        if (server->listgroupIfGroupFails && !useListgroup) {
            LogMessage(nntp->log, "Using LISTGROUP instead of GROUP.\n");
            useListgroup = true;
            goto send;
        }
        if (code == 411) return SetDiag(nntp, E_NO_SUCH_GROUP, nullptr);
        if (code == 480 && refuse480Fatal) return QuitAndMarkFailed(nntp, E_GROUP_REFUSED, nullptr);
        if (code == 497 || code == 499 || transient) return SetDiag(nntp, E_GROUP_TEMP, nullptr);
        return SetDiag(nntp, E_GROUP_REFUSED, nullptr);
    }
}

tDiag ListGroupNumbers(tNntp *nntp, tNumberListing *listing, const tRequester *requester) {
    tServer *server = nntp->server;
    const char *group = listing->group;
    int cancelSocket = CancelSocketGet();
    int retries = 0;
    bool reconnect = false;
    char line[LINE_SIZE];
    char command[LISTGROUP_COMMAND_SIZE];
    tDiag result = E_OK;
    LogDotsInit(nntp->log, 40);

    for (;;) {
        if (reconnect) {
            reconnect = false;
            if (++retries > 5) {
                result = SetDiag(nntp, E_LISTGROUP_EOFS, nullptr);
                break;
            }
            if ((result = Reconnect(nntp, GROUPSEL_RECONNECT_TIMEOUT, cancelSocket, requester)) != E_OK) break;
        }
        if (server->flags & SF_LISTGROUP_AFTER_GROUP) {
            if (!GroupIsCurrent(nntp, group)) {
                tGroupSelection selection{group, 0, 0};
                result = SelectGroup(nntp, &selection, 1, GROUPSEL_RECONNECT_TIMEOUT, cancelSocket, 1, requester);
                if (result != E_OK) break;
            }
        } else {
            ForgetGroup(nntp);
            if (!NntpConnected(nntp) &&
                (result = Reconnect(nntp, GROUPSEL_RECONNECT_TIMEOUT, cancelSocket, requester)) != E_OK)
                break;
        }
        if (FormatBounded(command, sizeof command, "LISTGROUP %s\r\n", group) < 0) {
            result = SetDiag(nntp, E_BUFFER_TOO_SMALL, nullptr);
            break;
        }
        int code = 0;
        int rc = CommandStatus(nntp, command, "LISTGROUP response", line, sizeof line, cancelSocket, &code);
        if (IsCancel(rc)) return rc;
        if (rc < 0) {
            reconnect = true;
            continue;
        }
        if (IsJunk(code)) {
            LogMessage(nntp->log, "Junk after LISTGROUP %s: %s\n", group, line);
            reconnect = true;
            continue;
        }
        if (code == 412 && !(server->flags & SF_LISTGROUP_AFTER_GROUP)) {
            server->flags |= SF_LISTGROUP_AFTER_GROUP;
            LogMessage(nntp->log, "Warning: server requires that LISTGROUP be preceeded with GROUP\n");
            continue;
        }
        if (code == 411 && listing->missingGroupIsNormal) {
            ForgetGroup(nntp);
            return SetDiag(nntp, E_NO_SUCH_GROUP, nullptr);
        }
        if (code != 211) {
            LogMessage(nntp->log, "LISTGROUP %s failed: %s\n", group, line);
            if (code == 500) {
                LogMessage(nntp->log, "Not using LISTGROUP anymore.\n");
                server->flags |= SF_NO_LISTGROUP;
            }
            ForgetGroup(nntp);
            result = SetDiag(nntp, code == 497 || code == 499 ? E_GROUP_TEMP
                                   : code == 411              ? E_NO_SUCH_GROUP
                                                              : E_LISTGROUP_ERROR,
                             nullptr);
            break;
        }
        if (!server->listgroupDoesNotSetGroup) SetCurrentGroup(nntp, group);
        tNumberLines numbers;
        numbers.numbers = listing->numbers;
        numbers.dots = true;
        tLinesResult lines = ReadNumberLines(nntp, group, cancelSocket, &numbers);
        if (lines == LINES_OK) return SetDiag(nntp, E_OK, "Ok");
        if (lines == LINES_READ_FAILED && IsCancel(numbers.readResult)) {
            NntpCloseSocket(nntp);
            return numbers.readResult;
        }
        if (lines == LINES_NEGATIVE || lines == LINES_NO_MEMORY) {
            // The rest of the answer was read (negative) or is abandoned with
            // the connection (no memory).
            ForgetGroup(nntp);
            if (lines == LINES_NO_MEMORY) NntpCloseSocket(nntp);
            result = SetDiag(nntp, lines == LINES_NEGATIVE ? E_LISTGROUP_NEGATIVE : E_OUT_OF_MEMORY, nullptr);
            break;
        }
        reconnect = true;  // junk, a line cut short, or a broken connection
    }
    LogMessage(nntp->log, "Error during LISTGROUP %s: %s.\n", group, DiagText(result));
    return result;
}

tDiag XhdrLinesNumbers(tNntp *nntp, tNumberListing *listing, const tRequester *requester) {
    const char *group = listing->group;
    int cancelSocket = CancelSocketGet();
    int retries = 0;
    bool reconnect = false;
    char line[LINE_SIZE];
    tDiag result = E_OK;

    for (;;) {
        if (reconnect) {
            reconnect = false;
            // Reconnection refuses a server that keeps breaking; the count
            // bounds the repetition in any case.
            if (++retries > 16) {
                result = SetDiag(nntp, E_XHDR_LINES_FAILED, nullptr);
                break;
            }
            if ((result = Reconnect(nntp, GROUPSEL_RECONNECT_TIMEOUT, cancelSocket, requester)) != E_OK) break;
        }
        if (!GroupIsCurrent(nntp, group) || !NntpConnected(nntp)) {
            tGroupSelection selection{group, 0, 0};
            result = SelectGroup(nntp, &selection, 1, GROUPSEL_RECONNECT_TIMEOUT, cancelSocket, 1, requester);
            if (result != E_OK) break;
        }
        int code = 0;
        int rc = CommandStatus(nntp, "XHDR LINES 1-\r\n", "XHDR LINES response", line, sizeof line, cancelSocket,
                               &code);
        if (IsCancel(rc)) return rc;
        if (rc < 0) {
            reconnect = true;
            continue;
        }
        if (code == 420 && listing->missingGroupIsNormal) return SetDiag(nntp, E_OK, "Ok");
        if (code != 221) {
            LogMessage(nntp->log, "XHDR LINES %s failed: %s\n", group, line);
            result = SetDiag(nntp, E_XHDR_LINES_FAILED, nullptr);
            break;
        }
        bool broken = false;
        for (;;) {
            rc = ReadResponseLine(nntp, line, sizeof line, LINE_SECONDS, cancelSocket, "XHDR LINES data");
            if (rc < 0) {
                if (IsCancel(rc)) {
                    NntpCloseSocket(nntp);
                    return rc;
                }
                broken = true;
                break;
            }
            if (IsTerminator(line)) break;
            char *blank = strpbrk(line, " \t\r\n");
            if (blank) *blank = 0;
            if (line[0] == 0) continue;
            if (NumbersAddText(listing->numbers, line, nntp->log) == E_OUT_OF_MEMORY) {
                NntpCloseSocket(nntp);
                result = SetDiag(nntp, E_OUT_OF_MEMORY, nullptr);
                break;
            }
        }
        if (result != E_OK) break;
        if (broken) {
            reconnect = true;
            continue;
        }
        return SetDiag(nntp, E_OK, "Ok");
    }
    LogMessage(nntp->log, "Error during XHDR LINES %s: %s.\n", group, DiagText(result));
    return result;
}
