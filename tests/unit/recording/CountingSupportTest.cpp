#include <gtest/gtest.h>

#include <cstdint>

#include "agent/db/DB.h"
#include "agent/recording/CountingSupport.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/TestDatabase.h"

TEST(CountingSupport, CountersLieInChunksMadeWhenFirstAskedFor) {
  CounterSet counters;
  uint64_t* far = getCountingSlot(40960, counters);
  ASSERT_EQ(counters.size, 11);
  for (int32_t chunk = 0; chunk < 10; chunk++) EXPECT_EQ(counters.data[chunk], nullptr) << chunk;
  EXPECT_EQ(far, counters.data[10]);

  uint64_t* last = getCountingSlot(4095, counters);
  uint64_t* next = getCountingSlot(4096, counters);
  EXPECT_EQ(last, counters.data[0] + 4095);
  EXPECT_EQ(next, counters.data[1]);
  // The stripes of a counter are 32768 bytes apart, all zero at first; addresses never move.
  const int32_t stripes = getCounterStripeCount();
  EXPECT_EQ(stripes, 8);
  for (int32_t stripe = 0; stripe < stripes; stripe++) EXPECT_EQ(last[stripe * 4096], 0u);
  *last = 3;
  EXPECT_EQ(getCountingSlot(4095, counters), last);
  EXPECT_EQ(*getCountingSlot(4095, counters), 3u);

  EXPECT_EQ(fatalErrorOf([&] { getCountingSlot(-1, counters); }).rfind("error at YVector:", 0), 0u);
  // The process's own sets keep their chunks for good; this one is the test's.
  for (int32_t chunk = 0; chunk < counters.size; chunk++) delete[] counters.data[chunk];
}

TEST(CountingSupport, AnAllocationPointGetsOneStampedRow) {
  {
    TestDatabase database;
    YCriticalSectionLock held(&ourLock(), "Test:1");
    database->currentStamp = 4;
    const int32_t row = getAllocPointRow(int32_t(0xC0000000u | 3u << 19 | 9u), 21);
    EXPECT_EQ(getAllocPointRow(int32_t(0xC0000000u | 3u << 19 | 9u), 21), row);
    EXPECT_NE(getAllocPointRow(int32_t(0xC0000000u | 3u << 19 | 9u), 22), row);
    const AllocPointRecord& point = *database->allocPoints.getRow(row, false);
    EXPECT_EQ(point.stamp, 4);
    EXPECT_EQ(point.codePointKey, int32_t(0xC0000000u | 3u << 19 | 9u));
    EXPECT_EQ(point.classId, 21);
  }
  // A database made anew gets rows of its own.
  TestDatabase fresh;
  YCriticalSectionLock held(&ourLock(), "Test:1");
  const int32_t row = getAllocPointRow(int32_t(0xC0000000u | 3u << 19 | 9u), 22);
  EXPECT_EQ(fresh->allocPoints.getRow(row, false)->classId, 22);
}

TEST(CountingSupportWithoutDatabase, AnAllocationPointIsFatal) {
  EXPECT_EQ(fatalErrorOf([] { getAllocPointRow(1, 1); }), "error at DB:60: db is NULL");
}
