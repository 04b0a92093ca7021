#include "server/store/article_data.h"

#include "server/settings/settings.h"
#include "tests/support/paths.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// '|' stands for a tab in the lines below.
std::string Tabs(std::string s) {
    for (char &c : s)
        if (c == '|') c = '\t';
    return s;
}

// The non-zero repair counters, as "name=value ...".
std::string FixesText(const tOverviewFixes &f) {
    const char *names[] = {"emptyMsgIds",       "truncAfterMsgId",     "truncInAfterRefs",  "byteCounts",
                           "truncAfterByteCount", "lineCounts",        "blanksBeforeSubject", "blanksBeforeFrom",
                           "blanksBeforeDate",  "blanksBeforeMsgId",   "blanksBeforeRefs",  "blanksBeforeBytes",
                           "blanksBeforeLines", "spacesAfterLines"};
    const int *v = &f.emptyMsgIds;
    std::string out;
    for (int i = 0; i < 14; i++)
        if (v[i]) out += (out.empty() ? "" : " ") + std::string(names[i]) + "=" + std::to_string(v[i]);
    return out;
}

std::string XrefText(const tXrefStats &x) {
    std::string out;
    auto add = [&](const char *n, int v) {
        if (v) out += (out.empty() ? "" : " ") + std::string(n) + "=" + std::to_string(v);
    };
    add("missing", x.missing);
    add("corrupted", x.corrupted);
    add("mismatches", x.mismatches);
    add("aliases", x.aliases);
    add("self", x.self);
    return out;
}

constexpr tRange ALL{0, 2147483647};

struct tParseCase {
    const char *line;    // '|' is a tab
    bool truncation;     // allowTruncation
    tDiag diag;
    long bytes = 0, lines = 0;  // expected sizes on success
    const char *refs = "";      // expected References on success
    const char *fixes = "";     // expected non-zero repair counters
    const char *xrefs = "";     // expected cross-reference counters
};

