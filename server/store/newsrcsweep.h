// The newsrc sweep: after a server's group list was read into its actual
// list, every group of the server's newsrc is judged, and the groups the
// server no longer offers (or that nobody uses any more) are forgotten.
//
// Design: NewsrcSweepGroup is the function given to NewsrcForEachGroup.
// A group the actual list does not accept has vanished from the server: all
// references to this server are removed from the group's index, and only
// when that worked is the group deleted from the newsrc (otherwise it stays
// for another try). A group still offered but not active in the full list is
// deleted from the newsrc. An active group offered by the server stays.
// Removing references belongs to the group index: the sweep reaches it
// through the removeServerRefs function of its context, by default
// ArticlesRemoveServerRefsOfGroup.
//
// Threading: runs in the server's exploration task, which owns the newsrc
// and the actual list; the full list and the index cache are shared.
#pragma once

#include "lib/diag.h"
#include "lib/log.h"
#include "server/store/actual.h"
#include "server/store/db.h"
#include "server/store/grouplist.h"
#include "server/store/newsrc.h"

struct tIndices;

// Removes every reference to serverId from the index of group (opened
// without creating it, released synced), turning articles that lose their
// last reference into zombies when keepZombie is set. Stores the references
// removed and the articles that lost their last reference. Returns E_OK,
// E_NO_INDEX when the group has no index (nothing removed), or a failure;
// *opened tells whether the index could be opened.
typedef tDiag (*tRemoveServerRefsFn)(tIndices *indices, const char *group, long serverId, int keepZombie,
                                     long *removed, long *emptied, bool *opened);

struct tNewsrcSweep {
    long serverId = 0;
    int zombies = 0;                         // the server's zombies setting
    tIndices *indices = nullptr;             // the index cache
    tActualList *actual = nullptr;           // the server's actual list
    tDb *newsrc = nullptr;                   // the server's newsrc
    tLog *log = nullptr;                     // the exploration's log
    tGroupList *fullList = nullptr;          // the full group list
    tRemoveServerRefsFn removeServerRefs = nullptr;  // null: ArticlesRemoveServerRefsOfGroup
    long deleted = 0;                        // groups deleted from the newsrc
    long errors = 0;                         // vanished groups whose references stay
};

// Judges one group of the newsrc (see above). Messages: "Could not access
// index %s to remove refs to server %ld: %s.\n"; "%s vanished (%ld refs
// lost, %ld unique) - %s.\n" with the group's state in the full list
// ("Invalid", "Unwanted", "was Accepted", "was Active"); "%s vanished (%s),
// but could not yet delete references for it: %s.\n"; "Removing group %s
// from newsrc: %s.\n". Returns E_OK, E_SHUTDOWN when a shutdown is
// requested, or the failure to delete the group from the newsrc.
[[nodiscard]] int NewsrcSweepGroup(tNewsrcGroup *row, void *sweep);
