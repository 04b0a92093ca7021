#include "lib/dates.h"

#include "lib/diag.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace {

// Seconds of a UTC date.
time_t Utc(int year, int month, int day, int hour, int minute, int second) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t);
}

// Runs every test of this file in a known local time zone.
class Dates : public ::testing::Test {
protected:
    void SetUp() override { SetZone("UTC0"); }
    void TearDown() override { SetZone("UTC0"); }
    static void SetZone(const char *zone) {
        setenv("TZ", zone, 1);
        tzset();
    }
};

constexpr int NONE = 0;  // errno left alone

struct tDateCase {
    const char *text;
    time_t expected;  // -1: fails
    int error;        // errno expected on failure, NONE when untouched
};

// Local time is UTC in this table, so dates without a zone read as UTC too.
const tDateCase kDates[] = {
    // Internet message format, current and obsolete.
    {"Tue, 09 Jun 2009 14:03:55 +0000", Utc(2009, 6, 9, 14, 3, 55), NONE},
    {"Tue, 9 Jun 2009 14:03:55 +0200", Utc(2009, 6, 9, 12, 3, 55), NONE},
    {"Tue, 09 Jun 2009 14:03:55 -0400 (EDT)", Utc(2009, 6, 9, 18, 3, 55), NONE},
    {"Tue,  9 Jun 2009 14:03:55 -0000", Utc(2009, 6, 9, 14, 3, 55), NONE},
    {"09 Jun 2009 14:03:55 GMT", Utc(2009, 6, 9, 14, 3, 55), NONE},
    {"Tue, 09 Jun 2009 14:03 +0530", Utc(2009, 6, 9, 8, 33, 0), NONE},
    {"Tue, 09 Jun 09 14:03:55 EDT", Utc(2009, 6, 9, 18, 3, 55), NONE},
    {"Tue, 9 Jun 2009 14:03:55 UT", Utc(2009, 6, 9, 14, 3, 55), NONE},
    {"Tue, 9 Jun 2009 14:03:55 CEST", Utc(2009, 6, 9, 12, 3, 55), NONE},
    {"Tue, 9 Jun 2009 14:03:55 pst", Utc(2009, 6, 9, 22, 3, 55), NONE},
    {"Tue, 9 Jun 2009 14:03:55 GMT+02:00", Utc(2009, 6, 9, 12, 3, 55), NONE},
    {"Tue, 9 Jun 2009 14:03:55.250 +0100", Utc(2009, 6, 9, 13, 3, 55), NONE},
    {"Tuesday, 09-Jun-09 14:03:55 GMT", Utc(2009, 6, 9, 14, 3, 55), NONE},
    {"Mon, 25 Dec 2000 23:59:59 -0800", Utc(2000, 12, 26, 7, 59, 59), NONE},
    {"Thu, 01 Jan 1970 00:00:00 GMT", 0, NONE},
    // asctime and date(1) forms: the time comes before the year.
    {"Tue Jun  9 14:03:55 2009", Utc(2009, 6, 9, 14, 3, 55), NONE},
    {"Tue Jun  9 14:03:55 EDT 2009", Utc(2009, 6, 9, 18, 3, 55), NONE},
    {"Tue Jun  9 14:03:55 -0400 2009", Utc(2009, 6, 9, 18, 3, 55), NONE},
    {"Tue Jun  9 14:03:55 GMT+0100 2009", Utc(2009, 6, 9, 13, 3, 55), NONE},
    {"Jun 9 14:03:55 2009 +0100", Utc(2009, 6, 9, 13, 3, 55), NONE},
    // Forms of old newsreaders; fields in any order; two-digit years.
    {"Sat, 31 Dec 99 23:59:59", Utc(1999, 12, 31, 23, 59, 59), NONE},
    {"Sat, 1 Jan 00", Utc(2000, 1, 1, 0, 0, 0), NONE},
    {"Jan 5 2009 12:30", Utc(2009, 1, 5, 12, 30, 0), NONE},
    {"Jun 9, 09 2:03 pm", Utc(2009, 6, 9, 14, 3, 0), NONE},
    {"2009 Jun 9 Tue 14:03", Utc(2009, 6, 9, 14, 3, 0), NONE},
    {"Tue @ 09 Jun 2009 14:03", Utc(2009, 6, 9, 14, 3, 0), NONE},
    {"Tue,\t09\tJun\t2009\t14:03:55", Utc(2009, 6, 9, 14, 3, 55), NONE},
    {"Jan 5 2009 11:15 pm", Utc(2009, 1, 5, 23, 15, 0), NONE},
    {"Jan 5 2009 11:15 PM", Utc(2009, 1, 5, 23, 15, 0), NONE},
    {"Jan 5 2009 12:30 pm", Utc(2009, 1, 5, 12, 30, 0), NONE},
    {"Jan 5 2009 12:30 am", Utc(2009, 1, 5, 0, 30, 0), NONE},
    {"Tue Jun 9 2:03 pm 2009", Utc(2009, 6, 9, 14, 3, 0), NONE},
    // Other languages.
    {"Dienstag, 9. Juni 2009 14:03:55", Utc(2009, 6, 9, 14, 3, 55), NONE},
    {"Di, 09 Jun 2009 14:03:55 +0200", Utc(2009, 6, 9, 12, 3, 55), NONE},
    {"Mittwoch, 20. Mai 2009 08:00", Utc(2009, 5, 20, 8, 0, 0), NONE},
    {"Do, 10 Dez 2009 08:00", Utc(2009, 12, 10, 8, 0, 0), NONE},
    {"Mi, 4 M\xE4rz 2009 08:00", Utc(2009, 3, 4, 8, 0, 0), NONE},
    {"vrijdag 1 mei 2009 08:00", Utc(2009, 5, 1, 8, 0, 0), NONE},
    {"maandag 2 maart 2009 08:00", Utc(2009, 3, 2, 8, 0, 0), NONE},
    {"vendredi 12 juin 2009 10:00:00 +0200", Utc(2009, 6, 12, 8, 0, 0), NONE},
    {"jeudi 2 juil 2009 10:00", Utc(2009, 7, 2, 10, 0, 0), NONE},
    {"samedi 26 d\xC3\xA9" "c 2009 10:00", Utc(2009, 12, 26, 10, 0, 0), NONE},
    {"\xE2\xF2\xEE\xF0\xED\xE8\xEA, 09 \xE8\xFE\xED 2009 14:03:55 +0400", Utc(2009, 6, 9, 10, 3, 55), NONE},
    {"\xEF\xFF\xF2\xED\xE8\xF6\xE0, 07 \xE0\xE2\xE3 2009 10:00", Utc(2009, 8, 7, 10, 0, 0), NONE},
    {"\xF1\xF0\xE5\xE4\xE0, 01 \xE8\xFE\xEB 2009 10:00", Utc(2009, 7, 1, 10, 0, 0), NONE},
    {"p\xFC" "hap\xE4" "ev, 07 Jun 2009 12:00:00", Utc(2009, 6, 7, 12, 0, 0), NONE},
    {"Thr, 11 Jun 2009 12:00:00", Utc(2009, 6, 11, 12, 0, 0), NONE},
    // Valid forms that give no time.
    {"Tue, 09 Jun 109 14:03:55 GMT", -1, NONE},        // year from a broken Y2K fix
    {"Wed, 31 Dec 1969 23:59:59 GMT", -1, NONE},       // before 1970
    {"2009-06-09 14:03:55", -1, NONE},                 // no month name
    {"Tue 09 2009 2010", -1, NONE},                    // no month
    // Garbage.
    {"", -1, ELIB_DATE_NOT_RECOGNIZED},
    {"   \t ", -1, ELIB_DATE_NOT_RECOGNIZED},
    {"hello world", -1, ELIB_DATE_NOT_RECOGNIZED},
    {"Tue, 09 Jun", -1, ELIB_DATE_NOT_RECOGNIZED},     // ends before the date part
    {"09 Jun 2009", -1, ELIB_DATE_NOT_RECOGNIZED},     // no day name, nothing after the year
    {"Mon Tue 5 Jan 2009", -1, ELIB_DATE_NOT_RECOGNIZED},
    {"Tue, 09 Jun Jul 2009 14:03", -1, ELIB_DATE_NOT_RECOGNIZED},
    {"Tue, 09\x01 Jun 2009 14:03", -1, ELIB_DATE_NOT_RECOGNIZED},
    {"Tue, 09 Juni \x7f 2009 14:03", -1, ELIB_DATE_NOT_RECOGNIZED},
    {"99999999999999999999999 Jun 9 14:03:55", -1, NONE},  // year above 9999
    {"Tue 09 2009 14:03:55", -1, ELIB_DATE_NOT_RECOGNIZED},  // no month, ends
};

}  // namespace

