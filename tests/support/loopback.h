// Test support: the listening side shared by the fake servers of the tests.
//
// ListenLoopback opens a listening socket on 127.0.0.1 with an ephemeral
// port; a stop pipe lets a server end every wait at once; Readable and
// SendAll are the bounded reads and complete writes the fakes need.
// tLoopbackServer puts them together: a listening thread that accepts
// connections and serves each on its own thread with the owner's function,
// closing the connection when that function returns.
//
// Threading: the serve function runs on one thread per connection, so what
// it touches needs its owner's lock. Accepted and Open may be called from
// any thread. The owner stops the server (Stop or the destructor) before the
// state its serve function uses goes away.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Opens a socket listening on 127.0.0.1 with an ephemeral port and sets
// *port. Returns the descriptor (close-on-exec), or -1 (and *port 0) on
// failure.
int ListenLoopback(int *port);

// True when fd has something to read (data, end or error) within ms
// milliseconds (-1: no limit); false on expiry, or when stopFd (the read
// end of a stop pipe, or -1) reports its write end closed.
bool Readable(int fd, int stopFd, int ms);

// Sends all of s on fd (no SIGPIPE). False when the peer went away first.
bool SendAll(int fd, const std::string &s);

// A pipe whose write end, closed, tells every Readable waiting on the read
// end to give up. Both ends are closed by the destructor.
struct tStopPipe {
    int readEnd = -1, writeEnd = -1;
    tStopPipe();
    ~tStopPipe();
    tStopPipe(const tStopPipe &) = delete;
    tStopPipe &operator=(const tStopPipe &) = delete;
    // Closes the write end: every wait on the read end ends at once.
    // Idempotent.
    void Stop();
};

class tLoopbackServer {
public:
    // Serves one accepted connection: called on the connection's own thread
    // with its descriptor and its index (0 first); the connection is closed
    // when it returns.
    using tServe = std::function<void(int conn, int index)>;

    // Starts listening and accepting (for at most 10 minutes). port() is 0
    // when the socket could not be opened.
    explicit tLoopbackServer(tServe serve);
    // Stops and joins, as Stop.
    ~tLoopbackServer();
    tLoopbackServer(const tLoopbackServer &) = delete;
    tLoopbackServer &operator=(const tLoopbackServer &) = delete;

    int port() const { return port_; }
    int Accepted();  // connections accepted so far
    int Open();      // connections whose serve function has not returned
    // Readable within ms and not stopped: for the serve function's waits.
    bool Readable(int fd, int ms) { return ::Readable(fd, stop_.readEnd, ms); }
    // Ends the waits of every serve function, stops accepting and joins
    // every thread. Idempotent; call before the serve function's state goes.
    void Stop();

private:
    void Listen();

    tServe serve_;
    tStopPipe stop_;
    int listener_ = -1;
    int port_ = 0;
    std::thread listenThread_;
    std::mutex lock_;
    std::vector<std::thread> threads_;  // guarded by lock_
    int accepted_ = 0;                  // guarded by lock_
    int open_ = 0;                      // guarded by lock_
};
