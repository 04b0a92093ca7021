// The server list: references, iteration, look-ups, option letters, the
// results log and proxy selection.
#include "server/upstream/servers.h"

#include "lib/panic.h"
#include "lib/strings.h"
#include "lib/wildmatch.h"
#include "server/settings/settings.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

bool Skipped(const tServer *server, int options) {
    return ((options & SERVERS_SKIP_DISABLED) && server->disabled) ||
           ((options & SERVERS_SKIP_NO_RETRIEVE) && !server->retrieveArticles);
}

// REQUIRES: servers->lock held. The first server from index on that the
// options do not skip, referenced; or null.
tServer *RefFrom(tServers *servers, int index, int options) {
    for (int i = index; i < ServerCount(servers); i++) {
        tServer *server = ServerAt(servers, i);
        if (Skipped(server, options)) continue;
        server->users++;
        return server;
    }
    return nullptr;
}

// REQUIRES: servers->lock held.
void Unref(tServer *server) {
    MG_ASSERT(server->users > 0);
    server->users--;
}

}  // namespace

int ServerCount(const tServers *servers) { return servers->serverOps.instances.used; }

tServer *ServerAt(const tServers *servers, int index) {
    return static_cast<tServer **>(servers->serverOps.instances.buf)[index];
}

void ServerRef(tServer *server) {
    std::lock_guard<std::mutex> guard(server->servers->lock);
    server->users++;
}

void ServerRelease(tServer *server) {
    if (!server) return;
    std::lock_guard<std::mutex> guard(server->servers->lock);
    Unref(server);
}

tServer *ServersFirst(tServers *servers, int options) {
    std::lock_guard<std::mutex> guard(servers->lock);
    return RefFrom(servers, 0, options);
}

tServer *ServersNext(tServers *servers, tServer *current, int options) {
    std::lock_guard<std::mutex> guard(servers->lock);
    int index = ServerCount(servers);
    for (int i = 0; i < ServerCount(servers); i++)
        if (ServerAt(servers, i) == current) {
            index = i + 1;
            break;
        }
    if (current) Unref(current);
    return RefFrom(servers, index, options);
}

tServer *FindServerByIdWith(tServers *servers, int32_t id, int options) {
    if (id == 0) return nullptr;
    std::lock_guard<std::mutex> guard(servers->lock);
    for (int i = 0; i < ServerCount(servers); i++) {
        tServer *server = ServerAt(servers, i);
        if (server->id != id) continue;
        if (Skipped(server, options)) return nullptr;
        server->users++;
        return server;
    }
    return nullptr;
}

tServer *FindServerById(tServers *servers, int32_t id) { return FindServerByIdWith(servers, id, 0); }

int32_t FindServerByName(tServers *servers, const char *text) {
    bool digits = *text != '\0';
    for (const char *p = text; *p; p++)
        if (!isdigit((unsigned char)*p)) digits = false;
    std::lock_guard<std::mutex> guard(servers->lock);
    if (digits) {
        long id = strtol(text, nullptr, 10);
        for (int i = 0; i < ServerCount(servers); i++)
            if (ServerAt(servers, i)->id == id) return (int32_t)id;
        return E_NO_SUCH_SERVER_NUMBER;
    }
    int32_t found = 0;
    for (int i = 0; i < ServerCount(servers); i++) {
        const tServer *server = ServerAt(servers, i);
        if (!server->displayName || !strstr(server->displayName, text)) continue;
        if (found) return E_AMBIGUOUS_SERVER;
        found = server->id;
    }
    return found ? found : E_NO_SUCH_SERVER_NAME;
}

tServer *FindPostingServer(tServers *servers, const char *group) {
    std::lock_guard<std::mutex> guard(servers->lock);
    for (int i = 0; i < ServerCount(servers); i++) {
        tServer *server = ServerAt(servers, i);
        if (server->disabled) continue;
        for (int k = 0; k < IniStringCount(server->postingGroup); k++) {
            if (!WildMatch(group, IniStrings(server->postingGroup)[k], 0)) continue;
            server->users++;
            return server;
        }
    }
    return nullptr;
}

tDiag ForEachServer(tServers *servers, tServerFn fn, void *data) {
    for (tServer *server = ServersFirst(servers, SERVERS_SKIP_DISABLED); server;
         server = ServersNext(servers, server, SERVERS_SKIP_DISABLED)) {
        tDiag rc = fn(servers, server, data);
        if (rc < 0) {
            LogMessage(servers->log, "Server %s failed: %s.\n", server->displayName, DiagText(rc));
            ServerRelease(server);
            return rc;
        }
    }
    return E_OK;
}

// ---------------------------------------------------------------------------
// Names and option letters
// ---------------------------------------------------------------------------

