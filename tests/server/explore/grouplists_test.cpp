// Group list queries against the scripted fake server: the cascade GROUP,
// LIST ACTIVE, XGTITLE, full LIST with its cache, NEWGROUPS, refusals
// remembered in the server flags, and lists cut by dropped connections.
#include "server/explore/grouplists.h"

#include "lib/files.h"
#include "server/store/actual.h"
#include "tests/server/explore/groupselfixture.h"

#include <cstdlib>
#include <strings.h>
#include <sys/stat.h>
#include <utime.h>

namespace {

struct GroupListsFixture : ConversationFixture {
    tGroupList full;
    tActualList actual;
    bool listsOpen = false;

    tNntp *Start(std::vector<tScripted> answers, const std::string &keys = "") {
        tNntp *nntp = Serve(std::move(answers), keys);
        EXPECT_EQ(mkdir("etc", 0755), 0);
        EXPECT_EQ(GroupListOpen(nullptr, &full, &journal, nullptr, nullptr), E_OK);
        EXPECT_EQ(ActualListCreate(&actual, Server()->diskName, &journal, &full, Server()->id), E_OK);
        listsOpen = true;
        return nntp;
    }

    tListQuery Query(tNntp *nntp, const char *pattern, time_t since = 0) {
        tListQuery query;
        query.nntp = nntp;
        query.requester = &requester;
        query.pattern = pattern;
        query.since = since;
        query.actual = &actual;
        return query;
    }

    // The actual list: "name flags low-high" per group, by name.
    std::string Rows() {
        tGroupListIterator iterator;
        std::string rows;
        if (GroupIterStart(&iterator, &actual.list, false, 0, nullptr, "groupName", true) < 0) return "error";
        while (GroupIterNext(&iterator) > 0)
            rows += iterator.row.groupName + " " + std::to_string(iterator.row.flags) + " " +
                    std::to_string(iterator.row.rangeLow) + "-" + std::to_string(iterator.row.rangeHigh) + "\n";
        GroupIterEnd(&iterator);
        return rows;
    }

    std::string CachePath() {
        char path[512];
        EXPECT_GT(ListCachePath(Server(), path, sizeof path), 0);
        return path;
    }

