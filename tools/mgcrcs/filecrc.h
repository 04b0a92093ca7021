// CRC-32 of a whole file or of a byte range of it, for the CRC checker.
//
// Design: the file is read with plain read(2) in large blocks (1 MiB, with
// sequential read-ahead advised) and fed to Crc32Update; reading stops early
// at the end of the file, so a range past the end covers fewer bytes.
//
// Threading: no shared state; each call uses its own buffer.
#pragma once

#include <cstdint>
#include <sys/types.h>

// Computes the standard CRC-32 of the bytes of the open descriptor fd from
// offset on, at most length bytes (length < 0: up to the end of the file).
// Returns 0 and stores the CRC and the number of bytes read; returns -1 with
// errno set when seeking or reading fails (fd is a directory, I/O error) or
// no buffer can be had.
[[nodiscard]] int FileCrc(int fd, off_t offset, off_t length, uint32_t *crc, off_t *bytesRead);
