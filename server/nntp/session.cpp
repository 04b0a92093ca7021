#include "server/nntp/session.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <mutex>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "lib/log.h"
#include "lib/panic.h"
#include "lib/sendlog.h"
#include "lib/shutdown.h"
#include "lib/sock.h"
#include "lib/strings.h"
#include "lib/url.h"
#include "lib/wildmatch.h"
#include "server/explore/groupsel.h"
#include "server/nntp/artcmds.h"
#include "server/nntp/asyncgroup.h"
#include "server/settings/settings.h"
#include "server/store/articles.h"
#include "server/store/grouplist.h"
#include "server/store/indices.h"
#include "server/upstream/pool.h"
#include "server/upstream/servers.h"

tDiag (*sessionExploreOneGroup)(const char *groupName) = nullptr;
tSessionDelays sessionDelays;

// ===========================================================================
// Answers

namespace {

// Longest group name a session keeps (groupName holds it with its NUL).
constexpr size_t GROUP_NAME_MAX = sizeof(((tSession *)nullptr)->groupName) - 1;

// Room for one formatted answer: a status line with a group name and a
// diagnostic text, or one listing entry of the web forms.
constexpr int ANSWER_SIZE = 4096;

int Send(tSession *session, const char *text) {
    return SendAndLog(session->conversation.socket, text, &session->log);
}

// Formats an answer and sends it; an answer that does not fit is logged and
// not sent (-1).
__attribute__((format(printf, 2, 3))) int SendFormat(tSession *session, const char *format, ...) {
    char answer[ANSWER_SIZE];
    va_list args;
    va_start(args, format);
    int n = FormatBoundedV(answer, sizeof answer, format, args);
    va_end(args);
    if (n < 0) {
        LogMessage(&session->log, "Answer too long for %.40s\n", format);
        return -1;
    }
    return Send(session, answer);
}

bool IsSet(const char *text) { return text && *text; }

void Pause(int milliseconds) {
    // In small steps, so that a shutdown is not held up.
    for (int waited = 0; waited < milliseconds && !ShutdownRequested(); waited += 50)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(50, milliseconds - waited)));
}

// The session's open index goes back to the cache (SessionEnd's hook too).
void ReleaseArticles(tSession *session) {
    if (!session->articles) return;
    IndicesRelease(session->articles, 0);
    session->articles = nullptr;
}

// SessionEnd gives a session's open index back through this module.
[[maybe_unused]] const bool releaseHookSet = (sessionArticlesRelease = ReleaseArticles, true);

// The running sessions, so that a shutdown can end the ones blocked in
// sending to a reader that does not read (a cancelled wait only ends reads).
std::mutex runningLock;
std::vector<tSession *> running;  // guarded by runningLock
bool shutdownHookSet = false;     // guarded by runningLock

// The shutdown hook: shuts down the socket of every running session but the
// one a restart keeps for the next run. The sessions leave the list before
// their sockets are closed, so no socket here is closed or reused.
void ShutdownRunningSessions(void *) {
    std::lock_guard<std::mutex> g(runningLock);
    for (tSession *session : running) {
        int socket = session->conversation.socket;
        if (session->keptClientSocket && *session->keptClientSocket == socket) continue;
        (void)SocketShutdown(socket);
    }
}

void EnterRunning(tSession *session) {
    std::lock_guard<std::mutex> g(runningLock);
    if (!shutdownHookSet) shutdownHookSet = ShutdownAddHook(ShutdownRunningSessions, nullptr);
    running.push_back(session);
}

void LeaveRunning(tSession *session) {
    std::lock_guard<std::mutex> g(runningLock);
    running.erase(std::remove(running.begin(), running.end(), session), running.end());
}

bool SameGroup(const char *a, const char *b) { return strcasecmp(a, b) == 0; }

// ===========================================================================
// The pseudo-group "async"

void SelectAsyncGroup(tSession *session, int form) {
    session->localServer = 1;
    ReleaseArticles(session);
    session->groupName[0] = '\0';
    (void)AsyncGroupAnswer(session->conversation.socket, form, &session->log);
    session->currentNumber = 1;
}

}  // namespace

// ===========================================================================
// Opening the selected group

