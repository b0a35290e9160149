#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "agent/support/YMap.h"
#include "tests/support/FatalErrorOutput.h"

namespace {

using IntMap = YMap<int32_t, int32_t>;

template <class K, class V>
void expectConsistent(const YMap<K, V>& map) {
  int32_t used = 0;
  int32_t free = 0;
  for (int32_t slot = 0; slot < map.capacity; slot++) {
    used += map.states[slot] == kSlotUsed;
    free += map.states[slot] == kSlotFree;
  }
  EXPECT_GE(findPrimeCapacityIndex(map.capacity), 0);
  EXPECT_EQ(map.count, used);
  EXPECT_EQ(map.freeSlots, free);
  EXPECT_GT(map.freeSlots, 0);
  EXPECT_LE(map.count, map.maxFill);
}

std::vector<int32_t> capacitiesWhilePutting(IntMap& map, int32_t keys) {
  std::vector<int32_t> capacities;
  for (int32_t key = 1; key <= keys; key++) {
    map.put(key, key);
    capacities.push_back(map.capacity);
  }
  return capacities;
}

}  // namespace

TEST(YHash, HashesEachKeyTypeTo31Bits) {
  struct TextCase {
    const char* text;
    int32_t hash;
  };
  for (TextCase c : {TextCase{"", 0}, TextCase{"a", 97}, TextCase{"ab", 3105},
                     TextCase{"\x80", 0x7fffff80},  // -128 masked
                     TextCase{"a\xff", 31 * 97 - 1},
                     TextCase{"polygenelubricants", 0}}) {  // wraps to exactly 0x80000000
    EXPECT_EQ(keyHash(c.text), c.hash) << c.text;
  }

  struct WideCase {
    int64_t key;
    int32_t hash;
  };
  for (WideCase c : {WideCase{(int64_t{1} << 32) + 1, 0}, WideCase{-1, 0}, WideCase{-2, 1},
                     WideCase{0x123456789, 0x23456788}, WideCase{0x7fffffff, 0x7fffffff}}) {
    EXPECT_EQ(keyHash(c.key), c.hash) << c.key;
  }

  EXPECT_EQ(keyHash(int32_t{-1}), 0x7fffffff);
  EXPECT_EQ(keyHash(INT32_MIN), 0);
  EXPECT_EQ(keyHash(int32_t{12345}), 12345);
}

TEST(YMap, TakesTheFirstTablePrimeNotBelowTheRequest) {
  struct Case {
    int32_t requested;
    int32_t capacity;
    int32_t maxFill;
  };
  for (Case c : {Case{1, 3, 1}, Case{10, 11, 6}, Case{11, 11, 6}, Case{12, 17, 10}, Case{1024, 1039, 623}}) {
    IntMap map(c.requested);
    EXPECT_EQ(map.capacity, c.capacity) << c.requested;
    EXPECT_EQ(map.maxFill, c.maxFill) << c.requested;
    EXPECT_EQ(map.freeSlots, c.capacity);
    EXPECT_EQ(map.count, 0);
  }
  IntMap byDefault;
  EXPECT_EQ(byDefault.requested, 10);
  EXPECT_EQ(byDefault.capacity, 11);

  EXPECT_EQ(fatalErrorOf([] { IntMap map(0); }), "error at YMap:184: assertion failed");
  EXPECT_EQ(fatalErrorOf([&] { byDefault.setCapacityLimits(0); }), "error at YMap:334: assertion failed");
}

TEST(YMap, GrowsToTheFirstPrimeAtLeastTwiceTheCapacity) {
  IntMap fromOne(1);
  EXPECT_EQ(capacitiesWhilePutting(fromOne, 5), (std::vector<int32_t>{3, 7, 7, 7, 17}));
  EXPECT_EQ(fromOne.maxFill, 10);

  IntMap fromTen(10);
  EXPECT_EQ(capacitiesWhilePutting(fromTen, 7), (std::vector<int32_t>{11, 11, 11, 11, 11, 11, 23}));
  for (int32_t key = 1; key <= 7; key++) EXPECT_EQ(fromTen.get(key), key);
  expectConsistent(fromTen);
}

