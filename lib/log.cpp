#include "lib/log.h"

#include "lib/diag.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

int timeStampLogs = 1;
tLog journal;

namespace {

// The fixed 24-character ctime form of now, without its line feed.
void CtimeNow(char *buf, size_t size) {
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    strftime(buf, size, "%a %b %d %H:%M:%S %Y", &tmv);
}

void Emit(tLog *log, const char *data, size_t len) {
    if (len == 0) return;
    if (log->file) {
        size_t n = fwrite(data, 1, len, log->file);
        (void)n;
    }
    if (log->echo) {
        size_t n = fwrite(data, 1, len, stderr);
        (void)n;
    }
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
    if (stat(path, &st) != 0) return fopen(path, "wb");
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
    CtimeNow(date, sizeof date);
    char banner[128];
    int n = snprintf(banner, sizeof banner, "========================\nDate: %s\n", date);
    fwrite(banner, 1, (size_t)n, f);
    return E_OK;
}

void LogClose(tLog *log) {
    if (!log || !log->file) return;
    char date[64];
    CtimeNow(date, sizeof date);
    fprintf(log->file, "Ended at: %s\n", date);
    fclose(log->file);
    delete log->lock;
    *log = tLog{};
}

void LogMessageV(tLog *log, const char *format, va_list args) {
    if (!log || (!log->file && !log->echo) || !log->lock) return;
    std::lock_guard<std::mutex> g(*log->lock);
    if (log->inDots) {
        Emit(log, "\n", 1);
        log->inDots = 0;
    }
    if (timeStampLogs) {
        char stamp[32];
        LogTimeStamp(stamp);
        Emit(log, stamp, strlen(stamp));
    }
    if (log->prefix) Emit(log, log->prefix, strlen(log->prefix));
    EmitFormatted(log, format, args);
}

void LogMessage(tLog *log, const char *format, ...) {
    va_list args;
    va_start(args, format);
    LogMessageV(log, format, args);
    va_end(args);
}

void LogRaw(tLog *log, const char *format, ...) {
    if (!log || (!log->file && !log->echo)) return;
    va_list args;
    va_start(args, format);
    EmitFormatted(log, format, args);
    va_end(args);
}

void LogWrite(tLog *log, const void *bytes, size_t length) {
    if (!log || (!log->file && !log->echo)) return;
    Emit(log, static_cast<const char *>(bytes), length);
}
