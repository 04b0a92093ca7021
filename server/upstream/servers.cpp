// Loading, validating, importing, binding and saving the servers.
#include "server/upstream/servers.h"

#include "lib/panic.h"
#include "lib/strings.h"
#include "server/settings/settings.h"
#include "server/upstream/inirecords.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <vector>

tServers allServers;

namespace {

// ---------------------------------------------------------------------------
// Tables of "etc/servers.ini"
// ---------------------------------------------------------------------------

void ReleaseServerRecord(tServer *server) {
    free(server->diskName);
    free(server->displayName);
    server->diskName = server->displayName = nullptr;
}

typedef tHeapRecords<tServer, ReleaseServerRecord> tServerRecords;

#define SRV_BOOL(name, def) {#name, &iniTypeBoolean, INI_FIELD(tServer, name), IniDefInt(def)}
#define SRV_INT(name, def) {#name, &iniTypeInteger, INI_FIELD(tServer, name), IniDefInt(def)}
#define SRV_STRINGS(name) {#name, &iniTypeStringArray, INI_FIELD(tServer, name), IniDefList(nullptr)}

const tIniEntry serverEntries[] = {
    SRV_BOOL(disabled, 0),
    SRV_INT(id, 0),
    {"url", &iniTypeUrl, INI_FIELD(tServer, url), 0},
    SRV_INT(adjustMaxConnections, 0),
    SRV_BOOL(attemptMsgId, 0),
    SRV_BOOL(background, 0),
    SRV_BOOL(blindLogin, 0),
    SRV_INT(category, 0),
    SRV_BOOL(closeOnListOk, 0),
    SRV_INT(cost, 0),
    SRV_INT(daysTooOld, 0),
    SRV_BOOL(explore, 1),
    SRV_BOOL(emulateXoverUsingHead, 0),
    SRV_BOOL(emulateXoverUsingXhdr, 0),
    SRV_BOOL(enforceForbiddenIPs, 1),
    SRV_INT(extraConnectTime, 0),
    SRV_BOOL(extraTime, 0),
    SRV_BOOL(filterArticles, 0),
    SRV_BOOL(groupBeforeMsgId, 0),
    SRV_STRINGS(ignoreGroup),
    SRV_BOOL(ignoreLoginFailure, 0),
    SRV_BOOL(isSlow, 0),
    SRV_BOOL(keepAlive, 0),
    SRV_BOOL(listgroupDoesNotSetGroup, 0),
    SRV_STRINGS(listgroupGroup),
    SRV_BOOL(listgroupIfGroupFails, 0),
    SRV_BOOL(listPreferred, 0),
    SRV_BOOL(main, 0),
    SRV_INT(maxUnusedSecs, -1),
    SRV_BOOL(msgIdIfNbFails, 1),
    SRV_INT(numbersCollapseMaxRanges, 0),
    SRV_INT(numbersCollapseMinDistance, 0),
    SRV_STRINGS(postingGroup),
    {"privateProxy", &iniTypeUrlArray, INI_FIELD(tServer, privateProxy), 0},
    SRV_BOOL(retrieveArticles, 1),
    SRV_BOOL(reuseForAsync, 1),
    SRV_BOOL(xoverOnEmpty, 1),
    SRV_BOOL(truncAfterMsgId, 0),
    SRV_BOOL(useFakes, 0),
    SRV_BOOL(useXrefs, 1),
    SRV_BOOL(xgTitleBroken, 0),
    SRV_BOOL(zombies, 1),
    SRV_BOOL(xhdrMessageIdAllowNumberNotGreater, 0),
    SRV_BOOL(xoverAllowNumberNotGreater, 0),
    SRV_INT(addedDateSecs, 0),
    {"addedDateString", &iniTypeString, INI_FIELD(tServer, addedDateString), IniDefText(nullptr)},
    SRV_STRINGS(ignored),
    SRV_STRINGS(comment),
    {nullptr, nullptr, 0, 0},
};

#undef SRV_BOOL
#undef SRV_INT
#undef SRV_STRINGS

const tIniEntry chainEntries[] = {
    {"proxyGroup", &iniTypeIntegerArray, INI_FIELD(tProxyChain, proxyGroup), 0},
    {nullptr, nullptr, 0, 0},
};

// The sections are bound to this instance's fields, so the tables are made
// per tServers.
void SetUpTables(tServers *servers, const char *path) {
    servers->fileEntries[0] = {"comment", &iniTypeStringArray, IniVar(&servers->comment), IniDefList(nullptr)};
    servers->fileEntries[1] = {nullptr, nullptr, 0, 0};
    servers->proxyEntries[0] = {"url", &iniTypeUrlArray, IniVar(&servers->proxies), 0};
    servers->proxyEntries[1] = {nullptr, nullptr, 0, 0};
    servers->chainOps = {(int)sizeof(tProxyChain), {}, IniInstancesNew, IniInstancesInit,
                         IniInstancesWriteAll, IniInstancesReleaseAll};
    servers->serverOps = tServerRecords::Ops();
    servers->sections[0] = {"file", servers->fileEntries, nullptr};
    servers->sections[1] = {"proxies", servers->proxyEntries, nullptr};
    servers->sections[2] = {"proxychain", chainEntries, &servers->chainOps};
    servers->sections[3] = {"server", serverEntries, &servers->serverOps};
    servers->sections[4] = {nullptr, nullptr, nullptr};
    servers->iniFile.name = path;
    servers->iniFile.sections = servers->sections;
    servers->iniFile.sectionResolver = nullptr;
    servers->iniFile.storeDefaults = 1;
}

tIniSection *ServerSection(const tServers *servers) {
    return const_cast<tIniSection *>(&servers->sections[3]);
}

int ChainCount(const tServers *servers) { return servers->chainOps.instances.used; }

tProxyChain *ChainAt(const tServers *servers, int i) {
    return static_cast<tProxyChain *>(IniInstance(&servers->sections[2], i));
}

int ProxyCount(const tServers *servers) { return servers->proxies.array.used; }

tUrl *ProxyAt(const tServers *servers, int i) { return static_cast<tUrl *>(servers->proxies.array.buf) + i; }

int ChainGroup(const tProxyChain *chain, int i) { return static_cast<int32_t *>(chain->proxyGroup.array.buf)[i]; }

const char *Text(const char *s) { return s ? s : ""; }

// ---------------------------------------------------------------------------
// Validation
// ---------------------------------------------------------------------------

// Result of ValidateServer for a disk name used by another server.
constexpr int DUPLICATE_DISK_NAME = 1;

// The type of a proxy or private proxy: derived from the port when not
// given, and one of the proxy schemes.
tDiag ValidateProxyType(tServers *servers, tUrl *proxy) {
    const char *host = Text(proxy->host);
    if (proxy->scheme == URL_NONE_GIVEN) {
        if (proxy->port == 0) {
            proxy->scheme = URL_HTTPS;
            proxy->port = 80;
            LogMessage(servers->log, "No proxy type or port specified with %s; assuming %s on port %d\n", host,
                       urlSchemes[URL_HTTPS].prefix, proxy->port);
        } else {
            int scheme;
            switch (proxy->port) {
            case 21: scheme = URL_FTP; break;
            case 23: scheme = URL_TELNET; break;
            case 80:
            case 443:
            case 8080: scheme = URL_HTTPS; break;
            case 119: scheme = URL_NEWS; break;
            case 1080: scheme = URL_SOCKS5; break;
            case 3666: scheme = URL_SUN; break;
            case 4666: scheme = URL_FTPPROXY; break;
            default:
                LogMessage(servers->log,
                           "Proxy type is not specified for %s; could not figure out a default value given "
                           "the port either.\n",
                           host);
                return E_SERVERS_INI_ERROR;
            }
            proxy->scheme = scheme;
            LogMessage(servers->log, "Proxy type was not specified for %s; assumed %s\n", host,
                       urlSchemes[scheme].prefix);
        }
    }
    switch (proxy->scheme) {
    case URL_NO_PROXY:
    case URL_FTPPROXY:
    case URL_SUN:
    case URL_SOCKS5:
    case URL_SOCKS5B:
    case URL_SOCKS4:
    case URL_SOCKS4B:
    case URL_HTTPS:
    case URL_TUNNEL: return E_OK;
    default:
        LogMessage(servers->log, "Proxy type '%s' is incorrect for %s\n", urlSchemes[proxy->scheme].prefix, host);
        return E_SERVERS_INI_ERROR;
    }
}

// The first proxy of group, or null.
tUrl *FirstProxyOfGroup(const tServers *servers, int group) {
    for (int i = 0; i < ProxyCount(servers); i++)
        if (ProxyAt(servers, i)->proxyGroup == group) return ProxyAt(servers, i);
    return nullptr;
}

tDiag ValidateProxies(tServers *servers, int *haveGroup0) {
    *haveGroup0 = 0;
    for (int i = 0; i < ProxyCount(servers); i++) {
        tUrl *proxy = ProxyAt(servers, i);
        if (proxy->proxyGroup == 0) *haveGroup0 = 1;
        if (proxy->proxyGroup < 0) {
            LogMessage(servers->log, "Negative proxy ids are reserved for per-server proxies, error in proxy %d\n", i);
            return E_SERVERS_INI_ERROR;
        }
        tDiag rc = ValidateProxyType(servers, proxy);
        if (rc != E_OK) return rc;
    }
    return E_OK;
}

tDiag ValidateChains(tServers *servers) {
    for (int j = 0; j < ChainCount(servers); j++) {
        const tProxyChain *chain = ChainAt(servers, j);
        if (chain->proxyGroup.array.used != 2) {
            LogMessage(servers->log, "Proxy chain %d does not contain exactly 2 proxy group numbers.\n", j);
            return E_SERVERS_INI_ERROR;
        }
        int first = ChainGroup(chain, 0), second = ChainGroup(chain, 1);
        for (int k = 0; k < j; k++) {
            const tProxyChain *earlier = ChainAt(servers, k);
            if (ChainGroup(earlier, 0) == first) {
                LogMessage(servers->log, "Proxy %d is already used in chain %d %d\n", first, ChainGroup(earlier, 0),
                           ChainGroup(earlier, 1));
                return E_SERVERS_INI_ERROR;
            }
        }
        const tUrl *proxy = FirstProxyOfGroup(servers, first);
        if (!proxy) {
            LogMessage(servers->log, "First proxy group %d not defined.\n", first);
            return E_SERVERS_INI_ERROR;
        }
        if (proxy->scheme == URL_NO_PROXY || proxy->scheme == URL_FTPPROXY) {
            LogMessage(servers->log, "First proxy cannot be of type '%s'.\n", urlSchemes[proxy->scheme].prefix);
            return E_SERVERS_INI_ERROR;
        }
        proxy = FirstProxyOfGroup(servers, second);
        if (!proxy) {
            LogMessage(servers->log, "Second proxy group %d not defined.\n", second);
            return E_SERVERS_INI_ERROR;
        }
        if (proxy->scheme == URL_FTPPROXY) {
            LogMessage(servers->log, "Second proxy cannot be of type '%s'.\n", urlSchemes[proxy->scheme].prefix);
            return E_SERVERS_INI_ERROR;
        }
    }
    return E_OK;
}

tServer *ServerWithId(const tServers *servers, int32_t id) {
    for (int i = 0; i < ServerCount(servers); i++)
        if (ServerAt(servers, i)->id == id) return ServerAt(servers, i);
    return nullptr;
}

// Replaces the characters that file names must not hold.
void MakeFileNameSafe(char *name) {
    for (char *p = name; *p; p++)
        if ((*p >= 0x01 && *p <= 0x1f) || strchr("\"<>|*?:\\/", *p)) *p = '_';
}

// Builds the disk name into out (SERVER_NAME_MAX + 1 bytes); -1 when too long.
int MakeDiskName(const tServer *server, int shortFileNames, char *out) {
    const int size = SERVER_NAME_MAX + 1;
    if (shortFileNames) {
        char shortHost[SERVER_NAME_MAX + 1];
        if (ShortenHost(server->url.host, shortHost, sizeof shortHost) < 0) return -1;
        if (FormatBounded(out, size, "%.8s.%ld", shortHost, (long)(server->id % 1000)) < 0) return -1;
    } else if (UrlFormat(&server->url, out, size, URL_NEWS, 1) < 0) {
        return -1;
    }
    MakeFileNameSafe(out);
    return 0;
}

void ReportGroups(tServers *servers, const tIniStringArray &groups, const char *heading, const char *name) {
    if (IniStringCount(groups) == 0) return;
    LogMessage(servers->log, heading, name);
    for (int i = 0; i < IniStringCount(groups); i++) LogMessage(servers->log, "  %s\n", IniStrings(groups)[i]);
}

// Validates server (which is in the list) and derives its names and flags.
// Returns E_OK, DUPLICATE_DISK_NAME, or a failure after its message.
int ValidateServer(tServers *servers, tServer *server, int shortFileNames, int noXGTITLE, int alwaysLIST) {
    tLog *log = servers->log;
    if (server->id < 0) {
        LogMessage(log, "Server number %ld is invalid.\n", (long)server->id);
        return E_SERVERS_INI_ERROR;
    }
    if (!server->url.host) {
        LogMessage(log, "Server %ld does not have an URL.\n", (long)server->id);
        return E_SERVERS_INI_ERROR;
    }
    if (server->disabled) server->main = server->background = 0;
    if (server->id == 0) {
        // The lowest free id is at most the number of servers.
        int n = ServerCount(servers);
        std::vector<char> used((size_t)n + 2, 0);
        for (int i = 0; i < n; i++) {
            int32_t other = ServerAt(servers, i)->id;
            if (other > 0 && other <= n + 1) used[(size_t)other] = 1;
        }
        int32_t id = 1;
        while (id <= n && used[(size_t)id] != 0) id++;
        server->id = id;
    }
    for (int i = 0; i < ServerCount(servers); i++) {
        const tServer *other = ServerAt(servers, i);
        if (other == server) break;
        if (other->id == server->id) {
            LogMessage(log, "Server number %ld is duplicate (%s and %s).\n", (long)server->id, Text(other->url.host),
                       server->url.host);
            return E_SERVERS_INI_ERROR;
        }
    }
    if (server->addedDateSecs == 0) {
        time_t now = time(nullptr);
        char text[64];
        if (!ctime_r(&now, text)) text[0] = '\0';
        text[strcspn(text, "\n")] = '\0';
        char *copy = strdup(text);
        if (!copy) {
            LogMessage(log, "Out of memory to store the added date of server %s.\n", server->url.host);
            return E_OUT_OF_MEMORY;
        }
        free(server->addedDateString);
        server->addedDateString = copy;
        server->addedDateSecs = (int32_t)now;
    }
    if (server->url.scheme == URL_NONE_GIVEN) server->url.scheme = URL_NEWS;
    if (server->url.port == 0) server->url.port = urlSchemes[server->url.scheme].defaultPort;
    if ((server->url.login == nullptr) != (server->url.password == nullptr)) {
        LogMessage(log, "Login and password must be provided together.\n");
        return E_SERVERS_INI_ERROR;
    }

    char name[SERVER_NAME_MAX + 1];
    if (MakeDiskName(server, shortFileNames, name) < 0) {
        LogMessage(log, "Disk name for %s is too long.\n", server->url.host);
        return E_BUFFER_TOO_SMALL;
    }
    for (int i = 0; i < ServerCount(servers); i++) {
        const tServer *other = ServerAt(servers, i);
        if (other == server || !other->diskName || strcasecmp(other->diskName, name) != 0) continue;
        char text[1024];
        if (UrlFormat(&server->url, text, sizeof text, URL_NEWS, 1) < 0) snprintf(text, sizeof text, "%s", server->url.host);
        LogMessage(log, "URL %s gives the same disk name as server %ld, which is forbidden.\n", text, (long)other->id);
        return DUPLICATE_DISK_NAME;
    }
    free(server->diskName);
    server->diskName = strdup(name);
    if (!server->diskName) {
        LogMessage(log, "Out of memory to store disk name for server.\n");
        return E_OUT_OF_MEMORY;
    }
    char display[SERVER_NAME_MAX + 1];
    if (FormatBounded(display, sizeof display, "%s (%ld)", name, (long)server->id) < 0) {
        LogMessage(log, "Display name for server %s is too long.\n", name);
        return E_BUFFER_TOO_SMALL;
    }
    free(server->displayName);
    server->displayName = strdup(display);
    if (!server->displayName) {
        LogMessage(log, "Out of memory to store display name for server %s\n", name);
        return E_OUT_OF_MEMORY;
    }

    ReportGroups(servers, server->ignoreGroup, "The following groups will be ignored on server %s:\n", display);
    ReportGroups(servers, server->listgroupGroup,
                 "LISTGROUP will be used to change the current group on server %s for these groups:\n", display);
    ReportGroups(servers, server->postingGroup, "The following groups will be posted to server %s:\n", display);

    int privateCount = server->privateProxy.array.used;
    if (privateCount > 0) {
        if (server->url.proxyGroup != 0) {
            LogMessage(log, "Servers having private proxies cannot have a proxy group set.\n");
            return E_SERVERS_INI_ERROR;
        }
        for (int i = 0; i < privateCount; i++) {
            tUrl *proxy = static_cast<tUrl *>(server->privateProxy.array.buf) + i;
            if (proxy->proxyGroup != 0) {
                LogMessage(log, "Per-server proxies cannot have a proxy group defined.\n");
                return E_SERVERS_INI_ERROR;
            }
            tDiag rc = ValidateProxyType(servers, proxy);
            if (rc != E_OK) return rc;
        }
    }

    if (server->main) {
        const tServer *first = servers->mainServer ? ServerWithId(servers, servers->mainServer) : nullptr;
        if (first && first != server) {
            LogMessage(log, "Main server already defined as %s\n", Text(first->displayName));
            return E_SERVERS_INI_ERROR;
        }
        servers->mainServer = server->id;
    }
    if (server->background) {
        const tServer *first = servers->backgroundServer ? ServerWithId(servers, servers->backgroundServer) : nullptr;
        if (first && first != server) {
            LogMessage(log, "Background server already defined as %s\n", Text(first->displayName));
            return E_SERVERS_INI_ERROR;
        }
        servers->backgroundServer = server->id;
    }

    uint32_t flags = 0;
    if (noXGTITLE) flags |= SF_NO_XGTITLE;
    if (alwaysLIST) flags |= SF_ALWAYS_LIST;
    server->flags = flags;
    server->maxConnections = 4 + server->adjustMaxConnections;
    if (server->maxConnections < 1)
        LogMessage(log,
                   "Warning: server %s has the maximum number of connections set to less than 1. No "
                   "connections will be attempted to it.\n",
                   display);

    server->servers = servers;
    server->lastConnectDiag = E_NO_CONNECTION;
    return E_OK;
}

void CountServersToExplore(tServers *servers) {
    std::lock_guard<std::mutex> guard(servers->lock);
    int count = 0;
    for (int i = 0; i < ServerCount(servers); i++)
        if (!ServerAt(servers, i)->disabled) count++;
    servers->serversToExplore = count;
}

}  // namespace

