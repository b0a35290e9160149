#pragma once

#include <cstdint>

// 64-bit offsets of an open descriptor, for writers that patch what they wrote earlier.

// The descriptor's current offset; -1 on failure.
int64_t getFileOffset(int32_t fd);
// Moves the descriptor to the end of its file; the new offset, or -1.
int64_t seekFileToEnd(int32_t fd);
