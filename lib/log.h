// Log files: the journal, per-server and per-client logs, protocol traces.
//
// A tLog is one open log file written unbuffered. Lines started by
// LogMessage begin with a local time stamp "%2d/%02d %2d:%02d:%02d  " when
// timeStampLogs is on, then the log's prefix. A log file begins with
// "========================\nDate: <ctime date>\n" and LogClose appends
// "Ended at: <ctime date>\n". With echo set every write is repeated on
// standard error (the journal while a console is attached).
//
// Gathering (LogGather) keeps what would be written in memory and writes it
// with one call: when LogFlush is called, when 8 KB have gathered, when the
// oldest gathered text has waited a second (seen at the next write) and at
// LogClose. A reader's session gathers the lines of each command and
// flushes before it waits for the reader or a server: a dozen lines per
// article cost one write.
//
// Progress lines (LogDot) show long operations as rows of characters, one
// row of dotWidth characters per line. The characters of a row are collected
// and written together when the row ends, when anything else is written to
// the log, or when the row has waited a second: a long listing costs one
// write per row, not one per character, and the file reads the same.
//
// Threading: LogMessage is serialised by the log's own lock and writes each
// message with one call, so lines of different threads never interleave
// within one call. LogRaw, LogWrite and LogDot are used only by the thread
// that owns the log (to continue a line); they take the lock only to write
// out collected progress characters first. Write errors are ignored.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>

// Setting "timeStampLogs" (bound by the global settings): start log lines
// with a time stamp.
extern int timeStampLogs;

struct tLog {
    int dotWidth = 0;            // progress characters per line (LogDot)
    int dotCount = 0;            // progress characters written so far
    int inDots = 0;              // a progress line is open
    char dotText[400] = {};      // progress text not yet written (guarded by lock)
    int dotLength = 0;           // its length (guarded by lock)
    long dotSince = 0;           // when it began (seconds since 1970)
    const char *prefix = nullptr;  // written after the time stamp; not owned
    FILE *file = nullptr;        // the log file, unbuffered
    int echo = 0;                // repeat every write on standard error
    std::mutex *lock = nullptr;  // serialises LogMessage; owned
    int gathering = 0;           // LogGather on (guarded by lock)
    char *gathered = nullptr;    // text gathered for one write; owned; guarded by lock
    int gatheredLength = 0;      // guarded by lock
    long gatheredSince = 0;      // when the oldest gathered text came (seconds since 1970)
};

// The journal of the multiplexer: opened and closed by the main program.
extern tLog journal;

// Size limits (bytes) of the multiplexer's logs, beyond which they are
// rotated to ".bak" when opened.
constexpr long JOURNAL_MAX_SIZE = 204800;       // "journal"
constexpr long EXPLORE_LOG_MAX_SIZE = 102400;   // "explore/..."
constexpr long SESSION_LOG_MAX_SIZE = 10240;    // "logs/cli-%s-%d", "logs/web-%s-%d", "async/%lx.log"

// Opens path for a log: creates it empty when absent; otherwise rotates it
// when larger than maxSize (RotateIfLarge) and appends. textMode is kept for
// the interface (Linux has no text mode). Returns null on failure with errno.
FILE *OpenRotating(const char *path, int textMode, long maxSize);

// When path is larger than maxSize bytes it becomes path + ".bak" (an
// existing ".bak" is removed first). Returns -1 when that rename fails, else
// 0 (also when the file cannot be examined or is small enough).
int RotateIfLarge(const char *path, long maxSize);

// Zeroes the log, opens path with OpenRotating (binary), makes it unbuffered,
// creates the lock and writes the opening banner. E_OUT_OF_FILES when the
// file cannot be opened, else E_OK.
int LogOpen(tLog *log, const char *path, long maxSize);

// Ends an open progress line, writes "Ended at: <date>\n", closes the file,
// destroys the lock and zeroes the structure. A log that is not open is left
// alone.
void LogClose(tLog *log);

// Under the log's lock: ends an open progress line, writes the time stamp
// (timeStampLogs) and the prefix, then the formatted text. The caller
// supplies any line feed. A null or closed log is ignored.
void LogMessage(tLog *log, const char *format, ...) __attribute__((format(printf, 2, 3)));
void LogMessageV(tLog *log, const char *format, va_list args);

// Size of the gathering buffer.
constexpr int LOG_GATHER_SIZE = 8192;

// Turns gathering on or off (off writes out what has gathered). Returns
// E_OK, or E_OUT_OF_MEMORY when the buffer cannot be had (the log then
// writes as before). A null or closed log is ignored.
int LogGather(tLog *log, int on);

// Writes out what has gathered. A null log or one not gathering is ignored.
void LogFlush(tLog *log);

// The formatted text only: no stamp, no prefix, no lock (the lock when the
// log gathers).
void LogRaw(tLog *log, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Raw bytes to the file (and standard error with echo).
void LogWrite(tLog *log, const void *bytes, size_t length);

// Starts counting progress characters: dotWidth = width, no line open.
void LogDotsInit(tLog *log, int width);

// Adds one progress character and returns the new dotCount. Within an
// open line the character follows raw, and the line is ended after
// dotWidth characters; otherwise any open line is ended, and a new line
// starts with the time stamp (timeStampLogs), the prefix and the character.
// The text is written when its row ends (see above). Only the thread that
// owns the log calls it.
int LogDot(tLog *log, char character);

// LogDot with ".".
int LogDotChar(tLog *log);

// Writes the time stamp of now ("%2d/%02d %2d:%02d:%02d  ") into buf, which
// must hold at least 32 bytes; returns buf.
char *LogTimeStamp(char *buf);
