// The pseudo-group "async" as readers see it: the articles that
// asynchronous retrieval has finished ("async/<handle>.ok") or that were
// deleted meanwhile ("async/<handle>.del"), numbered by their handles.
//
// Design: nothing is kept in memory; every answer walks the directory
// "async" and reads the hexadecimal handle of each such file name (0 is
// ignored). The answers give the count and the lowest and highest handle
// (lowest 1 and highest 0 when there is none), in decimal.
//
// Threading: reentrant; the files belong to asynchronous retrieval.
#pragma once

struct tLog;

// The forms of the pseudo-group's answer.
enum {
    ASYNC_FORM_LIST,        // "async %ld %ld y" (highest, lowest)
    ASYNC_FORM_GROUP,       // "211 %d %ld %ld async selected" (count, lowest, highest)
    ASYNC_FORM_LISTGROUP,   // the GROUP line, "%ld" per handle, "."
    ASYNC_FORM_XGTITLE,     // "async\tMergator async group"
    ASYNC_FORM_WEB_TABLE,   // a row of the web table of active groups
    ASYNC_FORM_WEB_SHORT,   // a line of the web list of all groups
};

// The handles of the pseudo-group's articles.
struct tAsyncGroupSummary {
    int count;
    long lowest;   // 1 when there is none
    long highest;  // 0 when there is none
};

// Reads the summary from the directory "async" (a missing directory is an
// empty pseudo-group).
void AsyncGroupSummary(tAsyncGroupSummary *summary);

// Sends the pseudo-group's answer in the given form on socket (-1: log only)
// with SendAndLog. Returns 0, or -1 when a send failed.
int AsyncGroupAnswer(int socket, int form, tLog *log);