int SessionOpenGroup(tSession *session, bool activate) {
    if (session->articles) return 0;
    if (session->localServer) {
        Send(session, "500 not applicable/implemented\r\n");
        return -1;
    }
    if (!session->groupName[0]) {
        Send(session, "412 No news group has been selected\r\n");
        return -1;
    }
    std::string stored;
    tDiag rc = GroupStoredName(session->groupList, session->groupName, activate, &stored);
    if (rc != E_OK) {
        SendFormat(session, "412 Cannot confirm group %s: %s.\r\n", session->groupName, DiagText(rc));
        return -1;
    }
    if (stored.size() <= GROUP_NAME_MAX) memcpy(session->groupName, stored.c_str(), stored.size() + 1);
    rc = ArticlesOpen(session->indices, session->groupName, &session->log, activate, &session->articles,
                      session->conversation.socket);
    if (rc != E_OK) {
        session->articles = nullptr;
        SendFormat(session, "412 Cannot access group %s: %s.\r\n", session->groupName, DiagText(rc));
        return -1;
    }
    return 0;
}

tDiag EnsureGroupLoaded(tSession *session) {
    tArticles *articles = session->articles;
    ArticlesLock(articles);
    if (ArticlesCount(articles) > 0) return E_OK;
    tDiag rc = AddDownloadPlaceholder(articles, &session->log, false);
    if (rc != E_OK) return rc;
    ArticlesUnlock(articles);
    if (sessionExploreOneGroup) {
        tDiag scheduled = sessionExploreOneGroup(ArticlesName(articles));
        if (scheduled != E_OK)
            LogMessage(&session->log, "Could not schedule the exploration of %s: %s.\n", ArticlesName(articles),
                       DiagText(scheduled));
    }
    Pause(sessionDelays.placeholderMs);
    ArticlesLock(articles);
    return AddDownloadPlaceholder(articles, &session->log, true);
}

// ===========================================================================
// Listings

namespace {

struct tListContext {
    tSession *session;
    int mode;
    int count;                // entries written
    bool inactiveNoted;       // "(Logging only active groups.)" written
};

// Sends one entry. The text listings copy it to the log for active groups,
// or for all with verbose; the web listings never do.
int SendEntry(tListContext *context, const char *text, bool active) {
    tSession *session = context->session;
    tLog *log = &session->log;
    bool textListing = context->mode == LIST_MODE_ACTIVE || context->mode == LIST_MODE_NAMES;
    if (!textListing) {
        log = nullptr;
    } else if (!active && !verbose) {
        if (!context->inactiveNoted) {
            LogMessage(log, "(Logging only active groups.)\r\n");
            context->inactiveNoted = true;
        }
        log = nullptr;
    }
    if (SendAndLog(session->conversation.socket, text, log) < 0) {
        LogMessage(&session->log, "Client closed connection.\n");
        return E_CLIENT_DISCONNECTED;
    }
    context->count++;
    return 0;
}

int ListEntry(const char *name, int active, int, void *argument) {
    tListContext *context = (tListContext *)argument;
    tSession *session = context->session;
    if (ShutdownRequested()) {
        LogMessage(&session->log, "Shutdown when producing LIST entry for a group.\n");
        return E_SHUTDOWN;
    }
    char entry[ANSWER_SIZE];
    int n;
    if (context->mode == LIST_MODE_NAMES) {
        n = FormatBounded(entry, sizeof entry, "%s\t?\r\n", name);
    } else {
        long low = 1, high = 1000, count = 1000;
        if (active && IndicesReadRange(session->indices, name, &low, &high, &count, true,
                                       session->conversation.socket) != E_OK) {
            LogMessage(&session->log, "Could not get first/last for %s\n", name);
            return 0;
        }
        char escaped[800];
        if (context->mode != LIST_MODE_ACTIVE && UrlEscape(escaped, sizeof escaped, name, URL_QUERY_ESCAPES) < 0)
            snprintf(escaped, 267, "%s", name);
        if (context->mode == LIST_MODE_ACTIVE) {
            n = FormatBounded(entry, sizeof entry, "%s %ld %ld y\r\n", name, high, low);
        } else if (context->mode == LIST_MODE_WEB_TABLE) {
            n = FormatBounded(entry, sizeof entry,
                              "<tr><td><a href=\"/stats.htm?%s\">Stats</a></td><td><a href=\"/articles.htm?%s\">"
                              "Articles</a></td><td align=right>%ld</td><td align=right>%ld</td><td "
                              "align=right>%ld</td><td><a href=\"news:%s\">%s</a></td><form><td><input "
                              "type=submit name=%s value=Refresh></td><td><input type=submit name=%s "
                              "value=Rewrite></td><td><input type=submit name=%s value=Filter></td><td><input "
                              "type=submit name=%s value=Deactivate></td></form>\r\n</tr>\r\n",
                              escaped, escaped, count, low, high, escaped, name, name, name, name, name);
        } else if (active) {
            n = FormatBounded(entry, sizeof entry,
                              "<a href=\"/stats.htm?%s\">Stats</a> <a href=\"/articles.htm?%s\">Articles</a> "
                              "%ld (%ld-%ld) <b>%s</b><br>\r\n",
                              escaped, escaped, count, low, high, name);
        } else {
            n = FormatBounded(entry, sizeof entry, "<a href=\"/articles.htm?%s\">Activate</a> %s<br>\r\n", escaped,
                              name);
        }
    }
    if (n < 0) {
        LogMessage(&session->log, "Entry too long for %.200s\n", name);
        return 0;
    }
    return SendEntry(context, entry, active != 0);
}

}  // namespace