TEST(YMap, PutReplacesRemoveLeavesADeletedSlotInitEmpties) {
  IntMap map;
  map.put(5, 50);
  map.put(6, 60);
  map.put(5, 55);
  EXPECT_EQ(map.get(5), 55);
  EXPECT_EQ(map.count, 2);
  EXPECT_EQ(map.freeSlots, 9);
  EXPECT_EQ(map.findInsertSlot(5), ~map.indexOf(5));

  int32_t slot = map.indexOf(5);
  EXPECT_EQ(map.remove(5), 55);
  EXPECT_EQ(map.states[slot], kSlotDeleted);
  EXPECT_EQ(map.keys[slot], 0);
  EXPECT_EQ(map.get(5), 0);
  EXPECT_EQ(map.indexOf(5), -1);
  EXPECT_EQ(map.remove(5), 0);
  EXPECT_EQ(map.count, 1);
  EXPECT_EQ(map.freeSlots, 9);
  EXPECT_EQ(map.get(6), 60);

  map.init();  // empties the map into fresh arrays; the sanitizer build checks the old ones are freed
  EXPECT_EQ(map.count, 0);
  EXPECT_EQ(map.freeSlots, 11);
  EXPECT_EQ(map.get(6), 0);
}

// In 11 slots the keys 0 and 10 have the home slots 0 and 10, and key 0 steps down by 1, so its second
// probe is slot 10.
TEST(YMap, ReinsertionPassesOverTheDeletedHomeSlot) {
  IntMap nextFree;
  nextFree.put(0, 1);
  nextFree.remove(0);
  nextFree.put(0, 2);
  EXPECT_EQ(nextFree.indexOf(0), 10);
  EXPECT_EQ(nextFree.freeSlots, 9);  // the slot taken was free

  IntMap nextDeleted;
  nextDeleted.put(0, 1);
  nextDeleted.put(10, 1);
  nextDeleted.remove(10);
  nextDeleted.remove(0);
  EXPECT_EQ(nextDeleted.freeSlots, 9);
  nextDeleted.put(0, 2);
  EXPECT_EQ(nextDeleted.indexOf(0), 10);
  EXPECT_EQ(nextDeleted.freeSlots, 9);  // the slot taken was deleted
  EXPECT_EQ(nextDeleted.get(0), 2);
  EXPECT_EQ(nextDeleted.get(10), 0);

  // A key found beyond a deleted slot is replaced where it is, not duplicated into the deleted slot.
  IntMap beyondDeleted;
  beyondDeleted.put(10, 1);
  beyondDeleted.put(6, 1);
  beyondDeleted.put(21, 1);  // home 10, step 4: past 6 to slot 2
  beyondDeleted.remove(6);
  beyondDeleted.put(21, 2);
  EXPECT_EQ(beyondDeleted.indexOf(21), 2);
  EXPECT_EQ(beyondDeleted.count, 2);
  EXPECT_EQ(beyondDeleted.remove(21), 2);
  EXPECT_EQ(beyondDeleted.get(21), 0);
}

// Growing from 3 to 7 slots: 14 (old slot 2) is placed first and takes its home slot 0; 7 (old slot 1)
// then steps from 0 by 3 to slot 4. Owners iterating the table see this order.
TEST(YMap, RehashPlacesTheOldSlotsFromTheHighestDown) {
  IntMap map(1);
  map.put(7, 70);
  map.put(14, 140);
  ASSERT_EQ(map.capacity, 7);
  EXPECT_EQ(map.keys[0], 14);
  EXPECT_EQ(map.keys[4], 7);
  EXPECT_EQ(map.values[4], 70);
}

// Distinct keys put and removed in turn fill the free slots with deleted ones; rehashing in place
// clears them without growing a map whose count stays small.
TEST(YMap, SteadyChurnKeepsTheCapacity) {
  IntMap map;
  for (int32_t key = 1; key <= 100000; key++) {
    map.put(key, key);
    if (key > 3) map.remove(key - 3);
  }
  EXPECT_EQ(map.capacity, 11);
  EXPECT_EQ(map.count, 3);
  for (int32_t key = 99998; key <= 100000; key++) EXPECT_EQ(map.get(key), key);
  expectConsistent(map);
}

TEST(YMap, KeepsTextKeysByPointer) {
  char thread[] = "main";
  std::string sameText = "main";
  YMap<const char*, int32_t> map;
  map.put(thread, 7);
  EXPECT_EQ(map.get(sameText.c_str()), 7);
  EXPECT_EQ(map.keys[map.indexOf(sameText.c_str())], thread);
  map.put(sameText.c_str(), 8);  // replaces the value, keeps the first pointer
  EXPECT_EQ(map.count, 1);
  EXPECT_EQ(map.keys[map.indexOf(thread)], thread);
  EXPECT_EQ(map.get("mai"), 0);
}

