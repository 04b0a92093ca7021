// Sorting helpers.
//
// SortLocked is the C library's quick sort run under one process-wide lock
// (for comparison functions that use shared state). ShellSort is a
// Shell sort whose comparison receives a context, so callers can rank
// elements by data that is not in the elements (servers ranked by scores).
//
// Threading: SortLocked serialises all its callers on one lock, created on
// first use; ShellSort is reentrant.
#pragma once

#include <cstddef>

// qsort(base, count, size, compare) under the process-wide sort lock.
void SortLocked(void *base, size_t count, size_t size, int (*compare)(const void *, const void *));

// Sorts count elements of size bytes: gaps count/2, then halved down to 1;
// for each gap an insertion pass that swaps while compare(context, a, b) is
// positive. Not stable.
void ShellSort(void *context, void *base, size_t count, size_t size,
               int (*compare)(void *context, const void *a, const void *b));
