#pragma once

#include <cstdint>
#include <cstring>

#include "agent/support/FatalError.h"
#include "agent/support/PrimeTable.h"

// Key hashing, the probe walk and the growth rule shared by YMap and YSet.
//
// keyHash gives a 31-bit hash and keysEqual the key equality. Other key types (MonitorKey) declare
// their own overloads next to the type, where the tables find them by argument-dependent lookup.
// Arithmetic is done unsigned so that it wraps at 32 bits without overflowing.

inline int32_t keyHash(int32_t key) { return key & 0x7fffffff; }

// High half XOR low half.
inline int32_t keyHash(int64_t key) {
  uint64_t bits = static_cast<uint64_t>(key);
  return static_cast<int32_t>((static_cast<uint32_t>(bits >> 32) ^ static_cast<uint32_t>(bits)) & 0x7fffffff);
}

// s = 31 * s + byte over the text, each byte taken as signed. The text must not be null.
inline int32_t keyHash(const char* key) {
  uint32_t sum = 0;
  for (const char* byte = key; *byte != '\0'; byte++) {
    sum = 31 * sum + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*byte)));
  }
  return static_cast<int32_t>(sum & 0x7fffffff);
}

inline bool keysEqual(int32_t a, int32_t b) { return a == b; }
inline bool keysEqual(int64_t a, int64_t b) { return a == b; }
inline bool keysEqual(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

enum SlotState : uint8_t { kSlotFree = 0, kSlotUsed = 1, kSlotDeleted = 2 };

// Double hashing over a prime capacity c: the home slot is h mod c, and each further probe goes down
// by (h mod (c - 2)) + 1 with wrap-around. As c is prime, the walk visits every slot.
class ProbeWalk {
 public:
  ProbeWalk(int32_t hash, int32_t capacity)
      : slot(hash % capacity), step(hash % (capacity - 2) + 1), capacity(capacity) {}

  void next() {
    slot -= step;
    if (slot < 0) slot += capacity;
  }

  int32_t slot;

 private:
  int32_t step;
  int32_t capacity;
};

// The walks below end at a free slot; the tables always keep at least one.

// The slot holding the key, or -1.
template <class K>
int32_t findKeySlot(const K* keys, const uint8_t* states, int32_t capacity, const K& key) {
  for (ProbeWalk walk(keyHash(key), capacity);; walk.next()) {
    uint8_t state = states[walk.slot];
    if (state == kSlotFree) return -1;
    if (state == kSlotUsed && keysEqual(keys[walk.slot], key)) return walk.slot;
  }
}

// The complement of the slot holding the key, or else the slot for storing it: the first deleted slot
// after the home slot (a deleted home slot is passed over), else the free slot that ends the walk.
template <class K>
int32_t findKeyInsertSlot(const K* keys, const uint8_t* states, int32_t capacity, const K& key) {
  ProbeWalk walk(keyHash(key), capacity);
  int32_t deletedSlot = -1;
  uint8_t state = states[walk.slot];
  if (state == kSlotFree) return walk.slot;
  if (state == kSlotUsed && keysEqual(keys[walk.slot], key)) return ~walk.slot;
  for (;;) {
    walk.next();
    state = states[walk.slot];
    if (state == kSlotFree) return deletedSlot >= 0 ? deletedSlot : walk.slot;
    if (state == kSlotUsed) {
      if (keysEqual(keys[walk.slot], key)) return ~walk.slot;
    } else if (deletedSlot < 0) {
      deletedSlot = walk.slot;
    }
  }
}

// The first free slot of the key's walk; used to refill a table that has no deleted slots and does not
// hold the key, where it is the slot findKeyInsertSlot would give.
template <class K>
int32_t findFreeSlot(const uint8_t* states, int32_t capacity, const K& key) {
  ProbeWalk walk(keyHash(key), capacity);
  while (states[walk.slot] != kSlotFree) walk.next();
  return walk.slot;
}

// Before a new key goes in: growth stops at the largest prime, which then takes no keys past its fill
// limit, so that a free slot always ends the walks. `table` is "YMap" or "YSet" for the message.
inline void checkRoomForNewKey(int32_t capacity, int32_t count, int32_t maxFill, const char* table) {
  if (count == maxFill && capacity == kLargestTablePrime) assertionFailed("assertion failed", table, 234);
}

// After a new key went in: the capacity to rehash to, or 0 when the table stays as it is. A table over
// its fill limit grows; one whose free slots were all taken by deleted ones is rebuilt at its size, so
// that steady churn does not grow it.
inline int32_t capacityAfterInsert(int32_t capacity, int32_t count, int32_t maxFill, int32_t freeSlots) {
  if (count > maxFill) return grownCapacity(capacity);
  return freeSlots == 0 ? capacity : 0;
}
