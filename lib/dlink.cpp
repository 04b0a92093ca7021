#include "lib/dlink.h"

#include "lib/panic.h"

#include <cstdio>

namespace {

// Panics with "<t>->next->prev == (void*) <t>" or its mirror for the
// expression text t.
[[noreturn]] void LinkPanic(const char *t, bool nextSide, const char *file, int line) {
    char cond[1024];
    if (nextSide)
        snprintf(cond, sizeof cond, "(%s)->next->prev == (void*) (%s)", t, t);
    else
        snprintf(cond, sizeof cond, "(%s)->prev->next == (void*) (%s)", t, t);
    Panic(cond, file, line);
}

void CheckNeighbours(const tDlink *e, const char *text, const char *file, int line) {
    // A zeroed, never initialised link fails like a broken one.
    if (!e->next) LinkPanic(text, true, file, line);
    if (!e->prev) LinkPanic(text, false, file, line);
    if (e->next->prev != e) LinkPanic(text, true, file, line);
    if (e->prev->next != e) LinkPanic(text, false, file, line);
}

}  // namespace

void DlinkInsertBeforeChecked(tDlink *anchor, tDlink *x, const char *typeText, const char *xText,
                              const char *anchorText, const char *file, int line) {
    if (x->next != x || x->prev != x) {
        char cond[1024];
        snprintf(cond, sizeof cond, "!DLINK_INLIST (%s, %s)", typeText, xText);
        Panic(cond, file, line);
    }
    CheckNeighbours(anchor, anchorText, file, line);
    x->next = anchor;
    x->prev = anchor->prev;
    anchor->prev->next = x;
    anchor->prev = x;
    if (x->next->prev != x || x->prev->next != x) {
        char elem[512];
        snprintf(elem, sizeof elem, "(%s)", xText);
        CheckNeighbours(x, elem, file, line);
    }
}

void DlinkRemoveChecked(tDlink *x, const char *xText, const char *file, int line) {
    CheckNeighbours(x, xText, file, line);
    x->prev->next = x->next;
    x->next->prev = x->prev;
    x->next = x->prev = x;
}

tDlink *DlinkSortedAnchor(tDlink *head, const tDlink *x, bool (*follows)(const tDlink *e, const tDlink *x)) {
    tDlink *e = head->next;
    while (e != head && !follows(e, x)) e = e->next;
    return e;
}
