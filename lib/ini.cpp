#include "lib/ini.h"

#include "lib/diag.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// ---------------------------------------------------------------------------
// Helpers shared by the entry types
// ---------------------------------------------------------------------------

// Decimal number as atoll reads it (leading blanks, sign, digits; junk gives
// 0), saturated at the 64-bit limits instead of overflowing.
int64_t Atoi64(const char *text) {
    return (int64_t)strtoll(text, nullptr, 10);
}

// The same saturated at the 32-bit limits, so that an overlong number is out
// of range rather than wrapped into range.
int32_t Atoi32(const char *text) {
    int64_t v = Atoi64(text);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return (int32_t)v;
}

int Put(FILE *file, const char *format, ...) __attribute__((format(printf, 2, 3)));
int Put(FILE *file, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = vfprintf(file, format, args);
    va_end(args);
    return n < 0 ? INI_WRITE_FAILED : 0;
}

// A scalar line is left out when defaults are not stored and it holds one.
bool Omit(const tIniFile *iniFile, bool equalsDefault) {
    return !iniFile->storeDefaults && equalsDefault;
}

template <typename T>
T *Var(const tIniEntry *entry, void *instance) {
    return (T *)IniEntryAddress(entry, instance);
}

int NoRelease(const tIniEntry *, void *) { return 0; }

// ---------------------------------------------------------------------------
// 32-bit integers: "integer", "long", "tcp-port", "non-negative", "boolean"
// ---------------------------------------------------------------------------

int Int32Default(const tIniEntry *entry, void *instance) {
    *Var<int32_t>(entry, instance) = (int32_t)entry->defaultValue;
    return 0;
}

int IntegerParse(const tIniEntry *entry, void *instance, const char *value) {
    *Var<int32_t>(entry, instance) = Atoi32(value);
    return 0;
}

int TcpPortParse(const tIniEntry *entry, void *instance, const char *value) {
    int32_t v = Atoi32(value);
    if (v < 1 || v > 65535) return INI_OUT_OF_RANGE;
    *Var<int32_t>(entry, instance) = v;
    return 0;
}

int NonNegativeParse(const tIniEntry *entry, void *instance, const char *value) {
    int32_t v = Atoi32(value);
    if (v < 0) return INI_OUT_OF_RANGE;
    *Var<int32_t>(entry, instance) = v;
    return 0;
}

int Int32Write(const tIniEntry *entry, void *instance, FILE *file, const tIniFile *iniFile) {
    int32_t v = *Var<int32_t>(entry, instance);
    if (Omit(iniFile, v == (int32_t)entry->defaultValue)) return 0;
    return Put(file, "%s=%d\n", entry->name, v);
}

int BooleanDefault(const tIniEntry *entry, void *instance) {
    *Var<int32_t>(entry, instance) = entry->defaultValue != 0;
    return 0;
}

int BooleanParse(const tIniEntry *entry, void *instance, const char *value) {
    *Var<int32_t>(entry, instance) = Atoi32(value) != 0;
    return 0;
}

int BooleanWrite(const tIniEntry *entry, void *instance, FILE *file, const tIniFile *iniFile) {
    int v = *Var<int32_t>(entry, instance) != 0;
    if (Omit(iniFile, v == (entry->defaultValue != 0))) return 0;
    return Put(file, "%s=%d\n", entry->name, v);
}

// ---------------------------------------------------------------------------
// "longlong"
// ---------------------------------------------------------------------------

int LongLongDefault(const tIniEntry *entry, void *instance) {
    *Var<int64_t>(entry, instance) = (int64_t)(int32_t)entry->defaultValue;
    return 0;
}

int LongLongParse(const tIniEntry *entry, void *instance, const char *value) {
    *Var<int64_t>(entry, instance) = Atoi64(value);
    return 0;
}

int LongLongWrite(const tIniEntry *entry, void *instance, FILE *file, const tIniFile *iniFile) {
    int64_t v = *Var<int64_t>(entry, instance);
    if (Omit(iniFile, v == (int64_t)(int32_t)entry->defaultValue)) return 0;
    return Put(file, "%s=%lld\n", entry->name, (long long)v);
}

// ---------------------------------------------------------------------------
// "string"
// ---------------------------------------------------------------------------