// ---------------------------------------------------------------------------
// Loading
// ---------------------------------------------------------------------------

tDiag ServersLoadDynamic(tServers *servers, tLog *log, const char *path) {
    return ServDynaLoad(&servers->dyna, log, path);
}

tDiag LoadServers(tServers *servers, tLog *log, int shortFileNames, int noXGTITLE, int alwaysLIST,
                  tServerAvailableFn serverAvailable, void *data, tScheduler *scheduler, const char *path) {
    if (servers->loaded) return E_SERVERS_INI_ERROR;
    SetUpTables(servers, path);
    servers->log = log;
    servers->mainServer = servers->backgroundServer = 0;

    if (ServersFileCheck(path, log) != 0) return E_FILE_MISSING;
    if (IniLoad(&servers->iniFile, log, 1) != 0) return E_FILE_MISSING;

    int haveGroup0 = 0;
    tDiag rc = ValidateProxies(servers, &haveGroup0);
    if (rc == E_OK) rc = ValidateChains(servers);
    for (int i = 0; rc == E_OK && i < ServerCount(servers); i++) {
        int result = ValidateServer(servers, ServerAt(servers, i), shortFileNames, noXGTITLE, alwaysLIST);
        // In this file a duplicate disk name is an error like any other.
        rc = result == DUPLICATE_DISK_NAME ? E_SERVERS_INI_ERROR : result;
    }
    if (rc == E_OK && !haveGroup0) {
        tIniUrlArray *proxies = &servers->proxies;
        if (DynArrayGrow(&proxies->array, 1) != 0) {
            LogMessage(log, "Out of memory to define proxy 0\n");
            rc = E_OUT_OF_MEMORY;
        } else {
            tUrl *none = static_cast<tUrl *>(proxies->array.buf) + proxies->array.used++;
            *none = tUrl{};
            none->scheme = URL_NO_PROXY;
        }
    }
    if (rc != E_OK) {
        IniRelease(&servers->iniFile);
        servers->mainServer = servers->backgroundServer = 0;
        return rc;
    }

    servers->loaded = 1;
    if (ServerCount(servers) == 0) LogMessage(log, "Empty etc/servers.ini file.\n");
    if (tServer *s = ServerWithId(servers, servers->mainServer); s && servers->mainServer)
        LogMessage(log, "Server %s is main.\n", s->displayName);
    if (tServer *s = ServerWithId(servers, servers->backgroundServer); s && servers->backgroundServer)
        LogMessage(log, "Server %s is background.\n", s->displayName);
    (void)SaveServers(servers);
    CountServersToExplore(servers);
    servers->serverAvailable = serverAvailable;
    servers->serverAvailableData = data;
    servers->scheduler = scheduler;
    return E_OK;
}

