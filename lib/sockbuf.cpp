#include "lib/sockbuf.h"

#include <cstring>

#include "lib/diag.h"
#include "lib/sock.h"

void SockBufInit(tSockBuf *sockBuf, int socket) {
    sockBuf->socket = socket;
    sockBuf->len = 0;
    sockBuf->pos = 0;
    sockBuf->hurryAcks = 1;
}

int SockBufScan(tSockBuf *sockBuf, char b, int seconds, int cancelSocket) {
    int c = sockBuf->pos;
    for (;;) {
        const void *found = memchr(sockBuf->buf + c, (unsigned char)b, (size_t)(sockBuf->len - c));
        if (found) return (int)((const char *)found - sockBuf->buf);
        if (sockBuf->pos > 0) {
            // Move the unread bytes to the front to make room.
            int unread = sockBuf->len - sockBuf->pos;
            memmove(sockBuf->buf, sockBuf->buf + sockBuf->pos, (size_t)unread);
            sockBuf->len = unread;
            sockBuf->pos = 0;
        } else if (sockBuf->len == SOCKBUF_SIZE) {
            return sockBuf->len;
        }
        c = sockBuf->len;
        // RecvWithin watches the cancel socket only with a time limit; a
        // wait without limit must still end on cancellation.
        if (seconds < 0 && SOCK_VALID(cancelSocket) &&
            WaitReadableOrCancel(sockBuf->socket, -1, cancelSocket) < 0)
            return sockBuf->len > sockBuf->pos ? sockBuf->len : -1;
        int n = RecvWithin(sockBuf->socket, sockBuf->buf + sockBuf->len, SOCKBUF_SIZE - sockBuf->len, seconds,
                           cancelSocket);
        if (n < 0) return sockBuf->len > sockBuf->pos ? sockBuf->len : -1;
        if (n == 0) return sockBuf->len;
        if (sockBuf->hurryAcks) (void)SocketQuickAck(sockBuf->socket);
        sockBuf->len += n;
    }
}

int SockBufReadLine(tSockBuf *sockBuf, char *out, int outSize, int seconds, int cancelSocket) {
    if (outSize <= 0) return SockFail(ESOCK_BUFFER_OVERFLOW);
    int e = SockBufScan(sockBuf, '\n', seconds, cancelSocket);
    if (e < 0) return -1;
    int end = e < sockBuf->len ? e + 1 : e;
    int n = end - sockBuf->pos;
    if (n > outSize - 1) n = outSize - 1;
    memcpy(out, sockBuf->buf + sockBuf->pos, (size_t)n);
    out[n] = '\0';
    sockBuf->pos += n;
    return n;
}