    void TearDown() override {
        if (listsOpen) {
            ActualListClose(&actual);
            GroupListClose(&full);
        }
        ConversationFixture::TearDown();
    }
};

const std::string fullList = "215 list follows\r\ncomp.a 10 1 y\r\ncomp.b 5 3 m\r\nalt.c 7 7 n\r\n.\r\n";

TEST_F(GroupListsFixture, APlainNameIsOneGroupCommand) {
    tNntp *nntp = Start({{-1, "GROUP misc.test", "211 10 5 14 misc.test\r\n"},
                         {-1, "GROUP misc.gone", "411 no such group\r\n"}});
    tListQuery query = Query(nntp, "misc.test");
    EXPECT_EQ(QueryGroupList(&query), E_OK);
    query.pattern = "misc.gone";
    EXPECT_EQ(QueryGroupList(&query), E_OK);
    EXPECT_EQ(Rows(), "misc.test 4 5-14\n");
    EXPECT_EQ(fake->Commands(), "GROUP misc.test\nGROUP misc.gone\n");
    EXPECT_EQ(query.listed, 1);
    EXPECT_TRUE(Has(Journal(), "Groups: total   1 dups   0 unwanted   0 kept   1   misc.test"));
    EXPECT_TRUE(Has(Journal(), "GROUP misc.gone refused: 411 no such group"));
}

TEST_F(GroupListsFixture, PatternsUseListActive) {
    tNntp *nntp = Start({{-1, "LIST ACTIVE comp.*", "215 list\r\ncomp.a 10 1 y\r\ncomp.b 5 3 m\r\n.\r\n"},
                         {-1, "LIST", fullList}});
    tListQuery query = Query(nntp, "comp.*");
    EXPECT_EQ(QueryGroupList(&query), E_OK);
    EXPECT_EQ(Rows(), "comp.a 4 1-10\ncomp.b 12 3-5\n");
    // "*" is the whole list by LIST; duplicates are counted.
    query.pattern = "*";
    EXPECT_EQ(QueryGroupList(&query), E_OK);
    EXPECT_EQ(Rows(), "alt.c 0 7-7\ncomp.a 4 1-10\ncomp.b 12 3-5\n");
    EXPECT_EQ(query.listed, 5);
    EXPECT_TRUE(Has(Journal(), "Groups: total   3 dups   2 unwanted   0 kept   1   *"));
    EXPECT_EQ(fake->Commands(), "LIST ACTIVE comp.*\nLIST\n");
    EXPECT_FALSE(FileExists(CachePath().c_str()));
}

TEST_F(GroupListsFixture, RefusalsFallThroughToTheCachedFullList) {
    tNntp *nntp = Start({{-1, "LIST ACTIVE comp.*", "501 bad syntax\r\n"},
                         {-1, "XGTITLE comp.*", "500 what?\r\n"},
                         {-1, "LIST", fullList}});
    tListQuery query = Query(nntp, "comp.*");
    EXPECT_EQ(QueryGroupList(&query), E_OK);
    EXPECT_EQ(Rows(), "comp.a 4 1-10\ncomp.b 12 3-5\n");
    EXPECT_TRUE(Server()->flags & SF_NO_LIST_ACTIVE);
    EXPECT_TRUE(Server()->flags & SF_NO_XGTITLE);
    EXPECT_EQ(ReadWholeFile(CachePath()), "comp.a 10 1 y\r\ncomp.b 5 3 m\r\nalt.c 7 7 n\r\n");
    EXPECT_TRUE(Has(Journal(), "Creating a cache for LIST"));
    // Local matching counts only matching lines; every line is listed.
    EXPECT_EQ(query.total, 2);
    EXPECT_EQ(query.listed, 3);

    // The next pattern of the sweep is answered from the cache.
    query.pattern = "alt.*";
    EXPECT_EQ(QueryGroupList(&query), E_OK);
    EXPECT_EQ(Rows(), "alt.c 0 7-7\ncomp.a 4 1-10\ncomp.b 12 3-5\n");
    EXPECT_EQ(fake->Commands(), "LIST ACTIVE comp.*\nXGTITLE comp.*\nLIST\n");

    // After five minutes the cache is stale: LIST is asked again.
    time_t old = time(nullptr) - LIST_CACHE_SECONDS - 1;
    struct utimbuf times = {old, old};
    ASSERT_EQ(utime(CachePath().c_str(), &times), 0);
    query.pattern = "comp.b";  // a plain name, but the server is known to need LIST now
    Server()->flags |= SF_ALWAYS_LIST;
    EXPECT_EQ(QueryGroupList(&query), E_OK);
    EXPECT_TRUE(Has(Journal(), "LIST cache is too old. Ignoring it."));
    EXPECT_EQ(fake->Commands(), "LIST ACTIVE comp.*\nXGTITLE comp.*\nLIST\nLIST\n");
    EXPECT_EQ(ListCacheRemove(Server()), E_OK);
    EXPECT_FALSE(FileExists(CachePath().c_str()));
}

TEST_F(GroupListsFixture, OtherRefusals) {
    tNntp *nntp = Start({{-1, "LIST ACTIVE a.*", "400 too busy\r\n"},
                         {-1, "LIST ACTIVE b.*", "503 program not found\r\n"},
                         {-1, "LIST", "502 no\r\n"},
                         {-1, "LIST ACTIVE c.*", "<close>"}});
    tListQuery query = Query(nntp, "a.*");
    EXPECT_EQ(QueryGroupList(&query), E_LIST_REFUSED_TEMP);
    EXPECT_TRUE(Has(Journal(), "Service refused: 400 too busy"));
    // 503 "not found": neither LIST ACTIVE nor XGTITLE any more; LIST refused.
    query.pattern = "b.*";
    EXPECT_EQ(QueryGroupList(&query), E_LIST_REFUSED);
    EXPECT_EQ(Server()->flags & (SF_NO_LIST_ACTIVE | SF_NO_XGTITLE), SF_NO_LIST_ACTIVE | SF_NO_XGTITLE);
    EXPECT_TRUE(Has(Journal(), "LIST refused: 502 no"));
    // Broken connections: the third failure ends the query.
    Server()->flags &= ~SF_NO_LIST_ACTIVE;
    query.pattern = "c.*";
    tDiag rc = QueryGroupList(&query);
    EXPECT_TRUE(rc == E_LIST_ACTIVE_TIMEOUTS || rc == E_FAILURE_TOO_RECENT) << DiagText(rc);
    EXPECT_EQ(fake->Commands(), "LIST ACTIVE a.*\nLIST ACTIVE b.*\nLIST\n" +
                                    std::string(rc == E_LIST_ACTIVE_TIMEOUTS ? "LIST ACTIVE c.*\n" : "") +
                                    "LIST ACTIVE c.*\nLIST ACTIVE c.*\n");
}

TEST_F(GroupListsFixture, AListCutByADroppedConnectionRestartsOrEndsOnCloseOnListOk) {
    // The connection drops within the line of comp.c: that line is not used.
    const std::string cut = "215 list follows\r\ncomp.a 10 1 y\r\ncomp.b 5 3 m\r\ncomp.c 12 1<close>";
    tNntp *nntp = Start({{0, "LIST", cut}, {-1, "LIST", fullList}}, "listPreferred=1\n");
    tListQuery query = Query(nntp, "*");
    EXPECT_EQ(QueryGroupList(&query), E_OK);
    EXPECT_EQ(Rows(), "alt.c 0 7-7\ncomp.a 4 1-10\ncomp.b 12 3-5\n");
    EXPECT_TRUE(Has(Journal(), "Destroying cache for LIST"));
    EXPECT_EQ(ReadWholeFile(CachePath()), "comp.a 10 1 y\r\ncomp.b 5 3 m\r\nalt.c 7 7 n\r\n");
    EXPECT_EQ(query.listed, 3);
    EXPECT_EQ(fake->Accepted(), 2);

    // With closeOnListOk the part received is the list.
    ASSERT_EQ(ListCacheRemove(Server()), E_OK);
    ActualListClose(&actual);
    ASSERT_EQ(ActualListCreate(&actual, Server()->diskName, &journal, &full, Server()->id), E_OK);
    Server()->closeOnListOk = 1;
    fake->SetScript(Script({{-1, "LIST", cut}}));
    tListQuery again = Query(nntp, "*");
    EXPECT_EQ(QueryGroupList(&again), E_OK);
    EXPECT_EQ(Rows(), "comp.a 4 1-10\ncomp.b 12 3-5\n");
    EXPECT_TRUE(Has(Journal(), "Considering got all list."));
}

TEST_F(GroupListsFixture, TitleFormListsLearnTheRangesByGroup) {
    tNntp *nntp = Start({{-1, "LIST ACTIVE comp.*", "501 no\r\n"},
                         {-1, "XGTITLE comp.*", "282 titles\r\ncomp.a\tAbout A\r\ncomp.b About B\r\ncomp.c\r\n.\r\n"},
                         {-1, "GROUP comp.a", "211 3 1 3 comp.a\r\n"},
                         {-1, "GROUP comp.b", "411 gone\r\n"},
                         {-1, "GROUP comp.c", "502 not for you\r\n"}});
    tListQuery query = Query(nntp, "comp.*");
    EXPECT_EQ(QueryGroupList(&query), E_OK);
    EXPECT_EQ(Rows(), "comp.a 4 1-3\ncomp.b 4 1-0\ncomp.c 4 0-0\n");
}

TEST_F(GroupListsFixture, NewgroupsAsksForOneDayBeforeTheSweep) {
    const char *oldTz = getenv("TZ");
    std::string savedTz = oldTz ? oldTz : "";
    setenv("TZ", "UTC", 1);
    tzset();
    struct tm t = {};
    t.tm_year = 109;
    t.tm_mon = 2;
    t.tm_mday = 15;
    t.tm_hour = 12;
    time_t since = mktime(&t);
    char command[64];
    EXPECT_GT(FormatNewgroups(since, command, sizeof command), 0);
    EXPECT_STREQ(command, "NEWGROUPS 090314 120000\r\n");

    tNntp *nntp = Start({{-1, "NEWGROUPS 090314 120000",
                          "200 welcome again\r\n231 new groups\r\ncomp.new 1 1 y\r\nalt.new 2 1 y\r\n.\r\n"}},
                        "blindLogin=1\n");
    tListQuery query = Query(nntp, "comp.*", since);
    EXPECT_EQ(QueryGroupList(&query), E_OK);
    EXPECT_EQ(Rows(), "comp.new 4 1-1\n");
    EXPECT_TRUE(Has(Journal(), "Sending: NEWGROUPS 090314 120000"));
    fake->SetScript(Script({{-1, "NEWGROUPS 090314 120000", "502 no\r\n"}}));
    EXPECT_EQ(QueryGroupList(&query), E_LIST_REFUSED);
    if (oldTz) setenv("TZ", savedTz.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

}  // namespace
