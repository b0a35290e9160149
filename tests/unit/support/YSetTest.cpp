#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_set>

#include "agent/support/YSet.h"
#include "tests/support/FatalErrorOutput.h"

namespace {

}  // namespace

TEST(YSet, ReservesTheKeyZero) {
  YSet<int32_t> set;
  EXPECT_FALSE(set.contains(0));  // an empty set answers without looking at the key
  set.add(5);
  EXPECT_EQ(fatalErrorOf([&] { set.contains(0); }), "error at YSet:20: assertion failed");
  EXPECT_EQ(fatalErrorOf([&] { set.indexOf(0); }), "error at YSet:232: assertion failed");
  EXPECT_EQ(fatalErrorOf([&] { set.remove(0); }), "error at YSet:232: assertion failed");
  EXPECT_EQ(fatalErrorOf([] { YSet<int64_t> bad(0); }), "error at YSet:174: assertion failed");
  EXPECT_EQ(fatalErrorOf([&] { set.setCapacityLimits(0); }), "error at YSet:313: assertion failed");
}

TEST(YSet, AddsRemovesAndGrowsLikeTheMap) {
  YSet<int32_t> set(1);
  EXPECT_EQ(set.capacity, 3);
  EXPECT_TRUE(set.add(1));
  EXPECT_FALSE(set.add(1));
  EXPECT_EQ(set.count, 1);
  EXPECT_EQ(set.freeSlots, 2);
  set.add(2);
  EXPECT_EQ(set.capacity, 7);
  for (int32_t key = 3; key <= 5; key++) set.add(key);
  EXPECT_EQ(set.capacity, 17);

  int32_t slot = set.indexOf(3);
  EXPECT_TRUE(set.remove(3));
  EXPECT_FALSE(set.remove(3));
  EXPECT_EQ(set.states[slot], kSlotDeleted);
  EXPECT_FALSE(set.contains(3));
  EXPECT_TRUE(set.contains(4));
  EXPECT_EQ(set.count, 4);
  EXPECT_EQ(set.freeSlots, 12);
}

TEST(YSet, AgreesWithUnorderedSetUnderRandomAddsAndRemoves) {
  YSet<int64_t> set(1);
  std::unordered_set<int64_t> model;
  std::mt19937 random(777);
  for (int32_t operation = 0; operation < 200000; operation++) {
    // 1 to 2000, every other key moved to the high half so that high XOR low collides often.
    int64_t key = static_cast<int64_t>(random() % 2000) + 1;
    if (key % 2 == 0) key <<= 32;
    uint32_t putPercent = (operation / 25000) % 2 == 0 ? 70 : 30;
    uint32_t dice = random() % 100;
    if (dice < putPercent) {
      ASSERT_EQ(set.add(key), model.insert(key).second) << "operation " << operation;
    } else if (dice < 95) {
      ASSERT_EQ(set.remove(key), model.erase(key) == 1) << "operation " << operation;
    } else {
      ASSERT_EQ(set.contains(key), model.count(key) == 1) << "operation " << operation;
    }
    ASSERT_EQ(set.count, static_cast<int32_t>(model.size()));
  }
  int32_t used = 0;
  for (int32_t slot = 0; slot < set.capacity; slot++) {
    if (set.states[slot] != kSlotUsed) continue;
    used++;
    EXPECT_EQ(model.count(set.keys[slot]), 1u);
  }
  EXPECT_EQ(used, set.count);
  EXPECT_GT(set.freeSlots, 0);
}
