// Article dates, durations and large numbers as text.
//
// ParseDate turns the Date of an article into seconds since 1970 with one
// forgiving parser: Date fields arrive from every kind of newsreader, often
// not in the standard form. The fields may come in any order; years have two
// or four digits; month and day names are English (any case, first three
// letters) or one of a few other languages found in old articles (German,
// Dutch, French, Russian in Windows-1251, Estonian in ISO-8859-1). A time
// zone after the time (or anywhere in a date that has its time before the
// year) is honoured: "+hhmm" / "-hhmm" offsets and the usual names (GMT, UT,
// UTC, Z, EST, EDT, CET, CEST, ...). A date without a zone, or with a zone
// name not known here, is taken as local time of the computer.
//
// DurationText and ThousandsText make the number texts of pages and logs.
// They follow bounded-formatting rules: they fail rather than truncate.
//
// Threading: every function is reentrant (local time through mktime and
// localtime_r only).
#pragma once

#include <cstdint>
#include <ctime>
#include <string_view>

// Reads a date. With isHeaderLine the text must be a header line: leading
// white space is skipped and it must then begin with "Date:" exactly;
// parsing starts after it. Without it the text is the date itself (an
// overview field). Reads no byte beyond text's end; bytes of any value are
// allowed.
//
// Returns the time in seconds since 1970, and fills *tm (when not null) with
// its broken-down local time (on failure: the fields read, -1 for the others).
// Fails with -1:
// - errno = ELIB_NOT_DATE_LINE: a header line that is not a Date line;
// - errno = ELIB_DATE_NOT_RECOGNIZED: a word that is no month, day or zone
//   name, a second month or day name, a control character, or text that ends
//   before the date part is complete (day, month, year and a day name or a
//   time, or a following number);
// - errno untouched: the fields form no valid time (day, month or year
//   missing, a year above 9999, or a time before 1970).
time_t ParseDate(std::string_view text, struct tm *tm, bool isHeaderLine);

// Writes a duration of seconds into buffer (length bytes, NUL included).
// Long form: "2 days 3 hours 1 minute 5 seconds" (units that are 0 left out,
// "0 seconds" for 0); short form: the two largest units that apply, "2d3h",
// "0s" for 0. A negative duration is written with a leading "-". Returns the
// length written, or -1 with errno = ELIB_BUFFER_TOO_SMALL when it does not
// fit (the buffer then holds a terminated prefix when length is positive).
int DurationText(char *buffer, int length, int64_t seconds, bool longForm);

// Writes value with a comma every three digits ("4,294,967,295"). Returns the
// length, or -1 with errno = ELIB_BUFFER_TOO_SMALL as DurationText.
int ThousandsText(char *buffer, int length, uint32_t value);
