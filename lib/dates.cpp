#include "lib/dates.h"

#include "lib/diag.h"
#include "lib/strings.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// ---------------------------------------------------------------------------
// Character classes of the "C" locale, independent of the process locale.

bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsAsciiLetter(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
// Bytes 128..255 count as letters: month and day names of other languages.
bool IsLetter(unsigned char c) { return IsAsciiLetter(c) || c >= 128; }
bool IsPunct(unsigned char c) { return c > ' ' && c < 127 && !IsDigit(c) && !IsAsciiLetter(c); }

unsigned char Lower(unsigned char c) { return IsAsciiLetter(c) ? (unsigned char)(c | 0x20) : c; }

// The text being read and the position in it.
struct tScan {
    const unsigned char *p;
    const unsigned char *end;
    bool AtEnd() const { return p >= end; }
    unsigned char Peek(size_t ahead = 0) const { return p + ahead < end ? p[ahead] : 0; }
    bool Has(size_t ahead) const { return p + ahead < end; }
};

// A word of the date: its bytes up to a separator.
struct tWord {
    const unsigned char *text;
    size_t length;
};

// word begins with name (name's full length), ASCII compared without case.
bool StartsNoCase(tWord word, const char *name) {
    size_t n = strlen(name);
    if (word.length < n) return false;
    for (size_t i = 0; i < n; i++)
        if (Lower(word.text[i]) != Lower((unsigned char)name[i])) return false;
    return true;
}

// word begins with name exactly, byte for byte.
bool StartsExact(tWord word, const char *name) {
    size_t n = strlen(name);
    return word.length >= n && memcmp(word.text, name, n) == 0;
}

// word is name, compared without case; trailing dots of the word ignored.
bool EqualsNoCase(tWord word, const char *name) {
    while (word.length > 0 && word.text[word.length - 1] == '.') word.length--;
    return word.length == strlen(name) && StartsNoCase(word, name);
}

// ---------------------------------------------------------------------------
// Names.

const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct tNamed {
    const char *name;
    int value;
};

// Month names beyond the English ones, tried after them (a word begins with
// the name). ASCII without regard to case, other bytes exactly.
const tNamed kOtherMonths[] = {
    {"\xE0\xE2\xE3", 8},  // Russian, Windows-1251
    {"\xE8\xFE\xEB", 7},
    {"\xFF\xED\xE2", 1}, {"\xF4\xE5\xE2", 2}, {"\xEC\xE0\xF0", 3}, {"\xE0\xEF\xF0", 4},
    {"\xEC\xE0\xE9", 5}, {"\xEC\xE0\xFF", 5}, {"\xE8\xFE\xED", 6}, {"\xF1\xE5\xED", 9},
    {"\xEE\xEA\xF2", 10}, {"\xED\xEE\xFF", 11}, {"\xE4\xE5\xEA", 12},
    // German, Dutch, French (ISO-8859-1 and UTF-8 spellings).
    {"M\xE4r", 3}, {"M\xC3\xA4r", 3}, {"Mrz", 3}, {"maart", 3}, {"mrt", 3},
    {"Mai", 5}, {"mei", 5}, {"Okt", 10}, {"Dez", 12},
    {"f\xE9v", 2}, {"f\xC3\xA9v", 2}, {"avr", 4}, {"juin", 6}, {"juil", 7},
    {"ao\xFB", 8}, {"ao\xC3\xBB", 8}, {"d\xE9" "c", 12}, {"d\xC3\xA9" "c", 12},
};

// English day names: first three letters without regard to case.
const char *const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// Day names a word begins with, compared exactly.
const char *const kOtherDays[] = {
    "Thr", "Sonntag", "Montag", "Dienstag", "Mittwoch", "Donnerstag", "Freitag", "Samstag",
    "maandag", "vrijdag", "zaterdag", "zondag",
    "\xE2\xF2\xEE\xF0\xED\xE8\xEA", "\xF1\xF0\xE5\xE4\xE0", "\xEF\xFF\xF2\xED\xE8\xF6\xE0",
    "\xE2\xEE\xF1\xEA\xF0\xE5\xF1\xE5\xED\xFC\xE5", "vendredi", "p\xFC" "hap\xE4" "ev",
    // The rest of the weeks of the same languages.
    "Sonnabend", "dinsdag", "woensdag", "donderdag",
    "lundi", "mardi", "mercredi", "jeudi", "samedi", "dimanche",
    "\xEF\xEE\xED\xE5\xE4\xE5\xEB\xFC\xED\xE8\xEA", "\xF7\xE5\xF2\xE2\xE5\xF0\xE3",
    "\xF1\xF3\xE1\xE1\xEE\xF2\xE0",
    "esmasp\xE4" "ev", "teisip\xE4" "ev", "kolmap\xE4" "ev", "neljap\xE4" "ev", "reede", "laup\xE4" "ev",
};

// German two-letter day abbreviations: the whole word, without case.
const char *const kShortDays[] = {"Mo", "Di", "Mi", "Do", "Fr", "Sa", "So"};

// Time-zone names (the whole word, without case) and their offsets in minutes.
const tNamed kZones[] = {
    {"UT", 0}, {"UTC", 0}, {"GMT", 0}, {"Z", 0}, {"WET", 0}, {"WEST", 60}, {"BST", 60},
    {"CET", 60}, {"CEST", 120}, {"MET", 60}, {"MEST", 120}, {"MEZ", 60}, {"MESZ", 120},
    {"EET", 120}, {"EEST", 180}, {"MSK", 180}, {"MSD", 240},
    {"HKT", 480}, {"SGT", 480}, {"AWST", 480}, {"JST", 540}, {"KST", 540},
    {"ACST", 570}, {"ACDT", 630}, {"AEST", 600}, {"AEDT", 660}, {"NZST", 720}, {"NZDT", 780},
    {"EST", -300}, {"EDT", -240}, {"CST", -360}, {"CDT", -300}, {"MST", -420}, {"MDT", -360},
    {"PST", -480}, {"PDT", -420}, {"AKST", -540}, {"AKDT", -480}, {"HST", -600},
    {"AST", -240}, {"ADT", -180}, {"NST", -210}, {"NDT", -150},
};

// Month 1..12 of a word, or 0.
int MonthOf(tWord word) {
    for (int i = 0; i < 12; i++)
        if (StartsNoCase(word, kMonths[i])) return i + 1;
    for (const tNamed &m : kOtherMonths)
        if (StartsNoCase(word, m.name)) return m.value;
    return 0;
}

bool IsDayName(tWord word) {
    for (const char *d : kDays)
        if (StartsNoCase(word, d)) return true;
    for (const char *d : kOtherDays)
        if (StartsExact(word, d)) return true;
    for (const char *d : kShortDays)
        if (EqualsNoCase(word, d)) return true;
    return false;
}

// ---------------------------------------------------------------------------
// Pieces of a date.

// What has been read so far.
struct tFields {
    int mday = -1;
    int month = -1;          // 1..12
    long year = -1;          // full year
    bool weekday = false;    // a day name was seen
    bool haveTime = false;
    int hour = 0, minute = 0, second = 0;
    bool ampm = false;       // an am/pm marker was applied
    bool haveZone = false;
    long zoneMinutes = 0;    // east of UTC
};

// Reads decimal digits; the value saturates far above any useful year.
long ReadNumber(tScan *s) {
    long value = 0;
    while (!s->AtEnd() && IsDigit(*s->p)) {
        if (value < 100000000) value = value * 10 + (*s->p - '0');
        s->p++;
    }
    return value;
}

// Reads one or two digits into *value.
bool ReadTwoDigits(tScan *s, int *value) {
    if (s->AtEnd() || !IsDigit(*s->p)) return false;
    *value = *s->p++ - '0';
    if (!s->AtEnd() && IsDigit(*s->p)) *value = *value * 10 + (*s->p++ - '0');
    return true;
}

// At a number of one or two digits followed by ":" and a digit?
bool AtTime(const tScan &s) {
    size_t n = 0;
    while (n < 3 && IsDigit(s.Peek(n)) && s.Has(n)) n++;
    return (n == 1 || n == 2) && s.Peek(n) == ':' && s.Has(n + 1) && IsDigit(s.Peek(n + 1));
}

// Reads "h:m" and optionally ":s" (and a fraction of a second after it).
bool ReadTime(tScan *s, tFields *f) {
    tScan t = *s;
    int hour, minute, second = 0;
    if (!ReadTwoDigits(&t, &hour) || t.Peek() != ':' || t.AtEnd()) return false;
    t.p++;
    if (!ReadTwoDigits(&t, &minute)) return false;
    if (!t.AtEnd() && t.Peek() == ':') {
        t.p++;
        ReadTwoDigits(&t, &second);
        if (t.Peek() == '.' && t.Has(1) && IsDigit(t.Peek(1))) {
            t.p++;
            while (!t.AtEnd() && IsDigit(*t.p)) t.p++;
        }
    }
    f->haveTime = true;
    f->hour = hour;
    f->minute = minute;
    f->second = second;
    *s = t;
    return true;
}

// Applies "am" or "pm" to the time read: 1 pm is 13:00, 12 am is 00:00.
void ApplyAmPm(tFields *f, bool pm) {
    if (pm && f->hour >= 1 && f->hour <= 11) f->hour += 12;
    if (!pm && f->hour == 12) f->hour = 0;
    f->ampm = true;
}

// Applies "am" or "pm" (any case, not followed by a letter) at s.
bool ReadAmPm(tScan *s, tFields *f) {
    if (!f->haveTime || f->ampm || !s->Has(1)) return false;
    unsigned char a = Lower(s->Peek()), m = Lower(s->Peek(1));
    if ((a != 'a' && a != 'p') || m != 'm' || (s->Has(2) && IsLetter(s->Peek(2)))) return false;
    ApplyAmPm(f, a == 'p');
    s->p += 2;
    return true;
}

// Reads a numeric offset "+hhmm", "-hhmm", "+hh:mm" or, unless strict, "+hh"
// at s.
bool ReadOffset(tScan *s, long *minutes, bool strict) {
    unsigned char sign = s->Peek();
    if ((sign != '+' && sign != '-') || s->AtEnd()) return false;
    tScan t = *s;
    t.p++;
    size_t n = 0;
    while (n < 5 && t.Has(n) && IsDigit(t.Peek(n))) n++;
    long hours, mins = 0;
    if (n == 4) {
        hours = (t.p[0] - '0') * 10 + (t.p[1] - '0');
        mins = (t.p[2] - '0') * 10 + (t.p[3] - '0');
        t.p += 4;
    } else if (n == 2 || n == 1) {
        hours = n == 2 ? (t.p[0] - '0') * 10 + (t.p[1] - '0') : t.p[0] - '0';
        t.p += n;
        if (t.Peek() == ':' && t.Has(2) && IsDigit(t.Peek(1)) && IsDigit(t.Peek(2))) {
            mins = (t.p[1] - '0') * 10 + (t.p[2] - '0');
            t.p += 3;
        } else if (strict) {
            return false;
        }
    } else {
        return false;
    }
    if (hours > 24 || mins > 59) return false;
    *minutes = (sign == '-' ? -1 : 1) * (hours * 60 + mins);
    *s = t;
    return true;
}

// Offset of a zone name, false when the word is none.
bool ZoneOf(tWord word, long *minutes) {
    for (const tNamed &z : kZones)
        if (EqualsNoCase(word, z.name)) {
            *minutes = z.value;
            return true;
        }
    return false;
}

// A zone at s: an offset, or a name (GMT, UTC and UT may carry an offset:
// "GMT+2"). Leaves s after it. Strict: only offsets with minutes.
bool ReadZone(tScan *s, tFields *f, bool strict) {
    long minutes;
    if (ReadOffset(s, &minutes, strict)) {
        f->haveZone = true;
        f->zoneMinutes = minutes;
        return true;
    }
    tWord word{s->p, 0};
    while (s->Has(word.length) && IsAsciiLetter(s->Peek(word.length))) word.length++;
    if (word.length == 0 || (s->Has(word.length) && IsLetter(s->Peek(word.length)))) return false;
    if (!ZoneOf(word, &minutes)) return false;
    s->p += word.length;
    long extra;
    if (minutes == 0 && ReadOffset(s, &extra, false)) minutes = extra;
    f->haveZone = true;
    f->zoneMinutes = minutes;
    return true;
}

void SkipSpace(tScan *s) {
    while (!s->AtEnd() && IsSpace(*s->p)) s->p++;
}

// Skips white space and punctuation; a numeric zone met on the way (four
// digits or hh:mm) is read when a time has been seen and no zone yet.
void SkipSpacePunct(tScan *s, tFields *f) {
    while (!s->AtEnd() && (IsSpace(*s->p) || IsPunct(*s->p))) {
        if (f && f->haveTime && !f->haveZone && ReadZone(s, f, true)) continue;
        s->p++;
    }
}

void SkipPunct(tScan *s) {
    while (!s->AtEnd() && IsPunct(*s->p)) s->p++;
}

enum tDatePart { DP_DONE, DP_BAD };

// The date part: day, month, year and day name in any order (a time may be
// among them). Ends when all are known, or at a number that would be a
// second year (left unread), or at a time once day, month and year are known.
tDatePart ReadDatePart(tScan *s, tFields *f) {
    for (;;) {
        SkipSpacePunct(s, f);
        if (s->AtEnd()) return DP_BAD;
        unsigned char c = *s->p;
        if (IsDigit(c)) {
            bool dmy = f->mday >= 0 && f->month >= 0 && f->year >= 0;
            if (AtTime(*s)) {
                if (dmy) return DP_DONE;
                if (!f->haveTime) {
                    ReadTime(s, f);
                    continue;
                }
            }
            const unsigned char *start = s->p;
            long n = ReadNumber(s);
            if (n >= 32) {
                if (f->year >= 0) {
                    s->p = start;
                    return DP_DONE;
                }
                f->year = n >= 100 ? n : 1900 + n;
            } else if (n >= 1 && f->mday < 0) {
                f->mday = (int)n;
            } else {
                if (f->year >= 0) {
                    s->p = start;
                    return DP_DONE;
                }
                f->year = 2000 + n;
            }
            SkipPunct(s);
        } else if (!IsLetter(c)) {
            return DP_BAD;  // control character
        } else {
            tWord word{s->p, 0};
            while (s->Has(word.length)) {
                unsigned char w = s->Peek(word.length);
                if (w == '-' || w == ':' || w == ';' || w == ',' || w <= ' ' || w == 127) break;
                word.length++;
            }
            if (int month = MonthOf(word)) {
                if (f->month >= 0) return DP_BAD;
                f->month = month;
                s->p += word.length;
            } else if (IsDayName(word)) {
                if (f->weekday) return DP_BAD;
                f->weekday = true;
                s->p += word.length;
            } else if (f->haveTime && !f->ampm && (EqualsNoCase(word, "am") || EqualsNoCase(word, "pm"))) {
                ApplyAmPm(f, Lower(word.text[0]) == 'p');
                s->p += word.length;
            } else if (f->haveZone || !ReadZone(s, f, false)) {
                return DP_BAD;
            }
            while (!s->AtEnd() && (IsLetter(*s->p) || IsPunct(*s->p))) s->p++;
        }
        bool dmy = f->mday >= 0 && f->month >= 0 && f->year >= 0;
        if (dmy && (f->weekday || f->haveTime)) return DP_DONE;
    }
}

// Seconds since 1970 of a UTC date (proleptic Gregorian calendar), with the
// fields normalised as mktime would.
int64_t UtcSeconds(long year, int month, int mday, int hour, int minute, int second) {
    int64_t y = year, m = month - 1;
    y += m / 12;
    m %= 12;
    if (m < 0) {
        m += 12;
        y--;
    }
    // Days from 1970-01-01 to the first of the month (civil-from-days inverse).
    int64_t yy = m < 2 ? y - 1 : y;
    int64_t era = (yy >= 0 ? yy : yy - 399) / 400;
    int64_t yoe = yy - era * 400;
    int64_t mp = (m + 10) % 12;  // March is 0
    int64_t doy = (153 * mp + 2) / 5;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    int64_t days = era * 146097 + doe - 719468 + (mday - 1);
    return days * 86400 + (int64_t)hour * 3600 + (int64_t)minute * 60 + second;
}

}  // namespace