TEST_F(Dates, RealWorldFieldsAndGarbage) {
    for (const tDateCase &c : kDates) {
        SCOPED_TRACE(c.text);
        errno = 12345;
        struct tm tmv;
        time_t t = ParseDate(c.text, &tmv, false);
        EXPECT_EQ(t, c.expected);
        EXPECT_EQ(errno, c.error ? c.error : 12345);
        if (t > 0) {
            EXPECT_EQ(timegm(&tmv), t);  // tm holds local (here UTC) time
        }
    }
}

TEST_F(Dates, HeaderLineMustBeginWithDate) {
    errno = 0;
    EXPECT_EQ(ParseDate("  Date: Tue, 09 Jun 2009 14:03:55 +0000", nullptr, true), Utc(2009, 6, 9, 14, 3, 55));
    EXPECT_EQ(errno, 0);
    for (const char *line : {"date: Tue, 09 Jun 2009 14:03:55 +0000", "Subject: Date: 09 Jun 2009 14:03",
                             "Date", "", "Dat"}) {
        SCOPED_TRACE(line);
        errno = 0;
        EXPECT_EQ(ParseDate(line, nullptr, true), -1);
        EXPECT_EQ(errno, ELIB_NOT_DATE_LINE);
    }
    errno = 0;
    EXPECT_EQ(ParseDate("Date: nonsense", nullptr, true), -1);
    EXPECT_EQ(errno, ELIB_DATE_NOT_RECOGNIZED);
}

