#pragma once

#include <cstdint>

#include "agent/heap/BigIntArrayPaged.h"
#include "agent/heap/FlatIntArray.h"
#include "agent/support/YVector.h"

class RefIterator;

// The outgoing references of every object of a heap graph: per object a list of int32 object indices,
// 0 meaning no reference. Lists are packed end to end in one paged column and located by int32 offsets;
// a list that would carry the packed column past `packLimit` gets a private array instead, so offsets
// never overflow. Objects are indices 0 to n - 1; the index checks below are for callers that take
// indices from outside, the other operations do not check.
class ObjectRefStorage {
 public:
  static constexpr int32_t defaultPackLimit = INT32_MAX;

  // `name` names the two per-object arrays ("<name>-s", "<name>-c") in the log. A pack limit below the
  // default is for tests of the private lists.
  ObjectRefStorage(const char* name, int32_t n, int32_t packLimit = defaultPackLimit);
  ~ObjectRefStorage();
  ObjectRefStorage(const ObjectRefStorage&) = delete;
  ObjectRefStorage& operator=(const ObjectRefStorage&) = delete;

  int32_t size() const { return counts.size; }
  bool isValidObjectIndex(int64_t i) const { return i >= 0 && i < counts.size; }
  // Whether j names a slot of object i's list, for a valid i.
  bool isValidRefIndex(int32_t i, int64_t j) const { return j >= 0 && j < counts[i]; }

  // Reserves a list of `count` references for object i, abandoning any earlier one. A negative count is
  // a broken invariant.
  void allocate(int32_t i, int32_t count);
  // Gives object i a new, empty private list of `count` references; its array is made by the first setRef.
  // A negative count is a broken invariant.
  void setNewRefCount(int32_t i, int32_t count);
  int32_t getRefCount(int32_t i) const { return counts[i]; }
  // Reference j of object i; j must be valid (isValidRefIndex), which is not checked here.
  int32_t getRef(int32_t i, int32_t j);
  // Stores target as reference j of object i. An invalid j, and any j of a list of 0 references, is a
  // broken invariant.
  void setRef(int32_t i, int32_t target, int32_t j);
  RefIterator getRefIterator(int32_t i);

  // The first unused offset of the packed column.
  int32_t packedEnd() const { return next; }

 private:
  FlatIntArray starts;  // offset in targets when >= 0, else the negated index of the private list
  FlatIntArray counts;
  BigIntArrayPaged targets;
  int32_t next;
  YVector<int32_t*, 10> extras;  // private lists; slot 0 is never used, a null slot holds no reference yet
  int32_t packLimit;

  int32_t* privateList(int32_t i);
};

// Walks one object's list, fetching each chunk of the packed column once instead of once per reference.
// A reference in a chunk that was never made reads as 0 but still takes its step, so the number of steps
// taken is the index of the reference just read.
class RefIterator {
 public:
  bool hasNext() const { return position < end; }
  // The next reference; call only while hasNext().
  int32_t next() {
    if (privateArray != nullptr) return privateArray[position++];
    if (offset >= BigIntArrayPaged::chunkSize) {
      offset = position % BigIntArrayPaged::chunkSize;
      chunk = targets->findChunk(position);
    }
    position++;
    const int32_t value = chunk == nullptr ? 0 : chunk[offset];
    offset++;
    return value;
  }

 private:
  friend class ObjectRefStorage;
  RefIterator(BigIntArrayPaged* targets, int32_t position, int32_t end, const int32_t* privateArray)
      : targets(targets), position(position), end(end), chunk(nullptr), offset(BigIntArrayPaged::chunkSize),
        privateArray(privateArray) {}

  BigIntArrayPaged* targets;
  int32_t position;
  int32_t end;
  const int32_t* chunk;
  int32_t offset;
  const int32_t* privateArray;
};