time_t ParseDate(std::string_view text, struct tm *tm, bool isHeaderLine) {
    if (tm) {
        tm->tm_sec = tm->tm_min = tm->tm_hour = tm->tm_mday = tm->tm_mon = tm->tm_year = -1;
        tm->tm_wday = tm->tm_yday = tm->tm_isdst = -1;
    }
    tScan s{(const unsigned char *)text.data(), (const unsigned char *)text.data() + text.size()};
    if (isHeaderLine) {
        SkipSpace(&s);
        if ((size_t)(s.end - s.p) < 5 || memcmp(s.p, "Date:", 5) != 0) {
            errno = ELIB_NOT_DATE_LINE;
            return -1;
        }
        s.p += 5;
    }

    tFields f;
    if (ReadDatePart(&s, &f) == DP_BAD) {
        errno = ELIB_DATE_NOT_RECOGNIZED;
        return -1;
    }

    // The time part, unless the time came among the date fields.
    if (!f.haveTime) {
        SkipSpacePunct(&s, nullptr);
        if (ReadTime(&s, &f)) {
            tScan t = s;
            SkipSpacePunct(&t, nullptr);
            if (ReadAmPm(&t, &f)) s = t;
        }
    }
    if (f.haveTime && !f.haveZone) {
        SkipSpace(&s);
        ReadZone(&s, &f, false);
    }

    struct tm local;
    memset(&local, 0, sizeof local);
    local.tm_sec = f.second;
    local.tm_min = f.minute;
    local.tm_hour = f.hour;
    local.tm_mday = f.mday;
    local.tm_mon = f.month - 1;
    local.tm_year = (int)(f.year - 1900);
    local.tm_wday = -1;
    local.tm_yday = -1;
    local.tm_isdst = -1;
    if (tm) *tm = local;
    if (f.mday < 0 || f.month < 0 || f.year < 0 || f.year > 9999) return -1;

    int savedErrno = errno;
    time_t result;
    if (f.haveZone) {
        int64_t utc = UtcSeconds(f.year, f.month, f.mday, f.hour, f.minute, f.second) - f.zoneMinutes * 60;
        result = (time_t)utc;
        if (utc >= 0 && !localtime_r(&result, &local)) result = -1;
    } else {
        result = mktime(&local);
    }
    errno = savedErrno;
    if (result < 0) return -1;
    if (tm) *tm = local;
    return result;
}

