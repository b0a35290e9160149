#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "agent/heap/FlatIntArray.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/LogCapture.h"
#include "tests/unit/heap/HeapLogText.h"

TEST(FlatIntArray, LogsItsNameAndSizeAroundTheZeroedBlock) {
  struct Case {
    const char* name;
    int32_t size;
    const char* first;
  };
  for (const Case& c : {Case{"da_1", 3000000, "BIA_P=da_1 size=3000000 (11 MB)"},
                        Case{"r-s", 262143, "BIA_P=r-s size=262143 (0 MB)"},
                        Case{"i", 262144, "BIA_P=i size=262144 (1 MB)"}}) {
    LogCapture log;
    FlatIntArray array(c.name, c.size);
    const std::vector<std::string> expected{c.first, std::string("BIA_P=") + c.name + " done"};
    EXPECT_EQ(memoryLogTexts(log.entries()), expected);
    ASSERT_EQ(array.size, c.size);
    EXPECT_TRUE(std::all_of(array.data, array.data + c.size, [](int32_t v) { return v == 0; }));
    array[c.size - 1] = 5;
    EXPECT_EQ(array[c.size - 1], 5);
  }
}

TEST(FlatIntArray, SizeZeroHoldsNothingAndNegativeSizesFail) {
  FlatIntArray empty("e", 0);
  EXPECT_EQ(empty.size, 0);
  EXPECT_FALSE(empty.isValidIndex(0));

  LogCapture log;
  EXPECT_TRUE(isAssertionIn(fatalErrorOf([] { FlatIntArray bad("b", -1); }), "FlatIntArray"));
  EXPECT_EQ(mentionsOf("BIA_P", log.entries()), 0);
}

TEST(FlatIntArray, IndexQueries) {
  FlatIntArray array("q", 4);
  struct Case {
    int64_t index;
    bool valid;
  };
  for (const Case& c : {Case{-1, false}, Case{0, true}, Case{3, true}, Case{4, false}, Case{int64_t(1) << 32, false}}) {
    EXPECT_EQ(array.isValidIndex(c.index), c.valid) << c.index;
  }
}
