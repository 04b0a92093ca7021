// mgbulkstore: fills a work directory's group indexes for benchmarks, with
// the input of the tests' mgprepstore (lines "active GROUP" and "article
// GROUP SERVER OVERVIEW-LINE" on standard input) but keeping each index open
// for the whole input, so that 100,000 lines take seconds. Run in the work
// directory. Exit status 0, or 1 after a message on standard error.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "lib/log.h"
#include "server/store/articles.h"
#include "server/store/grouplist.h"
#include "server/store/indices.h"

namespace {

int Fail(const std::string &what, tDiag rc) {
    fprintf(stderr, "mgbulkstore: %s: %s\n", what.c_str(), DiagText(rc));
    return 1;
}

}  // namespace

int main() {
    tLog log{};
    if (LogOpen(&log, "bulkstore.log", 1 << 20) != E_OK) return Fail("log", E_OUT_OF_FILES);
    tGroupList list{};
    tDiag rc = GroupListOpen(nullptr, &list, &log, nullptr, nullptr);
    if (rc != E_OK) return Fail("group list", rc);
    tIndices *indices = nullptr;
    rc = IndicesCreate(&indices, false, &log, &articlesStoreOps);
    if (rc != E_OK) return Fail("index cache", rc);
    std::map<std::string, tArticles *> open;
    int status = 0;
    static char input[1 << 16];
    while (status == 0 && fgets(input, sizeof input, stdin)) {
        std::string line(input);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        size_t blank = line.find(' ');
        std::string verb = line.substr(0, blank);
        std::string rest = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (verb == "active") {
            rc = GroupLookup(&list, rest.c_str(), GL_INSERT, nullptr, true, false, nullptr, 1);
            if (rc != E_OK) status = Fail(line, rc);
        } else if (verb == "article") {
            size_t second = rest.find(' ');
            size_t third = second == std::string::npos ? second : rest.find(' ', second + 1);
            if (third == std::string::npos) {
                status = Fail(line, E_BAD_GROUP_NAME);
                break;
            }
            std::string group = rest.substr(0, second);
            long server = atol(rest.substr(second + 1, third - second - 1).c_str());
            std::string overview = rest.substr(third + 1) + "\r\n";
            tArticles *&articles = open[group];
            if (!articles && (rc = ArticlesOpen(indices, group.c_str(), &log, true, &articles, -1)) != E_OK) {
                status = Fail(line, rc);
                break;
            }
            tAddCounters counters{};
            tOverviewFixes fixes{};
            tOverviewAdd context;
            context.log = &log;
            context.serverId = server;
            context.articles = articles;
            context.counters = &counters;
            context.fixes = &fixes;
            context.indices = indices;
            long previous = 0;
            int outcome = AddOverviewLine(&context, overview.c_str(), &previous, false, {0, 2147483647});
            if (outcome < 0) status = Fail(line, outcome);
        } else if (!verb.empty()) {
            fprintf(stderr, "mgbulkstore: unknown command %s\n", verb.c_str());
            status = 1;
        }
    }
    for (auto &entry : open) {
        if (entry.second && ArticlesSync(entry.second) != E_OK) status = Fail("sync " + entry.first, E_SQL_FAILED);
        if (entry.second) IndicesRelease(entry.second, 2);
    }
    IndicesClose(indices);
    GroupListClose(&list);
    LogClose(&log);
    return status;
}
