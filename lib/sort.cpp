#include "lib/sort.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

void SortLocked(void *base, size_t count, size_t size, int (*compare)(const void *, const void *)) {
    static std::mutex sortLock;
    std::lock_guard<std::mutex> g(sortLock);
    qsort(base, count, size, compare);
}

namespace {

void Swap(unsigned char *a, unsigned char *b, size_t size) {
    if (size == 4) {
        uint32_t x, y;
        memcpy(&x, a, 4);
        memcpy(&y, b, 4);
        memcpy(a, &y, 4);
        memcpy(b, &x, 4);
        return;
    }
    size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        uint32_t x, y;
        memcpy(&x, a + i, 4);
        memcpy(&y, b + i, 4);
        memcpy(a + i, &y, 4);
        memcpy(b + i, &x, 4);
    }
    for (; i < size; i++) {
        unsigned char t = a[i];
        a[i] = b[i];
        b[i] = t;
    }
}

}  // namespace

void ShellSort(void *context, void *base, size_t count, size_t size,
               int (*compare)(void *context, const void *a, const void *b)) {
    unsigned char *b = static_cast<unsigned char *>(base);
    for (size_t gap = count / 2; gap > 0; gap /= 2) {
        for (size_t i = gap; i < count; i++) {
            for (size_t j = i - gap;; j -= gap) {
                unsigned char *x = b + j * size, *y = b + (j + gap) * size;
                if (compare(context, x, y) <= 0) break;
                Swap(x, y, size);
                if (j < gap) break;
            }
        }
    }
}
