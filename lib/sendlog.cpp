#include "lib/sendlog.h"

#include "lib/diag.h"
#include "lib/log.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace {

int SendText(int socket, const char *text) {
    if (socket == -1) return 0;
    ssize_t n = send(socket, text, strlen(text), MSG_NOSIGNAL);
    if (n < 0) return SockFail(SockErrorFromErrno(errno));
    return (int)n;
}

}  // namespace

int SendAndLog(int socket, const char *text, tLog *log) {
    int rc = SendText(socket, text);
    if (log) LogMessage(log, "%s", text);
    return rc;
}

int SendAndLogRaw(int socket, const char *text, tLog *log) {
    int rc = SendText(socket, text);
    if (log) LogRaw(log, "%s", text);
    return rc;
}

int SendDotLine(int socket, tLog *log) { return SendAndLog(socket, ".\r\n", log); }