namespace {

struct Owned {
  explicit Owned(int32_t* deletions) : deletions(deletions) {}
  virtual ~Owned() { (*deletions)++; }
  int32_t* deletions;
};

}  // namespace

TEST(YMap, DeleteValuesDeletesTheHeldValuesAndInitStartsAfresh) {
  int32_t deletions = 0;
  YMap<int32_t, Owned*> map(1);
  for (int32_t key = 1; key <= 4; key++) map.put(key, new Owned(&deletions));
  map.put(5, nullptr);
  delete map.remove(2);
  ASSERT_EQ(deletions, 1);

  map.deleteValues();
  EXPECT_EQ(deletions, 4);
  EXPECT_EQ(map.keys, nullptr);
  EXPECT_EQ(map.states, nullptr);

  map.init();
  EXPECT_EQ(map.capacity, 3);
  EXPECT_EQ(map.count, 0);
  EXPECT_EQ(map.get(1), nullptr);
  map.put(1, nullptr);
  EXPECT_EQ(map.count, 1);
}

namespace {

// Random puts, removes and gets over keyCount distinct keys, checked against std::unordered_map. The
// keys are chosen so that many share a hash; lookups use keyFor(index, true), which for text keys is
// another pointer to an equal text.
template <class K>
void compareWithUnorderedMap(const std::function<K(int32_t index, bool lookup)>& keyFor, int32_t keyCount) {
  YMap<K, int32_t> map(1);
  std::unordered_map<int32_t, int32_t> model;
  std::mt19937 random(12345);
  for (int32_t operation = 0; operation < 200000; operation++) {
    int32_t index = static_cast<int32_t>(random() % keyCount);
    // Phases that mostly fill, then mostly empty, then churn.
    uint32_t putPercent = (operation / 25000) % 3 == 0 ? 70 : (operation / 25000) % 3 == 1 ? 30 : 50;
    uint32_t dice = random() % 100;
    if (dice < putPercent) {
      int32_t value = static_cast<int32_t>(random() % 1000000) + 1;
      map.put(keyFor(index, false), value);
      model[index] = value;
    } else if (dice < 95) {
      auto found = model.find(index);
      int32_t expected = found == model.end() ? 0 : found->second;
      if (found != model.end()) model.erase(found);
      ASSERT_EQ(map.remove(keyFor(index, true)), expected) << "operation " << operation;
    } else {
      auto found = model.find(index);
      ASSERT_EQ(map.get(keyFor(index, true)), found == model.end() ? 0 : found->second) << "operation " << operation;
    }
    ASSERT_EQ(map.count, static_cast<int32_t>(model.size()));
    if (operation % 5000 == 0) expectConsistent(map);
  }
  for (int32_t index = 0; index < keyCount; index++) {
    auto found = model.find(index);
    EXPECT_EQ(map.get(keyFor(index, true)), found == model.end() ? 0 : found->second) << index;
  }
  expectConsistent(map);
}

}  // namespace

TEST(YMap, AgreesWithUnorderedMapUnderRandomPutsAndRemoves) {
  // k and k | 0x80000000 share a hash.
  compareWithUnorderedMap<int32_t>(
      [](int32_t index, bool) {
        return static_cast<int32_t>(static_cast<uint32_t>(index >> 1) | static_cast<uint32_t>(index & 1) << 31);
      },
      3000);

  // High XOR low repeats every 64 keys or so; every third key is negative.
  compareWithUnorderedMap<int64_t>(
      [](int32_t index, bool) {
        int64_t key = (int64_t{index & 63} << 32) | (index >> 6);
        return index % 3 == 0 ? -key : key;
      },
      3000);

  std::vector<std::string> stored;
  std::vector<std::string> lookedUp;
  for (int32_t index = 0; index < 3000; index++) {
    stored.push_back("key" + std::to_string(index));
    lookedUp.push_back(stored.back());
  }
  compareWithUnorderedMap<const char*>(
      [&](int32_t index, bool lookup) { return (lookup ? lookedUp : stored)[index].c_str(); }, 3000);
}
