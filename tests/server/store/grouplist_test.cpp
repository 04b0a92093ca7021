#include "server/store/grouplist.h"

#include "lib/files.h"
#include "tests/support/storedir.h"

#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

const char *const kAll[] = {"*", nullptr};

// An open full list in the work directory of d.
struct tOpenList {
    tGroupList list;
    explicit tOpenList(tStoreDir &d, const tGroupWants *wants = nullptr) {
        (void)mkdir("etc", 0755);
        EXPECT_EQ(GroupListOpen(nullptr, &list, &d.log, wants, nullptr), E_OK);
    }
    ~tOpenList() { GroupListClose(&list); }
    int Flags(const char *name) {
        int flags = -1;
        (void)GroupLookup(&list, name, 0, &flags, false, false, nullptr, 0);
        return flags;
    }
};

// One integer from the list's own database.
long QueryLong(tGroupList *list, const std::string &sql) {
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(list->db.db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) return -1;
    long value = sqlite3_step(statement) == SQLITE_ROW ? (long)sqlite3_column_int64(statement, 0) : -2;
    sqlite3_finalize(statement);
    return value;
}

}  // namespace

TEST(GroupList, NamesValidInvalidWantedUnwanted) {
    const char *const comp[] = {"comp.*", nullptr};
    const char *const noBinaries[] = {"*.binaries.*", "!literal*", nullptr};
    struct {
        const char *name;
        const char *const *yes;
        const char *const *noByPattern;
        tDiag expected;
    } cases[] = {
        {"alt.test", kAll, nullptr, E_OK},
        {"alt.test.", kAll, nullptr, E_BAD_GROUP_NAME},
        {"a,b", kAll, nullptr, E_BAD_GROUP_NAME},
        {"ASYNC", kAll, nullptr, E_BAD_GROUP_NAME},
        {"async.sub", kAll, nullptr, E_OK},
        {"", kAll, nullptr, E_BAD_GROUP_NAME},
        {"tab\there", kAll, nullptr, E_BAD_GROUP_NAME},
        {"a/b", kAll, nullptr, E_BAD_GROUP_NAME},
        {"a\\b", kAll, nullptr, E_BAD_GROUP_NAME},
        {"a:b", kAll, nullptr, E_BAD_GROUP_NAME},
        {"what?", kAll, nullptr, E_BAD_GROUP_NAME},
        {"a<b>", kAll, nullptr, E_BAD_GROUP_NAME},
        {"a|b", kAll, nullptr, E_BAD_GROUP_NAME},
        {"a;b", kAll, nullptr, E_BAD_GROUP_NAME},
        {"a\"b", kAll, nullptr, E_BAD_GROUP_NAME},
        {"comp.*", kAll, nullptr, E_BAD_GROUP_NAME},
        {"alt.test", comp, nullptr, E_GROUP_UNWANTED},
        {"comp.lang.c", comp, nullptr, E_OK},
        {"Comp.Lang.C", comp, nullptr, E_OK},  // patterns ignore case too
        {"alt.binaries.x", kAll, noBinaries, E_GROUP_UNWANTED},
        {"alt.bin", kAll, noBinaries, E_OK},
        {"!literal.x", kAll, noBinaries, E_GROUP_UNWANTED},  // "!" is an ordinary character
        {"literal.x", kAll, noBinaries, E_OK},
        {"alt.test", nullptr, nullptr, E_OK},  // no yes patterns: everything wanted
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        tGroupList list;
        list.yes = c.yes;
        list.yesAll = c.yes == kAll;
        list.noByPattern = c.noByPattern;
        EXPECT_EQ(GroupCheck(&list, c.name), c.expected);
    }
}

TEST(GroupList, LookupIgnoresCaseAndKeepsFirstSpelling) {
    tStoreDir d;
    tOpenList t(d);
    std::string stored;
    EXPECT_EQ(GroupLookup(&t.list, "Comp.Lang.C", GL_INSERT, nullptr, false, false, &stored, 7), E_OK);
    EXPECT_EQ(GroupLookup(&t.list, "comp.lang.c", GL_INSERT, nullptr, true, false, &stored, 9), E_OK);
    EXPECT_EQ(stored, "Comp.Lang.C");
    EXPECT_EQ(GroupIsActive(&t.list, "COMP.LANG.C"), 1);
    EXPECT_EQ(QueryLong(&t.list, "SELECT count() FROM fgl;"), 1);
    EXPECT_EQ(QueryLong(&t.list, "SELECT serverId FROM fgl;"), 7);
    EXPECT_EQ(GroupIsActive(&t.list, "alt.absent"), E_TREE_NOT_FOUND);
    EXPECT_EQ(GroupAddActive(&t.list, "alt.new"), E_OK);
    EXPECT_EQ(GroupDeactivate(&t.list, "ALT.NEW"), E_OK);
    EXPECT_EQ(GroupIsActive(&t.list, "alt.new"), 0);
    EXPECT_EQ(GroupCount(&t.list, false), 2);
    EXPECT_EQ(GroupCount(&t.list, true), 1);
    // An apostrophe is quoted, not executed.
    EXPECT_EQ(GroupAddActive(&t.list, "alt.it's"), E_OK);
    EXPECT_EQ(GroupIsActive(&t.list, "ALT.IT'S"), 1);
}

