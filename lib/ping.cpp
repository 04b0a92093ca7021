// ICMP echo; see ping.h.
#include "lib/ping.h"

#include <arpa/inet.h>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "lib/diag.h"
#include "lib/sock.h"

namespace {

constexpr int ECHO_DATA = 64;
constexpr int ECHO_TIMEOUT_MS = 5000;

uint16_t Checksum(const unsigned char *p, int n) {
    uint32_t sum = 0;
    for (int i = 0; i + 1 < n; i += 2) sum += (uint32_t)(p[i] << 8 | p[i + 1]);
    if (n & 1) sum += (uint32_t)(p[n - 1] << 8);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return (uint16_t)~sum;
}

// Echo status of an ICMP error message type/code.
int ErrorStatus(int type, int code) {
    switch (type) {
    case 3:  // destination unreachable
        switch (code) {
        case 0: return 11002;
        case 2: return 11004;
        case 3: return IP_DEST_PORT_UNREACHABLE;
        case 4: return IP_PACKET_TOO_BIG;
        case 5: return IP_BAD_ROUTE;
        default: return 11003;
        }
    case 4: return IP_SOURCE_QUENCH;
    case 11: return code == 1 ? IP_TTL_EXPIRED_REASSEM : IP_TTL_EXPIRED_TRANSIT;
    case 12: return IP_PARAM_PROBLEM;
    default: return 0;
    }
}

bool IsErrorType(int type) { return type == 3 || type == 4 || type == 11 || type == 12; }

}  // namespace

int PingParseReply(const unsigned char *packet, int length, bool withIpHeader, uint16_t id, uint16_t seq,
                   int *status, int *ttl, uint32_t *from) {
    const unsigned char *icmp = packet;
    int left = length;
    if (withIpHeader) {
        if (length < 20) return 0;
        int ihl = (packet[0] & 0x0f) * 4;
        if (ihl < 20 || ihl > length) return 0;
        *ttl = packet[8];
        memcpy(from, packet + 12, 4);
        icmp = packet + ihl;
        left = length - ihl;
    }
    if (left < 8) return 0;
    int type = icmp[0], code = icmp[1];
    uint16_t gotId = (uint16_t)(icmp[4] << 8 | icmp[5]);
    uint16_t gotSeq = (uint16_t)(icmp[6] << 8 | icmp[7]);
    if (type == 0) {
        // A datagram socket's identifier is chosen by the kernel, which
        // delivers only our own replies: check the sequence only.
        if ((withIpHeader && gotId != id) || gotSeq != seq) return 0;
        *status = 0;
        return 1;
    }
    if (!IsErrorType(type)) return 0;
    // The error quotes the IP header and first 8 bytes of our echo.
    const unsigned char *inner = icmp + 8;
    int innerLeft = left - 8;
    if (innerLeft < 20) return 0;
    int innerIhl = (inner[0] & 0x0f) * 4;
    if (innerIhl < 20 || innerLeft < innerIhl + 8 || inner[9] != IPPROTO_ICMP) return 0;
    const unsigned char *echo = inner + innerIhl;
    if (echo[0] != 8) return 0;
    uint16_t echoId = (uint16_t)(echo[4] << 8 | echo[5]);
    uint16_t echoSeq = (uint16_t)(echo[6] << 8 | echo[7]);
    if ((withIpHeader && echoId != id) || echoSeq != seq) return 0;
    *status = ErrorStatus(type, code);
    return 1;
}

int Ping(const char *host, int verbose, tPingReportFn report, void *context) {
    uint32_t address;
    if (Resolve(host, &address, nullptr) < 0) return -1;

    bool raw = false;
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (s < 0) {
        int dgramErr = errno;
        s = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (s < 0) {
            int err = errno;
            if (err == EPERM || err == EACCES || err == EPROTONOSUPPORT || err == EAFNOSUPPORT ||
                err == ESOCKTNOSUPPORT) {
                (void)dgramErr;
                return SockFail(ESOCK_NO_PING);
            }
            return SockFail(SockErrorFromErrno(err));
        }
        raw = true;
    }
    int on = 1;
    if (!raw) setsockopt(s, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);

    static std::atomic<uint16_t> nextSeq{1};
    uint16_t id = (uint16_t)(getpid() & 0xffff);
    uint16_t seq = nextSeq.fetch_add(1);
    unsigned char echo[8 + ECHO_DATA];
    memset(echo, 0, sizeof echo);
    echo[0] = 8;
    echo[4] = (unsigned char)(id >> 8);
    echo[5] = (unsigned char)id;
    echo[6] = (unsigned char)(seq >> 8);
    echo[7] = (unsigned char)seq;
    memset(echo + 8, 0xaa, ECHO_DATA);
    uint16_t sum = Checksum(echo, sizeof echo);
    echo[2] = (unsigned char)(sum >> 8);
    echo[3] = (unsigned char)sum;

    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = address;
    auto start = std::chrono::steady_clock::now();
    if (sendto(s, echo, sizeof echo, MSG_NOSIGNAL, (struct sockaddr *)&to, sizeof to) < 0) {
        SockFail(SockErrorFromErrno(errno));
        return CloseAndFail(s);
    }

    auto deadline = start + std::chrono::milliseconds(ECHO_TIMEOUT_MS);
    for (;;) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            SockFail(IP_REQ_TIMED_OUT);
            return CloseAndFail(s);
        }
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        struct pollfd p = {s, POLLIN, 0};
        int n = poll(&p, 1, left < 1 ? 1 : left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            SockFail(SockErrorFromErrno(errno));
            return CloseAndFail(s);
        }
        if (n == 0) continue;

        unsigned char packet[1500];
        char control[256];
        struct sockaddr_in peer;
        struct iovec iov = {packet, sizeof packet};
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_name = &peer;
        msg.msg_namelen = sizeof peer;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t got = recvmsg(s, &msg, 0);
        if (got < 0) {
            int err = errno;
            if (err == EINTR || err == EAGAIN) continue;
            // A datagram socket reports ICMP errors as socket errors.
            int status = err == EHOSTUNREACH ? 11003 : err == ENETUNREACH ? 11002 : 0;
            SockFail(status ? status : SockErrorFromErrno(err));
            return CloseAndFail(s);
        }
        int ttl = 0, status = 0;
        uint32_t from = peer.sin_addr.s_addr;
        if (!PingParseReply(packet, (int)got, raw, id, seq, &status, &ttl, &from)) continue;
        if (!raw) {
            for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) {
                    int value;
                    memcpy(&value, CMSG_DATA(c), sizeof value);
                    ttl = value;
                }
            }
        }
        close(s);
        if (status != 0) return SockFail(status);
        int rtt = (int)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                             start)
                      .count();
        if (verbose && report) {
            const unsigned char *a = (const unsigned char *)&from;
            report(context, "Addr %d.%d.%d.%d  RTT %dms  TTL %d\n", a[0], a[1], a[2], a[3], rtt, ttl);
        }
        return 0;
    }
}
