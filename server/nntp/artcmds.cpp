#include "server/nntp/artcmds.h"

#include "lib/sendlog.h"
#include "server/nntp/session.h"

// Until article retrieval is built these commands are answered as unknown
// ones are.
namespace {

int NotThereYet(tSession *session) {
    const char *answer = session->reader && session->reader->authLevel == AUTH_ADMIN
                             ? "500 command not recognized\r\n"
                             : "500 error\r\n";
    SendAndLog(session->conversation.socket, answer, &session->log);
    return 0;
}

}  // namespace

int ArticleCommand(tSession *session, int, const char *) { return NotThereYet(session); }

int OverviewCommand(tSession *session, int, char **, int) { return NotThereYet(session); }
