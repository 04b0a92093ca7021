// Overview retrieval: fetching the overview lines of one group on one
// upstream server and handing each to the group's index.
//
// During the visit of a group the numbers still wanted are known as a
// number set. FetchOverview asks for them with XOVER, range by range, and
// gives every line to AddOverviewLine (the group index parses, repairs,
// filters and merges it, and adds it to the groups of its Xref). Servers
// implement XOVER in many ways and fail in many more, so most of the work is
// recovery: open requests reformulated ("0-", "1-", "-", or with an explicit
// end) and the habit learnt in the server's flags for the rest of the run;
// broken connections resumed after the last good number; corrupted stretches
// noted and asked for again later; records split over two lines joined;
// a final "." glued to the last record recognised. Servers without XOVER get
// overview lines built from XHDR answers (one temporary file per field under
// "xhdr/", merged by number) or from article heads. MatchByMessageId first
// asks for the Message-IDs of a stretch so that articles already known from
// other servers only gain this server's reference.
//
// Every handled number leaves job->wanted; every number the server proved
// to hold joins job->seen, which is the group's newsrc record: writing that
// record back (the caller) remembers what was explored. What could not be
// fetched now stays in wanted for the next visit.
//
// Threading: a job runs on the thread that holds the conversation (the
// exploration task of the server). The group index is shared: every store
// operation takes the index's store lock itself, and no store lock is held
// during network input or output. The server flags learnt here are atomic
// bits of tServer::flags.
#pragma once

#include "lib/diag.h"
#include "lib/numbers.h"
#include "server/store/article_data.h"
#include "server/store/articles.h"
#include "server/store/indices.h"
#include "server/upstream/nntp.h"
#include "server/upstream/servers.h"

// XOVER habits learnt per server (bits of tServer::flags, not saved).
constexpr uint32_t SF_XOVER_USE_ONE = SF_XOVER_HABIT_0;            // an open request must start at 1, not 0
constexpr uint32_t SF_XOVER_USE_MINUS = SF_XOVER_HABIT_1;          // an open request from the start is "XOVER -"
constexpr uint32_t SF_XOVER_CLOSED_END = SF_XOVER_HABIT_2;         // "n-" returns one article: always give an end
constexpr uint32_t SF_XOVER_OPEN_RETURNS_MANY = SF_XOVER_HABIT_3;  // "n-" returns several articles

// The exploration of one group on one connection. The caller owns every
// pointed-to object and keeps it alive during the call.
struct tOverviewJob {
    tNntp *nntp = nullptr;            // the conversation (its server's settings apply)
    tArticles *articles = nullptr;    // the group's open index; its name is the group
    tNumbers *wanted = nullptr;       // numbers still to fetch; handled numbers are removed
    tNumbers *seen = nullptr;         // numbers known on the server (the newsrc numbers); filled
    tAddCounters *counters = nullptr;   // outcomes of the lines of this group
    tOverviewFixes *fixes = nullptr;    // repairs of the lines of this group
    bool useServerNumber = false;     // new articles take the server's number (cleared when the
                                      // server turns out not to number reliably)
    tIndices *indices = nullptr;      // the index cache, for the groups of the Xref
    const tArticleHooks *filters = nullptr;  // null: no filtering
    int cancelSocket = -1;            // ends waits besides shutdown; -1: the process-wide one
};

// Time limits in seconds (every response line, every data line, the look for
// more output after a suspicious final "."), and the retry limit of XOVER.
// The live values; tests shorten them.
struct tOverviewLimits {
    int responseSeconds;  // 60: the answer to a command
    int xoverLineSeconds; // 30: one XOVER data line
    int dataLineSeconds;  // 60: one XHDR or head line
    int peekSeconds;      // 2: more output after a line ending in "."
    int xoverRetries;     // 17: the retry at which XOVER gives up
    int emulationRetries; // 5: retries of the emulations and the Message-ID pass
};
extern tOverviewLimits overviewLimits;

// Fetches the overview of job->wanted: with article heads when the server
// has emulateXoverUsingHead, with XHDR per field when it has
// emulateXoverUsingXhdr, else with XOVER (falling back to heads when XOVER is
// answered 500). Returns E_OK when the group was walked (also when the group
// is missing or temporarily unavailable on the server: nothing is fetched
// then); E_SHUTDOWN; E_XOVER_REFUSED (480: the connection was closed with
// QUIT and the server marked failed); E_XOVER_FAILED (another refusal);
// E_XOVER_EOFS (17 broken attempts: the connection was closed and the server
// marked failed); E_OUT_OF_MEMORY, E_OUT_OF_FILES, E_DISK_WRITE (the store
// failed: the socket is closed); a selection or reconnection failure; or an
// emulation's result. Every failure is logged with the last good number.
[[nodiscard]] tDiag FetchOverview(tOverviewJob *job, const tRequester *requester);

// Builds overview lines from "HEAD n" / "NEXT" walks over job->wanted (servers
// without XOVER). E_OK; E_XOVER_EMULATION when HEAD or NEXT is answered in an
// unexpected way; a selection, send or read failure.
[[nodiscard]] tDiag FetchOverviewByHead(tOverviewJob *job, const tRequester *requester);

// Builds overview lines from "XHDR <field> a-b" answers for Subject, From,
// Date, Message-ID, References, Bytes and Lines, collected in the temporary
// files "xhdr/<server disk name>_<FIELD>" (removed at the end) and merged by
// number; a field a server leaves out reads "(<mg> no value)". E_OK;
// E_XOVER_EMULATION (XHDR refused); E_XOVER_EOFS (more than 5 broken
// attempts); E_PATH_TOO_LONG, E_OUT_OF_FILES, E_DISK_WRITE (temporary files);
// E_OUT_OF_MEMORY; E_BUFFER_TOO_SMALL (a merged line beyond 10240 bytes); a
// selection or reconnection failure.
[[nodiscard]] tDiag FetchOverviewByXhdr(tOverviewJob *job, const tRequester *requester);

// The Message-ID pass: "XHDR MESSAGE-ID a-b" (or XPAT once XHDR has failed)
// over the ranges of wanted. A listed Message-ID already in the index gains
// this server's reference and its number joins seen; runs of such numbers
// leave wanted, as they need no overview. Finally wanted is collapsed with
// the server's policy. The outcomes are counted into *counters when not null
// (the caller reports them with the label "server refs"). E_OK (also when
// the server knows no such articles or refuses both commands); E_SHUTDOWN;
// E_XOVER_EOFS (more than 5 broken attempts); E_OUT_OF_MEMORY; a selection
// or reconnection failure.
[[nodiscard]] tDiag MatchByMessageId(tNntp *nntp, tArticles *articles, tNumbers *wanted, tNumbers *seen,
                                     const char *groupName, const tRequester *requester,
                                     tAddCounters *counters = nullptr);
