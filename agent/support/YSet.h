#pragma once

#include <cstdint>
#include <type_traits>

#include "agent/support/FatalError.h"
#include "agent/support/PrimeTable.h"
#include "agent/support/YAllocator.h"
#include "agent/support/YHash.h"

// Open-addressing hash set of integer keys, probed by double hashing like YMap. The key 0 is reserved:
// asking for it is an assertion failure, and callers never add it. Not synchronised.
template <class K>
class YSet {
  static_assert(std::is_integral<K>::value, "YSet holds integer keys");

 public:
  int32_t requested;  // the capacity asked for; init() rebuilds from it
  int32_t capacity;   // number of slots, always a table prime
  K* keys;
  uint8_t* states;    // a SlotState per slot
  int32_t count;      // used slots
  int32_t freeSlots;  // free slots; deleted slots do not come back as free until a rehash
  int32_t maxFill;    // the largest count before the set grows

  explicit YSet(int32_t requestedCapacity = 10)
      : requested(requestedCapacity), capacity(0), keys(nullptr), states(nullptr), count(0), freeSlots(0),
        maxFill(0) {
    init();
  }

  YSet(const YSet&) = delete;
  YSet& operator=(const YSet&) = delete;

  ~YSet() { release({keys, states}); }

  // Empties the set into fresh storage of the requested capacity, releasing any it holds.
  void init() {
    if (requested < 1) assertionFailed("assertion failed", "YSet", 174);
    release(installSlots(primeCapacityFor(requested)));
    count = 0;
    setCapacityLimits(capacity);
  }

  void setCapacityLimits(int32_t newCapacity) {
    if (newCapacity < 1) assertionFailed("assertion failed", "YSet", 313);
    freeSlots = newCapacity - count;
    maxFill = maxFillFor(newCapacity);
  }

  // The complement of the slot holding the key, or the slot where it would be stored.
  int32_t findInsertSlot(K key) const { return findKeyInsertSlot(keys, states, capacity, key); }

  // The slot holding the key, or -1.
  int32_t indexOf(K key) const {
    if (key == 0) assertionFailed("assertion failed", "YSet", 232);
    return findKeySlot(keys, states, capacity, key);
  }

  bool contains(K key) const {
    if (count == 0) return false;
    if (key == 0) assertionFailed("assertion failed", "YSet", 20);
    return findKeySlot(keys, states, capacity, key) >= 0;
  }

  // False when the key was already held.
  bool add(K key) {
    int32_t slot = findInsertSlot(key);
    if (slot < 0) return false;
    checkRoomForNewKey(capacity, count, maxFill, "YSet");
    keys[slot] = key;
    if (states[slot] == kSlotFree) freeSlots--;
    states[slot] = kSlotUsed;
    count++;
    if (int32_t newCapacity = capacityAfterInsert(capacity, count, maxFill, freeSlots)) rehash(newCapacity);
    return true;
  }

  // False when the key was absent. The slot becomes deleted and stays so until a rehash.
  bool remove(K key) {
    int32_t slot = indexOf(key);
    if (slot < 0) return false;
    states[slot] = kSlotDeleted;
    keys[slot] = 0;
    count--;
    return true;
  }

  // Rebuilds the set at the first table prime not below newCapacity (and above count), dropping the
  // deleted slots. Old slots are placed from the highest index down.
  void rehash(int32_t newCapacity) {
    int32_t oldCapacity = capacity;
    SlotArrays old = installSlots(primeCapacityFor(newCapacity > count ? newCapacity : count + 1));
    for (int32_t oldSlot = oldCapacity - 1; oldSlot >= 0; oldSlot--) {
      if (old.states[oldSlot] != kSlotUsed) continue;
      int32_t slot = findFreeSlot(states, capacity, old.keys[oldSlot]);
      keys[slot] = old.keys[oldSlot];
      states[slot] = kSlotUsed;
    }
    release(old);
    setCapacityLimits(capacity);
  }

 private:
  struct SlotArrays {
    K* keys;
    uint8_t* states;
  };

  // Puts zeroed arrays of newCapacity slots in place and hands back the previous ones. When an
  // allocation fails the set is left as it was.
  SlotArrays installSlots(int32_t newCapacity) {
    SlotArrays fresh{allocZeroed<K>(newCapacity), nullptr};
    try {
      fresh.states = allocZeroed<uint8_t>(newCapacity);
    } catch (...) {
      release(fresh);
      throw;
    }
    SlotArrays previous{keys, states};
    keys = fresh.keys;
    states = fresh.states;
    capacity = newCapacity;
    return previous;
  }

  static void release(const SlotArrays& arrays) {
    freeBlock(arrays.keys);
    freeBlock(arrays.states);
  }
};
