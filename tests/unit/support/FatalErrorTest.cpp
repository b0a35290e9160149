#include <gtest/gtest.h>

#include "agent/support/FatalError.h"
#include "agent/support/YAllocator.h"

TEST(FatalError, WritesTheEntryAndThrows) {
  testing::internal::CaptureStderr();
  EXPECT_THROW(assertionFailed("assertion failed", "YMap", 184), BZPRuntimeException);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "error at YMap:184: assertion failed\n");
}

TEST(YAllocator, GivesZeroFilledBlocksAndRefusesEmptyOnes) {
  int64_t* block = allocZeroed<int64_t>(1000);
  for (int i = 0; i < 1000; i++) ASSERT_EQ(block[i], 0);
  freeBlock(block);
  testing::internal::CaptureStderr();
  EXPECT_THROW(allocZeroed<int32_t>(0), BZPRuntimeException);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("assertion failed"), std::string::npos);
}
