// The client side of one NNTP conversation with an upstream server.
//
// A tNntp sends commands and reads response lines under time-outs, the
// global shutdown flag and a cancel socket; opens a connection to its server
// (proxy choice, the server's cached address, TCP through the socket layer,
// the welcome line and its classification, AUTHINFO); keeps an idle
// connection alive (MODE READER), says QUIT, and reconnects a conversation
// that broke. Every step is written to the conversation's log and feeds the
// statistics of the server's tServerDynamic record.
//
// Every failure returns a tDiag whose message is kept as the conversation's
// last diagnostic text (at most 79 characters) and logged. I/O failures less
// than 2 seconds apart mark the server as failing (lastFailedConnectTime),
// which holds back reconnection for 60 seconds.
//
// Threading: a conversation is used by one thread at a time (the holder of
// its pooled connection). The server's statistics are changed without a lock
// by that thread; flags are atomic.
#pragma once

#include "lib/diag.h"
#include "lib/sockbuf.h"

#include <cstdint>
#include <ctime>

struct tLog;
struct tServer;
struct tServerConnection;

// Who asks the pool for a connection: a name for log lines, a priority in
// seconds added to the time of asking (smaller is served first) and the
// kind of use (KIND_ values).
struct tRequester {
    const char *name;
    int priority;
    int kind;
};

// Kinds of use of a lent connection.
enum { KIND_DIRECT = 0, KIND_ASYNC = 1, KIND_EXPLORE = 2 };

constexpr int NNTP_DIAG_TEXT = 80;   // last diagnostic text with its NUL
constexpr int NNTP_GROUP_MAX = 512;  // current group name with its NUL
constexpr int NNTP_READ_AHEAD_MAX = 48;  // a command sent ahead, with its CR LF and NUL
constexpr int NNTP_READ_AHEAD_DEPTH = 2;  // commands whose answers may be on their way at once

struct tNntp {
    tSockBuf sb;                        // sb.socket is -1 when not connected
    tServer *server;
    tLog *log;                          // where the conversation writes
    char group[NNTP_GROUP_MAX];         // selected group, "" after a new connection
    char diagText[NNTP_DIAG_TEXT];      // the last diagnostic ("Ok" after success)
    int64_t bytesSent;
    int64_t bytesReceived;
    int reconnects;                     // reconnections of this conversation
    time_t lastIoFailure;               // time of the last I/O failure, 0 = none
    int noReconnect;                    // Reconnect refuses (callers that need this socket)
    tServerConnection *connection;      // pooled connection owning it, or null
    char readAhead[NNTP_READ_AHEAD_DEPTH][NNTP_READ_AHEAD_MAX];  // commands sent ahead, answers unread,
                                                                 // oldest first
    int readAheadCount;                 // how many of them
};

// Empties nntp (not connected) for server, writing to log.
void NntpInit(tNntp *nntp, tServer *server, tLog *log);

// True while the conversation has a socket.
inline bool NntpConnected(const tNntp *nntp) { return nntp->sb.socket >= 0; }

// Closes the socket (no QUIT) when there is one; the group is forgotten.
void NntpCloseSocket(tNntp *nntp);

// Stores text (or, when null, the code's message) as the last diagnostic
// text and returns code.
tDiag SetDiag(tNntp *nntp, tDiag code, const char *text);
// SetDiag and the text logged as "%s.\n".
tDiag FailWithLog(tNntp *nntp, tDiag code, const char *format, ...) __attribute__((format(printf, 3, 4)));

// Sends text (one command with its CR LF). Returns the bytes sent, or
// E_SHUTDOWN (shutdown before or after the send) or E_SOCKET. The answers of
// commands sent ahead and not taken (NntpTakeReadAhead) are read and dropped
// first; a conversation that breaks meanwhile is closed, and the send fails
// as on any closed conversation.
int SendCommand(tNntp *nntp, const char *text);

// Reading ahead: a reader's thread that relayed one article sends the
// command for the article the reader is expected to want next on the
// connection it gives back, so that the answer travels while the reader is
// busy. Sends command (CR LF included, shorter than NNTP_READ_AHEAD_MAX)
// and remembers it after those already sent ahead. Returns true when it went
// out; false (nothing remembered) when NNTP_READ_AHEAD_DEPTH commands are on
// their way already or the send failed.
bool NntpSendAhead(tNntp *nntp, const char *command);

// True (forgetting it) when command is the oldest command sent ahead: its
// answer is the next thing to read, and command must not be sent again.
bool NntpTakeReadAhead(tNntp *nntp, const char *command);

// Reads one response line into buffer (size bytes with the NUL): the line
// with its LF when it fits, else a piece of it. timeout in seconds (negative:
// no limit; tripled when the server has extraTime); what names the expected
// response in messages ("GROUP response"). Returns the length, or
// E_SHUTDOWN, E_CLOSED_BY_PEER, E_SOCKET, or E_CLIENT_DISCONNECTED when
// cancelSocket is a client's and was triggered; the failure's message is in
// buffer too.
int ReadResponseLine(tNntp *nntp, char *buffer, int size, int timeout, int cancelSocket,
                     const char *what);
// The same with the process-wide cancellation socket.
int ReadResponse(tNntp *nntp, char *buffer, int size, int timeout, const char *what);

// Opens the conversation's connection to its server: through each proxy of
// the server in turn, welcome within timeout seconds (-1: 180), login when
// the server's URL has one. Pings the host after a failed TCP connect when
// pingAllowed. Returns E_OK or the classified failure.
tDiag ConnectServer(tNntp *nntp, int pingAllowed, int timeout, int cancelSocket);

// Replaces a broken connection: a spare idle connection of the server, else
// one from the pool for requester within timeout seconds. E_OK,
// E_RECONNECT_DISABLED, E_SHUTDOWN, E_FAILURE_TOO_RECENT or the pool's
// failure. The caller selects its group again.
tDiag Reconnect(tNntp *nntp, int timeout, int cancelSocket, const tRequester *requester);

// MODE READER on an idle connection: E_OK, or E_LOST_KEEP_ALIVE (socket
// closed).
tDiag KeepAlive(tNntp *nntp);

// QUIT (answer awaited 5 seconds) and close. Harmless without a socket.
void Quit(tNntp *nntp);

// Close with (Quit...) or without QUIT, mark the server as failed now and
// keep code and text (or the code's message) as the last diagnostic.
tDiag QuitAndMarkFailed(tNntp *nntp, tDiag code, const char *text);
tDiag CloseAndMarkFailed(tNntp *nntp, tDiag code, const char *text);

// Moves the conversation of donor (a connection taken from the pool) into
// nntp: nntp keeps its log, server connection link and reconnection count
// (incremented). The donor is left without a socket. Used by the pool.
void NntpMoveIn(tNntp *nntp, tNntp *donor);

// Classification of a refused welcome line (no code or not 200/201) for
// the given state; exposed for tests. firstConnection: this is the server's
// only connection; moreProxies: another proxy can be tried. Returns the
// diagnostic, or 1 when the next proxy is to be tried. Sets *keepAliveMark
// when the server is to be marked for keep-alive.
int ClassifyWelcome(const char *line, int firstConnection, int moreProxies, int *keepAliveMark,
                    tLog *log);
