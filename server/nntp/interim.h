// Stand-in sessions for the local servers until the reader session and the
// administration pages exist.
//
// InterimNntpSession greets the newsreader as the settings say (the banner
// when it is set and allowed for this version, else "200 Mergator 4.5
// (posting allowed)") and answers "500 command not recognized" to every line
// until QUIT ("205 bye"), the end of the stream, a 600-second silence or a
// shutdown. InterimWebSession reads one request up to its empty line and
// answers with a short page saying that the administration pages are not
// available. Both are tPoolFunctions taking the tSession and end with
// SessionEnd; the reader session (SessionRun) and the web handler
// (WebSessionRun) replace them as the listeners' session functions.
//
// Threading: each runs on its client's thread and owns the session.
#pragma once

// The NNTP listener's session function until the reader session exists.
void InterimNntpSession(void *session);

// The web listener's session function until the web handler exists.
void InterimWebSession(void *session);
