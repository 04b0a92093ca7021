// Wildcard matching and first-match-decides pattern lists.
//
// WildMatch compares a whole name with a whole pattern without regard to
// ASCII case: "?" matches one character other than ".", "*" any sequence,
// "[...]" a set of characters ("[^...]" its complement, "a-c" a range).
// Trailing "*" and "." of the pattern may match nothing at the end of a
// name, so "abc" matches "abc*" and "abc*.*" but not "abc.*".
// PatternListMatch tries a null-terminated list of patterns in order; the
// first that matches decides, a leading "!" makes a pattern negative. Every
// filter, access list and group pattern of the system goes through here.
//
// Threading: reentrant; no state.
#pragma once

constexpr int WM_NO_NEGATION = 2;     // "!" is an ordinary character
constexpr int WM_NO_SETS = 4;         // "[" is an ordinary character
constexpr int WM_EMPTY_NO_MATCH = 32;  // an empty or null list matches nothing

// True when the whole name matches the whole pattern. flags: WM_NO_SETS.
// A pattern with an unterminated "[" set matches nothing.
bool WildMatch(const char *name, const char *pattern, int flags);

// 1 when the first pattern of the null-terminated list that matches name is
// positive, 0 when it is negative ("!pattern", unless WM_NO_NEGATION) or
// when none matches. A null or empty list gives 1, or 0 with
// WM_EMPTY_NO_MATCH. WM_NO_SETS is passed on to WildMatch.
int PatternListMatch(const char *name, const char *const *patterns, int flags);