tDiag AddServersFromList(tServers *servers, int shortFileNames, int noXGTITLE, int alwaysLIST, const char *path) {
    tLog *log = servers->log;
    if (!servers->loaded) return E_SERVERS_INI_ERROR;
    FILE *file = fopen(path, "r");
    if (!file) {
        LogMessage(log, "Could not open '%s'.\n", path);
        return E_FILE_MISSING;
    }
    if (ServersFileCheck(path, log) != 0) {
        fclose(file);
        return E_FILE_MISSING;
    }
    tIniSection *section = ServerSection(servers);
    char line[514];
    tDiag rc = E_OK;
    int lineNumber = 0;
    while (rc == E_OK && fgets(line, sizeof line, file)) {
        lineNumber++;
        // The tail of a longer line must not become a server of its own.
        if (strlen(line) > 512 || (!strchr(line, '\n') && !feof(file))) {
            LogMessage(log, "Line %d of '%s' is longer than 512 characters.\n", lineNumber, path);
            rc = E_SERVERS_INI_ERROR;
            break;
        }
        char *save = nullptr;
        char *token = strtok_r(line, " \t\r\n", &save);
        if (!token) continue;
        void *instance = nullptr;
        int irc;
        {
            std::lock_guard<std::mutex> guard(servers->lock);
            irc = tServerRecords::New(section, &instance);
        }
        if (irc != 0) {
            LogMessage(log, "Could not allocate another server: %s.\n", IniErrorText(irc));
            rc = E_OUT_OF_MEMORY;
            break;
        }
        tServer *server = static_cast<tServer *>(instance);
        int index = ServerCount(servers) - 1;
        if (!UrlParse(token, &server->url)) {
            LogMessage(log, "URL %s has incorrect format: %s\n", token, SockErrorText(SockLastError()));
            rc = E_SERVERS_INI_ERROR;
        }
        const tIniEntry *privateProxy = IniFindEntry(section, "privateProxy");
        while (rc == E_OK && (token = strtok_r(nullptr, " \t\r\n", &save)) != nullptr) {
            if (privateProxy->type->parse(privateProxy, server, token) != 0) {
                LogMessage(log, "Could not add private proxy '%s': %s.\n", token, SockErrorText(SockLastError()));
                rc = E_SERVERS_INI_ERROR;
            }
        }
        if (rc == E_OK) {
            int result = ValidateServer(servers, server, shortFileNames, noXGTITLE, alwaysLIST);
            if (result == DUPLICATE_DISK_NAME) {
                std::lock_guard<std::mutex> guard(servers->lock);
                tServerRecords::Remove(section, index);
                continue;
            }
            rc = result;
        }
        if (rc != E_OK) {
            std::lock_guard<std::mutex> guard(servers->lock);
            tServerRecords::Remove(section, index);
        }
    }
    fclose(file);
    if (rc != E_OK) return rc;
    CountServersToExplore(servers);
    (void)SaveServers(servers);
    return E_OK;
}

