// The server side of TCP sockets: listening, and what an accepted connection
// tells about its two ends.
//
// Complements lib/sock.h (which creates and binds sockets and accepts with a
// time limit) with the calls a listening server needs. Addresses are IPv4 in
// network order; failures return -1 with the thread's last socket error set
// (Winsock numbering, lib/diag.h).
//
// Threading: reentrant; the reverse lookup may block on the resolver.
#pragma once

#include <cstdint>

// Marks a bound socket as listening with the given backlog. 0 or -1.
int SocketListen(int socket, int backlog);

// The address and port of the connection's far end. 0 or -1.
int SocketPeerAddress(int socket, uint32_t *address, int *port);

// The local address and port of a connected or bound socket. 0 or -1.
int SocketLocalAddress(int socket, uint32_t *address, int *port);

// The host name of an address by reverse lookup into name (size bytes).
// 0 when a name was found; -1 when none was found or it does not fit (the
// last socket error tells: WSAHOST_NOT_FOUND, or ESOCK_BUFFER_OVERFLOW).
int ReverseLookup(uint32_t address, char *name, int size);
