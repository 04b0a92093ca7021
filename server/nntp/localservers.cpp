#include "server/nntp/localservers.h"

#include <cstring>

#include "lib/log.h"
#include "lib/shortcut.h"
#include "lib/shutdown.h"
#include "lib/sock.h"
#include "server/settings/settings.h"

namespace {

constexpr int PROBE_SECONDS = 10;

void FillFromSettings(tListener *listener, const tLocalServerContext *context, int isWeb) {
    listener->registry = context->registry;
    listener->isWeb = isWeb;
    listener->indices = context->indices;
    listener->taskPool = context->taskPool;
    listener->servers = context->servers;
    listener->async = context->async;
    listener->popularity = context->groupList;
    listener->retrievedMark = retrievedMark;
    listener->retrievedList = retrievedLog ? context->retrievedList : nullptr;
    listener->retrievedShow = retrievedShow;
    listener->assumeInternetPresent = assumeInternetPresent;
    listener->restartRequested = context->restartRequested;
    listener->keptClientSocket = context->keptClientSocket;
    listener->skipEmptyGroups = skipEmptyGroups;
    listener->groupList = context->groupList;
    listener->adminLogin = adminLogin;
    listener->adminPass = adminPass;
    listener->userLogin = userLogin;
    listener->userPass = userPass;
    listener->reportAsDeleted = reportAsDeleted;
    listener->showOnlyActiveGroups = showOnlyActiveGroups;
    listener->journal = context->journal;
    listener->port = isWeb ? webPort : nntpPort;
    listener->otherComputers = otherComputers;
    listener->socket = INVALID_SOCK;
    listener->nntpPort = nntpPort;
    listener->clientsLogPath = isWeb ? "logs/web" : "logs/clients";
    listener->clientsLogMax = CLIENTS_LOG_MAX_SIZE;
    listener->sessionFunction = isWeb ? context->webSession : context->nntpSession;
    listener->threadLabel = isWeb ? "WebServer" : "NntpServer";
    listener->maxClients = isWeb ? maxWeb : maxNntp;
    listener->queueRequests = isWeb ? webQueueRequests : nntpQueueRequests;
    listener->hiddenList = context->hiddenList;
    listener->allowedIP = IniStrings(allowedIP);
    listener->allowedHostName = IniStrings(allowedHostName);
    listener->hostNameRequired = hostNameRequired;
    listener->portSetting = isWeb ? &webPort : &nntpPort;
}

}  // namespace

int LocalServerProbe(int port, int autoConfigured, int ignoreAnother, tLog *journal) {
    tConnectRequest request;
    memset(&request, 0, sizeof request);
    request.host = "127.0.0.1";
    request.port = port;
    request.timeout = PROBE_SECONDS;
    request.cancelSocket = CancelSocketGet();
    int socket = DirectConnect(&request);
    if (socket < 0) return 0;
    SocketClose(socket);
    LogMessage(journal, "Another server is already running on port %d\n", port);
    if (autoConfigured) return 0;
    if (!ignoreAnother) return 5;
    LogMessage(journal, "Ignoring this situation as requested.\n");
    return 0;
}

int NntpServerCreate(tListener *listener, const tLocalServerContext *context) {
    FillFromSettings(listener, context, 0);
    if (ListenerCreate(listener) != E_OK) return 23;
    int port = listener->port;
    if (telnetHtm) WriteShortcut("telnet.htm", SHORTCUT_TELNET, port, 0);
    if (telnetUrl) WriteShortcut("telnet.url", SHORTCUT_TELNET, port, 1);
    if (newsHtm) WriteShortcut("news.htm", SHORTCUT_NEWS, port, 0);
    if (newsUrl) WriteShortcut("news.url", SHORTCUT_NEWS, port, 1);
    return 0;
}

int WebServerCreate(tListener *listener, const tLocalServerContext *context) {
    FillFromSettings(listener, context, 1);
    if (ListenerCreate(listener) != E_OK) return 24;
    if (webHtm) WriteShortcut("web.htm", SHORTCUT_HTTP, listener->port, 0);
    if (webUrl) WriteShortcut("web.url", SHORTCUT_HTTP, listener->port, 1);
    return 0;
}

int DispatcherStart(tListener *listener) {
    int code = listener->isWeb ? 29 : 28;
    if (PoolStart(listener->taskPool, DispatcherRun, listener, 0,
                  listener->isWeb ? "WebDispatcher" : "NntpDispatcher") == 0)
        return 0;
    RequestShutdown(code);
    return code;
}