const tParseCase parseCases[] = {
    // A clean line.
    {"123|Subj|From|Date|<m1>||1500|20\r\n", false, E_OK, 1500, 20, "", "", "missing=1"},
    {"123|Subj|From|Date|<m1>|<a> <b>|1500|20", false, E_OK, 1500, 20, "<a> <b>", "", "missing=1"},
    // A blank after every tab: each counted once, References left empty.
    {"123| Subj| From| Date| <m1>| | 1500| 20\r\n", false, E_OK, 1500, 20, "",
     "blanksBeforeSubject=1 blanksBeforeFrom=1 blanksBeforeDate=1 blanksBeforeMsgId=1 blanksBeforeRefs=1 "
     "blanksBeforeBytes=1 blanksBeforeLines=1",
     "missing=1"},
    // A blank before a Message-ID without "<" is part of it.
    {"123|S|F|D| m1||1500|20", false, E_MSGID_NO_START},
    // Missing fields, in field order.
    {"", false, E_BAD_ARTICLE_NUMBER},
    {"abc|S|F|D|<m>||1|1", false, E_BAD_ARTICLE_NUMBER},
    {"-5|S|F|D|<m>||1|1", false, E_NEGATIVE_NUMBER},
    {"2147483648|S|F|D|<m>||1|1", false, E_BAD_ARTICLE_NUMBER},
    {"123", false, E_NO_TAB_AFTER_NUMBER},
    {"123 S", false, E_NO_TAB_AFTER_NUMBER},
    {"123|", false, E_NO_SUBJECT},
    {"123|S", false, E_NO_TAB_AFTER_SUBJECT},
    {"123|S|", false, E_NO_FROM},
    {"123|S|F", false, E_NO_TAB_AFTER_FROM},
    {"123|S|F|", false, E_NO_DATE},
    {"123|S|F|D", false, E_NO_TAB_AFTER_DATE},
    {"123|S|F|D|", false, E_NO_MSGID},
    {"123|S|F|D|<m>|", false, E_NO_REFERENCES},
    {"123|S|F|D|<m>|<r>", false, E_NO_TAB_AFTER_REFERENCES},
    {"123|S|F|D|<m>|<r>|", false, E_NO_BYTES},
    // Message-IDs without brackets.
    {"123|S|F|D|m1@x||1500|20", false, E_MSGID_NO_START},
    {"123|S|F|D|<m1@x||1500|20", false, E_MSGID_NO_END},
    {"123|S|F|D|<||1500|20", false, E_MSGID_NO_END},
    // A tab inside the Subject shifts every field: the Date lands in the
    // Message-ID.
    {"123|Sub|ject|F|D|<m1>||1500|20", false, E_MSGID_NO_START},
    // Truncation right after the Message-ID: refused, or repaired with guessed
    // sizes.
    {"123|S|F|D|<m1>\r\n", false, E_NO_TAB_AFTER_MSGID},
    {"123|S|F|D|<m1>\r\n", true, E_OK, 1500, 30, "", "truncAfterMsgId=1", ""},
    {"123|S|F|D|<m1>", true, E_OK, 1500, 30, "", "truncAfterMsgId=1", ""},
    // Truncation inside the References: cut after the last ">".
    {"123|S|F|D|<m1>|<a> <b> <c\r\n", true, E_OK, 1500, 30, "<a> <b>", "truncInAfterRefs=1", ""},
    {"123|S|F|D|<m1>|<a\r\n", true, E_OK, 1500, 30, "", "truncInAfterRefs=1", ""},
    {"123|S|F|D|<m1>|<a> <b> <c", true, E_NO_TAB_AFTER_REFERENCES},
    {"123|S|F|D|<m1>|<a> <b> <c\r\n", false, E_NO_TAB_AFTER_REFERENCES},
    // Bytes with junk, empty, huge.
    {"123|S|F|D|<m1>||abc|20", false, E_BYTES_NOT_DIGITS},
    {"123|S|F|D|<m1>||-|20", false, E_BYTES_NOT_DIGITS},
    {"123|S|F|D|<m1>||1500abc|20", false, E_OK, 1500, 20, "", "", "missing=1"},
    {"123|S|F|D|<m1>|||20", false, E_OK, 1000, 20, "", "byteCounts=1", "missing=1"},
    {"123|S|F|D|<m1>||-7|20", false, E_OK, 1000, 20, "", "byteCounts=1", "missing=1"},
    {"123|S|F|D|<m1>||6291456|20", false, E_OK, 6291456, 20, "", "", "missing=1"},
    {"123|S|F|D|<m1>||6291457|20", false, E_BYTES_TOO_LARGE},
    {"123|S|F|D|<m1>||99999999999999999999|20", false, E_BYTES_TOO_LARGE},
    // Lines: missing, empty, junk, spaces after, huge.
    {"123|S|F|D|<m1>||1500\r\n", false, E_OK, 1500, 30, "", "truncAfterByteCount=1", "missing=1"},
    {"123|S|F|D|<m1>||1500|\r\n", false, E_OK, 1500, 30, "", "lineCounts=1", "missing=1"},
    {"123|S|F|D|<m1>||1500|x20", false, E_LINES_NOT_DIGITS},
    {"123|S|F|D|<m1>||1500|20x", false, E_OK, 1500, 20, "", "", "missing=1"},
    {"123|S|F|D|<m1>||1500|20   \r\n", false, E_OK, 1500, 20, "", "spacesAfterLines=1", "missing=1"},
    {"123|S|F|D|<m1>|||\r\n", false, E_OK, 1500, 30, "", "byteCounts=1 lineCounts=1", "missing=1"},
    {"123|S|F|D|<m1>||1500|2000000\r\n", false, E_OK, 1500, 30, "", "lineCounts=1", "missing=1"},
    {"123|S|F|D|<m1>||1500|99999999999\r\n", false, E_OK, 1500, 30, "", "lineCounts=1", "missing=1"},
    {"123|S|F|D|<m1>||1500|2000000|Xref: s g:1", false, E_OK, 1500, 30, "", "lineCounts=1", "mismatches=1"},
    {"123|S|F|D|<m1>||1500|2000000|extra", false, E_LINES_TOO_LARGE},
    {"123|S|F|D|<m1>||1500|1048576", false, E_OK, 1500, 1048576, "", "", "missing=1"},
    // Xref forms and extra fields.
    {"123|S|F|D|<m1>||1500|20|extra|Xref: s g:1", false, E_OK, 1500, 20, "", "", "missing=1"},
    {"123|S|F|D|<m1>||1500|20|xref: s g2:1\r\n", false, E_OK, 1500, 20, "", "", ""},
    {"123|S|F|D|<m1>||1500|20|Xref: s g2", false, E_OK, 1500, 20, "", "", "corrupted=1"},
    {"123|S|F|D|<m1>||1500|20|Xref: s g2:x", false, E_OK, 1500, 20, "", "", "corrupted=1"},
};

