// Wake pairs: two connected local sockets used as a wake-up event that can
// be waited for together with network data in one poll.
//
// Writing one byte to writeEnd makes readEnd readable. The read end is
// non-blocking, so a consumer never hangs on a byte another consumer took.
//
// Threading: WakePairSignal may be called from any thread; WakePairWait by
// the thread that owns the pair (several waiters are safe: each wake-up byte
// wakes one of them). Create and close while no other thread uses the pair.
#pragma once

struct tWakePair {
    int readEnd;   // becomes readable after a signal; non-blocking
    int writeEnd;  // one byte per signal
};

// Builds the pair (close-on-exec). Returns 0, or -1 with the error and both
// ends -1.
[[nodiscard]] int WakePairCreate(tWakePair *pair);

// Sends one byte on writeEnd. Returns 0 or -1.
int WakePairSignal(tWakePair *pair);

// Waits until readEnd is readable (ending early when cancelSocket, if valid,
// becomes readable) and consumes one byte. Returns 0 after a wake-up, -1 on
// expiry (ESOCK_TIMEOUT) or cancellation (ESOCK_CANCELLED). With a negative
// time it keeps waiting until a byte is actually consumed; with a time limit
// one attempt is made. A closed write end fails with WSAESHUTDOWN.
int WakePairWait(tWakePair *pair, int milliseconds, int cancelSocket);

// Consumes one wake-up byte if one is there, without waiting. Returns 1
// when a byte was taken, else 0.
int WakePairTake(tWakePair *pair);

// Closes both sockets and sets them to -1.
void WakePairClose(tWakePair *pair);
