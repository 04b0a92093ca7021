#include "server/store/newsrcsweep.h"

#include "server/store/articles.h"

#include <string>

// The group's state in the full list, for the vanished message.
static const char *FullListState(tGroupList *fullList, const char *group) {
    int active = GroupIsActive(fullList, group);
    switch (active) {
    case 1: return "was Active";
    case 0:
    case E_TREE_NOT_FOUND: return "was Accepted";
    case E_BAD_GROUP_NAME: return "Invalid";
    case E_GROUP_UNWANTED: return "Unwanted";
    default: return DiagText(active);
    }
}

int NewsrcSweepGroup(tNewsrcGroup *row, void *context) {
    auto *sweep = static_cast<tNewsrcSweep *>(context);
    const char *group = row->groupName;
    if (sweep->fullList->shutdownFlag && sweep->fullList->shutdownFlag->load() != 0) return E_SHUTDOWN;
    std::string stored;
    if (GroupStoredName(&sweep->actual->list, group, false, &stored) < 0) {
        long removed = 0, emptied = 0;
        bool opened = true;
        tRemoveServerRefsFn remove = sweep->removeServerRefs ? sweep->removeServerRefs : ArticlesRemoveServerRefsOfGroup;
        tDiag diag = remove(sweep->indices, group, sweep->serverId, sweep->zombies, &removed, &emptied, &opened);
        if (diag == E_NO_INDEX) diag = E_OK;
        if (diag < 0 && !opened)
            LogMessage(sweep->log, "Could not access index %s to remove refs to server %ld: %s.\n", group,
                       sweep->serverId, DiagText(diag));
        const char *state = FullListState(sweep->fullList, group);
        if (diag < 0) {
            LogMessage(sweep->log, "%s vanished (%s), but could not yet delete references for it: %s.\n", group,
                       state, DiagText(diag));
            sweep->errors++;
            return E_OK;
        }
        LogMessage(sweep->log, "%s vanished (%ld refs lost, %ld unique) - %s.\n", group, removed, emptied, state);
    } else {
        int active = GroupIsActive(sweep->fullList, group);
        if (active == 1) return E_OK;
        LogMessage(sweep->log, "Removing group %s from newsrc: %s.\n", group,
                   active == 0 ? "Not active" : DiagText(active));
    }
    tDiag diag = NewsrcDeleteGroup(sweep->newsrc, group);
    if (diag < 0) return diag;
    sweep->deleted++;
    return E_OK;
}
