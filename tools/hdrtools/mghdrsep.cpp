// mghdrsep: splits a news collection file into numbered files, one per
// collection, at "========" lines or, with -u, at mailbox "From " lines.
//
// The input is read as lines of at most 1023 bytes (longer lines come in
// pieces; only a piece that starts a line can be a separator). Output names
// are prefix + zero-padded number + suffix; an existing file is never
// overwritten. Every byte that is not a skipped separator goes to exactly
// one output file, so the outputs joined give back the input.
//
// Single-threaded; all output goes to standard output.

#include "lib/strings.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>


namespace {

constexpr size_t kMaxLine = 1023;
constexpr int kNameSize = 260;
constexpr int kDefaultWidth = 4;

enum {
    HS_OK = 0,
    HS_USAGE = 1,
    HS_OPEN_INPUT = 2,
    HS_SIZE = 3,
    HS_NO_SEPARATOR = 4,
    HS_EXISTS = 5,
    HS_OPEN_OUTPUT = 6,
    HS_WRITE = 7,
};

struct tOptions {
    bool skipSeparator = false;  // -k
    bool mailbox = false;        // -u
    long first = 0;              // -o
    const char *prefix = "zzz_";
    const char *suffix = ".hdr";
    int width = kDefaultWidth;
    const char *input = nullptr;
};

// Buffered reader handing out lines (pieces of at most kMaxLine bytes ended
// by a line feed, or shorter at the end of the file).
struct tLineReader {
    int fd = -1;
    char buf[65536];
    size_t start = 0, end = 0;
    bool eof = false;
    bool error = false;
};

// Returns the length of the next line copied into line (0 at the end of the
// file or on a read error, which sets r->error).
size_t ReadLine(tLineReader *r, char *line) {
    size_t len = 0;
    while (len < kMaxLine) {
        if (r->start == r->end) {
            if (r->eof) break;
            ssize_t n = read(r->fd, r->buf, sizeof r->buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                r->eof = true;
                r->error = n < 0;
                break;
            }
            r->start = 0;
            r->end = (size_t)n;
        }
        char c = r->buf[r->start++];
        line[len++] = c;
        if (c == '\n') break;
    }
    return len;
}

// Buffered output file; a failed write is remembered with its size.
struct tOutput {
    int fd = -1;
    std::string name;
    char buf[65536];
    size_t used = 0;
};

// Writes the buffered bytes; false when they could not all be written.
bool Flush(tOutput *o, size_t *failedBytes) {
    size_t done = 0;
    while (done < o->used) {
        ssize_t n = write(o->fd, o->buf + done, o->used - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *failedBytes = o->used - done;
            o->used = 0;
            return false;
        }
        done += (size_t)n;
    }
    o->used = 0;
    return true;
}

bool Append(tOutput *o, const char *data, size_t len, size_t *failedBytes) {
    if (o->used + len > sizeof o->buf && !Flush(o, failedBytes)) return false;
    memcpy(o->buf + o->used, data, len);
    o->used += len;
    return true;
}

// Flushes and closes the current output file; false on a write failure.
bool CloseOutput(tOutput *o, size_t *failedBytes) {
    if (o->fd < 0) return true;
    bool ok = Flush(o, failedBytes);
    if (close(o->fd) != 0 && ok) {
        ok = false;
        *failedBytes = 0;
    }
    o->fd = -1;
    return ok;
}

size_t progressLen = 0;

void EraseProgress() {
    for (; progressLen > 0; progressLen--) fputs("\b \b", stdout);
}

int Percent(long long position, long long size) {
    long long divisor = position < 21474836 ? size : size / 100;
    if (divisor == 0) return 100;
    return (int)(position < 21474836 ? position * 100 / divisor : position / divisor);
}

bool IsSeparator(const tOptions &opt, const char *line, size_t len) {
    if (opt.mailbox) return len >= 5 && memcmp(line, "From ", 5) == 0;
    return (len == 10 && memcmp(line, "========\r\n", 10) == 0) || (len == 9 && memcmp(line, "========\n", 9) == 0);
}

int Split(const tOptions &opt) {
    int in = open(opt.input, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (in >= 0 && fstat(in, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(in);
        in = -1;
    }
    if (in < 0) {
        printf("Error: Cannot open input file '%s'.\n", opt.input);
        return HS_OPEN_INPUT;
    }
    if (fstat(in, &st) != 0) {
        printf("Error: Cannot get the size of '%s'.\n", opt.input);
        close(in);
        return HS_SIZE;
    }
    long long size = st.st_size;
    static tLineReader reader;
    static tOutput out;
    reader.fd = in;
    long long number = opt.first;
    long long total = 0;
    bool atLineStart = true;
    int rc = HS_OK;
    size_t failedBytes = 0;
    char line[kMaxLine + 1];
    for (;;) {
        size_t len = ReadLine(&reader, line);
        if (len == 0) break;
        total += (long long)len;
        bool separator = atLineStart && IsSeparator(opt, line, len);
        atLineStart = line[len - 1] == '\n';
        if (separator) {
            if (!CloseOutput(&out, &failedBytes)) {
                rc = HS_WRITE;
                break;
            }
            char name[kNameSize] = "";
            bool named = number <= INT_MAX && number >= INT_MIN &&
                         FormatBounded(name, sizeof name, "%s%0*d%s", opt.prefix, opt.width, (int)number,
                                       opt.suffix) >= 0;
            number++;
            if (!named) {
                printf("Error: Cannot open output file '%s'.\n", name);
                rc = HS_OPEN_OUTPUT;
                break;
            }
            out.fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (out.fd < 0) {
                int err = errno;
                EraseProgress();
                if (err == EEXIST) {
                    printf("Error: Output file '%s' already exists.\n", name);
                    rc = HS_EXISTS;
                } else {
                    printf("Error: Cannot open output file '%s'.\n", name);
                    rc = HS_OPEN_OUTPUT;
                }
                break;
            }
            out.name = name;
            EraseProgress();
            char progress[kNameSize + 16];
            int n = FormatBounded(progress, sizeof progress, "[%s] %3d%%", name, Percent(total, size));
            if (n > 0) {
                fputs(progress, stdout);
                fflush(stdout);
                progressLen = (size_t)n;
            }
            if (!opt.mailbox && opt.skipSeparator) continue;
        } else if (out.fd < 0) {
            EraseProgress();
            printf("Error: News collection '%s' does not start with a separator (%s).\n", opt.input,
                   opt.mailbox ? "From " : "========");
            rc = HS_NO_SEPARATOR;
            break;
        }
        if (!Append(&out, line, len, &failedBytes)) {
            rc = HS_WRITE;
            break;
        }
    }
    if (rc == HS_OK && reader.error) {
        EraseProgress();
        printf("Error: Cannot read input file '%s'.\n", opt.input);
        rc = HS_OPEN_INPUT;
    }
    std::string lastName = out.name;
    if (!CloseOutput(&out, &failedBytes) && rc == HS_OK) rc = HS_WRITE;
    EraseProgress();
    if (rc == HS_WRITE) printf("Error: could not append %d bytes to file '%s'.\n", (int)failedBytes, lastName.c_str());
    close(in);
    if (rc == HS_OK && total != size)
        printf("Warning: Size mismatch, read %lld, file has %lld bytes.\n", total, size);
    return rc;
}

void Usage(const char *argv0) {
    const char *prog = argv0;
    for (const char *p = argv0; *p; p++)
        if (*p == '/' || *p == '\\' || *p == ':') prog = p + 1;
    printf("mghdrsep 4.5 (%s)\n", __DATE__);
    printf("Separates news collections into individual files, named\n"
           "<prefix><number><suffix>, where <number> is increasing from 1.\n"
           "Default <prefix> is 'zzz_', default <suffix> is '.hdr'\n"
           "Usage: %s [options] hdrFile\n"
           "Options:\n"
           "-k\tSkip the separator if it was '========'\n"
           "-o <nb>\tUse <nb> as first number.\n"
           "-p <p>\tChange the default prefix 'zzz_' to <p>.\n"
           "-s <s>\tChange the default suffix '.hdr' to <s>.\n",
           prog);
    printf("-u\tConsider separators are 'From ' lines and not '========' lines.\n"
           "-w <w>\tChange the width of generated numbers; default is %d digits.\n",
           kDefaultWidth);
}

bool ParseNumber(const char *text, long min, long max, long *value) {
    char *end;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno || end == text || *end || v < min || v > max) return false;
    *value = v;
    return true;
}

// Parses the command line; false on a syntax error.
bool ParseOptions(int argc, char **argv, tOptions *opt) {
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const char *a = argv[i];
        if (strlen(a) != 2) return false;
        long v;
        switch (a[1]) {
        case 'k': opt->skipSeparator = true; break;
        case 'u': opt->mailbox = true; break;
        case 'o':
            if (++i >= argc || !ParseNumber(argv[i], INT_MIN, INT_MAX, &v)) return false;
            opt->first = v;
            break;
        case 'p':
            if (++i >= argc) return false;
            opt->prefix = argv[i];
            break;
        case 's':
            if (++i >= argc) return false;
            opt->suffix = argv[i];
            break;
        case 'w':
            if (++i >= argc || !ParseNumber(argv[i], 0, 200, &v)) return false;
            opt->width = (int)v;
            break;
        default: return false;
        }
    }
    if (i >= argc) return false;
    opt->input = argv[i];
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    tOptions opt;
    if (!ParseOptions(argc, argv, &opt)) {
        Usage(argc > 0 ? argv[0] : "mghdrsep");
        return HS_USAGE;
    }
    int rc = Split(opt);
    fflush(stdout);
    return rc;
}