TEST(ArticleDataParse, TableOfLines) {
    for (const tParseCase &c : parseCases) {
        std::string line = Tabs(c.line);
        SCOPED_TRACE(c.line);
        tArticleData adt;
        tOverviewFixes fixes{};
        tXrefStats xs{};
        long previous = 0;
        tDiag diag = ArticleDataParse(line.c_str(), nullptr, &fixes, &adt, c.truncation, 0, &xs, "g", &previous,
                                      false, ALL);
        ASSERT_EQ(diag, c.diag) << DiagText(diag);
        if (diag != E_OK) {
            EXPECT_EQ(adt.db, nullptr);
            EXPECT_EQ(adt.xrefs, nullptr);
            EXPECT_EQ(FixesText(fixes), "");
            EXPECT_EQ(XrefText(xs), "");
            continue;
        }
        EXPECT_EQ(adt.number, 123);
        EXPECT_EQ(adt.bytes, c.bytes);
        EXPECT_EQ(adt.lines, c.lines);
        EXPECT_STREQ(ArticleDataRefs(&adt), c.refs);
        EXPECT_EQ(FixesText(fixes), c.fixes);
        EXPECT_EQ(XrefText(xs), c.xrefs);
        EXPECT_EQ(previous, 123);
        ArticleDataFree(&adt);
    }
}

TEST(ArticleDataParse, FieldsLandInTheirTexts) {
    std::string line = Tabs("77|Hello world|Joe <j@x>|Mon, 1 Jan 2024 10:00:00 GMT|<abc@d>|<r1> <r2>|321|7\r\n");
    tArticleData adt;
    long previous = 0;
    ASSERT_EQ(ArticleDataParse(line.c_str(), nullptr, nullptr, &adt, false, 0, nullptr, "g", &previous, false, ALL),
              E_OK);
    EXPECT_STREQ(ArticleDataSubject(&adt), "Hello world");
    EXPECT_STREQ(ArticleDataFrom(&adt), "Joe <j@x>");
    EXPECT_STREQ(ArticleDataDate(&adt), "Mon, 1 Jan 2024 10:00:00 GMT");
    EXPECT_STREQ(ArticleDataMsgId(&adt), "<abc@d>");
    EXPECT_STREQ(ArticleDataRefs(&adt), "<r1> <r2>");
    EXPECT_EQ(adt.dateSecs, 0);  // computed when stored, not without a minimum date

    tArticleData copy;
    ASSERT_EQ(ArticleDataCopy(&copy, &adt), E_OK);
    ArticleDataFree(&adt);
    EXPECT_STREQ(ArticleDataMsgId(&copy), "<abc@d>");
    EXPECT_STREQ(ArticleDataRefs(&copy), "<r1> <r2>");
    ArticleDataFree(&copy);
}

TEST(ArticleDataParse, EmptyMessageIdIsInvented) {
    std::string line = Tabs("123|S|F|D||<r>|1500|20");
    tArticleData adt;
    tOverviewFixes fixes{};
    long previous = 0;
    ASSERT_EQ(ArticleDataParse(line.c_str(), nullptr, &fixes, &adt, false, 0, nullptr, "g", &previous, false, ALL),
              E_OK);
    std::string msgId = ArticleDataMsgId(&adt);
    long stamp = 0;
    char tail[32] = "";
    EXPECT_EQ(sscanf(msgId.c_str(), "<%ld_0@%31s", &stamp, tail), 2) << msgId;
    EXPECT_STREQ(tail, "Mergator>");
    EXPECT_GT(stamp, 1700000000);
    EXPECT_LT(msgId.size(), 40u);
    EXPECT_STREQ(ArticleDataRefs(&adt), "<r>");
    EXPECT_EQ(fixes.emptyMsgIds, 1);
    ArticleDataFree(&adt);
}

