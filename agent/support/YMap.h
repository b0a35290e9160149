#pragma once

#include <cstdint>
#include <type_traits>

#include "agent/support/FatalError.h"
#include "agent/support/PrimeTable.h"
#include "agent/support/YAllocator.h"
#include "agent/support/YHash.h"

// Open-addressing hash map over parallel key, value and state arrays, probed by double hashing.
// Keys and values are plain data copied as bytes; a text key is kept as the pointer given, so the text
// must stay unchanged while it is a key. Owners that walk the map visit the slots in ascending order
// and take those in state kSlotUsed. Not synchronised: shared maps are guarded by their owner's lock.
template <class K, class V>
class YMap {
  static_assert(std::is_trivially_copyable<K>::value && std::is_trivially_copyable<V>::value,
                "YMap copies keys and values as bytes");

 public:
  int32_t requested;  // the capacity asked for; init() rebuilds from it
  int32_t capacity;   // number of slots, always a table prime
  K* keys;
  V* values;
  uint8_t* states;    // a SlotState per slot
  int32_t count;      // used slots
  int32_t freeSlots;  // free slots; deleted slots do not come back as free until a rehash
  int32_t maxFill;    // the largest count before the map grows

  explicit YMap(int32_t requestedCapacity = 10)
      : requested(requestedCapacity), capacity(0), keys(nullptr), values(nullptr), states(nullptr),
        count(0), freeSlots(0), maxFill(0) {
    init();
  }

  YMap(const YMap&) = delete;
  YMap& operator=(const YMap&) = delete;

  // Keys and values that point elsewhere are left alone.
  ~YMap() { release({keys, values, states}); }

  // Empties the map into fresh storage of the requested capacity, releasing any it holds.
  void init() {
    if (requested < 1) assertionFailed("assertion failed", "YMap", 184);
    release(installSlots(primeCapacityFor(requested)));
    count = 0;
    setCapacityLimits(capacity);
  }

  void setCapacityLimits(int32_t newCapacity) {
    if (newCapacity < 1) assertionFailed("assertion failed", "YMap", 334);
    freeSlots = newCapacity - count;
    maxFill = maxFillFor(newCapacity);
  }

  // The complement of the slot holding the key, or the slot where it would be stored.
  int32_t findInsertSlot(const K& key) const { return findKeyInsertSlot(keys, states, capacity, key); }

  // The slot holding the key, or -1.
  int32_t indexOf(const K& key) const { return findKeySlot(keys, states, capacity, key); }

  // The key's value, or zero when it is absent.
  V get(const K& key) const {
    int32_t slot = indexOf(key);
    return slot < 0 ? V() : values[slot];
  }

  void put(const K& key, const V& value) {
    int32_t slot = findInsertSlot(key);
    if (slot < 0) {
      values[~slot] = value;
      return;
    }
    insertAt(slot, key, value);
  }

  // Stores an absent key at the slot that findInsertSlot gave for it, the map unchanged since: put
  // without a second walk, for owners that look a key up and make its value only when it is missing.
  void insertAt(int32_t slot, const K& key, const V& value) {
    if (slot < 0 || slot >= capacity || states[slot] == kSlotUsed) assertionFailed("assertion failed", "YMap", __LINE__);
    checkRoomForNewKey(capacity, count, maxFill, "YMap");
    keys[slot] = key;
    values[slot] = value;
    if (states[slot] == kSlotFree) freeSlots--;
    states[slot] = kSlotUsed;
    count++;
    if (int32_t newCapacity = capacityAfterInsert(capacity, count, maxFill, freeSlots)) rehash(newCapacity);
  }

  // The removed value, or zero when the key is absent. The slot becomes deleted and stays so until a
  // rehash.
  V remove(const K& key) {
    int32_t slot = indexOf(key);
    if (slot < 0) return V();
    V value = values[slot];
    states[slot] = kSlotDeleted;
    keys[slot] = K();
    count--;
    return value;
  }

  // Rebuilds the map at the first table prime not below newCapacity (and above count), dropping the
  // deleted slots. Old slots are placed from the highest index down.
  void rehash(int32_t newCapacity) {
    int32_t oldCapacity = capacity;
    SlotArrays old = installSlots(primeCapacityFor(newCapacity > count ? newCapacity : count + 1));
    for (int32_t oldSlot = oldCapacity - 1; oldSlot >= 0; oldSlot--) {
      if (old.states[oldSlot] != kSlotUsed) continue;
      int32_t slot = findFreeSlot(states, capacity, old.keys[oldSlot]);
      keys[slot] = old.keys[oldSlot];
      values[slot] = old.values[oldSlot];
      states[slot] = kSlotUsed;
    }
    release(old);
    setCapacityLimits(capacity);
  }

  // For maps that own their values: deletes every non-null value of a used slot, then frees the
  // arrays. The map holds no storage afterwards until init().
  void deleteValues() {
    static_assert(std::is_pointer<V>::value, "deleteValues needs pointer values");
    for (int32_t slot = 0; slot < capacity; slot++) {
      if (states[slot] == kSlotUsed && values[slot] != nullptr) delete values[slot];
    }
    release({keys, values, states});
    keys = nullptr;
    values = nullptr;
    states = nullptr;
    count = 0;
  }

 private:
  struct SlotArrays {
    K* keys;
    V* values;
    uint8_t* states;
  };

  // Puts zeroed arrays of newCapacity slots in place and hands back the previous ones. When an
  // allocation fails the map is left as it was.
  SlotArrays installSlots(int32_t newCapacity) {
    SlotArrays fresh{allocZeroed<K>(newCapacity), nullptr, nullptr};
    try {
      fresh.values = allocZeroed<V>(newCapacity);
      fresh.states = allocZeroed<uint8_t>(newCapacity);
    } catch (...) {
      release(fresh);
      throw;
    }
    SlotArrays previous{keys, values, states};
    keys = fresh.keys;
    values = fresh.values;
    states = fresh.states;
    capacity = newCapacity;
    return previous;
  }

  static void release(const SlotArrays& arrays) {
    freeBlock(arrays.keys);
    freeBlock(arrays.values);
    freeBlock(arrays.states);
  }
};
