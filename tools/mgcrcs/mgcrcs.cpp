// mgcrcs: checks files against CRC list files (".sfv", ".crc", ".csv" and
// similar layouts), or computes size and CRC-32 of files.
//
// Check mode reads each list file line by line, finds a file name and a
// hexadecimal CRC on each line, and reports every file as good, bad, missing,
// skipped or failed; results are shown as transient status texts that the
// next output erases, unless their letter was given with -e. Compute mode
// lists size and CRC of the files matching masks, optionally looking each CRC
// up in a text file.
//
// Single-threaded; all output goes to standard output.

#include "lib/dirwalk.h"
#include "lib/strings.h"
#include "tools/mgcrcs/filecrc.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>


namespace {

// ---------------------------------------------------------------------------
// Options and counters

constexpr int kMaxPath = 256;    // paths of this length or more are skipped
constexpr int kLineSize = 1024;  // list lines are read in pieces of 1023 bytes

enum { C_UNRECOGNIZED, C_MISSING, C_SKIPPED, C_FAILED, C_BAD, C_GOOD, C_COUNT };

struct tCounters {
    long n[C_COUNT] = {};
};

struct tOptions {
    bool compute = false;
    bool recurse = false;
    bool matchOnly = false;         // -m
    std::string showLetters;        // -e, upper-cased
    long long partSize = 0;         // -p, 0 when absent
    const char *lookupName = nullptr;  // -f
    FILE *lookup = nullptr;
};

tOptions opt;
tCounters listCounts;
tCounters globalCounts;
int listsProcessed = 0;
size_t statusLen = 0;  // length of the transient status text on the console

// ---------------------------------------------------------------------------
// Console output

// Erases the transient status text, if any.
void EraseStatus() {
    for (; statusLen > 0; statusLen--) fputs("\b \b", stdout);
}

[[gnu::format(printf, 1, 2)]] void Out(const char *format, ...) {
    EraseStatus();
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

// Shows a result: stays on its own line when its letter was given with -e,
// else is erased by the next output.
[[gnu::format(printf, 2, 3)]] void Status(char letter, const char *format, ...) {
    EraseStatus();
    va_list args;
    va_start(args, format);
    std::string text;
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n >= (int)sizeof small) {
        text.resize((size_t)n + 1);
        vsnprintf(text.data(), text.size(), format, args);
        text.resize((size_t)n);
    } else if (n > 0) {
        text = small;
    }
    va_end(args);
    fputs(text.c_str(), stdout);
    if (opt.showLetters.find(letter) != std::string::npos) {
        fputc('\n', stdout);
    } else {
        statusLen = text.size();
    }
    fflush(stdout);
}

long ErrorsSoFar() {
    const long *n = listCounts.n;
    return n[C_UNRECOGNIZED] + n[C_MISSING] + n[C_SKIPPED] + n[C_FAILED] + n[C_BAD];
}

// A result other than "ok": counts it and shows it with the running error count.
void Failure(int counter, char letter, const std::string &text) {
    listCounts.n[counter]++;
    Status(letter, "%s (%ld errors total)", text.c_str(), ErrorsSoFar());
}

std::string Printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string s;
    if (n > 0) {
        s.resize((size_t)n + 1);
        vsnprintf(s.data(), s.size(), format, args);
        s.resize((size_t)n);
    }
    va_end(args);
    return s;
}

void PrintTotals(const char *name, const tCounters &c) {
    Out("%s:", name);
    static const char *const kTexts[] = {" %ld unrecognized lines", " %ld missing files", " %ld skipped",
                                         " %ld failed", " %ld bad files", " %ld good files"};
    bool errors = false;
    for (int i = C_UNRECOGNIZED; i <= C_BAD; i++) errors |= c.n[i] != 0;
    if (errors) {
        for (int i = 0; i < C_COUNT; i++)
            if (c.n[i]) printf(kTexts[i], c.n[i]);
        printf(".\n");
    } else if (c.n[C_GOOD]) {
        printf(" all %ld files were good.\n", c.n[C_GOOD]);
    } else {
        printf(" empty file.\n");
    }
}

