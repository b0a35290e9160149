#pragma once

#include <cstdint>

#include "agent/classfile/ConstantPoolInfo.h"
#include "agent/support/Arena.h"

// Where the get-or-adds of a class file find the first entry equal to a request without walking the
// whole pool: one chained hash over its Utf8, Integer, Long, Class, String, NameAndType and Methodref
// entries, made at the first look-up and extended with whatever the pool gained since. A text is keyed by
// its length and a few of its bytes, which tells nearly all texts of a class apart without reading them
// whole; every candidate is compared in full. The tables live in the class file's arena.
class ConstantPoolIndex {
 public:
  explicit ConstantPoolIndex(Arena& arena) : arena(arena) {}
  ConstantPoolIndex(const ConstantPoolIndex&) = delete;
  ConstantPoolIndex& operator=(const ConstantPoolIndex&) = delete;

  // The first Utf8 entry whose text is these bytes, else 0.
  int32_t findUtf8(const ConstantPool& pool, const char* text, int32_t length);
  // The first entry of `tag` (Class, String, NameAndType or Methodref) whose indices are `first` and
  // `second` (0 for Class and String), else 0.
  int32_t findReference(const ConstantPool& pool, uint32_t tag, int32_t first, int32_t second);
  // The first Integer (`tag` CONSTANT_Integer) or Long entry of that value, else 0.
  int32_t findNumber(const ConstantPool& pool, uint32_t tag, int64_t value);

 private:
  void update(const ConstantPool& pool);
  void rebuild(const ConstantPool& pool, int32_t bucketCount);
  void insert(const ConstantPool& pool, int32_t index);

  Arena& arena;
  int32_t* heads = nullptr;  // per bucket, the newest entry index of its chain; 0 ends a chain
  int32_t* next = nullptr;   // per pool index, the next older entry of its chain
  int32_t mask = 0;          // bucket count - 1
  int32_t nextCapacity = 0;
  int32_t covered = 0;       // pool slots below this are in the chains
  int32_t chained = 0;       // entries in the chains
  uint32_t textChanges = 0;  // utf8TextChanges() when the chains were made
};
