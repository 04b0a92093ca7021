// libFuzzer target: UrlParse on any text and the format/parse round trip
// (see url_roundtrip.h).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/url/url_roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text((const char *)data, size);  // stops at an embedded NUL
    if (!urlfuzz::RoundTripHolds(text.c_str())) abort();
    return 0;
}
