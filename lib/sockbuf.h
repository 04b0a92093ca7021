// Buffered line reader bound to a socket.
//
// Every line-oriented conversation (an upstream NNTP conversation, a reader's
// session, a web request) reads its input through a tSockBuf: one line at a
// time, refilling a fixed 2048-byte buffer with the bounded, cancellable
// receive of the socket layer (RecvWithin). A line longer than the caller's
// buffer, or longer than the 2048-byte buffer itself, is handed out in
// pieces; the caller sees a piece without a line feed. Data already received
// is never lost to a failure: it is handed out first, and the failure is met
// again at the next call. The reader knows nothing of the protocol.
//
// The reader owns no heap memory and never allocates; the socket belongs to
// the owner of the tSockBuf. Invariant: 0 <= pos <= len <= SOCKBUF_SIZE.
//
// Threading: a tSockBuf is used by one thread at a time (the owner of the
// conversation). Other threads cancel its waits only through the cancel
// socket.
#pragma once

constexpr int SOCKBUF_SIZE = 2048;

struct tSockBuf {
    int socket;              // the socket read from; -1 when not connected
    char buf[SOCKBUF_SIZE];  // received bytes
    int len;                 // bytes held in buf
    int pos;                 // bytes before pos have been handed out
    int hurryAcks;           // acknowledge at once after every receive (SocketQuickAck); on after
                             // SockBufInit: a peer whose Nagle algorithm holds back the next small
                             // segment of an answer until our delayed acknowledgement comes (40 ms)
                             // would stall every short multi-line answer. A reader's session, whose
                             // answers carry the acknowledgements, turns it off.
};

// Binds the reader to socket and empties it (len = pos = 0). Called again
// whenever the owner replaces its socket; what was buffered is dropped.
void SockBufInit(tSockBuf *sockBuf, int socket);

// Makes sure the buffer holds the byte b beyond pos, receiving as needed with
// RecvWithin(seconds, cancelSocket): a negative seconds waits without limit;
// a cancelSocket that becomes readable (or -1 for none) ends the wait.
// Returns the index of b in buf; len when b cannot be found (the buffer is
// full without it, the stream ended, or a receive failed after some unread
// bytes arrived: those come first); -1 on a failure with nothing unread, the
// reason in the thread's last socket error (ESOCK_TIMEOUT, ESOCK_CANCELLED,
// a receive error).
int SockBufScan(tSockBuf *sockBuf, char b, int seconds, int cancelSocket);

// Copies the next line into out, with its line feed when one was received
// and it fits, terminates it with a NUL and returns its length: at most
// outSize - 1 bytes; what does not fit stays for the next call. A line of
// more than 2048 bytes comes in pieces of at most 2048. Returns 0 at the end
// of the stream with nothing left; -1 on failure with the last socket error
// set (as SockBufScan; ESOCK_BUFFER_OVERFLOW when outSize <= 0, nothing read).
int SockBufReadLine(tSockBuf *sockBuf, char *out, int outSize, int seconds, int cancelSocket);
