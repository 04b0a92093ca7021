// mgprepstore: prepares a work directory for tests that run mergator, through
// the store's own functions (no hand-made SQL). Run in the work directory;
// reads commands from standard input, one per line:
//   active GROUP         the group is listed and active (its index is created)
//   inactive GROUP       the group is listed, inactive
//   article GROUP SERVER OVERVIEW-LINE   (tab-separated overview line, as a
//                        server sends it) merged into the group's index
// Exit status 0, or 1 after a message on standard error.
#include <cstdio>
#include <cstring>
#include <string>

#include "lib/log.h"
#include "server/store/articles.h"
#include "server/store/grouplist.h"
#include "server/store/indices.h"

namespace {

int Fail(const std::string &what, tDiag rc) {
    fprintf(stderr, "mgprepstore: %s: %s\n", what.c_str(), DiagText(rc));
    return 1;
}

}  // namespace

int main() {
    tLog log{};
    if (LogOpen(&log, "prepstore.log", 1 << 20) != E_OK) return Fail("log", E_OUT_OF_FILES);
    tGroupList list{};
    tDiag rc = GroupListOpen(nullptr, &list, &log, nullptr, nullptr);
    if (rc != E_OK) return Fail("group list", rc);
    tIndices *indices = nullptr;
    rc = IndicesCreate(&indices, false, &log, &articlesStoreOps);
    if (rc != E_OK) return Fail("index cache", rc);
    int status = 0;
    // The index of the last article's group stays open for the next one.
    tArticles *open = nullptr;
    std::string openGroup;
    char input[16384];
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
            if (open && group != openGroup) {
                IndicesRelease(open, 2);
                open = nullptr;
            }
            if (!open) {
                rc = ArticlesOpen(indices, group.c_str(), &log, true, &open, -1);
                if (rc != E_OK) {
                    status = Fail(line, rc);
                    break;
                }
                openGroup = group;
            }
            tArticles *articles = open;
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
            fprintf(stderr, "mgprepstore: unknown command %s\n", verb.c_str());
            status = 1;
        }
    }
    if (open) IndicesRelease(open, 2);
    IndicesClose(indices);
    GroupListClose(&list);
    LogClose(&log);
    return status;
}
