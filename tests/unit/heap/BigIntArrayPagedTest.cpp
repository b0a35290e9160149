#include <gtest/gtest.h>

#include <cstdint>

#include "agent/heap/BigIntArrayPaged.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/unit/heap/HeapLogText.h"

namespace {
constexpr int32_t chunk = BigIntArrayPaged::chunkSize;
}

TEST(BigIntArrayPaged, ChunksAreMadeByWritesAndStartWithTheDefault) {
  BigIntArrayPaged column(-1);
  EXPECT_EQ(column.get(0), -1);
  EXPECT_EQ(column.get(5 * chunk + 3), -1);
  EXPECT_EQ(column.chunkCount(), 0);

  column.set(chunk + 3, 7);
  EXPECT_EQ(column.chunkCount(), 1);
  EXPECT_EQ(column.get(chunk + 3), 7);
  EXPECT_EQ(column.get(chunk + 4), -1);  // a neighbour in the new chunk reads the default, not 0
  EXPECT_EQ(column.get(chunk), -1);
  EXPECT_EQ(column.get(2 * chunk - 1), -1);
  EXPECT_EQ(column.get(chunk - 1), -1);

  column.set(2 * chunk - 1, 0);
  column.set(2 * chunk, 9);
  EXPECT_EQ(column.get(2 * chunk - 1), 0);
  EXPECT_EQ(column.get(2 * chunk), 9);
  EXPECT_EQ(column.chunkCount(), 2);
}

TEST(BigIntArrayPaged, WritingTheDefaultWhereNoChunkExistsMakesNone) {
  BigIntArrayPaged column(-1);
  column.set(10, -1);
  EXPECT_EQ(column.chunkCount(), 0);
  EXPECT_EQ(column.get(10), -1);
  column.set(10, 4);
  column.set(10, -1);  // in an existing chunk the default is written like any value
  EXPECT_EQ(column.get(10), -1);
}

TEST(BigIntArrayPaged, NegativeIndicesFail) {
  BigIntArrayPaged column(0);
  EXPECT_TRUE(isAssertionIn(fatalErrorOf([&] { column.set(-1, 1); }), "BigIntArrayPaged"));
  EXPECT_EQ(fatalErrorOf([&] { column.get(-1); }), "error at YVector:5: op=yvector::get -1 0");
  EXPECT_EQ(column.chunkCount(), 0);
}

TEST(BigLongArrayPaged, ValuesRoundTripThroughBothHalves) {
  BigLongArrayPaged column;
  const int64_t values[] = {0, 1, -1, INT64_MIN, INT64_MAX, int64_t(1) << 32, 0xFFFFFFFFLL, 0x80000000LL,
                            -0x80000000LL, 0x123456789ABCDEFLL};
  int32_t index = 1;
  for (int64_t value : values) column.set(index++, value);
  index = 1;
  for (int64_t value : values) EXPECT_EQ(column.get(index++), value) << value;
  EXPECT_EQ(column.get(index), 0);
  EXPECT_EQ(column.get(3 * chunk), 0);
}

TEST(BigLongArrayPaged, ASmallValueReplacesBothHalvesOfALargeOne) {
  BigLongArrayPaged column;
  column.set(chunk + 2, 5);
  EXPECT_EQ(column.high.chunkCount(), 0);  // values below 2^31 cost one column
  column.set(chunk + 2, (int64_t(3) << 32) | 8);
  column.set(chunk + 2, 7);
  EXPECT_EQ(column.get(chunk + 2), 7);
}
