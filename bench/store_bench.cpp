// Store throughput: overview lines parsed per second, and article rows
// written per second inside one transaction (statement text with %Q quoting
// against a prepared statement with bound values).
#include "server/store/article_data.h"
#include "server/store/db.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Overview lines shaped like a real server's: discussion articles with
// reference chains, binary postings, cross-posts with Xref.
std::vector<std::string> MakeLines(int n) {
    std::vector<std::string> lines;
    char buf[2048];
    for (int i = 0; i < n; i++) {
        long number = 1000000 + i;
        switch (i % 4) {
        case 0:
            snprintf(buf, sizeof buf,
                     "%ld\tRe: Question about the new kernel scheduler (was: Re: latency)\t"
                     "John Q. Public <jqp%d@example.com>\tMon, 11 Mar 2024 14:%02d:%02d +0100\t"
                     "<reply.%d.%ld@news.example.org>\t<root.%d@news.example.org> <child.%d@example.net> "
                     "<grandchild.%d@example.net>\t%d\t%d\tXref: news.example.org comp.os.linux:%ld\r\n",
                     number, i % 97, i % 60, i % 60, i, number, i / 7, i / 5, i / 3, 2000 + i % 5000, 40 + i % 300,
                     number);
            break;
        case 1:
            snprintf(buf, sizeof buf,
                     "%ld\t[%d/%d] - \"holiday.part%03d.rar\" yEnc (%d/%d) 716800000\t"
                     "poster@binaries.invalid (Poster)\t11 Mar 2024 14:00:%02d GMT\t"
                     "<part%dof%d.abcdefghijklmnop@powerpost.invalid>\t\t%d\t%d\tXref: news.example.org "
                     "alt.binaries.pictures:%ld alt.binaries.misc:%d\r\n",
                     number, i % 50, 50, i % 50, i % 200, 200, i % 60, i % 200, 200, 390000 + i % 1000,
                     3000 + i % 10, number, i);
            break;
        case 2:
            snprintf(buf, sizeof buf,
                     "%ld\tAnnouncement: release %d.%d of the toolkit\tMaintainer <maint@example.org>\t"
                     "Tue, 12 Mar 2024 09:%02d:00 GMT\t<announce.%d@example.org>\t\t%d\t%d\r\n",
                     number, i % 10, i % 7, i % 60, i, 1500 + i % 900, 30 + i % 40);
            break;
        default:
            snprintf(buf, sizeof buf,
                     "%ld\tRe: Re: Re: Off topic\t\"A. Nonymous\" <anon@example.invalid>\t"
                     "Wed, 13 Mar 2024 23:%02d:%02d -0500\t<%d.%ld@reader.example.com>\t"
                     "<a.%d@x> <b.%d@x>\t%d\t%d\tXref: reader.example.com misc.test:%ld\r\n",
                     number, i % 60, i % 60, i, number, i / 2, i / 3, 800 + i % 3000, 15 + i % 80, number);
        }
        lines.push_back(buf);
    }
    return lines;
}

