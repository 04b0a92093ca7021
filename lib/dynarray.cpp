#include "lib/dynarray.h"

#include "lib/diag.h"
#include "lib/panic.h"
#include "lib/strings.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <strings.h>

void DynArrayInit(tDynArray *da, int elemSize, int increment, int flags) {
    *da = tDynArray{};
    da->elemSize = elemSize;
    da->increment = increment < 1 ? 1 : increment;
    da->flags = flags;
}

namespace {

// Bytes for count elements, or -1 when that is beyond what the fields hold.
int64_t BytesFor(const tDynArray *da, int64_t count) {
    int64_t bytes = count * da->elemSize;
    if (count > INT32_MAX || bytes > INT32_MAX) return -1;
    return bytes;
}

int OutOfMemory() {
    errno = ELIB_OUT_OF_MEMORY;
    return -1;
}

}  // namespace

int DynArrayGrow(tDynArray *da, int n) {
    if (n < 0) n = 0;
    int64_t need = (int64_t)da->used + n;
    if (da->size >= need) return 0;
    if (!da->buf) {
        int64_t want = need < da->increment ? da->increment : need;
        int64_t bytes = BytesFor(da, want);
        if (bytes < 0) return OutOfMemory();
        void *p = malloc(bytes > 0 ? (size_t)bytes : 1);
        if (!p) return OutOfMemory();
        da->buf = p;
        da->size = (int32_t)want;
        return 0;
    }
    // The capacity the steps reach, taken in one reallocation so that a
    // failure leaves the array exactly as it was.
    int64_t size = da->size;
    while (size < need) {
        int64_t step = (da->flags & DA_DOUBLE) ? size : da->increment;
        size += step < 1 ? 1 : step;
    }
    da->reallocCount++;
    int64_t bytes = BytesFor(da, size);
    if (bytes < 0) return OutOfMemory();
    uintptr_t old = reinterpret_cast<uintptr_t>(da->buf);
    void *p = realloc(da->buf, (size_t)bytes);
    if (!p) return OutOfMemory();
    if (reinterpret_cast<uintptr_t>(p) != old) da->moveCount++;
    da->buf = p;
    da->size = (int32_t)size;
    return 0;
}

void DynArrayRemove(tDynArray *da, int index) {
    MG_ASSERT(index >= 0 && index < da->used);
    char *b = static_cast<char *>(da->buf);
    size_t es = (size_t)da->elemSize;
    memmove(b + (size_t)index * es, b + (size_t)(index + 1) * es, (size_t)(da->used - index - 1) * es);
    da->used--;
}

void DynArrayShrink(tDynArray *da) {
    if (da->used == 0) {
        free(da->buf);
        da->buf = nullptr;
        da->size = 0;
        return;
    }
    if (!da->buf) return;
    void *p = realloc(da->buf, (size_t)da->used * (size_t)da->elemSize);
    if (p) da->buf = p;
    da->size = da->used;
}

void DynArrayFree(tDynArray *da) {
    free(da->buf);
    da->buf = nullptr;
    da->used = 0;
    da->size = 0;
}

void DynArrayFreePointers(tDynArray *da) {
    char **p = static_cast<char **>(da->buf);
    for (int i = 0; p && i < da->used; i++) free(p[i]);
    DynArrayFree(da);
}

int DynArrayAppendBytes(tDynArray *da, const void *bytes, int length) {
    if (length <= 0) return 0;
    if (DynArrayGrow(da, length) != 0) return -1;
    memcpy(static_cast<char *>(da->buf) + da->used, bytes, (size_t)length);
    da->used += length;
    return 0;
}

int DynArrayAppendString(tDynArray *da, const char *text) {
    size_t len = strlen(text);
    if (len >= INT32_MAX) return OutOfMemory();
    return DynArrayAppendBytes(da, text, (int)len + 1);
}

int DynArrayAddPointerCopy(tDynArray *da, const char *text) {
    char *copy = nullptr;
    if (text) {
        copy = strdup(text);
        if (!copy) return OutOfMemory();
    }
    if (DynArrayGrow(da, 1) != 0) {
        free(copy);
        return -1;
    }
    static_cast<char **>(da->buf)[da->used++] = copy;
    return 0;
}

const char *JoinedFind(const char *list, const char *name, char sep) {
    if (!list) return nullptr;
    size_t len = strlen(name);
    if (len == 0) {
        // An empty element: the empty list, a leading or trailing separator,
        // or two separators in a row.
        if (*list == '\0' || *list == sep) return list;
        for (const char *p = list; *p; p++)
            if (*p == sep && (p[1] == sep || p[1] == '\0')) return p + 1;
        return nullptr;
    }
    for (const char *p = strstr(list, name); p; p = strstr(p + 1, name)) {
        bool startOk = p == list || p[-1] == sep;
        bool endOk = p[len] == '\0' || p[len] == sep;
        if (startOk && endOk) return p;
    }
    return nullptr;
}

int JoinedSetAdd(tDynArray *da, const char *name, char sep) {
    if (da->used == 0) return DynArrayAppendString(da, name);
    char *b = static_cast<char *>(da->buf);
    if (JoinedFind(b, name, sep)) return 1;
    b[da->used - 1] = sep;
    if (DynArrayAppendString(da, name) != 0) {
        static_cast<char *>(da->buf)[da->used - 1] = '\0';
        return -1;
    }
    return 0;
}

int CountFields(const tDynArray *da, char sep) {
    if (da->used == 0) return 0;
    const char *b = static_cast<const char *>(da->buf);
    if (b[da->used - 1] != '\0') Panic("da->buf [da->used-1] == '\\0'", __FILE__, __LINE__);
    int n = 1;
    for (const char *p = b; *p; p++)
        if (*p == sep) n++;
    return n;
}

bool StringArrayContains(const tDynArray *array, const char *text, int caseSensitive) {
    char **p = static_cast<char **>(array->buf);
    for (int i = 0; p && i < array->used; i++) {
        if (!p[i]) continue;
        if (caseSensitive ? strcmp(p[i], text) == 0 : strcasecmp(p[i], text) == 0) return true;
    }
    return false;
}

int LoadLinesFile(tDynArray *da, const char *path, tReportFn report, void *context) {
    char msg[1024];
    FILE *f = fopen(path, "rb");
    if (!f) {
        if (report && FormatBounded(msg, sizeof msg, "Could not open the '%s' file.\n", path) >= 0)
            report(context, msg);
        return -1;
    }
    char line[512];
    while (fgets(line, sizeof line, f)) {
        if (StripEol(line) == 0) continue;
        if (DynArrayAddPointerCopy(da, line) != 0) {
            int err = errno;
            if (report && FormatBounded(msg, sizeof msg, "%s when adding '%s' entry %d.\n", LibErrorText(err),
                                        path, da->used) >= 0)
                report(context, msg);
            fclose(f);
            DynArrayFreePointers(da);
            errno = err;
            return -1;
        }
    }
    fclose(f);
    return 0;
}
