#include "server/store/store_deps.h"

#include "lib/dates.h"
#include "lib/wildmatch.h"
#include "server/settings/settings.h"

time_t StoreParseDate(const char *date) { return ParseDate(date, nullptr, false); }

// An empty filter list makes nothing binary (rather than everything).
bool StoreSubjectLooksBinary(const char *subject) {
    return PatternListMatch(subject, IniStrings(binaryFilter), WM_EMPTY_NO_MATCH) == 1;
}

bool StoreVerbose() { return verbose != 0; }
