#pragma once

#include <cstdint>

#include "agent/heap/ObjectRefStorage.h"

// Reachability over the reference lists of an opened snapshot, answered in object bitsets: bit (i & 31)
// of word i >> 5 stands for object i. The bitsets are the host's Java arrays held in place, so no bit
// outside their words is ever read or written: a root, start or reference that a bitset does not cover is
// a broken invariant, as is an index outside the references' objects. Searches walk an explicit stack
// on the heap, never recursing, so a chain of any length is safe.

// A bitset that is written: the marks of a search.
struct ObjectMarks {
  int32_t* words;
  int32_t length;

  bool covers(int64_t object) const { return object >= 0 && (object >> 5) < length; }
  bool isSet(int32_t object) const { return (uint32_t(words[object >> 5]) >> (object & 31) & 1) != 0; }
  void set(int32_t object) { words[object >> 5] |= int32_t(1u << (object & 31)); }
};

// A bitset that is only read; objects past its words are not in it.
struct ObjectSet {
  const int32_t* words;
  int32_t length;

  bool has(int64_t object) const {
    return object >= 0 && (object >> 5) < length && (uint32_t(words[object >> 5]) >> (object & 31) & 1) != 0;
  }
};

// Marks start and everything reachable from it. Marks set before the search are barriers: a marked
// object is never expanded.
void markReachable(ObjectRefStorage& references, int32_t start, ObjectMarks marks);

// The same, not following reference r of an object u when (u, r) is (excludedObject, excludedRefIndex),
// nor when (reference 0 of u, r) is one of the pairs of excludedFields, whose length must be even. An
// excludedObject of 0 excludes no single reference.
void markStronglyReachable(ObjectRefStorage& references, int32_t start, ObjectMarks marks,
                           const int32_t* excludedFields, int32_t excludedFieldsLength, int32_t excludedObject,
                           int32_t excludedRefIndex);

// The four questions of the host. Each checks every root and object index it is given before it marks
// anything.

// f: marks gains every object reachable from the roots through objects not marked before.
void findReachable(ObjectRefStorage& references, const int32_t* roots, int32_t rootCount, ObjectMarks marks);

// fStrong: marks gains every object strongly reachable (markStronglyReachable) from the objects of
// startSet that are not marked yet, taken in increasing index.
void findStronglyReachable(ObjectRefStorage& references, ObjectSet startSet, ObjectMarks marks,
                           const int32_t* excludedFields, int32_t excludedFieldsLength, int32_t excludedObject,
                           int32_t excludedRefIndex);

// f0m: result becomes the objects of set together with every index that the roots no longer reach once
// set, and the bits result held on entry, are taken away. The complement covers all of result's words,
// so bit 0 and the bits past the last object come out set; words of result past set's count as empty.
void findRetainedBySet(ObjectRefStorage& references, ObjectSet set, const int32_t* roots, int32_t rootCount,
                       ObjectMarks result);

// f0o: the same, with the set given as objects[from] to objects[to - 1].
void findRetainedByObjects(ObjectRefStorage& references, const int32_t* objects, int32_t objectsLength, int32_t from,
                           int32_t to, const int32_t* roots, int32_t rootCount, ObjectMarks result);
