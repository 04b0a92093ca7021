#include "server/store/serv_refs.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int ServRefsCount(const tServRefs *refs) {
    if (refs->server < 0) return 0;
    if (refs->second == 0) return 1;
    if (refs->second > 0) return 2;
    return (int)(1 - refs->second);
}

tServRef ServRefsAt(const tServRefs *refs, int i) {
    if (i == 0) return {refs->server, refs->number};
    if (refs->second > 0) return {refs->second, refs->more};
    return refs->array[i - 1];
}

void ServRefsClear(tServRefs *refs) {
    if (refs->second < 0) free(refs->array);
    refs->second = 0;
    refs->more = 0;
}

void ServRefsMarkDeleted(tServRefs *refs) {
    ServRefsClear(refs);
    refs->server = -1;
    refs->number = 0;
}

// Rebuilds refs from count pairs (pairs may be refs->array itself).
static tDiag SetPairs(tServRefs *refs, const tServRef *pairs, int count) {
    if (count >= 3) {
        tServRef *arr = (tServRef *)malloc(sizeof(tServRef) * (count - 1));
        if (!arr) return E_OUT_OF_MEMORY;
        memcpy(arr, pairs + 1, sizeof(tServRef) * (count - 1));
        tServRef first = pairs[0];
        ServRefsClear(refs);
        refs->server = first.server;
        refs->number = first.number;
        refs->second = 1 - count;
        refs->array = arr;
        return E_OK;
    }
    tServRef first = count > 0 ? pairs[0] : tServRef{-1, 0};
    tServRef second = count > 1 ? pairs[1] : tServRef{0, 0};
    ServRefsClear(refs);
    refs->server = first.server;
    refs->number = first.number;
    refs->second = count > 1 ? second.server : 0;
    refs->more = count > 1 ? second.number : 0;
    return E_OK;
}

static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Reads a decimal number; returns the position after it, or null when there
// is no digit or the value overflows a long.
static const char *ReadLong(const char *p, long *value) {
    bool negative = *p == '-';
    if (negative) p++;
    if (*p < '0' || *p > '9') return nullptr;
    long v = 0;
    while (*p >= '0' && *p <= '9') {
        if (v > (LONG_MAX - (*p - '0')) / 10) return nullptr;
        v = v * 10 + (*p++ - '0');
    }
    *value = negative ? -v : v;
    return p;
}

tDiag ServRefsParse(tServRefs *refs, const char *text, const char **end) {
    refs->server = -1;
    refs->number = 0;
    refs->second = 0;
    refs->more = 0;
    const char *stop = text;
    int colons = 0;
    while (*stop && *stop != '\t') colons += *stop++ == ':';
    if (end) *end = stop;
    if (colons == 0) return E_OK;

    tServRef inlinePairs[2];
    tServRef *pairs = inlinePairs;
    if (colons > 2) {
        pairs = (tServRef *)malloc(sizeof(tServRef) * colons);
        if (!pairs) return E_OUT_OF_MEMORY;
    }
    tDiag diag = E_OK;
    const char *p = text;
    for (int i = 0; i < colons && diag == E_OK; i++) {
        while (p < stop && *p == ' ') p++;
        long server, number;
        const char *q = ReadLong(p, &server);
        if (!q || server < 0 || *q != ':') {
            diag = E_BAD_SERVREFS;
            break;
        }
        q = ReadLong(q + 1, &number);
        if (!q || (q < stop && *q != ' ')) {
            diag = E_BAD_SERVREFS;
            break;
        }
        pairs[i] = {server, number};
        p = q;
    }
    if (diag == E_OK) {
        while (p < stop && IsBlank(*p)) p++;
        if (p != stop) diag = E_BAD_SERVREFS;
    }
    if (diag == E_OK) diag = SetPairs(refs, pairs, colons);
    if (pairs != inlinePairs) free(pairs);
    if (diag != E_OK) ServRefsMarkDeleted(refs);
    return diag;
}

tDiag ServRefsFormat(const tServRefs *refs, char *buffer, size_t size) {
    if (size == 0) return E_BUFFER_TOO_SMALL;
    buffer[0] = '\0';
    size_t used = 0;
    int count = ServRefsCount(refs);
    for (int i = 0; i < count; i++) {
        tServRef r = ServRefsAt(refs, i);
        int n = snprintf(buffer + used, size - used, " %ld:%ld", r.server, r.number);
        if (n < 0 || (size_t)n >= size - used) {
            buffer[used] = '\0';
            return E_BUFFER_TOO_SMALL;
        }
        used += n;
    }
    return E_OK;
}

int ServRefsAdd(tServRefs *refs, long server, long number, long *otherNumber) {
    *otherNumber = -1;
    if (refs->server == -1) return SR_DELETED;
    if (refs->server == 0) {
        refs->server = server;
        refs->number = number;
        return SR_REVIVED;
    }
    int count = ServRefsCount(refs);
    for (int i = 0; i < count; i++) {
        tServRef r = ServRefsAt(refs, i);
        if (r.server != server) continue;
        if (r.number == number) return SR_PRESENT;
        if (*otherNumber == -1) *otherNumber = r.number;
    }
    if (count == 1) {
        refs->second = server;
        refs->more = number;
    } else if (count == 2) {
        tServRef *arr = (tServRef *)malloc(sizeof(tServRef) * 2);
        if (!arr) return E_OUT_OF_MEMORY;
        arr[0] = {refs->second, refs->more};
        arr[1] = {server, number};
        refs->second = -2;
        refs->array = arr;
    } else {
        tServRef *arr = (tServRef *)realloc(refs->array, sizeof(tServRef) * count);
        if (!arr) return E_OUT_OF_MEMORY;
        arr[count - 1] = {server, number};
        refs->array = arr;
        refs->second = -count;
    }
    return SR_APPENDED;
}

int ServRefsRemoveIf(tServRefs *refs, tServRefPredicate predicate, void *context, int *emptied, bool keepZombie) {
    if (refs->server <= 0) return 0;
    int count = ServRefsCount(refs);
    tServRef inlinePairs[2];
    tServRef *pairs = count <= 2 ? inlinePairs : (tServRef *)malloc(sizeof(tServRef) * count);
    if (!pairs) return 0;
    for (int i = 0; i < count; i++) pairs[i] = ServRefsAt(refs, i);
    int removed = 0;
    for (int i = 0; i < count;) {
        if (predicate(context, pairs[i].server, pairs[i].number)) {
            pairs[i] = pairs[--count];
            removed++;
        } else {
            i++;
        }
    }
    if (removed) {
        if (count == 0) {
            ServRefsMarkDeleted(refs);
            if (keepZombie) refs->server = 0;  // a zombie, stamped at its next save
            if (emptied) (*emptied)++;
        } else if (SetPairs(refs, pairs, count) != E_OK) {
            // Shrinking never needs more memory than the array in place.
            memcpy(refs->array, pairs + 1, sizeof(tServRef) * (count - 1));
            refs->server = pairs[0].server;
            refs->number = pairs[0].number;
            refs->second = 1 - count;
        }
    }
    if (pairs != inlinePairs) free(pairs);
    return removed;
}
