// mghdrcat: merges every ".hdr" news collection of the current directory
// into one file named after the directory, "<directoryName>.hdr", with a
// "========" line before each collection, and deletes the merged parts.
// Parts are merged in name order (without regard to case).
//
// The merge goes into a temporary file "tmpN.$$$" first; parts are deleted
// only after every one of them was appended completely and the merged file
// reached the disk, and only the parts that were merged. Any failure removes
// the temporary file and leaves every part in place.
//
// Single-threaded; all output goes to standard output.

#include "lib/dirwalk.h"
#include "lib/strings.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>


namespace {

constexpr int HC_OK = 0;
constexpr int HC_APPEND = -17;
constexpr int HC_SEPARATOR = -18;
constexpr int HC_OPEN_PART = -19;
constexpr int HC_NO_FINAL_NEWLINE = -20;
constexpr int HC_SEEK_END = -21;
constexpr int HC_CTRLZ = -22;
constexpr int HC_TOO_SMALL_INITIAL = -23;
constexpr int HC_SEEK_BACK = -24;
constexpr int HC_OPEN_MERGED = -25;
constexpr int HC_RENAME = -26;
constexpr int HC_TOO_SMALL_FINAL = -27;
constexpr int HC_NO_PARTS = -28;
constexpr int HC_NO_TEMP = -29;
constexpr int HC_SYNTAX = -30;

constexpr int kNameSize = 260;
constexpr size_t kCopyBlock = 31744;
constexpr long kMinMergedSize = 400;
const char kSeparator[] = "========\r\n";

const char *ErrorText(int code) {
    switch (code) {
    case HC_OK: return "Ok";
    case HC_APPEND: return "Could not append new data to merged file";
    case HC_SEPARATOR: return "Could not add file separator to merged file";
    case HC_OPEN_PART: return "Could not open a .hdr file";
    case HC_NO_FINAL_NEWLINE: return "Merged file lacks final newline";
    case HC_SEEK_END: return "Could not seek at end of merged file";
    case HC_CTRLZ: return "There is no CR/NL before Ctrl-Z in merged file";
    case HC_TOO_SMALL_INITIAL: return "Initial merged file is too small";
    case HC_SEEK_BACK: return "Could not seek backwards in merged file";
    case HC_OPEN_MERGED: return "Could not open the merged file";
    case HC_RENAME: return "Could not rename merged file";
    case HC_TOO_SMALL_FINAL: return "Final merged file seems too small";
    case HC_NO_PARTS: return "There are no .hdr files in current directory";
    case HC_NO_TEMP: return "Could not create a temporary file";
    case HC_SYNTAX: return "Command line syntax error";
    default: return "Unknown error";
    }
}

struct tMerge {
    char tempName[32] = "";
    int files = 0;                     // parts seen by the walk
    std::vector<std::string> merged;   // parts appended completely
};

// Creates the empty temporary merged file; HC_OK or HC_NO_TEMP.
int CreateTemp(tMerge *m) {
    for (int attempt = 0; attempt < 20; attempt++) {
        srand((unsigned)time(nullptr) + (unsigned)attempt);
        bool unused = false;
        for (int draw = 0; draw < 1000 && !unused; draw++) {
            if (FormatBounded(m->tempName, sizeof m->tempName, "%s%d%s", "tmp", rand() % 1000, ".$$$") < 0)
                return HC_NO_TEMP;
            struct stat st;
            unused = lstat(m->tempName, &st) != 0 && errno == ENOENT;
        }
        if (!unused) continue;
        int fd = open(m->tempName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            close(fd);
            return HC_OK;
        }
    }
    m->tempName[0] = '\0';
    return HC_NO_TEMP;
}

bool IsEol(int c) { return c == '\r' || c == '\n'; }

bool WriteAll(int fd, const char *data, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= (size_t)n;
    }
    return true;
}

