#include "server/nntp/interim.h"

#include <cstring>
#include <strings.h>

#include "lib/log.h"
#include "lib/sendlog.h"
#include "lib/shutdown.h"
#include "lib/sock.h"
#include "server/nntp/clients.h"
#include "server/settings/settings.h"

namespace {

constexpr int READ_SECONDS = 600;

// Reads one line into session->line; 1 with a line, 0 when the session must
// end (the reason logged).
int ReadClientLine(tSession *session, int seconds) {
    int n = SockBufReadLine(&session->conversation, session->line, SESSION_LINE_SIZE, seconds, CancelSocketGet());
    if (n == 0) {
        LogMessage(&session->log, "Connection closed by client.\n");
        return 0;
    }
    if (n < 0) {
        LogMessage(&session->log, "Connection interrupted: %s.\n", ProxyErrorText(SockLastError()));
        return 0;
    }
    LogRaw(&session->log, "\n");
    LogMessage(&session->log, "%s", session->line);
    if (ShutdownRequested()) {
        LogMessage(&session->log, "Shutdown, nntp server thread terminates.\n");
        return 0;
    }
    return 1;
}

}  // namespace

void InterimNntpSession(void *argument) {
    tSession *session = (tSession *)argument;
    int socket = session->conversation.socket;
    tLog *log = &session->log;
    if (banner && ((bannerOkForVersion && strcmp(bannerOkForVersion, "4.5") == 0) || bannerOkAlways)) {
        SendAndLog(socket, banner, log);
        SendAndLog(socket, "\r\n", log);
    } else {
        SendAndLog(socket, "200 Mergator 4.5 (posting allowed)\r\n", log);
    }
    while (ReadClientLine(session, READ_SECONDS)) {
        char word[16];
        size_t skip = strspn(session->line, " \t\r\n");
        size_t length = strcspn(session->line + skip, " \t\r\n");
        if (length == 0) continue;
        if (length < sizeof word) {
            memcpy(word, session->line + skip, length);
            word[length] = '\0';
            if (strcasecmp(word, "QUIT") == 0) {
                SendAndLog(socket, "205 bye\r\n", log);
                break;
            }
        }
        if (SendAndLog(socket, "500 command not recognized\r\n", log) < 0) break;
    }
    SessionEnd(session);
}

void InterimWebSession(void *argument) {
    tSession *session = (tSession *)argument;
    int answer = 0;
    while (ReadClientLine(session, READ_SECONDS)) {
        if (session->line[strspn(session->line, "\r\n")] == '\0') {
            answer = 1;
            break;
        }
    }
    if (answer)
        SendAndLog(session->conversation.socket,
                   "HTTP/1.1 503 Service Unavailable\r\nServer: Mergator 4.5\r\nConnection: close\r\n"
                   "Content-type: text/html\r\n\r\n<html>\r\n<title>Mergator</title>\r\n<body bgcolor=white>\r\n"
                   "The administration pages are not available in this version.\r\n</body>\r\n</html>\r\n",
                   &session->log);
    SessionEnd(session);
}
