#include "tools/mgcrcs/filecrc.h"

#include "lib/crc32.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr size_t kBlockSize = 1 << 20;

}  // namespace

int FileCrc(int fd, off_t offset, off_t length, uint32_t *crc, off_t *bytesRead) {
    *crc = 0;
    *bytesRead = 0;
    if (offset != 0 && lseek(fd, offset, SEEK_SET) < 0) return -1;
    (void)posix_fadvise(fd, offset, length < 0 ? 0 : length, POSIX_FADV_SEQUENTIAL);
    unsigned char *buf = static_cast<unsigned char *>(malloc(kBlockSize));
    if (!buf) {
        errno = ENOMEM;
        return -1;
    }
    uint32_t reg = 0xFFFFFFFFu;
    off_t total = 0;
    int rc = 0;
    for (;;) {
        size_t want = kBlockSize;
        if (length >= 0 && (off_t)want > length - total) want = (size_t)(length - total);
        if (want == 0) break;
        ssize_t got = read(fd, buf, want);
        if (got < 0) {
            if (errno == EINTR) continue;
            rc = -1;
            break;
        }
        if (got == 0) break;
        reg = Crc32Update(buf, (size_t)got, reg);
        total += got;
    }
    int saved = errno;
    free(buf);
    errno = saved;
    if (rc < 0) return -1;
    *crc = ~reg;
    *bytesRead = total;
    return 0;
}