// ---------------------------------------------------------------------------
// Number texts.

namespace {

// Appends formatted text at *used (FormatBounded rules); false when it does
// not fit.
bool Append(char *buffer, int length, int *used, const char *format, ...) __attribute__((format(printf, 4, 5)));
bool Append(char *buffer, int length, int *used, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = FormatBoundedV(buffer + *used, length - *used, format, args);
    va_end(args);
    if (n < 0) return false;
    *used += n;
    return true;
}

}  // namespace

int DurationText(char *buffer, int length, int64_t seconds, bool longForm) {
    int used = 0;
    if (length > 0) buffer[0] = '\0';
    uint64_t rest = seconds < 0 ? 0 - (uint64_t)seconds : (uint64_t)seconds;
    if (seconds < 0 && !Append(buffer, length, &used, "-")) return -1;
    if (rest == 0) return Append(buffer, length, &used, longForm ? "0 seconds" : "0s") ? used : -1;
    static const struct {
        uint64_t size;
        const char *name;
        char letter;
    } kUnits[] = {{86400, "day", 'd'}, {3600, "hour", 'h'}, {60, "minute", 'm'}, {1, "second", 's'}};
    int written = 0;
    for (const auto &unit : kUnits) {
        if (rest == 0 || (!longForm && written == 2)) break;
        if (rest < unit.size) continue;
        unsigned long long count = rest / unit.size;
        rest %= unit.size;
        bool ok = longForm ? Append(buffer, length, &used, "%s%llu %s%s", written ? " " : "", count, unit.name,
                                    count >= 2 ? "s" : "")
                           : Append(buffer, length, &used, "%llu%c", count, unit.letter);
        if (!ok) return -1;
        written++;
    }
    return used;
}

int ThousandsText(char *buffer, int length, uint32_t value) {
    int used = 0;
    if (length > 0) buffer[0] = '\0';
    unsigned long v = value;
    bool ok;
    if (v < 1000)
        ok = Append(buffer, length, &used, "%lu", v);
    else if (v < 1000000)
        ok = Append(buffer, length, &used, "%lu,%03lu", v / 1000, v % 1000);
    else if (v <= 999999999)
        ok = Append(buffer, length, &used, "%lu,%03lu,%03lu", v / 1000000, v / 1000 % 1000, v % 1000);
    else
        ok = Append(buffer, length, &used, "%lu,%03lu,%03lu,%03lu", v / 1000000000, v / 1000000 % 1000,
                    v / 1000 % 1000, v % 1000);
    return ok ? used : -1;
}
