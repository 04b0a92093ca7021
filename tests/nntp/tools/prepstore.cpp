// mgprepstore: prepares a work directory for tests and benchmarks that run
// mergator, through the store's own functions (no hand-made SQL). Run in the
// work directory; reads commands from standard input, one per line:
//   active GROUP         the group is listed and active (its index is created)
//   inactive GROUP       the group is listed, inactive
//   article GROUP SERVER OVERVIEW-LINE   (tab-separated overview line, as a
//                        server sends it) merged into the group's index
// The index of the last article's group stays open for the next article;
// with --bulk every group's index stays open, unsynced, until the end of
// the input, so that 100,000 lines take seconds.
// Exit status 0, or 1 after a message on standard error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "lib/log.h"
#include "server/store/articles.h"
#include "server/store/grouplist.h"
#include "server/store/indices.h"
#include "tests/support/storeline.h"

namespace {

int Fail(const std::string &what, tDiag rc) {
    fprintf(stderr, "mgprepstore: %s: %s\n", what.c_str(), DiagText(rc));
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    bool bulk = argc == 2 && strcmp(argv[1], "--bulk") == 0;
    if (argc > 1 && !bulk) {
        fprintf(stderr, "usage: mgprepstore [--bulk] < commands\n");
        return 1;
    }
    tLog log{};
    if (LogOpen(&log, "prepstore.log", 1 << 20) != E_OK) return Fail("log", E_OUT_OF_FILES);
    tGroupList list{};
    tDiag rc = GroupListOpen(nullptr, &list, &log, nullptr, nullptr);
    if (rc != E_OK) return Fail("group list", rc);
    tIndices *indices = nullptr;
    rc = IndicesCreate(&indices, false, &log, &articlesStoreOps);
    if (rc != E_OK) return Fail("index cache", rc);
    int status = 0;
    std::map<std::string, tArticles *> open;  // the indexes kept open, by group
    static char input[1 << 16];
    while (status == 0 && fgets(input, sizeof input, stdin)) {
        std::string line(input);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        size_t blank = line.find(' ');
        std::string verb = line.substr(0, blank);
        std::string rest = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (verb == "active" || verb == "inactive") {
            rc = GroupLookup(&list, rest.c_str(), GL_INSERT, nullptr, verb == "active", false, nullptr, 1);
            if (rc == E_OK && verb == "active") {
                tArticles *articles = nullptr;
                rc = ArticlesOpen(indices, rest.c_str(), &log, true, &articles, -1);
                if (rc == E_OK) IndicesRelease(articles, 2);
            }
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
            if (!bulk && !open.empty() && !open.count(group)) {
                IndicesRelease(open.begin()->second, 2);
                open.clear();
            }
            tArticles *&articles = open[group];
            if (!articles && (rc = ArticlesOpen(indices, group.c_str(), &log, true, &articles, -1)) != E_OK) {
                open.erase(group);
                status = Fail(line, rc);
                break;
            }
            int outcome = StoreOverviewLine(indices, articles, &log, server, overview);
            if (outcome < 0) status = Fail(line, outcome);
        } else if (!verb.empty()) {
            fprintf(stderr, "mgprepstore: unknown command %s\n", verb.c_str());
            status = 1;
        }
    }
    for (auto &entry : open) {
        if (ArticlesSync(entry.second) != E_OK) status = Fail("sync " + entry.first, E_SQL_FAILED);
        IndicesRelease(entry.second, 2);
    }
    IndicesClose(indices);
    GroupListClose(&list);
    LogClose(&log);
    return status;
}
