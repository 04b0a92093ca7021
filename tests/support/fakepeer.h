// Test support: a scriptable fake TCP peer on 127.0.0.1.
//
// tFakePeer listens on 127.0.0.1 with an ephemeral port and serves
// connections on its own thread, one script per accepted connection in
// order. A script is a list of steps: expect exact bytes, read any n bytes,
// read a line, send bytes, sleep, stall (hold the connection until the
// client closes it or the peer stops), echo everything back, close. A
// mismatch or a bounded wait that expires ends that connection and is
// recorded in failures. Everything received is kept per connection.
//
// Every wait is bounded: expectations give up after stepSeconds, and the
// destructor stops the thread (stalls end at once).
#pragma once

#include "tests/support/loopback.h"

#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct tFakeStep {
    enum Kind { EXPECT, READ, READ_LINE, SEND, SLEEP, STALL, ECHO, CLOSE } kind;
    std::string bytes;  // EXPECT, SEND
    int count = 0;      // READ: bytes; SLEEP: milliseconds
};

struct tFakeScript {
    std::vector<tFakeStep> steps;
    tFakeScript &Expect(const std::string &bytes) { steps.push_back({tFakeStep::EXPECT, bytes, 0}); return *this; }
    tFakeScript &Read(int n) { steps.push_back({tFakeStep::READ, "", n}); return *this; }
    tFakeScript &ReadLine() { steps.push_back({tFakeStep::READ_LINE, "", 0}); return *this; }
    tFakeScript &Send(const std::string &bytes) { steps.push_back({tFakeStep::SEND, bytes, 0}); return *this; }
    tFakeScript &Sleep(int ms) { steps.push_back({tFakeStep::SLEEP, "", ms}); return *this; }
    tFakeScript &Stall() { steps.push_back({tFakeStep::STALL, "", 0}); return *this; }
    tFakeScript &Echo() { steps.push_back({tFakeStep::ECHO, "", 0}); return *this; }
    tFakeScript &Close() { steps.push_back({tFakeStep::CLOSE, "", 0}); return *this; }
};

// Bytes from a list of values, for binary scripts: Bytes({5, 0}).
std::string Bytes(std::initializer_list<int> values);

class tFakePeer {
public:
    // Starts listening and serving the scripts (one per connection, in order).
    explicit tFakePeer(std::vector<tFakeScript> scripts, int stepSeconds = 30);
    explicit tFakePeer(tFakeScript script, int stepSeconds = 30)
        : tFakePeer(std::vector<tFakeScript>{std::move(script)}, stepSeconds) {}
    ~tFakePeer();
    tFakePeer(const tFakePeer &) = delete;
    tFakePeer &operator=(const tFakePeer &) = delete;

    int port() const { return port_; }
    // Waits (bounded by the steps' own limits) until every script has run.
    void Wait();
    // Bytes received on connection i so far; "" when it never came.
    std::string Received(size_t i);
    // Descriptions of failed expectations; empty when all matched.
    std::vector<std::string> Failures();
    // Number of accepted connections.
    int Accepted();

private:
    void Run();
    void Serve(int conn, const tFakeScript &script, size_t index);
    bool Readable(int fd, int ms) { return ::Readable(fd, stop_.readEnd, ms); }

    std::vector<tFakeScript> scripts_;
    int stepSeconds_;
    int listener_ = -1;
    int port_ = 0;
    tStopPipe stop_;
    std::thread thread_;
    std::mutex lock_;
    std::vector<std::string> received_;  // guarded by lock_
    std::vector<std::string> failures_;  // guarded by lock_
    int accepted_ = 0;                   // guarded by lock_
};
