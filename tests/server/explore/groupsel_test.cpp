// Group selection and number listings against the scripted fake server:
// GROUP answers, junk, broken connections, repeated welcome lines, and
// number lists with negative, huge, out-of-order and leaping numbers.
#include "server/explore/groupsel.h"

#include "tests/server/explore/groupselfixture.h"

namespace {

struct GroupSelFixture : ConversationFixture {
    std::vector<int32_t> Numbers(const tNumbers *numbers) {
        std::vector<int32_t> out;
        for (int i = 0; i < NumbersRanges(numbers); i++)
            for (int32_t n = NumbersRange(numbers, i)->low; n <= NumbersRange(numbers, i)->high; n++) out.push_back(n);
        return out;
    }
};

TEST_F(GroupSelFixture, GroupAnswersGiveTheRangeOrTheRightFailure) {
    struct Case {
        std::string answer;
        tDiag result;
        int32_t low, high;
    };
    const Case cases[] = {
        {"211 0 0 0 g", E_OK, 0, 0},                         // empty group
        {"211 1234 100 1333 g", E_OK, 100, 1333},
        {"211 0 1001 1000 g", E_OK, 1001, 1000},             // low above high: empty, kept as said
        {"211 4294967295 1 2147483647 g", E_OK, 1, 2147483647},  // count beyond 32 signed bits
        {"211  5 \t-3\t7", E_OK, -3, 7},
        {"411 no such group", E_NO_SUCH_GROUP, 0, 0},
        {"502 not for you", E_GROUP_REFUSED, 0, 0},
        {"499 later", E_GROUP_TEMP, 0, 0},
        {"497 later", E_GROUP_TEMP, 0, 0},
    };
    std::vector<tScripted> answers;
    for (size_t i = 0; i < std::size(cases); i++)
        answers.push_back({-1, "GROUP g" + std::to_string(i), cases[i].answer + "\r\n"});
    tNntp *nntp = Serve(answers);
    ASSERT_NE(nntp, nullptr);
    for (size_t i = 0; i < std::size(cases); i++) {
        std::string name = "g" + std::to_string(i);
        tGroupSelection selection{name.c_str(), 0, 0};
        EXPECT_EQ(SelectGroup(nntp, &selection, 0, 30, -1, 1, &requester), cases[i].result) << cases[i].answer;
        EXPECT_EQ(selection.low, cases[i].low) << cases[i].answer;
        EXPECT_EQ(selection.high, cases[i].high) << cases[i].answer;
        EXPECT_EQ(GroupIsCurrent(nntp, name.c_str()), cases[i].result == E_OK) << cases[i].answer;
        EXPECT_EQ(GroupIsCurrent(nntp, ("G" + std::to_string(i)).c_str()), cases[i].result == E_OK);
    }
    EXPECT_EQ(fake->Accepted(), 1);  // no reconnection for any of them
    EXPECT_TRUE(Has(Journal(), "GROUP g5 refused: 411 no such group"));
    EXPECT_TRUE(Has(Journal(), "GROUP g6 refused: 502 not for you"));
}

TEST_F(GroupSelFixture, AHugeHighNumberIsABadAnswerRetriedThenTemporary) {
    tNntp *nntp = Serve({{-1, "GROUP big", "211 5 1 99999999999 big\r\n"}});
    tGroupSelection selection{"big", 0, 0};
    EXPECT_EQ(SelectGroup(nntp, &selection, 0, 30, -1, 1, &requester), E_GROUP_TEMP);
    EXPECT_FALSE(GroupIsCurrent(nntp, "big"));
    EXPECT_TRUE(Has(Journal(), "Error in GROUP response: 211 5 1 99999999999 big"));
    EXPECT_EQ(fake->Accepted(), 4);  // the first connection and three reconnections
}

TEST_F(GroupSelFixture, JunkBrokenConnectionsAndBlindWelcomesAreSurvived) {
    tNntp *nntp = Serve(
        {
            {0, "GROUP a", "this is junk\r\n"},
            {1, "GROUP a", "503 lost track\r\n"},
            {2, "GROUP a", "<close>"},
            {3, "GROUP a", "200 hello again\r\n201 and again\r\n211 3 10 12 a\r\n"},
        },
        "blindLogin=1\n");
    tGroupSelection selection{"a", 0, 0};
    EXPECT_EQ(SelectGroup(nntp, &selection, 0, 30, -1, 1, &requester), E_OK);
    EXPECT_EQ(selection.low, 10);
    EXPECT_EQ(selection.high, 12);
    EXPECT_EQ(fake->Accepted(), 4);
    std::string log = Journal();
    EXPECT_TRUE(Has(log, "Junk after GROUP a: this is junk"));
    EXPECT_TRUE(Has(log, "Junk after GROUP a: 503 lost track"));
    EXPECT_TRUE(Has(log, "Ignoring blind-login server's welcome message: 200 hello again"));
    EXPECT_TRUE(Has(log, "Ignoring blind-login server's welcome message: 201 and again"));
}

TEST_F(GroupSelFixture, EndlessJunkAndEndlessBreaksEndWithGroupEofs) {
    tNntp *nntp = Serve({{-1, "GROUP a", "junk\r\n"}, {-1, "GROUP b", "<close>"}});
    tGroupSelection a{"a", 0, 0};
    EXPECT_EQ(SelectGroup(nntp, &a, 0, 30, -1, 1, &requester), E_GROUP_EOFS);
    EXPECT_EQ(fake->Accepted(), 6);
    EXPECT_NE(Server()->lastFailedConnectTime, 0);

    // Broken connections: the fourth ends it (reconnection may refuse first
    // once the breaks come quickly).
    {
        std::lock_guard<std::mutex> guard(Server()->lock);
        Server()->lastFailedConnectTime = 0;
    }
    ASSERT_EQ(Reconnect(nntp, 30, -1, &requester), E_OK);
    tGroupSelection b{"b", 0, 0};
    tDiag rc = SelectGroup(nntp, &b, 0, 30, -1, 1, &requester);
    EXPECT_TRUE(rc == E_GROUP_EOFS || rc == E_FAILURE_TOO_RECENT) << DiagText(rc);
    EXPECT_FALSE(NntpConnected(nntp));
}

TEST_F(GroupSelFixture, RefusalsWithTheServersSwitches) {
    tNntp *nntp = Serve(
        {
            {-1, "GROUP lost", "411 no such group\r\n"},
            {-1, "LISTGROUP lost", "211 list follows\r\n7\r\n9\r\n.\r\n"},
            {-1, "LISTGROUP special", "211 list follows\r\n3\r\n4\r\n.\r\n"},
            {-1, "GROUP auth", "480 login first\r\n"},
        },
        "listgroupIfGroupFails=1\nlistgroupGroup=Special\n");
    // GROUP refused: LISTGROUP on the same connection gives the range.
    tGroupSelection lost{"lost", 0, 0};
    EXPECT_EQ(SelectGroup(nntp, &lost, 1, 30, -1, 1, &requester), E_OK);
    EXPECT_EQ(lost.low, 7);
    EXPECT_EQ(lost.high, 9);
    // A listgroupGroup name (any case) goes straight to LISTGROUP.
    tGroupSelection special{"special", 0, 0};
    EXPECT_EQ(SelectGroup(nntp, &special, 1, 30, -1, 1, &requester), E_OK);
    EXPECT_EQ(special.low, 3);
    EXPECT_EQ(special.high, 4);
    EXPECT_EQ(fake->Commands(), "GROUP lost\nLISTGROUP lost\nLISTGROUP special\n");
    EXPECT_EQ(fake->Accepted(), 1);

    // 480 is fatal only when asked: it quits and marks the server failed.
    tGroupSelection auth{"auth", 0, 0};
    Server()->listgroupIfGroupFails = 0;
    EXPECT_EQ(SelectGroup(nntp, &auth, 1, 30, -1, 0, &requester), E_GROUP_REFUSED);
    EXPECT_TRUE(NntpConnected(nntp));
    EXPECT_EQ(SelectGroup(nntp, &auth, 1, 30, -1, 1, &requester), E_GROUP_REFUSED);
    EXPECT_FALSE(NntpConnected(nntp));
    EXPECT_NE(Server()->lastFailedConnectTime, 0);
    EXPECT_TRUE(Has(fake->Commands(), "QUIT\n"));
}

TEST_F(GroupSelFixture, TimeoutRefusalsReconnectWithoutCountingButNotForever) {
    tNntp *nntp = Serve({{0, "GROUP g", "400 idle timeout\r\n"}, {1, "GROUP g", "211 1 5 5 g\r\n"},
                         {-1, "GROUP h", "400 Session limit reached\r\n"}});
    tGroupSelection g{"g", 0, 0};
    EXPECT_EQ(SelectGroup(nntp, &g, 0, 30, -1, 1, &requester), E_OK);
    EXPECT_EQ(fake->Accepted(), 2);
    tGroupSelection h{"h", 0, 0};
    EXPECT_EQ(SelectGroup(nntp, &h, 0, 30, -1, 1, &requester), E_GROUP_TEMP);
    EXPECT_EQ(fake->Accepted(), 12);
}

// Number lists: each case is a LISTGROUP answer body and what is kept.
TEST_F(GroupSelFixture, NumberListsAreCheckedLineByLine) {
    struct Case {
        std::string body;
        tDiag result;
        std::vector<int32_t> numbers;
        std::vector<std::string> logged;
    };
    const Case cases[] = {
        {"5\r\n6\r\n50\r\n1211\r\n8\r\n",
         E_OK,
         {5, 6, 8, 50},
         {"Warning: Over tenfold leap in article numbers during LISTGROUP, from 50 to 1211",
          "Number ends in 211, maybe the server has restarted internally. Let's ignore it.",
          "Warning: article number 8 smaller than previous one 50"}},
        {"5\r\n6\r\n70\r\n", E_OK, {5, 6, 70}, {"from 6 to 70"}},
        {"-1\r\n-2\r\n-3\r\n", E_LISTGROUP_NEGATIVE, {}, {"Number -1 negative. Ignoring it.",
                                                          "All 3 numbers negative during LISTGROUP g2"}},
        {"-4\r\n1\r\n2\r\n", E_OK, {1, 2}, {"1 numbers negative out of 3"}},
        {"1\r\n99999999999\r\n3\r\n", E_OK, {1, 3}, {"Ignoring too large number: 99999999999"}},
        {"", E_OK, {}, {}},
    };
    std::vector<tScripted> answers;
    for (size_t i = 0; i < std::size(cases); i++)
        answers.push_back({-1, "LISTGROUP g" + std::to_string(i), "211 list\r\n" + cases[i].body + ".\r\n"});
    tNntp *nntp = Serve(answers);
    for (size_t i = 0; i < std::size(cases); i++) {
        std::string name = "g" + std::to_string(i);
        tNumbers numbers;
        NumbersInit(&numbers);
        tNumberListing listing{name.c_str(), &numbers, 0};
        EXPECT_EQ(ListGroupNumbers(nntp, &listing, &requester), cases[i].result) << i;
        EXPECT_EQ(Numbers(&numbers), cases[i].numbers) << i;
        for (const std::string &text : cases[i].logged) EXPECT_TRUE(Has(Journal(), text)) << text;
        EXPECT_EQ(GroupIsCurrent(nntp, name.c_str()), cases[i].result == E_OK) << i;
        NumbersFree(&numbers);
    }
    EXPECT_EQ(fake->Accepted(), 1);
}

TEST_F(GroupSelFixture, JunkAndCutLinesRestartTheListing) {
    tNntp *nntp = Serve({
        {0, "LISTGROUP g", "211 list\r\n1\r\n2\r\nnot a number\r\n.\r\n"},
        {1, "LISTGROUP g", "211 list\r\n1\r\n5\r\n3<close>"},
        {2, "LISTGROUP g", "211 list\r\n1\r\n2\r\n3\r\n<close>"},
        {3, "LISTGROUP g", "211 list\r\n1\r\n2\r\n3\r\n4\r\n.\r\n"},
    });
    tNumbers numbers;
    NumbersInit(&numbers);
    tNumberListing listing{"g", &numbers, 0};
    // Connection 1 ends after "3" without a line end: it is not trusted.
    EXPECT_EQ(ListGroupNumbers(nntp, &listing, &requester), E_OK);
    EXPECT_EQ(Numbers(&numbers), (std::vector<int32_t>{1, 2, 3, 4, 5}));
    EXPECT_TRUE(Has(Journal(), "Article number contains junk: not a number"));
    EXPECT_EQ(fake->Accepted(), 4);
    NumbersFree(&numbers);
}

TEST_F(GroupSelFixture, ListgroupFlagsAreLearnt) {
    tNntp *nntp = Serve({
        {-1, "LISTGROUP needs", ""},  // filled below by the state of the connection
        {-1, "LISTGROUP never", "500 what is that\r\n"},
        {-1, "LISTGROUP gone", "411 no such group\r\n"},
        {-1, "GROUP needs", "211 2 1 2 needs\r\n"},
        {-1, "GROUP other", "211 2 1 2 other\r\n"},
    });
    // "412 no group selected" until GROUP came first on the connection.
    auto selected = std::make_shared<std::string>();
    fake->SetScript([selected](int, const std::string &command) -> std::string {
        if (command.rfind("GROUP ", 0) == 0) {
            *selected = command.substr(6);
            return "211 2 1 2 " + *selected + "\r\n";
        }
        if (command == "LISTGROUP never") return "500 what is that\r\n";
        if (command == "LISTGROUP gone") return "411 no such group\r\n";
        if (command.rfind("LISTGROUP ", 0) == 0)
            return *selected == command.substr(10) ? "211 list\r\n1\r\n2\r\n.\r\n" : "412 no group selected\r\n";
        return "";
    });
    tNumbers numbers;
    NumbersInit(&numbers);
    tNumberListing listing{"needs", &numbers, 0};
    EXPECT_EQ(ListGroupNumbers(nntp, &listing, &requester), E_OK);
    EXPECT_TRUE(Server()->flags & SF_LISTGROUP_AFTER_GROUP);
    EXPECT_TRUE(Has(Journal(), "Warning: server requires that LISTGROUP be preceeded with GROUP"));
    // Later listings select first; a current group is not selected again.
    tNumberListing other{"other", &numbers, 0};
    EXPECT_EQ(ListGroupNumbers(nntp, &other, &requester), E_OK);
    EXPECT_EQ(ListGroupNumbers(nntp, &other, &requester), E_OK);
    EXPECT_EQ(fake->Commands(), "LISTGROUP needs\nGROUP needs\nLISTGROUP needs\nGROUP other\nLISTGROUP other\n"
                                "LISTGROUP other\n");

    Server()->flags &= ~SF_LISTGROUP_AFTER_GROUP;
    tNumberListing never{"never", &numbers, 0};
    EXPECT_EQ(ListGroupNumbers(nntp, &never, &requester), E_LISTGROUP_ERROR);
    EXPECT_TRUE(Server()->flags & SF_NO_LISTGROUP);
    EXPECT_TRUE(Has(Journal(), "Not using LISTGROUP anymore."));

    tNumberListing gone{"gone", &numbers, 1};
    EXPECT_EQ(ListGroupNumbers(nntp, &gone, &requester), E_NO_SUCH_GROUP);
    EXPECT_FALSE(Has(Journal(), "Error during LISTGROUP gone"));
    gone.missingGroupIsNormal = 0;
    EXPECT_EQ(ListGroupNumbers(nntp, &gone, &requester), E_NO_SUCH_GROUP);
    EXPECT_TRUE(Has(Journal(), "Error during LISTGROUP gone: "));
    NumbersFree(&numbers);
}

TEST_F(GroupSelFixture, ListingsThatKeepBreakingEndWithEofs) {
    tNntp *nntp = Serve({{-1, "LISTGROUP g", "211 list\r\n1\r\nx\r\n.\r\n"}});
    tNumbers numbers;
    NumbersInit(&numbers);
    tNumberListing listing{"g", &numbers, 0};
    EXPECT_EQ(ListGroupNumbers(nntp, &listing, &requester), E_LISTGROUP_EOFS);
    EXPECT_EQ(fake->Accepted(), 6);
    EXPECT_TRUE(Has(Journal(), "Error during LISTGROUP g: "));
    NumbersFree(&numbers);
}

TEST_F(GroupSelFixture, XhdrLinesListsTheNumbers) {
    tNntp *nntp = Serve({
        {-1, "GROUP g", "211 3 3 9 g\r\n"},
        {-1, "GROUP empty", "211 0 0 0 empty\r\n"},
        {-1, "GROUP bad", "211 0 0 0 bad\r\n"},
        {0, "XHDR LINES 1-", ""},
    });
    auto current = std::make_shared<std::string>();
    auto tries = std::make_shared<int>(0);
    fake->SetScript([current, tries](int, const std::string &command) -> std::string {
        if (command.rfind("GROUP ", 0) == 0) {
            *current = command.substr(6);
            return "211 3 3 9 " + *current + "\r\n";
        }
        if (command != "XHDR LINES 1-") return "";
        if (*current == "g" && ++*tries == 1) return "221 Lines follow\r\n3 10\r\n<close>";
        if (*current == "g") return "221 Lines follow\r\n3 10\r\n4 12\r\n9 7\r\n.\r\n";
        if (*current == "empty") return "420 no articles\r\n";
        return "500 unknown\r\n";
    });
    tNumbers numbers;
    NumbersInit(&numbers);
    tNumberListing listing{"g", &numbers, 0};
    EXPECT_EQ(XhdrLinesNumbers(nntp, &listing, &requester), E_OK);
    EXPECT_EQ(Numbers(&numbers), (std::vector<int32_t>{3, 4, 9}));
    EXPECT_EQ(fake->Accepted(), 2);

    tNumberListing empty{"empty", &numbers, 1};
    EXPECT_EQ(XhdrLinesNumbers(nntp, &empty, &requester), E_OK);
    empty.missingGroupIsNormal = 0;
    EXPECT_EQ(XhdrLinesNumbers(nntp, &empty, &requester), E_XHDR_LINES_FAILED);
    tNumberListing bad{"bad", &numbers, 1};
    EXPECT_EQ(XhdrLinesNumbers(nntp, &bad, &requester), E_XHDR_LINES_FAILED);
    EXPECT_TRUE(Has(Journal(), "XHDR LINES bad failed: 500 unknown"));
    EXPECT_TRUE(Has(Journal(), "Error during XHDR LINES bad: "));
    NumbersFree(&numbers);
}

}  // namespace
