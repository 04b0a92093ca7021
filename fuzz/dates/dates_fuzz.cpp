// libFuzzer target: ParseDate on arbitrary bytes, as an overview field and as
// a header line. The input block has exactly the input's size, so any read
// past its end is caught by AddressSanitizer.
#include "lib/dates.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text((const char *)data, size);
    struct tm tmv;
    time_t t = ParseDate(text, &tmv, false);
    if (t < -1) abort();
    t = ParseDate(text, &tmv, true);
    if (t < -1) abort();
    return 0;
}
