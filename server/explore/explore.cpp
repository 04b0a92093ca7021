#include "server/explore/explore.h"

#include "lib/dates.h"
#include "lib/files.h"
#include "lib/panic.h"
#include "lib/shutdown.h"
#include "lib/sock.h"
#include "lib/tasks.h"
#include "server/explore/grouplists.h"
#include "server/explore/groupsel.h"
#include "server/explore/overview.h"
#include "server/explore/update.h"
#include "server/settings/settings.h"
#include "server/store/indices.h"
#include "server/store/newsrc.h"
#include "server/store/newsrcsweep.h"
#include "server/upstream/pool.h"
#include "server/upstream/servers.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <new>
#include <sys/stat.h>
#include <vector>

tExploreFilterOps exploreFilters{nullptr, nullptr};
tExploreSampleFn exploreSample = nullptr;

namespace {

constexpr int32_t NUMBER_MAX = INT32_MAX;

// ---------------------------------------------------------------------------
// The registry of live exploration copies

std::mutex registryLock;
std::set<tExplore *> registry;  // guarded by registryLock

void Register(tExplore *e) {
    std::lock_guard<std::mutex> guard(registryLock);
    registry.insert(e);
}

// Frees a copy and its server reference; a periodic copy clears the
// server's task handle.
void FreeCopy(tExplore *e) {
    {
        std::lock_guard<std::mutex> guard(registryLock);
        registry.erase(e);
    }
    if (e->server) {
        if (e->periodic) {
            std::lock_guard<std::mutex> guard(e->server->lock);
            e->server->exploreTask = 0;
        }
        ServerRelease(e->server);
    }
    delete e;
}

tLog *Journal(const tServers *servers) { return servers && servers->log ? servers->log : &journal; }

// ---------------------------------------------------------------------------
// Number set arithmetic on ranges

// out receives the numbers of a that are not in b (added to what it holds).
tDiag Difference(const tNumbers *a, const tNumbers *b, tNumbers *out) {
    int32_t j = 0;
    int32_t nb = NumbersRanges(b);
    for (int32_t i = 0; i < NumbersRanges(a); i++) {
        tRange r = *NumbersRange(a, i);
        int64_t low = r.low;
        while (j < nb && NumbersRange(b, j)->high < low) j++;
        int32_t k = j;
        while (low <= r.high) {
            if (k >= nb || NumbersRange(b, k)->low > r.high) {
                if (NumbersAdd(out, (int32_t)low, r.high) < 0) return E_OUT_OF_MEMORY;
                break;
            }
            const tRange *hole = NumbersRange(b, k);
            if (hole->low > low && NumbersAdd(out, (int32_t)low, hole->low - 1) < 0) return E_OUT_OF_MEMORY;
            low = (int64_t)hole->high + 1;
            k++;
        }
    }
    return E_OK;
}

int32_t FirstOf(const tNumbers *n) { return NumbersRange(n, 0)->low; }
int32_t LastOf(const tNumbers *n) { return NumbersRange(n, NumbersRanges(n) - 1)->high; }

struct tRemoveContext {
    long serverId;
    const tNumbers *vanished;
};

bool RemoveVanished(void *context, long server, long number) {
    const tRemoveContext *c = static_cast<const tRemoveContext *>(context);
    return server == c->serverId && number >= 0 && number <= NUMBER_MAX &&
           NumbersContains(c->vanished, (int32_t)number);
}

bool InList(const tIniStringArray &list, const char *name) {
    char **names = IniStrings(list);
    for (int i = 0; names && names[i]; i++) {
        if (strcasecmp(names[i], name) == 0) return true;
    }
    return false;
}

void Duration(char *buffer, int size, int64_t seconds) {
    if (DurationText(buffer, size, seconds, true) < 0) snprintf(buffer, (size_t)size, "%lld seconds", (long long)seconds);
}

// ---------------------------------------------------------------------------
// One group visit

struct tVisit {
    tGroupPass *pass;
    tServer *server;
    tNntp *nntp;
    tLog *log;
    const char *name;
    tNewsrcGroup record;
    bool isNew = false;
    int xoverOnEmpty = 1;         // the server's setting, off for a group considered empty
    tArticles *articles = nullptr;
};

// Asks GROUP whether the group still holds exactly the old numbers: the same
// count, the same first and last number. Then current receives a copy of old
// and listing every number is saved (a large group's listing costs far more
// than this one line). Any doubt (another answer, a failure) returns false
// and the numbers are listed as usual.
bool GroupUnchanged(tVisit *v, const tNumbers *old, tNumbers *current) {
    tNntp *nntp = v->nntp;
    if (!NntpConnected(nntp) || NumbersRanges(old) == 0) return false;
    char line[NNTP_GROUP_MAX + 64];
    if (snprintf(line, sizeof line, "GROUP %s\r\n", v->name) >= (int)sizeof line) return false;
    if (SendCommand(nntp, line) < 0) return false;
    if (ReadResponse(nntp, line, sizeof line, 60, "GROUP response") < 0) return false;
    long long count, low, high;
    int code;
    if (sscanf(line, "%d %lld %lld %lld", &code, &count, &low, &high) != 4 || code != 211) {
        nntp->group[0] = 0;
        return false;
    }
    snprintf(nntp->group, sizeof nntp->group, "%s", v->name);
    if (count != NumbersCount(old) || low != FirstOf(old) || high != LastOf(old)) return false;
    if (NumbersCopy(current, old) != E_OK) return false;
    LogMessage(v->log, "Group unchanged on server (%lld articles, %lld-%lld).\n", count, low, high);
    return true;
}

// Step 5: fills current with the numbers the server lists now. Returns
// E_OK (listing complete or the group's range used) or a result that ends
// the visit (*endVisit set).
tDiag ListNumbers(tVisit *v, tGroupRow *row, tNumbers *current, bool *endVisit) {
    tServer *server = v->server;
    tLog *log = v->log;
    long low = row->rangeLow, high = row->rangeHigh;
    bool rangeEmpty = high < low || (low == 0 && high == 0);
    bool complete = GroupUnchanged(v, &v->record.numbers, current);
    if (!complete && !server->isSlow && !(server->flags.load() & SF_NO_LISTGROUP)) {
        tNumberListing listing;
        listing.group = v->name;
        listing.numbers = current;
        listing.missingGroupIsNormal = high == 0;
        tDiag rc = ListGroupNumbers(v->nntp, &listing, v->pass->requester);
        if (rc == E_SHUTDOWN) {
            *endVisit = true;
            return rc;
        }
        if (rc == E_OK) {
            if (NumbersRanges(current) > 0 || rangeEmpty) {
                complete = true;
            } else {
                LogMessage(log, "LISTGROUP returned nothing, but group range is not empty, trying XHDR LINES\n");
            }
        }
    }
    if (!complete && !server->isSlow) {
        tNumberListing listing;
        listing.group = v->name;
        listing.numbers = current;
        listing.missingGroupIsNormal = high == 0 || rangeEmpty;
        tDiag rc = XhdrLinesNumbers(v->nntp, &listing, v->pass->requester);
        if (rc == E_SHUTDOWN) {
            *endVisit = true;
            return rc;
        }
        if (rc != E_OK && !NntpConnected(v->nntp)) {
            LogMessage(log, "Lost connection. Aborting group.\n");
            *endVisit = true;
            return rc;
        }
        if (rc == E_OK) {
            if (NumbersRanges(current) > 0 || rangeEmpty) {
                LogMessage(log, "Got article numbers thru XHDR LINES\n");
                complete = true;
            } else {
                LogMessage(log, "XHDR LINES returned nothing, but group range is not empty, using GROUP values.\n");
            }
        }
    }
    if (!complete) {
        if (low == 0 || high == 0) {
            tGroupSelection selection;
            selection.group = v->name;
            tDiag rc = SelectGroup(v->nntp, &selection, 1, GROUPSEL_RECONNECT_TIMEOUT, -1, 1, v->pass->requester);
            if (rc != E_OK) {
                *endVisit = true;
                return rc == E_SHUTDOWN ? E_SHUTDOWN : E_OK;
            }
            low = selection.low;
            high = selection.high;
            row->rangeLow = low;
            row->rangeHigh = high;
        }
        if (high >= low && NumbersAdd(current, (int32_t)low, (int32_t)high) < 0) {
            LogMessage(log, "Out of memory to add an article number interval\n");
            *endVisit = true;
            return E_OUT_OF_MEMORY;
        }
        LogMessage(log, "Got article numbers from LIST\n");
    }
    return E_OK;
}

// Step 7 with old numbers: forgets vanished numbers and fills wanted.
// Returns E_OK with *endVisit clear to go on fetching.
tDiag CompareNumbers(tVisit *v, tNumbers *old, tNumbers *current, tNumbers *wanted, bool *endVisit) {
    tLog *log = v->log;
    long f = FirstOf(old), L = LastOf(old);
    int64_t k = NumbersCount(old);
    if (k > 100000) LogMessage(log, "Warning, old range is unusually large (%ld-%ld, %ld articles).\n", f, L, (long)k);

    tNumbers vanished;
    NumbersInit(&vanished);
    tDiag rc = Difference(old, current, &vanished);
    if (rc != E_OK) {
        NumbersFree(&vanished);
        *endVisit = true;
        return rc;
    }
    int64_t gone = NumbersCount(&vanished);
    if (gone > 0) {
        for (int32_t i = 0; i < NumbersRanges(&vanished); i++) {
            const tRange *r = NumbersRange(&vanished, i);
            if (NumbersRemove(old, r->low, r->high) != E_OK) {
                LogMessage(log, "Error deleting ref %ld\n", (long)r->low);
                NumbersFree(&vanished);
                *endVisit = true;
                return E_OUT_OF_MEMORY;
            }
        }
        if (ShutdownRequested()) {
            LogMessage(log, "Shutdown while deleting newsrc entries not on server anymore\n");
            NumbersFree(&vanished);
            *endVisit = true;
            return E_SHUTDOWN;
        }
        tRemoveContext context{v->server->id, &vanished};
        char condition[64];
        snprintf(condition, sizeof condition, " AND servRefs LIKE '%% %d:%%'", v->server->id);
        int emptied = 0;
        long removed = ArticlesForEachRemoveIf(v->articles, RemoveVanished, &context, &emptied,
                                               v->server->zombies != 0, condition);
        if (removed < 0) LogMessage(log, "Could not remove vanished references: %s.\n", DiagText((tDiag)removed));
        if (gone == k) {
            LogMessage(log, "All %ld (%ld-%ld) articles vanished.\n", (long)gone, (long)FirstOf(&vanished),
                       (long)LastOf(&vanished));
        } else {
            LogMessage(log, "%ld (%ld-%ld) of %ld (%ld-%ld) articles vanished.\n", (long)gone,
                       (long)FirstOf(&vanished), (long)LastOf(&vanished), (long)k, f, L);
        }
    } else {
        LogMessage(log, "All %ld articles still there (%ld-%ld).\n", (long)k, f, L);
    }
    NumbersFree(&vanished);

    tNumbers fresh;
    NumbersInit(&fresh);
    rc = Difference(current, old, &fresh);
    if (rc != E_OK) {
        NumbersFree(&fresh);
        *endVisit = true;
        return rc;
    }
    if (NumbersRanges(&fresh) == 0) {
        if (NumbersRanges(current) == 0) {
            LogMessage(log, "Group now empty on server.\n");
        } else {
            LogMessage(log, "Already have all remaining articles (%ld-%ld).\n", (long)FirstOf(current),
                       (long)LastOf(current));
        }
        NumbersFree(&fresh);
        *endVisit = true;
        return E_OK;
    }
    long firstNew = FirstOf(&fresh);
    long beyond = -1;
    for (int32_t i = 0; i < NumbersRanges(&fresh) && beyond < 0; i++) {
        tRange r = *NumbersRange(&fresh, i);
        if (r.low > L) {
            beyond = r.low;
            break;
        }
        int32_t top = r.high > L ? (int32_t)L : r.high;
        if (NumbersAdd(wanted, r.low, top) < 0) {
            NumbersFree(&fresh);
            *endVisit = true;
            return E_OUT_OF_MEMORY;
        }
        if (r.high > L) beyond = L + 1;
    }
    NumbersFree(&fresh);
    int64_t g = NumbersCount(wanted);
    long lastCurrent = LastOf(current);
    int64_t upTo = g + (beyond >= 0 ? (int64_t)lastCurrent - beyond + 1 : 0);
    LogMessage(log, "Article %ld is first new (%ld-%ld), up to %ld new articles.\n", firstNew,
               (long)FirstOf(current), lastCurrent, (long)upTo);
    if (g != 0) {
        LogMessage(log, "%ld articles appeared in %d ranges before the previous last one.\n", (long)g,
                   (int)NumbersRanges(wanted));
        if (beyond >= 0) {
            LogMessage(log, "Article %ld is first beyond previous last one.\n", beyond);
        } else {
            LogMessage(log, "No new articles beyond previous last one.\n");
        }
        int merged = NumbersCollapseWith(wanted, v->server->numbersCollapseMinDistance,
                                         v->server->numbersCollapseMaxRanges, numbersCollapseMinDistance,
                                         numbersCollapseMaxRanges);
        if (merged > 0) {
            LogMessage(log, "Collapsed %d neighboring ranges, now have %d ranges.\n", merged,
                       (int)NumbersRanges(wanted));
        }
    }
    if (beyond >= 0 && NumbersAdd(wanted, (int32_t)beyond, NUMBER_MAX) < 0) {
        *endVisit = true;
        return E_OUT_OF_MEMORY;
    }
    return E_OK;
}

int OutcomeSum(const tAddCounters *c) {
    return c->newArticles + c->dup + c->phoenix + c->reget + c->alreadyDeleted + c->tooOld + c->filteredOut +
           c->hidden + c->bad;
}

// Step 9: numbers listed by the server without overview data.
void Complete(tVisit *v, tNumbers *old, const tNumbers *current) {
    tLog *log = v->log;
    if (NumbersRanges(current) == 0) return;
    int64_t maxOld = NumbersRanges(old) > 0 ? LastOf(old) : -1;
    int64_t lacking = 0, fakes = 0;
    tNumbers walked;
    NumbersInit(&walked);
    for (int32_t i = 0; i < NumbersRanges(current); i++) {
        tRange r = *NumbersRange(current, i);
        if (r.low > maxOld) break;
        if (r.high > maxOld) r.high = (int32_t)maxOld;
        if (NumbersAdd(&walked, r.low, r.high) < 0) break;
    }
    tNumbers missing;
    NumbersInit(&missing);
    if (Difference(&walked, old, &missing) == E_OK) {
        int64_t count = NumbersCount(&missing);
        if (v->server->useFakes) {
            for (int32_t i = 0; i < NumbersRanges(&missing); i++) {
                if (NumbersAdd(old, NumbersRange(&missing, i)->low, NumbersRange(&missing, i)->high) < 0) break;
            }
            fakes = count;
        } else {
            lacking = count;
        }
    }
    NumbersFree(&missing);
    NumbersFree(&walked);
    if (LastOf(current) > maxOld) {
        tNumbers rest;
        NumbersInit(&rest);
        int64_t from = maxOld + 1;
        if (NumbersAdd(&rest, (int32_t)(from < 0 ? 0 : from), NUMBER_MAX) >= 0) {
            tNumbers notWalked;
            NumbersInit(&notWalked);
            // current ∩ [from, max] = current − (current − [from, max])
            tNumbers below;
            NumbersInit(&below);
            if (Difference(current, &rest, &below) == E_OK && Difference(current, &below, &notWalked) == E_OK &&
                NumbersRanges(&notWalked) > 0) {
                LogMessage(log, "Missing overview data for last %ld articles (%ld-%ld).\n",
                           (long)NumbersCount(&notWalked), (long)FirstOf(&notWalked), (long)LastOf(current));
            }
            NumbersFree(&below);
            NumbersFree(&notWalked);
        }
        NumbersFree(&rest);
    }
    if (lacking > 0) {
        LogMessage(log, "%d articles lacked descriptions.\n", (int)lacking);
    } else if (fakes > 0) {
        LogMessage(log, "Added %d fake numbers, total now %ld\n", (int)fakes, (long)NumbersCount(old));
    }
}

// Steps 6-9: the index, the comparison, the overview and its completion.
tDiag VisitWithRecord(tVisit *v, tGroupRow *row, tNumbers *current) {
    tGroupPass *pass = v->pass;
    tLog *log = v->log;
    tNumbers *old = &v->record.numbers;

    bool useServerNumber = pass->useServerNumber != 0;
    if (useServerNumber) {
        std::string path;
        if (IndexPath(v->name, &path) == E_OK && FileExists(path.c_str())) {
            LogMessage(log, "Group already in index, will not sync article numbers for it.\n");
            useServerNumber = false;
        }
    }
    tDiag rc = ArticlesOpen(pass->indices, v->name, log, true, &v->articles, -1);
    if (rc != E_OK) {
        v->articles = nullptr;
        LogMessage(log, "Could not access group's index (%s), skipping to next one.\n", DiagText(rc));
        if (rc == E_OUT_OF_MEMORY || rc == E_OUT_OF_FILES || rc == E_DISK_WRITE) pass->resourceExhaustions++;
        return E_OK;
    }

    tNumbers wanted;
    NumbersInit(&wanted);
    bool endVisit = false;
    if (NumbersRanges(old) == 0) {
        if (!pass->quiet) {
            char text[160];
            int n = snprintf(text, sizeof text, "%s group", v->isNew ? "New" : "Previously empty");
            long low = row->rangeLow, high = row->rangeHigh;
            if ((low != 0 || high != 0) && high - low + 1 >= 0) {
                n += snprintf(text + n, sizeof text - (size_t)n, ", up to %ld articles", high - low + 1);
                if (high - low + 1 > 0) snprintf(text + n, sizeof text - (size_t)n, " (%ld-%ld)", low, high);
            }
            LogMessage(log, "%s.\n", text);
        }
        if (NumbersAdd(&wanted, 0, NUMBER_MAX) < 0) rc = E_OUT_OF_MEMORY, endVisit = true;
    } else {
        rc = CompareNumbers(v, old, current, &wanted, &endVisit);
    }

    if (!endVisit) {
        bool listedEmpty = row->rangeHigh == 0 || row->rangeHigh < row->rangeLow;
        if (!v->xoverOnEmpty && listedEmpty) {
            LogMessage(log, "No articles, not performing XOVER\n");
        } else {
            rc = E_OK;
            if (!useServerNumber) {
                tRange range;
                long count;
                ArticlesLock(v->articles);
                ArticlesGetRange(v->articles, &range, &count);
                ArticlesUnlock(v->articles);
                if (range.high > 1000 && NumbersCount(&wanted) < 2 * (int64_t)count) {
                    tAddCounters refs{};
                    rc = MatchByMessageId(pass->nntp, v->articles, &wanted, old, v->name, pass->requester, &refs);
                    if (OutcomeSum(&refs) > 0) ReportCounters(&refs, "server refs", log);
                }
            }
            if (rc == E_OK) {
                tAddCounters counters{};
                tOverviewFixes fixes{};
                tOverviewJob job;
                job.nntp = pass->nntp;
                job.articles = v->articles;
                job.wanted = &wanted;
                job.seen = old;
                job.counters = &counters;
                job.fixes = &fixes;
                job.useServerNumber = useServerNumber;
                job.indices = pass->indices;
                job.filters = pass->filters;
                rc = FetchOverview(&job, pass->requester);
                (void)ArticlesSync(v->articles);
                if (rc == E_OK) {
                    if (OutcomeSum(&counters) > 0) ReportCounters(&counters, "full article descriptions", log);
                    OverviewFixReport(&fixes, log);
                }
            }
            if (rc == E_OK) Complete(v, old, current);
        }
    }
    NumbersFree(&wanted);
    return rc;
}

}  // namespace

