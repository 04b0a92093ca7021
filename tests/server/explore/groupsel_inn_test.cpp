// Group selection, number listings and group list queries against a real
// news server: a private INN on loopback with a few hundred groups and a
// few articles.
#include "server/explore/grouplists.h"
#include "server/explore/groupsel.h"

#include "lib/files.h"
#include "server/store/actual.h"
#include "tests/server/explore/groupselfixture.h"
#include "tests/support/inn.h"

#include <cstdio>
#include <sys/stat.h>

namespace {

constexpr int GROUPS = 300;  // inn.g000 .. inn.g299
constexpr int ARTICLES = 5;  // in misc.test

std::unique_ptr<tInn> inn;
int innPort = 0;
std::string innSkip;

std::string GroupName(int i) {
    char name[32];
    snprintf(name, sizeof name, "inn.g%03d", i);
    return name;
}

struct InnGroupsFixture : ConversationFixture {
    tGroupList full;
    tActualList actual;
    bool listsOpen = false;

    static void SetUpTestSuite() {
        inn = std::make_unique<tInn>();
        std::vector<std::string> options = {"--group", "misc.test:1"};
        for (int i = 0; i < GROUPS; i++) {
            options.push_back("--group");
            options.push_back(GroupName(i) + ":" + std::to_string(100 + i));
        }
        if (!inn->Start(options)) {
            innSkip = inn->failure;
            return;
        }
        innPort = inn->port;
        std::string articles;
        for (int i = 1; i <= ARTICLES; i++)
            articles += "Path: test!not-for-mail\nFrom: Tester <t@example.com>\nNewsgroups: misc.test\nSubject: test " +
                        std::to_string(i) + "\nDate: Thu, 10 Dec 2026 12:00:00 +0000\nLines: 2\nMessage-ID: <gs" +
                        std::to_string(i) + "@example.com>\n\nLine one.\nLine two.\n" + std::string(1, '\0') +
                        "ARTICLE\n";
        if (!inn->Feed(articles, ARTICLES)) innSkip = inn->failure;
    }

    static void TearDownTestSuite() {
        inn.reset();
        innPort = 0;
    }

    tNntp *Start(const std::string &keys = "") {
        LoadServer(innPort, keys);
        EXPECT_EQ(mkdir("etc", 0755), 0);
        EXPECT_EQ(GroupListOpen(nullptr, &full, &journal, nullptr, nullptr), E_OK);
        EXPECT_EQ(ActualListCreate(&actual, Server()->diskName, &journal, &full, Server()->id), E_OK);
        listsOpen = true;
        return Open();
    }

    tListQuery Query(tNntp *nntp, const char *pattern) {
        tListQuery query;
        query.nntp = nntp;
        query.requester = &requester;
        query.pattern = pattern;
        query.actual = &actual;
        return query;
    }

    // The range of a group in the actual list, or "absent".
    std::string Range(const std::string &name) {
        tGroupListIterator iterator;
        std::string found = "absent";
        if (GroupIterStart(&iterator, &actual.list, false, 0, nullptr, nullptr, true) < 0) return "error";
        while (GroupIterNext(&iterator) > 0)
            if (iterator.row.groupName == name)
                found = std::to_string(iterator.row.rangeLow) + "-" + std::to_string(iterator.row.rangeHigh);
        GroupIterEnd(&iterator);
        return found;
    }

