#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "agent/support/FatalError.h"
#include "agent/support/YAllocator.h"
#include "agent/support/YString.h"

// An out-of-range vector operation: "op=<operation> <a> <b>" goes to the fatal-error path.
[[noreturn]] inline void yvectorRangeError(const char* operation, int32_t a, int32_t b) {
  YString text("op=");
  text.append(operation);
  text.append(' ');
  text.appendLong(a);
  text.append(' ');
  text.appendLong(b);
  fatalError(text.data, "YVector", 5);
}

// The agent's growable array. N elements live inside the object; beyond that a heap block doubles as the
// vector grows and never shrinks. Plain (trivially copyable) elements are copied as bytes and never
// constructed; elements with constructors (strings) are real objects copied by assignment. A vector of
// pointers does not own the pointees. Every check comes before any change.
template <class T, int N = 10>
class YVector {
 public:
  int32_t size;
  int32_t capacity;
  T* data;
  T inlineElements[N];

  YVector() : size(0), capacity(N), data(inlineElements) {}

  explicit YVector(int32_t initialCapacity) : YVector() {
    if (initialCapacity < 1) yvectorRangeError("yvector::yvector", initialCapacity, -1);
    if (initialCapacity > N) {
      data = storageWithCopy(initialCapacity, nullptr, 0);
      capacity = initialCapacity;
    }
  }

  YVector(const T* elements, int32_t count) : YVector(count) {
    copyElements(data, elements, count);
    size = count;
  }

  YVector(const YVector& other) : YVector() { *this = other; }

  virtual ~YVector() { releaseStorage(); }

  YVector& operator=(const YVector& other) {
    if (this == &other) return *this;
    if (other.capacity <= N) {
      releaseStorage();
      data = inlineElements;
      capacity = N;
      size = 0;
      copyElements(data, other.data, other.size);
    } else {
      T* block = storageWithCopy(other.capacity, other.data, other.size);
      releaseStorage();
      data = block;
      capacity = other.capacity;
    }
    size = other.size;
    return *this;
  }

  void add(const T& element) {
    if (size == capacity) {
      const T kept = element;  // `element` may live in the storage that growing releases
      grow();
      data[size] = kept;
    } else {
      data[size] = element;
    }
    size++;
  }

  // Makes room for `count` elements in all without growing again.
  void reserve(int32_t count) {
    if (count <= capacity) return;
    T* block = storageWithCopy(count, data, size);
    releaseStorage();
    data = block;
    capacity = count;
  }

  // reserve for room that is written before it is read, such as an output buffer's: it is not zeroed.
  void reserveForWriting(int32_t count) {
    static_assert(plainElements, "reserveForWriting leaves the room as raw bytes");
    if (count <= capacity) return;
    T* block = static_cast<T*>(std::malloc(sizeof(T) * size_t(count)));
    if (block == nullptr) throw std::bad_alloc();
    copyElements(block, data, size);
    releaseStorage();
    data = block;
    capacity = count;
  }

  // Appends copies of `count` elements, which must not lie in this vector's own storage.
  void addRange(const T* elements, int32_t count) {
    if (count < 0) yvectorRangeError("yvector::addRange", count, size);
    if (count > capacity - size) {
      const int64_t needed = int64_t(size) + count;
      if (needed > INT32_MAX) throw std::bad_alloc();
      const int32_t doubled = capacity > INT32_MAX / 2 ? INT32_MAX : capacity * 2;
      reserve(std::max(doubled, int32_t(needed)));
    }
    copyElements(data + size, elements, count);
    size += count;
  }

  template <int M>
  void addAll(const YVector<T, M>& other) {
    const int32_t count = other.size;  // fixed first: `other` may be this vector
    for (int32_t i = 0; i < count; i++) add(other.get(i));
  }

  T& operator[](int32_t index) { return checked(index, "yvector::[]"); }
  const T& operator[](int32_t index) const { return checked(index, "yvector::[]"); }
  T& get(int32_t index) { return checked(index, "yvector::get"); }
  const T& get(int32_t index) const { return checked(index, "yvector::get"); }

  void set(int32_t index, const T& element) { checked(index, "yvector::set") = element; }

  T& peek() {
    if (size == 0) yvectorRangeError("yvector::peek", size, -1);
    return data[size - 1];
  }

  T pop() {
    if (size == 0) yvectorRangeError("yvector::pop", size, -1);
    T last = data[size - 1];
    size--;
    return last;
  }

  // Appends zero (default) elements until `index` exists.
  void growTo(int32_t index) {
    if constexpr (std::is_scalar<T>::value) {
      if (index < size) return;
      if (index == INT32_MAX) throw std::bad_alloc();
      if (index >= capacity) {
        reserveForWriting(std::max(index + 1, capacity > INT32_MAX / 2 ? INT32_MAX : capacity * 2));
      }
      std::memset(static_cast<void*>(data + size), 0, sizeof(T) * size_t(index + 1 - size));
      size = index + 1;
    } else {
      while (size <= index) add(T());
    }
  }

