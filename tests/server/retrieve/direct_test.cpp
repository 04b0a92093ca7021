// Direct retrieval against scripted servers: the candidates and their order,
// the checks for wrong and empty articles, the removal of vanished
// references, the relay to the reader and to a file, and the speed kept.
#include "server/retrieve/direct.h"

#include "server/store/articles.h"
#include "tests/server/upstream/upstreamfixture.h"
#include "tests/support/answernntp.h"
#include "tests/support/storeline.h"

#include <sys/socket.h>

#include <map>

#include "server/settings/settings.h"

namespace {

// The reader's end of a retrieval: everything sent to it.
struct tReaderEnd {
    int fds[2] = {-1, -1};
    std::thread thread;
    std::string got;
    tReaderEnd() {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        thread = std::thread([this] {
            char b[65536];
            ssize_t n;
            while ((n = read(fds[1], b, sizeof b)) > 0) got.append(b, (size_t)n);
        });
    }
    int socket() const { return fds[0]; }
    std::string Finish() {
        if (fds[0] >= 0) {
            shutdown(fds[0], SHUT_RDWR);
            close(fds[0]);
            fds[0] = -1;
            thread.join();
            close(fds[1]);
        }
        return got;
    }
    ~tReaderEnd() { Finish(); }
};

std::string Article(const std::string &msgId, const std::string &body = "Hello.\r\n", bool withMsgId = true) {
    return "Path: a!b!not-for-mail\r\nFrom: x@y\r\nXref: a misc.test:5\r\nSubject: s\r\n" +
           (withMsgId ? "Message-ID: " + msgId + "\r\n" : std::string()) + "\r\n" + body;
}

// One server's behaviour: the article it holds under a number and by
// Message-ID, or an answer to give instead.
struct tHolding {
    long number = 5;
    std::string msgId = "<a@x>";
    std::string text;            // the article (CR LF lines, not dot-stuffed)
    std::string numberAnswer;    // instead of the article by number ("" = deliver)
    std::string msgIdAnswer;     // instead of the article by Message-ID
};

std::string Stuff(const std::string &text) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t eol = text.find("\r\n", at);
        std::string line = text.substr(at, eol == std::string::npos ? std::string::npos : eol + 2 - at);
        if (!line.empty() && line[0] == '.') out += ".";
        out += line;
        at = eol == std::string::npos ? text.size() : eol + 2;
    }
    return out;
}

tAnswerNntp::tAnswer Serve(std::shared_ptr<tHolding> h) {
    return [h](const std::string &c) -> std::string {
        if (c.rfind("GROUP ", 0) == 0) return "211 1 5 5 misc.test\r\n";
        static const char *const verbs[] = {"ARTICLE", "HEAD", "BODY", "STAT"};
        static const int codes[] = {220, 221, 222, 223};
        for (int v = 0; v < 4; v++) {
            std::string verb = std::string(verbs[v]) + " ";
            if (c.rfind(verb, 0) != 0) continue;
            std::string arg = c.substr(verb.size());
            bool byNumber = arg[0] != '<';
            const std::string &instead = byNumber ? h->numberAnswer : h->msgIdAnswer;
            if (!instead.empty()) return instead;
            if (byNumber ? arg != std::to_string(h->number) : arg != h->msgId) return "430 no such article\r\n";
            std::string status =
                std::to_string(codes[v]) + " " + std::to_string(byNumber ? h->number : 0) + " " + h->msgId + "\r\n";
            size_t split = h->text.find("\r\n\r\n");
            std::string head = h->text.substr(0, split + 2), body = h->text.substr(split + 4);
            if (v == 3) return status;
            return status + Stuff(v == 0 ? h->text : v == 1 ? head : body) + ".\r\n";
        }
        return "500 what?\r\n";
    };
}

struct RetrieveTest : UpstreamFixture {
    tIndices *indices = nullptr;
    tArticles *articles = nullptr;
    tLog clientLog{};
    std::shared_ptr<tHolding> a = std::make_shared<tHolding>();
    std::shared_ptr<tHolding> b = std::make_shared<tHolding>();
    std::unique_ptr<tAnswerNntp> serverA, serverB;
    int savedCategoryWait = maxCategoryWait;

