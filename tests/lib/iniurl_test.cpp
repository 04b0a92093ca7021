#include "lib/ini.h"
#include "lib/url.h"
#include "tests/support/paths.h"

#include <cstdarg>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

tUrl server;
tIniUrlArray proxies;

const tIniEntry entries[] = {
    {"url", &iniTypeUrl, IniVar(&server), 0},
    {"proxy", &iniTypeUrlArray, IniVar(&proxies), 0},
    {nullptr, nullptr, 0, 0},
};
tIniSection sections[] = {{"server", entries, nullptr}, {nullptr, nullptr, nullptr}};

std::vector<std::string> reports;

void Collect(void *, const char *format, ...) {
    va_list args;
    va_start(args, format);
    char buf[2048];
    vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    reports.push_back(buf);
}

struct IniUrl : ::testing::Test {
    tTempDir dir;
    std::string path = dir / "servers.ini";
    tIniFile file = {path.c_str(), sections, nullptr, 1};
    void SetUp() override { ASSERT_EQ(IniApplyDefaults(&file), 0); }
    void TearDown() override { IniRelease(&file); }
    int Read(const std::string &content) {
        EXPECT_TRUE(WriteWholeFile(path, content));
        reports.clear();
        return IniRead(&file, Collect, nullptr);
    }
};

TEST_F(IniUrl, UrlsRoundTripWithTheNewsSchemeImplicit) {
    ASSERT_EQ(Read("[server]\nurl=news://us%40er:pw@host1:120,2\nproxy=socks5b://user1@host2:1081\n"
                   "proxy=none,2\n"),
              0);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(server.scheme, URL_NEWS);
    EXPECT_STREQ(server.login, "us@er");
    EXPECT_STREQ(server.host, "host1");
    EXPECT_EQ(server.port, 120);
    EXPECT_EQ(server.proxyGroup, 2);
    ASSERT_EQ(proxies.array.used, 2);
    EXPECT_EQ(((tUrl *)proxies.array.buf)[1].scheme, URL_NO_PROXY);
    ASSERT_EQ(IniWrite(&file), 0);
    EXPECT_EQ(ReadWholeFile(path),
              "[server]\nurl=us%40er:pw@host1:120,2\nproxy=socks5b://user1@host2:1081\nproxy=none,2\n\n");
    // Read back: the first proxy line replaces the list instead of appending.
    IniRelease(&file);
    ASSERT_EQ(IniApplyDefaults(&file), 0);
    ASSERT_EQ(Read(ReadWholeFile(path)), 0);
    EXPECT_EQ(proxies.array.used, 2);
    EXPECT_STREQ(server.password, "pw");
}

TEST_F(IniUrl, BadUrlsAreIgnored) {
    ASSERT_EQ(Read("[server]\nurl=host1\nurl=news://host2:0\nproxy=x:1,-1\n"), 0);
    EXPECT_EQ(reports, (std::vector<std::string>{
                           "Ignoring entry url of type url because Invalid format: url=news://host2:0\n",
                           "Ignoring entry proxy of type url-array because Invalid format: proxy=x:1,-1\n"}));
    EXPECT_STREQ(server.host, "host1");
    EXPECT_EQ(proxies.array.used, 0);
}

TEST_F(IniUrl, AUrlWithoutHostIsLeftOutWithoutStoredDefaults) {
    file.storeDefaults = 0;
    ASSERT_EQ(IniWrite(&file), 0);
    EXPECT_EQ(ReadWholeFile(path), "[server]\n\n");
}

}  // namespace
