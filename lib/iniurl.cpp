// The URL entry types of the INI framework ("url", "url-array"), apart from
// lib/ini.cpp so that only files that use URLs need the URL module.
#include "lib/ini.h"
#include "lib/url.h"

#include <cstring>

namespace {

// URLs are written with the news scheme implicit and with their secrets.
constexpr int URL_TEXT = 1024;

int WriteUrl(const char *key, const tUrl *url, FILE *file) {
    char text[URL_TEXT];
    if (UrlFormat(url, text, sizeof text, URL_NEWS, 0) < 0) return INI_WRITE_FAILED;
    return fprintf(file, "%s=%s\n", key, text) < 0 ? INI_WRITE_FAILED : 0;
}

tUrl *UrlVar(const tIniEntry *entry, void *instance) { return (tUrl *)IniEntryAddress(entry, instance); }

int UrlEntryRelease(const tIniEntry *entry, void *instance) {
    UrlRelease(UrlVar(entry, instance));
    return 0;
}

int UrlEntryParse(const tIniEntry *entry, void *instance, const char *value) {
    tUrl parsed;
    if (!UrlParse(value, &parsed)) return INI_INVALID_FORMAT;
    tUrl *url = UrlVar(entry, instance);
    UrlRelease(url);
    *url = parsed;
    return 0;
}

int UrlEntryWrite(const tIniEntry *entry, void *instance, FILE *file, const tIniFile *iniFile) {
    const tUrl *url = UrlVar(entry, instance);
    if (!iniFile->storeDefaults && !url->host) return 0;
    return WriteUrl(entry->name, url, file);
}

tIniUrlArray *UrlsVar(const tIniEntry *entry, void *instance) {
    return (tIniUrlArray *)IniEntryAddress(entry, instance);
}

void UrlsClear(tIniUrlArray *a) {
    for (int i = 0; i < a->array.used; i++) UrlRelease((tUrl *)a->array.buf + i);
    DynArrayFree(&a->array);
    DynArrayInit(&a->array, (int)sizeof(tUrl), 10, DA_DOUBLE);
}

int UrlsRelease(const tIniEntry *entry, void *instance) {
    tIniUrlArray *a = UrlsVar(entry, instance);
    UrlsClear(a);
    a->loaded = 0;
    return 0;
}

int UrlsDefault(const tIniEntry *entry, void *instance) {
    UrlsRelease(entry, instance);
    return entry->defaultValue ? INI_DEFAULT_NOT_ALLOWED : 0;
}

int UrlsParse(const tIniEntry *entry, void *instance, const char *value) {
    tIniUrlArray *a = UrlsVar(entry, instance);
    if (!a->loaded) {
        UrlsClear(a);
        a->loaded = 1;
    }
    tUrl parsed;
    if (!UrlParse(value, &parsed)) return INI_INVALID_FORMAT;
    if (DynArrayGrow(&a->array, 1) != 0) {
        UrlRelease(&parsed);
        return INI_OUT_OF_MEMORY;
    }
    ((tUrl *)a->array.buf)[a->array.used++] = parsed;
    return 0;
}

int UrlsWrite(const tIniEntry *entry, void *instance, FILE *file, const tIniFile *) {
    tIniUrlArray *a = UrlsVar(entry, instance);
    for (int i = 0; i < a->array.used; i++) {
        int rc = WriteUrl(entry->name, (tUrl *)a->array.buf + i, file);
        if (rc) return rc;
    }
    return 0;
}

int UrlEntryDefault(const tIniEntry *entry, void *instance) {
    UrlRelease(UrlVar(entry, instance));
    return 0;
}

}  // namespace

const tIniType iniTypeUrl = {"url", UrlEntryDefault, UrlEntryParse, UrlEntryWrite, UrlEntryRelease};
const tIniType iniTypeUrlArray = {"url-array", UrlsDefault, UrlsParse, UrlsWrite, UrlsRelease};
