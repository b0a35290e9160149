#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
#include <type_traits>

#include "agent/support/FatalError.h"
#include "agent/support/YVector.h"

// A two-level array from a non-negative index to a value: chunks of 256 values, each made on the first
// write into its range and filled with the empty value; a null chunk pointer is a chunk not yet made.
// For records the empty value is the value-initialised record (stamp 0).
//
// One writer at a time (the caller's lock) makes chunks and grows the array, while readers without the
// lock may look values up (the method-entry natives read method flags so). So the pointer array, its
// length and each chunk pointer are published with release stores and read with acquire loads; a
// pointer array that growth replaced stays allocated until the map dies, for a reader that still holds
// it; and a chunk, once made, stays where it is until freeChunks, which no such reader may meet. The
// array's allocation doubles, so the retired arrays together are never larger than the current one; the
// length the map reports grows to the chunk needed and no further.
template <class T>
class YIntChunkMap {
 public:
  static constexpr int32_t chunkSize = 256;
  // Chunks for every non-negative int32 index.
  static constexpr int64_t maxChunkCount = (int64_t(INT32_MAX) >> 8) + 1;

  // `initialCapacity` values at least, in whole chunks (initialCapacity / 256 + 1 of them).
  explicit YIntChunkMap(int32_t initialCapacity, const T& empty = T()) : emptyValue(empty) {
    if (initialCapacity < 1) assertionFailed("assertion failed", "YIntChunkMap", 18);
    allocatedChunks = initialCapacity / chunkSize + 1;
    chunks.store(newPointerArray(allocatedChunks), std::memory_order_relaxed);
    chunkCount.store(allocatedChunks, std::memory_order_relaxed);
  }

  YIntChunkMap(const YIntChunkMap&) = delete;
  YIntChunkMap& operator=(const YIntChunkMap&) = delete;

  ~YIntChunkMap() {
    freeChunks();
    delete[] chunks.load(std::memory_order_relaxed);
    for (int32_t i = 0; i < retiredArrays.size; i++) delete[] retiredArrays.data[i];
  }

  int64_t capacity() const { return int64_t(chunkCount.load(std::memory_order_acquire)) * chunkSize; }

  // The value at `index` when its chunk exists, else null (also for a negative index). Safe without the
  // writers' lock.
  T* existing(int32_t index) const {
    const int32_t chunk = index >> 8;
    // The length first: an array read after it is at least that long.
    if (chunk < 0 || chunk >= chunkCount.load(std::memory_order_acquire)) return nullptr;
    T* values = chunks.load(std::memory_order_acquire)[chunk].load(std::memory_order_acquire);
    return values == nullptr ? nullptr : &values[index & (chunkSize - 1)];
  }

  // The value at `index` (which must not be negative), its chunk and the pointer array made when
  // missing. The array grows to the length needed and no further.
  T& create(int32_t index) {
    const int32_t chunk = index >> 8;
    if (chunk >= chunkCount.load(std::memory_order_relaxed)) growTo(chunk + 1);
    std::atomic<T*>& slot = chunks.load(std::memory_order_relaxed)[chunk];
    T* values = slot.load(std::memory_order_relaxed);
    if (values == nullptr) {
      values = newChunk();
      slot.store(values, std::memory_order_release);
    }
    return values[index & (chunkSize - 1)];
  }

  // Makes the pointer array `count` entries long; shorter arrays keep their length.
  void growTo(int64_t count) {
    count = std::min(count, maxChunkCount);
    const int32_t length = chunkCount.load(std::memory_order_relaxed);
    if (count <= length) return;
    if (count > allocatedChunks) {
      const int32_t allocation = int32_t(std::min(std::max(count, int64_t(allocatedChunks) * 2), maxChunkCount));
      std::atomic<T*>* const old = chunks.load(std::memory_order_relaxed);
      std::atomic<T*>* const grown = newPointerArray(allocation);
      for (int32_t chunk = 0; chunk < length; chunk++) {
        grown[chunk].store(old[chunk].load(std::memory_order_relaxed), std::memory_order_relaxed);
      }
      retiredArrays.add(old);
      chunks.store(grown, std::memory_order_release);
      allocatedChunks = allocation;
    }
    chunkCount.store(int32_t(count), std::memory_order_release);
  }

  // Frees every chunk; the pointer array keeps its length. Not for a map that readers without the lock
  // may be reading.
  void freeChunks() {
    std::atomic<T*>* const array = chunks.load(std::memory_order_relaxed);
    const int32_t length = chunkCount.load(std::memory_order_relaxed);
    for (int32_t chunk = 0; chunk < length; chunk++) {
      delete[] array[chunk].exchange(nullptr, std::memory_order_acq_rel);
    }
  }

  int32_t madeChunks() const {
    int32_t made = 0;
    for (int32_t chunk = 0; chunk < chunkCount; chunk++) made += chunks.load()[chunk].load() != nullptr;
    return made;
  }

  // The chunk pointers, chunkCount of them in use (more may be allocated, all null).
  std::atomic<std::atomic<T*>*> chunks;
  std::atomic<int32_t> chunkCount;
  T emptyValue;

 private:
  static std::atomic<T*>* newPointerArray(int32_t count) {
    std::atomic<T*>* const array = new std::atomic<T*>[size_t(count)];
    for (int32_t i = 0; i < count; i++) array[i].store(nullptr, std::memory_order_relaxed);
    return array;
  }

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

  int32_t allocatedChunks;
  // Pointer arrays that growth replaced, freed with the map.
  YVector<std::atomic<T*>*, 4> retiredArrays;
};
