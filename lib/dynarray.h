// Growable arrays of fixed-size elements.
//
// tDynArray is one plain structure with four uses:
//  - an array of elements (article-number ranges, URLs, integers);
//  - a byte buffer (elemSize 1), often holding one NUL-terminated text whose
//    last used byte is the NUL;
//  - a joined string set (elemSize 1): texts separated by one separator
//    character and ended by NUL ("a/b/c"), used to remember names seen;
//  - a pointer array (elemSize sizeof(char *)): each element an owned,
//    NUL-terminated text or null.
// The buffer grows by `increment` elements or, with DA_DOUBLE, by doubling.
// Allocation failures leave the array unchanged and set errno to
// ELIB_OUT_OF_MEMORY; nothing else here allocates.
//
// Threading: an array does not lock itself; its owner serialises access.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int32_t DA_DOUBLE = 1;  // flags: grow by doubling instead of by increment

struct tDynArray {
    int32_t elemSize = 0;      // bytes per element
    int32_t increment = 0;     // growth step and minimum first capacity (>= 1)
    int32_t flags = 0;         // DA_DOUBLE
    int32_t used = 0;          // elements in use, 0..size
    int32_t size = 0;          // capacity in elements
    int32_t reallocCount = 0;  // statistics: enlargements (reallocations) of an existing buffer
    int32_t moveCount = 0;     // statistics: enlargements that moved the buffer
    void *buf = nullptr;       // owned element storage; null while nothing is allocated
};

// Zeroes every field, then sets the three given ones (an increment below 1
// becomes 1). Allocates nothing.
void DynArrayInit(tDynArray *da, int elemSize, int increment, int flags);

// Makes room for n more elements beyond used (used is unchanged). 0 on
// success; -1 with errno ELIB_OUT_OF_MEMORY when memory runs out or the
// capacity would pass 2^31-1 elements or bytes; the old buffer then stays
// valid and unchanged.
[[nodiscard]] int DynArrayGrow(tDynArray *da, int n);

// Removes element index (0 <= index < used) by moving the later ones down.
void DynArrayRemove(tDynArray *da, int index);

// Sets size to used and gives back the unused tail; an empty array releases
// its buffer (buf becomes null). If the reallocation fails the old block is
// kept.
void DynArrayShrink(tDynArray *da);

// Releases the buffer; buf becomes null, used and size 0.
void DynArrayFree(tDynArray *da);

// Pointer arrays: frees every non-null element among the first used, then
// DynArrayFree.
void DynArrayFreePointers(tDynArray *da);

// Byte arrays: appends text and its NUL. 0, or -1 (ELIB_OUT_OF_MEMORY).
[[nodiscard]] int DynArrayAppendString(tDynArray *da, const char *text);

// Byte arrays: appends length raw bytes. 0, or -1 (ELIB_OUT_OF_MEMORY).
[[nodiscard]] int DynArrayAppendBytes(tDynArray *da, const void *bytes, int length);

// Pointer arrays: appends an owned copy of text, or a null element when text
// is null. 0, or -1 (ELIB_OUT_OF_MEMORY; nothing appended).
[[nodiscard]] int DynArrayAddPointerCopy(tDynArray *da, const char *text);

// Element i of a pointer array (0 <= i < used).
inline char *DynArrayPointer(const tDynArray *da, int i) { return static_cast<char **>(da->buf)[i]; }

// Joined string sets: adds name unless it is already a whole element.
// Returns 0 when added, 1 when already present (nothing changed), -1 with
// ELIB_OUT_OF_MEMORY when the append fails (the set is left as it was).
[[nodiscard]] int JoinedSetAdd(tDynArray *da, const char *name, char sep);

// The position of name inside the NUL-terminated list where it is preceded
// by the list start or sep and followed by the end or sep; null when absent
// or when list is null.
const char *JoinedFind(const char *list, const char *name, char sep);

// String buffers: 0 when used is 0, otherwise the number of sep characters
// before the first NUL plus one. A buffer whose last used byte is not NUL is
// an internal error (Panic).
int CountFields(const tDynArray *da, char sep);

// Pointer arrays: true when one of the first used elements equals text
// (exactly, or without regard to ASCII case when caseSensitive is 0).
bool StringArrayContains(const tDynArray *array, const char *text, int caseSensitive);

// Receives the messages of LoadLinesFile: one complete, formatted text.
typedef void (*tReportFn)(void *context, const char *message);

// Reads a text file into a pointer array, one owned string per line: lines
// are read 511 bytes at a time (a longer line becomes several entries), a
// trailing LF and then a trailing CR are removed, empty lines are skipped.
// Returns 0 at end of file. When the file cannot be opened, report (if
// given) receives "Could not open the '<path>' file.\n" and -1 is returned.
// When an entry cannot be stored, report receives "<error> when adding
// '<path>' entry <n>.\n", the array is emptied with DynArrayFreePointers and
// -1 is returned (errno ELIB_OUT_OF_MEMORY).
[[nodiscard]] int LoadLinesFile(tDynArray *da, const char *path, tReportFn report, void *context);
