#pragma once

#include <algorithm>
#include <cstdint>

#include "agent/support/YVector.h"

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

// The answers of lineAtLocation for many lookups in one table: the entries sorted once by start (of
// equal starts the later stays later), each lookup a binary search.
class LineIndex {
 public:
  template <class Entry, class StartOf, class LineOf>
  LineIndex(const Entry* entries, int32_t count, StartOf startOf, LineOf lineOf) {
    starts.reserve(count);
    for (int32_t i = 0; i < count; i++) starts.add(Start{int64_t(startOf(entries[i])), int32_t(lineOf(entries[i]))});
    const auto before = [](const Start& a, const Start& b) { return a.start < b.start; };
    // Compilers write the table in order: most need no sort.
    if (!std::is_sorted(starts.data, starts.data + starts.size, before)) {
      std::stable_sort(starts.data, starts.data + starts.size, before);
    }
  }

  int32_t lineAt(int64_t location) const {
    const Start* after = std::upper_bound(starts.data, starts.data + starts.size, location,
                                          [](int64_t value, const Start& entry) { return value < entry.start; });
    return after == starts.data ? 0 : after[-1].line;
  }

 private:
  struct Start {
    int64_t start;
    int32_t line;
  };
  YVector<Start, 64> starts;  // the tables of most methods fit inside
};
