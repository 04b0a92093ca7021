#include "lib/numbers.h"

#include "lib/dynarray.h"
#include "lib/log.h"
#include "lib/panic.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

thread_local int failAllocations = 0;  // the test seam's countdown

// False when the test seam makes this allocation fail.
bool AllocationAllowed() {
    if (failAllocations <= 0) return true;
    failAllocations--;
    return false;
}

// The ranges of a set.
tRange *Ranges(tNumbers *numbers) { return static_cast<tRange *>(numbers->buf); }
const tRange *Ranges(const tNumbers *numbers) { return static_cast<const tRange *>(numbers->buf); }

// Makes room for extra more ranges beyond used. False when the allocation
// fails; the old buffer is then untouched.
bool Reserve(tNumbers *numbers, int32_t extra) {
    if ((int64_t)numbers->used + extra <= numbers->size) return true;
    return AllocationAllowed() && DynArrayGrow(numbers, extra) == 0;
}

// Index of the first range whose high is at least value (used when none).
int32_t FirstHighAtLeast(const tNumbers *numbers, int64_t value) {
    const tRange *begin = Ranges(numbers), *end = Ranges(numbers) + numbers->used;
    return (int32_t)(std::partition_point(begin, end, [value](const tRange &r) { return r.high < value; }) - begin);
}

// Index of the first range from start on whose low is above value.
int32_t FirstLowAbove(const tNumbers *numbers, int32_t start, int64_t value) {
    const tRange *begin = Ranges(numbers), *end = Ranges(numbers) + numbers->used;
    return (int32_t)(std::partition_point(begin + start, end, [value](const tRange &r) { return r.low <= value; }) - begin);
}

// Removes the ranges first..last-1.
void Erase(tNumbers *numbers, int32_t first, int32_t last) {
    if (last <= first) return;
    memmove(Ranges(numbers) + first, Ranges(numbers) + last, (size_t)(numbers->used - last) * sizeof(tRange));
    numbers->used -= last - first;
}

// Inserts a range at index; room must have been reserved.
void InsertAt(tNumbers *numbers, int32_t index, tRange range) {
    memmove(Ranges(numbers) + index + 1, Ranges(numbers) + index, (size_t)(numbers->used - index) * sizeof(tRange));
    Ranges(numbers)[index] = range;
    numbers->used++;
}

// Merges neighbours whose gap is at most distance (64 bits: no overflow).
int Collapse(tNumbers *numbers, int64_t distance) {
    if (numbers->used < 2 || distance < 2) return 0;
    tRange *r = Ranges(numbers);
    int merges = 0;
    int32_t w = 0;
    for (int32_t i = 1; i < numbers->used; i++) {
        if ((int64_t)r[i].low <= (int64_t)r[w].high + distance) {
            if (r[i].high > r[w].high) r[w].high = r[i].high;
            merges++;
        } else {
            r[++w] = r[i];
        }
    }
    numbers->used = w + 1;
    return merges;
}

// Reads decimal digits at *p (saturating above 2^31); 0 when there are none.
int64_t ReadDigits(std::string_view text, size_t *p) {
    int64_t value = 0;
    while (*p < text.size() && text[*p] >= '0' && text[*p] <= '9') {
        if (value <= INT32_MAX) value = value * 10 + (text[*p] - '0');
        (*p)++;
    }
    return value;
}

}  // namespace

void NumbersFailAllocations(int count) { failAllocations = count; }

void NumbersInit(tNumbers *numbers) { DynArrayInit(numbers, sizeof(tRange), 20, 0); }

void NumbersFree(tNumbers *numbers) { DynArrayFree(numbers); }

