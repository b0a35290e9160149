#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "agent/recording/JavaObjectMaps.h"

// The object maps by identifier, as the natives use them once an object has one.

namespace {

class JavaObjectMapsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const int64_t map : maps) deleteObjectMap(map);
  }

  int64_t newMap() {
    const int64_t map = createObjectMap();
    EXPECT_NE(map, 0);
    maps.push_back(map);
    return map;
  }

  static int32_t get(int64_t map, int64_t id) {
    int32_t value = -99;
    EXPECT_TRUE(objectMapGet(map, id, value));
    return value;
  }

  static int32_t put(int64_t map, int64_t id, int32_t value, bool conditional = false, int32_t expected = 0) {
    int32_t previous = -99;
    EXPECT_TRUE(objectMapPut(map, id, value, conditional, expected, previous));
    return previous;
  }

  std::vector<int64_t> maps;
};

TEST_F(JavaObjectMapsTest, AValueReadsBackUntilItsRowIsForgottenAndThenLeavesTheMap) {
  const int64_t map = newMap();
  EXPECT_EQ(put(map, 1, 7), 0);
  EXPECT_EQ(get(map, 1), 7);
  EXPECT_EQ(get(map, 2), 0);
  forgetLiveObjectId(7);
  EXPECT_EQ(get(map, 1), 0);
  // The entry went with the read: putting the value again is a fresh start.
  EXPECT_EQ(put(map, 1, 7, true, 0), 0);
  EXPECT_EQ(get(map, 1), 7);
  forgetLiveObjectId(0);
  EXPECT_EQ(get(map, 1), 7);
}

TEST_F(JavaObjectMapsTest, AConditionalPutStoresOnlyOverTheExpectedValue) {
  const int64_t map = newMap();
  EXPECT_EQ(put(map, 5, 11, true, 0), 0);
  EXPECT_EQ(put(map, 5, 12, true, 0), 11);
  EXPECT_EQ(get(map, 5), 11);
  EXPECT_EQ(put(map, 5, 0, true, 11), 11);
  EXPECT_EQ(get(map, 5), 0);
  // A value no longer live counts as none for the comparison.
  EXPECT_EQ(put(map, 6, 13), 0);
  forgetLiveObjectId(13);
  EXPECT_EQ(put(map, 6, 14, true, 0), 0);
  EXPECT_EQ(get(map, 6), 14);
}

TEST_F(JavaObjectMapsTest, ReplacingAValueEndsItInEveryMapButDeletingAMapEndsNoneThatAnotherHolds) {
  const int64_t first = newMap();
  const int64_t second = newMap();
  put(first, 1, 21);
  put(second, 2, 21);
  put(first, 3, 22);
  put(second, 4, 22);
  EXPECT_EQ(put(first, 1, 0), 21);
  EXPECT_EQ(get(second, 2), 0);

  ASSERT_TRUE(deleteObjectMap(first));
  maps.erase(maps.begin());
  EXPECT_EQ(get(second, 4), 22);
  EXPECT_TRUE(isLiveId(22));
  ASSERT_TRUE(deleteObjectMap(second));
  maps.clear();
  EXPECT_FALSE(isLiveId(22));
}

TEST_F(JavaObjectMapsTest, ACollectedObjectLeavesEveryMapAndNegativeValuesAreAlwaysLive) {
  const int64_t first = newMap();
  const int64_t second = newMap();
  put(first, 9, 31);
  put(second, 9, -5);
  forgetLiveObjectId(-5);
  EXPECT_EQ(get(second, 9), -5);
  EXPECT_TRUE(isLiveId(-1));
  removeObjectIdFromMaps(9);
  EXPECT_EQ(get(first, 9), 0);
  EXPECT_EQ(get(second, 9), 0);
}

TEST_F(JavaObjectMapsTest, HandlesThatNameNoMapAreRefusedAndTouchNothing) {
  const int64_t map = newMap();
  put(map, 1, 41);
  const int64_t deleted = createObjectMap();
  ASSERT_TRUE(deleteObjectMap(deleted));
  for (const int64_t handle : {deleted, map + 8, int64_t(1)}) {
    int32_t value = -99;
    EXPECT_FALSE(objectMapGet(handle, 1, value)) << handle;
    EXPECT_EQ(value, 0);
    EXPECT_FALSE(objectMapPut(handle, 1, 42, false, 0, value)) << handle;
    EXPECT_FALSE(deleteObjectMap(handle)) << handle;
  }
  EXPECT_EQ(get(map, 1), 41);
  EXPECT_TRUE(isLiveId(41));
}

}  // namespace
