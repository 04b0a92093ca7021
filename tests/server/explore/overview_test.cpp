// Overview retrieval against a scripted server: XOVER and the habits it
// learns, the recoveries from broken output, the XHDR and HEAD emulations
// and the Message-ID pass, each checked by what reaches the group index.
#include "server/explore/overview.h"

#include "server/store/articles.h"
#include "server/store/serv_refs.h"
#include "tests/server/explore/overviewfixture.h"
#include "tests/support/scriptnntp.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

// Overview line of article n of the fake group.
std::string OvLine(long n) {
    std::string s = std::to_string(n);
    return s + "\tSubject " + s + "\tPoster <p@example.org>\tMon, 7 Dec 2026 10:00:00 +0000\t<" + s +
           "@fake>\t\t1500\t20\tXref: fake misc.test:" + s + "\r\n";
}

bool StartsWith(const std::string &s, const std::string &p) { return s.rfind(p, 0) == 0; }

// The range of an XOVER or XHDR argument: "a-b", "a-", "a", "-" or none
// (current article: the group's low).
void ParseRange(const std::string &arg, long low, long *from, long *to) {
    if (arg.empty()) {
        *from = *to = low;
    } else if (arg == "-") {
        *from = 0;
        *to = OPEN;
    } else {
        size_t dash = arg.find('-');
        *from = atol(arg.c_str());
        *to = dash == std::string::npos ? *from : dash + 1 == arg.size() ? OPEN : atol(arg.c_str() + dash + 1);
    }
}

// The articles of a fake group and a server that answers for them. Tests
// change the lines or intercept commands before the standard answers.
struct FakeGroup {
    long low = 1, high = 50;
    std::map<long, std::string> lines;  // number -> overview line

    FakeGroup(long l, long h) : low(l), high(h) {
        for (long n = l; n <= h; n++) lines[n] = OvLine(n);
    }

    std::string Xover(const std::string &arg) {
        long from, to;
        ParseRange(arg, low, &from, &to);
        std::string out = "224 overview follows\r\n";
        for (auto it = lines.lower_bound(from); it != lines.end() && it->first <= to; ++it) out += it->second;
        return out + ".\r\n";
    }

    tScriptReply Answer(const std::string &command) {
        if (StartsWith(command, "GROUP ")) {
            if (command.substr(6) != "misc.test") return {"411 no such group\r\n"};
            return {"211 " + std::to_string(lines.size()) + " " + std::to_string(low) + " " + std::to_string(high) +
                    " misc.test\r\n"};
        }
        if (command == "XOVER") return {Xover("")};
        if (StartsWith(command, "XOVER ")) return {Xover(command.substr(6))};
        if (command == "MODE READER") return {"200 reader\r\n"};
        return {"500 what?\r\n"};
    }
};

struct OverviewTest : OverviewFixture {
    std::unique_ptr<tScriptNntp> server;

    // Starts the scripted server and borrows a connection to it.
    void Serve(tScriptNntp::Handler handler, const std::string &keys = "") {
        server = std::make_unique<tScriptNntp>(std::move(handler));
        Begin(server->port(), keys);
    }
    void Serve(FakeGroup *group, const std::string &keys = "") {
        Serve([group](int, const std::string &c) { return group->Answer(c); }, keys);
    }

    // Stores the overview lines of numbers as articles another server (id
    // 9) brought before.
    void KnownFromServer9(std::initializer_list<long> numbers) {
        tOverviewAdd add;
        add.log = &journal;
        add.serverId = 9;
        add.articles = articles;
        add.counters = &counters;
        add.fixes = &fixes;
        add.indices = indices;
        for (long n : numbers) {
            long previous = -1;
            ASSERT_EQ(AddOverviewLine(&add, OvLine(n).c_str(), &previous, false, {0, OPEN}), AA_NEW);
        }
    }

    // What Stored() gives when the server's articles from..to arrived once
    // each.
    std::vector<std::string> Expected(long from, long to) {
        std::vector<std::string> out;
        for (long n = from; n <= to; n++)
            out.push_back("<" + std::to_string(n) + "@fake> " + std::to_string(Server()->id) + ":" +
                          std::to_string(n));
        return out;
    }

