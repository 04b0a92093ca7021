#include "lib/log.h"

#include "lib/diag.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

int timeStampLogs = 1;
tLog journal;

namespace {

// The fixed 24-character ctime form of now ("Tue Jun  9 14:03:55 2009"),
// without its line feed. buf holds at least 26 bytes.
void CtimeNow(char *buf) {
    time_t now = time(nullptr);
    if (!ctime_r(&now, buf)) {
        strcpy(buf, "???");
        return;
    }
    buf[strcspn(buf, "\n")] = '\0';
}

// Writes what has gathered. REQUIRES: the log's lock held (when gathering).
void FlushGathered(tLog *log) {
    if (log->gatheredLength == 0) return;
    if (log->file) {
        size_t n = fwrite(log->gathered, 1, (size_t)log->gatheredLength, log->file);
        (void)n;
    }
    log->gatheredLength = 0;
}

void Emit(tLog *log, const char *data, size_t len) {
    if (len == 0) return;
    if (log->file && log->gathering) {
        long now = (long)time(nullptr);
        if (log->gatheredLength + len > (size_t)LOG_GATHER_SIZE) FlushGathered(log);
        if (len <= (size_t)LOG_GATHER_SIZE) {
            if (log->gatheredLength == 0) log->gatheredSince = now;
            memcpy(log->gathered + log->gatheredLength, data, len);
            log->gatheredLength += (int)len;
            if (now - log->gatheredSince >= 1) FlushGathered(log);
        } else {
            size_t n = fwrite(data, 1, len, log->file);
            (void)n;
        }
    } else if (log->file) {
        size_t n = fwrite(data, 1, len, log->file);
        (void)n;
    }
    if (log->echo) {
        size_t n = fwrite(data, 1, len, stderr);
        (void)n;
    }
}

// Writes the collected progress text. REQUIRES: the log's lock held (when
// it has one).
void FlushDots(tLog *log) {
    if (log->dotLength == 0) return;
    Emit(log, log->dotText, (size_t)log->dotLength);
    log->dotLength = 0;
}

// FlushDots under the lock, for the functions that write without it.
void FlushDotsLocking(tLog *log) {
    if (log->dotLength == 0) return;
    if (!log->lock) return FlushDots(log);
    std::lock_guard<std::mutex> g(*log->lock);
    FlushDots(log);
}

void EmitFormatted(tLog *log, const char *format, va_list args) {
    char small[1024];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return;
    if ((size_t)n < sizeof small) {
        Emit(log, small, (size_t)n);
        return;
    }
    std::string big((size_t)n + 1, '\0');
    vsnprintf(big.data(), big.size(), format, args);
    Emit(log, big.data(), (size_t)n);
}

}  // namespace

char *LogTimeStamp(char *buf) {
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    snprintf(buf, 32, "%2d/%02d %2d:%02d:%02d  ", tmv.tm_mday, tmv.tm_mon + 1, tmv.tm_hour, tmv.tm_min,
             tmv.tm_sec);
    return buf;
}

int RotateIfLarge(const char *path, long maxSize) {
    struct stat st;
    if (stat(path, &st) != 0) return 0;
    if (st.st_size <= maxSize) return 0;
    std::string bak = std::string(path) + ".bak";
    unlink(bak.c_str());
    if (rename(path, bak.c_str()) != 0) return -1;
    return 0;
}

FILE *OpenRotating(const char *path, int textMode, long maxSize) {
    (void)textMode;
    struct stat st;
    // A new file is opened for appending too: another process (a second
    // mergator on the same directory, ending at once) may append to it
    // meanwhile, and a plain write position would overwrite its lines.
    if (stat(path, &st) != 0) return fopen(path, "ab");
    RotateIfLarge(path, maxSize);
    return fopen(path, "a+b");
}

int LogOpen(tLog *log, const char *path, long maxSize) {
    *log = tLog{};
    FILE *f = OpenRotating(path, 0, maxSize);
    if (!f) return E_OUT_OF_FILES;
    setvbuf(f, nullptr, _IONBF, 0);
    log->file = f;
    log->lock = new std::mutex;
    char date[64];
    CtimeNow(date);
    char banner[128];
    int n = snprintf(banner, sizeof banner, "========================\nDate: %s\n", date);
    fwrite(banner, 1, (size_t)n, f);
    return E_OK;
}

int LogGather(tLog *log, int on) {
    if (!log || !log->file || !log->lock) return E_OK;
    std::lock_guard<std::mutex> g(*log->lock);
    if (!on) {
        FlushGathered(log);
        log->gathering = 0;
        return E_OK;
    }
    if (!log->gathered) log->gathered = static_cast<char *>(malloc(LOG_GATHER_SIZE));
    if (!log->gathered) return E_OUT_OF_MEMORY;
    log->gathering = 1;
    return E_OK;
}

