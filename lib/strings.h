// Bounded string and formatting helpers, tokenising and number parsing.
//
// Every text the system formats goes through these helpers: they fail with
// errno ELIB_BUFFER_TOO_SMALL rather than truncate silently. The copying
// helpers write nothing on failure; FormatBounded leaves a truncated,
// terminated text. Lengths are ints so that a miscomputed (negative) room
// fails instead of wrapping around.
//
// Threading: all functions are reentrant; they touch only their arguments
// and errno.
#pragma once

#include <cstdarg>
#include <cstdio>

// Copies src with its NUL into dst when strlen(src) < len and returns that
// length; otherwise -1 with ELIB_BUFFER_TOO_SMALL and dst untouched.
[[nodiscard]] int StrCopyBounded(char *dst, const char *src, int len);

// Writes a then b and a NUL into dst when strlen(a) + strlen(b) < len and
// returns the bytes written including the NUL; otherwise -1 with
// ELIB_BUFFER_TOO_SMALL and dst untouched. a may be dst itself.
[[nodiscard]] int StrConcatBounded(char *dst, int len, const char *a, const char *b);

// printf-style formatting into dst of len bytes. Returns the length when the
// result has at most len - 1 characters; otherwise (also for len <= 0) -1
// with ELIB_BUFFER_TOO_SMALL. When len > 0, dst is always NUL-terminated.
[[nodiscard]] int FormatBounded(char *dst, int len, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
[[nodiscard]] int FormatBoundedV(char *dst, int len, const char *format, va_list args);

// Skips white space; returns null at the end of the text. Otherwise stores
// the token start in *start, terminates the token in place and returns the
// position after the terminator (or the end of the text).
char *NextToken(char *text, char **start);

// Stores text in *start and returns the position of its first tab or of its
// terminating NUL; null for an empty text. Walks tab-separated fields.
const char *FieldEnd(const char *text, const char **start);
inline char *FieldEnd(char *text, char **start) {
    return const_cast<char *>(FieldEnd(text, const_cast<const char **>(start)));
}

// Skips white space, accepts an optional minus sign followed by optional
// white space, requires a digit and reads decimal digits into *value.
// Returns the position after the last digit, or null when no digit follows
// or the magnitude would exceed 2147483647 (*value unchanged then).
const char *ParseInt(const char *text, int *value);

// True when a and b are the same pointer, when one is null and the other
// null or empty, or when the texts are equal (exactly when caseSensitive is
// set, else without regard to ASCII case).
bool StrEqualNull(const char *a, const char *b, int caseSensitive);

// An owned (malloc) copy of the characters from start up to end, or null
// when out of memory (errno ELIB_OUT_OF_MEMORY).
char *StrDupRange(const char *start, const char *end);

// Removes one trailing LF, then one trailing CR; returns the new length.
int StripEol(char *text);

// Reads one line of at most len - 1 bytes from file, strips its line end as
// StripEol does and returns its length; at end of file (or on a read error)
// -1 with errno ELIB_EOF.
[[nodiscard]] int ReadLine(FILE *file, char *buf, int len);