// ---------------------------------------------------------------------------
// Group visits

tDiag ExploreGroup(tGroupRow *row, void *passArg, long index, long count) {
    tGroupPass *pass = static_cast<tGroupPass *>(passArg);
    tNntp *nntp = pass->nntp;
    tLog *log = nntp->log;
    tServer *server = nntp->server;
    const char *name = row->groupName.c_str();

    if (!pass->assumeInternetPresent && LocalOnlyCheck() != 0) return E_SOCKET;
    {
        const char *prefix = log ? log->prefix : nullptr;
        if (log) log->prefix = nullptr;
        LogMessage(log, "%s  (%d remain)\n", name, (int)(count - index - 1));
        if (log) log->prefix = prefix;
    }
    if (InList(server->ignoreGroup, name)) {
        LogMessage(log, "Group is Ignored on this server, skipping it.\n");
        return E_OK;
    }

    tVisit v;
    v.pass = pass;
    v.server = server;
    v.nntp = nntp;
    v.log = log;
    v.name = name;
    tDiag rc = NewsrcRead(pass->newsrc, name, true, &v.record);
    if (rc != E_OK) {
        LogMessage(log, "Error when loading old numbers from newsrc: %s.\n", DiagText(rc));
        return rc;
    }
    v.isNew = v.record.lastExploreSecs == 0;

    tNumbers current;
    NumbersInit(&current);
    bool listedEmpty = false;
    if (pass->skipEmptyGroups && row->rangeHigh < row->rangeLow) {
        LogMessage(log, "Considering group as empty.\n");
        listedEmpty = true;
    }
    bool endVisit = false;
    if (NumbersRanges(&v.record.numbers) > 0 && !listedEmpty) rc = ListNumbers(&v, row, &current, &endVisit);
    v.xoverOnEmpty = listedEmpty ? 0 : server->xoverOnEmpty;
    if (!endVisit) rc = VisitWithRecord(&v, row, &current);
    NumbersFree(&current);

    // Step 10: record the visit. The group's index was committed after its
    // overview, so the record never claims numbers the index lacks; the
    // newsrc itself is committed every few seconds (a crash costs at most a
    // refetch of what those seconds brought).
    time_t now = time(nullptr);
    if (v.isNew && rc == E_NO_SUCH_GROUP) {
        NewsrcMarkDelete(&v.record);
    } else {
        v.record.lastExploreSecs = (long)now;
        v.record.flags |= NEWSRC_MODIFIED;
    }
    tDiag wrc = NewsrcWrite(pass->newsrc, &v.record);
    if (wrc != E_OK && rc == E_OK) rc = wrc;
    if (now - pass->lastCheckpoint >= NEWSRC_CHECKPOINT_SECONDS) {
        (void)NewsrcCheckpoint(pass->newsrc);
        pass->lastCheckpoint = now;
    }
    if (v.articles) IndicesRelease(v.articles, 0);
    if ((rc == E_NO_SUCH_GROUP || rc == E_GROUP_TEMP || rc == E_XOVER_EOFS) && !pass->quiet) {
        LogMessage(log, "Ignoring error and continuing with next group.\n");
        {
            std::lock_guard<std::mutex> guard(server->lock);
            server->lastFailedConnectTime = 0;
        }
        rc = E_OK;
    }
    return rc;
}