void BM_ParseOverviewLine(benchmark::State &state) {
    std::vector<std::string> lines = MakeLines(4096);
    tOverviewFixes fixes{};
    tXrefStats xrefs{};
    size_t i = 0;
    long bytes = 0;
    for (auto _ : state) {
        const std::string &line = lines[i];
        long previous = 0;
        tArticleData adt;
        tDiag diag = ArticleDataParse(line.c_str(), nullptr, &fixes, &adt, true, 0, &xrefs, "comp.os.linux",
                                      &previous, false, {0, 2147483647});
        if (diag != E_OK) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(adt.db);
        ArticleDataFree(&adt);
        bytes += (long)line.size();
        if (++i == lines.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_ParseOverviewLine);

const char *SCHEMA =
    "CREATE TABLE articles (number INTEGER PRIMARY KEY,subject TEXT,fromWho TEXT,dateString TEXT,msgId TEXT,"
    "hash INTEGER,refs TEXT,bytes INTEGER,lines INTEGER,xrefs TEXT,servRefs TEXT,flags INTEGER,dateSecs INTEGER);"
    "CREATE INDEX byHash ON articles (hash);";

struct tBenchDb {
    std::string dir;
    tDb db;
    tBenchDb() {
        char tmpl[] = "/tmp/mgbench.XXXXXX";
        dir = mkdtemp(tmpl);
        if (DbOpen(&db, (dir + "/index").c_str(), nullptr, SCHEMA) != E_OK) abort();
    }
    ~tBenchDb() {
        (void)DbCommitClose(&db);
        std::string path = dir + "/index";
        (void)DbDelete(path.c_str(), true);
        rmdir(dir.c_str());
    }
};

// Rows as the group index writes them: one INSERT text per row, %Q quoting.
void BM_InsertRowsQuoted(benchmark::State &state) {
    std::vector<std::string> lines = MakeLines(4096);
    tBenchDb bench;
    long number = 0;
    for (auto _ : state) {
        tArticleData adt;
        long previous = 0;
        (void)ArticleDataParse(lines[number % lines.size()].c_str(), nullptr, nullptr, &adt, true, 0, nullptr, "g",
                               &previous, false, {0, 2147483647});
        number++;
        char *sql = sqlite3_mprintf("INSERT INTO articles VALUES(%ld,%Q,%Q,%Q,%Q,%lu,%Q,%ld,%ld,%Q,%Q,%ld,%ld);", number,
                                    ArticleDataSubject(&adt), ArticleDataFrom(&adt), ArticleDataDate(&adt),
                                    ArticleDataMsgId(&adt), (unsigned long)number * 2654435761u,
                                    ArticleDataRefs(&adt), adt.bytes, adt.lines, "", " 3:1234", 0L, 1710000000L);
        if (DbExec(&bench.db, sql) != E_OK) state.SkipWithError("insert failed");
        sqlite3_free(sql);
        ArticleDataFree(&adt);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InsertRowsQuoted);

// The same rows through one prepared statement with bound values.
void BM_InsertRowsPrepared(benchmark::State &state) {
    std::vector<std::string> lines = MakeLines(4096);
    tBenchDb bench;
    sqlite3_stmt *st;
    if (DbPrepare(&bench.db, "INSERT INTO articles VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?);", &st) != E_OK) abort();
    long number = 0;
    for (auto _ : state) {
        tArticleData adt;
        long previous = 0;
        (void)ArticleDataParse(lines[number % lines.size()].c_str(), nullptr, nullptr, &adt, true, 0, nullptr, "g",
                               &previous, false, {0, 2147483647});
        number++;
        sqlite3_bind_int64(st, 1, number);
        sqlite3_bind_text(st, 2, ArticleDataSubject(&adt), -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 3, ArticleDataFrom(&adt), -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 4, ArticleDataDate(&adt), -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 5, ArticleDataMsgId(&adt), -1, SQLITE_STATIC);
        sqlite3_bind_int64(st, 6, (long)((unsigned long)number * 2654435761u));
        sqlite3_bind_text(st, 7, ArticleDataRefs(&adt), -1, SQLITE_STATIC);
        sqlite3_bind_int64(st, 8, adt.bytes);
        sqlite3_bind_int64(st, 9, adt.lines);
        sqlite3_bind_text(st, 10, "", -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 11, " 3:1234", -1, SQLITE_STATIC);
        sqlite3_bind_int64(st, 12, 0);
        sqlite3_bind_int64(st, 13, 1710000000);
        if (sqlite3_step(st) != SQLITE_DONE) state.SkipWithError("insert failed");
        sqlite3_reset(st);
        ArticleDataFree(&adt);
    }
    (void)DbFinalize(&bench.db, st);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InsertRowsPrepared);

}  // namespace

BENCHMARK_MAIN();
