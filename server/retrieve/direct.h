// Direct retrieval: fetching one article from the upstream servers that
// carry it while a reader waits (relayed to the reader's socket line by line)
// or into a file (asynchronous retrieval).
//
// Design: RetrieveArticle builds the candidate servers of the article (its
// server references with their numbers; every usable server by Message-ID
// for a zombie or an article the index does not hold; servers with
// attemptMsgId besides), ranks them and asks the connection pool for one
// connection at a time in the "Direct retrieval" kind. RetrieveFromServer
// tries one server by number and then by Message-ID; FetchArticle runs one
// command on one connection: selects the group, sends ARTICLE/HEAD/BODY/STAT,
// checks the answer (codes, Message-ID in the status line and in the header,
// empty articles), relays the lines and measures the server's speed. A wrong
// article counts as deleted on that server, which removes the server's
// reference from the index. Output to the reader is gathered in a buffer that
// is flushed whenever the upstream input would have to be waited for, so a
// large article costs a few sends instead of one per line. A reader going
// through a group by number has the next small article asked for ahead on
// the connection it leaves (NntpSendAhead): its answer is on the way while
// the reader takes the current one.
//
// Threading: runs on the reader's thread or an asynchronous retrieval task.
// The caller holds the index's store lock on entry to RetrieveArticle; it is
// released as soon as the candidates are known and never taken again here
// except by the store functions that take it themselves. Server speeds change
// under the server's lock; statistics counters are changed by the thread that
// holds the server's connection (single-word counters).
#pragma once

#include "lib/diag.h"
#include "lib/log.h"
#include "server/store/serv_refs.h"
#include "server/upstream/nntp.h"

#include <cstdio>

struct tArticles;
struct tGroupList;
struct tMil;
struct tServers;
struct tServerConnection;

// The reader's retrieval commands, indexed by the command given.
enum { RC_ARTICLE = 0, RC_HEAD = 1, RC_BODY = 2, RC_STAT = 3, RC_COUNT_ = 4 };

struct tRetrieveCommand {
    const char *command;  // "ARTICLE"
    int code;             // expected answer code, 220
    const char *text;     // "head and body follow"
};
extern const tRetrieveCommand retrieveCommands[RC_COUNT_];

// Option bytes of a retrieval candidate (tServerCandidate::options).
enum {
    CANDIDATE_ATTEMPT_MSGID = 0,  // a server outside the references, tried by Message-ID
    CANDIDATE_ANY_SERVER = 1,     // zombie or unknown article: every usable server by Message-ID
    CANDIDATE_BLIND = 2,          // the index holds no such article at all
};

// Longest Message-ID accepted (with its NUL).
constexpr int RETRIEVE_MSGID_SIZE = 1024;

// What one retrieval is about and where the article goes.
struct tRetrieval {
    tArticles *articles = nullptr;     // the group's index, or null
    const char *groupName = nullptr;   // the group to select, or null / ""
    const char *msgId = nullptr;       // the wanted Message-ID
    long localNumber = 0;              // shown to the reader in the status line
    tLog *log = nullptr;               // the caller's log (per-client or async log)
    int clientSocket = -1;             // the reader; -1 without one (also its cancel socket)
    int markRetrieved = 0;             // set the article's retrieved flag on success
    tMil *retrievedList = nullptr;     // the retrieved Message-ID list, or null
    int commandIndex = RC_ARTICLE;     // RC_ values
    FILE *articleFile = nullptr;       // receives the article (dot-stuffing removed), or null
    tGroupList *fullGroupList = nullptr;  // for the group's popularity, or null
    int dropPathAndXref = 0;           // keep Path: and Xref: header lines from the reader
    tRequester requester{};            // who asks the pool
    long nextNumber = 0;               // the local number the reader will likely ask for next: when
                                       // small, it is asked for ahead on the connection (0: none)
};

// Adds a Message-ID to a Message-ID list (the retrieved list). Set by the
// module that keeps those lists; null until then (the Message-ID is then
// written to the log as when adding fails). Returns E_OK or a failure.
extern tDiag (*retrievedListAdd)(tMil *list, const char *msgId);

// Fetches the article of r from the best server that has it. refs are the
// article's server references (null for an article not in the index).
// REQUIRES: when r->articles is given, its store lock held by the caller;
// it is released here before any server is contacted (the caller must not
// release it again). On success the whole answer has been sent to the reader
// (or written to the file). Returns E_OK, E_DELETED_LOCALLY (references -1),
// E_ZOMBIE (no server delivered and every candidate said the article is gone,
// or allowAnyServer off for a zombie or unknown article),
// E_NO_REACHABLE_SERVER, E_CLIENT_DISCONNECTED (the reader sent something or
// went away: nothing more may be sent), E_PATH_TOO_LONG (Message-ID of 1024
// characters or more), E_SEMAPHORE, E_OUT_OF_MEMORY.
[[nodiscard]] tDiag RetrieveArticle(const tRetrieval *r, const tServRefs *refs, tServers *servers,
                                    int allowAnyServer);

// Tries one server on the lent connection: by serverNumber (when not 0),
// then by Message-ID unless the number was refused and the server has
// msgIdIfNbFails off. Counts the attempt in the server's statistics; on
// success marks the article retrieved and records its Message-ID. A
// reference that the server no longer has is removed from the index
// (E_ZOMBIE when the server keeps zombies, else E_ARTICLE_DELETED). options
// are the candidate's (CANDIDATE_ indices). Returns E_OK, E_CLIENT_DISCONNECTED,
// E_ZOMBIE, E_ARTICLE_DELETED or the failure of the last attempt.
[[nodiscard]] tDiag RetrieveFromServer(const tRetrieval *r, tServerConnection *connection, long serverNumber,
                                       int timeout, const uint8_t options[3]);

// One command on one conversation (at most two reconnections): by
// serverNumber when it is not 0, else by msgId (one of them must be given;
// msgId may also accompany a number to check the answer). Selects the group
// first when needed. Returns E_OK (the answer sent or written),
// E_ARTICLE_DELETED (423/430, an empty or wrong article), E_ARTICLE_REFUSED,
// E_ARTICLE_EOFS, E_CLIENT_DISCONNECTED, E_DISK_WRITE, E_SHUTDOWN or the
// failure of group selection or reconnection; the text is the conversation's
// last diagnostic.
[[nodiscard]] tDiag FetchArticle(tNntp *nntp, const tRetrieval *r, long serverNumber, const char *msgId,
                                 int timeout);
