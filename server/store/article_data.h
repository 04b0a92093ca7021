// Article descriptions: what the multiplexer knows about one article without
// its body, the parser of one overview (XOVER) line with its repairs, the
// building of descriptions from stored fields, and a collector of header
// lines.
//
// Design: a description is one text block (Subject at offset 0, then From,
// Date, Message-ID, References and the cross-referenced group names, each
// NUL-terminated) plus an optional array of cross-references, so a parsed
// line costs two allocations. The parser is strict about the structure of a
// line but repairs the defects real servers produce (stray blanks, empty
// Message-IDs, truncated lines, missing sizes), counting each repair.
//
// Threading: descriptions and counters belong to the thread that parses or
// reads them; nothing here is shared.
#pragma once

#include "lib/diag.h"
#include "lib/log.h"
#include "lib/numbers.h"

#include <cstddef>

constexpr long ARTICLE_MAX_BYTES = 6291456;  // 0x600000
constexpr long ARTICLE_MAX_LINES = 1048576;  // 0x100000

struct tXref {
    int nameOffset;  // the group name, at db + nameOffset
    long number;     // the article's number in that group
};

struct tArticleData {
    long number = 0;       // upstream number while exploring; local once stored
    int fromOffset = 0;    // offsets of the texts in db
    int dateOffset = 0;
    int msgIdOffset = 0;
    int refsOffset = 0;
    long bytes = -1;       // -1 unknown
    long lines = -1;       // -1 unknown
    char *db = nullptr;    // the text block; owned
    tXref *xrefs = nullptr;  // owned, or null
    int xrefCount = 0;
    long dateSecs = 0;     // 0 not computed; negative: Date not recognised
};

inline const char *ArticleDataSubject(const tArticleData *a) { return a->db; }
inline const char *ArticleDataFrom(const tArticleData *a) { return a->db + a->fromOffset; }
inline const char *ArticleDataDate(const tArticleData *a) { return a->db + a->dateOffset; }
inline const char *ArticleDataMsgId(const tArticleData *a) { return a->db + a->msgIdOffset; }
inline const char *ArticleDataRefs(const tArticleData *a) { return a->db + a->refsOffset; }
inline const char *ArticleDataXrefGroup(const tArticleData *a, int i) { return a->db + a->xrefs[i].nameOffset; }

// Frees the block and the cross-references and resets the description
// (null and zero fields are fine).
void ArticleDataFree(tArticleData *adt);

// Repair counters, counted per exploration of a group.
struct tOverviewFixes {
    int emptyMsgIds;
    int truncAfterMsgId;
    int truncInAfterRefs;
    int byteCounts;
    int truncAfterByteCount;
    int lineCounts;
    int blanksBeforeSubject;
    int blanksBeforeFrom;
    int blanksBeforeDate;
    int blanksBeforeMsgId;
    int blanksBeforeRefs;
    int blanksBeforeBytes;
    int blanksBeforeLines;
    int spacesAfterLines;
};

// Cross-reference counters.
struct tXrefStats {
    int missing;     // line without an Xref field
    int corrupted;   // an Xref entry without ":"
    int mismatches;  // entries for the current group under another number, no self entry
    int aliases;     // the same, beside a self entry
    int self;        // entry naming the current group with the article's own number
};

// Parses one XOVER line (with or without its line end) into adt, which must
// be empty (freshly initialised or freed). See the repairs and diagnostics
// in the source. allowTruncation repairs lines cut after the Message-ID or
// in the References; allowNotGreater accepts numbers not above the previous
// one; minDateSecs 0 or the oldest acceptable date (E_DATE_TOO_OLD);
// *previousNumber carries the last accepted number from line to line and is
// updated as soon as the number passes its checks. On success the line's
// counts are added to fixes and xrefStats (either may be null); on failure
// nothing is added and adt owns nothing. groupName is the current group.
[[nodiscard]] tDiag ArticleDataParse(const char *line, tLog *log, tOverviewFixes *fixes, tArticleData *adt,
                                     bool allowTruncation, long minDateSecs, tXrefStats *xrefStats,
                                     const char *groupName, long *previousNumber, bool allowNotGreater,
                                     tRange expectedRange);