// Reads up to len bytes; returns the count, or -1 on a read error.
ssize_t ReadFull(int fd, char *buf, size_t len) {
    size_t got = 0;
    while (got < len) {
        ssize_t n = read(fd, buf + got, len - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += (size_t)n;
    }
    return (ssize_t)got;
}

// Positions the merged file for appending: after its last line end, or just
// before a final Ctrl-Z that follows a line end.
int PrepareMerged(int out) {
    off_t size = lseek(out, 0, SEEK_END);
    if (size < 0) return HC_SEEK_END;
    if (size == 0) return HC_OK;
    if (lseek(out, -2, SEEK_END) < 0) return HC_SEEK_BACK;
    char tail[2];
    if (ReadFull(out, tail, 2) != 2) return HC_TOO_SMALL_INITIAL;
    if (tail[1] == 26) {
        if (!IsEol((unsigned char)tail[0])) return HC_CTRLZ;
        if (lseek(out, -1, SEEK_END) < 0 || ftruncate(out, size - 1) != 0) return HC_SEEK_END;
    } else if (!IsEol((unsigned char)tail[1])) {
        return HC_NO_FINAL_NEWLINE;
    }
    return HC_OK;
}

// Appends one part to the merged file.
int AppendPart(tMerge *m, const char *part) {
    m->files++;
    int out = open(m->tempName, O_RDWR | O_CLOEXEC);
    if (out < 0) return HC_OPEN_MERGED;
    int rc = PrepareMerged(out);
    int in = -1;
    if (rc == HC_OK) {
        in = open(part, O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (in >= 0 && fstat(in, &st) == 0 && S_ISDIR(st.st_mode)) {
            close(in);
            in = -1;
        }
        if (in < 0) rc = HC_OPEN_PART;
    }
    std::vector<char> buf;
    if (rc == HC_OK) {
        buf.resize(kCopyBlock);
        ssize_t got = ReadFull(in, buf.data(), 9);
        if (got < 0) {
            rc = HC_APPEND;
        } else {
            bool hasSeparator = got == 9 && memcmp(buf.data(), "========", 8) == 0 && IsEol((unsigned char)buf[8]);
            if (!hasSeparator && !WriteAll(out, kSeparator, strlen(kSeparator))) rc = HC_SEPARATOR;
            if (rc == HC_OK && got > 0 && !WriteAll(out, buf.data(), (size_t)got)) rc = HC_APPEND;
        }
    }
    while (rc == HC_OK) {
        ssize_t got = ReadFull(in, buf.data(), buf.size());
        if (got < 0) rc = HC_APPEND;  // a part that cannot be read whole is not merged
        if (got <= 0) break;
        if (!WriteAll(out, buf.data(), (size_t)got)) rc = HC_APPEND;
    }
    if (in >= 0) close(in);
    if (close(out) != 0 && rc == HC_OK) rc = HC_APPEND;
    if (rc == HC_OK) m->merged.push_back(part);
    return rc;
}

int CollectCallback(const char *path, void *context) {
    static_cast<std::vector<std::string> *>(context)->push_back(path);
    return 0;
}

// Directory listings come in no useful order here; parts are merged in name
// order, without regard to case, as numbered collections expect.
bool PartBefore(const std::string &a, const std::string &b) {
    int c = strcasecmp(a.c_str(), b.c_str());
    return c != 0 ? c < 0 : a < b;
}

// The merged file's name: the last component of the current directory,
// with -t cut before its first "(" and the blanks before that.
int MergedName(bool cutAtParenthesis, char *name, int size) {
    std::vector<char> cwd(4096);
    if (!getcwd(cwd.data(), cwd.size())) return -1;
    std::string dir = cwd.data();
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    size_t slash = dir.find_last_of('/');
    std::string last = slash == std::string::npos ? dir : dir.substr(slash + 1);
    if (cutAtParenthesis) {
        size_t paren = last.find('(');
        if (paren != std::string::npos) {
            last.resize(paren);
            while (!last.empty() && (last.back() == ' ' || last.back() == '\t')) last.pop_back();
        }
    }
    return FormatBounded(name, size, "%s.hdr", last.c_str());
}

// Renames without replacing an existing file.
int RenameNoReplace(const char *from, const char *to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    if (link(from, to) != 0) return -1;
    return unlink(from);
}

int Merge(bool cutAtParenthesis) {
    tMerge m;
    if (CreateTemp(&m) != HC_OK) return HC_NO_TEMP;
    static const char *const kPatterns[] = {"*.hdr", nullptr};
    std::vector<std::string> parts;
    int rc = DirWalk(nullptr, kPatterns, 0, CollectCallback, &parts) < 0 ? HC_OPEN_PART : HC_OK;
    std::sort(parts.begin(), parts.end(), PartBefore);
    for (size_t i = 0; i < parts.size() && rc == HC_OK; i++) rc = AppendPart(&m, parts[i].c_str());
    struct stat st;
    if (rc == HC_OK && m.files == 0) rc = HC_NO_PARTS;
    if (rc == HC_OK && (stat(m.tempName, &st) != 0 || st.st_size < kMinMergedSize)) rc = HC_TOO_SMALL_FINAL;
    if (rc == HC_OK) {
        // The merged data must be on disk before any part goes.
        int fd = open(m.tempName, O_RDONLY | O_CLOEXEC);
        if (fd < 0 || fsync(fd) != 0) rc = HC_APPEND;
        if (fd >= 0) close(fd);
    }
    if (rc != HC_OK) {
        unlink(m.tempName);
        return rc;
    }
    int failures = 0;
    for (const std::string &part : m.merged) {
        if (unlink(part.c_str()) != 0) {
            printf("Error: file '%s' could not be deleted: %s\n", part.c_str(), strerror(errno));
            failures++;
        }
    }
    if (failures) printf("Warning: %d .hdr files have not been deleted.\n", failures);
    char name[kNameSize];
    if (MergedName(cutAtParenthesis, name, sizeof name) < 0 || RenameNoReplace(m.tempName, name) != 0)
        return HC_RENAME;
    return HC_OK;
}

void Usage(const char *argv0) {
    const char *prog = argv0;
    for (const char *p = argv0; *p; p++)
        if (*p == '/' || *p == '\\' || *p == ':') prog = p + 1;
    printf("mghdrcat 4.5 (%s)\n", __DATE__);
    printf("Merges .hdr news files in current directory into a single .hdr file,\n"
           "named <directoryName>.hdr\n"
           "Usage: %s [options]\n"
           "Options:\n"
           "-p\tProceed (without options, only this help is printed).\n"
           "-t\tOnly use the part of the current directory name till the first\n"
           "\tparenthesis as merged .hdr file name.\n",
           prog);
}

}  // namespace

int main(int argc, char **argv) {
    const char *argv0 = argc > 0 ? argv[0] : "mghdrcat";
    bool proceed = false, cut = false;
    for (int i = 1; i < argc && argv[i][0] == '-'; i++) {
        if (strcmp(argv[i], "-p") == 0) {
            proceed = true;
        } else if (strcmp(argv[i], "-t") == 0) {
            cut = true;
        } else {
            proceed = false;
            break;
        }
    }
    if (!proceed) {
        Usage(argv0);
        return -HC_SYNTAX;
    }
    int rc = Merge(cut);
    if (rc != HC_OK) printf("Error: %s.\n", ErrorText(rc));
    fflush(stdout);
    return -rc;
}
