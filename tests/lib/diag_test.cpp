#include "lib/diag.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <set>
#include <string>

#include <gtest/gtest.h>

TEST(Diag, FixedMessages) {
    EXPECT_STREQ(DiagText(E_OK), "Ok");
    EXPECT_STREQ(DiagText(E_SQL_CORRUPTED), "SQL file corrupted");
    EXPECT_STREQ(DiagText(E_SHUTDOWN), "Shutdown requested");
    EXPECT_STREQ(DiagText(E_NO_EOL), "Missing end-of-line character");
}

TEST(Diag, UnassignedAndOutOfRangeCodesAreNamedByNumber) {
    EXPECT_STREQ(DiagText(-261), "Error -261 without name");
    EXPECT_STREQ(DiagText(-171), "Error -171 without name");
    EXPECT_STREQ(DiagText(5), "Error 5 without name");
    EXPECT_STREQ(DiagText(-300), "Error -300 without name");
    EXPECT_STREQ(DiagText(-159), "Error -159 without name");
}

TEST(Diag, EveryCodeInRangeButTheUnassignedHasAName) {
    for (tDiag d = -299; d <= -160; d++) {
        if (d == -261 || d == -171) continue;
        std::string t = DiagText(d);
        EXPECT_EQ(t.find("without name"), std::string::npos) << d;
    }
}

TEST(Diag, ErrnoIndirection) {
    errno = ELIB_CATEGORY_FULL;
    EXPECT_STREQ(DiagText(E_ERRNO), "Task category already full");
    errno = 0;
    EXPECT_STREQ(DiagText(E_ERRNO), "errno not set or value has been lost");
    errno = ENOENT;
    EXPECT_STREQ(DiagText(E_ERRNO), strerror(ENOENT));
}

TEST(Diag, SocketIndirection) {
    SockFail(10061);
    EXPECT_STREQ(DiagText(E_SOCKET), "Connection refused");
    SockFail(10005);
    EXPECT_STREQ(DiagText(E_SOCKET), "Error 5");
    SockFail(12000);
    EXPECT_STREQ(DiagText(E_SOCKET), "Error 12000");
    SockSetLastError(0);
    EXPECT_STREQ(DiagText(E_SOCKET), "Socket error not set or value has been lost");
    EXPECT_STREQ(DiagText(E_SEMAPHORE), "Semaphore error not set or value has been lost");
}

TEST(Diag, SockFailReturnsMinusOneAndStores) {
    EXPECT_EQ(SockFail(ESOCK_TIMEOUT), -1);
    EXPECT_EQ(SockLastError(), ESOCK_TIMEOUT);
}

TEST(Diag, SocketAndProxyTexts) {
    struct {
        int code;
        const char *text;
    } cases[] = {
        {19001, "Operation timed out"},  {19016, "IP address is forbidden to connect to"},
        {10000, "Error 0"},              {10100, "Error 100"},
        {10101, "EDISCON"},              {10060, "Connection timed out"},
        {11001, "Host not found"},       {11010, "Request timed out"},
        {11019, "General failure"},      {11020, "Error 11020"},
        {19017, "Error 19017"},          {20001, "Error 20001"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_STREQ(SockErrorText(c.code), c.text);
    }
    EXPECT_STREQ(ProxyErrorText(20016), "Invalid proxy chaining attempted");
    EXPECT_STREQ(ProxyErrorText(19001), "Operation timed out");
    EXPECT_STREQ(ProxyErrorText(20018), "Error 20018");
}

TEST(Diag, StrerrorTextIsCutAtLineFeed) {
    std::string t = SockErrorText(ECONNREFUSED);
    EXPECT_EQ(t.find('\n'), std::string::npos);
    EXPECT_FALSE(t.empty());
}

TEST(Diag, LibErrorTexts) {
    EXPECT_STREQ(LibErrorText(0), "Ok");
    EXPECT_STREQ(LibErrorText(500), "Directory does not exist");
    EXPECT_STREQ(LibErrorText(526), "Process termination wait failed");
    EXPECT_STREQ(LibErrorText(EACCES), strerror(EACCES));
}

TEST(Diag, FromTextFindsFirstCodeFromBelow) {
    EXPECT_EQ(DiagFromText("Article not found"), E_ARTICLE_NOT_FOUND);
    EXPECT_EQ(DiagFromText("Ok"), E_OK);
    EXPECT_EQ(DiagFromText("Group does not exist"), E_NO_SUCH_GROUP);
    EXPECT_EQ(DiagFromText("no such message"), E_NONE);
    EXPECT_EQ(DiagFromText(""), E_NONE);
    EXPECT_EQ(DiagFromText(nullptr), E_NONE);
}

TEST(Diag, PosixErrorsMapOntoWinsockNumbers) {
    EXPECT_EQ(SockErrorFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(SockErrorFromErrno(ETIMEDOUT), 10060);
    EXPECT_EQ(SockErrorFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(SockErrorFromErrno(EHOSTUNREACH), 10065);
    EXPECT_EQ(SockErrorFromErrno(ENETUNREACH), 10051);
    EXPECT_EQ(SockErrorFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(SockErrorFromErrno(ENOENT), ENOENT);
    EXPECT_EQ(SockErrorFromResolver(EAI_NONAME), 11001);
    EXPECT_STREQ(SockErrorText(SockErrorFromResolver(EAI_NONAME)), "Host not found");
    EXPECT_EQ(SockErrorFromResolver(EAI_AGAIN), 11002);
}
