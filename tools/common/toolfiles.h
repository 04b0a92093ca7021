// Small helpers shared by the companion tools: directory walking with
// wildcard pattern lists and bounded formatting.
//
// Design: header-only, so that every tool target can use it without build
// changes. The functions keep the foundation library's contracts (names live
// in namespace toolfiles) so that a tool switches to the library versions by
// changing its include and dropping the namespace prefix.
//
// Threading: no shared state; each call stands alone.
#pragma once

#include "lib/diag.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace toolfiles {

// printf-style formatting into dst of len bytes. Returns the length when the
// result has at most len - 1 characters; otherwise -1 with errno set to
// ELIB_BUFFER_TOO_SMALL (dst then holds a truncated, terminated text when len
// is positive).
[[gnu::format(printf, 3, 4)]] inline int FormatBounded(char *dst, int len, const char *format, ...) {
    if (len <= 0) {
        errno = ELIB_BUFFER_TOO_SMALL;
        return -1;
    }
    va_list args;
    va_start(args, format);
    int n = vsnprintf(dst, (size_t)len, format, args);
    va_end(args);
    if (n < 0 || n >= len) {
        errno = ELIB_BUFFER_TOO_SMALL;
        return -1;
    }
    return n;
}

// Whole-name wildcard match without regard to ASCII case: "?" one character
// other than ".", "*" any sequence, "[set]" / "[^set]" with ranges unless
// flags bit 4 is set. Trailing "*" and "." of the pattern match an exhausted
// name.
inline bool WildMatch(const char *name, const char *pattern, int flags) {
    for (;;) {
        char p = *pattern;
        if (*name == '\0') {
            while (*pattern == '*') pattern++;
            while (*pattern == '.') pattern++;
            return *pattern == '\0';
        }
        if (p == '\0') return false;
        if (p == '*') {
            if (pattern[1] == '\0') return true;
            for (const char *n = name; *n; n++)
                if (WildMatch(n, pattern + 1, flags)) return true;
            // An exhausted name may still match what follows.
            return WildMatch(name + strlen(name), pattern + 1, flags);
        }
        if (p == '?') {
            if (*name == '.') return false;
        } else if (p == '[' && !(flags & 4)) {
            const char *q = pattern + 1;
            bool negate = false;
            if (*q == '^' && q[1] != ']') {
                negate = true;
                q++;
            }
            const char *end = strchr(q, ']');
            if (!end) return false;
            int c = toupper((unsigned char)*name);
            bool in = false;
            for (const char *s = q; s < end; s++) {
                if (s + 2 < end && s[1] == '-') {
                    if (c >= toupper((unsigned char)s[0]) && c <= toupper((unsigned char)s[2])) in = true;
                    s += 2;
                } else if (c == toupper((unsigned char)*s)) {
                    in = true;
                }
            }
            if (in == negate) return false;
            pattern = end;
        } else if (toupper((unsigned char)p) != toupper((unsigned char)*name)) {
            return false;
        }
        pattern++;
        name++;
    }
}

// First match decides; "!" makes a negative pattern unless flags bit 2;
// a null or empty list gives 1 (0 with flags bit 32).
inline int PatternListMatch(const char *name, const char *const *patterns, int flags) {
    if (!patterns || !patterns[0]) return (flags & 0x20) ? 0 : 1;
    for (; *patterns; patterns++) {
        const char *p = *patterns;
        bool negative = false;
        if (p[0] == '!' && !(flags & 2)) {
            negative = true;
            p++;
        }
        if (WildMatch(name, p, flags)) return negative ? 0 : 1;
    }
    return 0;
}

typedef int (*tDirWalkCallback)(const char *path, void *context);

// Calls callback(path, context) for each file of directory (null or empty:
// the current one, paths are then bare names) whose name passes
// PatternListMatch; flags 1 recurses into subdirectories, 8 makes an
// unlistable directory no error. A single pattern without "*", "?" or "["
// (no recursion) is passed to the callback as it is. Returns the first
// negative callback result, -1 when the directory cannot be listed, else 0.
// Entries are handled in name order.
inline int DirWalk(const char *directory, const char *const *patterns, int flags, tDirWalkCallback callback,
                   void *context) {
    if (patterns && patterns[0] && !patterns[1] && !(flags & 1) && !strpbrk(patterns[0], "*?["))
        return callback(patterns[0], context);
    bool bare = !directory || !*directory;
    std::string dir = bare ? "." : directory;
    DIR *d = nullptr;
    for (int attempt = 0; attempt < 3 && !d; attempt++) d = opendir(dir.c_str());
    if (!d) {
        struct stat st;
        if (stat(dir.c_str(), &st) == 0)
            printf("%s: directory '%s' is not accessible.\n", (flags & 8) ? "Warning" : "Error", dir.c_str());
        return (flags & 8) ? 0 : -1;
    }
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        std::string path = bare ? name : (dir + "/" + name);
        struct stat st;
        if (stat(path.c_str(), &st) != 0) continue;
        int rc = 0;
        if (S_ISDIR(st.st_mode)) {
            if (flags & 1) {
                std::string sub = bare ? name
                                       : ((dir.back() == '/' || dir.back() == '\\') ? dir + name : dir + "/" + name);
                rc = DirWalk(sub.c_str(), patterns, flags, callback, context);
            }
        } else if (PatternListMatch(name.c_str(), patterns, flags)) {
            rc = callback(path.c_str(), context);
        }
        if (rc < 0) return rc;
    }
    return 0;
}

}  // namespace toolfiles