long GroupScore(const tGroupRow *row, void *contextArg) {
    tGroupScoreContext *context = static_cast<tGroupScoreContext *>(contextArg);
    const char *name = row->groupName.c_str();
    long kiloBytes = context->popularity ? GroupKiloBytes(context->popularity, name) : 0;
    long base = INT32_MAX;
    if (context->newsrc) {
        tNewsrcGroup record;
        if (NewsrcRead(context->newsrc, name, false, &record) == E_OK) {
            base = record.lastExploreSecs;
            NewsrcGroupFree(&record);
        }
    }
    return base - kiloBytes;
}

void ReportCounters(const tAddCounters *c, const char *label, tLog *log) {
    std::string text = "Got " + std::to_string(OutcomeSum(c)) + " " + label;
    const struct {
        int value;
        const char *name;
    } outcomes[] = {{c->newArticles, "new"},     {c->dup, "dup"},       {c->phoenix, "phoenix"},
                    {c->reget, "reget"},         {c->alreadyDeleted, "already deleted"},
                    {c->tooOld, "too old"},      {c->filteredOut, "filtered out"},
                    {c->hidden, "hidden"},       {c->bad, "bad"}};
    for (const auto &o : outcomes) {
        if (o.value) text += ", " + std::to_string(o.value) + " " + o.name;
    }
    LogMessage(log, "%s.\n", text.c_str());
    const struct {
        int value;
        const char *name;
    } xrefs[] = {{c->xref.missing, "missing"},     {c->xref.corrupted, "corrupted"},
                 {c->xref.aliases, "aliases"},     {c->xref.self, "self"},
                 {c->xrefNew, "new"},              {c->notActive, "not active"},
                 {c->hadAlready, "had already"},   {c->xref.mismatches, "mismatches"},
                 {c->indexErrors, "index errors"}, {c->additionErrors, "addition errors"},
                 {c->articleDataErrors, "article data errors"}};
    int sum = 0;
    for (const auto &x : xrefs) sum += x.value;
    if (sum == 0) return;
    text = "Processed " + std::to_string(sum) + " x-refs";
    for (const auto &x : xrefs) {
        if (x.value) text += ", " + std::to_string(x.value) + " " + x.name;
    }
    LogMessage(log, "%s.\n", text.c_str());
}