// ---------------------------------------------------------------------------
// Opening listed files

// Opens path for reading. A name that is not found as written is looked up
// without regard to case in its directory (lists are often written on systems
// that ignore case), taking the match only when it is unique.
int OpenListed(const std::string &path, std::string *opened) {
    *opened = path;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) return fd;
    size_t slash = path.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    DIR *d = opendir(dir.c_str());
    if (!d) {
        errno = ENOENT;
        return -1;
    }
    std::string found;
    int matches = 0;
    while (struct dirent *e = readdir(d)) {
        if (strcasecmp(e->d_name, base.c_str()) == 0) {
            found = e->d_name;
            matches++;
        }
    }
    closedir(d);
    if (matches != 1) {
        errno = ENOENT;
        return -1;
    }
    *opened = (slash == std::string::npos ? "" : dir) + found;
    return open(opened->c_str(), O_RDONLY | O_CLOEXEC);
}

// ---------------------------------------------------------------------------
// Check mode

bool IsHexWord(const char *s, size_t len) {
    if (len == 0) return false;
    for (size_t i = 0; i < len; i++)
        if (!isxdigit((unsigned char)s[i])) return false;
    return true;
}

// Splits a "name.XXX" part name: on success stores the joined name and the
// part number (1..999).
bool SplitPartName(const std::string &name, std::string *joined, int *part) {
    size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || name.size() - dot != 4) return false;
    for (size_t i = dot + 1; i < name.size(); i++)
        if (!isdigit((unsigned char)name[i])) return false;
    int n = atoi(name.c_str() + dot + 1);
    if (n < 1) return false;
    *joined = name.substr(0, dot);
    *part = n;
    return true;
}

// One attempt to locate a listed name. Returns 1 when the file was opened
// (fd, shown name, part range filled), 0 when it was not found, -1 when the
// entry was skipped and reported.
struct tTarget {
    int fd = -1;
    std::string shown;
    off_t offset = 0;
    off_t length = -1;
};

int Locate(const std::string &listDir, const std::string &listedName, bool report, tTarget *t) {
    std::string name = listedName;
    int part = 0;
    if (opt.partSize > 0) {
        std::string joined;
        if (SplitPartName(name, &joined, &part)) name = joined;
    }
    char path[kMaxPath];
    if (FormatBounded(path, sizeof path, "%s%s", listDir.c_str(), name.c_str()) < 0) {
        if (!report) return 0;
        Out("Warning: skipping file because of too long path '%s%s'\n", listDir.c_str(), name.c_str());
        listCounts.n[C_SKIPPED]++;
        return -1;
    }
    std::string shown = path;
    if (part > 0) {
        char partPath[kMaxPath];
        if (FormatBounded(partPath, sizeof partPath, "%s.%03d", path, part) < 0) {
            if (!report) return 0;
            Failure(C_SKIPPED, 'S', Printf("%s.%03d: skipped because of too long path", path, part));
            return -1;
        }
        shown = partPath;
    }
    std::string opened;
    int fd = OpenListed(path, &opened);
    if (fd < 0) return 0;
    if (opened != path) shown = part > 0 ? Printf("%s.%03d", opened.c_str(), part) : opened;
    t->fd = fd;
    t->shown = shown;
    if (part > 0) {
        t->offset = (off_t)(part - 1) * (off_t)opt.partSize;
        t->length = (off_t)opt.partSize;
    }
    return 1;
}

