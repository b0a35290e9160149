#pragma once

#include <cstdint>

// Code points: one 32-bit key for a (method, line) pair. Small pairs are encoded in the key itself; the
// rest get a row of the "code_point" table, found again through a map of pairs, so that a pair is
// stored once. Callers hold "ourLock".
class CodePointStorage {
 public:
  // The method id alone when the line is below 1 (and the method is not 0); 0xC0000000 | line << 19 |
  // method for lines 1 to 2047 of methods below 0x80000; otherwise the pair's row as
  // 0x80000000 | row id, made on first request. Making a row without a database is fatal.
  static int32_t getOrAdd(int32_t methodId, int32_t line);
  // Always the pair's row key, also for pairs that have a compact form.
  static int32_t getOrAddRow(int32_t methodId, int32_t line);
};
