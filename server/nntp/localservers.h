// The local servers in the life of a run: the probe for another instance,
// the creation of the NNTP and web listeners from the global settings with
// their shortcut files, and the start of their dispatcher threads.
//
// The main program calls, in this order: LocalServerProbe (before the work
// directories are made), RegistryInit, NntpServerCreate and WebServerCreate
// (each when its server is enabled), DispatcherStart for each created
// listener once start-up has succeeded, and at tear-down, after the task
// pool has drained, ListenerClose for each listener and RegistryRelease.
// Each function returns 0 or the run's exit code for its failure.
//
// Threading: main thread only, during start-up.
#pragma once

#include "lib/threadpool.h"
#include "server/nntp/listener.h"

struct tLog;

// What the main program hands to both listeners.
struct tLocalServerContext {
    tClientRegistry *registry;
    tIndices *indices;
    tThreadPool *taskPool;
    tServers *servers;
    tAsyncQueue *async;
    tGroupList *groupList;       // the full group list, also the popularity
    tMil *retrievedList;         // handed on only when retrievedLog is set
    tMil *hiddenList;
    int *restartRequested;
    int *keptClientSocket;
    tLog *journal;
    tPoolFunction nntpSession;   // the reader session
    tPoolFunction webSession;    // the web handler
};

// Whether another server answers on 127.0.0.1:port. When one does, the
// connection is closed and "Another server is already running on port %d\n"
// written to journal; the result is then 0 for an auto-configured run, 5
// when ignoreAnother is 0, else 0 after "Ignoring this situation as
// requested.\n". 0 when nothing answers.
int LocalServerProbe(int port, int autoConfigured, int ignoreAnother, tLog *journal);

// Fills the listener (value-initialised by the caller) from the context and
// the settings (nntpPort, maxNntp, nntpQueueRequests, otherComputers, the
// access lists, the logins and the session settings) and creates it with
// "logs/clients"; the port bound is stored into nntpPort. Then writes the
// shortcut files chosen by telnetHtm, telnetUrl, newsHtm and newsUrl with
// that port. 0, or 23 when no port could be bound.
int NntpServerCreate(tListener *listener, const tLocalServerContext *context);

// The same for the web server: webPort, maxWeb, webQueueRequests,
// "logs/web", the shortcuts web.htm and web.url (webHtm, webUrl); the port
// bound is stored into webPort. 0, or 24.
int WebServerCreate(tListener *listener, const tLocalServerContext *context);

// Starts the listener's dispatcher on its task pool as "NntpDispatcher" or
// "WebDispatcher". 0; on failure RequestShutdown(28 or 29) and that code.
int DispatcherStart(tListener *listener);