// Checks one listed file. fallbackName (may be empty) is tried when name is
// not found.
void CheckEntry(const std::string &listDir, const std::string &name, const std::string &crcText,
                const std::string &fallbackName) {
    unsigned long long listed = strtoull(crcText.c_str(), nullptr, 16);
    tTarget t;
    int rc = Locate(listDir, name, true, &t);
    if (rc < 0) return;
    if (rc == 0 && !fallbackName.empty()) rc = Locate(listDir, fallbackName, false, &t);
    if (rc == 0) {
        std::string joined = name;
        int part = 0;
        std::string shown = listDir + name;
        if (opt.partSize > 0 && SplitPartName(name, &joined, &part))
            shown = Printf("%s%s.%03d", listDir.c_str(), joined.c_str(), part);
        Failure(C_MISSING, 'M', shown + ": not found");
        return;
    }
    uint32_t crc;
    off_t size;
    int frc = FileCrc(t.fd, t.offset, t.length, &crc, &size);
    close(t.fd);
    if (frc < 0) {
        Failure(C_FAILED, 'F', t.shown + ": failed computation");
    } else if ((unsigned long long)crc == listed) {
        listCounts.n[C_GOOD]++;
        Status('G', "%s: ok", t.shown.c_str());
    } else {
        Failure(C_BAD, 'B', Printf("%s: bad CRC (%lx != %llx)", t.shown.c_str(), (unsigned long)crc, listed));
    }
}

const char *const kSkippedPrefixes[] = {
    "CRC Values for", "Generated by:", "Generated at:", "Find  it  at:", "Find it at:", "Filename ", "------",
    "Count of files: ", "Total of sizes: ", "; Generated by WIN-SFV32", "; Generated by QuickSFV", ";Q1-", ";  ",
    "* Created=", "* Recurse=", "; Generated by pdSFV/WIN", "; Generated by cfv", "; "};

bool IsCommentLine(const char *line) {
    if (line[0] == '\r' || line[0] == '\n') return true;
    if (strcmp(line, ";\n") == 0) return true;
    for (const char *prefix : kSkippedPrefixes)
        if (strncmp(line, prefix, strlen(prefix)) == 0) return true;
    return false;
}

// Handles one line (a piece of at most 1023 bytes) of a list file.
void CheckLine(const std::string &listDir, char *line) {
    size_t len = strlen(line);
    // Lines are read as text: a CR LF ending reads as LF.
    if (len >= 2 && line[len - 2] == '\r' && line[len - 1] == '\n') {
        line[len - 2] = '\n';
        line[--len] = '\0';
    }
    if (IsCommentLine(line)) return;
    std::string asRead(line, len);
    std::string shownLine = asRead;
    while (!shownLine.empty() && (shownLine.back() == '\n' || shownLine.back() == '\r')) shownLine.pop_back();

    bool hasBlank = strchr(line, ' ') != nullptr;
    if (!hasBlank)
        for (char *p = line; *p; p++)
            if (*p == ',') *p = ' ';

    std::string name, crcText, fallback;
    bool haveName = false, haveCrc = false;
    const char *dashes = strstr(asRead.c_str(), " -- ");
    if (dashes) {
        size_t at = (size_t)(dashes - asRead.c_str());
        name.assign(line, at);
        haveName = !name.empty();
        const char *w = line + at + 4;
        while (*w == ' ' || *w == '\t') w++;
        size_t wl = strcspn(w, " \t\r\n");
        if (wl > 0) {
            if (!IsHexWord(w, wl)) {
                listCounts.n[C_UNRECOGNIZED]++;
                return;
            }
            crcText.assign(w, wl);
            haveCrc = true;
        }
    } else if (strpbrk(line, " \t")) {
        const char *p = line;
        if (*p == '"') {
            const char *close = strchr(p + 1, '"');
            if (close) {
                name.assign(p + 1, (size_t)(close - p - 1));
                haveName = !name.empty();
                p = close + 1;
            }
        }
        const char *seps = " \t\r\n\"";
        while (*p) {
            p += strspn(p, seps);
            size_t wl = strcspn(p, seps);
            if (wl == 0) break;
            if (!haveName && memchr(p, '.', wl)) {
                name.assign(p, wl);
                haveName = true;
                if (p != line) {
                    // Names with blanks: the whole line start up to this word.
                    const char *start = line;
                    fallback.assign(start, (size_t)(p + wl - start));
                    for (char &c : fallback)
                        if (c == '\t' || c == '"' || c == '\r' || c == '\n') c = ' ';
                }
            } else if (IsHexWord(p, wl)) {
                crcText.assign(p, wl);
                haveCrc = true;
            }
            p += wl;
        }
    }
    if (!haveName || !haveCrc) {
        Failure(C_UNRECOGNIZED, 'U', "Unrecognized: " + shownLine);
        return;
    }
    CheckEntry(listDir, name, crcText, fallback);
}