    std::vector<std::string> Sent(const std::string &prefix) {
        std::vector<std::string> out;
        for (auto &c : server->Commands())
            if (StartsWith(c, prefix)) out.push_back(c);
        return out;
    }

    void TearDown() override {
        End();
        server.reset();
        OverviewFixture::TearDown();
    }
};

TEST_F(OverviewTest, XoverStoresEveryArticleOnceAndMarksItSeen) {
    FakeGroup group(1, 50);
    Serve(&group);
    ASSERT_EQ(Fetch(), E_OK) << Journal();
    EXPECT_EQ(Stored(), Expected(1, 50));
    EXPECT_EQ(SeenText(), "1-50 ");
    EXPECT_EQ(counters.newArticles, 50);
    EXPECT_EQ(Sent("XOVER"), std::vector<std::string>{"XOVER 0-"});
    EXPECT_TRUE(Server()->flags & SF_XOVER_OPEN_RETURNS_MANY);

    // The next visit asks from 51 on: nothing new, nothing doubled.
    NumbersFree(&wanted);
    ASSERT_EQ(Fetch(51), E_OK);
    EXPECT_EQ(Stored().size(), 50u);
    EXPECT_EQ(Sent("XOVER").back(), "XOVER 51-");
}

// How a server that does not take the usual open request is taught.
struct OpenCase {
    const char *name;
    std::vector<std::string> refused;  // XOVER arguments answered 420
    uint32_t flag;
    std::vector<std::string> expected;  // XOVER commands of two visits of a new group
};
struct OpenRequests : OverviewTest, ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenRequests, AreReformulatedAndTheHabitKept) {
    const OpenCase &c = GetParam();
    FakeGroup group(1, 20);
    Serve([&](int, const std::string &command) -> tScriptReply {
        for (auto &r : c.refused)
            if (command == "XOVER " + r) return {"420 no current article\r\n"};
        return group.Answer(command);
    });
    ASSERT_EQ(Fetch(), E_OK) << Journal();
    EXPECT_EQ(Stored(), Expected(1, 20));
    EXPECT_TRUE(Server()->flags & c.flag);
    NumbersFree(&wanted);
    ASSERT_EQ(Fetch(), E_OK);
    EXPECT_EQ(Sent("XOVER"), c.expected);
    EXPECT_EQ(Stored().size(), 20u);
}