int NextExploreDelay(tDiag result) {
    switch (result) {
    case E_OK:
    case E_BAD_AUTH:
    case E_TOO_FEW_ARTICLES:
    case E_ALL_ARTICLES_REFUSED:
    case E_XOVER_REFUSED:
        return 7200;
    case E_SHUTDOWN:
    case E_PATH_TOO_LONG:
    case E_BAD_PROXY_ID:
        return -1;
    case E_OUT_OF_FILES:
    case E_OUT_OF_MEMORY:
    case E_STILL_RUNNING:
        return 60;
    case E_NONE:
        return 0;
    case E_HOST_NOT_FOUND:
    case E_HOST_UNREACHABLE:
    case E_POST_EOFS:
    case E_XOVER_EOFS:
    case E_GROUP_EOFS:
        return 600;
    case E_TCP_REFUSED:
    case E_CONNECT_EOFS:
    case E_LIST_REFUSED:
    case E_LIST_REFUSED_TEMP:
    case E_LIST_ACTIVE_TIMEOUTS:
    case E_XGTITLE_TIMEOUTS:
    case E_LIST_TIMEOUTS:
        return 1800;
    case E_SERVER_OVERLOADED:
    case E_NO_CONNECTION:
        return 10;
    case E_TOO_MANY_CONNECTIONS:
    case E_SERVER_MAINTAINED:
    case E_FAILURE_TOO_RECENT:
    case E_XOVER_FAILED:
        return 300;
    case E_NO_GROUPS:
        return 900;
    case E_NO_INTERESTING_GROUPS:
        return 18000;
    case E_NO_ACTIVE_GROUPS:
        return 43200;
    case E_GROUP_REFUSED:
        return 1200;
    case E_ARTICLE_REFUSED:
        return 10800;
    default:
        return 3600;
    }
}