int CheckListFile(const char *path, void *) {
    FILE *f = fopen(path, "r");
    struct stat st;
    if (f && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
        fclose(f);
        f = nullptr;
        errno = EISDIR;
    }
    if (!f) {
        const char *text = strerror(errno);
        Out("Cannot open listFile '%s': %.*s\n", path, (int)strcspn(text, "\n"), text);
        return -1;
    }
    Out("Processing list file '%s'\n", path);
    std::string pathText = path;
    size_t slash = pathText.find_last_of("/\\");
    std::string listDir = slash == std::string::npos ? "" : pathText.substr(0, slash + 1);
    listCounts = tCounters();
    char line[kLineSize];
    while (fgets(line, sizeof line, f)) CheckLine(listDir, line);
    if (ferror(f)) Out("Error reading listFile '%s': %s\n", path, strerror(errno));
    fclose(f);
    PrintTotals(path, listCounts);
    for (int i = 0; i < C_COUNT; i++) globalCounts.n[i] += listCounts.n[i];
    listsProcessed++;
    return 0;
}

// ---------------------------------------------------------------------------
// Compute mode

int ComputeFile(const char *path, void *) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        Out("%s: could not open\n", path);
        return -1;
    }
    uint32_t crc;
    off_t size;
    int rc = FileCrc(fd, 0, -1, &crc, &size);
    close(fd);
    if (rc < 0) {
        Out("%s: failed computation\n", path);
        return -1;
    }
    bool shown = false;
    if (opt.lookup && size != 0) {
        char key[16];
        snprintf(key, sizeof key, "%08lX", (unsigned long)crc);
        rewind(opt.lookup);
        char *line = nullptr;
        size_t cap = 0;
        ssize_t n;
        std::string upper;
        while ((n = getline(&line, &cap, opt.lookup)) > 0) {
            upper.assign(line, strnlen(line, (size_t)n));
            for (char &c : upper) c = (char)toupper((unsigned char)c);
            if (upper.find(key) == std::string::npos) continue;
            if (!shown) Out("%10ld  %08lX  %s\n", (long)size, (unsigned long)crc, path);
            shown = true;
            std::string text(line, strnlen(line, (size_t)n));
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            Out(" ==> %s\n", text.c_str());
        }
        free(line);
    }
    if (!shown && !opt.matchOnly) Out("%10ld  %08lX  %s\n", (long)size, (unsigned long)crc, path);
    return 0;
}

// ---------------------------------------------------------------------------
// Command line

