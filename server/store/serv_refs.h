// Server references of a stored article: which upstream servers carry it and
// under which number.
//
// Design: four words hold the common cases without allocation: one reference
// (server, number), two references (second > 0 names the second server, more
// its number), or three and more (second = 1 - count, array holds the count - 1
// pairs after the first). server -1 means the article was deleted locally (no
// references); server 0 is a zombie whose number is the time it became one
// (0 until stamped). The text form is " %ld:%ld" per reference, so every
// reference is preceded by a blank and a LIKE pattern "% <id>:%" finds the
// articles of a server; a zombie reads " 0:<time>", no references the empty
// text.
//
// Threading: none inside. References of a stored article are changed only
// under the owning index's store lock.
#pragma once

#include "lib/diag.h"

#include <cstddef>

struct tServRef {
    long server;
    long number;
};

struct tServRefs {
    long server = -1;  // first server id; -1 none (deleted locally); 0 zombie
    long number = 0;   // number on the first server; for a zombie its time stamp
    long second = 0;   // 0 one reference; > 0 second server id; < 0 -(count - 1)
    union {
        long more = 0;    // second > 0: the second reference's number
        tServRef *array;  // second < 0: the count - 1 pairs after the first; owned
    };
};

// Outcomes of ServRefsAdd.
constexpr int SR_DELETED = 2;   // server is -1: nothing added
constexpr int SR_PRESENT = 1;   // the very pair is already there
constexpr int SR_REVIVED = 3;   // a zombie replaced by the pair
constexpr int SR_APPENDED = 4;  // the pair was added

// Number of references (0 for none; a zombie counts as one).
int ServRefsCount(const tServRefs *refs);

// Reference i (0 <= i < ServRefsCount).
tServRef ServRefsAt(const tServRefs *refs, int i);

// Parses the text form. The references end at the first tab or at the end of
// text; *end receives that position. No ":" before it gives no references
// (server -1). Pairs are "id:number" separated by blanks; a negative id, an
// id not followed by ":", a pair without a number or anything else between
// pairs gives E_BAD_SERVREFS and leaves refs without an array (server -1).
// E_OUT_OF_MEMORY for a failed array. refs must not own an array on entry.
[[nodiscard]] tDiag ServRefsParse(tServRefs *refs, const char *text, const char **end);

// Writes the text form into buffer (NUL-terminated; the empty text for no
// references). E_BUFFER_TOO_SMALL when it does not fit size bytes.
[[nodiscard]] tDiag ServRefsFormat(const tServRefs *refs, char *buffer, size_t size);

// Adds the reference (server, number) of an article found again on a server.
// Returns SR_DELETED, SR_PRESENT, SR_REVIVED or SR_APPENDED, or
// E_OUT_OF_MEMORY. *otherNumber receives the number under which the same
// server is already present with another number, else -1.
[[nodiscard]] int ServRefsAdd(tServRefs *refs, long server, long number, long *otherNumber);

// True when the reference (server, number) is to be removed.
typedef bool (*tServRefPredicate)(void *context, long server, long number);

// Removes every reference for which predicate is true; the last reference
// moves into each freed place. Removing the last one leaves a zombie stamped
// 0 (keepZombie) or no references (server -1) and increments *emptied.
// Returns the number removed; refs whose server is not positive are left
// alone (0).
int ServRefsRemoveIf(tServRefs *refs, tServRefPredicate predicate, void *context, int *emptied, bool keepZombie);

// Frees the array form; refs then hold the first reference only.
void ServRefsClear(tServRefs *refs);

// Marks the article deleted locally: server -1, no array.
void ServRefsMarkDeleted(tServRefs *refs);