long ListGroups(tSession *session, bool activeOnly, int mode, long sinceSecs, const char *pattern) {
    tListContext context{session, mode, 0, false};
    int rc = GroupForEach(session->groupList, ListEntry, &context, activeOnly, sinceSecs, pattern);
    if (rc == E_CLIENT_DISCONNECTED || rc == E_SHUTDOWN) return rc;
    if (rc < 0) LogMessage(&session->log, "Could not read the group list: %s.\n", DiagText(rc));
    if (!pattern || WildMatch("async", pattern, 0)) {
        static const int forms[] = {ASYNC_FORM_LIST, ASYNC_FORM_WEB_TABLE, ASYNC_FORM_WEB_SHORT, ASYNC_FORM_XGTITLE};
        if (AsyncGroupAnswer(session->conversation.socket, forms[mode & 3], &session->log) < 0) {
            LogMessage(&session->log, "Client closed connection.\n");
            return E_CLIENT_DISCONNECTED;
        }
        context.count++;
    }
    LogMessage(&session->log, "(%d entries provided.)\r\n", context.count);
    return rc < 0 ? rc : context.count;
}

// ===========================================================================
// The commands

namespace {

// One command: the words after the command word. Returns 0 to go on, -1 to
// end the session.
typedef int (*tCommandFn)(tSession *session, char **words, int count);

tReaderState &Reader(tSession *session) { return *session->reader; }

// ---------------------------------------------------------------------------
// Authentication

const char NTLM_CHALLENGE_ANSWER[] = "381 TlRMTVNTUAACAAAABAAEACgAAAAFAgEAASNFZ4mrze8AAAAAAAAAAE0ARwA=\r\n";

void Reject(tSession *session) {
    Pause(sessionDelays.rejectMs);
    Send(session, "482 Authentication rejected\r\n");
}

int CmdAuthinfo(tSession *session, char **words, int count) {
    tReaderState &reader = Reader(session);
    if (count < 1) {
        Reject(session);
        return 0;
    }
    const char *sub = words[0];
    const char *value = count > 1 ? words[1] : nullptr;
    if (strcasecmp(sub, "USER") == 0) {
        reader.loginMatched = 0;
        if (reader.authLevel == AUTH_ADMIN) {
            Send(session, "381 More authentication information required\r\n");
        } else if (value && IsSet(session->adminLogin) && strcmp(session->adminLogin, value) == 0) {
            reader.loginMatched = 2;
            Send(session, "381 More authentication information required\r\n");
        } else if (value && IsSet(session->userLogin) && strcmp(session->userLogin, value) == 0) {
            reader.loginMatched = 1;
            Send(session, "381 More authentication information required\r\n");
        } else {
            Reject(session);
        }
    } else if (strcasecmp(sub, "PASS") == 0) {
        if (reader.authLevel == AUTH_ADMIN) {
            Send(session, "281 Authentication accepted\r\n");
        } else if (value && reader.loginMatched == 2 && IsSet(session->adminPass) &&
                   strcmp(session->adminPass, value) == 0) {
            reader.authLevel = AUTH_ADMIN;
            Send(session, "281 Authentication accepted\r\n");
        } else if (value && reader.loginMatched == 1 && IsSet(session->userPass) &&
                   strcmp(session->userPass, value) == 0) {
            reader.authLevel = IsSet(session->adminLogin) ? AUTH_USER : AUTH_ADMIN;
            Send(session, "281 Authentication accepted\r\n");
        } else {
            Reject(session);
        }
    } else if (strcasecmp(sub, "GENERIC") == 0) {
        if (count == 1)
            Send(session, "281 Packages Follow\r\nMSN\r\n.\r\n");
        else
            Reject(session);
    } else if (strcasecmp(sub, "TRANSACT") == 0 && value) {
        if (strcasecmp(value, "MSN") == 0)
            Send(session, "381 Protocol supported, proceeed\r\n");
        else
            Send(session, NTLM_CHALLENGE_ANSWER);
    } else {
        Reject(session);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Small commands

int CmdQuit(tSession *session, char **, int) {
    Send(session, "205 bye\r\n");
    return -1;
}

int CmdMode(tSession *session, char **words, int count) {
    if (count < 1)
        Send(session, "501 reader\r\n");
    else if (strcasecmp(words[0], "READER") == 0)
        Send(session, "200 posting ok\r\n");
    else
        Send(session, "500 What?\r\n");
    return 0;
}

int CmdSlave(tSession *session, char **, int) {
    Send(session, "202 Unsupported\r\n");
    return 0;
}

int CmdDate(tSession *session, char **, int) {
    time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    SendFormat(session, "111 %d%02d%02d%02d%02d%02d\r\n", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
               utc.tm_hour, utc.tm_min, utc.tm_sec);
    return 0;
}

const char *const HELP_LINES[] = {
    "article [MessageID|Number]",
    "authinfo user Name|pass Password",
    "body [MessageID|Number]",
    "group newsgroup",
    "head [MessageID|Number]",
    "help",
    "ihave",
    "last",
    "list [active [wildmat]|newsgroups|overview.fmt]",
    "listgroup [newsgroup]",
    "mode reader",
    "newgroups yymmdd hhmmss [GMT] [<distributions>]",
    "next",
    "post",
    "quit",
    "slave",
    "stat [MessageID|Number]",
    "xgtitle [wildmat]",
    "xhdr header [range|MessageID]",
    "xover [range|MessageID]",
    "xpat header range|MessageID pat [morepat...]",
};

const char *const ADMIN_HELP_LINES[] = {
    "mgaccessed - list currently accessed groups",
    "mgactive - list active groups in LIST format",
    "mgapplyhidden - mark as hidden articles logged as such",
    "mgapplyretrievd - mark as retrieved articles logged as such",
    "mgasync [min_lines] - enable/disable async article retrieval",
    "mgcancel <article-number> [...] - cancel retrieval of one or more async articles",
    "mgcheckgroups <mode> - delete index refs if absent from servers",
    "mgclients - display all clients",
    "mgclose [<id>|<string>] - close all idle connections [with server]",
    "mgconnected - display open connections to servers",
    "mgdatasets - list currently accessed datasets",
    "mgdeactivate - deactivate the current newsgroup",
    "mgdeleteold <days> - delete articles older than <days> days",
    "mgdeleteserver <id>|<string> - delete a server which is no more usable",
    "mgexploreserver <id>|<string> - explore a server now",
    "mgfilter - apply filters to current group",
    "mgforcetask <handle> [...] - force immediate execution of one or more tasks",
    "mgglobalstats - display provider stats for all groups",
    "mggroupstats - display provider stats for current group",
    "mgmarkretrieved <articlenumber> - mark an article as retrieved in database",
    "mgpostserver [<id>|<string>] - select posting server",
    "mgrefresh newsgroup - explore group on all servers",
    "mgrenumber <level> - set the renumber level, 2 = change Message-IDs",
    "mgrestart - restart Mergator internally to take config changes into account",
    "mgrewritegroup - rewrite the index, delete old zombies immediately",
    "mgservers - display information about the usage of servers",
    "mgshut - shutdown Mergator",
    "mgtasks - display scheduled, running and overdue tasks",
    "mgtrimpopular <days> [evenRetrieved] - trim old popular list entries",
    "mgzombiedays [days] - set deleted article disappearing delay",
};

int CmdHelp(tSession *session, char **, int) {
    std::string help = "100 Legal commands\r\n";
    for (const char *line : HELP_LINES) help.append("  ").append(line).append("\r\n");
    if (Reader(session).authLevel == AUTH_ADMIN) {
        help += "     The following commands are specific to Mergator:\r\n";
        for (const char *line : ADMIN_HELP_LINES) help.append("  ").append(line).append("\r\n");
    }
    help += ".\r\n";
    Send(session, help.c_str());
    return 0;
}

// ---------------------------------------------------------------------------
// Group selection

// A group that only the background server knows.
void SelectBackgroundGroup(tSession *session, const char *name) {
    tServer *server = session->servers ? FindServerById(session->servers, session->servers->backgroundServer)
                                       : nullptr;
    tServerConnection *connection = nullptr;
    if (!server || RequestConnection(server, &Reader(session).requester, &session->log, -1,
                                     session->conversation.socket, &connection) != E_OK) {
        if (server) ServerRelease(server);
        Send(session, "411 No such group (could not reach background server)\r\n");
        return;
    }
    tGroupSelection selection;
    selection.group = name;
    tDiag rc = SelectGroup(&connection->nntp, &selection, 1, GROUPSEL_RECONNECT_TIMEOUT,
                           session->conversation.socket, 0, &Reader(session).requester);
    long low = selection.low, high = selection.high;
    ReleaseConnection(connection, 1);
    ServerRelease(server);
    if (rc == E_NO_SUCH_GROUP) {
        Send(session, "411 No such group\r\n");
    } else if (rc != E_OK) {
        Send(session, "502 background group might exist, but is not accessible\r\n");
    } else {
        memcpy(session->groupName, name, strlen(name) + 1);
        ReleaseArticles(session);
        session->localServer = 0;
        session->currentNumber = low;
        SendFormat(session, "211 %ld %ld %ld %s\r\n", high - low + 1, low, high, name);
    }
}

int CmdGroup(tSession *session, char **words, int count) {
    if (count < 1) {
        Send(session, "501 newsgroup\r\n");
        return 0;
    }
    const char *name = words[0];
    std::string stored;
    long low, high, articleCount;
    if (GroupStoredName(session->groupList, name, false, &stored) == E_OK &&
        IndicesReadRange(session->indices, stored.c_str(), &low, &high, &articleCount, true,
                         session->conversation.socket) == E_OK) {
        if (stored.size() > GROUP_NAME_MAX) {
            Send(session, "411 No such group\r\n");
            return 0;
        }
        session->localServer = 0;
        if (session->articles && !SameGroup(ArticlesName(session->articles), stored.c_str()))
            ReleaseArticles(session);
        memcpy(session->groupName, stored.c_str(), stored.size() + 1);
        SendFormat(session, "211 %ld %ld %ld %s selected\r\n", articleCount, low, high, stored.c_str());
        session->currentNumber = low;
        GroupRecordSelection(session->groupList, stored.c_str());
    } else if (strcasecmp(name, "async") == 0) {
        SelectAsyncGroup(session, ASYNC_FORM_GROUP);
    } else if (strlen(name) <= GROUP_NAME_MAX && session->servers && session->servers->backgroundServer != 0) {
        SelectBackgroundGroup(session, name);
    } else {
        Send(session, "411 No such group\r\n");
    }
    return 0;
}

int CmdListgroup(tSession *session, char **words, int count) {
    char name[sizeof session->groupName];
    if (count >= 1) {
        if (strlen(words[0]) > GROUP_NAME_MAX) {
            Send(session, "411 No such group\r\n");
            return 0;
        }
        strcpy(name, words[0]);
    } else if (session->localServer) {
        strcpy(name, "async");
    } else if (session->groupName[0]) {
        strcpy(name, session->groupName);
    } else {
        Send(session, "412 No news group has been selected\r\n");
        return 0;
    }
    if (!session->articles || !SameGroup(ArticlesName(session->articles), name)) {
        std::string stored;
        tArticles *opened = nullptr;
        tDiag rc = GroupStoredName(session->groupList, name, true, &stored);
        if (rc == E_OK && stored.size() > GROUP_NAME_MAX) rc = E_BAD_GROUP_NAME;
        if (rc == E_OK)
            rc = ArticlesOpen(session->indices, stored.c_str(), &session->log, true, &opened,
                              session->conversation.socket);
        if (rc != E_OK) {
            if (strcasecmp(name, "async") == 0)
                SelectAsyncGroup(session, ASYNC_FORM_LISTGROUP);
            else
                Send(session, "411 No such group\r\n");
            return 0;
        }
        ReleaseArticles(session);
        session->localServer = 0;
        memcpy(session->groupName, stored.c_str(), stored.size() + 1);
        session->articles = opened;
    }
    tArticles *articles = session->articles;
    tDiag rc = EnsureGroupLoaded(session);
    if (rc != E_OK) LogMessage(&session->log, "Could not add the download placeholder: %s.\n", DiagText(rc));
    tRange range;
    long articleCount;
    ArticlesGetRange(articles, &range, &articleCount);
    ArticlesUnlock(articles);
    session->currentNumber = range.low;
    SendFormat(session, "211 %ld %ld %ld %s selected\r\n", articleCount, (long)range.low, (long)range.high,
               ArticlesName(articles));
    rc = ArticlesListNumbers(articles, nullptr, session->conversation.socket);
    if (rc != E_OK) LogMessage(&session->log, "LISTGROUP interrupted: %s.\n", DiagText(rc));
    SendDotLine(session->conversation.socket, &session->log);
    GroupRecordSelection(session->groupList, ArticlesName(articles));
    return 0;
}

// NEXT (direction 1) and LAST (-1).
int NextOrLast(tSession *session, int direction) {
    if (SessionOpenGroup(session, true) < 0) return 0;
    tArticles *articles = session->articles;
    tDiag rc = EnsureGroupLoaded(session);
    if (rc != E_OK) LogMessage(&session->log, "Could not add the download placeholder: %s.\n", DiagText(rc));
    tArticleFull full{};
    rc = ArticlesFind(articles, session->currentNumber + direction, direction, &full);
    long number = 0;
    std::string msgId;
    if (rc == E_OK) {
        number = full.a->number;
        msgId = full.a->msgId;
    }
    ArticleFullFree(&full);
    ArticlesUnlock(articles);
    if (rc == E_OK) {
        session->currentNumber = number;
        SendFormat(session, "223 %ld %s Article retrieved; request text separately\r\n", number, msgId.c_str());
    } else {
        if (rc != E_ARTICLE_NOT_FOUND) LogMessage(&session->log, "Article lookup failed: %s.\n", DiagText(rc));
        Send(session, direction > 0 ? "421 No next to retrieve.\r\n" : "422 No previous to retrieve.\r\n");
    }
    return 0;
}

int CmdNext(tSession *session, char **, int) { return NextOrLast(session, 1); }
int CmdLast(tSession *session, char **, int) { return NextOrLast(session, -1); }

// ---------------------------------------------------------------------------
// Listings

// Ends a listing with its dot unless the client is gone or a shutdown ended
// it.
void EndListing(tSession *session, long result) {
    if (result == E_CLIENT_DISCONNECTED || result == E_SHUTDOWN) return;
    SendDotLine(session->conversation.socket, &session->log);
}

int CmdList(tSession *session, char **words, int count) {
    if (count == 0 || strcasecmp(words[0], "ACTIVE") == 0) {
        Send(session, "215 list of newsgroups follows\r\n");
        EndListing(session, ListGroups(session, session->showOnlyActiveGroups != 0, LIST_MODE_ACTIVE, 0,
                                       count > 1 ? words[1] : nullptr));
    } else if (strcasecmp(words[0], "NEWSGROUPS") == 0) {
        Send(session, "215 Descriptions in form \"group description\".\r\n.\r\n");
    } else if (strcasecmp(words[0], "OVERVIEW.FMT") == 0) {
        Send(session,
             "215 Order of fields in overview database.\r\nSubject:\r\nFrom:\r\nDate:\r\nMessage-ID:\r\n"
             "References:\r\nBytes:\r\nLines:\r\n.\r\n");
    } else {
        Send(session, "501 Bad command use\r\n");
    }
    return 0;
}

int CmdXgtitle(tSession *session, char **words, int count) {
    const char *pattern;
    if (count > 0)
        pattern = words[0];
    else if (session->localServer)
        pattern = "async";
    else if (session->groupName[0])
        pattern = session->groupName;
    else {
        Send(session, "412 No news group has been selected\r\n");
        return 0;
    }
    Send(session, "282 list follows\r\n");
    EndListing(session, ListGroups(session, session->showOnlyActiveGroups != 0, LIST_MODE_NAMES, 0, pattern));
    return 0;
}

// Two digits of text at position i, or -1.
int TwoDigits(const char *text, int i) {
    if (text[i] < '0' || text[i] > '9' || text[i + 1] < '0' || text[i + 1] > '9') return -1;
    return (text[i] - '0') * 10 + text[i + 1] - '0';
}

int CmdNewgroups(tSession *session, char **words, int count) {
    int v[6] = {-1, -1, -1, -1, -1, -1};
    if (count >= 2 && strlen(words[0]) == 6 && strlen(words[1]) == 6)
        for (int i = 0; i < 6; i++) v[i] = TwoDigits(words[i / 3], (i % 3) * 2);
    for (int value : v) {
        if (value < 0) {
            Send(session, "501 yymmdd hhmmss [\"GMT\"] [<distributions>]\r\n");
            return 0;
        }
    }
    struct tm when{};
    when.tm_year = v[0] <= 50 ? v[0] + 100 : v[0];
    when.tm_mon = v[1] - 1;
    when.tm_mday = v[2];
    when.tm_hour = v[3];
    when.tm_min = v[4];
    when.tm_sec = v[5];
    when.tm_isdst = -1;
    time_t since = count >= 3 && strcasecmp(words[2], "GMT") == 0 ? timegm(&when) : mktime(&when);
    char text[32];
    LogMessage(&session->log, "Decoded time: %ld s, %s", (long)since, ctime_r(&since, text) ? text : "?\n");
    Send(session, "231 list of new newsgroups follows\r\n");
    // A time at or before the epoch lists every group.
    EndListing(session, ListGroups(session, session->showOnlyActiveGroups != 0, LIST_MODE_ACTIVE,
                                   since > 0 ? (long)since : 0, nullptr));
    return 0;
}

// ---------------------------------------------------------------------------
// Dispatch points of other modules

int CmdArticle(tSession *session, char **words, int count, int index) {
    return ArticleCommand(session, index, count > 0 ? words[0] : nullptr);
}
int CmdArticleArticle(tSession *s, char **w, int c) { return CmdArticle(s, w, c, ARTCMD_ARTICLE); }
int CmdArticleHead(tSession *s, char **w, int c) { return CmdArticle(s, w, c, ARTCMD_HEAD); }
int CmdArticleBody(tSession *s, char **w, int c) { return CmdArticle(s, w, c, ARTCMD_BODY); }
int CmdArticleStat(tSession *s, char **w, int c) { return CmdArticle(s, w, c, ARTCMD_STAT); }
int CmdXover(tSession *s, char **w, int c) { return OverviewCommand(s, OVCMD_XOVER, w, c); }
int CmdXhdr(tSession *s, char **w, int c) { return OverviewCommand(s, OVCMD_XHDR, w, c); }
int CmdXpat(tSession *s, char **w, int c) { return OverviewCommand(s, OVCMD_XPAT, w, c); }

// The answer to a word that names no command of this session.
int UnknownCommand(tSession *session) {
    Send(session, Reader(session).authLevel == AUTH_ADMIN ? "500 command not recognized\r\n" : "500 error\r\n");
    return 0;
}

// POST and IHAVE: the posting relay. Until it exists they are answered as
// unknown commands.
int CmdPost(tSession *session, char **, int) { return UnknownCommand(session); }

// The administrative commands (administrators only; "MG..." words). Until
// they exist every word is answered as unknown.
int AdminCommand(tSession *session, const char *, char **, int) { return UnknownCommand(session); }

struct tCommand {
    const char *name;
    tCommandFn function;
};

const tCommand COMMANDS[] = {
    {"QUIT", CmdQuit},         {"AUTHINFO", CmdAuthinfo},    {"MODE", CmdMode},
    {"GROUP", CmdGroup},       {"LISTGROUP", CmdListgroup},  {"NEXT", CmdNext},
    {"LAST", CmdLast},         {"ARTICLE", CmdArticleArticle}, {"HEAD", CmdArticleHead},
    {"BODY", CmdArticleBody},  {"STAT", CmdArticleStat},     {"XOVER", CmdXover},
    {"XHDR", CmdXhdr},         {"XPAT", CmdXpat},            {"XGTITLE", CmdXgtitle},
    {"LIST", CmdList},         {"NEWGROUPS", CmdNewgroups},  {"HELP", CmdHelp},
    {"DATE", CmdDate},         {"POST", CmdPost},            {"IHAVE", CmdPost},
    {"SLAVE", CmdSlave},
};

// ---------------------------------------------------------------------------
// The conversation

enum { LINE_OK, LINE_TOO_LONG, LINE_END };

// Reads one line into session->line. A line longer than the buffer is read
// to its end and dropped (LINE_TOO_LONG). An unterminated line cut off by the
// end of the stream or a failure is not executed. LINE_END when the session
// must end (the reason logged).
int ReadCommandLine(tSession *session) {
    int total = 0;
    bool tooLong = false;
    // The lines of the last command reach the file before the wait for the
    // next one; commands already received are read on.
    if (session->conversation.pos == session->conversation.len) LogFlush(&session->log);
    for (;;) {
        int room = SESSION_LINE_SIZE - total;
        int n = SockBufReadLine(&session->conversation, session->line + total, room, sessionDelays.readSeconds,
                                CancelSocketGet());
        if (n == 0) {
            // After a shutdown the end comes from this side (the shutdown hook).
            LogMessage(&session->log, ShutdownRequested() ? "Shutdown, nntp server thread terminates.\n"
                                                          : "Connection closed by client.\n");
            return LINE_END;
        }
        if (n < 0) {
            LogMessage(&session->log, "Connection interrupted: %s.\n", ProxyErrorText(SockLastError()));
            return LINE_END;
        }
        if (session->line[total + n - 1] == '\n') {
            total += n;
            break;
        }
        if (tooLong) continue;  // skipping the rest of an overlong line
        total += n;
        if (total >= SESSION_LINE_SIZE - 1) {
            tooLong = true;
            total = 0;
        }
    }
    if (tooLong) {
        LogRaw(&session->log, "\n");
        LogMessage(&session->log, "Line longer than %d bytes skipped.\n", SESSION_LINE_SIZE - 1);
        return LINE_TOO_LONG;
    }
    session->line[total] = '\0';
    LogRaw(&session->log, "\n");
    LogMessage(&session->log, "%s", session->line);
    return LINE_OK;
}

// Removes telnet negotiation (IAC WILL/WONT/DO/DONT option) from the start of
// the line.
void SkipTelnet(tSession *session) {
    unsigned char *line = (unsigned char *)session->line;
    size_t length = strlen(session->line);
    int skipped = 0;
    while (length > 3 && line[0] == 255 && line[1] >= 251 && line[1] <= 254) {
        memmove(line, line + 3, length - 3 + 1);
        length -= 3;
        skipped++;
    }
    if (skipped) LogMessage(&session->log, "Skipped %d telnet escape(s).\n", skipped);
}

void SplitWords(char *line, std::vector<char *> *words) {
    words->clear();
    char *p = line;
    for (;;) {
        p += strspn(p, " \t\r\n");
        if (!*p) break;
        words->push_back(p);
        p += strcspn(p, " \t\r\n");
        if (!*p) break;
        *p++ = '\0';
    }
}

void CheckInvariant(const tSession *session) {
    MG_ASSERT(session->localServer ? !session->articles && !session->groupName[0]
                                   : !(session->articles && !session->groupName[0]));
}

// One command line: 0 to go on, -1 to end the session.
int Execute(tSession *session, std::vector<char *> *words) {
    SplitWords(session->line, words);
    if (words->empty()) return 0;
    const char *command = (*words)[0];
    char **arguments = words->data() + 1;
    int count = (int)words->size() - 1;
    bool open = strcasecmp(command, "AUTHINFO") == 0 || strcasecmp(command, "QUIT") == 0;
    if (!open && Reader(session).authLevel == AUTH_NONE) {
        Send(session, "480 Authentication required\r\n");
        return 0;
    }
    for (const tCommand &entry : COMMANDS)
        if (strcasecmp(command, entry.name) == 0) return entry.function(session, arguments, count);
    if (Reader(session).authLevel < AUTH_ADMIN) return UnknownCommand(session);
    return AdminCommand(session, command, arguments, count);
}

}  // namespace

void SessionConverse(tSession *session) {
    tReaderState reader{};
    reader.authLevel = IsSet(session->userLogin) ? AUTH_NONE : IsSet(session->adminLogin) ? AUTH_USER : AUTH_ADMIN;
    reader.requester.name = session->logPath;
    reader.requester.priority = priorityDirect;
    reader.requester.kind = KIND_DIRECT;
    session->reader = &reader;
    // A command's log lines are written together (see ReadCommandLine).
    (void)LogGather(&session->log, 1);
    EnterRunning(session);
    // A shutdown requested before this session was listed would not reach it.
    if (ShutdownRequested()) (void)SocketShutdown(session->conversation.socket);

    if (banner && ((bannerOkForVersion && strcmp(bannerOkForVersion, "4.5") == 0) || bannerOkAlways)) {
        Send(session, banner);
        Send(session, "\r\n");
    } else {
        Send(session, "200 Mergator 4.5 (posting allowed)\r\n");
    }
    std::vector<char *> words;
    for (;;) {
        CheckInvariant(session);
        int got = ReadCommandLine(session);
        if (got == LINE_END) break;
        if (ShutdownRequested()) {
            LogMessage(&session->log, "Shutdown, nntp server thread terminates.\n");
            break;
        }
        if (got == LINE_TOO_LONG) {
            Send(session, "500 Line too long\r\n");
            continue;
        }
        SkipTelnet(session);
        if (Execute(session, &words) < 0) break;
    }
    LeaveRunning(session);
    session->reader = nullptr;
}

void SessionRun(void *argument) {
    tSession *session = (tSession *)argument;
    SessionConverse(session);
    SessionEnd(session);
}
