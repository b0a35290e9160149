#pragma once

#include <cstdint>
#include <limits>

#include "agent/support/YAllocator.h"
#include "agent/support/YMap.h"
#include "agent/support/YString.h"

// One small unsigned value (8 or 16 bits) per object, for facts that nearly always fit: the largest value
// of the type is the escape that says the object's full value is in the overflow map. The encoding of the
// full values is the owner's.
template <class T>
class SmallValueArray {
 public:
  static constexpr int32_t escape = std::numeric_limits<T>::max();

  explicit SmallValueArray(int32_t n) : values(allocZeroed<T>(n)), overflow(10), n(n) {}
  ~SmallValueArray() { freeBlock(values); }
  SmallValueArray(const SmallValueArray&) = delete;
  SmallValueArray& operator=(const SmallValueArray&) = delete;

  // A map entry left by an earlier escaped value is no longer consulted.
  void setSmall(int32_t i, int32_t value) { values[i] = T(value); }
  void setEscaped(int32_t i, int32_t value) {
    values[i] = T(escape);
    overflow.put(i, value);
  }
  bool isEscaped(int32_t i) const { return values[i] == escape; }
  // The full value of an escaped entry; 0 when the map has none.
  int32_t escapedValue(int32_t i) const {
    const int32_t slot = overflow.indexOf(i);
    return slot < 0 ? 0 : overflow.values[slot];
  }

  // "<n> <overflow entries> (<percentage>%)".
  void appendFigures(YString& text) const {
    text.appendLong(n);
    text.append(" ");
    text.appendLong(overflow.count);
    text.append(" (");
    text.appendLong(int64_t(overflow.count) * 100 / n);
    text.append("%)");
  }

  T* values;
  YMap<int32_t, int32_t> overflow;
  int32_t n;
};
