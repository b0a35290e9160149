#pragma once

#include <cstdint>

// A code-point key packs a method id and a source line into one 32-bit value, in one of three forms:
// - the method id itself (bit 31 clear) when there is no line;
// - 0xC0000000 | line << 19 | method (bits 31 and 30 set) for lines 1 to 2047 of methods below 0x80000;
// - 0x80000000 | the row of the pair's "code_point" record (bit 31 alone) for every other pair, and for
//   method 0 without a line, so that no key is 0.
// CodePointStorage makes the row form; these are the forms a key holds without the database.

constexpr uint32_t codePointRowBit = 0x80000000u;
constexpr uint32_t codePointCompactBits = 0xC0000000u;

// The key of a pair that needs no "code_point" row, or 0 when the pair needs one.
constexpr int32_t codePointKeyWithoutRow(int32_t methodId, int32_t line) {
  if (line < 1) return methodId != 0 ? methodId : 0;
  if (line < 2048 && methodId >= 0 && methodId < 0x80000) {
    return int32_t(codePointCompactBits | uint32_t(line) << 19 | uint32_t(methodId));
  }
  return 0;
}

constexpr bool isCompactCodePointKey(int32_t key) { return (uint32_t(key) & codePointCompactBits) == codePointCompactBits; }
constexpr bool isRowCodePointKey(int32_t key) { return key < 0 && !isCompactCodePointKey(key); }

constexpr int32_t compactCodePointMethod(int32_t key) { return int32_t(uint32_t(key) & 0x7FFFFu); }
constexpr int32_t compactCodePointLine(int32_t key) { return int32_t(uint32_t(key) >> 19 & 0x7FFu); }
// The "code_point" row of a row-form key.
constexpr int32_t codePointRow(int32_t key) { return int32_t(uint32_t(key) & ~codePointRowBit); }
constexpr int32_t rowCodePointKey(int32_t row) { return int32_t(codePointRowBit | uint32_t(row)); }

// line << 32 | method: how maps of pairs keep a pair, hashing as line XOR method.
constexpr int64_t codePointPair(int32_t methodId, int32_t line) {
  return int64_t(uint64_t(uint32_t(line)) << 32 | uint32_t(methodId));
}
