#pragma once

#include <cstdint>

#include "agent/support/FatalError.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// A short list of named values: keys and values in two parallel vectors, value i belonging to key i,
// searched linearly in insertion order. Keys are copies. Not synchronised.
template <class T>
class YStringMap {
 public:
  YVectorSafe<YString> keys;
  YVectorSafe<T> values;

  // The index of the key, or -1.
  int32_t indexOf(const YString& key) const { return keys.indexOf(key); }

  // The key's value, or `absent` when the key is not held.
  T get(const YString& key, const T& absent) const {
    int32_t index = indexOf(key);
    return index < 0 ? absent : values.get(index);
  }

  // Replaces the value of a key already held, else appends a copy of the key with the value.
  void set(const YString& key, const T& value) {
    int32_t index = indexOf(key);
    if (index < 0) {
      keys.add(key);
      try {
        values.add(value);
      } catch (...) {
        keys.pop();  // the vectors stay parallel when the value cannot be stored
        throw;
      }
      return;
    }
    if (index >= values.size) assertionFailed("assertion failed", "YString", 1147);
    values.set(index, value);
  }

  // False when the key was not held.
  bool remove(const YString& key) {
    int32_t index = indexOf(key);
    if (index < 0) return false;
    keys.remove(index);
    values.remove(index);
    return true;
  }
};
