#include "server/store/actual.h"

#include "lib/files.h"
#include "tests/support/storedir.h"

#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct tLists : tStoreDir {
    tGroupList full;
    tActualList actual;
    explicit tLists(const tGroupWants *wants = nullptr) {
        (void)mkdir("etc", 0755);
        EXPECT_EQ(GroupListOpen(nullptr, &full, &log, wants, nullptr), E_OK);
        EXPECT_EQ(ActualListCreate(&actual, "news.example.com", &log, &full, 3), E_OK);
    }
    ~tLists() {
        ActualListClose(&actual);
        GroupListClose(&full);
    }
    // flags and range of a group in the actual list, or the failure.
    std::string Row(const char *name) {
        tGroupListIterator iterator;
        std::string found = "absent";
        if (GroupIterStart(&iterator, &actual.list, false, 0, nullptr, nullptr, true) < 0) return "error";
        while (GroupIterNext(&iterator) > 0)
            if (strcasecmp(iterator.row.groupName.c_str(), name) == 0)
                found = iterator.row.groupName + " " + std::to_string(iterator.row.flags) + " " +
                        std::to_string(iterator.row.rangeLow) + "-" + std::to_string(iterator.row.rangeHigh);
        GroupIterEnd(&iterator);
        return found;
    }
};

}  // namespace