    void SetUp() override {
        UpstreamFixture::SetUp();
        ASSERT_EQ(LogOpen(&clientLog, "client", 1 << 24), E_OK);
        ASSERT_EQ(IndicesCreate(&indices, false, &journal, &articlesStoreOps), E_OK);
        ASSERT_EQ(ArticlesOpen(indices, "misc.test", &journal, true, &articles, -1), E_OK);
        a->text = b->text = Article("<a@x>");
        b->number = 9;
        serverA = std::make_unique<tAnswerNntp>(Serve(a));
        serverB = std::make_unique<tAnswerNntp>(Serve(b));
    }
    void TearDown() override {
        maxCategoryWait = savedCategoryWait;
        serverA.reset();
        serverB.reset();
        IndicesRelease(articles, 0);
        IndicesClose(indices);
        LogClose(&clientLog);
        UpstreamFixture::TearDown();
    }

    // Servers 1 (A) and 2 (B), with extra keys for each.
    void Load(const std::string &keysA = "", const std::string &keysB = "") {
        LoadIni("[proxies]\nurl=none\n\n[server]\nid=1\nurl=127.0.0.1:" + std::to_string(serverA->port()) + "\n" +
                keysA + "\n[server]\nid=2\nurl=127.0.0.1:" + std::to_string(serverB->port()) + "\n" + keysB);
    }
    tServer *S(int id) {
        tServer *s = FindServerById(servers.get(), id);
        ServerRelease(s);
        return s;
    }

    // Stores the article with references from the given servers.
    void Store(const std::map<long, long> &refs, const std::string &msgId = "<a@x>") {
        for (auto [server, number] : refs) {
            std::string line = std::to_string(number) + "\ts\tx@y\tThu, 10 Dec 2026 12:00:00 +0000\t" + msgId +
                               "\t\t300\t5";
            ASSERT_GE(StoreOverviewLine(indices, articles, &journal, server, line), 0);
        }
    }
    std::string Refs(const std::string &msgId = "<a@x>") {
        ArticlesLock(articles);
        tArticleFull full{};
        std::string text = "?";
        if (ArticlesFindByMsgId(articles, msgId.c_str(), &full) == E_OK) {
            char buffer[1024];
            if (ServRefsFormat(&full.a->refs, buffer, sizeof buffer) == E_OK) text = buffer;
            ArticleFullFree(&full);
        }
        ArticlesUnlock(articles);
        return text;
    }

    // Retrieves the stored article (command index cmd) for a reader (or into
    // file when given); *out receives what the reader got.
    tDiag Retrieve(int cmd, std::string *out, FILE *file = nullptr, int allowAny = 1, int drop = 1,
                   const std::string &msgId = "<a@x>", bool inIndex = true) {
        tReaderEnd reader;
        tRetrieval r;
        r.articles = articles;
        r.groupName = "misc.test";
        r.msgId = msgId.c_str();
        r.localNumber = 1;
        r.log = &clientLog;
        r.clientSocket = file ? -1 : reader.socket();
        r.commandIndex = cmd;
        r.articleFile = file;
        r.dropPathAndXref = drop;
        r.markRetrieved = 1;
        r.requester = {"test reader", -120, KIND_DIRECT};
        ArticlesLock(articles);
        tArticleFull full{};
        tDiag d;
        if (inIndex && ArticlesFindByMsgId(articles, msgId.c_str(), &full) == E_OK) {
            tServRefs refs = full.a->refs;
            d = RetrieveArticle(&r, &refs, servers.get(), allowAny);
            ArticleFullFree(&full);
        } else {
            d = RetrieveArticle(&r, nullptr, servers.get(), allowAny);
        }
        *out = reader.Finish();
        return d;
    }
    std::string Log() { return ReadWholeFile(dir / "client"); }
};

TEST_F(RetrieveTest, RelaysTheArticleByNumberWithoutPathAndXrefAndKeepsTheStatistics) {
    Load();
    Store({{1, 5}});
    a->text = Article("<a@x>", ".dot-stuffed line\r\nplain\r\n");
    std::string got;
    ASSERT_EQ(Retrieve(RC_ARTICLE, &got), E_OK) << Log();
    EXPECT_EQ(got, "220 1 <a@x>\r\nFrom: x@y\r\nSubject: s\r\nMessage-ID: <a@x>\r\n\r\n..dot-stuffed line\r\nplain\r\n.\r\n");
    EXPECT_EQ(S(1)->dynamic->okNumberRetrievals, 1);
    EXPECT_EQ(S(1)->dynamic->articlesGot, 1);
    EXPECT_EQ(S(1)->speed, 1000);  // a small article: unmeasured becomes 1000
    EXPECT_TRUE(Has(Log(), "<= checking it out"));
    EXPECT_TRUE(Has(Log(), "Trying server 1 of 1: "));
    // The retrieved mark.
    ArticlesLock(articles);
    tArticleFull full{};
    ASSERT_EQ(ArticlesFindByMsgId(articles, "<a@x>", &full), E_OK);
    EXPECT_TRUE(full.a->flags & ART_RETRIEVED);
    ArticleFullFree(&full);
    ArticlesUnlock(articles);

    // HEAD and STAT by number; BODY has no header to check.
    ASSERT_EQ(Retrieve(RC_HEAD, &got), E_OK);
    EXPECT_EQ(got, "221 1 <a@x>\r\nFrom: x@y\r\nSubject: s\r\nMessage-ID: <a@x>\r\n.\r\n");
    ASSERT_EQ(Retrieve(RC_STAT, &got), E_OK);
    EXPECT_EQ(got, "223 1 <a@x>\r\n");
}

