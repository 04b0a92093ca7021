// Text for HTML pages.
//
// HtmlText copies a text into a bounded buffer for inclusion in a page:
// "<" becomes "&lt;", "@" may become " @ " so that addresses can break, and
// long runs of non-space characters can be broken by inserted spaces so that
// table columns wrap. HtmlNonEmpty keeps empty table cells visible.
//
// Threading: reentrant; no state.
#pragma once

// Copies text into dst (len bytes) for an HTML page and returns the length
// written. "<" becomes "&lt;". With atBreak, "@" becomes " @ " and ends the
// current run of non-space characters. With wrap > 0, a space is inserted
// before a character (other than "<") when the current run is already longer
// than wrap; the character after the inserted space starts a new run at 0;
// white space ends a run; "&lt;" counts as one character. Each item
// (character, "&lt;", " @ ", inserted space) is copied only while it leaves
// at least one byte free besides the NUL; otherwise copying stops. dst is
// always NUL-terminated when len > 0.
int HtmlText(char *dst, int len, const char *text, int atBreak, int wrap);

// In HTML mode "&nbsp;" for a null or empty text or a single space,
// otherwise the text itself ("" for null outside HTML mode).
const char *HtmlNonEmpty(const char *text, int html);
