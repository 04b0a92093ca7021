// Test support: one overview line merged into a group's index the way
// exploration merges it from a server with the default settings, for tests,
// tools and benchmarks that fill indexes through the store.
//
// Threading: as AddOverviewLine (it takes the store locks itself).
#pragma once

#include "server/store/articles.h"

#include <string>

// Merges line (a tab-separated overview line, with or without CR LF) from
// server into the open index articles; indices serves the groups of its
// Xref. counters (may be null) add up the outcomes; seen (may be null)
// gains the server number. Returns AddOverviewLine's outcome, or a negative
// tDiag.
[[nodiscard]] int StoreOverviewLine(tIndices *indices, tArticles *articles, tLog *log, long server,
                                    const std::string &line, tAddCounters *counters = nullptr,
                                    tNumbers *seen = nullptr);