TEST(ActualList, ListLinesEnterBothLists) {
    const char *const noPattern[] = {"*.binaries.*", nullptr};
    tGroupWants wants;
    wants.noByPattern = noPattern;
    tLists t(&wants);
    ASSERT_EQ(GroupAddActive(&t.full, "Comp.Active"), E_OK);
    struct {
        const char *line;
        tDiag expected;
        const char *row;  // the actual row afterwards
    } cases[] = {
        {"comp.x 120 100 m", E_OK, "comp.x 12 100-120"},
        {"comp.active 00050 0001 y\r\n", E_OK, "Comp.Active 5 1-50"},  // full list's spelling, active
        {"comp.nopost 5 6 n", E_OK, "comp.nopost 0 6-5"},
        {"comp.noflag 9 1", E_OK, "comp.noflag 0 1-9"},
        {"COMP.X 999 998 y", E_TREE_DUPLICATE, "comp.x 12 100-120"},
        {"alt.binaries.x 10 1 y", E_GROUP_UNWANTED, "absent"},
        {"bad,name 10 1 y", E_BAD_GROUP_NAME, "absent"},
        {"comp.nonumber", E_NUMBER_CORRUPTED, "absent"},
        {"comp.badnumber 12x 1 y", E_NUMBER_CORRUPTED, "absent"},
        {"comp.toolarge 99999999999 1 y", E_NUMBER_CORRUPTED, "absent"},
        {"   \r\n", E_STRING_EMPTY, "absent"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(ActualAddListLine(&t.actual, c.line), c.expected);
        std::string line = c.line, name = line.substr(0, line.find_first_of(" \r"));
        if (!name.empty()) {
            EXPECT_EQ(t.Row(name.c_str()), c.row);
        }
    }
    EXPECT_EQ(ActualAddName(&t.actual, "comp.titled"), E_OK);
    EXPECT_EQ(t.Row("comp.titled"), "comp.titled 4 0-0");
    // The full list learnt every accepted group, with this server as lister.
    EXPECT_EQ(GroupCount(&t.full, false), 5);
    EXPECT_EQ(GroupIsActive(&t.full, "alt.binaries.x"), E_GROUP_UNWANTED);
    EXPECT_EQ(GroupIsActive(&t.full, "comp.badnumber"), E_TREE_NOT_FOUND);
    EXPECT_EQ(ActualCount(&t.actual), 5);
    EXPECT_EQ(ActualActiveCount(&t.actual), 1);
}

TEST(ActualList, ActiveGroupsWalkByScoreAndKeepChangedRanges) {
    tLists t;
    for (const char *name : {"g.one", "g.two", "g.three", "g.idle"})
        ASSERT_EQ(ActualAddListLine(&t.actual, (std::string(name) + " 0 0 y").c_str()), E_OK);
    tGroupListIterator none;
    ASSERT_EQ(GroupIterStart(&none, &t.actual.list, true, 0, nullptr, nullptr, false), E_OK);
    EXPECT_EQ(GroupIterNext(&none), 0);
    GroupIterEnd(&none);
    auto never = [](tGroupRow *, void *, long, long) -> tDiag { return E_OK; };
    EXPECT_EQ(ActualForEachActive(&t.actual, never, nullptr), E_NO_ACTIVE_GROUPS);

    // Activate three of them in the full list; a fresh actual list sees it.
    for (const char *name : {"g.one", "g.two", "g.three"}) ASSERT_EQ(GroupAddActive(&t.full, name), E_OK);
    ActualListClose(&t.actual);
    ASSERT_EQ(ActualListCreate(&t.actual, "NEWS.example.com", &t.log, &t.full, 3), E_OK);
    EXPECT_EQ(ActualCount(&t.actual), 0);  // the old list (other spelling) was removed
    EXPECT_FALSE(FileExists("actual/news.example.com"));
    for (const char *line : {"g.one 10 1 y", "g.two 20 11 y", "g.three 30 21 y", "g.idle 5 1 y"})
        ASSERT_EQ(ActualAddListLine(&t.actual, line), E_OK);
    EXPECT_EQ(ActualActiveCount(&t.actual), 3);

    auto score = [](const tGroupRow *row, void *) -> long { return -row->rangeHigh; };
    ASSERT_EQ(ActualScore(&t.actual, score, nullptr), E_OK);
    struct tVisit {
        std::vector<std::string> order;
    } visit;
    auto walk = [](tGroupRow *row, void *context, long index, long count) -> tDiag {
        auto *v = static_cast<tVisit *>(context);
        v->order.push_back(row->groupName + "@" + std::to_string(index) + "/" + std::to_string(count));
        row->rangeLow += 100;  // learnt while walking: written back
        return row->groupName == "g.two" ? E_OK : 1;
    };
    EXPECT_EQ(ActualForEachActive(&t.actual, walk, &visit), 1);
    EXPECT_EQ(visit.order, (std::vector<std::string>{"g.three@0/3", "g.two@1/3", "g.one@2/3"}));
    EXPECT_EQ(t.Row("g.one"), "g.one 5 101-10");
    EXPECT_EQ(t.Row("g.three"), "g.three 5 121-30");
    EXPECT_EQ(t.Row("g.idle"), "g.idle 4 1-5");

    auto fail = [](tGroupRow *, void *, long, long) -> tDiag { return E_SQL_FAILED; };
    EXPECT_EQ(ActualForEachActive(&t.actual, fail, nullptr), E_SQL_FAILED);
    EXPECT_NE(t.Journal().find("Error when processing group g.three: "), std::string::npos);
}

TEST(ActualList, StatesListActiveOrTheOthers) {
    tLists t;
    ASSERT_EQ(GroupAddActive(&t.full, "g.act"), E_OK);
    for (const char *line : {"g.act 120 100 m", "g.idle 9 2 n"}) ASSERT_EQ(ActualAddListLine(&t.actual, line), E_OK);
    ASSERT_EQ(ActualAddName(&t.actual, "g.norange"), E_OK);
    ActualListStates(&t.actual, false);
    ActualListStates(&t.actual, true);
    std::string journal = t.Journal();
    size_t active = journal.find("21\tA\tg.act 120 100 m\n");
    size_t idle = journal.find("8\t-\tg.idle 9 2 n\n");
    size_t norange = journal.find("-\t-\tg.norange - - -\n");
    EXPECT_NE(active, std::string::npos) << journal;
    EXPECT_NE(idle, std::string::npos) << journal;
    EXPECT_NE(norange, std::string::npos) << journal;
    EXPECT_EQ(journal.find("g.act", active + 10), std::string::npos);  // all-groups pass leaves active ones out
    EXPECT_LT(idle, norange);
}

TEST(ActualList, DirectoryDeleteRemovesEveryList) {
    tLists t;
    ActualListClose(&t.actual);
    ASSERT_TRUE(t.Touch("actual/other-journal"));
    ASSERT_EQ(ActualDirectoryDelete(), E_OK);
    EXPECT_FALSE(FileExists("actual"));
    EXPECT_EQ(ActualDirectoryDelete(), E_OK);  // nothing to delete is fine
}
