#include "server/store/newsrcsweep.h"

#include "tests/support/storedir.h"

#include <map>
#include <string>

#include <gtest/gtest.h>

namespace {

// Stands in for the group indexes: references per group for server 3, and
// the groups whose index cannot be opened or cleaned.
struct tFakeIndexes {
    std::map<std::string, long> refs;  // group -> references of server 3
    std::string unopenable, failing;
    std::map<std::string, int> calls;
};
tFakeIndexes *fake = nullptr;

tDiag FakeRemove(tIndices *, const char *group, long serverId, int keepZombie, long *removed, long *emptied,
                 bool *opened) {
    fake->calls[group]++;
    EXPECT_EQ(serverId, 3);
    EXPECT_EQ(keepZombie, 1);
    *opened = group != fake->unopenable;
    if (!*opened) return E_SQL_FAILED;
    if (group == fake->failing) return E_OUT_OF_MEMORY;
    auto it = fake->refs.find(group);
    if (it == fake->refs.end()) return E_NO_INDEX;
    *removed = it->second;
    *emptied = it->second / 2;
    fake->refs.erase(it);
    return E_OK;
}

}  // namespace

TEST(NewsrcSweep, ForgetsWhatTheServerNoLongerOffers) {
    tStoreDir d;
    (void)mkdir("etc", 0755);
    (void)mkdir(NEWSRC_DIRECTORY, 0755);
    tGroupList full;
    ASSERT_EQ(GroupListOpen(nullptr, &full, &d.log, nullptr, nullptr), E_OK);
    tActualList actual;
    ASSERT_EQ(ActualListCreate(&actual, "srv", &d.log, &full, 3), E_OK);
    tDb newsrc;
    ASSERT_EQ(NewsrcOpen(&newsrc, "srv", &d.log), E_OK);

    // Offered now: alt.kept (active), alt.idle (inactive). Gone from the
    // server: alt.gone (active, index with refs), alt.noindex, alt.stuck
    // (index cannot be cleaned yet), alt.locked (index cannot be opened).
    for (const char *name : {"alt.kept", "alt.gone", "alt.stuck"}) ASSERT_EQ(GroupAddActive(&full, name), E_OK);
    ASSERT_EQ(ActualAddListLine(&actual, "ALT.KEPT 10 1 y"), E_OK);
    ASSERT_EQ(ActualAddListLine(&actual, "alt.idle 10 1 y"), E_OK);
    for (const char *name : {"alt.kept", "alt.idle", "alt.gone", "alt.noindex", "alt.stuck", "alt.locked"})
        ASSERT_EQ(NewsrcRead(&newsrc, name, true, nullptr), E_OK);

    tFakeIndexes indexes;
    indexes.refs = {{"alt.gone", 7}, {"alt.stuck", 2}};
    indexes.failing = "alt.stuck";
    indexes.unopenable = "alt.locked";
    fake = &indexes;
    tNewsrcSweep sweep;
    sweep.serverId = 3;
    sweep.zombies = 1;
    sweep.actual = &actual;
    sweep.newsrc = &newsrc;
    sweep.log = &d.log;
    sweep.fullList = &full;
    sweep.removeServerRefs = FakeRemove;
    EXPECT_EQ(NewsrcForEachGroup(&newsrc, NewsrcSweepGroup, &sweep, &d.log, false), E_OK);

    EXPECT_EQ(sweep.deleted, 3);  // alt.gone, alt.noindex, alt.idle
    EXPECT_EQ(sweep.errors, 2);   // alt.stuck, alt.locked
    for (const char *kept : {"alt.kept", "alt.stuck", "alt.locked"})
        EXPECT_EQ(NewsrcRead(&newsrc, kept, false, nullptr), E_OK) << kept;
    for (const char *gone : {"alt.gone", "alt.noindex", "alt.idle"})
        EXPECT_EQ(NewsrcRead(&newsrc, gone, false, nullptr), E_NOT_IN_NEWSRC) << gone;
    EXPECT_EQ(indexes.calls.count("alt.kept"), 0u);
    EXPECT_EQ(indexes.calls.count("alt.idle"), 0u);
    EXPECT_TRUE(indexes.refs.count("alt.stuck"));

    std::string journal = d.Journal();
    for (const char *line :
         {"alt.gone vanished (7 refs lost, 3 unique) - was Active.\n",
          "alt.noindex vanished (0 refs lost, 0 unique) - was Accepted.\n",
          "alt.stuck vanished (was Active), but could not yet delete references for it: ",
          "Could not access index alt.locked to remove refs to server 3: ",
          "alt.locked vanished (was Accepted), but could not yet delete references for it: ",
          "Removing group alt.idle from newsrc: Not active.\n"})
        EXPECT_NE(journal.find(line), std::string::npos) << line;

    // The second sweep retries what failed.
    indexes.failing.clear();
    indexes.unopenable.clear();
    EXPECT_EQ(NewsrcForEachGroup(&newsrc, NewsrcSweepGroup, &sweep, &d.log, false), E_OK);
    EXPECT_EQ(NewsrcCount(&newsrc), 1);
    EXPECT_TRUE(indexes.refs.empty());
    fake = nullptr;
    NewsrcClose(&newsrc);
    ActualListClose(&actual);
    GroupListClose(&full);
}