int NumbersAdd(tNumbers *numbers, int32_t low, int32_t high) {
    if (high < low) return 0;
    tRange *r = Ranges(numbers);
    int32_t n = numbers->used;
    if (n == 0 || (int64_t)low > (int64_t)r[n - 1].high + 1) {
        if (!Reserve(numbers, 1)) return E_OUT_OF_MEMORY;
        Ranges(numbers)[numbers->used++] = tRange{low, high};
        return 0;
    }
    if ((int64_t)low == (int64_t)r[n - 1].high + 1) {
        r[n - 1].high = high;
        return 0;
    }
    // Some range ends at low - 1 or later: the last one does.
    int32_t i = FirstHighAtLeast(numbers, (int64_t)low - 1);
    if (r[i].low <= low && r[i].high >= high) return 1;
    if ((int64_t)high + 1 < r[i].low) {
        if (!Reserve(numbers, 1)) return E_OUT_OF_MEMORY;
        InsertAt(numbers, i, tRange{low, high});
        return 0;
    }
    // low..high touches ranges i..j-1: they become one.
    int32_t j = FirstLowAbove(numbers, i, (int64_t)high + 1);
    r[i].low = std::min(r[i].low, low);
    r[i].high = std::max(r[j - 1].high, high);
    Erase(numbers, i + 1, j);
    return 0;
}

tDiag NumbersRemove(tNumbers *numbers, int32_t low, int32_t high) {
    if (high < low) return E_OK;
    int32_t i = FirstHighAtLeast(numbers, low);
    if (i == numbers->used || Ranges(numbers)[i].low > high) return E_OK;
    tRange *r = Ranges(numbers);
    if (r[i].low < low && r[i].high > high) {
        if (!Reserve(numbers, 1)) return E_OUT_OF_MEMORY;
        r = Ranges(numbers);
        InsertAt(numbers, i + 1, tRange{high + 1, r[i].high});
        r[i].high = low - 1;
        return E_OK;
    }
    int32_t first = i;
    if (r[i].low < low) {
        r[i].high = low - 1;
        first = i + 1;
    }
    int32_t last = FirstLowAbove(numbers, first, high);
    if (last > first && r[last - 1].high > high) {
        r[last - 1].low = high + 1;
        last--;
    }
    Erase(numbers, first, last);
    return E_OK;
}

int NumbersRemoveUpTo(tNumbers *numbers, int32_t number) {
    int32_t i = FirstHighAtLeast(numbers, (int64_t)number + 1);
    Erase(numbers, 0, i);
    if (numbers->used > 0 && Ranges(numbers)[0].low <= number) Ranges(numbers)[0].low = number + 1;
    return 0;
}

bool NumbersContains(const tNumbers *numbers, int32_t number) {
    int32_t i = FirstHighAtLeast(numbers, number);
    return i < numbers->used && Ranges(numbers)[i].low <= number;
}

int64_t NumbersCount(const tNumbers *numbers) {
    int64_t count = 0;
    for (int32_t i = 0; i < numbers->used; i++) count += RangeCount(&Ranges(numbers)[i]);
    return count;
}

tDiag NumbersMerge(tNumbers *target, tNumbers *source) {
    if (target == source) return E_OK;
    for (int32_t i = 0; i < source->used; i++) {
        int rc = NumbersAdd(target, Ranges(source)[i].low, Ranges(source)[i].high);
        if (rc < 0) return rc;
    }
    source->used = 0;
    return E_OK;
}

tDiag NumbersCopy(tNumbers *target, const tNumbers *source) {
    if (target == source) return E_OK;
    const tNumbers *nb = source;
    if (nb->size == 0) MG_ASSERT(!nb->buf);
    void *copy = nullptr;
    if (source->size > 0) {
        if (!AllocationAllowed()) return E_OUT_OF_MEMORY;
        copy = malloc((size_t)source->size * (size_t)source->elemSize);
        if (!copy) return E_OUT_OF_MEMORY;
        memcpy(copy, source->buf, (size_t)source->used * (size_t)source->elemSize);
    }
    DynArrayFree(target);
    *target = *source;
    target->buf = copy;
    return E_OK;
}

int NumbersAddText(tNumbers *numbers, std::string_view text, tLog *log) {
    size_t p = 0;
    while (p < text.size() && (text[p] == ' ' || (text[p] >= '\t' && text[p] <= '\r'))) p++;
    int64_t low = ReadDigits(text, &p);
    int64_t high = low;
    if (p < text.size() && text[p] == '-') {
        p++;
        if (p == text.size() || text[p] < '0' || text[p] > '9') return E_BAD_INTERVAL;
        high = ReadDigits(text, &p);
    }
    if (low > INT32_MAX || high > INT32_MAX) return E_BAD_INTERVAL;
    if (log && high - low >= 1000001) {
        LogMessage(log, "Interval %ld-%ld too large. Ignoring it.\n", (long)low, (long)high);
        return 0;
    }
    return NumbersAdd(numbers, (int32_t)low, (int32_t)high);
}