TEST(ArticleDataParse, NumberSequenceChecks) {
    struct {
        long previous;
        const char *number;
        bool allowNotGreater;
        tRange range;
        tDiag diag;
        long previousAfter;
    } cases[] = {
        {1000, "10001", false, ALL, E_TENFOLD_LEAP, 1000},
        {1000, "10000", false, ALL, E_OK, 10000},
        {214748365, "2147483647", false, ALL, E_OK, 2147483647},  // too large to multiply
        {50, "50", false, ALL, E_NUMBER_NOT_GREATER, 50},
        {50, "50", true, ALL, E_OK, 50},
        {50, "40", true, ALL, E_OK, 40},
        {0, "0", false, ALL, E_NUMBER_NOT_GREATER, 0},
        {0, "9", false, {10, 20}, E_NUMBER_OUT_OF_RANGE, 0},
        {0, "21", false, {10, 20}, E_NUMBER_OUT_OF_RANGE, 0},
        {0, "20", false, {10, 20}, E_OK, 20},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.number);
        std::string line = Tabs(std::string(c.number) + "|S|F|D|<m>||1|1");
        tArticleData adt;
        long previous = c.previous;
        EXPECT_EQ(ArticleDataParse(line.c_str(), nullptr, nullptr, &adt, false, 0, nullptr, "g", &previous,
                                   c.allowNotGreater, c.range),
                  c.diag);
        EXPECT_EQ(previous, c.previousAfter);
        ArticleDataFree(&adt);
    }
}

TEST(ArticleDataParse, DatesOlderThanTheLimitAreRefused) {
    const long limit = 1577836800;  // 1 Jan 2020 00:00:00 GMT
    struct {
        const char *date;
        tDiag diag;
        bool recognised;
    } cases[] = {
        {"Mon, 1 Jan 2001 10:00:00 GMT", E_DATE_TOO_OLD, true},
        {"31 Dec 2019 23:00:00 GMT", E_DATE_TOO_OLD, true},
        {"Wed, 13 Mar 2024 23:10:00 -0500", E_OK, true},
        {"yesterday", E_OK, false},  // kept, marked unrecognised
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.date);
        std::string line = Tabs(std::string("7|S|F|") + c.date + "|<m>||100|3");
        tArticleData adt;
        tOverviewFixes fixes{};
        long previous = 0;
        ASSERT_EQ(ArticleDataParse(line.c_str(), nullptr, &fixes, &adt, false, limit, nullptr, "g", &previous, false,
                                   ALL),
                  c.diag);
        if (c.diag == E_OK) {
            EXPECT_EQ(adt.dateSecs > limit, c.recognised);
            EXPECT_EQ(adt.dateSecs < 0, !c.recognised);
        } else {
            EXPECT_EQ(adt.db, nullptr);
        }
        ArticleDataFree(&adt);
    }
}

