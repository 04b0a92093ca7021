// Long-lived statistics of the upstream servers: "etc/servdyna.ini".
//
// One serverDynamic section per server, matched to its server by the pair
// (id, addedDateSecs), so that statistics survive a server being renumbered
// or re-added with the same id. The file is loaded before "etc/servers.ini"
// without storing defaults (a value equal to its default is left out),
// written back at once, linked to the servers after they are loaded, and
// saved by whoever changes the statistics and at tear-down.
//
// Records live on the heap (see inirecords.h): a server keeps a pointer to
// its record for the whole run.
//
// Threading: loading and linking run on the main thread during start-up. The
// counters are incremented without a lock by the thread that holds a
// connection to the server. ServDynaSave may be called from any thread; saves
// are serialised by the file's own lock.
#pragma once

#include "lib/diag.h"
#include "lib/ini.h"
#include "lib/log.h"

#include <cstdint>
#include <mutex>

// One statistics record. Integers are 32-bit unless marked; times are
// seconds since 1970, 0 = never.
struct tServerDynamic {
    char *url = nullptr;  // the server's URL without scheme and secrets
    int32_t id = 0;
    int32_t addedDateSecs = 0;
    int32_t okResolves = 0;
    int32_t okResolveLastTime = 0;
    int32_t okResolvesSinceLastFailed = 0;
    int32_t failedResolves = 0;
    int32_t failedResolvesSinceLastOk = 0;
    int32_t okTcpConnects = 0;
    int32_t failedTcpConnects = 0;
    int32_t okPings = 0;
    int32_t failedPings = 0;
    int32_t okNntpConnects = 0;
    int32_t failedNntpConnects = 0;
    int32_t connectFirstFailedAfterLastOk = 0;
    tIniStringArray okBanners{};      // distinct accepted welcome lines
    tIniStringArray failedBanners{};  // distinct refusing welcome lines
    uint32_t ipAddr = 0;              // last resolved IPv4 address, network order; 0 = none
    int32_t lastExploreTime = 0;
    tDiag lastExploreDiag = E_NONE;
    int32_t lastOkExploreTime = 0;
    int32_t lastFailedExploreTime = 0;
    tDiag lastFailedExploreDiag = E_NONE;
    int32_t okExplores = 0;
    int32_t failedExplores = 0;
    int32_t articlesGot = 0;
    int64_t articleBytesGot = 0;
    int64_t bytesSent = 0;
    int64_t bytesReceived = 0;
    int64_t maxBytesSent = 0;
    int64_t maxBytesReceived = 0;
    int32_t maxArticlesGot = 0;
    int32_t okNumberRetrievals = 0;
    int32_t failedNumberRetrievals = 0;
    int32_t okMsgIdRetrievals = 0;
    int32_t failedMsgIdRetrievals = 0;
    int32_t okAttemptMsgIdRetrievals = 0;
    int32_t failedAttemptMsgIdRetrievals = 0;
    int32_t okZombieRetrievals = 0;
    int32_t failedZombieRetrievals = 0;
    int32_t okBlindRetrievals = 0;
    int32_t failedBlindRetrievals = 0;
    int32_t lastGroupYesScanTime = 0;
    // Not saved: the number of servers linked to this record (main thread).
    int useCount = 0;
};

// The file "etc/servdyna.ini" and its records. Lives inside tServers; must
// not move once ServDynaLoad has run.
struct tServDyna {
    tIniFile iniFile{};
    tIniSection sections[2]{};
    tIniSectionOps ops{};
    int loaded = 0;       // ServDynaLoad succeeded and ServDynaRelease has not run
    std::mutex saveLock;  // serialises ServDynaSave
};

// Files larger than this are refused at load instead of being read.
constexpr long SERVERS_FILE_MAX_BYTES = 64L * 1024 * 1024;

// Checks a configuration file before it is read: a file larger than
// SERVERS_FILE_MAX_BYTES, or holding NUL bytes (binary data, which the line
// reader would take for empty lines and then overwrite), gives "Could not
// read the %s file: %s.\n" to log and -1. A missing file, or one that cannot
// be opened, gives 0 (the loader reports those).
int ServersFileCheck(const char *path, tLog *log);

// The number of records and record i (0 <= i < count). Main thread, or
// after start-up (records are only appended during start-up).
int ServDynaCount(const tServDyna *dyna);
tServerDynamic *ServDynaAt(const tServDyna *dyna, int index);

// Loads path (normally "etc/servdyna.ini") with IniLoad without storing
// defaults (a missing file is created empty) and writes it back at once.
// Returns E_OK; E_FILE_MISSING when the file cannot be read (also when
// ServersFileCheck refuses it), after the framework's message to log;
// E_SERVERS_INI_SAVE after "Could not save etc/servdyna.ini: %s.\n" when it
// cannot be written. On failure nothing stays loaded and the file is left as
// it was. Main thread.
[[nodiscard]] tDiag ServDynaLoad(tServDyna *dyna, tLog *log, const char *path = "etc/servdyna.ini");

// The record with this id and addedDateSecs, or null.
tServerDynamic *ServDynaFind(const tServDyna *dyna, int32_t id, int32_t addedDateSecs);

// Appends a record with this id and addedDateSecs (the rest defaults).
// Returns it, or null when out of memory (errno ELIB_OUT_OF_MEMORY).
tServerDynamic *ServDynaAppend(tServDyna *dyna, int32_t id, int32_t addedDateSecs);

// Writes the file back (through a temporary file, synced and renamed, so a
// failed save leaves the previous file whole). E_OK, or E_SERVERS_INI_SAVE
// after "Could not save etc/servdyna.ini: %s.\n" to log. Any thread.
tDiag ServDynaSave(tServDyna *dyna, tLog *log);

// Frees every record. The pointers handed out become invalid.
void ServDynaRelease(tServDyna *dyna);