TEST_F(RetrieveTest, FileRetrievalKeepsPathAndXrefAndRemovesDotStuffing) {
    Load();
    Store({{1, 5}});
    a->text = Article("<a@x>", ".leading dot\r\n");
    FILE *file = tmpfile();
    std::string got;
    ASSERT_EQ(Retrieve(RC_ARTICLE, &got, file, 1, 0), E_OK) << Log();
    fflush(file);
    rewind(file);
    char buffer[4096];
    size_t n = fread(buffer, 1, sizeof buffer, file);
    EXPECT_EQ(std::string(buffer, n), a->text);
    // A header without a Message-ID is a bad article: the file is emptied.
    a->text = Article("<a@x>", "x\r\n", false);
    b->numberAnswer = b->msgIdAnswer = "430 no\r\n";
    EXPECT_EQ(Retrieve(RC_ARTICLE, &got, file, 1, 0), E_ZOMBIE);
    EXPECT_TRUE(Has(Log(), "Did not find a Message-ID in article header."));
    fseek(file, 0, SEEK_END);
    EXPECT_EQ(ftell(file), 0);
    fclose(file);
}

TEST_F(RetrieveTest, VanishedReferenceIsRemovedAndTheOtherServerDelivers) {
    // B is asked only when A has not answered for a second: A is tried
    // first and has lost the article.
    maxCategoryWait = 1;
    Load("category=0\n", "category=1\n");
    Store({{1, 5}, {2, 9}});
    S(1)->speed = S(1)->maxSpeed = 100000;
    a->numberAnswer = a->msgIdAnswer = "430 no such article\r\n";
    std::string got;
    ASSERT_EQ(Retrieve(RC_BODY, &got), E_OK) << Log();
    EXPECT_EQ(got, "222 1 <a@x>\r\nHello.\r\n.\r\n");
    EXPECT_TRUE(Has(Log(), "Reference 1:5 vanished.")) << Log();
    EXPECT_EQ(Refs(), " 2:9");
    EXPECT_EQ(S(1)->speed, 81000);  // each refusal slows the server down
    EXPECT_EQ(S(1)->dynamic->failedNumberRetrievals, 1);
    EXPECT_EQ(S(1)->dynamic->failedMsgIdRetrievals, 1);
    EXPECT_EQ(S(2)->dynamic->okNumberRetrievals, 1);

    // Now B loses it too: the last reference goes, the article is a zombie.
    b->numberAnswer = b->msgIdAnswer = "430 no such article\r\n";
    EXPECT_EQ(Retrieve(RC_ARTICLE, &got, nullptr, 0), E_ZOMBIE);
    EXPECT_TRUE(Has(Log(), "Reference 2:9 vanished (last one).")) << Log();
    EXPECT_EQ(got, "");
    // A zombie without allowAnyServer is not retrieved; with it every server
    // is asked by Message-ID (flag "?").
    EXPECT_EQ(Retrieve(RC_ARTICLE, &got, nullptr, 0), E_ZOMBIE);
    EXPECT_TRUE(Has(Log(), "Zombie article (for 0 hours)."));
    a->msgIdAnswer = "";
    ASSERT_EQ(Retrieve(RC_ARTICLE, &got, nullptr, 1), E_OK) << Log();
    EXPECT_TRUE(Has(Log(), "  ? ")) << Log();
    EXPECT_TRUE(Has(got, "220 1 <a@x> article retrieved - head and body follow\r\n")) << got;
    EXPECT_EQ(S(1)->dynamic->okZombieRetrievals, 1);
}

