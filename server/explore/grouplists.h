// Learning which groups an upstream server offers, with their article
// number ranges, into the server's actual list.
//
// QueryGroupList answers one question: the groups matching a pattern (a
// plain name or a wildcard pattern), or the groups created since a time
// (NEWGROUPS). The server is asked in the cheapest way it supports, as a
// cascade: GROUP for a plain name, LIST ACTIVE with the pattern, XGTITLE,
// and at last the full LIST filtered locally. The full LIST is kept in the
// cache file "list/<disk name>" and reused by later queries for 300 seconds,
// so that the several patterns of one sweep ask for it once. Refusals are
// remembered in the server flags (SF_NO_LIST_ACTIVE, SF_NO_XGTITLE) and
// later queries skip those steps. Broken connections are retried twice with
// reconnection; a connection that breaks within the list restarts the query
// (or, on a closeOnListOk server, ends the list with what was received).
//
// Threading: a query runs on the exploration thread holding the
// conversation. The actual list belongs to that exploration; the LIST cache
// file to that server's exploration.
#pragma once

#include "lib/diag.h"

#include <ctime>

struct tNntp;
struct tRequester;
struct tActualList;
struct tServer;

// The directory of the LIST caches, relative to the work directory.
constexpr const char *LIST_CACHE_DIRECTORY = "list";

// Seconds a LIST cache is used.
constexpr int LIST_CACHE_SECONDS = 300;

// One question about groups.
struct tListQuery {
    tNntp *nntp = nullptr;                 // the conversation
    const tRequester *requester = nullptr; // for reconnection
    const char *pattern = "*";             // group name or wildcard pattern
    time_t since = 0;                      // 0, or the time for NEWGROUPS
    tActualList *actual = nullptr;         // receives the groups
    long listed = 0;                       // group lines received and single groups added,
                                           // kept across the queries of one exploration
    // Counts of the last query (its report line).
    long total = 0;       // lines counted for this query
    long duplicates = 0;
    long unwanted = 0;
    long kept = 0;
};

// Adds the groups that match query->pattern (with query->since: the groups
// created since one day before it) to query->actual. Returns E_OK (also
// when nothing matched or a plain group does not exist), or
// E_LIST_REFUSED, E_LIST_REFUSED_TEMP, E_LIST_TIMEOUTS,
// E_LIST_ACTIVE_TIMEOUTS, E_XGTITLE_TIMEOUTS, E_BUFFER_TOO_SMALL,
// E_OUT_OF_FILES, E_DISK_WRITE, E_SHUTDOWN, or a failure of SelectGroup
// or Reconnect.
[[nodiscard]] tDiag QueryGroupList(tListQuery *query);

// The LIST cache file of server into path (size bytes): "list/<disk name>".
// -1 when it does not fit.
int ListCachePath(const tServer *server, char *path, int size);

// Removes the LIST cache of server (the exploration does this after its
// group list phase). E_OK when no file stays.
tDiag ListCacheRemove(const tServer *server);

// The NEWGROUPS command for since ("NEWGROUPS yymmdd hhmmss\r\n", one day
// before since, local time) into buffer; exposed for tests. -1 when it does
// not fit.
int FormatNewgroups(time_t since, char *buffer, int size);
