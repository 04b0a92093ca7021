// Shortcut files that point a browser, newsreader or telnet client at the
// local servers ("telnet.htm", "telnet.url", "news.htm", "news.url",
// "web.htm", "web.url").
//
// Threading: reentrant; the main program writes the files at start-up.
#pragma once

// Scheme indexes of the URL scheme table used for shortcuts.
constexpr int SHORTCUT_HTTP = 2;    // "http://", default port 80
constexpr int SHORTCUT_NEWS = 3;    // "news://", default port 119
constexpr int SHORTCUT_TELNET = 5;  // "telnet://", default port 23

// Removes fileName and writes it anew, pointing at "<prefix>localhost" and,
// when port differs from the scheme's default port, ":<port>". With urlForm
// an Internet shortcut ("[InternetShortcut]\nURL=...\n"), otherwise an HTML
// page that redirects by script (and, for http, by a refresh line).
// schemeIndex is one of the three above. Returns 0 on success, -1 when the
// file cannot be created or written (or for another scheme).
int WriteShortcut(const char *fileName, int schemeIndex, int port, int urlForm);
