#include "server/store/newsrc.h"

#include "lib/files.h"
#include "tests/support/storedir.h"

#include <sqlite3.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct tOpenNewsrc : tStoreDir {
    tDb db;
    explicit tOpenNewsrc(const char *diskName = "news.example.com") {
        (void)mkdir(NEWSRC_DIRECTORY, 0755);
        EXPECT_EQ(NewsrcOpen(&db, diskName, &log), E_OK);
    }
    ~tOpenNewsrc() { NewsrcClose(&db); }
    // The stored blob of a group as upper-case hexadecimal.
    std::string Hex(const char *group) {
        std::string sql = std::string("SELECT hex(ranges) FROM grs WHERE groupName='") + group + "';";
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(db.db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) return "?";
        std::string hex = sqlite3_step(statement) == SQLITE_ROW
                              ? reinterpret_cast<const char *>(sqlite3_column_text(statement, 0))
                              : "-";
        sqlite3_finalize(statement);
        return hex;
    }
};

std::vector<std::pair<int32_t, int32_t>> Ranges(const tNumbers *numbers) {
    std::vector<std::pair<int32_t, int32_t>> ranges;
    for (int32_t i = 0; i < NumbersRanges(numbers); i++)
        ranges.emplace_back(NumbersRange(numbers, i)->low, NumbersRange(numbers, i)->high);
    return ranges;
}

}  // namespace

TEST(Newsrc, RecordRoundTripsItsNumbersExactly) {
    tOpenNewsrc t;
    tNewsrcGroup record;
    ASSERT_EQ(NewsrcRead(&t.db, "alt.test", true, &record), E_OK);
    EXPECT_EQ(record.lastExploreSecs, 0);
    EXPECT_EQ(NumbersRanges(&record.numbers), 0);
    EXPECT_EQ(t.Hex("alt.test"), "");  // the row exists, with an empty blob
    std::vector<std::pair<int32_t, int32_t>> want = {{1, 100}, {200, 250}, {0x12345678, 0x7FFFFFFF}};
    for (auto [low, high] : want) ASSERT_EQ(NumbersAdd(&record.numbers, low, high), 0);
    record.lastExploreSecs = 1234567890;
    record.flags = NEWSRC_MODIFIED;
    ASSERT_EQ(NewsrcWrite(&t.db, &record), E_OK);
    EXPECT_EQ(record.groupName, nullptr);  // written records are released
    // Most significant byte first, whatever the machine.
    EXPECT_EQ(t.Hex("alt.test"), "0000000100000064000000C8000000FA123456787FFFFFFF");
    ASSERT_EQ(NewsrcCheckpoint(&t.db), E_OK);
    ASSERT_EQ(NewsrcRead(&t.db, "ALT.TEST", false, &record), E_OK);
    EXPECT_EQ(Ranges(&record.numbers), want);
    EXPECT_EQ(record.lastExploreSecs, 1234567890);
    EXPECT_STREQ(record.groupName, "ALT.TEST");
    // A record written without a flag changes nothing.
    ASSERT_EQ(NumbersAdd(&record.numbers, 300, 301), 0);
    ASSERT_EQ(NewsrcWrite(&t.db, &record), E_OK);
    EXPECT_EQ(t.Hex("alt.test"), "0000000100000064000000C8000000FA123456787FFFFFFF");
    EXPECT_EQ(NewsrcCount(&t.db), 1);
}

TEST(Newsrc, MissingCorruptAndCaseVariants) {
    tOpenNewsrc t;
    tNewsrcGroup record;
    EXPECT_EQ(NewsrcRead(&t.db, "alt.missing", false, &record), E_NOT_IN_NEWSRC);
    EXPECT_EQ(NewsrcRead(&t.db, "alt.missing", false, nullptr), E_NOT_IN_NEWSRC);
    ASSERT_EQ(NewsrcRead(&t.db, "Alt.Case", true, nullptr), E_OK);
    ASSERT_EQ(NewsrcRead(&t.db, "alt.case", true, nullptr), E_OK);
    EXPECT_EQ(NewsrcCount(&t.db), 1);  // names differing only in case share one row

    ASSERT_EQ(DbExec(&t.db, "INSERT INTO grs VALUES(0,'alt.twelve',0,X'000000010000000200000003');"), E_OK);
    EXPECT_EQ(NewsrcRead(&t.db, "alt.twelve", false, &record), E_SQL_CORRUPTED);
    EXPECT_NE(t.Journal().find("Size of ranges 12 is incorrect.\n"), std::string::npos);
    ASSERT_EQ(DbExec(&t.db, "INSERT INTO grs VALUES(0,'alt.huge',0,X'0000000180000000');"), E_OK);
    EXPECT_EQ(NewsrcRead(&t.db, "alt.huge", false, &record), E_SQL_CORRUPTED);
    // Ranges out of order come back as a canonical set.
    ASSERT_EQ(DbExec(&t.db, "INSERT INTO grs VALUES(5,'alt.order',0,X'000000C8000000FA0000000100000064000000500000012C');"),
              E_OK);
    ASSERT_EQ(NewsrcRead(&t.db, "alt.order", false, &record), E_OK);
    EXPECT_EQ(Ranges(&record.numbers), (std::vector<std::pair<int32_t, int32_t>>{{1, 300}}));
    NewsrcGroupFree(&record);
}

