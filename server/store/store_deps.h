// The few services of other modules that the store calls, gathered in one
// place: date parsing, the binary-subject test and the verbose switch.
//
// Design: each is a plain function here so that the store's sources name one
// entry point per service; the definitions forward to the date parser, the
// wildcard matcher and the global settings.
//
// Threading: all are callable from any thread.
#pragma once

#include <ctime>

// Seconds since 1970 of an overview Date field, or -1 when it is not
// recognised.
time_t StoreParseDate(const char *date);

// True when subject matches the binaryFilter patterns of the settings.
bool StoreSubjectLooksBinary(const char *subject);

// The verbose setting: the cache writes its progress lines when on.
bool StoreVerbose();