// ---------------------------------------------------------------------------
// One exploration of one server

namespace {

// The state of one ExploreServer call.
struct tExploreRun {
    tExplore *e = nullptr;
    tServer *server = nullptr;
    tServerDynamic *dyn = nullptr;
    tLog log{};
    char logPath[SERVER_NAME_MAX + 16] = {};
    tRequester requester{};
    tServerConnection *sc = nullptr;
    tNntp *nntp = nullptr;
    tActualList actual{};
    bool actualOpen = false;
    tDb newsrc{};
    bool newsrcOpen = false;
    tListQuery query{};
    bool newOnly = false;
    int samples = 0;
    int resourceExhaustions = 0;
};

int StoreInNewsrc(tGroupRow *row, void *context, long, long) {
    tNewsrcGroup record;
    tDiag rc = NewsrcRead(static_cast<tDb *>(context), row->groupName.c_str(), true, &record);
    if (rc != E_OK) return rc;
    return NewsrcWrite(static_cast<tDb *>(context), &record);
}

int AddNewsrcGroup(tNewsrcGroup *record, void *context) {
    tExploreRun *r = static_cast<tExploreRun *>(context);
    tDiag rc = ActualAddName(&r->actual, record->groupName);
    r->query.listed++;
    // A name the settings refuse now simply is not explored.
    if (rc == E_GROUP_UNWANTED || rc == E_BAD_GROUP_NAME || rc == E_TREE_DUPLICATE) return E_OK;
    return rc;
}

// Why a full groups.yes sweep is due, or null.
const char *SweepReason(tExploreRun *r) {
    if (r->e->sweepRequested) return "requested";
    int32_t last = r->dyn->lastGroupYesScanTime;
    if (last == 0) return "last groups.yes scan time not known";
    struct stat st;
    if (!updateMergatorIni && stat("etc/mergator.ini", &st) == 0 && st.st_mtime >= last) return "etc/mergator.ini updated";
    if (time(nullptr) - last >= 86401) return "last groups.yes scan is old";
    long count = NewsrcCount(&r->newsrc);
    if (count == 0) return "no groups in newsrc file";
    return nullptr;
}

// Step 5 and 6: the group list into the actual list.
tDiag GroupListPhase(tExploreRun *r, bool retry) {
    tExplore *e = r->e;
    tLog *log = &r->log;
    if (e->oneGroup[0]) {
        tDiag rc = ActualAddName(&r->actual, e->oneGroup);
        if (rc != E_OK) LogMessage(log, "Group %s cannot be explored: %s.\n", e->oneGroup, DiagText(rc));
        r->query.listed++;
        r->newOnly = true;
        return E_OK;
    }
    time_t start = time(nullptr);
    if (!e->minimal && !r->newsrcOpen) {
        tDiag rc = NewsrcOpen(&r->newsrc, r->server->diskName, log);
        if (rc != E_OK) return SetDiag(r->nntp, rc, "Could not read old ranges from newsrc");
        r->newsrcOpen = true;
    }
    bool sweep = e->minimal || retry;
    if (!sweep) {
        const char *reason = SweepReason(r);
        if (reason) {
            LogMessage(log, "Performing a full groups.yes sweep (%s).\n", reason);
            sweep = true;
        }
    }
    if (!sweep) {
        int rc = NewsrcForEachGroup(&r->newsrc, AddNewsrcGroup, r, log, false);
        if (rc < 0) return (tDiag)rc;
        LogMessage(log, "Last full groups.yes sweep is recent, asking about new groups only.\n");
        r->query.pattern = "*";
        r->query.since = start;
        rc = QueryGroupList(&r->query);
        r->query.since = 0;
        if (rc == E_OK) {
            r->newOnly = true;
            return E_OK;
        }
        if (rc == E_SHUTDOWN) return E_SHUTDOWN;
        LogMessage(log, "Error during NEWGROUPS: %s.\n", DiagText((tDiag)rc));
    }

    static const char *const all[] = {"*", nullptr};
    const char *const *patterns = e->groupList && e->groupList->yes && e->groupList->yes[0] ? e->groupList->yes : all;
    for (int i = 0; patterns[i]; i++) {
        r->query.pattern = patterns[i];
        tDiag rc = QueryGroupList(&r->query);
        if (rc != E_OK) {
            LogMessage(log, "Error during groups.yes sweep: %s.\n", DiagText(rc));
            return rc;
        }
    }
    if (retry) r->server->flags.fetch_and(~SF_ALWAYS_LIST);
    if (!e->minimal) {
        tDiag rc = ActualForEachActive(&r->actual, StoreInNewsrc, &r->newsrc);
        if (rc != E_OK && rc != E_NO_ACTIVE_GROUPS) {
            LogMessage(log, "Error when storing active groups to newsrc file: %s.\n", DiagText(rc));
            return rc;
        }
        r->dyn->lastGroupYesScanTime = (int32_t)start;
        (void)NewsrcCheckpoint(&r->newsrc);
    }
    r->newOnly = false;
    return E_OK;
}

// Step 7: the listgroupGroup names, the LIST cache and the list in the log.
void ListReport(tExploreRun *r) {
    tLog *log = &r->log;
    char **names = IniStrings(r->server->listgroupGroup);
    for (int i = 0; names && names[i]; i++) {
        LogMessage(log, "Added group %s to list.\r\n", names[i]);
        if (ActualAddName(&r->actual, names[i]) == E_OK) r->query.listed++;
    }
    (void)ListCacheRemove(r->server);
    if (r->e->oneGroup[0]) return;
    long all = ActualCount(&r->actual);
    long active = ActualActiveCount(&r->actual);
    bool allListed = false;
    if (r->newOnly) {
        LogMessage(log, "New groups on server:\n");
        ActualListStates(&r->actual, true);
    } else if (all <= 0 || r->e->minimal) {
        LogMessage(log, "Total unique and clean groups: %ld\n", all < 0 ? 0 : all);
        ActualListStates(&r->actual, true);
        allListed = true;
    } else if (all > 299) {
        LogMessage(log, "Active groups present on server:\n");
        ActualListStates(&r->actual, false);
    } else {
        LogMessage(log, "Groups present on server: %ld\n", all);
        ActualListStates(&r->actual, true);
        allListed = true;
    }
    if (allListed && active > 0) {
        LogMessage(log, "Active groups present on server:\n");
        ActualListStates(&r->actual, false);
    }
}

// Step 8: the result of the group list.
tDiag ListResult(tExploreRun *r) {
    tLog *log = &r->log;
    long all = ActualCount(&r->actual);
    if (all <= 0) return r->query.listed != 0 ? E_NO_INTERESTING_GROUPS : E_NO_GROUPS;
    long active = ActualActiveCount(&r->actual);
    if (active > 0 && !r->e->oneGroup[0] && !r->newOnly) {
        long fullActive = r->e->groupList ? GroupCount(r->e->groupList, true) : 0;
        LogMessage(log, "%ld active groups are %ld%% of total offered and satisfy %ld%% of demand.\n", active,
                   active * 100 / all, fullActive > 0 ? active * 100 / fullActive : 0);
    }
    if (r->e->oneGroup[0]) return E_OK;
    bool enough = false;
    tGroupListIterator it;
    if (GroupIterStart(&it, &r->actual.list, false, 0, nullptr, nullptr, true) == E_OK) {
        while (!enough && GroupIterNext(&it) > 0) enough = it.row.rangeHigh - it.row.rangeLow >= 9;
        GroupIterEnd(&it);
    }
    return enough ? E_OK : E_TOO_FEW_ARTICLES;
}

// Step 9: minimal mode samples a few articles.
tDiag Sample(tExploreRun *r) {
    tLog *log = &r->log;
    tNntp *nntp = r->nntp;
    struct tCandidate {
        std::string name;
        long high;
    };
    std::vector<tCandidate> groups;
    long listedGroups = 0;
    tGroupListIterator it;
    if (GroupIterStart(&it, &r->actual.list, false, 0, nullptr, nullptr, true) == E_OK) {
        while (GroupIterNext(&it) > 0) {
            listedGroups++;
            if (it.row.rangeHigh != 0 && it.row.rangeHigh >= it.row.rangeLow)
                groups.push_back({it.row.groupName, it.row.rangeHigh});
        }
        GroupIterEnd(&it);
    }
    int abandoned = 0;
    for (size_t g = 0; g < groups.size() && r->samples < 20 && abandoned < 100; g++) {
        long high = groups[g].high;
        const char *name = groups[g].name.c_str();
        int failures = 0;
        for (;;) {
            if (ShutdownRequested()) return E_SHUTDOWN;
            LogMessage(log, "\nSampling article %ld from %s\n", high, name);
            tDiag rc = exploreSample ? exploreSample(nntp, name, high) : E_ARTICLE_REFUSED;
            if (rc == E_OK) {
                r->samples++;
                break;
            }
            if (rc == E_SHUTDOWN) return E_SHUTDOWN;
            LogMessage(log, "Failed to obtain sample article: %s.\n", DiagText(rc));
            if (!NntpConnected(nntp)) {
                abandoned++;
                break;
            }
            if (++failures > 10) {
                LogMessage(log, "Not trying to get an article from %s anymore.\n", name);
                abandoned++;
                break;
            }
            if (rc != E_ARTICLE_DELETED) {
                abandoned++;
                break;
            }
            char line[512];
            if (SendCommand(nntp, "LAST\r\n") < 0 || ReadResponse(nntp, line, sizeof line, 60, "LAST response") < 0) {
                abandoned++;
                break;
            }
            int code = ReplyCode(line);
            if (code == 422) {
                abandoned++;
                break;
            }
            if (code == 223) {
                int c;
                long number;
                if (sscanf(line, "%d %ld", &c, &number) == 2 && number != high) {
                    high = number;
                    continue;
                }
                abandoned++;
                break;
            }
            high--;
        }
    }
    if (r->samples == 0) return E_ALL_ARTICLES_REFUSED;
    if (r->samples < 20 && r->samples < listedGroups / 4.0) return E_TOO_FEW_ARTICLES;
    return E_OK;
}

// Step 10: the group visits.
tDiag VisitGroups(tExploreRun *r, bool retried, bool *retryList) {
    tExplore *e = r->e;
    tLog *log = &r->log;
    tServer *server = r->server;
    *retryList = false;
    if (!r->newsrcOpen) {
        tDiag rc = NewsrcOpen(&r->newsrc, server->diskName, log);
        if (rc != E_OK) return SetDiag(r->nntp, rc, "Could not read old ranges from newsrc");
        r->newsrcOpen = true;
    }
    long inNewsrc = NewsrcCount(&r->newsrc);
    tDiag rc;
    if (r->query.listed != 0 || inNewsrc == 0) {
        if (!e->oneGroup[0]) {
            tNewsrcSweep sweep;
            sweep.serverId = server->id;
            sweep.zombies = server->zombies;
            sweep.indices = e->indices;
            sweep.actual = &r->actual;
            sweep.newsrc = &r->newsrc;
            sweep.log = log;
            sweep.fullList = e->groupList;
            int swept = NewsrcForEachGroup(&r->newsrc, NewsrcSweepGroup, &sweep, log, false);
            if (swept == E_SHUTDOWN) return E_SHUTDOWN;
            if (sweep.deleted || sweep.errors) LogMessage(log, "\n");
            tGroupScoreContext score{&r->newsrc, e->popularity};
            (void)ActualScore(&r->actual, GroupScore, &score);
        }
        int filterCount = 0;
        const tArticleHooks *filters = nullptr;
        if ((alwaysFilter || server->filterArticles) && exploreFilters.load) {
            filters = exploreFilters.load(e, log, &filterCount);
            if (filterCount > 0) LogMessage(log, "Have %d filters.\n", filterCount);
        }
        tGroupPass pass;
        pass.nntp = r->nntp;
        pass.indices = e->indices;
        pass.newsrc = &r->newsrc;
        pass.skipEmptyGroups = e->skipEmptyGroups;
        pass.useServerNumber = e->useServerNumber;
        pass.quiet = e->oneGroup[0] != 0;
        pass.filters = filters;
        pass.requester = &r->requester;
        pass.assumeInternetPresent = e->assumeInternetPresent;
        pass.lastCheckpoint = time(nullptr);
        log->prefix = "\t";
        rc = ActualForEachActive(&r->actual, ExploreGroup, &pass);
        log->prefix = nullptr;
        if (filters && exploreFilters.release) exploreFilters.release(filters);
        if (rc == E_NO_ACTIVE_GROUPS) SetDiag(r->nntp, E_NO_ACTIVE_GROUPS, nullptr);
        if (quitAfter) Quit(r->nntp);
        (void)NewsrcCheckpoint(&r->newsrc);
        NewsrcClose(&r->newsrc);
        r->newsrcOpen = false;
        r->resourceExhaustions += pass.resourceExhaustions;
        return rc;
    }
    // Nothing listed although the newsrc holds groups.
    long count = ActualCount(&r->actual);
    if (count != 0) Panic("GroupsActualTotalCount (gap) == 0", __FILE__, __LINE__);
    char line[512];
    rc = E_NO_GROUPS;
    bool answered = SendCommand(r->nntp, "CHECK <0>\r\n") >= 0 &&
                    ReadResponse(r->nntp, line, sizeof line, 60, "CHECK response") >= 0;
    if (answered && ReplyCode(line) == 480) {
        rc = FailWithLog(r->nntp, E_BAD_AUTH, "Authentication required to get a non-empty group list");
    } else if (server->listPreferred || (server->flags.load() & SF_ALWAYS_LIST) || retried) {
        rc = FailWithLog(r->nntp, E_NO_GROUPS, "All groups vanished from server - will rescan later");
    } else {
        LogMessage(log, "All groups vanished from server - checking full list.\n");
        server->flags.fetch_or(SF_ALWAYS_LIST);
        *retryList = true;
        return E_OK;
    }
    Quit(r->nntp);
    return rc;
}

}  // namespace