TEST(Newsrc, ResetDeleteAndWalkThatDeletes) {
    tOpenNewsrc t;
    for (const char *group : {"alt.a", "alt.b", "alt.c", "alt.d"}) {
        tNewsrcGroup record;
        ASSERT_EQ(NewsrcRead(&t.db, group, true, &record), E_OK);
        ASSERT_EQ(NumbersAdd(&record.numbers, 5, 9), 0);
        record.lastExploreSecs = 77;
        record.flags = NEWSRC_MODIFIED;
        ASSERT_EQ(NewsrcWrite(&t.db, &record), E_OK);
    }
    ASSERT_EQ(NewsrcResetGroup(&t.db, "ALT.A"), E_OK);
    EXPECT_EQ(t.Hex("alt.a"), "");
    EXPECT_EQ(NewsrcDeleteGroup(&t.db, "alt.absent"), E_OK);
    // The walk's function deletes rows as it goes; every group is seen once.
    struct tWalk {
        tDb *db;
        std::vector<std::string> seen;
    } walk{&t.db, {}};
    auto visit = [](tNewsrcGroup *record, void *context) -> int {
        auto *w = static_cast<tWalk *>(context);
        w->seen.push_back(record->groupName);
        if (w->seen.size() == 3) return E_SHUTDOWN;
        return NewsrcDeleteGroup(w->db, record->groupName);
    };
    EXPECT_EQ(NewsrcForEachGroup(&t.db, visit, &walk, &t.log, false), E_SHUTDOWN);
    EXPECT_EQ(walk.seen.size(), 3u);
    EXPECT_EQ(NewsrcCount(&t.db), 2);
    EXPECT_NE(t.Journal().find("Error when processing group " + walk.seen[2] + ": "), std::string::npos);
    EXPECT_EQ(NewsrcForEachGroup(&t.db, visit, &walk, &t.log, true), E_NOT_IMPLEMENTED);
}

TEST(Newsrc, FilesAreFoundWithoutRegardToCase) {
    tOpenNewsrc t("News.Example.com");
    tNewsrcGroup record;
    ASSERT_EQ(NewsrcRead(&t.db, "alt.a", true, &record), E_OK);
    ASSERT_EQ(NumbersAdd(&record.numbers, 1, 2), 0);
    record.flags = NEWSRC_MODIFIED;
    ASSERT_EQ(NewsrcWrite(&t.db, &record), E_OK);
    NewsrcClose(&t.db);

    tDb again;
    ASSERT_EQ(NewsrcOpen(&again, "news.example.COM", &t.log), E_OK);
    EXPECT_EQ(NewsrcCount(&again), 1);
    NewsrcClose(&again);
    EXPECT_FALSE(FileExists("newsrc3/news.example.COM"));

    // A second server's file; reset everywhere reaches both.
    ASSERT_EQ(NewsrcOpen(&again, "other", &t.log), E_OK);
    ASSERT_EQ(NewsrcRead(&again, "ALT.A", true, nullptr), E_OK);
    ASSERT_EQ(DbExec(&again, "UPDATE grs SET lastExploreSecs=9,ranges=X'0000000100000002';"), E_OK);
    NewsrcClose(&again);
    ASSERT_EQ(NewsrcResetGroupEverywhere("alt.a", &t.log), E_OK);
    for (const char *disk : {"News.Example.com", "other"}) {
        ASSERT_EQ(NewsrcOpen(&again, disk, &t.log), E_OK);
        ASSERT_EQ(NewsrcRead(&again, "alt.a", false, &record), E_OK);
        EXPECT_EQ(NumbersRanges(&record.numbers), 0) << disk;
        EXPECT_EQ(record.lastExploreSecs, 0) << disk;
        NewsrcGroupFree(&record);
        NewsrcClose(&again);
    }

    EXPECT_EQ(NewsrcOpen(&again, std::string(250, 'x').c_str(), &t.log), E_PATH_TOO_LONG);
    EXPECT_NE(t.Journal().find(" too long.\n"), std::string::npos);
}
