#include "lib/dirwalk.h"

#include "lib/diag.h"
#include "lib/dynarray.h"
#include "lib/strings.h"
#include "lib/wildmatch.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace {

constexpr int DIR_PATH_MAX = 260;  // the listing path ("<dir>/*.*") must fit in this

bool HasWildcard(const char *p) { return strpbrk(p, "*?[") != nullptr; }

// Opens the listing of dir, three attempts in all, reporting each failure of
// a directory that exists.
DIR *OpenListing(const char *dir, int flags) {
    for (int attempt = 0; attempt < 3; attempt++) {
        DIR *d = opendir(dir);
        if (d) return d;
        struct stat st;
        if (stat(dir, &st) == 0) {
            printf("%s: directory '%s' is not accessible.\n", (flags & DW_UNLISTABLE_OK) ? "Warning" : "Error", dir);
            fflush(stdout);
        }
    }
    return nullptr;
}

// 1 directory, 0 other entry, -1 vanished.
int EntryKind(const struct dirent *e, const char *path) {
    if (e->d_type == DT_DIR) return 1;
    if (e->d_type != DT_UNKNOWN && e->d_type != DT_LNK) return 0;
    struct stat st;
    if (stat(path, &st) != 0) return -1;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

}  // namespace

int DirWalk(const char *directory, const char *const *patterns, int flags, tDirWalkFn callback, void *context) {
    bool haveDir = directory && *directory;
    int matchFlags = flags & (DW_NO_NEGATION | DW_NO_SETS | DW_EMPTY_NO_MATCH);

    // A single plain name: no listing at all.
    if (patterns && patterns[0] && !patterns[1] && !HasWildcard(patterns[0]) && !(flags & DW_RECURSE) &&
        (patterns[0][0] != '!' || (flags & DW_NO_NEGATION))) {
        if (!haveDir) return callback(patterns[0], context);
        char path[PATH_MAX];
        if (FormatBounded(path, sizeof path, "%s/%s", directory, patterns[0]) < 0) return -1;
        return callback(path, context);
    }

    const char *dir = haveDir ? directory : ".";
    if (strlen(dir) + 4 >= DIR_PATH_MAX) {
        errno = ELIB_BUFFER_TOO_SMALL;
        return -1;
    }
    DIR *d = OpenListing(dir, flags);
    if (!d) return (flags & DW_UNLISTABLE_OK) ? 0 : -1;

    size_t dirLen = strlen(dir);
    bool endsWithSlash = dirLen > 0 && (dir[dirLen - 1] == '/' || dir[dirLen - 1] == '\\');
    tDynArray seen;
    DynArrayInit(&seen, 1, 4096, DA_DOUBLE);
    int rc = 0;
    char path[PATH_MAX];
    while (rc >= 0) {
        errno = 0;
        struct dirent *e = readdir(d);
        if (!e) break;
        const char *name = e->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        int added = JoinedSetAdd(&seen, name, '/');
        if (added == 1) continue;  // shown again after a rename: handled already
        if (added < 0) {
            rc = -1;
            break;
        }
        if (FormatBounded(path, sizeof path, "%s/%s", dir, name) < 0) {
            rc = -1;
            break;
        }
        int kind = EntryKind(e, path);
        if (kind < 0) continue;
        bool matches = PatternListMatch(name, patterns, matchFlags) != 0;
        if (kind == 1) {
            if (flags & DW_DIRECTORIES) {
                if (matches) rc = callback(haveDir ? path : name, context);
            } else if (flags & DW_RECURSE) {
                char sub[PATH_MAX];
                int n = haveDir ? FormatBounded(sub, sizeof sub, endsWithSlash ? "%s%s" : "%s/%s", dir, name)
                                : StrCopyBounded(sub, name, sizeof sub);
                if (n < 0) {
                    rc = -1;
                    break;
                }
                rc = DirWalk(sub, patterns, flags, callback, context);
            }
        } else if (!(flags & DW_DIRECTORIES) && matches) {
            rc = callback(haveDir ? path : name, context);
        }
    }
    closedir(d);
    DynArrayFree(&seen);
    return rc < 0 ? rc : 0;
}
