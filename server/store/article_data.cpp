#include "server/store/article_data.h"

#include "lib/strings.h"
#include "server/store/store_deps.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

// ---------------------------------------------------------------------------
// Character classes and numbers

static inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Blanks inside one field: every ASCII blank but the tab, which separates
// fields.
static inline bool IsFieldBlank(char c) { return c == ' ' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

static inline bool IsBlank(char c) { return c == '\t' || IsFieldBlank(c); }

// Reads an integer the way ParseInt does (blanks, an optional minus sign,
// blanks, at least one digit; null without a digit or above 2147483647) but,
// unless skipTabs, without crossing a tab: a field's number never comes from
// the next field.
static const char *ReadInt(const char *p, long *value, bool skipTabs) {
    while (skipTabs ? IsBlank(*p) : IsFieldBlank(*p)) p++;
    bool negative = *p == '-';
    if (negative) {
        p++;
        while (skipTabs ? IsBlank(*p) : IsFieldBlank(*p)) p++;
    }
    if (!IsDigit(*p)) return nullptr;
    long v = 0;
    while (IsDigit(*p)) {
        v = v * 10 + (*p++ - '0');
        if (v > 2147483647L) return nullptr;
    }
    *value = negative ? -v : v;
    return p;
}

static inline const char *FieldEnd(const char *p) { return strchrnul(p, '\t'); }

// "\n" when the quoted line has no line feed of its own.
static const char *LineEnd(const char *line, size_t len) { return len && line[len - 1] == '\n' ? "" : "\n"; }

// ---------------------------------------------------------------------------
// Descriptions

void ArticleDataFree(tArticleData *adt) {
    free(adt->db);
    free(adt->xrefs);
    *adt = tArticleData{};
}

tDiag ArticleNumberCheck(const char *text, long *number, const char **rest, long *previousNumber,
                         bool allowNotGreater, tRange expectedRange) {
    int parsed;
    const char *p = ParseInt(text, &parsed);
    if (!p) return E_BAD_ARTICLE_NUMBER;
    long n = parsed;
    if (n < 0) return E_NEGATIVE_NUMBER;
    long prev = *previousNumber;
    if (prev > 0 && prev != n && prev <= 214748364 && prev * 10 < n) return E_TENFOLD_LEAP;
    if (prev >= n && !allowNotGreater) return E_NUMBER_NOT_GREATER;
    if (n < expectedRange.low || n > expectedRange.high) return E_NUMBER_OUT_OF_RANGE;
    *previousNumber = n;
    *number = n;
    *rest = p;
    return E_OK;
}

tDiag XhdrMsgIdLineParse(const char *line, long *number, const char **msgId, size_t *msgIdLength,
                         long *previousNumber, bool allowNotGreater, tRange expectedRange) {
    const char *p;
    tDiag diag = ArticleNumberCheck(line, number, &p, previousNumber, allowNotGreater, expectedRange);
    if (diag != E_OK) return diag;
    while (IsBlank(*p)) p++;
    const char *end = p + strlen(p);
    while (end > p && (end[-1] == '\n' || end[-1] == '\r')) end--;
    if (end == p) return E_NO_MSGID;
    if (*p != '<') return E_MSGID_NO_START;
    if (end - p < 2 || end[-1] != '>') return E_MSGID_NO_END;
    *msgId = p;
    *msgIdLength = (size_t)(end - p);
    return E_OK;
}

namespace {

// The text block under construction.
struct tBlock {
    char *base;
    char *out;
    char *limit;

    // Appends [p, e) and a NUL; returns the offset of the text, -1 when it
    // does not fit.
    int Add(const char *p, const char *e) {
        size_t n = (size_t)(e - p);
        if (n + 1 > (size_t)(limit - out)) return -1;
        int offset = (int)(out - base);
        memcpy(out, p, n);
        out[n] = '\0';
        out += n + 1;
        return offset;
    }
};

// A field's first blank is dropped and counted.
inline const char *DropBlank(const char *p, int *counter) {
    if (*p == ' ') {
        (*counter)++;
        return p + 1;
    }
    return p;
}

bool IsXrefField(const char *p) { return p[0] == '\t' && strncasecmp(p + 1, "Xref:", 5) == 0; }

// Only a line end (or nothing) is left.
bool OnlyLineEnd(const char *p) {
    while (*p == '\r' || *p == '\n') p++;
    return *p == '\0';
}

inline bool XrefStop(char c) { return c == '\0' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

// Reads the Xref field at p (just after "Xref:") into adt. Each entry
// "group:number" is kept except the one naming the current group with the
// article's own number.
static tDiag ParseXrefs(const char *p, const char *line, size_t len, tLog *log, tArticleData *adt, tBlock *block,
                        const char *groupName, tXrefStats *xs) {
    while (*p == ' ') p++;
    while (!XrefStop(*p) && *p != ' ') p++;  // the server name
    int colons = 0;
    for (const char *q = p; !XrefStop(*q); q++) colons += *q == ':';
    if (colons == 0) {
        while (*p == ' ') p++;
        if (!XrefStop(*p)) xs->corrupted++;
        return E_OK;
    }
    adt->xrefs = (tXref *)malloc(sizeof(tXref) * colons);
    if (!adt->xrefs) return E_OUT_OF_MEMORY;
    int candidates = 0;
    bool selfSeen = false;
    for (;;) {
        while (*p == ' ') p++;
        if (XrefStop(*p)) break;
        const char *start = p;
        const char *colon = nullptr;
        while (!XrefStop(*p) && *p != ' ') {
            if (*p == ':' && !colon) colon = p;
            p++;
        }
        long number = 0;
        const char *q = colon ? colon + 1 : nullptr;
        if (q && IsDigit(*q)) {
            while (q < p && IsDigit(*q) && number <= 2147483647L) number = number * 10 + (*q++ - '0');
        }
        if (!colon || colon == start || !q || q != p || number > 2147483647L || !IsDigit(colon[1])) {
            xs->corrupted++;
            break;
        }
        bool current = groupName && (size_t)(colon - start) == strlen(groupName) &&
                       strncasecmp(start, groupName, colon - start) == 0;
        if (current && number == adt->number) {
            xs->self++;
            selfSeen = true;
            continue;
        }
        if (current) candidates++;
        int offset = block->Add(start, colon);
        if (offset < 0) return E_BUFFER_TOO_SMALL;
        adt->xrefs[adt->xrefCount++] = {offset, number};
    }
    if (candidates) {
        if (selfSeen) {
            xs->aliases += candidates;
            LogMessage(log, "Article has %d aliases in group: %s%s", candidates, line, LineEnd(line, len));
        } else {
            xs->mismatches += candidates;
            LogMessage(log, "Numbering mismatch on server: %s%s", line, LineEnd(line, len));
        }
    }
    if (adt->xrefCount == 0) {
        free(adt->xrefs);
        adt->xrefs = nullptr;
    }
    return E_OK;
}

// The body of ArticleDataParse after the number; adt->db holds the block.
static tDiag ParseFields(const char *line, size_t len, const char *p, tLog *log, tOverviewFixes *fx,
                         tArticleData *adt, tBlock *block, bool allowTruncation, long minDateSecs,
                         tXrefStats *xs, const char *groupName) {
    // Subject
    if (!*p) return E_NO_SUBJECT;
    p = DropBlank(p, &fx->blanksBeforeSubject);
    const char *e = FieldEnd(p);
    if (*e != '\t') return E_NO_TAB_AFTER_SUBJECT;
    block->Add(p, e);
    p = e + 1;

    // From
    if (!*p) return E_NO_FROM;
    p = DropBlank(p, &fx->blanksBeforeFrom);
    e = FieldEnd(p);
    if (*e != '\t') return E_NO_TAB_AFTER_FROM;
    adt->fromOffset = block->Add(p, e);
    p = e + 1;

    // Date
    if (!*p) return E_NO_DATE;
    p = DropBlank(p, &fx->blanksBeforeDate);
    e = FieldEnd(p);
    adt->dateOffset = block->Add(p, e);
    if (minDateSecs != 0) {
        if (adt->dateSecs <= 0) {
            time_t t = StoreParseDate(ArticleDataDate(adt));
            adt->dateSecs = t > 0 ? (long)t : -1;
        }
        if (adt->dateSecs < 0)
            LogMessage(log, "Keeping unrecognized Date: %s\r\n", ArticleDataDate(adt));
        else if (adt->dateSecs < minDateSecs)
            return E_DATE_TOO_OLD;
    }
    if (*e != '\t') return E_NO_TAB_AFTER_DATE;
    p = e + 1;

    // Message-ID
    if (!*p) return E_NO_MSGID;
    if (p[0] == ' ' && p[1] == '<') {
        fx->blanksBeforeMsgId++;
        p++;
    }
    if (*p == '\t') {
        char invented[64];
        int n = snprintf(invented, sizeof invented, "<%ld_%d@Mergator>", (long)time(nullptr), 0);
        if (n < 0 || n >= 40) return E_BUFFER_TOO_SMALL;
        adt->msgIdOffset = block->Add(invented, invented + n);
        fx->emptyMsgIds++;
        e = p;
    } else {
        e = FieldEnd(p);
        if (*p != '<') return E_MSGID_NO_START;
        const char *last = e;
        if (last[-1] != '>' && *e == '\0') {
            if (last > p + 1 && last[-1] == '\n') last--;
            if (last > p + 1 && last[-1] == '\r') last--;
        }
        if (last - p < 2 || last[-1] != '>') return E_MSGID_NO_END;
        adt->msgIdOffset = block->Add(p, last);
    }
    bool repaired = false;
    const char *rest;
    if (*e != '\t') {
        if (!allowTruncation) return E_NO_TAB_AFTER_MSGID;
        adt->refsOffset = block->Add(e, e);
        adt->bytes = adt->lines = -1;
        fx->truncAfterMsgId++;
        LogMessage(log, "Fixing truncation after Message-ID: %s%s", line, LineEnd(line, len));
        repaired = true;
        goto finish;
    }
    p = e + 1;

    // References
    if (!*p) return E_NO_REFERENCES;
    p = DropBlank(p, &fx->blanksBeforeRefs);
    e = FieldEnd(p);
    if (*e != '\t') {
        bool crlf = e - line >= 2 && e[-2] == '\r' && e[-1] == '\n';
        if (!allowTruncation || !crlf) return E_NO_TAB_AFTER_REFERENCES;
        const char *last = e - 2 > p ? e - 2 : p;
        while (last > p && last[-1] != '>') last--;
        adt->refsOffset = block->Add(p, last);
        adt->bytes = adt->lines = -1;
        fx->truncInAfterRefs++;
        LogMessage(log, "Fixing truncation in/after References: %s%s", line, LineEnd(line, len));
        repaired = true;
        goto finish;
    }
    adt->refsOffset = block->Add(p, e);
    p = e + 1;

    // Bytes
    if (!*p) return E_NO_BYTES;
    p = DropBlank(p, &fx->blanksBeforeBytes);
    e = FieldEnd(p);
    if (p == e) {
        adt->bytes = -1;
        fx->byteCounts++;
    } else {
        if (!IsDigit(*p) && *p != '-') return E_BYTES_NOT_DIGITS;
        long v;
        if (!ReadInt(p, &v, false)) return *p == '-' ? E_BYTES_NOT_DIGITS : E_BYTES_TOO_LARGE;
        if (v > ARTICLE_MAX_BYTES) return E_BYTES_TOO_LARGE;
        if (v < 0) {
            adt->bytes = -1;  // a negative size is as good as none
            fx->byteCounts++;
        } else {
            adt->bytes = v;
        }
    }

    // Lines
    if (*e != '\t') {
        adt->lines = -1;
        fx->truncAfterByteCount++;
        rest = e;
    } else {
        p = e + 1;
        if (*p && *p != '\t' && !IsDigit(*p) && *p != '-' && !IsFieldBlank(*p)) return E_LINES_NOT_DIGITS;
        if (*p == ' ') fx->blanksBeforeLines++;
        long v = -1;
        const char *q = ReadInt(p, &v, false);
        if (!q) {
            q = p;  // step over what could not be read
            while (IsFieldBlank(*q)) q++;
            if (*q == '-') q++;
            while (*q == ' ') q++;
            while (IsDigit(*q)) q++;
        }
        if (*q == ' ') {
            while (*q == ' ') q++;
            fx->spacesAfterLines++;
        }
        if (v > ARTICLE_MAX_LINES && !IsXrefField(q) && !OnlyLineEnd(q)) return E_LINES_TOO_LARGE;
        if (v < 0 || v > ARTICLE_MAX_LINES) {
            adt->lines = -1;  // none, negative or too large: guessed below
            fx->lineCounts++;
        } else {
            adt->lines = v;
        }
        rest = q;
    }

    // Xref
    if (!IsXrefField(rest)) {
        xs->missing++;
    } else {
        tDiag diag = ParseXrefs(rest + 6, line, len, log, adt, block, groupName, xs);
        if (diag != E_OK) return diag;
    }

finish:
    if (adt->bytes < 0 || adt->lines < 0) {
        if (!repaired) {
            const char *what = adt->bytes < 0 && adt->lines < 0 ? "Byte and Line" : adt->bytes < 0 ? "Byte" : "Line";
            LogMessage(log, "Fixing %s count in: %s%s", what, line, LineEnd(line, len));
        }
        ArticleDataGuessSizes(adt);
    }
    return E_OK;
}

tDiag ArticleDataParse(const char *line, tLog *log, tOverviewFixes *fixes, tArticleData *adt, bool allowTruncation,
                       long minDateSecs, tXrefStats *xrefStats, const char *groupName, long *previousNumber,
                       bool allowNotGreater, tRange expectedRange) {
    *adt = tArticleData{};
    const char *p;
    tDiag diag = ArticleNumberCheck(line, &adt->number, &p, previousNumber, allowNotGreater, expectedRange);
    if (diag != E_OK) return diag;
    if (*p != '\t') return E_NO_TAB_AFTER_NUMBER;
    size_t len = strlen(line);
    size_t capacity = len + 41;
    char *base = (char *)malloc(capacity);
    if (!base) return E_OUT_OF_MEMORY;
    adt->db = base;
    tBlock block{base, base, base + capacity};
    tOverviewFixes fx{};
    tXrefStats xs{};
    diag = ParseFields(line, len, p + 1, log, &fx, adt, &block, allowTruncation, minDateSecs, &xs, groupName);
    if (diag != E_OK) {
        long number = adt->number;
        ArticleDataFree(adt);
        adt->number = number;
        return diag;
    }
    size_t used = (size_t)(block.out - base);
    if (used < capacity) {
        char *shrunk = (char *)realloc(base, used ? used : 1);
        if (shrunk) adt->db = shrunk;
    }
    if (fixes) OverviewFixesAdd(fixes, &fx);
    if (xrefStats) XrefStatsAdd(xrefStats, &xs);
    return E_OK;
}

tDiag ArticleDataInit(tArticleData *adt, long number, const char *subject, const char *from, const char *date,
                      const char *msgId, const char *references, long bytes, long lines, long dateSecs) {
    *adt = tArticleData{};
    char fakeSubject[48], fakeFrom[56];
    if (!subject) {
        snprintf(fakeSubject, sizeof fakeSubject, "Fake Subject %ld", number);
        subject = fakeSubject;
    }
    if (!from) {
        snprintf(fakeFrom, sizeof fakeFrom, "Fake From <%ld@Mergator>", number);
        from = fakeFrom;
    }
    bool dateGiven = date != nullptr;
    if (!date) date = "Fake Date";
    if (!msgId) msgId = "";
    if (!references) references = "";
    const char *texts[5] = {subject, from, date, msgId, references};
    size_t lengths[5];
    size_t total = 0;
    for (int i = 0; i < 5; i++) {
        lengths[i] = strlen(texts[i]);
        total += lengths[i] + 1;
    }
    if (total > (size_t)INT_MAX) return E_BUFFER_TOO_SMALL;
    char *base = (char *)malloc(total);
    if (!base) return E_OUT_OF_MEMORY;
    tBlock block{base, base, base + total};
    int offsets[5];
    for (int i = 0; i < 5; i++) offsets[i] = block.Add(texts[i], texts[i] + lengths[i]);
    adt->db = base;
    adt->number = number;
    adt->fromOffset = offsets[1];
    adt->dateOffset = offsets[2];
    adt->msgIdOffset = offsets[3];
    adt->refsOffset = offsets[4];
    adt->bytes = bytes;
    adt->lines = lines;
    if (dateSecs > 0) {
        adt->dateSecs = dateSecs;
    } else if (dateGiven) {
        time_t t = StoreParseDate(date);
        adt->dateSecs = t > 0 ? (long)t : -1;
    } else {
        adt->dateSecs = (long)time(nullptr);
    }
    return E_OK;
}

static size_t TextEnd(const tArticleData *a, int offset) { return (size_t)offset + strlen(a->db + offset) + 1; }

tDiag ArticleDataCopy(tArticleData *dst, const tArticleData *src) {
    *dst = tArticleData{};
    if (!src->db) {
        *dst = *src;
        dst->xrefs = nullptr;
        dst->xrefCount = 0;
        return E_OK;
    }
    size_t size = TextEnd(src, 0);
    for (int offset : {src->fromOffset, src->dateOffset, src->msgIdOffset, src->refsOffset}) {
        size_t end = TextEnd(src, offset);
        if (end > size) size = end;
    }
    for (int i = 0; i < src->xrefCount; i++) {
        size_t end = TextEnd(src, src->xrefs[i].nameOffset);
        if (end > size) size = end;
    }
    char *db = (char *)malloc(size);
    if (!db) return E_OUT_OF_MEMORY;
    tXref *xrefs = nullptr;
    if (src->xrefCount) {
        xrefs = (tXref *)malloc(sizeof(tXref) * src->xrefCount);
        if (!xrefs) {
            free(db);
            return E_OUT_OF_MEMORY;
        }
        memcpy(xrefs, src->xrefs, sizeof(tXref) * src->xrefCount);
    }
    memcpy(db, src->db, size);
    *dst = *src;
    dst->db = db;
    dst->xrefs = xrefs;
    return E_OK;
}

void ArticleDataGuessSizes(tArticleData *adt) {
    if (adt->lines < 0) {
        bool binary = StoreSubjectLooksBinary(ArticleDataSubject(adt));
        if (adt->bytes < 0) {
            adt->lines = binary ? 300 : 30;
            adt->bytes = 50 * adt->lines;
        } else {
            if (binary && adt->bytes < 10240) adt->bytes = 10240;
            adt->lines = adt->bytes / 50;
        }
    } else if (adt->bytes < 0) {
        adt->bytes = 50 * adt->lines;
    }
    if (adt->bytes > ARTICLE_MAX_BYTES) adt->bytes = ARTICLE_MAX_BYTES;
    if (adt->lines > ARTICLE_MAX_LINES) adt->lines = ARTICLE_MAX_LINES;
}

// ---------------------------------------------------------------------------
// Counters

void OverviewFixReport(const tOverviewFixes *f, tLog *log) {
    struct {
        int value;
        const char *text;
    } items[] = {
        {f->blanksBeforeSubject, " %d single blanks before Subject"},
        {f->blanksBeforeFrom, " %d single blanks before From"},
        {f->blanksBeforeDate, " %d single blanks before Date"},
        {f->blanksBeforeMsgId, " %d single blanks before Message-ID"},
        {f->blanksBeforeRefs, " %d single blanks before References"},
        {f->blanksBeforeBytes, " %d single blanks before Bytes"},
        {f->blanksBeforeLines, " %d single blanks before Lines"},
        {f->spacesAfterLines, " %d spaces after Lines"},
        {f->emptyMsgIds, " %d empty Message-IDs"},
        {f->truncAfterMsgId, " %d truncations after Message-ID"},
        {f->truncInAfterRefs, " %d truncations in/after References"},
        {f->byteCounts, " %d byte counts"},
        {f->truncAfterByteCount, " %d truncations after byte count"},
        {f->lineCounts, " %d line counts"},
    };
    char text[1024];
    size_t used = 0;
    bool any = false;
    used += snprintf(text, sizeof text, "Fixed");
    for (const auto &item : items) {
        if (!item.value) continue;
        any = true;
        used += snprintf(text + used, sizeof text - used, item.text, item.value);
    }
    if (!any) return;
    LogMessage(log, "%s.\n", text);
}

void OverviewFixesAdd(tOverviewFixes *total, const tOverviewFixes *part) {
    static_assert(sizeof(tOverviewFixes) == 14 * sizeof(int), "tOverviewFixes holds ints only");
    int *t = &total->emptyMsgIds;
    const int *p = &part->emptyMsgIds;
    for (int i = 0; i < 14; i++) t[i] += p[i];
}

void XrefStatsAdd(tXrefStats *total, const tXrefStats *part) {
    total->missing += part->missing;
    total->corrupted += part->corrupted;
    total->mismatches += part->mismatches;
    total->aliases += part->aliases;
    total->self += part->self;
}

// ---------------------------------------------------------------------------
// Header lines

void HeaderFieldsReset(tHeaderFields *fields) {
    fields->from[0] = fields->msgId[0] = fields->subject[0] = fields->date[0] = fields->references[0] = '\0';
    fields->lines = fields->bytes = -1;
}

void HeaderFieldsCollect(tHeaderFields *fields, const char *headerLine) {
    size_t len = strlen(headerLine);
    while (len && (headerLine[len - 1] == '\n' || headerLine[len - 1] == '\r')) len--;
    struct {
        const char *name;
        char *text;
        size_t size;
        long *number;
    } kinds[] = {
        {"Subject: ", fields->subject, sizeof fields->subject, nullptr},
        {"From: ", fields->from, sizeof fields->from, nullptr},
        {"Date: ", fields->date, sizeof fields->date, nullptr},
        {"Message-ID: ", fields->msgId, sizeof fields->msgId, nullptr},
        {"Lines: ", nullptr, 0, &fields->lines},
        {"Bytes: ", nullptr, 0, &fields->bytes},
        {"References: ", fields->references, sizeof fields->references, nullptr},
    };
    for (const auto &k : kinds) {
        size_t nameLen = strlen(k.name);
        if (len < nameLen || strncasecmp(headerLine, k.name, nameLen) != 0) continue;
        const char *p = headerLine + nameLen;
        const char *end = headerLine + len;
        while (p < end && IsBlank(*p)) p++;
        if (k.text) {
            size_t n = (size_t)(end - p);
            if (n >= k.size) n = k.size - 1;
            memcpy(k.text, p, n);
            k.text[n] = '\0';
        } else {
            char digits[32];
            size_t n = (size_t)(end - p);
            if (n >= sizeof digits) n = sizeof digits - 1;
            memcpy(digits, p, n);
            digits[n] = '\0';
            long v;
            if (ReadInt(digits, &v, true)) *k.number = v;
        }
        return;
    }
}

void TabsToBlanks(char *text) {
    for (; *text; text++)
        if (*text == '\t') *text = ' ';
}
