// libFuzzer target: proxy replies of every exchange kind (see proxy_driver.h).
#include "fuzz/proxy/proxy_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    proxyfuzz::RunOne(data, size);
    return 0;
}
