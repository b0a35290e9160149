#include <gtest/gtest.h>

#include <cstdint>

#include "agent/natives/AttachRetransformation.h"

namespace {

// The batch size of the retransformation of the classes loaded before an attach, from the class count
// and the hidden options "_on_attach_retransform_batch_size" and "_on_attach_retransform_batch_count"
// (0 when absent).
TEST(AttachRetransformation, BatchSizeComesFromTheSizeOptionElseFromTheCountRoundedUp) {
  struct Case {
    int32_t classes, sizeOption, countOption, batchSize, batches;
  };
  const Case cases[] = {
      {25, 0, 0, 3, 9},         // ten batches asked, nine given: the last takes the one class left
      {25, 100, 0, 100, 1},     // a size beyond the count: one batch
      {25, 100, 5, 100, 1},     // the size wins over the count
      {25, 0, 5, 5, 5},         // an even split
      {25, -3, -1, 3, 9},       // options below 1 count as absent
      {7, 0, 0, 1, 7},          // fewer classes than batches: one class each
      {1, 0, 0, 1, 1},          // one class
      {30000, 0, 0, 3000, 10},  // a large application
      {2147483647, 0, 3, 715827883, 3},  // rounding up does not overflow
  };
  for (const Case& c : cases) {
    const int32_t size = retransformBatchSize(c.classes, c.sizeOption, c.countOption);
    EXPECT_EQ(c.batchSize, size) << c.classes << " " << c.sizeOption << " " << c.countOption;
    ASSERT_GE(size, 1);
    EXPECT_EQ(c.batches, int32_t((int64_t(c.classes) + size - 1) / size)) << c.classes;
  }
}

}  // namespace