int ShortenHost(const char *host, char *out, int size) {
    if (StrCopyBounded(out, host ? host : "", size) < 0) return -1;
    for (const char *word : {".com", ".edu", ".net", ".org", "news"}) {
        char *at = strstr(out, word);
        if (at) memmove(at, at + strlen(word), strlen(at + strlen(word)) + 1);
    }
    char *w = out;
    for (const char *r = out; *r; r++)
        if (*r != '.') *w++ = *r;
    *w = '\0';
    return (int)(w - out);
}

namespace {

struct tFlagWriter {
    char *out;
    int size;
    int length = 0;
    bool full = false;  // an item did not fit: nothing more is written

    void Add(const char *item) {
        if (full) return;
        int n = (int)strlen(item);
        if (length + n + 1 > size) {
            full = true;
            return;
        }
        memcpy(out + length, item, (size_t)n + 1);
        length += n;
    }
    void Add(bool on, const char *item) {
        if (on) Add(item);
    }
    void AddNumber(const char *letter, int value) {
        if (value == 0) return;
        char item[24];
        snprintf(item, sizeof item, "%s%d", letter, value);
        Add(item);
    }
};

}  // namespace

int ServerFlagsString(const tServer *server, char *output, int size, int full) {
    if (size <= 0) return 0;
    output[0] = '\0';
    tFlagWriter w{output, size};
    uint32_t flags = server->flags;
    w.Add(server->keepAlive, "A");
    w.Add(server->attemptMsgId, "a");
    w.Add(server->groupBeforeMsgId, "B");
    w.Add(server->background, "b");
    w.Add(server->closeOnListOk, "C");
    w.AddNumber("c", server->cost);
    w.Add(server->reuseForAsync, "D");
    w.Add(server->xoverOnEmpty, "E");
    w.Add(server->useFakes, "F");
    w.Add(server->xgTitleBroken, "G");
    w.Add(full && IniStringCount(server->ignoreGroup) > 0, "g");
    w.Add(server->emulateXoverUsingHead, "H");
    if (verbose) w.AddNumber("h", server->users);
    w.Add(server->truncAfterMsgId, "I");
    w.Add(server->ignoreLoginFailure, "i");
    w.Add(server->listPreferred, "L");
    w.Add(full && IniStringCount(server->listgroupGroup) > 0, "l");
    w.Add(server->msgIdIfNbFails, "M");
    w.Add(server->main, "m");
    w.Add(full && (flags & SF_WELCOME_201), "N");
    w.Add(server->blindLogin, "n");
    w.Add(server->listgroupDoesNotSetGroup, "O");
    w.Add(full && server->privateProxy.array.used > 0, "o");
    w.Add(full && (flags & SF_WELCOME_200), "P");
    w.AddNumber("R", server->adjustMaxConnections);
    w.Add(server->isSlow, "S");
    w.Add(server->extraTime, "T");
    w.AddNumber("t", server->category);
    w.Add(server->explore, "U");
    w.AddNumber("X", server->extraConnectTime);
    w.Add(server->emulateXoverUsingXhdr, "x");
    w.AddNumber("k", server->maxUnusedSecs);
    w.AddNumber("y", server->daysTooOld);
    return w.length;
}

// ---------------------------------------------------------------------------
// Results log
// ---------------------------------------------------------------------------

namespace {

constexpr int RESULT_LINE = 1024;

// Appends text to line (RESULT_LINE bytes); false when it does not fit.
bool Put(std::string &line, const char *text) {
    if (line.size() + strlen(text) + 1 > (size_t)RESULT_LINE) return false;
    line += text;
    return true;
}

bool PutList(std::string &line, const char *opening, const tIniStringArray &list) {
    int n = IniStringCount(list);
    if (n == 0) return true;
    bool ok = Put(line, opening);
    for (int i = 0; ok && i < n; i++) ok = (i == 0 || Put(line, " ")) && Put(line, IniStrings(list)[i]);
    return ok && Put(line, ")");
}

}  // namespace

