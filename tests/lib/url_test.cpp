#include "lib/url.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "lib/diag.h"

namespace {

std::string Or(const char *s) { return s ? s : "(null)"; }

struct tParseCase {
    const char *text;
    int scheme;
    const char *login, *password, *host;
    int port, proxyGroup;
    const char *rest;  // what follows the parsed URL; null when parsing fails
    int error;         // last socket error on failure
};

const tParseCase kParseCases[] = {
    {"host1", 0, nullptr, nullptr, "host1", 0, 0, "", 0},
    {"news://host1", 3, nullptr, nullptr, "host1", 119, 0, "", 0},
    {"news://host1:0", 0, nullptr, nullptr, nullptr, 0, 0, nullptr, ESOCK_BAD_URL_PORT},
    {"news://host1:", 0, nullptr, nullptr, nullptr, 0, 0, nullptr, ESOCK_BAD_URL_PORT},
    {"news://host1:abc", 0, nullptr, nullptr, nullptr, 0, 0, nullptr, ESOCK_BAD_URL_PORT},
    {"news://host1:65536", 0, nullptr, nullptr, nullptr, 0, 0, nullptr, ESOCK_BAD_URL_PORT},
    {"news://host1:99999999999999999999", 0, nullptr, nullptr, nullptr, 0, 0, nullptr, ESOCK_BAD_URL_PORT},
    {"news://host1:65535x", 3, nullptr, nullptr, "host1", 65535, 0, "", 0},
    {"host,99999999999999", 0, nullptr, nullptr, "host", 0, 2147483647, "", 0},
    {"news://host1:119,-1", 0, nullptr, nullptr, nullptr, 0, 0, nullptr, ESOCK_BAD_URL_PROXY_ID},
    {"socks5b://user1@host2:1081", 10, "user1", nullptr, "host2", 1081, 0, "", 0},
    {"socks5://u:p@h", 9, "u", "p", "h", 1080, 0, "", 0},
    {"none,2", 6, nullptr, nullptr, nullptr, 0, 2, "", 0},
    {"none", 6, nullptr, nullptr, nullptr, 0, 0, "", 0},
    {"https://proxy:8080,3/path", 13, nullptr, nullptr, "proxy", 8080, 3, "/path", 0},
    {"http://web/index.html", 2, nullptr, nullptr, "web", 80, 0, "/index.html", 0},
    {"ftpproxy://gate", 7, nullptr, nullptr, "gate", 4666, 0, "", 0},
    {"sun://relay", 8, nullptr, nullptr, "relay", 3666, 0, "", 0},
    {"socks4://s", 11, nullptr, nullptr, "s", 1080, 0, "", 0},
    {"socks4b://s", 12, nullptr, nullptr, "s", 1080, 0, "", 0},
    {"tunnel://t", 14, nullptr, nullptr, "t", 0, 0, "", 0},
    {"ftp://f", 1, nullptr, nullptr, "f", 21, 0, "", 0},
    {"pop3://p", 4, nullptr, nullptr, "p", 110, 0, "", 0},
    {"telnet://t", 5, nullptr, nullptr, "t", 23, 0, "", 0},
    // Prefixes are case-sensitive: an upper-case one is no scheme,
    // so "NEWS" is a host followed by an empty port.
    {"NEWS://h", 0, nullptr, nullptr, nullptr, 0, 0, nullptr, ESOCK_BAD_URL_PORT},
    {"News/x", 0, nullptr, nullptr, "News", 0, 0, "/x", 0},
    {"u%40x+y:p%2b@h%3a", 0, "u@x y", "p+", "h:", 0, 0, "", 0},
    {"host,5", 0, nullptr, nullptr, "host", 0, 5, "", 0},
    {"a:b:c", 0, nullptr, nullptr, "a", 0, 0, nullptr, ESOCK_BAD_URL_PORT},
    {"u:@h", 0, "u", "", "h", 0, 0, "", 0},
};

TEST(Url, ParseTable) {
    for (const tParseCase &c : kParseCases) {
        SCOPED_TRACE(c.text);
        tUrl url;
        SockSetLastError(0);
        const char *rest = UrlParse(c.text, &url);
        if (!c.rest) {
            EXPECT_EQ(rest, nullptr);
            EXPECT_EQ(SockLastError(), c.error);
            EXPECT_EQ(url.scheme, 0);
            EXPECT_EQ(url.login, nullptr);
            EXPECT_EQ(url.password, nullptr);
            EXPECT_EQ(url.host, nullptr);
            continue;
        }
        ASSERT_NE(rest, nullptr);
        EXPECT_STREQ(rest, c.rest);
        EXPECT_EQ(url.scheme, c.scheme);
        EXPECT_EQ(Or(url.login), Or(c.login));
        EXPECT_EQ(Or(url.password), Or(c.password));
        EXPECT_EQ(Or(url.host), Or(c.host));
        EXPECT_EQ(url.port, c.port);
        EXPECT_EQ(url.proxyGroup, c.proxyGroup);
        EXPECT_EQ(url.next, nullptr);
        UrlRelease(&url);
    }
}

TEST(Url, ErrorTextsOfParseFailures) {
    tUrl url;
    ASSERT_EQ(UrlParse("news://host1:0", &url), nullptr);
    EXPECT_STREQ(ProxyErrorText(SockLastError()), "Incorrect port in URL");
    ASSERT_EQ(UrlParse("news://host1:119,-1", &url), nullptr);
    EXPECT_STREQ(ProxyErrorText(SockLastError()), "Incorrect proxy id in URL");
}

std::string Format(const tUrl &url, int implicitScheme, int withoutSecrets) {
    char buf[256];
    int n = UrlFormat(&url, buf, sizeof buf, implicitScheme, withoutSecrets);
    if (n < 0) return "(failed)";
    EXPECT_EQ((size_t)n, strlen(buf));
    return buf;
}

TEST(Url, FormatLeavesOutImplicitSchemeDefaultPortAndSecrets) {
    tUrl url;
    ASSERT_NE(UrlParse("news://host1", &url), nullptr);
    EXPECT_EQ(Format(url, URL_NEWS, 0), "host1");
    EXPECT_EQ(Format(url, 0, 0), "news://host1");
    UrlRelease(&url);

    ASSERT_NE(UrlParse("socks5://u:p@h:1081,4", &url), nullptr);
    EXPECT_EQ(Format(url, URL_NEWS, 0), "socks5://u:p@h:1081,4");
    EXPECT_EQ(Format(url, URL_NEWS, 1), "socks5://u@h:1081");
    UrlRelease(&url);

    ASSERT_NE(UrlParse("none,2", &url), nullptr);
    EXPECT_EQ(Format(url, URL_NEWS, 0), "none,2");
    UrlRelease(&url);
}

TEST(Url, FormatThenParseGivesTheSameUrl) {
    tUrl url = {};
    url.scheme = URL_SOCKS5;
    url.login = strdup("a@b:c/d, e+f%g\"");
    url.password = strdup("p@ss+");
    url.host = strdup("h,1");
    url.port = 99;
    url.proxyGroup = 7;
    std::string text = Format(url, URL_NEWS, 0);
    EXPECT_EQ(text, "socks5://a%40b%3ac%2fd%2c%20e%2bf%25g%22:p%40ss%2b@h%2c1:99,7");
    tUrl back;
    ASSERT_NE(UrlParse(text.c_str(), &back), nullptr);
    EXPECT_EQ(back.scheme, url.scheme);
    EXPECT_STREQ(back.login, url.login);
    EXPECT_STREQ(back.password, url.password);
    EXPECT_STREQ(back.host, url.host);
    EXPECT_EQ(back.port, 99);
    EXPECT_EQ(back.proxyGroup, 7);
    UrlRelease(&back);
    UrlRelease(&url);
    EXPECT_EQ(url.login, nullptr);
    EXPECT_EQ(url.scheme, 0);
}

TEST(Url, FormatFailsWhenTheBufferIsTooSmall) {
    tUrl url;
    ASSERT_NE(UrlParse("news://host1:120", &url), nullptr);
    char buf[64];
    int full = UrlFormat(&url, buf, sizeof buf, 0, 0);
    ASSERT_EQ(full, (int)strlen("news://host1:120"));
    for (size_t len = 0; len <= (size_t)full; len++) {
        SCOPED_TRACE(len);
        char small[64];
        memset(small, 'X', sizeof small);
        SockSetLastError(0);
        EXPECT_EQ(UrlFormat(&url, small, len, 0, 0), -1);
        EXPECT_EQ(SockLastError(), ESOCK_BUFFER_OVERFLOW);
        for (size_t i = len; i < sizeof small; i++) ASSERT_EQ(small[i], 'X');
    }
    EXPECT_EQ(UrlFormat(&url, buf, (size_t)full + 1, 0, 0), full);
    UrlRelease(&url);
}

TEST(Url, EscapeWritesLowerCaseHexAndChecksRoom) {
    char buf[32];
    EXPECT_EQ(UrlEscape(buf, sizeof buf, "a b+c\"", URL_QUERY_ESCAPES), 12);
    EXPECT_STREQ(buf, "a%20b%2bc%22");
    EXPECT_EQ(UrlEscape(buf, sizeof buf, "x/y:z", URL_QUERY_ESCAPES), 5);
    EXPECT_EQ(UrlEscape(buf, 13, "a b+c\"", URL_QUERY_ESCAPES), 12);
    EXPECT_EQ(UrlEscape(buf, 12, "a b+c\"", URL_QUERY_ESCAPES), -1);
    EXPECT_EQ(SockLastError(), ESOCK_BUFFER_OVERFLOW);
    EXPECT_EQ(UrlEscape(buf, 1, "", URL_QUERY_ESCAPES), 0);
    EXPECT_EQ(UrlEscape(buf, 0, "", URL_QUERY_ESCAPES), -1);
}

TEST(Url, UnescapeTable) {
    struct {
        const char *in;
        std::string out;
    } cases[] = {
        {"a%41%4%z%", std::string("aA\x04%z%", 6)},
        {"a+b", "a b"},
        {"%2B%2b", "++"},
        {"%", "%"},
        {"%4", "\x04"},
        {"%g1", "%g1"},
        {"100%", "100%"},
        {"%ff", "\xff"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        size_t n = UrlUnescape(nullptr, c.in, strlen(c.in));
        ASSERT_EQ(n, c.out.size());
        std::string buf(n + 1, 'X');
        EXPECT_EQ(UrlUnescape(buf.data(), c.in, strlen(c.in)), n);
        EXPECT_EQ(buf[n], '\0');
        EXPECT_EQ(buf.substr(0, n), c.out);
    }
    // Only length characters are read.
    char out[8];
    EXPECT_EQ(UrlUnescape(out, "%41", 2), 1u);
    EXPECT_EQ(out[0], 4);
}

}  // namespace

#include <filesystem>

#include "fuzz/url/url_roundtrip.h"
#include "tests/support/paths.h"

namespace {

// The URL fuzzer's seeds and findings keep their promise.
TEST(Url, FuzzSeedsAndFindingsRoundTrip) {
    int count = 0;
    for (const char *dir : {"fuzz/url/corpus", "fuzz/url/regress"}) {
        std::error_code ec;
        for (const auto &e : std::filesystem::directory_iterator(MgSource(dir), ec)) {
            std::string text = ReadWholeFile(e.path().string());
            EXPECT_TRUE(urlfuzz::RoundTripHolds(text.c_str())) << e.path();
            count++;
        }
    }
    EXPECT_GT(count, 0);
}

}  // namespace
