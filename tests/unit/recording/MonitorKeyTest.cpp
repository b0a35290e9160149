#include <gtest/gtest.h>

#include "agent/recording/MonitorKey.h"
#include "agent/support/YMap.h"

TEST(MonitorKey, HashesTheFourWordsInFieldOrder) {
  EXPECT_EQ(keyHash(MonitorKey{1, 2, 3, 4}), ((1 * 29 + 2) * 29 + 3) * 29 + 4);
  // Wraps at 32 bits before the sign bit is masked off.
  EXPECT_EQ(keyHash(MonitorKey{-1, 0x7fffffff, INT32_MIN, 123456789}), 123431559);
}

TEST(MonitorKey, KeysAMapByAllFourWords) {
  YMap<MonitorKey, int32_t> rows(1);
  const MonitorKey base{10, 20, 30, 40};
  const MonitorKey variants[] = {base, {11, 20, 30, 40}, {10, 21, 30, 40}, {10, 20, 31, 40}, {10, 20, 30, 41}};
  for (int32_t row = 0; row < 5; row++) rows.put(variants[row], row + 1);
  EXPECT_EQ(rows.count, 5);
  for (int32_t row = 0; row < 5; row++) EXPECT_EQ(rows.get(variants[row]), row + 1);

  EXPECT_EQ(rows.remove(base), 1);
  EXPECT_EQ(rows.get(base), 0);
  EXPECT_EQ(rows.get(variants[4]), 5);
}
