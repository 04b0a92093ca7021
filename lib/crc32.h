// CRC-32 (the standard reflected polynomial 0xEDB88320).
//
// Crc32Update continues the CRC register over more bytes; the register is
// not inverted on entry or exit, so a standard CRC-32 is
// ~Crc32Update(data, len, 0xFFFFFFFF). Long buffers are folded 64 bytes at a
// time with carry-less multiplication where the processor has it (x86-64
// PCLMULQDQ, checked at run time); the rest goes eight bytes at a time
// through eight derived tables ("slicing by 8"), built once on first use.
// Both paths give identical results.
//
// Threading: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

uint32_t Crc32Update(const void *data, size_t len, uint32_t crc);

// The standard CRC-32 of a NUL-terminated text (0x352441C2 for "abc").
uint32_t Crc32String(const char *text);

// The same over the text with every ASCII letter lowered first: the hash of
// names compared without regard to case (group names).
uint32_t Crc32StringLower(const char *text);
