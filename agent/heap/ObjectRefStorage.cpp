#include "agent/heap/ObjectRefStorage.h"

#include "agent/support/FatalError.h"
#include "agent/support/Log.h"
#include "agent/support/YAllocator.h"
#include "agent/support/YString.h"

namespace {

YString suffixed(const char* name, const char* suffix) {
  YString text(name);
  text.append(suffix);
  return text;
}

}  // namespace

ObjectRefStorage::ObjectRefStorage(const char* name, int32_t n, int32_t packLimit)
    : starts(suffixed(name, "-s").data, n), counts(suffixed(name, "-c").data, n), targets(0), next(0),
      packLimit(packLimit) {
  if (packLimit < 0) assertionFailed("assertion failed", "ObjectRefStorage", __LINE__);
  extras.add(nullptr);
}

ObjectRefStorage::~ObjectRefStorage() { extras.freeElements(); }

void ObjectRefStorage::allocate(int32_t i, int32_t count) {
  if (count < 0) assertionFailed("assertion failed", "ObjectRefStorage", __LINE__);
  if (int64_t(next) + count <= packLimit) {
    starts[i] = next;
    counts[i] = count;
    next += count;
    return;
  }
  starts[i] = -extras.size;
  extras.add(nullptr);
  counts[i] = count;
  if (extras.size == 2) logMessage(YString("with extraRefs"));
}

void ObjectRefStorage::setNewRefCount(int32_t i, int32_t count) {
  if (count < 0) assertionFailed("assertion failed", "ObjectRefStorage", __LINE__);
  if (starts[i] < 0) {
    int32_t*& list = extras[-starts[i]];
    freeBlock(list);
    list = nullptr;
  } else {
    // The old packed entries stay in the column unused.
    starts[i] = -extras.size;
    extras.add(nullptr);
  }
  counts[i] = count;
}

int32_t ObjectRefStorage::getRef(int32_t i, int32_t j) {
  const int32_t start = starts[i];
  if (start >= 0) return targets.get(start + j);
  const int32_t* list = extras[-start];
  return list == nullptr ? 0 : list[j];
}

void ObjectRefStorage::setRef(int32_t i, int32_t target, int32_t j) {
  const int32_t start = starts[i];
  int32_t* list = start < 0 ? privateList(i) : nullptr;
  if (!isValidRefIndex(i, j)) assertionFailed("assertion failed", "ObjectRefStorage", __LINE__);
  if (list != nullptr) {
    list[j] = target;
  } else {
    targets.set(start + j, target);  // start + j < next: no overflow
  }
}

// Object i's private array, made on the first reference stored into it.
int32_t* ObjectRefStorage::privateList(int32_t i) {
  const int32_t e = -starts[i];
  extras.growTo(e);
  if (extras.data[e] == nullptr) extras.data[e] = allocZeroed<int32_t>(counts[i]);
  return extras.data[e];
}

RefIterator ObjectRefStorage::getRefIterator(int32_t i) {
  const int32_t count = counts[i];
  const int32_t start = starts[i];
  if (count == 0) return RefIterator(&targets, 0, 0, nullptr);
  if (start >= 0) return RefIterator(&targets, start, start + count, nullptr);
  const int32_t* list = extras[-start];
  if (list == nullptr) return RefIterator(&targets, 0, 0, nullptr);
  return RefIterator(nullptr, 0, count, list);
}