void LogFlush(tLog *log) {
    if (!log || !log->lock || !log->gathering) return;
    std::lock_guard<std::mutex> g(*log->lock);
    FlushGathered(log);
}

void LogClose(tLog *log) {
    if (!log || !log->file) return;
    FlushDots(log);
    FlushGathered(log);
    free(log->gathered);
    log->gathered = nullptr;
    log->gathering = 0;
    char date[64];
    CtimeNow(date);
    fprintf(log->file, "%sEnded at: %s\n", log->inDots ? "\n" : "", date);
    fclose(log->file);
    delete log->lock;
    *log = tLog{};
}

void LogMessageV(tLog *log, const char *format, va_list args) {
    if (!log || (!log->file && !log->echo) || !log->lock) return;
    // The whole message is assembled first and written with one call, so
    // that the lines of concurrent writers (and processes appending to the
    // same file) stay whole.
    char small[1024];
    size_t head = 0;
    if (timeStampLogs) {
        LogTimeStamp(small);
        head = strlen(small);
    }
    if (log->prefix) {
        size_t n = strlen(log->prefix);
        if (head + n < 256) {
            memcpy(small + head, log->prefix, n);
            head += n;
        } else {
            head = sizeof small;  // unusual: take the long path below
        }
    }
    std::string big;
    const char *text = small;
    size_t len = 0;
    if (head < sizeof small) {
        va_list copy;
        va_copy(copy, args);
        int n = vsnprintf(small + head, sizeof small - head, format, copy);
        va_end(copy);
        if (n < 0) return;
        len = head + (size_t)n;
    }
    if (head >= sizeof small || len >= sizeof small) {
        char stamp[32];
        big = timeStampLogs ? LogTimeStamp(stamp) : "";
        if (log->prefix) big += log->prefix;
        va_list copy;
        va_copy(copy, args);
        int n = vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        if (n < 0) return;
        size_t at = big.size();
        big.resize(at + (size_t)n + 1);
        vsnprintf(big.data() + at, (size_t)n + 1, format, args);
        big.resize(at + (size_t)n);
        text = big.data();
        len = big.size();
    }
    std::lock_guard<std::mutex> g(*log->lock);
    FlushDots(log);
    if (log->inDots) {
        Emit(log, "\n", 1);
        log->inDots = 0;
    }
    Emit(log, text, len);
}

void LogMessage(tLog *log, const char *format, ...) {
    va_list args;
    va_start(args, format);
    LogMessageV(log, format, args);
    va_end(args);
}

void LogRaw(tLog *log, const char *format, ...) {
    if (!log || (!log->file && !log->echo)) return;
    FlushDotsLocking(log);
    std::unique_lock<std::mutex> g;
    if (log->gathering && log->lock) g = std::unique_lock<std::mutex>(*log->lock);
    va_list args;
    va_start(args, format);
    EmitFormatted(log, format, args);
    va_end(args);
}

void LogWrite(tLog *log, const void *bytes, size_t length) {
    if (!log || (!log->file && !log->echo)) return;
    FlushDotsLocking(log);
    std::unique_lock<std::mutex> g;
    if (log->gathering && log->lock) g = std::unique_lock<std::mutex>(*log->lock);
    Emit(log, static_cast<const char *>(bytes), length);
}

void LogDotsInit(tLog *log, int width) {
    log->dotWidth = width;
    log->dotCount = 0;
    log->inDots = 0;
}

int LogDot(tLog *log, char character) {
    int width = log->dotWidth > 0 ? log->dotWidth : 1;
    int position = log->dotCount % width;
    char text[330];
    size_t len = 0;
    bool rowEnds = false;
    if (position != 0 && log->inDots) {
        text[len++] = character;
        if (position == width - 1) {
            text[len++] = '\n';
            log->inDots = 0;
            rowEnds = true;
        }
    } else {
        if (log->inDots) text[len++] = '\n';
        if (timeStampLogs) {
            LogTimeStamp(text + len);
            len += strlen(text + len);
        }
        if (log->prefix) {
            size_t n = strlen(log->prefix);
            if (n > 256) n = 256;
            memcpy(text + len, log->prefix, n);
            len += n;
        }
        text[len++] = character;
        log->inDots = 1;
        rowEnds = width == 1;
    }
    if (log->file || log->echo) {
        std::unique_lock<std::mutex> g;
        if (log->lock) g = std::unique_lock<std::mutex>(*log->lock);
        long now = (long)time(nullptr);
        if (log->dotLength + len > sizeof log->dotText) FlushDots(log);
        if (log->dotLength == 0) log->dotSince = now;
        memcpy(log->dotText + log->dotLength, text, len);
        log->dotLength += (int)len;
        if (rowEnds || now - log->dotSince >= 1) FlushDots(log);
    }
    return ++log->dotCount;
}

int LogDotChar(tLog *log) { return LogDot(log, '.'); }
