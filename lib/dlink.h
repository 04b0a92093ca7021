// Intrusive circular doubly linked lists with checked links.
//
// A structure that lives in a list holds a tDlink, as its first member or at
// a known member; a list head is itself a tDlink. An element in no list, and
// an empty head, point to themselves with both links. Every insertion checks
// that the element is not linked yet and that the anchor's neighbours point
// back at it, links, and checks the new neighbours; removal checks the
// element's neighbours. A failed check is an internal error: the condition's
// text as written at the call, the source file and the line go to Panic.
//
// The checking operations are macros so that the texts name the caller's
// expressions, for example "!DLINK_INLIST (tServerRequest, sreq)" or
// "((&server->idleConnections))->next->prev == (void*) ((&server->idleConnections))".
// The typed forms (DLINK_APPEND ...) take the element's type for the text and
// a compile-time check; DlinkAppend and its kin are the same with tDlink.
//
// Threading: a list does not lock itself; the owner of each list serialises
// access to it.
#pragma once

struct tDlink {
    tDlink *prev;
    tDlink *next;
};

// The link of an element whose first member is a tDlink, or a tDlink itself.
#define DLINK_OF(type, x) ((tDlink *)(type *)(x))

// True when element x (of type type) is linked into a list.
#define DLINK_INLIST(type, x) (DLINK_OF(type, x)->next != DLINK_OF(type, x) || DLINK_OF(type, x)->prev != DLINK_OF(type, x))

// Both links point to x: an unlinked element or an empty head.
inline void DlinkInit(tDlink *x) { x->prev = x->next = x; }

// True when the list headed by head is not empty.
inline bool DlinkInList(const tDlink *head) { return head->next != head; }

// The implementations behind the macros; the texts are the caller's
// expressions, file and line the caller's place.
void DlinkInsertBeforeChecked(tDlink *anchor, tDlink *x, const char *typeText, const char *xText,
                              const char *anchorText, const char *file, int line);
void DlinkRemoveChecked(tDlink *x, const char *xText, const char *file, int line);

// Inserts element x before anchor (an element, or the head: then at the tail).
#define DLINK_INSERT_BEFORE(type, anchor, x) \
    DlinkInsertBeforeChecked((anchor), DLINK_OF(type, x), #type, #x, "(" #anchor ")", __FILE__, __LINE__)

// Appends element x at the tail of the list headed by head.
#define DLINK_APPEND(type, head, x) DLINK_INSERT_BEFORE(type, head, x)

// Unlinks element x and makes it point to itself.
#define DLINK_REMOVE(type, x) DlinkRemoveChecked(DLINK_OF(type, x), "(" #x ")", __FILE__, __LINE__)

#define DlinkInsertBefore(anchor, x) DLINK_INSERT_BEFORE(tDlink, anchor, x)
#define DlinkAppend(head, x) DLINK_APPEND(tDlink, head, x)
#define DlinkRemove(x) DLINK_REMOVE(tDlink, x)

// Sorted insertion: the first element e of the list for which
// follows(e, x) is true, or head when none; insert x before the result.
tDlink *DlinkSortedAnchor(tDlink *head, const tDlink *x, bool (*follows)(const tDlink *e, const tDlink *x));
