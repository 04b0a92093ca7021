// ICMP echo ("ping") of one host.
//
// On Linux the echo goes through an unprivileged datagram ICMP socket where
// the kernel allows it (net.ipv4.ping_group_range), else through a raw ICMP
// socket (root). The outcome is reported with the echo statuses 11000..11019
// of lib/diag.h (11010 "Request timed out", 11003 "NO_RECOVERY/Destination
// host unreachable", ...), so it reads the same everywhere. A machine where
// neither socket can be opened fails with ESOCK_NO_PING.
//
// Threading: no shared state; any thread.
#pragma once

#include <cstdint>

// printf-style receiver of the verbose report.
typedef void (*tPingReportFn)(void *context, const char *format, ...);

// Sends one echo with 64 data bytes of 0xAA and waits 5000 ms for its answer.
// Returns 0 on a reply (with verbose, report receives "Addr %d.%d.%d.%d  RTT
// %dms  TTL %d\n"); else -1 with the echo status (11002..11019) or the system
// error as the last socket error. report may be null.
int Ping(const char *host, int verbose, tPingReportFn report, void *context);

// What one received ICMP packet says about our echo (id, seq). packet starts
// with an IPv4 header when withIpHeader. Returns 1 when it answers the echo,
// with *status 0 for an echo reply or the echo status of an error message,
// *ttl the reply's TTL (when the IP header is present) and *from its source
// (network order); 0 when the packet is not about our echo.
int PingParseReply(const unsigned char *packet, int length, bool withIpHeader, uint16_t id, uint16_t seq,
                   int *status, int *ttl, uint32_t *from);
