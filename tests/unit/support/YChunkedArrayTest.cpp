#include <gtest/gtest.h>

#include <algorithm>

#include "agent/support/YChunkedArray.h"
#include "tests/support/FatalErrorOutput.h"

TEST(YChunkedArray, MakesChunksOnlyWhenAskedTo) {
  YChunkedArray array(-1);
  EXPECT_EQ(array.get(1048576, false), nullptr);
  ASSERT_EQ(array.chunks.size, 2);
  EXPECT_EQ(array.chunks[0], nullptr);
  EXPECT_EQ(array.chunks[1], nullptr);

  int32_t* chunk = array.get(1048576, true);
  ASSERT_NE(chunk, nullptr);
  EXPECT_TRUE(std::all_of(chunk, chunk + YChunkedArray::chunkSize, [](int32_t v) { return v == -1; }));
  EXPECT_EQ(array.chunks[1], chunk);
  EXPECT_EQ(array.get(2 * 1048576 - 1, false), chunk);
  EXPECT_EQ(array.get(5, false), nullptr);
  EXPECT_EQ(array.chunks.size, 2);

  YChunkedArray zeros;
  int32_t* first = zeros.get(0, true);
  EXPECT_TRUE(std::all_of(first, first + YChunkedArray::chunkSize, [](int32_t v) { return v == 0; }));
  first[1048575] = 7;
  EXPECT_EQ(zeros.get(1048575, true)[1048575], 7);
}

TEST(YChunkedArray, EveryNegativeIndexIsARangeError) {
  YChunkedArray array;
  struct Case { int32_t index; const char* text; };
  for (const Case& c : {Case{-1, "op=yvector::get -1 0"}, Case{-1048577, "op=yvector::get -2 0"}}) {
    EXPECT_EQ(fatalErrorOf([&] { array.get(c.index, true); }), std::string("error at YVector:5: ") + c.text);
  }
  EXPECT_EQ(array.chunks.size, 0);
}
