#include "agent/heap/ReferenceSearches.h"

#include <algorithm>

#include "agent/support/FatalError.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

namespace {

constexpr const char* source = "ReferenceSearches";

// An object a search is to mark must be one of the storage's (1 to n - 1) and covered by the marks.
void checkObject(const ObjectRefStorage& references, ObjectMarks marks, int64_t object, int32_t line) {
  if (object >= 1 && object < references.size() && marks.covers(object)) return;
  YString text("assertion failed: object index ");
  text.appendLong(object);
  text.append(" outside 1..");
  text.appendLong(references.size() - 1);
  text.append(" or past the ");
  text.appendLong(int64_t(marks.length) * 32);
  text.append(" bits of the bitset");
  assertionFailed(text.data, source, line);
}

void checkRoots(const ObjectRefStorage& references, const int32_t* roots, int32_t rootCount, ObjectMarks marks) {
  if (rootCount < 0) assertionFailed("assertion failed", source, __LINE__);
  for (int32_t k = 0; k < rootCount; k++) checkObject(references, marks, roots[k], __LINE__);
}

// The walk of both searches. `follows` (u, key, r) says whether reference r of u counts, key being
// reference 0 of u when `withKey`, else 0.
template <bool withKey, class Follows>
void markFrom(ObjectRefStorage& references, int32_t start, ObjectMarks marks, Follows follows) {
  checkObject(references, marks, start, __LINE__);
  YVector<int32_t> stack;
  stack.add(start);
  while (stack.size > 0) {
    const int32_t u = stack.pop();
    if (marks.isSet(u)) continue;  // an object can be pushed more than once; it is expanded once
    marks.set(u);
    const int32_t key = withKey && references.getRefCount(u) > 0 ? references.getRef(u, 0) : 0;
    RefIterator targets = references.getRefIterator(u);
    for (int32_t r = 0; targets.hasNext(); r++) {
      const int32_t t = targets.next();
      if (t == 0) continue;
      checkObject(references, marks, t, __LINE__);
      if (!marks.isSet(t) && follows(u, key, r)) stack.add(t);
    }
  }
}

void markAll(ObjectMarks marks, ObjectSet set) {
  for (int32_t w = 0; w < marks.length; w++) marks.words[w] |= w < set.length ? set.words[w] : 0;
}

}  // namespace

void markReachable(ObjectRefStorage& references, int32_t start, ObjectMarks marks) {
  markFrom<false>(references, start, marks, [](int32_t, int32_t, int32_t) { return true; });
}

void markStronglyReachable(ObjectRefStorage& references, int32_t start, ObjectMarks marks,
                           const int32_t* excludedFields, int32_t excludedFieldsLength, int32_t excludedObject,
                           int32_t excludedRefIndex) {
  if (excludedFieldsLength < 0 || excludedFieldsLength % 2 != 0) assertionFailed("assertion failed", source, __LINE__);
  markFrom<true>(references, start, marks, [&](int32_t u, int32_t key, int32_t r) {
    if (u == excludedObject && r == excludedRefIndex) return false;
    for (int32_t m = 0; m < excludedFieldsLength; m += 2) {
      if (excludedFields[m] == key && excludedFields[m + 1] == r) return false;
    }
    return true;
  });
}

void findReachable(ObjectRefStorage& references, const int32_t* roots, int32_t rootCount, ObjectMarks marks) {
  checkRoots(references, roots, rootCount, marks);
  for (int32_t k = 0; k < rootCount; k++) {
    if (!marks.isSet(roots[k])) markReachable(references, roots[k], marks);
  }
}

void findStronglyReachable(ObjectRefStorage& references, ObjectSet startSet, ObjectMarks marks,
                           const int32_t* excludedFields, int32_t excludedFieldsLength, int32_t excludedObject,
                           int32_t excludedRefIndex) {
  if (excludedFieldsLength < 0 || excludedFieldsLength % 2 != 0) assertionFailed("assertion failed", source, __LINE__);
  const int32_t end = int32_t(std::min<int64_t>(references.size(), int64_t(startSet.length) * 32));
  for (int32_t i = 1; i < end; i++) {
    if (startSet.has(i)) checkObject(references, marks, i, __LINE__);
  }
  for (int32_t i = 1; i < end; i++) {
    if (startSet.has(i) && !marks.isSet(i)) {
      markStronglyReachable(references, i, marks, excludedFields, excludedFieldsLength, excludedObject,
                            excludedRefIndex);
    }
  }
}

void findRetainedBySet(ObjectRefStorage& references, ObjectSet set, const int32_t* roots, int32_t rootCount,
                       ObjectMarks result) {
  checkRoots(references, roots, rootCount, result);
  markAll(result, set);
  for (int32_t k = 0; k < rootCount; k++) {
    if (!result.isSet(roots[k])) markReachable(references, roots[k], result);
  }
  for (int32_t w = 0; w < result.length; w++) result.words[w] = ~result.words[w];
  markAll(result, set);
}

void findRetainedByObjects(ObjectRefStorage& references, const int32_t* objects, int32_t objectsLength, int32_t from,
                           int32_t to, const int32_t* roots, int32_t rootCount, ObjectMarks result) {
  if (from < 0 || from > to || to > objectsLength) {
    YString text("assertion failed: slice ");
    text.appendLong(from);
    text.append("..");
    text.appendLong(to);
    text.append(" of ");
    text.appendLong(objectsLength);
    text.append(" objects");
    assertionFailed(text.data, source, __LINE__);
  }
  for (int32_t k = from; k < to; k++) checkObject(references, result, objects[k], __LINE__);
  checkRoots(references, roots, rootCount, result);
  for (int32_t k = from; k < to; k++) result.set(objects[k]);
  for (int32_t k = 0; k < rootCount; k++) {
    if (!result.isSet(roots[k])) markReachable(references, roots[k], result);
  }
  for (int32_t w = 0; w < result.length; w++) result.words[w] = ~result.words[w];
  for (int32_t k = from; k < to; k++) result.set(objects[k]);
}
