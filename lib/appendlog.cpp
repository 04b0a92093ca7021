#include "lib/appendlog.h"

#include "lib/log.h"
#include "lib/panic.h"
#include "lib/shutdown.h"
#include "lib/strings.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr size_t COPY_CHUNK = 16384;

int Fail(int code) {
    errno = code;
    return -1;
}

}  // namespace

int AppendFile(const char *target, const char *source) {
    struct stat st;
    long long oldSize = stat(target, &st) == 0 ? (long long)st.st_size : 0;
    if (stat(source, &st) != 0) return Fail(ELIB_SOURCE_SIZE);
    long long sourceSize = (long long)st.st_size;
    char *buf = static_cast<char *>(malloc(COPY_CHUNK));
    if (!buf) return Fail(ELIB_OUT_OF_MEMORY);
    int fd = open(target, O_WRONLY | O_APPEND | O_CREAT, 0666);
    FILE *out = fd >= 0 ? fdopen(fd, "ab") : nullptr;
    if (!out) {
        if (fd >= 0) close(fd);
        free(buf);
        return Fail(ELIB_TARGET_OPEN);
    }
    FILE *in = fopen(source, "rb");
    if (!in) {
        fclose(out);
        free(buf);
        return Fail(ELIB_SOURCE_OPEN);
    }
    int err = 0;
    for (long long left = sourceSize; left > 0 && !err;) {
        size_t want = left < (long long)COPY_CHUNK ? (size_t)left : COPY_CHUNK;
        size_t got = fread(buf, 1, want, in);
        if (got == 0) {
            err = ELIB_SOURCE_READ;
            break;
        }
        if (fwrite(buf, 1, got, out) != got) err = ELIB_TARGET_WRITE;
        left -= (long long)got;
    }
    fclose(in);
    if (fclose(out) != 0 && !err) err = ELIB_TARGET_WRITE;
    free(buf);
    if (err) return Fail(err);
    if (stat(target, &st) != 0) return Fail(ELIB_FINAL_SIZE);
    if ((long long)st.st_size != oldSize + sourceSize) return Fail(ELIB_SIZE_MISMATCH);
    return 0;
}

tDiag AppendLogInit(tAppendLog *appendLog, const char *path, tLog *log, long maxSize) {
    *appendLog = tAppendLog{};
    if (StrCopyBounded(appendLog->path, path, sizeof appendLog->path) < 0) return E_PATH_TOO_LONG;
    appendLog->log = log;
    appendLog->maxSize = maxSize;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0666);
    if (fd < 0) {
        LogMessage(log, "Could not init the '%s' file.\n", path);
        *appendLog = tAppendLog{};
        return E_CANNOT_OPEN_FILE;
    }
    close(fd);
    appendLog->lock = new std::mutex;
    return E_OK;
}

void AppendLogRelease(tAppendLog *appendLog) {
    delete appendLog->lock;
    *appendLog = tAppendLog{};
}

int AppendLogAdd(tAppendLog *appendLog, const char *source) {
    MG_ASSERT(appendLog->lock);
    const char *target = appendLog->path;
    int retries = 0;
    int rc, err;
    for (;;) {
        {
            std::lock_guard<std::mutex> g(*appendLog->lock);
            if (appendLog->maxSize != 0) RotateIfLarge(target, appendLog->maxSize);
            rc = AppendFile(target, source);
            err = errno;
        }
        if (rc == 0 || err == ELIB_SOURCE_SIZE || err == ELIB_FINAL_SIZE || err == ELIB_SIZE_MISMATCH) break;
        LogMessage(appendLog->log, "Could not append '%s' to '%s': %s. Will retry.\n", source, target,
                   LibErrorText(err));
        if (ShutdownRequested()) {
            LogMessage(appendLog->log, "Shutdown when appending file to global log.\n");
            LogMessage(appendLog->log, "Not appending '%s' to '%s'.\n", source, target);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        retries++;
    }
    if (rc != 0)
        LogMessage(appendLog->log, "Could not append '%s' to '%s': %s. Abandoning.\n", source, target,
                   LibErrorText(err));
    else if (retries > 0)
        LogMessage(appendLog->log, "File '%s' appended to '%s' after %d retries.\n", source, target, retries);
    unlink(source);
    return rc == 0 ? 0 : -1;
}