TEST(GroupList, UnwantedNamesAreRefusedOrEnteredFlagged) {
    const char *const comp[] = {"comp.*", nullptr};
    tGroupWants wants;
    wants.yes = comp;
    tStoreDir d;
    tOpenList t(d, &wants);
    int flags = 0;
    EXPECT_EQ(GroupLookup(&t.list, "alt.x", GL_INSERT, &flags, false, false, nullptr, 0), E_GROUP_UNWANTED);
    EXPECT_EQ(QueryLong(&t.list, "SELECT count() FROM fgl;"), 0);
    EXPECT_EQ(GroupLookup(&t.list, "alt.x", GL_INSERT | GL_ACCEPT_UNWANTED, &flags, false, false, nullptr, 0),
              E_GROUP_UNWANTED);
    EXPECT_EQ(flags, GF_UNWANTED);
    EXPECT_EQ(GroupCount(&t.list, false), 0);  // unwanted rows are not counted
}

TEST(GroupList, ReopenDeactivatesForgetsUnwantedAndEntersNoByName) {
    tStoreDir d;
    {
        tOpenList t(d);
        ASSERT_EQ(GroupAddActive(&t.list, "comp.a"), E_OK);
        ASSERT_EQ(GroupLookup(&t.list, "comp.b", GL_INSERT, nullptr, false, false, nullptr, 0), E_OK);
        ASSERT_EQ(GroupLookup(&t.list, "alt.old", GL_INSERT, nullptr, false, true, nullptr, 0), E_GROUP_UNWANTED);
    }
    EXPECT_EQ(d.Journal().find("Deactivating"), std::string::npos);  // a new file has nothing to reset
    const char *const noByName[] = {"alt.spam", "Alt.Flame", nullptr};
    const char *const noPattern[] = {"alt.flame*", nullptr};
    tGroupWants wants;
    wants.yes = kAll;
    wants.noByName = noByName;
    wants.noByPattern = noPattern;
    tOpenList t(d, &wants);
    EXPECT_NE(d.Journal().find("Deactivating all groups in etc/groups.sq3\n"), std::string::npos);
    EXPECT_NE(d.Journal().find("Deleting unwanted groups from etc/groups.sq3\n"), std::string::npos);
    EXPECT_EQ(GroupIsActive(&t.list, "comp.a"), 0);
    EXPECT_EQ(GroupIsActive(&t.list, "comp.b"), 0);
    EXPECT_EQ(QueryLong(&t.list, "SELECT count() FROM fgl WHERE groupName='alt.old';"), 0);
    EXPECT_EQ(t.Flags("alt.spam"), GF_UNWANTED);
    EXPECT_EQ(GroupAddActive(&t.list, "ALT.SPAM"), E_GROUP_UNWANTED);
    // A name the patterns refuse already is not entered.
    EXPECT_EQ(QueryLong(&t.list, "SELECT count() FROM fgl WHERE groupName='alt.flame';"), 0);
}

TEST(GroupList, InvalidNoByNameFailsTheOpen) {
    const char *const noByName[] = {"bad,name", nullptr};
    tGroupWants wants;
    wants.noByName = noByName;
    tStoreDir d;
    (void)mkdir("etc", 0755);
    tGroupList list;
    EXPECT_EQ(GroupListOpen(nullptr, &list, &d.log, &wants, nullptr), E_BAD_GROUP_NAME);
    EXPECT_EQ(list.db.db, nullptr);
    EXPECT_NE(d.Journal().find("Could not incorporate groups.noByName settings into the etc/groups.sq3 list: "),
              std::string::npos);
}

