#include "tests/support/storeline.h"

int StoreOverviewLine(tIndices *indices, tArticles *articles, tLog *log, long server, const std::string &line,
                      tAddCounters *counters, tNumbers *seen) {
    tAddCounters local{};
    tOverviewFixes fixes{};
    tOverviewAdd context;
    context.log = log;
    context.serverId = server;
    context.articles = articles;
    context.seen = seen;
    context.counters = counters ? counters : &local;
    context.fixes = &fixes;
    context.indices = indices;
    long previous = 0;
    return AddOverviewLine(&context, line.c_str(), &previous, false, {0, 2147483647});
}
