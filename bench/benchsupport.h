// Bench support: what the benchmarks against a private INN share: starting
// and stopping INN through tests/support/innserver.py, loading the servers
// into allServers with the scheduler running, and a plain socket client for
// the figures measured next to mergator's own.
//
// Threading: the benchmark's main thread calls everything; StartServers
// starts the scheduler's loop on its own thread and StopServers joins it.
#pragma once

#include <string>

// Runs command through the shell; its standard output is added to *out
// (when given). True when it exited with status 0.
bool RunCommand(const std::string &command, std::string *out = nullptr);

// Starts a private INN in dir (innserver.py start DIR OPTIONS, e.g.
// "--group misc.test:1"). Returns the port it answers on, or 0 when it did
// not start.
int StartInn(const std::string &dir, const std::string &options);

// Feeds the articles of file (innserver.py's feed format) to the INN of
// dir; its report is added to *out. True when the feed ran to its end.
bool FeedInn(const std::string &dir, const std::string &file, std::string *out);

// Stops the INN of dir; false (after a message) when that failed.
bool StopInn(const std::string &dir);

// Writes servers.ini in the current directory (no proxies, then servers, the
// text of its "[server]" sections), opens the journal, the cancellation
// socket and the tasks, loads and binds the servers and starts the
// scheduler's loop. False when a step failed (StopServers then does
// nothing).
bool StartServers(const std::string &servers);

// "[server]" section for 127.0.0.1:port, with extra lines (each ending in a
// line feed).
std::string ServerSection(int port, const std::string &extra = "");

// Releases what StartServers set up, after the benchmarks.
void StopServers();

// A plain socket client on 127.0.0.1, for the side-by-side figures.
struct tPlainClient {
    int fd = -1;
    std::string pending;  // received, after the last line read

    // Connects; fd stays -1 when that failed.
    explicit tPlainClient(int port);
    ~tPlainClient();
    tPlainClient(const tPlainClient &) = delete;
    tPlainClient &operator=(const tPlainClient &) = delete;

    // Appends the next bytes received to *into; false at the end or on an
    // error.
    bool Receive(std::string *into);
    // Reads past the next line; false when the stream ends first.
    bool SkipLine();
    bool Send(const std::string &text);
    // Sends a command and reads past its one-line answer.
    bool Exchange(const std::string &command) { return Send(command) && SkipLine(); }

private:
    char buffer_[65536];
};