void AppendResultLine(tServers *servers, tServer *server, const char *text) {
    tLog *log = servers->log;
    std::lock_guard<std::mutex> guard(servers->resultsLock);
    bool isNew = access(servers->resultsPath, F_OK) != 0;

    std::string header;
    char url[RESULT_LINE];
    if (isNew) {
        for (int i = 0; i < servers->proxies.array.used; i++) {
            const tUrl *proxy = static_cast<const tUrl *>(servers->proxies.array.buf) + i;
            if (proxy->scheme == URL_NONE_GIVEN) continue;
            if (UrlFormat(proxy, url, sizeof url, -1, 0) < 0) {
                LogMessage(log, "Could not format proxy URL: %s.\n", SockErrorText(SockLastError()));
                return;
            }
            header += "proxy ";
            header += url;
            header += "\n";
        }
        for (int j = 0; j < servers->chainOps.instances.used; j++) {
            const tProxyChain *chain = static_cast<const tProxyChain *>(IniInstance(&servers->sections[2], j));
            const int32_t *groups = static_cast<const int32_t *>(chain->proxyGroup.array.buf);
            if (chain->proxyGroup.array.used < 2) continue;
            header += "proxychain " + std::to_string(groups[0]) + " " + std::to_string(groups[1]) + "\n";
        }
    }

    std::string line;
    if (UrlFormat(&server->url, url, sizeof url, URL_NEWS, 0) < 0) {
        LogMessage(log, "Could not format server URL: %s.\n", SockErrorText(SockLastError()));
        return;
    }
    char options[64];
    ServerFlagsString(server, options, sizeof options, 0);
    bool ok = Put(line, url);
    if (ok && (options[0] || IniStringCount(server->ignoreGroup) > 0 || IniStringCount(server->listgroupGroup) > 0))
        ok = Put(line, " ");
    if (ok) ok = Put(line, options);
    int privateCount = server->privateProxy.array.used;
    if (ok && privateCount > 0) {
        ok = Put(line, "o(");
        for (int i = 0; ok && i < privateCount; i++) {
            const tUrl *proxy = static_cast<const tUrl *>(server->privateProxy.array.buf) + i;
            if (UrlFormat(proxy, url, sizeof url, -1, 0) < 0) {
                LogMessage(log, "Could not format proxy URL: %s.\n", SockErrorText(SockLastError()));
                return;
            }
            ok = (i == 0 || Put(line, " ")) && Put(line, url);
        }
        ok = ok && Put(line, ")");
    }
    ok = ok && PutList(line, "g(", server->ignoreGroup) && PutList(line, "l(", server->listgroupGroup);

    time_t now = time(nullptr);
    struct tm tmNow;
    localtime_r(&now, &tmNow);
    char when[64];
    snprintf(when, sizeof when, "%d/%02d/%02d %d:%02d", tmNow.tm_year + 1900, tmNow.tm_mon + 1, tmNow.tm_mday,
             tmNow.tm_hour, tmNow.tm_min);
    tDiag diag = server->dynamic ? server->dynamic->lastExploreDiag : E_NONE;
    const char *message = DiagText(diag);
    char tail[RESULT_LINE];
    if (diag != E_OK && text && strcmp(text, message) != 0)
        snprintf(tail, sizeof tail, "\t# %s: %s (%s)\n", when, message, text);
    else
        snprintf(tail, sizeof tail, "\t# %s: %s\n", when, message);
    ok = ok && Put(line, tail);
    if (!ok) {
        LogMessage(log, "Result line for %s is too long.\n", server->displayName);
        return;
    }

    FILE *file = fopen(servers->resultsPath, "a");
    if (!file) {
        LogMessage(log, "Could not open %s: %s.\n", servers->resultsPath, strerror(errno));
        return;
    }
    fputs(header.c_str(), file);
    fputs(line.c_str(), file);
    if (fclose(file) != 0) LogMessage(log, "Could not write %s: %s.\n", servers->resultsPath, strerror(errno));
}

// ---------------------------------------------------------------------------
// Proxies of a server
// ---------------------------------------------------------------------------

tUrl *ServerProxyAt(const tServers *servers, const tServer *server, int j, tUrl hops[2]) {
    if (j < 0) return nullptr;
    const tUrl *proxy = nullptr;
    if (server->privateProxy.array.used > 0) {
        if (j >= server->privateProxy.array.used) return nullptr;
        proxy = static_cast<const tUrl *>(server->privateProxy.array.buf) + j;
    } else {
        int seen = 0;
        for (int i = 0; i < servers->proxies.array.used && !proxy; i++) {
            const tUrl *p = static_cast<const tUrl *>(servers->proxies.array.buf) + i;
            if (p->proxyGroup == server->url.proxyGroup && seen++ == j) proxy = p;
        }
        if (!proxy) return nullptr;
    }
    hops[0] = *proxy;
    hops[0].next = nullptr;
    hops[1] = tUrl{};
    if (server->privateProxy.array.used > 0) return hops;
    // A chain pairs the proxy with the first proxy of its second group. Only
    // these two hops are linked, so chains that name each other never form a
    // cycle.
    for (int k = 0; k < servers->chainOps.instances.used; k++) {
        const tProxyChain *chain = static_cast<const tProxyChain *>(IniInstance(&servers->sections[2], k));
        const int32_t *groups = static_cast<const int32_t *>(chain->proxyGroup.array.buf);
        if (chain->proxyGroup.array.used != 2 || groups[0] != server->url.proxyGroup) continue;
        for (int i = 0; i < servers->proxies.array.used; i++) {
            const tUrl *p = static_cast<const tUrl *>(servers->proxies.array.buf) + i;
            if (p->proxyGroup != groups[1]) continue;
            hops[1] = *p;
            hops[1].next = nullptr;
            hops[0].next = &hops[1];
            break;
        }
        break;
    }
    return hops;
}