INSTANTIATE_TEST_SUITE_P(
    Overview, OpenRequests,
    ::testing::Values(OpenCase{"ZeroRefused", {"0-"}, SF_XOVER_USE_ONE, {"XOVER 0-", "XOVER 1-", "XOVER 1-"}},
                      OpenCase{"ZeroAndOneRefused",
                               {"0-", "1-"},
                               SF_XOVER_USE_MINUS,
                               {"XOVER 0-", "XOVER 1-", "XOVER -", "XOVER -"}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(OverviewTest, ServerGivingOneArticleForOpenRequestsIsAskedWithAnEnd) {
    FakeGroup group(100, 140);
    Serve([&](int, const std::string &command) -> tScriptReply {
        if (command == "XOVER 100-") return {"224 ok\r\n" + OvLine(100) + ".\r\n"};
        return group.Answer(command);
    });
    ASSERT_EQ(Fetch(100), E_OK) << Journal();
    EXPECT_EQ(Sent("XOVER"), (std::vector<std::string>{"XOVER 100-", "XOVER 100-2147483647"}));
    EXPECT_TRUE(Server()->flags & SF_XOVER_CLOSED_END);
    EXPECT_EQ(Stored(), Expected(100, 140));
    EXPECT_EQ(counters.reget, 1);  // 100 came twice
}

TEST_F(OverviewTest, XoverRefusedFallsBackToHeads) {
    FakeGroup group(1, 6);
    group.lines.erase(3);
    long current = 1;
    Serve([&](int, const std::string &command) -> tScriptReply {
        auto head = [&](long n) -> tScriptReply {
            if (!group.lines.count(n)) return {"423 no such article\r\n"};
            current = n;
            std::string s = std::to_string(n);
            return {"221 " + s + " <" + s + "@fake> head\r\nFrom: Poster <p@example.org>\r\nSubject: Subject " + s +
                    "\r\nDate: Mon, 7 Dec 2026 10:00:00 +0000\r\nMessage-ID: <" + s + "@fake>\r\nLines: 20\r\n.\r\n"};
        };
        if (StartsWith(command, "XOVER")) return {"500 unknown command\r\n"};
        if (command == "HEAD") return head(current);
        if (StartsWith(command, "HEAD ")) return head(atol(command.c_str() + 5));
        if (command == "NEXT") {
            auto it = group.lines.upper_bound(current);
            if (it == group.lines.end()) return {"421 no next article\r\n"};
            current = it->first;
            return {"223 " + std::to_string(current) + " <x> next\r\n"};
        }
        return group.Answer(command);
    });
    ASSERT_EQ(Fetch(), E_OK) << Journal();
    std::vector<std::string> expected = Expected(1, 6);
    expected.erase(expected.begin() + 2);
    EXPECT_EQ(Stored(), expected);
    EXPECT_EQ(SeenText(), "1-2 4-6 ");
    EXPECT_TRUE(Has(Journal(), "Emulating XOVER using HEAD"));
}

TEST_F(OverviewTest, XhdrEmulationMergesFieldsAndMarksMissingValues) {
    FakeGroup group(1, 5);
    Serve(
        [&](int, const std::string &command) -> tScriptReply {
            if (!StartsWith(command, "XHDR ")) return group.Answer(command);
            std::string field = command.substr(5, command.find(' ', 5) - 5);
            long from, to;
            ParseRange(command.substr(command.find(' ', 5) + 1), 1, &from, &to);
            std::string out = "221 " + field + " follows\r\n";
            for (long n = std::max(from, 1L); n <= std::min(to, 5L); n++) {
                std::string s = std::to_string(n);
                if (field == "SUBJECT" && n != 2) out += s + " Subject\t" + s + "\r\n";
                if (field == "FROM") out += s + " Poster <p@example.org>\r\n";
                if (field == "DATE") out += s + " Mon, 7 Dec 2026 10:00:00 +0000\r\n";
                if (field == "MESSAGE-ID") out += s + " <" + s + "@fake>\r\n";
                if (field == "REFERENCES") out += s + " \r\n";
                if (field == "BYTES") out += s + " 1500\r\n";
                if (field == "LINES") out += s + " 20\r\n";
            }
            if (field == "SUBJECT") out += "9 Subject out of range\r\n";
            return {out + ".\r\n"};
        },
        "emulateXoverUsingXhdr=1\n");
    ASSERT_EQ(Fetch(1, 5), E_OK) << Journal();
    EXPECT_EQ(Stored(), Expected(1, 5));
    EXPECT_EQ(Sent("XHDR").size(), 7u);
    EXPECT_TRUE(Has(Journal(), "Warning: Out of range 1-5, ignoring: 9 Subject"));
    tArticleFull full{};
    ArticlesLock(articles);
    ASSERT_EQ(ArticlesFind(articles, 2, 0, &full), E_OK);
    EXPECT_STREQ(ArticleDataSubject(&full.adt), "(<mg> no value)");
    ArticleFullFree(&full);
    ASSERT_EQ(ArticlesFind(articles, 1, 0, &full), E_OK);
    EXPECT_STREQ(ArticleDataSubject(&full.adt), "Subject 1");  // the tab became a blank
    EXPECT_EQ(full.adt.lines, 20);
    ArticleFullFree(&full);
    ArticlesUnlock(articles);
    EXPECT_TRUE(std::filesystem::is_empty(dir / "xhdr"));
}

TEST_F(OverviewTest, XhdrEmulationResumesABrokenFieldListing) {
    FakeGroup group(1, 6);
    bool dropped = false;
    Serve(
        [&](int, const std::string &command) -> tScriptReply {
            if (!StartsWith(command, "XHDR ")) return group.Answer(command);
            std::string field = command.substr(5, command.find(' ', 5) - 5);
            long from, to;
            ParseRange(command.substr(command.find(' ', 5) + 1), 1, &from, &to);
            std::string out = "221 " + field + " follows\r\n";
            for (long n = std::max(from, 1L); n <= std::min(to, 6L); n++) {
                std::string s = std::to_string(n);
                if (field == "FROM" && n == 4 && !dropped) {
                    dropped = true;
                    return {out, true};  // the connection breaks after 1-3
                }
                if (field == "MESSAGE-ID") out += s + " <" + s + "@fake>\r\n";
                else if (field == "FROM") out += s + " Poster " + s + " <p@example.org>\r\n";
                else out += s + " " + (field == "BYTES" ? "1500" : field == "LINES" ? "20" : "x") + "\r\n";
            }
            return {out + ".\r\n"};
        },
        "emulateXoverUsingXhdr=1\n");
    ASSERT_EQ(Fetch(1, 6), E_OK) << Journal();
    EXPECT_EQ(Stored(), Expected(1, 6));
    EXPECT_EQ(Sent("XHDR FROM"), (std::vector<std::string>{"XHDR FROM 1-6", "XHDR FROM 4-6"}));
    tArticleFull full{};
    ArticlesLock(articles);
    for (long n = 1; n <= 6; n++) {
        ASSERT_EQ(ArticlesFind(articles, n, 0, &full), E_OK);
        std::string id = ArticleDataMsgId(&full.adt);
        EXPECT_EQ(std::string(ArticleDataFrom(&full.adt)), "Poster " + id.substr(1, id.find('@') - 1) + " <p@example.org>");
        ArticleFullFree(&full);
    }
    ArticlesUnlock(articles);
}

// Broken output of several kinds: every article arrives once, none is lost.
struct BrokenCase {
    const char *name;
    // The first XOVER answer, given the group and the command's argument.
    std::function<tScriptReply(FakeGroup &, const std::string &)> first;
    const char *logged;
};
struct BrokenListing : OverviewTest, ::testing::WithParamInterface<BrokenCase> {};

TEST_P(BrokenListing, IsResumedWithoutDuplicatesOrGaps) {
    const BrokenCase &c = GetParam();
    overviewLimits.xoverLineSeconds = 1;
    FakeGroup group(1, 50);
    bool firstDone = false;
    Serve([&](int, const std::string &command) -> tScriptReply {
        if (StartsWith(command, "XOVER ") && !firstDone) {
            firstDone = true;
            return c.first(group, command.substr(6));
        }
        return group.Answer(command);
    });
    ASSERT_EQ(Fetch(), E_OK) << Journal();
    EXPECT_EQ(Stored(), Expected(1, 50)) << Journal();
    EXPECT_EQ(SeenText(), "1-50 ");
    EXPECT_TRUE(Has(Journal(), c.logged)) << Journal();
}

const BrokenCase brokenCases[] = {
    {"ConnectionDropped",
     [](FakeGroup &g, const std::string &) {
         std::string out = "224 ok\r\n";
         for (long n = 1; n <= 25; n++) out += g.lines[n];
         return tScriptReply{out + "26\tSubj", true};
     },
     "EOF at 25 articles, last good 25"},
    {"NeverEnds",
     [](FakeGroup &g, const std::string &) {
         std::string out = "224 ok\r\n";
         for (long n = 1; n <= 30; n++) out += g.lines[n];
         return tScriptReply{out, false, true};
     },
     "EOF at 30 articles, last good 30"},
    {"DuplicateLine",
     [](FakeGroup &g, const std::string &arg) {
         std::string out = g.Xover(arg);
         size_t at = out.find(g.lines[31]);
         return tScriptReply{out.insert(at, g.lines[30])};
     },
     "Bad line (last good 30 total 31)"},
    {"MissingFields",
     [](FakeGroup &g, const std::string &arg) {
         g.lines[7] = "7\tSubject only\r\n";
         g.lines[8] = "8\tSubject\tFrom\r\n";
         std::string out = g.Xover(arg);
         g.lines[7] = OvLine(7);
         g.lines[8] = OvLine(8);
         return tScriptReply{out};
     },
     "Range 7-8 will be explored again"},
    {"SplitRecord",
     [](FakeGroup &g, const std::string &arg) {
         std::string out = g.Xover(arg);
         size_t at = out.find(g.lines[12]);
         return tScriptReply{out.insert(at + 2, "\r\n")};
     },
     "Recovering split record in XOVER: 12"},
    {"FinalDotGluedToARecord",
     [](FakeGroup &g, const std::string &) {
         std::string out = "224 ok\r\n";
         for (long n = 1; n <= 40; n++) out += g.lines[n];
         out.resize(out.size() - 2);
         return tScriptReply{out + ".\r\n"};
     },
     "Line seems fine but has final .<CR><LF>. Assume XOVER output end"},
};

INSTANTIATE_TEST_SUITE_P(Overview, BrokenListing, ::testing::ValuesIn(brokenCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(OverviewTest, NumbersOutsideTheAskedRangeAreNotStored) {
    FakeGroup group(1, 50);
    Serve([&](int, const std::string &command) -> tScriptReply {
        if (StartsWith(command, "XOVER ")) return {group.Xover("1-")};  // ignores the range asked for
        return group.Answer(command);
    });
    ASSERT_EQ(Fetch(20, 50), E_OK) << Journal();
    EXPECT_EQ(Stored(), Expected(20, 50));
    EXPECT_EQ(SeenText(), "20-50 ");
    EXPECT_TRUE(Has(Journal(), "Number not in expected range: 19\t"));
}

TEST_F(OverviewTest, TenfoldLeapRestartsOnceThenIsAccepted) {
    FakeGroup group(1, 0);
    for (long n = 495; n <= 500; n++) group.lines[n] = OvLine(n);
    for (long n = 7000; n <= 7003; n++) group.lines[n] = OvLine(n);
    group.low = 495;
    group.high = 7003;
    Serve(&group);
    ASSERT_EQ(Fetch(495), E_OK) << Journal();
    EXPECT_TRUE(Has(Journal(), "Bad line (last good 500 total 7)"));
    EXPECT_TRUE(Has(Journal(), "Restart did not fix article number (7000 after 500). Assuming number ok."));
    EXPECT_EQ(Sent("XOVER"), (std::vector<std::string>{"XOVER 495-", "XOVER 501-"}));
    EXPECT_EQ(Stored().size(), 10u);
}

struct RefusalCase {
    const char *name;
    const char *answer;
    tDiag expected;
    bool dropped;
};
struct Refusal : OverviewTest, ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusal, EndsTheFetch) {
    const RefusalCase &c = GetParam();
    FakeGroup group(1, 5);
    Serve([&](int, const std::string &command) -> tScriptReply {
        if (StartsWith(command, "XOVER")) return {c.answer};
        return group.Answer(command);
    });
    EXPECT_EQ(Fetch(), c.expected);
    EXPECT_EQ(NntpConnected(&sc->nntp), !c.dropped);
    EXPECT_TRUE(Has(Journal(), "Error when overwiewing misc.test, last good article -1"));
}

INSTANTIATE_TEST_SUITE_P(Overview, Refusal,
                         ::testing::Values(RefusalCase{"Auth", "480 authentication required\r\n", E_XOVER_REFUSED, true},
                                           RefusalCase{"Other", "502 no permission\r\n", E_XOVER_FAILED, false}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(OverviewTest, SeventeenBrokenAttemptsGiveUp) {
    FakeGroup group(1, 5);
    Serve([&](int, const std::string &command) -> tScriptReply {
        if (StartsWith(command, "XOVER")) return {"224 ok\r\n1\tbroken", true};
        return group.Answer(command);
    });
    EXPECT_EQ(Fetch(), E_XOVER_EOFS) << Journal();
    EXPECT_EQ(Sent("XOVER").size(), 17u);
    EXPECT_NE(Server()->lastFailedConnectTime, 0);
}

TEST_F(OverviewTest, MissingGroupIsNoFailure) {
    FakeGroup group(1, 5);
    Serve([&](int, const std::string &command) -> tScriptReply {
        if (StartsWith(command, "GROUP")) return {"411 no such group\r\n"};
        return group.Answer(command);
    });
    EXPECT_EQ(Fetch(), E_OK);
    EXPECT_TRUE(Stored().empty());
}

TEST_F(OverviewTest, MessageIdPassAddsReferencesToKnownArticles) {
    FakeGroup group(1, 30);
    Serve([&](int, const std::string &command) -> tScriptReply {
        if (StartsWith(command, "XHDR MESSAGE-ID ")) {
            long from, to;
            ParseRange(command.substr(16), 1, &from, &to);
            std::string out = "221 Message-ID follows\r\n";
            for (long n = std::max(from, 1L); n <= std::min(to, 30L); n++)
                out += std::to_string(n) + " <" + std::to_string(n) + "@fake>\r\n";
            return {out + ".\r\n"};
        }
        return group.Answer(command);
    });
    // Articles 1-10 and 21-25 are already known from server 9.
    KnownFromServer9({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 21, 22, 23, 24, 25});
    if (HasFatalFailure()) return;
    ASSERT_GE(NumbersAdd(&wanted, 1, 30), 0);
    tAddCounters matched{};
    ASSERT_EQ(MatchByMessageId(&sc->nntp, articles, &wanted, &seen, "misc.test", &requester, &matched), E_OK)
        << Journal();
    EXPECT_EQ(matched.dup, 15);
    EXPECT_EQ(matched.newArticles, 15);
    EXPECT_EQ(SeenText(), "1-10 21-25 ");
    // Only 11-20 and 26-30 still need overview data.
    EXPECT_FALSE(NumbersContains(&wanted, 5));
    EXPECT_TRUE(NumbersContains(&wanted, 11) && NumbersContains(&wanted, 20) && NumbersContains(&wanted, 26));
    std::vector<std::string> stored = Stored();
    ASSERT_EQ(stored.size(), 15u);
    EXPECT_EQ(stored[0], "<1@fake> 9:1 " + std::to_string(Server()->id) + ":1");

    // The rest comes by XOVER and completes the group.
    tOverviewJob job = Job();
    ASSERT_EQ(FetchOverview(&job, &requester), E_OK) << Journal();
    EXPECT_EQ(Stored().size(), 30u);
    EXPECT_EQ(SeenText(), "1-30 ");
}

TEST_F(OverviewTest, MessageIdPassAcceptsALeapThatTheNextLineConfirms) {
    FakeGroup group(1, 0);
    Serve([&](int, const std::string &command) -> tScriptReply {
        if (StartsWith(command, "XHDR MESSAGE-ID "))
            return {"221 Message-ID follows\r\n1 <1@fake>\r\n2 <2@fake>\r\n50 <50@fake>\r\n51 <51@fake>\r\n"
                    "9000 <9000@fake>\r\n.\r\n"};
        return group.Answer(command);
    });
    KnownFromServer9({1, 2, 50, 51, 9000});
    if (HasFatalFailure()) return;
    ASSERT_GE(NumbersAdd(&wanted, 1, OPEN), 0);
    tAddCounters matched{};
    ASSERT_EQ(MatchByMessageId(&sc->nntp, articles, &wanted, &seen, "misc.test", &requester, &matched), E_OK);
    EXPECT_TRUE(Has(Journal(), "Over tenfold leap in article numbers, from 2: 50 <50@fake>"));
    EXPECT_TRUE(Has(Journal(), "Recovering leap: 51 <51@fake>"));
    EXPECT_TRUE(Has(Journal(), "Over tenfold leap in article numbers, from 51: 9000 <9000@fake>"));
    EXPECT_EQ(SeenText(), "1-2 51-51 ");
    EXPECT_EQ(matched.dup, 3);
    EXPECT_EQ(matched.bad, 2);
}

}  // namespace
