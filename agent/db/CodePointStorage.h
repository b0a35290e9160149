#pragma once

#include <cstdint>

// Code points (CodePointKey.h): small pairs are encoded in the key itself; the rest get a row of the
// "code_point" table, found again through a map of pairs, so that a pair is stored once. Callers hold
// "ourLock".
class CodePointStorage {
 public:
  // The pair's key, in the compact form when it has one; otherwise its row key, the row made on first
  // request. Making a row without a database is fatal.
  static int32_t getOrAdd(int32_t methodId, int32_t line);
  // Always the pair's row key, also for pairs that have a compact form.
  static int32_t getOrAddRow(int32_t methodId, int32_t line);
};
