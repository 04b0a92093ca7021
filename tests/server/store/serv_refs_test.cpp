#include "server/store/serv_refs.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Text(const tServRefs &refs) {
    char buf[1024];
    EXPECT_EQ(ServRefsFormat(&refs, buf, sizeof buf), E_OK);
    return buf;
}

// Parses text, checks that it formats back identically, returns the refs.
tServRefs RoundTrip(const char *text) {
    tServRefs refs;
    const char *end = nullptr;
    EXPECT_EQ(ServRefsParse(&refs, text, &end), E_OK) << text;
    EXPECT_EQ(Text(refs), text);
    return refs;
}

TEST(ServRefs, TextRoundTrip) {
    for (const char *text : {"", " 3:1234", " 3:1234 5:678", " 3:1234 5:678 12:9", " 1:1 2:2 3:3 4:4 5:5",
                             " 0:0", " 0:1700000000", " 7:2147483647"}) {
        SCOPED_TRACE(text);
        tServRefs refs = RoundTrip(text);
        ServRefsClear(&refs);
    }
    tServRefs refs = RoundTrip(" 3:1234 5:678 12:9");
    EXPECT_EQ(ServRefsCount(&refs), 3);
    EXPECT_EQ(refs.second, -2);
    ServRefsClear(&refs);
    refs = RoundTrip("");
    EXPECT_EQ(refs.server, -1);
}

TEST(ServRefs, ParseStopsAtTabAndToleratesBlanks) {
    tServRefs refs;
    const char *text = "3:10   5:77 \tnext";
    const char *end;
    ASSERT_EQ(ServRefsParse(&refs, text, &end), E_OK);
    EXPECT_EQ(end, text + 12);
    EXPECT_EQ(Text(refs), " 3:10 5:77");
}

TEST(ServRefs, CorruptTextsAreRejected) {
    for (const char *text : {" -3:4", " 3:", " 3:x", " 3:4x", " a:4", " 3:4 5", " 3:4 :5", " 3::4", " 3:4 5:6 7:8 x",
                             " 99999999999999999999:1"}) {
        SCOPED_TRACE(text);
        tServRefs refs;
        EXPECT_EQ(ServRefsParse(&refs, text, nullptr), E_BAD_SERVREFS);
        EXPECT_EQ(refs.server, -1);
        EXPECT_EQ(refs.second, 0);
    }
}

TEST(ServRefs, FormatFailsWhenTooSmall) {
    tServRefs refs = RoundTrip(" 3:1234 5:678");
    char buf[10];
    EXPECT_EQ(ServRefsFormat(&refs, buf, sizeof buf), E_BUFFER_TOO_SMALL);
    EXPECT_EQ(strlen(buf) < sizeof buf, true);
}

TEST(ServRefs, AddOutcomes) {
    tServRefs refs = RoundTrip(" 5:678");
    long other;
    EXPECT_EQ(ServRefsAdd(&refs, 5, 678, &other), SR_PRESENT);
    EXPECT_EQ(other, -1);
    EXPECT_EQ(ServRefsAdd(&refs, 5, 700, &other), SR_APPENDED);
    EXPECT_EQ(other, 678);
    EXPECT_EQ(ServRefsAdd(&refs, 3, 1, &other), SR_APPENDED);
    EXPECT_EQ(ServRefsAdd(&refs, 4, 2, &other), SR_APPENDED);
    EXPECT_EQ(ServRefsAdd(&refs, 4, 2, &other), SR_PRESENT);
    EXPECT_EQ(Text(refs), " 5:678 5:700 3:1 4:2");
    ServRefsClear(&refs);

    tServRefs zombie = RoundTrip(" 0:1700000000");
    EXPECT_EQ(ServRefsAdd(&zombie, 5, 678, &other), SR_REVIVED);
    EXPECT_EQ(Text(zombie), " 5:678");

    tServRefs deleted = RoundTrip("");
    EXPECT_EQ(ServRefsAdd(&deleted, 5, 678, &other), SR_DELETED);
    EXPECT_EQ(Text(deleted), "");
}

bool ServerIs(void *context, long server, long) { return server == *(long *)context; }

TEST(ServRefs, RemoveIfMovesTheLastIntoTheGap) {
    struct {
        const char *before;
        long server;
        bool keepZombie;
        const char *after;
        int removed, emptied;
    } cases[] = {
        {" 1:10 2:20 3:30 4:40", 1, false, " 4:40 2:20 3:30", 1, 0},
        {" 1:10 2:20 1:11 4:40", 1, false, " 4:40 2:20", 2, 0},
        {" 1:10 2:20 3:30", 3, false, " 1:10 2:20", 1, 0},
        {" 1:10 2:20", 1, false, " 2:20", 1, 0},
        {" 1:10", 1, true, " 0:0", 1, 1},
        {" 1:10 1:12", 1, false, "", 2, 1},
        {" 1:10", 2, false, " 1:10", 0, 0},
        {" 0:55", 0, false, " 0:55", 0, 0},  // a zombie is left alone
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.before);
        tServRefs refs = RoundTrip(c.before);
        int emptied = 0;
        long server = c.server;
        EXPECT_EQ(ServRefsRemoveIf(&refs, ServerIs, &server, &emptied, c.keepZombie), c.removed);
        EXPECT_EQ(Text(refs), c.after);
        EXPECT_EQ(emptied, c.emptied);
        ServRefsClear(&refs);
    }
}

TEST(ServRefs, MarkDeletedFreesTheArray) {
    tServRefs refs = RoundTrip(" 1:1 2:2 3:3");
    ServRefsMarkDeleted(&refs);
    EXPECT_EQ(refs.server, -1);
    EXPECT_EQ(Text(refs), "");
}

}  // namespace