TEST_F(RetrieveTest, WrongOrEmptyArticlesArePretendedDeleted) {
    struct Case {
        const char *name;
        std::string msgId;
        std::string answer;
        const char *logged;
    } cases[] = {
        {"status line names another article", "<s@x>", "220 5 <other@x>\r\n" + Article("<other@x>") + ".\r\n",
         "Message-ID mismatch in status line, wanted <s@x>, got <other@x>"},
        {"header names another article", "<h@x>", "220 5 <h@x>\r\n" + Article("<other@x>") + ".\r\n",
         "Message-ID mismatch in article header, wanted <h@x>, got <other@x>"},
        {"empty article", "<e@x>", "220 5 <e@x>\r\n.\r\n", "Empty article, pretending deleted"},
    };
    Load("msgIdIfNbFails=0\nzombies=0\n", "disabled=1\n");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Store({{1, 5}}, c.msgId);
        a->numberAnswer = c.answer;
        std::string got;
        EXPECT_EQ(Retrieve(RC_ARTICLE, &got, nullptr, 1, 1, c.msgId), E_NO_REACHABLE_SERVER);
        EXPECT_EQ(got, "");  // nothing of a wrong article reaches the reader
        EXPECT_TRUE(Has(Log(), c.logged)) << Log();
        EXPECT_TRUE(Has(Log(), "Reference 1:5 vanished (last one, no zombies).")) << Log();
        EXPECT_EQ(Refs(c.msgId), "");  // deleted locally now
    }
    EXPECT_EQ(serverA->Commands().find("ARTICLE <"), std::string::npos);  // msgIdIfNbFails off
}

TEST_F(RetrieveTest, DeletedLocallyAndUnknownArticles) {
    Load();
    std::string got;
    // Not in the index and no server may be asked blindly.
    EXPECT_EQ(Retrieve(RC_ARTICLE, &got, nullptr, 0, 1, "<none@x>", false), E_ZOMBIE);
    // Blind: every server by Message-ID.
    b->msgId = "<blind@x>";
    b->text = Article("<blind@x>");
    ASSERT_EQ(Retrieve(RC_HEAD, &got, nullptr, 1, 1, "<blind@x>", false), E_OK) << Log();
    EXPECT_EQ(S(2)->dynamic->okBlindRetrievals, 1);
    EXPECT_TRUE(Has(got, "221 1 <blind@x> article retrieved - head follows\r\n"));
    EXPECT_EQ(serverA->Commands().find("ARTICLE"), std::string::npos);

    // A Message-ID of 1024 characters is refused before any server.
    std::string longId = "<" + std::string(1022, 'x') + ">";
    EXPECT_EQ(Retrieve(RC_ARTICLE, &got, nullptr, 1, 1, longId, false), E_PATH_TOO_LONG);
}

TEST_F(RetrieveTest, LargeArticleSetsTheSpeedAndStopsAtADroppedConnection) {
    Load();
    Store({{1, 5}});
    std::string body;
    for (int i = 0; i < 2000; i++) body += std::string(60, 'a' + i % 26) + "\r\n";
    a->text = Article("<a@x>", body);
    std::string got;
    ASSERT_EQ(Retrieve(RC_BODY, &got), E_OK);
    EXPECT_EQ(got, "222 1 <a@x>\r\n" + body + ".\r\n");
    EXPECT_GT(S(1)->speed, 1000);
    EXPECT_EQ(S(1)->maxSpeed, S(1)->speed);

    // The final line is found wherever the pieces of the answer end.
    std::string tricky = "..\r\n.x\r\n\r\n...\r\nend\r\n";
    a->numberAnswer = "<trickle>222 5 <a@x>\r\n" + Stuff(tricky) + ".\r\n";
    ASSERT_EQ(Retrieve(RC_BODY, &got), E_OK);
    EXPECT_EQ(got.substr(0, 200), "222 1 <a@x>\r\n" + Stuff(tricky) + ".\r\n");

    // The server drops the connection in the middle of the article before
    // anything reached the reader: the reader gets nothing, the server is
    // penalised and the Message-ID is tried on a new connection.
    a->numberAnswer = "<partial>220 5 <a@x>\r\n" + Article("<a@x>", body.substr(0, 3000));
    a->msgIdAnswer = "430 no\r\n";
    EXPECT_EQ(Retrieve(RC_ARTICLE, &got), E_NO_REACHABLE_SERVER);
    EXPECT_TRUE(Has(Log(), "Network error when retrieving article from server")) << Log();
    EXPECT_EQ(got, "");
    EXPECT_EQ(S(1)->speed, 1);  // penalised; a later refusal leaves 1 alone
}

}  // namespace