tDiag NumbersWrite(FILE *file, const tNumbers *numbers) {
    for (int32_t i = 0; i < numbers->used; i++) {
        const tRange *r = &Ranges(numbers)[i];
        int n = r->low == r->high ? fprintf(file, "%ld\n", (long)r->low)
                                  : fprintf(file, "%ld-%ld\n", (long)r->low, (long)r->high);
        if (n < 0) return E_DISK_WRITE;
    }
    return ferror(file) ? E_DISK_WRITE : E_OK;
}

void NumbersIterInit(tNumbersIterator *iterator, tNumbers *numbers) {
    iterator->numbers = numbers;
    iterator->range = 0;
    iterator->index = 0;
}

int NumbersIterNext(tNumbersIterator *iterator, int32_t *number) {
    const tNumbers *numbers = iterator->numbers;
    while (iterator->range < numbers->used) {
        const tRange *r = &Ranges(numbers)[iterator->range];
        if (iterator->index < RangeCount(r)) {
            *number = r->low + iterator->index++;
            return 1;
        }
        iterator->range++;
        iterator->index = 0;
    }
    return 0;
}

tDiag NumbersIterRemoveCurrent(tNumbersIterator *iterator) {
    tNumbersIterator *ni = iterator;
    MG_ASSERT(ni->range || ni->index);
    tNumbers *numbers = ni->numbers;
    MG_ASSERT(ni->index > 0 && ni->range < numbers->used);
    tRange *r = &Ranges(numbers)[ni->range];
    int32_t current = r->low + (ni->index - 1);
    if (current == r->low) {
        if (r->low == r->high) {
            Erase(numbers, ni->range, ni->range + 1);
        } else {
            r->low++;
        }
        ni->index = 0;
    } else if (current == r->high) {
        r->high--;
    } else {
        if (!Reserve(numbers, 1)) return E_OUT_OF_MEMORY;
        r = &Ranges(numbers)[ni->range];
        InsertAt(numbers, ni->range + 1, tRange{current + 1, r->high});
        r->high = current - 1;
        ni->range++;
        ni->index = 0;
    }
    return E_OK;
}

int NumbersCollapse(tNumbers *numbers, int32_t distance) {
    return Collapse(numbers, distance);
}

int NumbersCollapseTo(tNumbers *numbers, int32_t maxRanges) {
    if (maxRanges < 1) maxRanges = 1;
    if (numbers->used <= maxRanges) return 0;
    // Collapsing with distance d merges exactly the neighbours whose gap
    // (next low - high) is at most d, whatever smaller distances ran before;
    // so stepping d = 2, 3, ... ends at the smallest d that leaves at most
    // maxRanges ranges. Find it by bisection over the gaps.
    const tRange *r = Ranges(numbers);
    auto rangesLeft = [&](int64_t d) {
        int64_t left = 1;
        for (int32_t i = 1; i < numbers->used; i++)
            if ((int64_t)r[i].low - r[i - 1].high > d) left++;
        return left;
    };
    int64_t lo = 2, hi = (int64_t)INT32_MAX - INT32_MIN + 1;  // hi always suffices
    while (lo < hi) {
        int64_t mid = lo + (hi - lo) / 2;
        if (rangesLeft(mid) <= maxRanges) hi = mid; else lo = mid + 1;
    }
    return Collapse(numbers, lo);
}

int NumbersCollapseWith(tNumbers *numbers, int32_t serverDistance, int32_t serverMaxRanges,
                        int32_t defaultDistance, int32_t defaultMaxRanges) {
    int total = 0;
    int32_t distance = serverDistance > 0 ? serverDistance : defaultDistance;
    if (distance >= 2) total += NumbersCollapse(numbers, distance);
    int32_t maxRanges = serverMaxRanges > 0 ? serverMaxRanges : defaultMaxRanges;
    if (maxRanges > 0) total += NumbersCollapseTo(numbers, maxRanges);
    return total;
}