// The number checks shared with the XHDR Message-ID lines: reads the number at
// the start of text (leading blanks and a sign allowed) and checks it against
// previousNumber and expectedRange like the overview parser. On success
// *number and *previousNumber take it and *rest points after its digits.
[[nodiscard]] tDiag ArticleNumberCheck(const char *text, long *number, const char **rest, long *previousNumber,
                                       bool allowNotGreater, tRange expectedRange);

// Parses one line of an XHDR/XPAT Message-ID listing: an article number
// (checked as by ArticleNumberCheck), blanks and a Message-ID. E_NO_MSGID
// when it is missing, E_MSGID_NO_START / E_MSGID_NO_END when it is not
// enclosed in "<" and ">" (a final line end is ignored). On success *number
// and *previousNumber take the number and the Message-ID is [*msgId,
// *msgId + *msgIdLength) inside line. The group index adds the pair as a
// server reference of the article with that Message-ID.
[[nodiscard]] tDiag XhdrMsgIdLineParse(const char *line, long *number, const char **msgId, size_t *msgIdLength,
                                       long *previousNumber, bool allowNotGreater, tRange expectedRange);

// Builds a description from separate texts (adt must be empty). Null
// subject, from and date become "Fake Subject %ld", "Fake From
// <%ld@Mergator>" and "Fake Date"; null msgId and null or empty references
// become empty. A dateSecs that is not positive is computed from the date
// given (-1 when not recognised), or is the current time when there is no
// date. No cross-references. E_OUT_OF_MEMORY; E_BUFFER_TOO_SMALL when the
// texts are too long for a block offset.
[[nodiscard]] tDiag ArticleDataInit(tArticleData *adt, long number, const char *subject, const char *from,
                                    const char *date, const char *msgId, const char *references, long bytes,
                                    long lines, long dateSecs);

// Deep copy of src into dst (dst must be empty). E_OUT_OF_MEMORY.
[[nodiscard]] tDiag ArticleDataCopy(tArticleData *dst, const tArticleData *src);

// Fills unknown sizes: with both unknown 300 lines for a binary-looking
// Subject and 30 otherwise, bytes 50 per line; with bytes known a binary
// article has at least 10240 bytes and lines = bytes / 50; with only bytes
// unknown bytes = 50 * lines. Caps bytes at ARTICLE_MAX_BYTES and lines at
// ARTICLE_MAX_LINES.
void ArticleDataGuessSizes(tArticleData *adt);

// Writes "Fixed ... .\n" naming every non-zero counter; nothing when all are
// zero.
void OverviewFixReport(const tOverviewFixes *fixes, tLog *log);

// Adds one set of repair counters to another.
void OverviewFixesAdd(tOverviewFixes *total, const tOverviewFixes *part);

// Adds the five counters of part to total.
void XrefStatsAdd(tXrefStats *total, const tXrefStats *part);

// Overview fields gathered from header lines.
struct tHeaderFields {
    char from[1024];
    char msgId[1024];
    char subject[1024];
    char date[256];
    char references[4096];
    long lines;  // -1 unknown
    long bytes;  // -1 unknown
};

// Empties the texts and makes lines and bytes unknown.
void HeaderFieldsReset(tHeaderFields *fields);

// Recognises, regardless of case, "Subject: ", "From: ", "Date: ",
// "Message-ID: ", "Lines: ", "Bytes: " and "References: " at the start of
// headerLine (its line end ignored): texts are copied after the name and any
// blanks, cut to the field's size; Lines and Bytes are parsed (an
// unparsable value leaves them unchanged). Other lines are ignored.
void HeaderFieldsCollect(tHeaderFields *fields, const char *headerLine);

// Replaces every tab in text by a blank.
void TabsToBlanks(char *text);
