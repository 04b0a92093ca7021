#include "server/store/sqltext.h"

#include <sqlite3.h>

#include <cstring>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

tSqlText::tSqlText(const char *format, ...) {
    va_list args;
    va_start(args, format);
    text = sqlite3_vmprintf(format, args);
    va_end(args);
}

tSqlText::~tSqlText() { sqlite3_free(text); }

static bool IsJournal(const char *name) {
    size_t len = strlen(name);
    return len >= 8 && strcmp(name + len - 8, "-journal") == 0;
}

bool FindFileNoCase(const char *directory, const char *name, std::string *path) {
    *path = std::string(directory) + "/" + name;
    struct stat info;
    if (stat(path->c_str(), &info) == 0) return true;
    DIR *dir = opendir(directory);
    if (!dir) return false;
    bool found = false;
    while (struct dirent *entry = readdir(dir)) {
        if (strcasecmp(entry->d_name, name) == 0 && !IsJournal(entry->d_name)) {
            *path = std::string(directory) + "/" + entry->d_name;
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}
