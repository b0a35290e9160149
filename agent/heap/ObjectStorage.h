#pragma once

#include <cstdint>
#include <memory>

#include "agent/heap/BigIntArrayPaged.h"
#include "agent/heap/FlatIntArray.h"
#include "agent/heap/ObjectRefStorage.h"
#include "agent/heap/SmallValueArray.h"
#include "agent/support/YString.h"

// The per-object facts of one heap snapshot opened in the monitoring host, one column per fact. Objects
// are 1 to objectCount; every column has n = objectCount + 1 entries, entry 0 standing for no object.
// Columns the host never fills cost no more than an empty chunk table (or, for generations, a null
// pointer). Object indices are not checked here: callers check indices from outside with the isValid
// queries first.
class ObjectStorage {
 public:
  // Whether a storage can be made for objectCount objects: at least one, and n must fit an int32.
  static bool isValidCount(int64_t objectCount) { return objectCount > 0 && objectCount < INT32_MAX; }

  // A count that is not valid is a broken invariant, found before anything is allocated.
  explicit ObjectStorage(int32_t objectCount);
  ObjectStorage(const ObjectStorage&) = delete;
  ObjectStorage& operator=(const ObjectStorage&) = delete;

  // Whether column entry i exists: 0 (no object) to objectCount.
  bool isValidObjectIndex(int64_t i) const { return i >= 0 && i < n; }

  void setGeneration(int32_t i, int32_t generation);
  int32_t getGeneration(int32_t i) const;
  // -1 for an object that is not an array.
  void setArrayLength(int32_t i, int32_t length);
  int32_t getArrayLength(int32_t i) const;

  // "AL: <figures>\nGEN: <figures or null>\n", the figures being "<n> <overflow entries> (<percent>%)".
  YString getStatistics() const;

  const int32_t n;
  ObjectRefStorage references;     // "r"
  FlatIntArray immediateDominators;  // "i", 0 until the dominators are computed
  std::unique_ptr<SmallValueArray<uint16_t>> generations;  // made by the first non-zero generation
  BigIntArrayPaged allocatorFrame;
  BigIntArrayPaged allocatorThread;  // -1 for none
  BigLongArrayPaged allocatorTimestamp;  // milliseconds
  SmallValueArray<uint8_t> arrayLengths;
  BigLongArrayPaged primitiveDataPosition;
  BigIntArrayPaged crc32;
  BigLongArrayPaged oid;
};
