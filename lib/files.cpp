#include "lib/files.h"

#include "lib/log.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

bool FileExists(const char *path) {
    struct stat st;
    if (stat(path, &st) == 0) return true;
    return errno != ENOENT;
}

int RemoveIfEmpty(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0) return -1;
    if (st.st_size != 0) return 1;
    return unlink(path) == 0 ? 0 : -1;
}

tDiag CreateDirectoryChecked(const char *name, tLog *log) {
    struct stat st;
    bool ok = mkdir(name, 0777) == 0 || errno == EEXIST;
    if (ok) ok = stat(name, &st) == 0 && S_ISDIR(st.st_mode);
    if (ok) return E_OK;
    if (log) LogMessage(log, "Could not create the '%s' directory.\n", name);
    return E_CANNOT_CREATE_DIR;
}

int FileFlushToDisk(FILE *file) {
    if (fflush(file) != 0) return -1;
    return fsync(fileno(file));
}

bool OldLayoutPresent() {
    static const char *const names[] = {"etc/scheduld", "etc/done",  "etc/hidden", "etc/retrievd", "etc/groups",
                                        "etc/popular.ini", "dataset2", "index",      "update",       "newsrc2"};
    for (const char *n : names)
        if (access(n, F_OK) == 0) return true;
    return false;
}