tDiag BindServers(tServers *servers) {
    tLog *log = servers->log;
    int changed = 0;
    for (int i = 0; i < ServerCount(servers); i++) {
        tServer *server = ServerAt(servers, i);
        if (server->url.proxyGroup != 0 && !FirstProxyOfGroup(servers, server->url.proxyGroup))
            LogMessage(log, "Warning: server %s references inexisting proxy id %d.\n", server->displayName,
                       server->url.proxyGroup);
        tServerDynamic *d = ServDynaFind(&servers->dyna, server->id, server->addedDateSecs);
        if (!d) {
            d = ServDynaAppend(&servers->dyna, server->id, server->addedDateSecs);
            if (!d) {
                LogMessage(log, "Could not allocate another serverDynamic: %s.\n", LibErrorText(errno));
                return E_SERVERS_INI_ERROR;
            }
            changed = 1;
        }
        d->useCount++;
        server->dynamic = d;
        char url[1024];
        if (UrlFormat(&server->url, url, sizeof url, URL_NEWS, 1) < 0) {
            LogMessage(log, "Could not format server URL: %s.\n", SockErrorText(SockLastError()));
            return E_SERVERS_INI_ERROR;
        }
        if (!d->url || strcmp(d->url, url) != 0) {
            char *copy = strdup(url);
            if (!copy) {
                LogMessage(log, "Could not format server URL: %s.\n", LibErrorText(ELIB_OUT_OF_MEMORY));
                return E_SERVERS_INI_ERROR;
            }
            free(d->url);
            d->url = copy;
            changed = 1;
        }
    }
    if (changed) (void)ServDynaSave(&servers->dyna, log);
    return E_OK;
}

