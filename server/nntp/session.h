// The reader session: the NNTP conversation with one newsreader on its
// client thread, from the greeting to SessionEnd.
//
// Design: SessionRun greets the reader, checks the session's group state
// before every command, reads one line at a time (600 seconds at most,
// cancelled by the process-wide cancellation socket), skips telnet
// negotiation, authenticates (user and administrator rights) and dispatches
// the command. The group commands (GROUP, LISTGROUP, NEXT, LAST), the
// listings (LIST, XGTITLE, NEWGROUPS) and the small commands are answered
// here; the article and overview commands go to server/nntp/artcmds.h;
// posting and the administrative commands have their own dispatch points.
// Every answer is sent with SendAndLog and so copied to the per-client log.
//
// The group state of a session is one of: nothing selected; a listed group
// (`groupName`, with `articles` opened on demand); a group known only to the
// background server (`groupName` only); the pseudo-group "async"
// (`localServer`). The state that only the running session keeps (rights,
// the requester for upstream connections, the last Message-ID scheduled for
// asynchronous retrieval) is a tReaderState that `session->reader` points to
// while SessionRun runs.
//
// Threading: SessionRun runs on the client's own thread, which owns the
// session. The session holds an index's store lock only while it reads rows,
// never while it writes to the client or waits for an upstream connection.
#pragma once

#include "lib/diag.h"
#include "server/nntp/clients.h"
#include "server/upstream/nntp.h"

// Rights of a reader.
constexpr int AUTH_NONE = 0;   // only AUTHINFO and QUIT
constexpr int AUTH_USER = 1;   // the reader commands
constexpr int AUTH_ADMIN = 2;  // also the administrative commands

// Seconds a reader may stay silent before its session ends.
constexpr int SESSION_READ_SECONDS = 600;

// The state only the running session keeps.
struct tReaderState {
    int authLevel;              // AUTH_*
    int loginMatched;           // which login the last AUTHINFO USER named: 0 none, 1 user, 2 admin
    tRequester requester;       // for upstream connections: the log path, priorityDirect, KIND_DIRECT
    char lastAsyncMsgId[256];   // the Message-ID last scheduled for asynchronous retrieval
};

// The NNTP listener's session function (a tPoolFunction; argument: the
// tSession). Runs the conversation until QUIT, the end of the stream, a
// failed read, a 600-second silence, a shutdown or a command that ends the
// session, then calls SessionEnd (which frees the session).
void SessionRun(void *session);

// Makes sure the selected group's index is open in session->articles
// (looking the group up in the full group list, activating it when
// `activate`, and opening its index, created when `activate`). Returns 0
// when it is open; -1 after answering the reader: "500 not applicable/
// implemented" in the pseudo-group, "412 Cannot confirm group %s: %s." or
// "412 Cannot access group %s: %s." on a failure, "412 No news group has
// been selected" without a group.
[[nodiscard]] int SessionOpenGroup(tSession *session, bool activate);

// REQUIRES: session->articles open and its store lock NOT held. Takes the
// store lock and returns with it held, whatever the result. A group whose
// index holds no article gets the first download placeholder, a one-group
// exploration on every explored server (sessionExploreOneGroup), and after
// 3 seconds the second placeholder. Returns E_OK, or the failure of adding
// a placeholder.
[[nodiscard]] tDiag EnsureGroupLoaded(tSession *session);

// The modes of ListGroups' entries.
constexpr int LIST_MODE_ACTIVE = 0;     // "%s %ld %ld y" (name, last, first)
constexpr int LIST_MODE_WEB_TABLE = 1;  // rows of the web page of active groups
constexpr int LIST_MODE_WEB_SHORT = 2;  // lines of the web page of all groups
constexpr int LIST_MODE_NAMES = 3;      // "%s\t?" (XGTITLE)

// Writes one entry per group of the full group list (only active groups
// with activeOnly; only those added at or after sinceSecs when it is
// positive; only names matching the GLOB pattern when it is not null), then
// the pseudo-group's line when it matches pattern, on the session's socket.
// The text modes copy the lines to the session's log (those of inactive
// groups only when verbose); the web modes do not. No status
// line and no final dot: the caller writes those. Returns the number of
// entries written (the pseudo-group included), or E_CLIENT_DISCONNECTED when
// a write failed, E_SHUTDOWN when a shutdown ended the listing, another
// negative tDiag when the list could not be read.
[[nodiscard]] long ListGroups(tSession *session, bool activeOnly, int mode, long sinceSecs, const char *pattern);

// Schedules a one-group exploration of groupName on every server whose
// explore key is on. Null until the exploration module connects it; while
// null nothing is scheduled. Returns E_OK or the scheduling failure.
extern tDiag (*sessionExploreOneGroup)(const char *groupName);

// Pauses of the session: before answering a rejected authentication (1000
// ms), between the two download placeholders (3000 ms), and the longest
// silence of a reader (SESSION_READ_SECONDS). Tests and the fuzzer shorten
// them.
struct tSessionDelays {
    int rejectMs = 1000;
    int placeholderMs = 3000;
    int readSeconds = SESSION_READ_SECONDS;
};
extern tSessionDelays sessionDelays;

// SessionRun without the final SessionEnd: the conversation alone, on a
// session whose socket, log, index cache and group list are set (the rest
// may be null). For the fuzzer and tests that keep the session afterwards.
void SessionConverse(tSession *session);