TEST(GroupList, StartupWalkActivatesIndexedGroups) {
    tStoreDir d;
    {
        tOpenList t(d);
        ASSERT_EQ(GroupLookup(&t.list, "Comp.Lang.C", GL_INSERT, nullptr, false, false, nullptr, 0), E_OK);
        ASSERT_EQ(GroupAddActive(&t.list, "alt.was.active"), E_OK);
    }
    // Index files: one spelled differently from the list, one new group, one
    // unwanted (with a journal), and a journal that is not a group.
    for (const char *file : {"index2/comp.lang.c", "index2/alt.new", "index2/alt.spam", "index2/alt.spam-journal",
                             "index2/alt.new-journal"})
        ASSERT_TRUE(d.Touch(file));
    const char *const noByName[] = {"alt.spam", nullptr};
    tGroupWants wants;
    wants.noByName = noByName;
    tGroupList list;
    ASSERT_EQ(GroupListStart(&list, &d.log, &wants, nullptr, false), E_OK);
    std::string stored;
    EXPECT_EQ(GroupStoredName(&list, "comp.lang.c", false, &stored), E_OK);
    EXPECT_EQ(stored, "Comp.Lang.C");
    EXPECT_EQ(GroupIsActive(&list, "comp.lang.c"), 1);
    EXPECT_EQ(GroupIsActive(&list, "alt.new"), 1);
    EXPECT_EQ(GroupIsActive(&list, "alt.was.active"), 0);  // no index file: stays inactive
    EXPECT_EQ(GroupIsActive(&list, "alt.new-journal"), E_TREE_NOT_FOUND);
    EXPECT_EQ(GroupCount(&list, true), 2);
    EXPECT_FALSE(FileExists("index2/alt.spam"));
    EXPECT_FALSE(FileExists("index2/alt.spam-journal"));
    EXPECT_TRUE(FileExists("index2/comp.lang.c"));
    std::string journal = d.Journal();
    EXPECT_NE(journal.find("Warning: group's file name (comp.lang.c) is different from list name (Comp.Lang.C).\n"),
              std::string::npos);
    EXPECT_NE(journal.find("Group alt.spam is unwanted, deleting file(s).\n"), std::string::npos);
    GroupListClose(&list);
}

TEST(GroupList, StartupWalkRefusesTwoFilesOfOneGroup) {
    tStoreDir d;
    ASSERT_TRUE(d.Touch("index2/alt.test"));
    ASSERT_TRUE(d.Touch("index2/ALT.Test"));
    (void)mkdir("etc", 0755);
    tGroupList list;
    EXPECT_EQ(GroupListStart(&list, &d.log, nullptr, nullptr, false), E_TREE_DUPLICATE);
    EXPECT_EQ(list.db.db, nullptr);
    std::string journal = d.Journal();
    bool named = journal.find("Error: group ALT.Test is already present in list as alt.test.\n") != std::string::npos ||
                 journal.find("Error: group alt.test is already present in list as ALT.Test.\n") != std::string::npos;
    EXPECT_TRUE(named) << journal;
    // Both files are kept for the user to choose from.
    EXPECT_TRUE(FileExists("index2/alt.test"));
    EXPECT_TRUE(FileExists("index2/ALT.Test"));

    // An invalid file name stops the walk too; minimal mode does not walk.
    tStoreDir other;
    ASSERT_TRUE(other.Touch("index2/bad,name"));
    (void)mkdir("etc", 0755);
    EXPECT_EQ(GroupListStart(&list, &other.log, nullptr, nullptr, false), E_BAD_GROUP_NAME);
    EXPECT_NE(other.Journal().find("Could not enter group bad,name into the list: "), std::string::npos);
    ASSERT_EQ(GroupListStart(&list, &other.log, nullptr, nullptr, true), E_OK);
    GroupListClose(&list);
}

TEST(GroupList, RetrievalCountsKilobytesRounded) {
    tStoreDir d;
    tOpenList t(d);
    ASSERT_EQ(GroupAddActive(&t.list, "alt.a"), E_OK);
    GroupRecordRetrieval(&t.list, "ALT.A", 1536);  // 2 kilobytes
    GroupRecordRetrieval(&t.list, "alt.a", 500);   // 0 kilobytes
    GroupRecordRetrieval(&t.list, "", 5000);       // nothing
    GroupRecordSelection(&t.list, "alt.a");
    EXPECT_EQ(GroupKiloBytes(&t.list, "alt.a"), 2);
    EXPECT_EQ(GroupKiloBytes(&t.list, "alt.absent"), 0);
    EXPECT_EQ(QueryLong(&t.list, "SELECT articlesGot FROM fgl;"), 2);
    EXPECT_GT(QueryLong(&t.list, "SELECT lastGotSecs FROM fgl;"), 0);
    EXPECT_GT(QueryLong(&t.list, "SELECT lastGroupSecs FROM fgl;"), 0);
}