TEST_F(Dates, ZonelessDatesAreLocalTimeAndZonedOnesAreNot) {
    SetZone("CET-1CEST,M3.5.0,M10.5.0/3");
    struct tm tmv;
    // Summer: local time is two hours ahead of UTC.
    EXPECT_EQ(ParseDate("Tue, 09 Jun 2009 14:03:55", &tmv, false), Utc(2009, 6, 9, 12, 3, 55));
    EXPECT_EQ(tmv.tm_hour, 14);
    EXPECT_EQ(tmv.tm_isdst, 1);
    // Winter: one hour.
    EXPECT_EQ(ParseDate("Mon, 05 Jan 2009 14:03:55", &tmv, false), Utc(2009, 1, 5, 13, 3, 55));
    // A zone decides the instant; tm gives it in local time.
    EXPECT_EQ(ParseDate("Tue, 09 Jun 2009 14:03:55 +0000", &tmv, false), Utc(2009, 6, 9, 14, 3, 55));
    EXPECT_EQ(tmv.tm_hour, 16);
    EXPECT_EQ(tmv.tm_mday, 9);
    EXPECT_EQ(tmv.tm_mon, 5);
    EXPECT_EQ(tmv.tm_year, 109);
    EXPECT_EQ(tmv.tm_wday, 2);
    // An unknown zone name is ignored: local time.
    EXPECT_EQ(ParseDate("Tue, 09 Jun 2009 14:03:55 XYZ", nullptr, false), Utc(2009, 6, 9, 12, 3, 55));
}