TEST(ArticleDataParse, CrossReferences) {
    struct {
        const char *xref;
        const char *kept;  // "group:number ..." kept
        const char *stats;
    } cases[] = {
        {"Xref: srv g1:5 g2:7", "g2:7", "self=1"},
        {"Xref: srv G1:5 g2:7 g3:8\r\n", "g2:7 g3:8", "self=1"},
        {"Xref: srv g1:6", "g1:6", "mismatches=1"},
        {"Xref: srv g1:5 g1:9", "g1:9", "aliases=1 self=1"},
        {"Xref: srv g2:7 bad g3:8", "g2:7", "corrupted=1"},
        {"Xref: srv", "", ""},
        {"Xref:", "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.xref);
        std::string line = Tabs(std::string("5|S|F|D|<m>||1500|20|") + c.xref);
        tArticleData adt;
        tXrefStats xs{};
        long previous = 0;
        ASSERT_EQ(ArticleDataParse(line.c_str(), nullptr, nullptr, &adt, false, 0, &xs, "g1", &previous, false, ALL),
                  E_OK);
        std::string kept;
        for (int i = 0; i < adt.xrefCount; i++)
            kept += (i ? " " : "") + std::string(ArticleDataXrefGroup(&adt, i)) + ":" +
                    std::to_string(adt.xrefs[i].number);
        EXPECT_EQ(kept, c.kept);
        EXPECT_EQ(adt.xrefs == nullptr, adt.xrefCount == 0);
        EXPECT_EQ(XrefText(xs), c.stats);
        ArticleDataFree(&adt);
    }
}

TEST(ArticleDataParse, RepairsAreLoggedWithTheLine) {
    tTempDir dir;
    tLog log{};
    ASSERT_EQ(LogOpen(&log, (dir / "log").c_str(), 100000), E_OK);
    const char *lines[] = {
        "1|S|F|D|<m1>\r\n",               // truncation after the Message-ID
        "2|S|F|D|<m1>|<a> <b\r\n",        // truncation in the References
        "3|S|F|D|<m1>|||20",              // byte count, quoted with a line feed added
        "4|S|F|D|<m1>||1500|2000000\r\n",  // line count
        "5|S|F|D|<m1>||1500|20|Xref: s g1:6\r\n",
        "6|S|F|D|<m1>||1500|20|Xref: s g1:6 g1:7 g1:8\r\n",
        "7|S|F|Someday|<m1>||1500|20\r\n",  // not a date: kept
    };
    long previous = 0;
    for (const char *l : lines) {
        std::string line = Tabs(l);
        tArticleData adt;
        ASSERT_EQ(ArticleDataParse(line.c_str(), &log, nullptr, &adt, true, 1, nullptr, "g1", &previous, false, ALL),
                  E_OK)
            << l;
        ArticleDataFree(&adt);
    }
    LogClose(&log);
    std::string text = ReadWholeFile(dir / "log");
    EXPECT_NE(text.find(Tabs("Fixing truncation after Message-ID: 1|S|F|D|<m1>\r\n")), std::string::npos) << text;
    EXPECT_NE(text.find(Tabs("Fixing truncation in/after References: 2|S|F|D|<m1>|<a> <b\r\n")), std::string::npos);
    EXPECT_NE(text.find(Tabs("Fixing Byte count in: 3|S|F|D|<m1>|||20\n")), std::string::npos);
    EXPECT_NE(text.find(Tabs("Fixing Line count in: 4|")), std::string::npos);
    EXPECT_NE(text.find(Tabs("Numbering mismatch on server: 5|")), std::string::npos);
    EXPECT_NE(text.find(Tabs("Article has 2 aliases in group: 6|")), std::string::npos);
    EXPECT_NE(text.find("Keeping unrecognized Date: Someday\r\n"), std::string::npos);
    // The truncation repairs stand instead of the size message.
    EXPECT_EQ(text.find(Tabs("Fixing Byte and Line count in: 1|")), std::string::npos);
}

TEST(XhdrMsgIdLine, NumberAndMessageId) {
    struct {
        const char *line;
        tDiag diag;
        const char *msgId = "";
    } cases[] = {
        {"12 <a@b>\r\n", E_OK, "<a@b>"},
        {"13\t  <a@b>", E_OK, "<a@b>"},
        {"14", E_NO_MSGID},
        {"15   \r\n", E_NO_MSGID},
        {"16 a@b>", E_MSGID_NO_START},
        {"17 <a@b", E_MSGID_NO_END},
        {"5 <a@b>", E_NUMBER_NOT_GREATER},
        {"x <a@b>", E_BAD_ARTICLE_NUMBER},
    };
    long previous = 10;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        long number = 0;
        const char *msgId = nullptr;
        size_t length = 0;
        ASSERT_EQ(XhdrMsgIdLineParse(c.line, &number, &msgId, &length, &previous, false, ALL), c.diag);
        if (c.diag == E_OK) {
            EXPECT_EQ(std::string(msgId, length), c.msgId);
        }
    }
    EXPECT_EQ(previous, 17);
}

TEST(ArticleDataInit, FakeValuesForMissingTexts) {
    tArticleData adt;
    ASSERT_EQ(ArticleDataInit(&adt, 7, nullptr, nullptr, nullptr, "<m7>", nullptr, 100, 3, 0), E_OK);
    EXPECT_STREQ(ArticleDataSubject(&adt), "Fake Subject 7");
    EXPECT_STREQ(ArticleDataFrom(&adt), "Fake From <7@Mergator>");
    EXPECT_STREQ(ArticleDataDate(&adt), "Fake Date");
    EXPECT_STREQ(ArticleDataMsgId(&adt), "<m7>");
    EXPECT_STREQ(ArticleDataRefs(&adt), "");
    EXPECT_GT(adt.dateSecs, 1700000000);  // no Date: the current time
    EXPECT_EQ(adt.xrefCount, 0);
    ArticleDataFree(&adt);

    ASSERT_EQ(ArticleDataInit(&adt, 8, "S", "F", "not a date", "<m8>", "<r>", 100, 3, 0), E_OK);
    EXPECT_LT(adt.dateSecs, 0);
    ArticleDataFree(&adt);

    ASSERT_EQ(ArticleDataInit(&adt, 8, "S", "F", "Tue, 12 Mar 2024 09:00:00 GMT", "<m8>", "<r>", 100, 3, 0), E_OK);
    EXPECT_EQ(adt.dateSecs, 1710234000);
    EXPECT_STREQ(ArticleDataRefs(&adt), "<r>");
    ArticleDataFree(&adt);

    ASSERT_EQ(ArticleDataInit(&adt, 9, "S", "F", "D", "<m9>", "", 100, 3, 12345), E_OK);
    EXPECT_EQ(adt.dateSecs, 12345);
    ArticleDataFree(&adt);
}