int StringRelease(const tIniEntry *entry, void *instance) {
    char **v = Var<char *>(entry, instance);
    free(*v);
    *v = nullptr;
    return 0;
}

int StringDefault(const tIniEntry *entry, void *instance) {
    StringRelease(entry, instance);
    const char *def = (const char *)entry->defaultValue;
    if (!def) return 0;
    char *copy = strdup(def);
    if (!copy) return INI_OUT_OF_MEMORY;
    *Var<char *>(entry, instance) = copy;
    return 0;
}

int StringParse(const tIniEntry *entry, void *instance, const char *value) {
    char *copy = nullptr;
    if (*value) {
        copy = strdup(value);
        if (!copy) return INI_OUT_OF_MEMORY;
    }
    char **v = Var<char *>(entry, instance);
    free(*v);
    *v = copy;
    return 0;
}

int StringWrite(const tIniEntry *entry, void *instance, FILE *file, const tIniFile *iniFile) {
    const char *v = *Var<char *>(entry, instance);
    const char *def = (const char *)entry->defaultValue;
    if (Omit(iniFile, strcasecmp(v ? v : "", def ? def : "") == 0)) return 0;
    return Put(file, "%s=%s\n", entry->name, v ? v : "");
}

// ---------------------------------------------------------------------------
// "string-array": owned texts followed by a null element
// ---------------------------------------------------------------------------

void StringArrayClear(tIniStringArray *a) {
    DynArrayFreePointers(&a->array);
    DynArrayInit(&a->array, (int)sizeof(char *), 10, DA_DOUBLE);
}

// Appends a copy of text, keeping the final null element.
int StringArrayAppend(tIniStringArray *a, const char *text) {
    if (DynArrayGrow(&a->array, 2) != 0) return INI_OUT_OF_MEMORY;
    if (a->array.used > 0) a->array.used--;  // drop the terminator; room for two is there
    if (DynArrayAddPointerCopy(&a->array, text) != 0) {
        (void)DynArrayAddPointerCopy(&a->array, nullptr);
        if (a->array.used == 1) a->array.used = 0;
        return INI_OUT_OF_MEMORY;
    }
    (void)DynArrayAddPointerCopy(&a->array, nullptr);
    return 0;
}

int StringArrayRelease(const tIniEntry *entry, void *instance) {
    tIniStringArray *a = Var<tIniStringArray>(entry, instance);
    DynArrayFreePointers(&a->array);
    a->loaded = 0;
    return 0;
}

int StringArrayDefault(const tIniEntry *entry, void *instance) {
    tIniStringArray *a = Var<tIniStringArray>(entry, instance);
    StringArrayClear(a);
    a->loaded = 0;
    const char *const *def = (const char *const *)entry->defaultValue;
    for (; def && *def; def++) {
        int rc = StringArrayAppend(a, *def);
        if (rc) return rc;
    }
    return 0;
}

int StringArrayParse(const tIniEntry *entry, void *instance, const char *value) {
    tIniStringArray *a = Var<tIniStringArray>(entry, instance);
    if (!a->loaded) {
        StringArrayClear(a);
        a->loaded = 1;
    }
    return StringArrayAppend(a, value);
}

