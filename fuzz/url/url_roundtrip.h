// The promise checked by the URL fuzzer and its regression test: parsing any
// text either fails leaving the URL empty, or gives a URL that formats and
// parses back to itself.
#pragma once

#include <cstring>

#include "lib/url.h"

namespace urlfuzz {

inline bool Same(const char *a, const char *b) { return (!a && !b) || (a && b && strcmp(a, b) == 0); }

inline bool RoundTripHolds(const char *text) {
    tUrl url;
    const char *rest = UrlParse(text, &url);
    if (!rest) return !url.login && !url.password && !url.host && url.scheme == 0;
    bool ok = rest >= text && rest <= text + strlen(text);
    char buf[16384];
    int n = UrlFormat(&url, buf, sizeof buf, -1, 0);
    ok = ok && n >= 0 && (size_t)n == strlen(buf);
    tUrl back = {};
    const char *end = ok ? UrlParse(buf, &back) : nullptr;
    ok = ok && end && *end == '\0' && back.scheme == url.scheme && back.port == url.port &&
         back.proxyGroup == url.proxyGroup && Same(back.login, url.login) && Same(back.password, url.password) &&
         Same(back.host, url.host);
    UrlRelease(&back);
    UrlRelease(&url);
    return ok;
}

}  // namespace urlfuzz
