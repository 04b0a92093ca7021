// libFuzzer target: the reader session's command reader, parser and
// dispatcher (see session_driver.h).
#include "fuzz/session/session_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    sessionfuzz::RunOne(data, size);
    return 0;
}