tDiag ExploreServer(tExplore *e) {
    tServer *server = e->server;
    if (!server) Panic("explore->server", __FILE__, __LINE__);
    tServers *servers = e->servers ? e->servers : server->servers;
    if (ShutdownRequested()) return E_SHUTDOWN;
    tServerDynamic spare;
    tExploreRun run;
    tExploreRun *r = &run;
    r->e = e;
    r->server = server;
    r->dyn = server->dynamic ? server->dynamic : &spare;
    time_t now = time(nullptr);
    bool skipped = false;
    {
        std::lock_guard<std::mutex> guard(server->lock);
        if (server->exploreState) return E_STILL_RUNNING;
        if (e->deferred && !e->oneGroup[0]) {
            e->deferred = 0;
            skipped = r->dyn->lastExploreDiag == E_OK && now - r->dyn->lastExploreTime < 6000;
        }
        if (!skipped) server->exploreState = e;
    }
    if (skipped) {
        // Minimal mode still counts the server, or the run would never end.
        if (e->minimal) ServerExplored(servers);
        return E_OK;
    }

    tDiag rc = E_OK;
    bool logOpen = false;
    if (snprintf(r->logPath, sizeof r->logPath, "explore/%s", server->diskName) >= (int)sizeof r->logPath) {
        rc = E_PATH_TOO_LONG;
    } else if (LogOpen(&r->log, r->logPath, EXPLORE_LOG_MAX_SIZE) != E_OK) {
        rc = E_OUT_OF_FILES;
    } else {
        logOpen = true;
    }
    tLog *log = logOpen ? &r->log : Journal(servers);
    r->requester = tRequester{r->logPath, priorityExplore, KIND_EXPLORE};

    if (logOpen) {
        // Step 3: the header.
        tServerDynamic *d = r->dyn;
        char text[96];
        if (e->oneGroup[0]) {
            LogMessage(log, "Exploring group %s\n", e->oneGroup);
        } else {
            LogMessage(log, "Exploring all groups.\n");
        }
        if (d->okExplores || d->failedExplores)
            LogMessage(log, "Had %d ok explores and %d failed explores.\n", d->okExplores, d->failedExplores);
        const struct {
            int32_t when;
            const char *format;
        } times[] = {{d->lastExploreTime, "Last explore was %s ago.\n"},
                     {d->lastOkExploreTime, "Last OK explore was %s ago.\n"},
                     {d->lastFailedExploreTime, "Last failed explore was %s ago.\n"}};
        for (const auto &t : times) {
            if (!t.when) continue;
            Duration(text, sizeof text, now - t.when);
            LogMessage(log, t.format, text);
        }
        if (d->lastExploreDiag != E_OK && d->lastExploreDiag != E_NONE) {
            Duration(text, sizeof text, NextExploreDelay(d->lastExploreDiag));
            LogMessage(log, "Last explore ended with status '%s' (%s till next).\n", DiagText(d->lastExploreDiag),
                       text);
        }

        // Step 4: a connection and a fresh actual list.
        LogMessage(log, "Requesting a connection to %s.\n", server->displayName);
        rc = RequestConnection(server, &r->requester, log, -1, CancelSocketGet(), &r->sc);
        if (rc != E_OK) r->sc = nullptr;
    }
    if (r->sc) {
        r->nntp = &r->sc->nntp;
        r->nntp->bytesSent = 0;
        r->nntp->bytesReceived = 0;
        r->nntp->reconnects = 0;
        rc = ActualListCreate(&r->actual, server->diskName, log, e->groupList, server->id);
        if (rc == E_OK) {
            r->actualOpen = true;
            r->query.nntp = r->nntp;
            r->query.requester = &r->requester;
            r->query.actual = &r->actual;
            bool retried = false;
            for (;;) {
                rc = GroupListPhase(r, retried);
                if (rc != E_OK) break;
                ListReport(r);
                rc = ListResult(r);
                bool empty = rc == E_NO_GROUPS || rc == E_NO_INTERESTING_GROUPS;
                if (e->minimal) {
                    if (!empty) rc = Sample(r);
                    break;
                }
                bool retryList = false;
                tDiag visited = VisitGroups(r, retried, &retryList);
                if (retryList && !retried) {
                    retried = true;
                    continue;
                }
                // A list without groups keeps its own result.
                if (!empty || visited == E_SHUTDOWN || visited == E_BAD_AUTH) rc = visited;
                break;
            }
        }
        // Step 11.
        if (r->newsrcOpen) NewsrcClose(&r->newsrc);
        if (r->actualOpen) ActualListClose(&r->actual);
        if (e->minimal || rc == E_LIST_REFUSED) Quit(r->nntp);
        LogMessage(log, "Connection %sclosed.\n", NntpConnected(r->nntp) ? "not " : "");
        LogMessage(log, "Did %d TCP reconnects, sent %ld, got %ld bytes.\n", r->nntp->reconnects,
                   (long)r->nntp->bytesSent, (long)r->nntp->bytesReceived);
        if (r->resourceExhaustions)
            LogMessage(log, "Had %d resource exhaustions%s.\n", r->resourceExhaustions,
                       rc != E_OK ? ", but ignoring them" : "");
        r->nntp->log = Journal(servers);
    } else if (r->newsrcOpen) {
        NewsrcClose(&r->newsrc);
    }

    // Step 12.
    int delay = NextExploreDelay(rc);
    if (logOpen) {
        if (e->minimal || e->oneGroup[0] || delay < 0) {
            LogMessage(log, "Result: %s.\n", DiagText(rc));
        } else {
            char text[96];
            Duration(text, sizeof text, delay);
            LogMessage(log, "Result: %s, next exploration in %s.\n", DiagText(rc), text);
        }
        LogClose(&r->log);
        if (e->minimal && r->samples == 0 && rc != E_SHUTDOWN && e->copyPath) {
            std::string target = std::string(e->copyPath) + "/" + server->diskName;
            std::string content;
            if (FILE *in = fopen(r->logPath, "rb")) {
                char buffer[8192];
                size_t n;
                while ((n = fread(buffer, 1, sizeof buffer, in)) > 0) content.append(buffer, n);
                fclose(in);
                if (FILE *out = fopen(target.c_str(), "wb")) {
                    fwrite(content.data(), 1, content.size(), out);
                    fclose(out);
                }
            }
        }
    }

    // Step 13.
    std::string text = r->nntp ? r->nntp->diagText : DiagText(rc);
    {
        std::lock_guard<std::mutex> guard(server->lock);
        server->exploreState = nullptr;
        if (!e->oneGroup[0] && rc != E_SHUTDOWN) {
            tServerDynamic *d = r->dyn;
            int32_t at = (int32_t)time(nullptr);
            d->lastExploreDiag = rc;
            d->lastExploreTime = at;
            if (rc == E_OK || rc == E_NO_ACTIVE_GROUPS) {
                d->lastOkExploreTime = at;
                d->okExplores++;
            } else {
                d->failedExplores++;
                d->lastFailedExploreDiag = rc;
                d->lastFailedExploreTime = at;
            }
        }
    }
    if (!e->oneGroup[0]) {
        if (e->minimal) ServerExplored(servers);
        if (rc != E_SHUTDOWN) {
            AppendResultLine(servers, server, text.c_str());
            if (server->dynamic) (void)SaveServersDynamic(servers);
        }
    }
    if (r->sc) ReleaseConnection(r->sc, 1);
    return rc;
}