  void removeRange(int32_t fromIndex, int32_t toIndex) {
    if (toIndex < 0 || toIndex > size) yvectorRangeError("yvector::removeRange/toIndex", toIndex, size);
    if (fromIndex < 0) yvectorRangeError("yvector::removeRange/fromIndex", fromIndex, size);
    if (fromIndex > toIndex) yvectorRangeError("yvector::removeRange", fromIndex, toIndex);
    const int32_t removed = toIndex - fromIndex;
    if constexpr (plainElements) {
      std::memmove(static_cast<void*>(data + fromIndex), static_cast<const void*>(data + toIndex),
                   sizeof(T) * size_t(size - toIndex));
    } else {
      std::copy(data + toIndex, data + size, data + fromIndex);
    }
    size -= removed;
  }

  void remove(int32_t index) {
    // index + 1 would overflow at the top of the range, where no element can be anyway
    if (index == INT32_MAX) yvectorRangeError("yvector::removeRange/toIndex", index, size);
    removeRange(index, index + 1);
  }

  // Vectors of strings: the first element of the same length and characters, -1 when there is none.
  int32_t indexOf(const T& text) const {
    for (int32_t i = 0; i < size; i++) {
      if (data[i].equals(text)) return i;
    }
    return -1;
  }

  // Vectors of YString: ascending order of the bytes taken as signed values, so that UTF-8 lead bytes
  // (0x80 and above) sort before all ASCII; a text sorts before any longer text it begins.
  void sortStrings() {
    if (size < 2) return;
    YVector<const T*> order(size);
    for (int32_t i = 0; i < size; i++) order.add(data + i);
    std::sort(order.data, order.data + size, sortsBefore);
    YVector sorted(size);
    for (int32_t i = 0; i < size; i++) sorted.add(*order.data[i]);
    copyElements(data, sorted.data, size);
  }

  // Vectors of pointers to objects with a virtual destructor: deletes the non-null pointees and empties
  // the vector.
  void deleteElements() {
    for (int32_t i = 0; i < size; i++) delete data[i];
    size = 0;
  }

  // Vectors of pointers to malloc'd blocks: frees the pointees and empties the vector. The vector itself
  // is left to its owner.
  void freeElements() {
    for (int32_t i = 0; i < size; i++) std::free(data[i]);
    size = 0;
  }

 private:
  static constexpr bool plainElements = std::is_trivially_copyable<T>::value;

  T& checked(int32_t index, const char* operation) const {
    if (index < 0 || index >= size) yvectorRangeError(operation, index, size);
    return data[index];
  }

  static bool sortsBefore(const YString* a, const YString* b) {
    const int32_t common = std::min(a->length, b->length);
    for (int32_t i = 0; i < common; i++) {
      const auto x = static_cast<signed char>(a->data[i]);
      const auto y = static_cast<signed char>(b->data[i]);
      if (x != y) return x < y;
    }
    return a->length < b->length;
  }

  static void copyElements(T* target, const T* source, int32_t count) {
    if constexpr (plainElements) {
      if (count > 0) {
        std::memcpy(static_cast<void*>(target), static_cast<const void*>(source), sizeof(T) * size_t(count));
      }
    } else {
      std::copy(source, source + count, target);
    }
  }

  // A heap block of `blockCapacity` elements holding copies of the first `count` elements of `source`.
  static T* storageWithCopy(int32_t blockCapacity, const T* source, int32_t count) {
    if constexpr (plainElements) {
      T* block = allocZeroed<T>(blockCapacity);
      copyElements(block, source, count);
      return block;
    } else {
      std::unique_ptr<T[]> block(new T[blockCapacity]);
      copyElements(block.get(), source, count);
      return block.release();
    }
  }

  void releaseStorage() {
    if (data == inlineElements) return;
    if constexpr (plainElements) {
      freeBlock(data);
    } else {
      delete[] data;
    }
  }

  void grow() {
    if (capacity == INT32_MAX) throw std::bad_alloc();
    const int32_t grown = capacity > INT32_MAX / 2 ? INT32_MAX : capacity * 2;
    T* block = storageWithCopy(grown, data, size);
    releaseStorage();
    data = block;
    capacity = grown;
  }
};

// A vector whose `set` reports its own range error.
template <class T>
class YVectorSafe : public YVector<T, 10> {
 public:
  using YVector<T, 10>::YVector;

  void set(int32_t index, const T& element) {
    if (index < 0 || index >= this->size) yvectorRangeError("yvectorsafe::set", index, this->size);
    this->data[index] = element;
  }
};
