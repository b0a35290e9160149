#pragma once

#include <algorithm>
#include <cstdint>
#include <new>
#include <type_traits>

#include "agent/support/FatalError.h"

// A two-level array from a non-negative index to a value: chunks of 256 values, each made on the first
// write into its range and filled with the empty value; a null chunk pointer is a chunk not yet made.
// For records the empty value is the value-initialised record (stamp 0).
template <class T>
class YIntChunkMap {
 public:
  static constexpr int32_t chunkSize = 256;
  // Chunks for every non-negative int32 index.
  static constexpr int64_t maxChunkCount = (int64_t(INT32_MAX) >> 8) + 1;

  // `initialCapacity` values at least, in whole chunks (initialCapacity / 256 + 1 of them).
  explicit YIntChunkMap(int32_t initialCapacity, const T& empty = T()) : emptyValue(empty) {
    if (initialCapacity < 1) assertionFailed("assertion failed", "YIntChunkMap", 18);
    chunkCount = initialCapacity / chunkSize + 1;
    chunks = new T*[size_t(chunkCount)]();
  }

  YIntChunkMap(const YIntChunkMap&) = delete;
  YIntChunkMap& operator=(const YIntChunkMap&) = delete;

  ~YIntChunkMap() {
    freeChunks();
    delete[] chunks;
  }

  int64_t capacity() const { return int64_t(chunkCount) * chunkSize; }

  // The value at `index` when its chunk exists, else null (also for a negative index).
  T* existing(int32_t index) const {
    const int32_t chunk = index >> 8;
    if (chunk < 0 || chunk >= chunkCount || chunks[chunk] == nullptr) return nullptr;
    return &chunks[chunk][index & (chunkSize - 1)];
  }

  // The value at `index` (which must not be negative), its chunk and the pointer array made when
  // missing. The array grows to the length needed and no further.
  T& create(int32_t index) {
    const int32_t chunk = index >> 8;
    if (chunk >= chunkCount) growTo(chunk + 1);
    if (chunks[chunk] == nullptr) chunks[chunk] = newChunk();
    return chunks[chunk][index & (chunkSize - 1)];
  }

  // Makes the pointer array `count` entries long; shorter arrays keep their length.
  void growTo(int64_t count) {
    count = std::min(count, maxChunkCount);
    if (count <= chunkCount) return;
    T** grown = new T*[size_t(count)];
    std::copy(chunks, chunks + chunkCount, grown);
    std::fill(grown + chunkCount, grown + count, nullptr);
    delete[] chunks;
    chunks = grown;
    chunkCount = int32_t(count);
  }

  // Frees every chunk; the pointer array keeps its length.
  void freeChunks() {
    for (int32_t chunk = 0; chunk < chunkCount; chunk++) {
      delete[] chunks[chunk];
      chunks[chunk] = nullptr;
    }
  }

  int32_t madeChunks() const {
    int32_t made = 0;
    for (int32_t chunk = 0; chunk < chunkCount; chunk++) made += chunks[chunk] != nullptr;
    return made;
  }

  T** chunks;
  int32_t chunkCount;
  T emptyValue;

 private:
  // Records with vectors inside are made empty by their constructors; plain values are copies of the
  // empty value, written once.
  T* newChunk() const {
    if constexpr (std::is_trivially_copyable<T>::value) {
      T* chunk = new T[chunkSize];
      std::fill(chunk, chunk + chunkSize, emptyValue);
      return chunk;
    } else {
      return new T[chunkSize]();
    }
  }
};
