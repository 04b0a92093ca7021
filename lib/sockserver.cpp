#include "lib/sockserver.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "lib/diag.h"

namespace {

int FailErrno() { return SockFail(SockErrorFromErrno(errno)); }

int AddressOf(const sockaddr_storage &storage, uint32_t *address, int *port) {
    if (storage.ss_family != AF_INET) return SockFail(WSAEAFNOSUPPORT);
    const sockaddr_in *in = (const sockaddr_in *)&storage;
    *address = in->sin_addr.s_addr;
    *port = ntohs(in->sin_port);
    return 0;
}

}  // namespace

int SocketListen(int socket, int backlog) {
    if (listen(socket, backlog) != 0) return FailErrno();
    return 0;
}

int SocketPeerAddress(int socket, uint32_t *address, int *port) {
    sockaddr_storage storage;
    socklen_t len = sizeof storage;
    if (getpeername(socket, (sockaddr *)&storage, &len) != 0) return FailErrno();
    return AddressOf(storage, address, port);
}

int SocketLocalAddress(int socket, uint32_t *address, int *port) {
    sockaddr_storage storage;
    socklen_t len = sizeof storage;
    if (getsockname(socket, (sockaddr *)&storage, &len) != 0) return FailErrno();
    return AddressOf(storage, address, port);
}

int ReverseLookup(uint32_t address, char *name, int size) {
    sockaddr_in in;
    memset(&in, 0, sizeof in);
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = address;
    char found[NI_MAXHOST];
    int rc = getnameinfo((const sockaddr *)&in, sizeof in, found, sizeof found, nullptr, 0, NI_NAMEREQD);
    if (rc != 0) return SockFail(SockErrorFromResolver(rc));
    size_t length = strlen(found);
    if (size <= 0 || length >= (size_t)size) return SockFail(ESOCK_BUFFER_OVERFLOW);
    memcpy(name, found, length + 1);
    return 0;
}