tDiag SaveServers(tServers *servers) {
    std::lock_guard<std::mutex> guard(servers->saveLock);
    if (!servers->loaded) return E_OK;
    int rc = IniWrite(&servers->iniFile);
    if (rc == 0) return E_OK;
    LogMessage(servers->log, "Could not save etc/servers.ini: %s.\n", IniErrorText(rc));
    return E_SERVERS_INI_SAVE;
}

int ServersStart(tServers *servers, tLog *log, const char *importFile, tServerAvailableFn serverAvailable,
                 void *data, tScheduler *scheduler) {
    if (ServersLoadDynamic(servers, log) != E_OK) return SERVERS_EXIT_CONFIG;
    if (LoadServers(servers, log, shortFileNames, noXGTITLE, alwaysLIST, serverAvailable, data, scheduler) != E_OK)
        return SERVERS_EXIT_CONFIG;
    if (importFile && AddServersFromList(servers, shortFileNames, noXGTITLE, alwaysLIST, importFile) != E_OK)
        return SERVERS_EXIT_IMPORT;
    if (BindServers(servers) != E_OK) return SERVERS_EXIT_CONFIG;
    return 0;
}

tDiag SaveServersDynamic(tServers *servers) { return ServDynaSave(&servers->dyna, servers->log); }

void ServersRelease(tServers *servers) {
    if (servers->loaded) {
        (void)ServDynaSave(&servers->dyna, servers->log);
        for (int i = 0; i < ServerCount(servers); i++) {
            tServer *server = ServerAt(servers, i);
            MG_ASSERT(!DlinkInList(&server->allConnections));
            int users = server->users;
            if (users > 1 || users < 0 || (users != 0 && verbose))
                LogMessage(servers->log, "  %d users for %s.\n", users, Text(server->displayName));
        }
        std::lock_guard<std::mutex> guard(servers->lock);
        IniRelease(&servers->iniFile);
        servers->loaded = 0;
        servers->serversToExplore = 0;
    }
    ServDynaRelease(&servers->dyna);
    servers->mainServer = servers->backgroundServer = 0;
    servers->serverAvailable = nullptr;
    servers->serverAvailableData = nullptr;
    servers->scheduler = nullptr;
}
