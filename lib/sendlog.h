// Sending an answer and copying it to a log.
//
// Every answer the servers give a client, and every line relayed upstream,
// is sent with SendAndLog: one send of the whole text, and the same text
// recorded in the session's log. A socket is a descriptor; -1 means "log
// only" (answers composed for a log or a page).
//
// Threading: SendAndLog and SendDotLine lock the log (LogMessage);
// SendAndLogRaw uses LogRaw and belongs to the thread that owns the log.
#pragma once

struct tLog;

// Sends text on socket unless socket is -1 (one send of the whole text,
// without SIGPIPE) and, when log is given, records it with LogMessage. Returns
// the send result: the bytes sent, or -1 with the last socket error set
// (Winsock numbering); 0 for socket -1.
int SendAndLog(int socket, const char *text, tLog *log);

// The same, recording with LogRaw (continuing a line: no stamp, no prefix).
int SendAndLogRaw(int socket, const char *text, tLog *log);

// Sends and records (SendAndLog) the end of a listing, ".\r\n".
int SendDotLine(int socket, tLog *log);