TEST(GroupList, ConcurrentSessionsLoseNoCount) {
    tStoreDir d;
    tOpenList t(d);
    ASSERT_EQ(GroupAddActive(&t.list, "alt.busy"), E_OK);
    ASSERT_EQ(GroupAddActive(&t.list, "alt.other"), E_OK);
    constexpr int kThreads = 4, kEach = 200;
    std::vector<std::thread> sessions;
    for (int i = 0; i < kThreads; i++)
        sessions.emplace_back([&t, i] {
            for (int n = 0; n < kEach; n++) {
                GroupRecordRetrieval(&t.list, i % 2 ? "ALT.BUSY" : "alt.busy", 1024);
                GroupRecordSelection(&t.list, "alt.busy");
                (void)GroupIsActive(&t.list, "alt.other");
                if (n % 50 == 0) (void)GroupCount(&t.list, true);
            }
        });
    for (auto &session : sessions) session.join();
    EXPECT_EQ(QueryLong(&t.list, "SELECT articlesGot FROM fgl WHERE groupName='alt.busy';"), kThreads * kEach);
    EXPECT_EQ(GroupKiloBytes(&t.list, "alt.busy"), kThreads * kEach);
}

TEST(GroupList, TrimClearsOnlyInactiveUnselectedGroups) {
    tStoreDir d;
    tOpenList t(d);
    for (const char *name : {"alt.active", "alt.quiet", "alt.read", "alt.recent"}) {
        ASSERT_EQ(GroupLookup(&t.list, name, GL_INSERT, nullptr, false, false, nullptr, 0), E_OK);
        GroupRecordRetrieval(&t.list, name, 4096);
    }
    ASSERT_EQ(GroupAddActive(&t.list, "alt.active"), E_OK);
    long old = (long)time(nullptr) - 40 * 86400;
    ASSERT_EQ(DbExec(&t.list.db, ("UPDATE fgl SET lastGroupSecs=" + std::to_string(old) + ";").c_str()), E_OK);
    ASSERT_EQ(DbExec(&t.list.db, ("UPDATE fgl SET lastGotSecs=0 WHERE groupName='alt.quiet';")), E_OK);
    GroupRecordSelection(&t.list, "alt.recent");
    // Not retrieved from lately: only alt.quiet qualifies without evenRetrieved.
    EXPECT_EQ(GroupTrimPopular(&t.list, 30, false), 1);
    EXPECT_EQ(GroupKiloBytes(&t.list, "alt.quiet"), 0);
    EXPECT_EQ(GroupTrimPopular(&t.list, 30, true), 2);  // alt.quiet again and alt.read
    EXPECT_EQ(GroupKiloBytes(&t.list, "alt.read"), 0);
    EXPECT_EQ(GroupKiloBytes(&t.list, "alt.active"), 4);
    EXPECT_EQ(GroupKiloBytes(&t.list, "alt.recent"), 4);
}

TEST(GroupList, WalksFilterByActivityTimeAndPattern) {
    tStoreDir d;
    tOpenList t(d);
    for (const char *name : {"comp.a", "comp.b", "alt.c"})
        ASSERT_EQ(GroupLookup(&t.list, name, GL_INSERT, nullptr, false, false, nullptr, 0), E_OK);
    ASSERT_EQ(GroupAddActive(&t.list, "comp.b"), E_OK);
    ASSERT_EQ(GroupAddActive(&t.list, "alt.c"), E_OK);
    ASSERT_EQ(DbExec(&t.list.db, "UPDATE fgl SET addTimeSecs=100 WHERE groupName='alt.c';"), E_OK);
    struct tSeen {
        std::vector<std::string> names;
        int stopAt = 99;
    } seen;
    auto collect = [](const char *name, int active, int, void *context) -> int {
        auto *s = static_cast<tSeen *>(context);
        s->names.push_back(std::string(name) + (active ? "+" : "-"));
        return (int)s->names.size() >= s->stopAt ? E_SHUTDOWN : 0;
    };
    EXPECT_EQ(GroupForEach(&t.list, collect, &seen, false, 0, "comp.*"), 0);
    std::sort(seen.names.begin(), seen.names.end());
    EXPECT_EQ(seen.names, (std::vector<std::string>{"comp.a-", "comp.b+"}));
    seen.names.clear();
    EXPECT_EQ(GroupForEach(&t.list, collect, &seen, true, 1000, nullptr), 0);
    EXPECT_EQ(seen.names, (std::vector<std::string>{"comp.b+"}));
    seen.names.clear();
    seen.stopAt = 1;
    EXPECT_EQ(GroupForEach(&t.list, collect, &seen, false, 0, nullptr), E_SHUTDOWN);
    EXPECT_EQ(seen.names.size(), 1u);
    // A shutdown request ends a walk before the next group.
    std::atomic<int> shutdown{3};
    t.list.shutdownFlag = &shutdown;
    seen.names.clear();
    EXPECT_EQ(GroupForEach(&t.list, collect, &seen, false, 0, nullptr), E_SHUTDOWN);
    EXPECT_TRUE(seen.names.empty());
}
