// The reader's article and overview commands: ARTICLE, HEAD, BODY and STAT,
// and XOVER, XHDR and XPAT, dispatched by the reader session
// (server/nntp/session.h) on its client thread.
//
// Threading: each command runs on the session's thread, which owns the
// session; the group index is shared through its store lock.
#pragma once

#include "server/nntp/clients.h"

// Article commands (index, command word, answer code, answer text).
constexpr int ARTCMD_ARTICLE = 0;  // 220 "head and body follow"
constexpr int ARTCMD_HEAD = 1;     // 221 "head follows"
constexpr int ARTCMD_BODY = 2;     // 222 "body follows"
constexpr int ARTCMD_STAT = 3;     // 223 "request text separately"

// Overview commands. XHDR and XPAT find their header (SUBJECT, FROM, ...) in
// their first word.
constexpr int OVCMD_XOVER = 0;
constexpr int OVCMD_XHDR = 1;
constexpr int OVCMD_XPAT = 2;

// ARTICLE, HEAD, BODY or STAT (commandIndex ARTCMD_*) with its argument
// word (null when none) for the session. Answers the reader itself. Returns
// 0 when the session goes on, -1 when it must end.
[[nodiscard]] int ArticleCommand(tSession *session, int commandIndex, const char *argument);

// XOVER, XHDR or XPAT (command OVCMD_*) with the words after the command
// word (words[0..count-1], count may be 0; the session's line buffer holds
// them and may be reused for answers once they are read). Answers the reader itself. Returns 0 when the session goes on, -1 when
// it must end.
[[nodiscard]] int OverviewCommand(tSession *session, int command, char **words, int count);