TEST(ArticleDataGuessSizes, Rules) {
    struct {
        long bytes, lines;
        long expectBytes, expectLines;
    } cases[] = {
        {-1, -1, 1500, 30}, {5000, -1, 5000, 100}, {-1, 12, 600, 12},
        {-1, 1048576, 6291456, 1048576}, {4000, 80, 4000, 80},
    };
    for (const auto &c : cases) {
        tArticleData adt;
        ASSERT_EQ(ArticleDataInit(&adt, 1, "text", "F", "D", "<m>", nullptr, c.bytes, c.lines, 1), E_OK);
        ArticleDataGuessSizes(&adt);
        EXPECT_EQ(adt.bytes, c.expectBytes);
        EXPECT_EQ(adt.lines, c.expectLines);
        ArticleDataFree(&adt);
    }
}

TEST(ArticleDataGuessSizes, BinaryLookingSubjectsGetLargerSizes) {
    ASSERT_EQ(IniApplyDefaults(&mergatorIni), 0);  // the default binaryFilter
    struct {
        const char *line;
        long bytes, lines;
    } cases[] = {
        {"1|holiday.zip (1/5)|F|D|<m1>\r\n", 15000, 300},       // truncated: both guessed
        {"2|Re: holiday.zip (1/5)|F|D|<m1>\r\n", 1500, 30},     // a reply is not binary
        {"3|holiday.zip (1/5)|F|D|<m1>||2000\r\n", 10240, 204},  // at least 10240 bytes
        {"4|holiday.zip (1/5)|F|D|<m1>||50000|\r\n", 50000, 1000},
        {"5|holiday.zip (1/5)|F|D|<m1>|||4000\r\n", 200000, 4000},
    };
    long previous = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        std::string line = Tabs(c.line);
        tArticleData adt;
        ASSERT_EQ(ArticleDataParse(line.c_str(), nullptr, nullptr, &adt, true, 0, nullptr, "g", &previous, false, ALL),
                  E_OK);
        EXPECT_EQ(adt.bytes, c.bytes);
        EXPECT_EQ(adt.lines, c.lines);
        ArticleDataFree(&adt);
    }
    IniRelease(&mergatorIni);
}

TEST(OverviewFixReport, NamesNonZeroCountersInOrder) {
    tTempDir dir;
    tLog log{};
    ASSERT_EQ(LogOpen(&log, (dir / "log").c_str(), 100000), E_OK);
    tOverviewFixes none{};
    OverviewFixReport(&none, &log);
    tOverviewFixes f{};
    f.lineCounts = 4;
    f.blanksBeforeSubject = 2;
    f.emptyMsgIds = 1;
    OverviewFixReport(&f, &log);
    LogClose(&log);
    std::string text = ReadWholeFile(dir / "log");
    EXPECT_NE(text.find("Fixed 2 single blanks before Subject 1 empty Message-IDs 4 line counts.\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Fixed."), std::string::npos);
}

TEST(HeaderFields, CollectsKnownHeaders) {
    tHeaderFields f;
    HeaderFieldsReset(&f);
    HeaderFieldsCollect(&f, "subject:   Hello\tthere\r\n");
    HeaderFieldsCollect(&f, "From: Joe <j@x>\r\n");
    HeaderFieldsCollect(&f, "MESSAGE-ID: <a@b>\n");
    HeaderFieldsCollect(&f, "Lines: 42\r\n");
    HeaderFieldsCollect(&f, "Bytes: junk\r\n");
    HeaderFieldsCollect(&f, "X-Other: ignored\r\n");
    HeaderFieldsCollect(&f, std::string("References: " + std::string(5000, 'r')).c_str());
    EXPECT_STREQ(f.subject, "Hello\tthere");
    EXPECT_STREQ(f.from, "Joe <j@x>");
    EXPECT_STREQ(f.msgId, "<a@b>");
    EXPECT_STREQ(f.date, "");
    EXPECT_EQ(f.lines, 42);
    EXPECT_EQ(f.bytes, -1);
    EXPECT_EQ(strlen(f.references), sizeof f.references - 1);
    TabsToBlanks(f.subject);
    EXPECT_STREQ(f.subject, "Hello there");
}

}  // namespace
