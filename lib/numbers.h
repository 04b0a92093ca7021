// Sets of article numbers held as sorted, disjoint inclusive ranges.
//
// The numbers a server offers for a group, the numbers already explored, the
// numbers still to fetch and the numbers a reader has read are all tNumbers.
// A set is an array of tRange kept in canonical form by every operation:
// every range is valid (low <= high), ranges are sorted by low, and between
// two neighbours at least one number is missing (each low exceeds the
// previous high + 1). An empty set has no ranges.
//
// Design: adding at the end, the common case while numbers arrive in
// ascending order, touches only the last range; everything else finds its
// place by binary search and moves ranges with one memmove. Operations that
// must allocate (append, insert, split, copy) fail with E_OUT_OF_MEMORY and
// leave the set canonical, holding the old content. The set is a tDynArray of
// tRange (element size 8, growing by 20 ranges, no doubling); callers read
// the ranges through NumbersRanges and NumbersRange.
//
// The explorer trades precision for fewer requests by collapsing neighbouring
// ranges (NumbersCollapse, NumbersCollapseTo, NumbersCollapseWith): a
// collapsed set covers every number it held and the missing ones between
// merged ranges.
//
// Threading: a set has no lock; its owner (a group index, a server's
// exploration state) protects it. The functions themselves are reentrant.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "lib/diag.h"
#include "lib/dynarray.h"

struct tLog;

// One inclusive range of article numbers.
struct tRange {
    int32_t low;
    int32_t high;
};

// A range is valid when low is not above high.
inline bool RangeValid(const tRange *range) { return range->low <= range->high; }

// high - low + 1; 64 bits wide so that 0..2147483647 counts right.
inline int64_t RangeCount(const tRange *range) { return (int64_t)range->high - range->low + 1; }

// A canonical set of ranges: a tDynArray of tRange. Owns its buffer: release
// it with NumbersFree. A plain copy of the structure shares the buffer; use
// NumbersCopy.
typedef tDynArray tNumbers;

// Walks the numbers of a set in ascending order. The set may change during
// the walk only through NumbersIterRemoveCurrent.
struct tNumbersIterator {
    tNumbers *numbers;  // the set walked
    int32_t range;      // index of the current range
    int32_t index;      // how many numbers of the current range were returned
};

// Makes an empty set (DynArrayInit); allocates nothing. Any old buffer is not
// released.
void NumbersInit(tNumbers *numbers);

// Releases the buffer (DynArrayFree); the set is empty afterwards and may be
// used again.
void NumbersFree(tNumbers *numbers);

// Number of ranges, and the range at index (0 <= index < NumbersRanges).
inline int32_t NumbersRanges(const tNumbers *numbers) { return numbers->used; }
inline const tRange *NumbersRange(const tNumbers *numbers, int32_t index) {
    return &static_cast<const tRange *>(numbers->buf)[index];
}

// Adds every number of low..high, merging touching and overlapping ranges.
// Returns 1 when all of them were already present, 0 otherwise (also for an
// empty range, high below low), or E_OUT_OF_MEMORY with the set unchanged.
[[nodiscard]] int NumbersAdd(tNumbers *numbers, int32_t low, int32_t high);

// Removes every number of low..high, splitting a range that holds the removed
// part strictly inside it. Returns 0, or E_OUT_OF_MEMORY (only when a split
// is needed) with the set unchanged.
[[nodiscard]] tDiag NumbersRemove(tNumbers *numbers, int32_t low, int32_t high);

// Removes every number up to and including number. Returns 0.
int NumbersRemoveUpTo(tNumbers *numbers, int32_t number);

// True when number is in the set (binary search).
bool NumbersContains(const tNumbers *numbers, int32_t number);

// How many numbers the set holds.
int64_t NumbersCount(const tNumbers *numbers);

// Adds every range of source to target in order, then empties source (its
// buffer is kept). Returns 0, or the first error: then source keeps all its
// numbers and target holds some of them besides its own. Merging a set into
// itself changes nothing.
[[nodiscard]] tDiag NumbersMerge(tNumbers *target, tNumbers *source);

// Makes target an independent copy of source with a buffer of source's
// capacity; target's old buffer is released. E_OUT_OF_MEMORY leaves target
// unchanged. A source with a buffer but no capacity is an internal error.
[[nodiscard]] tDiag NumbersCopy(tNumbers *target, const tNumbers *source);

// Parses one range text and adds it: optional white space, digits, and
// optionally "-" followed by digits ("n" is n..n, "n-m" is n..m). Text without
// digits reads as 0; what follows the digits is ignored. Returns what
// NumbersAdd returns, or E_BAD_INTERVAL for "n-" without digits after the
// dash or for a number above 2147483647. With a log, a range holding more
// than 1000001 numbers is not added: the log gets
// "Interval %ld-%ld too large. Ignoring it.\n" and 0 is returned.
[[nodiscard]] int NumbersAddText(tNumbers *numbers, std::string_view text, tLog *log);

// Writes one line per range in ascending order: "%ld-%ld\n", or "%ld\n" for a
// single number. Returns 0, or E_DISK_WRITE when a write fails.
[[nodiscard]] tDiag NumbersWrite(FILE *file, const tNumbers *numbers);

// Starts a walk at the lowest number.
void NumbersIterInit(tNumbersIterator *iterator, tNumbers *numbers);

// Stores the next number and returns 1, or returns 0 at the end.
int NumbersIterNext(tNumbersIterator *iterator, int32_t *number);

// Removes the number NumbersIterNext returned last; the walk continues with
// the number after it. Returns 0 or E_OUT_OF_MEMORY (only when a range must
// be split) with the set unchanged. REQUIRES: NumbersIterNext returned 1 last
// and the number was not removed yet; otherwise the program stops (Panic).
[[nodiscard]] tDiag NumbersIterRemoveCurrent(tNumbersIterator *iterator);

// Merges each range with the next while the next one's low is at most the
// current high + distance; the merged range also covers the missing numbers
// between them. Returns the number of merges. A distance below 2 merges
// nothing.
int NumbersCollapse(tNumbers *numbers, int32_t distance);

// Collapses with distance 2, then 3, 4 and so on until the set has at most
// maxRanges ranges (at least 1). The outcome is computed directly (the
// smallest such distance is found by bisection), so huge gaps cost no time.
// Returns the total of merges.
int NumbersCollapseTo(tNumbers *numbers, int32_t maxRanges);

// The explorer's collapsing policy. The distance is serverDistance when it
// is above 0, else defaultDistance; when it is 2 or more NumbersCollapse runs
// with it. The range limit is serverMaxRanges when above 0, else
// defaultMaxRanges; when it is above 0 NumbersCollapseTo runs with it.
// Returns the total of merges. (A server's own values come from its
// definition, the defaults from the settings numbersCollapseMinDistance and
// numbersCollapseMaxRanges.)
int NumbersCollapseWith(tNumbers *numbers, int32_t serverDistance, int32_t serverMaxRanges,
                        int32_t defaultDistance, int32_t defaultMaxRanges);

// Test seam: the next count allocations of set buffers on the calling thread
// fail (0 ends the failures).
void NumbersFailAllocations(int count);
