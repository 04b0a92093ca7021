// The reader's article and overview commands: ARTICLE, HEAD, BODY and STAT,
// and XOVER, XHDR and XPAT, dispatched by the reader session
// (server/nntp/session.h) on its client thread; and the overview listing of
// an index that these commands and the web pages share.
//
// Design: an article is found in the selected group's index (by number, by
// Message-ID, or the current one) and fetched from the upstream servers by
// direct retrieval (server/retrieve/direct.h), which sends the whole answer;
// large articles may be handed to asynchronous retrieval through the
// artAsync hooks instead. Articles that no server delivers can be moved to a
// new number so that the reader sees them again later; such renumbered
// articles show the Message-ID form "</mg<number>/<rest>", which readers may
// send back. The overview listings come from the index alone; the rows are
// read under the store lock in batches and written without it.
//
// Threading: each command runs on the session's thread, which owns the
// session; the group index is shared through its store lock, which is never
// held while writing to the reader or waiting for an upstream server.
#pragma once

#include "lib/diag.h"
#include "lib/log.h"
#include "lib/numbers.h"
#include "server/nntp/clients.h"

struct tArticles;

// Article commands (index, command word, answer code, answer text).
constexpr int ARTCMD_ARTICLE = 0;  // 220 "head and body follow"
constexpr int ARTCMD_HEAD = 1;     // 221 "head follows"
constexpr int ARTCMD_BODY = 2;     // 222 "body follows"
constexpr int ARTCMD_STAT = 3;     // 223 "request text separately"

// Overview commands. XHDR and XPAT find their header (SUBJECT, FROM, ...) in
// their first word.
constexpr int OVCMD_XOVER = 0;
constexpr int OVCMD_XHDR = 1;
constexpr int OVCMD_XPAT = 2;

// What a listing shows (index into the header table; 0 is the XOVER line).
enum {
    OVH_XOVER = 0,
    OVH_SUBJECT = 1,
    OVH_FROM = 2,
    OVH_DATE = 3,
    OVH_MESSAGE_ID = 4,
    OVH_REFERENCES = 5,
    OVH_BYTES = 6,
    OVH_LINES = 7,
    OVH_XREF = 8,
    OVH_MGSERVREFS = 9,
    OVH_MGSUBJECT = 10,
    OVH_COUNT_ = 11,
};

// ARTICLE, HEAD, BODY or STAT (commandIndex ARTCMD_*) with its argument
// word (null when none) for the session. Answers the reader itself. Returns
// 0 when the session goes on, -1 when it must end (renumber level above 2
// after a failed retrieval).
[[nodiscard]] int ArticleCommand(tSession *session, int commandIndex, const char *argument);

// XOVER, XHDR or XPAT (command OVCMD_*) with the words after the command
// word (words[0..count-1], count may be 0; the session's line buffer holds
// them and may be reused for answers once they are read). Answers the
// reader itself. Returns 0 when the session goes on, -1 when it must end.
[[nodiscard]] int OverviewCommand(tSession *session, int command, char **words, int count);

// Writes the listing lines (header OVH_*) of the visible articles of range
// of an open index on socket, in the text form or, with html, the table form
// of the web pages (XOVER only). pattern (or null) is a wildcard every
// listed value must match. buffer (size bytes, at least 4096) is the
// caller's scratch space for the lines. Takes the store lock for reading and
// releases it before every write. Returns E_OK, or E_CLIENT_DISCONNECTED
// after "Could not send this: ..." when a write failed, or the failure of
// reading the index.
[[nodiscard]] tDiag OverviewList(tArticles *articles, tRange range, int headerIndex, char *buffer, int size,
                                 int socket, int html, int retrievedShow, const char *pattern, tLog *log);

// ---- Asynchronous retrieval dispatch points ----
// Connected by the asynchronous retrieval module; while null, no article is
// scheduled (ARTICLE falls back to direct retrieval) and the pseudo-group is
// empty.

// Schedules an article; returns its handle (1 or more), or below 1 when it
// could not be scheduled.
extern long (*artAsyncSchedule)(const char *groupName, long number, const char *msgId, long bytes,
                                const char *subject);
// Delivers article number of the pseudo-group to the session's reader with
// the command index (ARTCMD_*); answers the reader itself. Returns 0, or -1
// when the session must end.
extern int (*artAsyncDeliver)(tSession *session, long number, int commandIndex, int dropPathAndXref);
// Writes the listing lines of the whole pseudo-group for the header
// (OVH_*), pattern or null. Returns E_OK or a failure.
extern tDiag (*artAsyncList)(tSession *session, int headerIndex, const char *pattern);

// The Message-ID as shown to readers: "</mg<number>/<msgId without <>" for a
// renumbered article (flags has ART_RENUMBERED), else msgId. Writes into
// buffer (size bytes); returns buffer, or msgId itself when it does not fit.
const char *ShownMsgId(char *buffer, int size, const char *msgId, long number, int flags);