    void TearDown() override {
        if (listsOpen) {
            ActualListClose(&actual);
            GroupListClose(&full);
        }
        ConversationFixture::TearDown();
    }
};

#define NEED_INN()                                                                                                     \
    do {                                                                                                               \
        if (!innSkip.empty() || !innPort) GTEST_SKIP() << innSkip;                                                     \
    } while (0)

TEST_F(InnGroupsFixture, SelectionAndNumberListings) {
    NEED_INN();
    tNntp *nntp = Start();
    ASSERT_NE(nntp, nullptr);
    tGroupSelection selection{"misc.test", 0, 0};
    ASSERT_EQ(SelectGroup(nntp, &selection, 0, 30, -1, 1, &requester), E_OK);
    EXPECT_EQ(selection.low, 1);
    EXPECT_EQ(selection.high, ARTICLES);
    tGroupSelection missing{"no.such.group", 0, 0};
    EXPECT_EQ(SelectGroup(nntp, &missing, 1, 30, -1, 1, &requester), E_NO_SUCH_GROUP);
    EXPECT_FALSE(GroupIsCurrent(nntp, "misc.test"));

    // An empty group as INN reports it: low above high.
    tGroupSelection empty{"inn.g007", 0, 0};
    ASSERT_EQ(SelectGroup(nntp, &empty, 0, 30, -1, 1, &requester), E_OK);
    EXPECT_GT(empty.low, empty.high);

    for (int way = 0; way < 2; way++) {
        tNumbers numbers;
        NumbersInit(&numbers);
        tNumberListing listing{"misc.test", &numbers, 1};
        EXPECT_EQ(way == 0 ? ListGroupNumbers(nntp, &listing, &requester) : XhdrLinesNumbers(nntp, &listing, &requester),
                  E_OK);
        ASSERT_EQ(NumbersRanges(&numbers), 1) << way;
        EXPECT_EQ(NumbersRange(&numbers, 0)->low, 1);
        EXPECT_EQ(NumbersRange(&numbers, 0)->high, ARTICLES);
        NumbersFree(&numbers);
    }
    tNumbers numbers;
    NumbersInit(&numbers);
    tNumberListing none{"no.such.group", &numbers, 1};
    EXPECT_EQ(ListGroupNumbers(nntp, &none, &requester), E_NO_SUCH_GROUP);
    EXPECT_EQ(NumbersRanges(&numbers), 0);
    NumbersFree(&numbers);
    EXPECT_EQ(fake, nullptr);
}

TEST_F(InnGroupsFixture, EachWayOfListingGroups) {
    NEED_INN();
    tNntp *nntp = Start();
    ASSERT_NE(nntp, nullptr);
    // A plain name: GROUP.
    const std::string plain = GroupName(42);
    tListQuery query = Query(nntp, plain.c_str());
    EXPECT_EQ(QueryGroupList(&query), E_OK);
    EXPECT_EQ(query.kept, 1);
    EXPECT_EQ(Range("inn.g042"), "142-141");
    // A pattern: LIST ACTIVE with it.
    query.pattern = "inn.g1*";
    EXPECT_EQ(QueryGroupList(&query), E_OK);
    EXPECT_EQ(query.kept, 100);
    EXPECT_EQ(Range("inn.g150"), "250-249");
    // XGTITLE, then GROUP for each group to learn its range.
    Server()->flags |= SF_NO_LIST_ACTIVE;
    query.pattern = "inn.g2[0-4]*";
    EXPECT_EQ(QueryGroupList(&query), E_OK);
    EXPECT_EQ(query.kept, 50);
    EXPECT_EQ(Range("inn.g233"), "333-332");
    EXPECT_EQ(Server()->flags & SF_NO_XGTITLE, 0u);
    // Everything: LIST.
    Server()->flags &= ~SF_NO_LIST_ACTIVE;
    query.pattern = "*";
    EXPECT_EQ(QueryGroupList(&query), E_OK);
    EXPECT_EQ(query.kept + query.duplicates + query.unwanted, query.total);
    EXPECT_GE(query.total, GROUPS + 1);
    EXPECT_EQ(ActualCount(&actual), query.total);
    EXPECT_EQ(Range("misc.test"), "1-" + std::to_string(ARTICLES));
    EXPECT_EQ(Range("inn.g299"), "399-398");
}

TEST_F(InnGroupsFixture, FullListIsCachedForTheSweep) {
    NEED_INN();
    tNntp *nntp = Start("listPreferred=1\n");
    ASSERT_NE(nntp, nullptr);
    tListQuery query = Query(nntp, "inn.g0*");
    EXPECT_EQ(QueryGroupList(&query), E_OK);
    EXPECT_EQ(query.kept, 100);
    char path[512];
    ASSERT_GT(ListCachePath(Server(), path, sizeof path), 0);
    ASSERT_TRUE(FileExists(path));
    long received = (long)nntp->bytesReceived;
    query.pattern = "misc.test";
    EXPECT_EQ(QueryGroupList(&query), E_OK);
    EXPECT_EQ(query.kept, 1);
    EXPECT_EQ((long)nntp->bytesReceived, received);  // nothing asked
    EXPECT_EQ(query.listed, 2 * (GROUPS + 4));  // every line of LIST, twice (control, control.cancel, junk)
    EXPECT_EQ(Range("misc.test"), "1-" + std::to_string(ARTICLES));

    // NEWGROUPS: every group of this server was created today.
    tListQuery news = Query(nntp, "*");
    news.since = time(nullptr);
    EXPECT_EQ(QueryGroupList(&news), E_OK);
    EXPECT_EQ(news.total, GROUPS + 1);
}

}  // namespace