// ---------------------------------------------------------------------------
// Scheduling

tDiag ScheduleExplore(tServer *server, const tExplore *templ) {
    tServers *servers = templ->servers ? templ->servers : server->servers;
    tLog *log = Journal(servers);
    if (templ->server) Panic("!template->server", __FILE__, __LINE__);
    if (templ->periodic && templ->oneGroup[0]) Panic("!(periodic && oneGroup)", __FILE__, __LINE__);
    tExplore *copy = new (std::nothrow) tExplore(*templ);
    if (!copy) {
        LogMessage(log, "Out of memory to allocate tExplore structure for server %s.\n", server->displayName);
        return E_OUT_OF_MEMORY;
    }
    copy->servers = servers;
    copy->useServerNumber = 0;
    ServerRef(server);
    copy->server = server;
    tScheduler *scheduler = servers && servers->scheduler ? servers->scheduler : &taskScheduler;

    std::unique_lock<std::mutex> guard(server->lock);
    if (copy->periodic && server->exploreTask != 0) {
        guard.unlock();
        ServerRelease(server);
        delete copy;
        return E_STILL_RUNNING;
    }
    if (!copy->periodic && !copy->oneGroup[0] && server->exploreTask != 0) {
        if (TaskForce(scheduler, server->exploreTask) > 0) {
            guard.unlock();
            ServerRelease(server);
            delete copy;
            return E_OK;
        }
    }
    Register(copy);
    int handle = TaskSchedule(scheduler, ExploreTask, copy, nullptr, time(nullptr), &taskCategories[TC_EXPLORE],
                              server->displayName, 0);
    if (handle < 0) {
        guard.unlock();
        LogMessage(log, "Could not schedule explore task for server %s.\n", server->displayName);
        copy->periodic = 0;
        FreeCopy(copy);
        return E_OUT_OF_MEMORY;
    }
    if (copy->periodic) server->exploreTask = handle;
    return E_OK;
}

time_t ExploreTask(void *argument, void *) {
    tExplore *e = static_cast<tExplore *>(argument);
    tDiag rc = ExploreServer(e);
    if (e->periodic && !e->minimal && !ShutdownRequested()) {
        int delay = NextExploreDelay(rc);
        if (delay >= 0) return time(nullptr) + (delay > 0 ? delay : 1);
    }
    // A one-group exploration that found the server busy is not lost: it
    // waits for the running exploration to end.
    if (!e->periodic && e->oneGroup[0] && rc == E_STILL_RUNNING && !ShutdownRequested())
        return time(nullptr) + NextExploreDelay(E_STILL_RUNNING);
    FreeCopy(e);
    return 0;
}

void ExploreReleaseAll() {
    std::set<tExplore *> left;
    {
        std::lock_guard<std::mutex> guard(registryLock);
        left.swap(registry);
    }
    for (tExplore *e : left) {
        if (e->server) {
            {
                std::lock_guard<std::mutex> guard(e->server->lock);
                if (e->periodic) e->server->exploreTask = 0;
                e->server->exploreState = nullptr;
            }
            ServerRelease(e->server);
        }
        delete e;
    }
}
