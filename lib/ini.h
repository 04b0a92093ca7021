// Table-driven INI configuration files.
//
// A configuration file is described by static tables: a tIniFile lists its
// sections, a section lists its typed entries, and every entry names the
// variable that receives its value and the default the variable holds when the
// file does not set it. One generic reader (IniRead) fills the variables from
// a file, one generic writer (IniWrite) writes them back, and IniLoad combines
// both so that a missing file is created with the defaults.
//
// File syntax: "[name]" section headers, "key=value" lines, comments starting
// with ";" or "#". Keys match without regard to case; a key line is reported
// and skipped when it is bad, a bad header stops the read.
//
// A section that occurs once binds its entries to global variables (the
// entry's variable is an address). A section that may occur many times has a
// tIniSectionOps: every occurrence appends one instance record to a tDynArray
// and the entry's variable is the offset of the field in that record.
//
// Writing goes to a temporary file beside the target that is flushed, synced
// and renamed over it, so a failed or interrupted write never leaves a
// half-written file behind.
//
// Threading: no locks. A file's variables are loaded, written and released by
// one thread at a time (callers serialise).
#pragma once

#include "lib/dynarray.h"
#include "lib/log.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// INI error codes (a code space of their own; IniErrorText names them).
constexpr int INI_WRITE_FAILED = -84;
constexpr int INI_DEFAULT_NOT_ALLOWED = -85;
constexpr int INI_INVALID_FORMAT = -86;
constexpr int INI_NOT_IN_SECTION = -87;
constexpr int INI_OUT_OF_MEMORY = -88;
constexpr int INI_CANNOT_SAVE = -89;
constexpr int INI_CANNOT_READ = -90;
constexpr int INI_OUT_OF_RANGE = -91;
constexpr int INI_BAD_TYPE = -92;
constexpr int INI_UNKNOWN_ENTRY = -93;
constexpr int INI_MISSING_EQUAL = -94;
constexpr int INI_INVALID_KEY = -95;
constexpr int INI_INVALID_SECTION = -96;
constexpr int INI_JUNK_AFTER_BRACKET = -97;
constexpr int INI_MISSING_BRACKET = -98;
constexpr int INI_TRUNCATED_SECTION = -99;

// Lines are read through a buffer of this size; a longer line is cut.
constexpr int INI_LINE_BUFFER = 1024;

struct tIniFile;
struct tIniSection;
struct tIniEntry;

// An entry type. Every operation returns 0 or an INI error code. instance is
// null for a section that occurs once, else the instance record.
struct tIniType {
    const char *name;  // shown in messages ("integer", "tcp-port", ...)
    // Gives the variable its default (releasing what it held first).
    int (*setDefault)(const tIniEntry *entry, void *instance);
    // Parses a value text into the variable; on failure the variable keeps
    // its previous value.
    int (*parse)(const tIniEntry *entry, void *instance, const char *value);
    // Writes "key=value\n" lines (none when the value may be left out).
    int (*write)(const tIniEntry *entry, void *instance, FILE *file, const tIniFile *iniFile);
    // Releases what the variable owns and leaves it empty.
    int (*release)(const tIniEntry *entry, void *instance);
};

struct tIniEntry {
    const char *name;       // the key, matched without regard to case
    const tIniType *type;
    uintptr_t variable;     // address of the variable, or the field's offset in an instance record
    intptr_t defaultValue;  // an integer, a text, a null-terminated list of texts, or 0
};

// For sections that may occur many times: one instance record per occurrence.
struct tIniSectionOps {
    int instanceSize;     // size of one instance record
    tDynArray instances;  // the records (increment 10, doubling)
    // Appends a zeroed record, applies every entry's default to it and stores
    // its address in *instance; on failure the record is dropped.
    int (*newInstance)(tIniSection *section, void **instance);
    // Creates the empty instance array.
    int (*init)(tIniSection *section);
    // Writes "[name]\n", the entries and an empty line for each instance.
    int (*writeAll)(tIniSection *section, FILE *file, const tIniFile *iniFile);
    // Releases every entry of every instance, then the array.
    void (*releaseAll)(tIniSection *section);
};

struct tIniSection {
    const char *name;
    const tIniEntry *entries;  // ended by an entry whose name is null
    tIniSectionOps *ops;       // null for a section that occurs once
};

// Maps a header's section name to a section and an instance (null for a
// section that occurs once). Returns 0 or an INI error (INI_INVALID_SECTION
// for an unknown name).
typedef int (*tIniSectionResolver)(tIniFile *iniFile, const char *name, tIniSection **section,
                                   void **instance);

struct tIniFile {
    const char *name;                     // the path, e.g. "etc/mergator.ini"
    tIniSection *sections;                // ended by a section whose name is null
    tIniSectionResolver sectionResolver;  // null: IniDefaultResolver
    int storeDefaults;                    // 0: scalar values equal to their default are not written
};