// Each text of the table cut at every length, in a heap block of exactly that
// size: the parser must stay inside (AddressSanitizer reports any overread).
TEST_F(Dates, NeverReadsPastTheEnd) {
    for (const tDateCase &c : kDates) {
        size_t len = strlen(c.text);
        for (size_t cut = 0; cut <= len; cut++) {
            std::unique_ptr<char[]> block(new char[cut ? cut : 1]);
            memcpy(block.get(), c.text, cut);
            (void)ParseDate(std::string_view(block.get(), cut), nullptr, false);
        }
    }
    // Bytes of every value, including NUL inside the text.
    std::string all;
    for (int i = 0; i < 256; i++) all += (char)i;
    EXPECT_EQ(ParseDate(all, nullptr, false), -1);
    EXPECT_EQ(ParseDate(std::string_view("Tue, 09 Jun 2009 14:03:55\0+0200", 31), nullptr, false),
              Utc(2009, 6, 9, 14, 3, 55));
    std::string longWord(100000, 'x');
    EXPECT_EQ(ParseDate(longWord, nullptr, false), -1);
    std::string longNumber = "Tue " + std::string(100000, '9') + " Jun 9 14:03";
    EXPECT_EQ(ParseDate(longNumber, nullptr, false), -1);
}

TEST(DurationText, LongAndShortForms) {
    struct {
        int64_t seconds;
        const char *longText;
        const char *shortText;
    } cases[] = {
        {0, "0 seconds", "0s"},
        {1, "1 second", "1s"},
        {59, "59 seconds", "59s"},
        {60, "1 minute", "1m"},
        {3600, "1 hour", "1h"},
        {3661, "1 hour 1 minute 1 second", "1h1m"},
        {7322, "2 hours 2 minutes 2 seconds", "2h2m"},
        {86401, "1 day 1 second", "1d1s"},
        {90061, "1 day 1 hour 1 minute 1 second", "1d1h"},
        {172800, "2 days", "2d"},
        {-90, "-1 minute 30 seconds", "-1m30s"},
        {10000000000LL, "115740 days 17 hours 46 minutes 40 seconds", "115740d17h"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.seconds);
        char buf[64];
        EXPECT_EQ(DurationText(buf, sizeof buf, c.seconds, true), (int)strlen(c.longText));
        EXPECT_STREQ(buf, c.longText);
        EXPECT_EQ(DurationText(buf, sizeof buf, c.seconds, false), (int)strlen(c.shortText));
        EXPECT_STREQ(buf, c.shortText);
    }
}

TEST(ThousandsText, CommasEveryThreeDigits) {
    struct {
        uint32_t value;
        const char *text;
    } cases[] = {{0, "0"}, {999, "999"}, {1000, "1,000"}, {999999, "999,999"}, {1000000, "1,000,000"},
                 {1002003, "1,002,003"}, {999999999, "999,999,999"}, {1000000000, "1,000,000,000"},
                 {4294967295u, "4,294,967,295"}};
    for (const auto &c : cases) {
        char buf[32];
        EXPECT_EQ(ThousandsText(buf, sizeof buf, c.value), (int)strlen(c.text));
        EXPECT_STREQ(buf, c.text);
    }
}

TEST(NumberTexts, FailRatherThanTruncate) {
    char buf[16];
    // "0 seconds" needs 10 bytes with its NUL.
    errno = 0;
    EXPECT_EQ(DurationText(buf, 9, 0, true), -1);
    EXPECT_EQ(errno, ELIB_BUFFER_TOO_SMALL);
    EXPECT_EQ(DurationText(buf, 10, 0, true), 9);
    // "1h1m" fits in 5, the long form does not.
    EXPECT_EQ(DurationText(buf, 5, 3661, false), 4);
    errno = 0;
    EXPECT_EQ(DurationText(buf, 16, 3661, true), -1);
    EXPECT_EQ(errno, ELIB_BUFFER_TOO_SMALL);
    EXPECT_EQ(buf[15], '\0');
    EXPECT_EQ(DurationText(buf, 0, 1, true), -1);
    errno = 0;
    EXPECT_EQ(ThousandsText(buf, 5, 1000), -1);
    EXPECT_EQ(errno, ELIB_BUFFER_TOO_SMALL);
    EXPECT_EQ(ThousandsText(buf, 6, 1000), 5);
}
