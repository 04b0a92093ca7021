// Selecting a group on an upstream conversation and listing the article
// numbers the server holds for it.
//
// SelectGroup sends GROUP (or LISTGROUP for the server's listgroupGroup
// names, or after a refused GROUP on a listgroupIfGroupFails server) and
// learns the group's low and high numbers. ListGroupNumbers lists every
// article number with LISTGROUP; XhdrLinesNumbers does the same through
// "XHDR LINES 1-" for servers without a usable LISTGROUP.
//
// Design: servers answer badly in many ways, so every call recovers within
// bounded retries: junk lines and broken connections reconnect (through
// Reconnect, which also stops a server that keeps breaking) and repeat the
// command; welcome lines repeated by blind-login servers are skipped; number
// lists are checked line by line (negative, too large, out-of-order and
// tenfold-leaping numbers). What the server taught is kept in its flags:
// SF_NO_LISTGROUP (500 to LISTGROUP) and SF_LISTGROUP_AFTER_GROUP (412).
// The conversation's group is set by a successful selection and cleared by
// any failure; callers compare it (case-insensitively) to skip a selection.
//
// Threading: a conversation is used by one thread at a time (the holder of
// its connection); the server flags are atomic.
#pragma once

#include "lib/diag.h"
#include "lib/numbers.h"

#include <cstdint>

struct tNntp;
struct tRequester;

// A group to select and what the server said about it.
struct tGroupSelection {
    const char *group = nullptr;  // the group's name
    int32_t low = 0;              // filled by SelectGroup; both 0 for an empty group
    int32_t high = 0;
};

// A listing of a group's article numbers.
struct tNumberListing {
    const char *group = nullptr;     // the group's name
    tNumbers *numbers = nullptr;     // receives the numbers (added to what it holds)
    int missingGroupIsNormal = 0;    // LISTGROUP 411 ends with E_NO_SUCH_GROUP without a
                                     // message; XHDR LINES 420 ends with E_OK
};

// Reconnection time-out used where callers give none: -1, the pool's
// default (45 seconds).
constexpr int GROUPSEL_RECONNECT_TIMEOUT = -1;

// True when the conversation's current group is group (case-insensitive).
bool GroupIsCurrent(const tNntp *nntp, const char *group);

// Selects selection->group on the conversation (reconnecting first when it
// has no socket, within reconnectTimeout seconds for every reconnection)
// and fills low and high. quiet411: a 411 answer is not logged.
// cancelSocket: interrupts waits (-1: the process-wide cancellation socket).
// refuse480Fatal: a 480 answer quits and marks the server failed.
// requester (not null, here and below) asks the pool for reconnections.
// Returns E_OK (the conversation's group is set), or E_BUFFER_TOO_SMALL,
// E_SHUTDOWN, E_GROUP_EOFS, E_GROUP_TEMP, E_GROUP_REFUSED,
// E_NO_SUCH_GROUP, E_LISTGROUP_NEGATIVE or a failure of Reconnect (the
// conversation's group is cleared).
[[nodiscard]] tDiag SelectGroup(tNntp *nntp, tGroupSelection *selection, int quiet411, int reconnectTimeout,
                                int cancelSocket, int refuse480Fatal, const tRequester *requester);

// Adds every article number LISTGROUP lists for listing->group to
// listing->numbers (selecting the group first when the server needs it).
// Returns E_OK, E_NO_SUCH_GROUP, E_GROUP_TEMP, E_LISTGROUP_ERROR,
// E_LISTGROUP_EOFS, E_LISTGROUP_NEGATIVE, E_SHUTDOWN, a failure of
// SelectGroup or of Reconnect.
[[nodiscard]] tDiag ListGroupNumbers(tNntp *nntp, tNumberListing *listing, const tRequester *requester);

// The same through "XHDR LINES 1-" (the group is selected first unless it is
// current). Returns E_OK, E_XHDR_LINES_FAILED, E_SHUTDOWN, a failure of
// SelectGroup or of Reconnect.
[[nodiscard]] tDiag XhdrLinesNumbers(tNntp *nntp, tNumberListing *listing, const tRequester *requester);