// Receives the reader's messages (printf-style, each ending in a line feed).
typedef void (*tIniReport)(void *context, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// Variables of the array types. Each is a tDynArray followed by a flag that
// tells whether the file being read already set the key (the first
// occurrence replaces the default list, later ones append).
struct tIniStringArray {
    tDynArray array;  // owned texts followed by one null element; used 0 when empty
    int loaded;
};
struct tIniIntArray {
    tDynArray array;  // int32_t elements
    int loaded;
};
struct tIniUrlArray {
    tDynArray array;  // tUrl elements (lib/url.h), each owning its texts
    int loaded;
};

// The texts of a string array as a null-terminated pointer array (for
// PatternListMatch), or null when it holds none.
inline char **IniStrings(const tIniStringArray &a) {
    return a.array.used > 0 ? (char **)a.array.buf : nullptr;
}
// The number of texts of a string array.
inline int IniStringCount(const tIniStringArray &a) { return a.array.used > 0 ? a.array.used - 1 : 0; }

// The entry types.
extern const tIniType iniTypeInteger;      // "integer": int32_t, atoi
extern const tIniType iniTypeLong;         // "long": int32_t, atol
extern const tIniType iniTypeLongLong;     // "longlong": int64_t, 64-bit atoi
extern const tIniType iniTypeTcpPort;      // "tcp-port": int32_t in 1..65535
extern const tIniType iniTypeNonNegative;  // "non-negative": int32_t, 0 or more
extern const tIniType iniTypeBoolean;      // "boolean": int32_t, 0 or 1
extern const tIniType iniTypeString;       // "string": char * (owned, null when empty)
extern const tIniType iniTypeStringArray;  // "string-array": tIniStringArray
extern const tIniType iniTypeIntegerArray; // "integer-array": tIniIntArray, default must be 0
extern const tIniType iniTypeUrl;          // "url": tUrl, no default
extern const tIniType iniTypeUrlArray;     // "url-array": tIniUrlArray, default must be 0
extern const tIniType iniTypeDiagnostic;   // "diagnostic": tDiag, by its message
extern const tIniType iniTypeIpAddress;    // "IP-address": uint32_t in network order

// Table helpers: the variable of a section that occurs once, the field of an
// instance record, and the default encodings.
inline uintptr_t IniVar(void *address) { return (uintptr_t)address; }
#define INI_FIELD(record, field) ((uintptr_t)offsetof(record, field))
inline intptr_t IniDefInt(int32_t value) { return (intptr_t)value; }
inline intptr_t IniDefText(const char *text) { return (intptr_t)text; }
inline intptr_t IniDefList(const char *const *list) { return (intptr_t)list; }

// The address of an entry's variable: the variable itself when instance is
// null, else the field of the instance record.
inline void *IniEntryAddress(const tIniEntry *entry, void *instance) {
    return (void *)((uintptr_t)instance + entry->variable);
}

// The standard operations of a repeated section, for tIniSectionOps:
//   tIniSectionOps ops = {sizeof(tRecord), {}, IniInstancesNew, IniInstancesInit,
//                         IniInstancesWriteAll, IniInstancesReleaseAll};
// New: INI_OUT_OF_MEMORY when the array cannot grow, or the first setDefault
// error (the record is then released and dropped).
int IniInstancesNew(tIniSection *section, void **instance);
int IniInstancesInit(tIniSection *section);
int IniInstancesWriteAll(tIniSection *section, FILE *file, const tIniFile *iniFile);
void IniInstancesReleaseAll(tIniSection *section);

// The instance record number index of a repeated section (no bounds check).
inline void *IniInstance(const tIniSection *section, int index) {
    const tDynArray &da = section->ops->instances;
    return (char *)da.buf + (size_t)index * (size_t)da.elemSize;
}

// The message of an INI error code; "Error without string" for any other value.
const char *IniErrorText(int code);

// The entry of section whose name equals key without regard to case, or null.
const tIniEntry *IniFindEntry(const tIniSection *section, const char *key);

// The default lookup: the section whose name equals name without regard to
// case; for a section with ops a new instance is created. INI_INVALID_SECTION
// when no section has that name.
int IniDefaultResolver(tIniFile *iniFile, const char *name, tIniSection **section, void **instance);

// For each section: ops->init when it has ops, else every entry's setDefault
// on the variables. Returns 0 or the first error.
int IniApplyDefaults(tIniFile *iniFile);

// Reads iniFile->name into the variables. Bad key lines are reported through
// report (may be null) and skipped; a bad header, or a key line before the
// first header, stops the read with "%s: %s\n" (error text, line). Returns 0,
// INI_CANNOT_READ when the file cannot be opened or read, or the error that
// stopped the read.
int IniRead(tIniFile *iniFile, tIniReport report, void *context);

// Writes the whole file anew in table order (through a temporary file that
// replaces it only once completely written and synced). Returns 0,
// INI_CANNOT_SAVE when the temporary file cannot be created, or
// INI_WRITE_FAILED; on failure the old file is untouched.
int IniWrite(tIniFile *iniFile);

// For each section: ops->releaseAll when it has ops, else every entry's
// release. The variables are left empty (texts null, arrays freed).
void IniRelease(tIniFile *iniFile);

// Applies the defaults and reads the file, reporting to log. A missing file is
// created (with storeDefaults set to storeDefaultsIfCreated). Returns 0, or -1
// after a message to log (the variables are then released).
int IniLoad(tIniFile *iniFile, tLog *log, int storeDefaultsIfCreated);
