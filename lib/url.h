// URLs of upstream servers and proxies.
//
// A server or proxy is written as
//   [scheme] [login [":" password] "@"] host [":" port] ["," proxyGroup]
// where only the host is required. tUrl is the parsed form; the scheme is an
// index into a fixed table (the index is stored in files, so the order never
// changes). Login, password and host are kept decoded; UrlFormat escapes them
// again so that parsing its output gives back the same tUrl.
//
// Threading: no shared state; every function may run on any thread. Failures
// are reported through the calling thread's last socket error (lib/diag.h).
#pragma once

#include <cstddef>

// Scheme indexes; the order is part of the stored formats.
enum {
    URL_NONE_GIVEN = 0,   // no scheme prefix
    URL_FTP = 1,          // "ftp://"
    URL_HTTP = 2,         // "http://"
    URL_NEWS = 3,         // "news://"
    URL_POP3 = 4,         // "pop3://"
    URL_TELNET = 5,       // "telnet://"
    URL_NO_PROXY = 6,     // "none": explicitly no proxy
    URL_FTPPROXY = 7,     // "ftpproxy://": port-mapping proxy
    URL_SUN = 8,          // "sun://": line-based relay proxy
    URL_SOCKS5 = 9,       // "socks5://": IPv4 reply read in full
    URL_SOCKS5B = 10,     // "socks5b://": of an IPv4 reply only four bytes
    URL_SOCKS4 = 11,      // "socks4://": six further bytes after the reply
    URL_SOCKS4B = 12,     // "socks4b://": plain eight-byte reply
    URL_HTTPS = 13,       // "https://": HTTP CONNECT proxy
    URL_TUNNEL = 14,      // "tunnel://": plain TCP relay
    URL_SCHEME_COUNT = 15
};

struct tUrlScheme {
    const char *prefix;  // "" for index 0
    int defaultPort;
};

// The scheme table, indexed by the values above.
extern const tUrlScheme urlSchemes[URL_SCHEME_COUNT];

struct tUrl {
    int scheme;        // index into urlSchemes
    char *login;       // decoded, owned (malloc) or null
    char *password;    // decoded, owned (malloc) or null
    char *host;        // decoded, owned (malloc) or null
    int port;          // the scheme's default port when the text gives none
    int proxyGroup;    // 0 or more
    tUrl *next;        // next hop of a proxy chain; not owned, never set by parsing
};

// Escape sets: for login, password and host, and for query values.
extern const char URL_PART_ESCAPES[];   // "/:@, +%\""
extern const char URL_QUERY_ESCAPES[];  // " +%\""

// Parses the start of text into url (zeroed first). Returns the position just
// after the parsed URL (the caller handles any rest, such as a path), or null
// with url empty and the last socket error ESOCK_OUT_OF_MEMORY,
// ESOCK_BAD_URL_PORT (a port that reads as 0 or less, or above 65535) or
// ESOCK_BAD_URL_PROXY_ID (a negative group). On success url owns its texts
// (release with UrlRelease).
[[nodiscard]] const char *UrlParse(const char *text, tUrl *url);

// Writes the URL text into buffer (length bytes with the NUL) and returns its
// length, or -1 with ESOCK_BUFFER_OVERFLOW. The prefix is left out when the
// scheme equals implicitScheme; withoutSecrets leaves out the password and
// the proxy group.
[[nodiscard]] int UrlFormat(const tUrl *url, char *buffer, size_t length, int implicitScheme,
                            int withoutSecrets);

// Frees the three texts and zeroes the whole structure (next included).
// Accepts null and an empty url.
void UrlRelease(tUrl *url);

// Copies text into buffer, writing each character found in set as "%" and two
// lower-case hex digits. Returns the length, or -1 with ESOCK_BUFFER_OVERFLOW
// when the result and its NUL do not fit in length.
[[nodiscard]] int UrlEscape(char *buffer, size_t length, const char *text, const char *set);

// Decodes length characters of text: "+" is a space, "%hh" a byte, "%h"
// before a non-hex character the value of that one digit, a "%" before a
// non-hex character (or at the end) stays "%". Writes the NUL-terminated
// result when buffer is not null (it needs the returned length + 1 bytes) and
// returns the decoded length either way.
size_t UrlUnescape(char *buffer, const char *text, size_t length);
