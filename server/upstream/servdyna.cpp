#include "server/upstream/servdyna.h"

#include "server/upstream/inirecords.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace {

void ReleaseDynamic(tServerDynamic *) {}

typedef tHeapRecords<tServerDynamic, ReleaseDynamic> tDynRecords;

#define DYN_INT(name) {#name, &iniTypeInteger, INI_FIELD(tServerDynamic, name), IniDefInt(0)}
#define DYN_LL(name) {#name, &iniTypeLongLong, INI_FIELD(tServerDynamic, name), IniDefInt(0)}

const tIniEntry dynamicEntries[] = {
    {"url", &iniTypeString, INI_FIELD(tServerDynamic, url), IniDefText(nullptr)},
    DYN_INT(id),
    DYN_INT(addedDateSecs),
    DYN_INT(okResolves),
    DYN_INT(okResolveLastTime),
    DYN_INT(okResolvesSinceLastFailed),
    DYN_INT(failedResolves),
    DYN_INT(failedResolvesSinceLastOk),
    DYN_INT(okTcpConnects),
    DYN_INT(failedTcpConnects),
    DYN_INT(okPings),
    DYN_INT(failedPings),
    DYN_INT(okNntpConnects),
    DYN_INT(failedNntpConnects),
    DYN_INT(connectFirstFailedAfterLastOk),
    {"okBanners", &iniTypeStringArray, INI_FIELD(tServerDynamic, okBanners), IniDefList(nullptr)},
    {"failedBanners", &iniTypeStringArray, INI_FIELD(tServerDynamic, failedBanners), IniDefList(nullptr)},
    {"ipAddr", &iniTypeIpAddress, INI_FIELD(tServerDynamic, ipAddr), IniDefInt(0)},
    DYN_INT(lastExploreTime),
    {"lastExploreDiag", &iniTypeDiagnostic, INI_FIELD(tServerDynamic, lastExploreDiag), IniDefInt(E_NONE)},
    DYN_INT(lastOkExploreTime),
    DYN_INT(lastFailedExploreTime),
    {"lastFailedExploreDiag", &iniTypeDiagnostic, INI_FIELD(tServerDynamic, lastFailedExploreDiag),
     IniDefInt(E_NONE)},
    DYN_INT(okExplores),
    DYN_INT(failedExplores),
    DYN_INT(articlesGot),
    DYN_LL(articleBytesGot),
    DYN_LL(bytesSent),
    DYN_LL(bytesReceived),
    DYN_LL(maxBytesSent),
    DYN_LL(maxBytesReceived),
    DYN_INT(maxArticlesGot),
    DYN_INT(okNumberRetrievals),
    DYN_INT(failedNumberRetrievals),
    DYN_INT(okMsgIdRetrievals),
    DYN_INT(failedMsgIdRetrievals),
    DYN_INT(okAttemptMsgIdRetrievals),
    DYN_INT(failedAttemptMsgIdRetrievals),
    DYN_INT(okZombieRetrievals),
    DYN_INT(failedZombieRetrievals),
    DYN_INT(okBlindRetrievals),
    DYN_INT(failedBlindRetrievals),
    DYN_INT(lastGroupYesScanTime),
    {nullptr, nullptr, 0, 0},
};

#undef DYN_INT
#undef DYN_LL

void SetUpTables(tServDyna *dyna, const char *path) {
    dyna->ops = tDynRecords::Ops();
    dyna->sections[0] = {"serverDynamic", dynamicEntries, &dyna->ops};
    dyna->sections[1] = {nullptr, nullptr, nullptr};
    dyna->iniFile.name = path;
    dyna->iniFile.sections = dyna->sections;
    dyna->iniFile.sectionResolver = nullptr;
    dyna->iniFile.storeDefaults = 0;
}

}  // namespace

int ServersFileCheck(const char *path, tLog *log) {
    struct stat st;
    if (stat(path, &st) != 0) return 0;
    if (st.st_size > SERVERS_FILE_MAX_BYTES) {
        LogMessage(log, "Could not read the %s file: it is larger than %ld bytes.\n", path, SERVERS_FILE_MAX_BYTES);
        return -1;
    }
    FILE *file = fopen(path, "rb");
    if (!file) return 0;
    char buf[65536];
    size_t n;
    bool binary = false;
    while (!binary && (n = fread(buf, 1, sizeof buf, file)) > 0) binary = memchr(buf, '\0', n) != nullptr;
    fclose(file);
    if (!binary) return 0;
    LogMessage(log, "Could not read the %s file: it holds binary data.\n", path);
    return -1;
}

int ServDynaCount(const tServDyna *dyna) {
    return dyna->loaded ? tDynRecords::Count(&dyna->sections[0]) : 0;
}

tServerDynamic *ServDynaAt(const tServDyna *dyna, int index) {
    return tDynRecords::At(&dyna->sections[0], index);
}

tDiag ServDynaLoad(tServDyna *dyna, tLog *log, const char *path) {
    if (dyna->loaded) ServDynaRelease(dyna);
    SetUpTables(dyna, path);
    if (ServersFileCheck(path, log) != 0) return E_FILE_MISSING;
    if (IniLoad(&dyna->iniFile, log, 0) != 0) return E_FILE_MISSING;
    dyna->loaded = 1;
    tDiag rc = ServDynaSave(dyna, log);
    if (rc != E_OK) ServDynaRelease(dyna);
    return rc;
}

tServerDynamic *ServDynaFind(const tServDyna *dyna, int32_t id, int32_t addedDateSecs) {
    for (int i = 0; i < ServDynaCount(dyna); i++) {
        tServerDynamic *d = ServDynaAt(dyna, i);
        if (d->id == id && d->addedDateSecs == addedDateSecs) return d;
    }
    return nullptr;
}

tServerDynamic *ServDynaAppend(tServDyna *dyna, int32_t id, int32_t addedDateSecs) {
    void *instance = nullptr;
    if (!dyna->loaded || tDynRecords::New(&dyna->sections[0], &instance) != 0) {
        errno = ELIB_OUT_OF_MEMORY;
        return nullptr;
    }
    tServerDynamic *d = static_cast<tServerDynamic *>(instance);
    d->id = id;
    d->addedDateSecs = addedDateSecs;
    return d;
}

tDiag ServDynaSave(tServDyna *dyna, tLog *log) {
    std::lock_guard<std::mutex> guard(dyna->saveLock);
    // Never write the file from records that were not read from it.
    if (!dyna->loaded) return E_OK;
    int rc = IniWrite(&dyna->iniFile);
    if (rc == 0) return E_OK;
    LogMessage(log, "Could not save etc/servdyna.ini: %s.\n", IniErrorText(rc));
    return E_SERVERS_INI_SAVE;
}

void ServDynaRelease(tServDyna *dyna) {
    if (!dyna->loaded) return;
    IniRelease(&dyna->iniFile);
    dyna->loaded = 0;
}