void Usage(const char *argv0) {
    const char *prog = argv0;
    for (const char *p = argv0; *p; p++)
        if (*p == '/' || *p == '\\' || *p == ':') prog = p + 1;
    printf("mgcrcs 4.5 (%s)\n", __DATE__);
    printf("CRC checker companion for Mergator. Either checks that files have the correct\n"
           "CRC as stored in a .CRC or similar file, or computes CRCs for file.\n"
           "Usage: %s [options] crcFile [crcFiles...]\n"
           "       %s -c [-r] [fileMask ...]\n"
           "Common options:\n"
           " -r\t\tProcess files in subdirectories recursively.\n"
           " -c\t\tCompute and display CRC and Size information for files.\n",
           prog, prog);
    printf("Options for crcFiles:\n"
           " -e <letters>\tDisplay specified errors on separate line: U=Unrecognized,\n"
           "\t\tM=Missing, S=Skipped, F=Failed, B=Bad, G=Good.\n"
           " -p <size>\tConsider that 'name.XXX' filenames, where X=digit,\n"
           "\t\tare part XXX of file 'name' split into <size> chunks.\n"
           "Options for fileMasks:\n"
           " -f fileName\tDisplay lines from fileName containing matching CRCs.\n"
           " -m\t\tOnly display file information if match against fileName.\n");
    printf("CRC files must have 1 line per file, with ZIP CRC in hex format.\n"
           "Example command: %s -r *.crc *.csv *.sfv\n"
           "On Unix, you need to escape wildcards in crcFile patterns.\n",
           prog);
}

// Parses the options; returns the index of the first non-option argument, or
// -1 on a syntax error.
int ParseOptions(int argc, char **argv) {
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const char *a = argv[i];
        if (strlen(a) != 2) return -1;
        switch (a[1]) {
        case 'c': opt.compute = true; break;
        case 'r': opt.recurse = true; break;
        case 'm': opt.matchOnly = true; break;
        case 'e':
            if (++i >= argc) return -1;
            for (const char *p = argv[i]; *p; p++) {
                char c = (char)toupper((unsigned char)*p);
                if (!strchr("BFGMSU", c)) return -1;
                opt.showLetters += c;
            }
            break;
        case 'p': {
            if (++i >= argc) return -1;
            char *end;
            errno = 0;
            long long v = strtoll(argv[i], &end, 10);
            if (errno || end == argv[i] || *end || v <= 0 || v > LLONG_MAX / 1000) return -1;
            opt.partSize = v;
            break;
        }
        case 'f':
            if (++i >= argc) return -1;
            opt.lookupName = argv[i];
            break;
        default: return -1;
        }
    }
    return i;
}

}  // namespace

int main(int argc, char **argv) {
    const char *argv0 = argc > 0 ? argv[0] : "mgcrcs";
    int first = ParseOptions(argc, argv);
    if (first < 0 || (!opt.compute && first >= argc)) {
        Usage(argv0);
        return 1;
    }
    if (opt.lookupName) {
        opt.lookup = fopen(opt.lookupName, "r");
        struct stat st;
        if (opt.lookup && fstat(fileno(opt.lookup), &st) == 0 && S_ISDIR(st.st_mode)) {
            fclose(opt.lookup);
            opt.lookup = nullptr;
            errno = EISDIR;
        }
        if (!opt.lookup) {
            printf("Could not open '%s': %s\n", opt.lookupName, strerror(errno));
            return 1;
        }
    }
    int flags = opt.recurse ? 1 : 0;
    tDirWalkFn callback = opt.compute ? ComputeFile : CheckListFile;
    // Names the shell expanded (plain names, perhaps with directories) are
    // taken one by one, as a walk takes a single plain name; anything else
    // is one walk with all arguments as its pattern list.
    bool plainNames = !opt.recurse && first < argc;
    for (int i = first; i < argc; i++)
        if (strpbrk(argv[i], "*?[") || argv[i][0] == '!') plainNames = false;
    if (plainNames) {
        for (int i = first; i < argc; i++) {
            const char *single[] = {argv[i], nullptr};
            if (DirWalk(nullptr, single, flags, callback, nullptr) < 0) break;
        }
    } else {
        std::vector<const char *> patterns(argv + first, argv + argc);
        patterns.push_back(nullptr);
        (void)DirWalk(nullptr, first < argc ? patterns.data() : nullptr, flags, callback, nullptr);
    }
    if (!opt.compute && listsProcessed > 1) PrintTotals("Global", globalCounts);
    EraseStatus();
    if (opt.lookup) fclose(opt.lookup);
    fflush(stdout);
    return 0;
}
