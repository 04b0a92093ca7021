// libFuzzer target: the range text parser. Each input line is added with
// NumbersAddText; lines starting with "!" remove their range instead. After
// every line the set must be canonical; at the end its text form must read
// back into the same set.
#include "lib/numbers.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void CheckCanonical(const tNumbers *n) {
    for (int32_t i = 0; i < NumbersRanges(n); i++) {
        const tRange *r = NumbersRange(n, i);
        if (!RangeValid(r)) abort();
        if (i > 0 && (int64_t)r->low <= (int64_t)NumbersRange(n, i - 1)->high + 1) abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view input((const char *)data, size);
    tNumbers n;
    NumbersInit(&n);
    while (!input.empty()) {
        size_t eol = input.find('\n');
        std::string_view line = input.substr(0, eol);
        input = eol == std::string_view::npos ? std::string_view() : input.substr(eol + 1);
        if (!line.empty() && line[0] == '!') {
            tNumbers one;
            NumbersInit(&one);
            if (NumbersAddText(&one, line.substr(1), nullptr) >= 0 && NumbersRanges(&one) == 1) {
                const tRange *r = NumbersRange(&one, 0);
                if (NumbersRemove(&n, r->low, r->high) != E_OK) abort();
                if (NumbersContains(&n, r->low) || NumbersContains(&n, r->high)) abort();
            }
            NumbersFree(&one);
        } else {
            int rc = NumbersAddText(&n, line, nullptr);
            if (rc != 0 && rc != 1 && rc != E_BAD_INTERVAL) abort();
        }
        CheckCanonical(&n);
    }
    char *text = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&text, &len);
    if (!f || NumbersWrite(f, &n) != E_OK) abort();
    fclose(f);
    tNumbers back;
    NumbersInit(&back);
    std::string_view written(text, len);
    while (!written.empty()) {
        size_t eol = written.find('\n');
        if (NumbersAddText(&back, written.substr(0, eol), nullptr) < 0) abort();
        written = written.substr(eol + 1);
    }
    if (NumbersRanges(&back) != NumbersRanges(&n)) abort();
    for (int32_t i = 0; i < NumbersRanges(&n); i++)
        if (NumbersRange(&n, i)->low != NumbersRange(&back, i)->low ||
            NumbersRange(&n, i)->high != NumbersRange(&back, i)->high)
            abort();
    free(text);
    NumbersFree(&back);
    NumbersFree(&n);
    return 0;
}
