#include <gtest/gtest.h>

#include "agent/support/FatalError.h"
#include "agent/support/YAllocator.h"
#include "tests/support/FatalErrorOutput.h"

TEST(FatalError, ReportsThePlaceAndMessageAndThrows) {
  EXPECT_EQ(fatalErrorOf([] { assertionFailed("assertion failed", "YMap", 184); }),
            "error at YMap:184: assertion failed");
  EXPECT_EQ(fatalErrorOf([] { fatalError("db is NULL", "DB", 7); }), "error at DB:7: db is NULL");
}

TEST(YAllocator, GivesZeroFilledBlocksAndRefusesEmptyOnes) {
  int64_t* block = allocZeroed<int64_t>(1000);
  for (int i = 0; i < 1000; i++) ASSERT_EQ(block[i], 0);
  freeBlock(block);
  EXPECT_NE(fatalErrorOf([] { allocZeroed<int32_t>(0); }).find("assertion failed"), std::string::npos);
}