int StringArrayWrite(const tIniEntry *entry, void *instance, FILE *file, const tIniFile *) {
    tIniStringArray *a = Var<tIniStringArray>(entry, instance);
    char **texts = IniStrings(*a);
    for (int i = 0; texts && texts[i]; i++) {
        int rc = Put(file, "%s=%s\n", entry->name, texts[i]);
        if (rc) return rc;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// "integer-array"
// ---------------------------------------------------------------------------

int IntArrayRelease(const tIniEntry *entry, void *instance) {
    tIniIntArray *a = Var<tIniIntArray>(entry, instance);
    DynArrayFree(&a->array);
    a->loaded = 0;
    return 0;
}

int IntArrayDefault(const tIniEntry *entry, void *instance) {
    tIniIntArray *a = Var<tIniIntArray>(entry, instance);
    DynArrayFree(&a->array);
    DynArrayInit(&a->array, (int)sizeof(int32_t), 10, DA_DOUBLE);
    a->loaded = 0;
    return entry->defaultValue ? INI_DEFAULT_NOT_ALLOWED : 0;
}

int IntArrayParse(const tIniEntry *entry, void *instance, const char *value) {
    tIniIntArray *a = Var<tIniIntArray>(entry, instance);
    if (!a->loaded) {
        DynArrayFree(&a->array);
        DynArrayInit(&a->array, (int)sizeof(int32_t), 10, DA_DOUBLE);
        a->loaded = 1;
    }
    if (DynArrayGrow(&a->array, 1) != 0) return INI_OUT_OF_MEMORY;
    ((int32_t *)a->array.buf)[a->array.used++] = Atoi32(value);
    return 0;
}

int IntArrayWrite(const tIniEntry *entry, void *instance, FILE *file, const tIniFile *) {
    tIniIntArray *a = Var<tIniIntArray>(entry, instance);
    for (int i = 0; i < a->array.used; i++) {
        int rc = Put(file, "%s=%d\n", entry->name, ((int32_t *)a->array.buf)[i]);
        if (rc) return rc;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// "diagnostic": a tDiag written as its message
// ---------------------------------------------------------------------------

int DiagnosticParse(const tIniEntry *entry, void *instance, const char *value) {
    *Var<tDiag>(entry, instance) = DiagFromText(value);
    return 0;
}

int DiagnosticWrite(const tIniEntry *entry, void *instance, FILE *file, const tIniFile *iniFile) {
    tDiag v = *Var<tDiag>(entry, instance);
    if (Omit(iniFile, v == (tDiag)entry->defaultValue)) return 0;
    return Put(file, "%s=%s\n", entry->name, DiagText(v));
}

// ---------------------------------------------------------------------------
// "IP-address": IPv4 address in network order
// ---------------------------------------------------------------------------

int IpDefault(const tIniEntry *entry, void *instance) {
    *Var<uint32_t>(entry, instance) = (uint32_t)entry->defaultValue;
    return 0;
}

int IpParse(const tIniEntry *entry, void *instance, const char *value) {
    *Var<uint32_t>(entry, instance) = (uint32_t)inet_addr(value);
    return 0;
}

int IpWrite(const tIniEntry *entry, void *instance, FILE *file, const tIniFile *iniFile) {
    uint32_t v = *Var<uint32_t>(entry, instance);
    if (Omit(iniFile, v == (uint32_t)entry->defaultValue)) return 0;
    struct in_addr a;
    a.s_addr = v;
    char text[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &a, text, sizeof text)) return INI_WRITE_FAILED;
    return Put(file, "%s=%s\n", entry->name, text);
}

}  // namespace

const tIniType iniTypeInteger = {"integer", Int32Default, IntegerParse, Int32Write, NoRelease};
const tIniType iniTypeLong = {"long", Int32Default, IntegerParse, Int32Write, NoRelease};
const tIniType iniTypeLongLong = {"longlong", LongLongDefault, LongLongParse, LongLongWrite, NoRelease};
const tIniType iniTypeTcpPort = {"tcp-port", Int32Default, TcpPortParse, Int32Write, NoRelease};
const tIniType iniTypeNonNegative = {"non-negative", Int32Default, NonNegativeParse, Int32Write,
                                     NoRelease};
const tIniType iniTypeBoolean = {"boolean", BooleanDefault, BooleanParse, BooleanWrite, NoRelease};
const tIniType iniTypeString = {"string", StringDefault, StringParse, StringWrite, StringRelease};
const tIniType iniTypeStringArray = {"string-array", StringArrayDefault, StringArrayParse,
                                     StringArrayWrite, StringArrayRelease};
const tIniType iniTypeIntegerArray = {"integer-array", IntArrayDefault, IntArrayParse, IntArrayWrite,
                                      IntArrayRelease};
const tIniType iniTypeDiagnostic = {"diagnostic", Int32Default, DiagnosticParse, DiagnosticWrite,
                                    NoRelease};
const tIniType iniTypeIpAddress = {"IP-address", IpDefault, IpParse, IpWrite, NoRelease};

// ---------------------------------------------------------------------------
// Error texts and lookups
// ---------------------------------------------------------------------------

const char *IniErrorText(int code) {
    switch (code) {
    case INI_WRITE_FAILED: return "File write failed";
    case INI_DEFAULT_NOT_ALLOWED: return "Default value not allowed for entry";
    case INI_INVALID_FORMAT: return "Invalid format";
    case INI_NOT_IN_SECTION: return "Not in a section";
    case INI_OUT_OF_MEMORY: return "Out of memory";
    case INI_CANNOT_SAVE: return "File cannot be opened for saving";
    case INI_CANNOT_READ: return "File cannot be opened for reading";
    case INI_OUT_OF_RANGE: return "Integer value outside of allowed range";
    case INI_BAD_TYPE: return "Bad entry type";
    case INI_UNKNOWN_ENTRY: return "Unknown entry name";
    case INI_MISSING_EQUAL: return "Missing equal after key";
    case INI_INVALID_KEY: return "Invalid key name";
    case INI_INVALID_SECTION: return "Invalid section name";
    case INI_JUNK_AFTER_BRACKET: return "Junk after right bracket";
    case INI_MISSING_BRACKET: return "Missing right bracket";
    case INI_TRUNCATED_SECTION: return "Truncated section separator";
    default: return "Error without string";
    }
}

const tIniEntry *IniFindEntry(const tIniSection *section, const char *key) {
    for (const tIniEntry *e = section->entries; e->name; e++)
        if (strcasecmp(e->name, key) == 0) return e;
    return nullptr;
}

int IniDefaultResolver(tIniFile *iniFile, const char *name, tIniSection **section, void **instance) {
    for (tIniSection *s = iniFile->sections; s->name; s++) {
        if (strcasecmp(s->name, name) != 0) continue;
        *section = s;
        *instance = nullptr;
        return s->ops ? s->ops->newInstance(s, instance) : 0;
    }
    return INI_INVALID_SECTION;
}

// ---------------------------------------------------------------------------
// Repeated sections
// ---------------------------------------------------------------------------

namespace {

void ReleaseEntries(const tIniSection *section, void *instance) {
    for (const tIniEntry *e = section->entries; e->name; e++) e->type->release(e, instance);
}

int WriteEntries(const tIniSection *section, void *instance, FILE *file, const tIniFile *iniFile) {
    int rc = Put(file, "[%s]\n", section->name);
    for (const tIniEntry *e = section->entries; rc == 0 && e->name; e++)
        rc = e->type->write(e, instance, file, iniFile);
    if (rc == 0) rc = Put(file, "\n");
    return rc;
}

}  // namespace

int IniInstancesInit(tIniSection *section) {
    tIniSectionOps *ops = section->ops;
    DynArrayInit(&ops->instances, ops->instanceSize, 10, DA_DOUBLE);
    return 0;
}

int IniInstancesNew(tIniSection *section, void **instance) {
    tDynArray *da = &section->ops->instances;
    if (DynArrayGrow(da, 1) != 0) return INI_OUT_OF_MEMORY;
    void *record = (char *)da->buf + (size_t)da->used * (size_t)da->elemSize;
    memset(record, 0, (size_t)da->elemSize);
    da->used++;
    for (const tIniEntry *e = section->entries; e->name; e++) {
        int rc = e->type->setDefault(e, record);
        if (rc) {
            ReleaseEntries(section, record);
            da->used--;
            return rc;
        }
    }
    *instance = record;
    return 0;
}

int IniInstancesWriteAll(tIniSection *section, FILE *file, const tIniFile *iniFile) {
    const tDynArray &da = section->ops->instances;
    for (int i = 0; i < da.used; i++) {
        int rc = WriteEntries(section, IniInstance(section, i), file, iniFile);
        if (rc) return rc;
    }
    return 0;
}

void IniInstancesReleaseAll(tIniSection *section) {
    tDynArray *da = &section->ops->instances;
    for (int i = 0; i < da->used; i++) ReleaseEntries(section, IniInstance(section, i));
    DynArrayFree(da);
}

// ---------------------------------------------------------------------------
// Defaults and release
// ---------------------------------------------------------------------------

int IniApplyDefaults(tIniFile *iniFile) {
    int first = 0;
    for (tIniSection *s = iniFile->sections; s->name; s++) {
        if (s->ops) {
            int rc = s->ops->init(s);
            if (rc && !first) first = rc;
            continue;
        }
        for (const tIniEntry *e = s->entries; e->name; e++) {
            int rc = e->type->setDefault(e, nullptr);
            if (rc && !first) first = rc;
        }
    }
    return first;
}

void IniRelease(tIniFile *iniFile) {
    for (tIniSection *s = iniFile->sections; s->name; s++) {
        if (s->ops)
            s->ops->releaseAll(s);
        else
            ReleaseEntries(s, nullptr);
    }
}

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

namespace {

// Reads one line of at most INI_LINE_BUFFER - 1 bytes into buf (NUL ended).
// Returns false at the end of the file. *cut is set when the physical line
// went on beyond the buffer with more than white space; the rest of such a
// line is consumed and dropped.
bool ReadIniLine(FILE *file, char *buf, bool *cut) {
    size_t len = 0;
    int c = EOF;
    *cut = false;
    while (len < (size_t)INI_LINE_BUFFER - 1) {
        c = getc(file);
        if (c == EOF) break;
        buf[len++] = (char)c;
        if (c == '\n') break;
    }
    buf[len] = '\0';
    if (len == 0 && c == EOF) return false;
    if (len == (size_t)INI_LINE_BUFFER - 1 && c != '\n') {
        while ((c = getc(file)) != EOF && c != '\n')
            if (!isspace((unsigned char)c)) *cut = true;
    }
    return true;
}

// Parses a header line (starting with "["); on success *name points at the
// NUL-terminated section name inside line.
int ParseHeader(char *line, char **name) {
    char *p = line + 1;
    while (isspace((unsigned char)*p)) p++;
    char *start = p;
    while (*p && *p != ']' && !isspace((unsigned char)*p)) p++;
    if (!*p) return INI_TRUNCATED_SECTION;
    char *end = p;
    while (isspace((unsigned char)*p)) p++;
    if (*p != ']') return INI_MISSING_BRACKET;
    p++;
    while (isspace((unsigned char)*p)) p++;
    if (*p && *p != ';' && *p != '#') return INI_JUNK_AFTER_BRACKET;
    *end = '\0';
    *name = start;
    return 0;
}

}  // namespace

int IniRead(tIniFile *iniFile, tIniReport report, void *context) {
    FILE *file = fopen(iniFile->name, "rb");
    if (!file) return INI_CANNOT_READ;
    tIniSectionResolver resolve = iniFile->sectionResolver ? iniFile->sectionResolver : IniDefaultResolver;
    tIniSection *section = nullptr;
    void *instance = nullptr;
    char buf[INI_LINE_BUFFER];
    char copy[INI_LINE_BUFFER];
    bool cut;
    int result = 0;
    while (ReadIniLine(file, buf, &cut)) {
        // Trim: trailing white space (with the line end), then leading.
        size_t len = strlen(buf);
        while (len > 0 && isspace((unsigned char)buf[len - 1])) buf[--len] = '\0';
        char *line = buf;
        while (isspace((unsigned char)*line)) line++;
        if (!*line || *line == ';' || *line == '#') continue;
        strcpy(copy, line);  // the line as read, for messages

        if (*line == '[') {
            char *name = nullptr;
            int rc = ParseHeader(line, &name);
            if (rc == 0) rc = resolve(iniFile, name, &section, &instance);
            if (rc) {
                if (report) report(context, "%s: %s\n", IniErrorText(rc), copy);
                result = rc;
                break;
            }
            continue;
        }

        if (!section) {
            if (report) report(context, "%s: %s\n", IniErrorText(INI_NOT_IN_SECTION), copy);
            result = INI_NOT_IN_SECTION;
            break;
        }
        if (!isalpha((unsigned char)*line)) {
            if (report) report(context, "Ignoring line because %s: %s\n", IniErrorText(INI_INVALID_KEY), copy);
            continue;
        }
        char *equal = strchr(line, '=');
        if (!equal) {
            if (report)
                report(context, "Ignoring line because %s: %s\n", IniErrorText(INI_MISSING_EQUAL), copy);
            continue;
        }
        *equal = '\0';
        const char *key = line;
        char *value = equal + 1;
        while (isspace((unsigned char)*value)) value++;

        const tIniEntry *entry = IniFindEntry(section, key);
        if (!entry) {
            if (report)
                report(context, "Ignoring line because %s: %s\n", IniErrorText(INI_UNKNOWN_ENTRY), copy);
            const tIniEntry *ignored = IniFindEntry(section, "ignored");
            if (ignored) (void)ignored->type->parse(ignored, instance, copy);
            continue;
        }
        // A value cut by the line buffer would be stored incomplete: refuse it.
        int rc = cut ? INI_INVALID_FORMAT : entry->type->parse(entry, instance, value);
        if (rc && report)
            report(context, "Ignoring entry %s of type %s because %s: %s\n", key, entry->type->name,
                   IniErrorText(rc), copy);
    }
    if (result == 0 && ferror(file)) result = INI_CANNOT_READ;
    fclose(file);
    return result;
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

namespace {

// Makes a completed rename durable; failures are of no consequence here.
void SyncDirectoryOf(const char *path) {
    char dir[4096];
    const char *slash = strrchr(path, '/');
    if (!slash) {
        strcpy(dir, ".");
    } else if (slash == path) {
        strcpy(dir, "/");
    } else {
        size_t n = (size_t)(slash - path);
        if (n >= sizeof dir) return;
        memcpy(dir, path, n);
        dir[n] = '\0';
    }
    int fd = open(dir, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    (void)fsync(fd);
    close(fd);
}

}  // namespace

int IniWrite(tIniFile *iniFile) {
    std::string temp = std::string(iniFile->name) + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) return INI_CANNOT_SAVE;
    // Keep the permissions of the file being replaced (a new one gets 0644).
    struct stat st;
    mode_t mode = stat(iniFile->name, &st) == 0 ? (st.st_mode & 07777) : 0644;
    (void)fchmod(fd, mode);
    FILE *file = fdopen(fd, "w");
    if (!file) {
        close(fd);
        unlink(temp.c_str());
        return INI_CANNOT_SAVE;
    }
    int rc = 0;
    for (tIniSection *s = iniFile->sections; rc == 0 && s->name; s++)
        rc = s->ops ? s->ops->writeAll(s, file, iniFile) : WriteEntries(s, nullptr, file, iniFile);
    if (rc == 0 && (fflush(file) != 0 || fsync(fileno(file)) != 0)) rc = INI_WRITE_FAILED;
    if (fclose(file) != 0 && rc == 0) rc = INI_WRITE_FAILED;
    if (rc == 0 && rename(temp.c_str(), iniFile->name) != 0) rc = INI_WRITE_FAILED;
    if (rc) {
        unlink(temp.c_str());
        return rc;
    }
    SyncDirectoryOf(iniFile->name);
    return 0;
}

// ---------------------------------------------------------------------------
// Loading
// ---------------------------------------------------------------------------

namespace {

void ReportToLog(void *context, const char *format, ...) __attribute__((format(printf, 2, 3)));
void ReportToLog(void *context, const char *format, ...) {
    va_list args;
    va_start(args, format);
    LogMessageV((tLog *)context, format, args);
    va_end(args);
}

}  // namespace

int IniLoad(tIniFile *iniFile, tLog *log, int storeDefaultsIfCreated) {
    if (IniApplyDefaults(iniFile) != 0) {
        LogMessage(log, "Could not initialize the %s file.\n", iniFile->name);
        IniRelease(iniFile);
        return -1;
    }
    int rc = IniRead(iniFile, ReportToLog, log);
    if (rc == 0) return 0;
    if (rc != INI_CANNOT_READ) {
        LogMessage(log, "Could not read the %s file: %s\n", iniFile->name, IniErrorText(rc));
        IniRelease(iniFile);
        return -1;
    }
    if (access(iniFile->name, F_OK) == 0) {
        LogMessage(log, "Could not read the %s file, but the file exists.\n", iniFile->name);
        IniRelease(iniFile);
        return -1;
    }
    iniFile->storeDefaults = storeDefaultsIfCreated;
    if (IniWrite(iniFile) == 0) {
        LogMessage(log, "Created the %s file.\n", iniFile->name);
        return 0;
    }
    LogMessage(log, "Could not create the %s file.\n", iniFile->name);
    IniRelease(iniFile);
    return -1;
}
