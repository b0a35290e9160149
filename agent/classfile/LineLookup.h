#pragma once

#include <cstdint>

// The line of the entry with the greatest start at or before `location` (of equal starts the later
// one), 0 when no entry starts there or before. Line tables need not be sorted, so every entry is
// looked at. `startOf` and `lineOf` read an entry's start and line.
template <class Entry, class StartOf, class LineOf>
int32_t lineAtLocation(const Entry* entries, int32_t count, int64_t location, StartOf startOf, LineOf lineOf) {
  const Entry* best = nullptr;
  for (int32_t i = 0; i < count; i++) {
    const int64_t start = startOf(entries[i]);
    if (start <= location && (best == nullptr || start >= int64_t(startOf(*best)))) best = &entries[i];
  }
  return best == nullptr ? 0 : int32_t(lineOf(*best));
}
