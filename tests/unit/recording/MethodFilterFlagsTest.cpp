#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/classfile/Filter.h"
#include "agent/db/DB.h"
#include "agent/recording/MethodFilterFlags.h"
#include "agent/recording/MethodStore.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestDatabase.h"
#include "tests/unit/classfile/FailureWithoutLine.h"

namespace {

constexpr int32_t filterBits = 0x4 | 0x100 | 0x200 | 0x400;

YVector<YString> linesOf(const std::vector<const char*>& texts) {
  YVector<YString> lines;
  for (const char* text : texts) lines.add(text);
  return lines;
}

void setFilters(const std::vector<const char*>& texts) {
  const YVector<YString> lines = linesOf(texts);
  setGlobalFilters(&lines);
}

MethodRecord& rowOf(int32_t id) { return *db->methods.getRow(id, false); }

// The wall-time filters are process-wide: each test leaves none behind for the other tests' methods.
class MethodFilterFlagsTest : public DatabaseTest {
 protected:
  void TearDown() override { setFilters({}); }

  LogCapture log;
  const int32_t sleep = getOrCreateMethod("java.lang.Thread", "sleep", "(long)", "void", "Thread.java", true);
  const int32_t run = getOrCreateMethod("com.x.Worker", "run", "()", "void", "Worker.java", false);
  const int32_t get = getOrCreateMethod("com.x.Worker", "get", "(int, java.lang.String)", "int", "Worker.java", false);
};

TEST_F(MethodFilterFlagsTest, OnlyAStarAloneMakesEveryMethodAWallTimeMethod) {
  struct Case {
    std::vector<const char*> lines;
    bool allWallTime;
    int32_t sleepBits, runBits, getBits;
  };
  const Case cases[] = {
      {{"*"}, true, 0x104, 0x104, 0x104},
      {{"*", "*"}, true, 0x104, 0x104, 0x104},
      // An invalid line counts for nothing.
      {{"*", "a..b"}, true, 0x104, 0x104, 0x104},
      // The "*" filter still matches every method.
      {{"*", "java.lang.Thread:sleep(*)"}, false, 0x4, 0x4, 0x4},
      {{"*:*(*)"}, false, 0x4, 0x4, 0x4},
      {{"**"}, false, 0x4, 0x4, 0x4},
      {{"java.lang.Thread : sleep(*)"}, false, 0x4, 0, 0},
      {{"com.x.Worker"}, false, 0, 0x4, 0x4},
      {{"com.x.*:get(int, String)"}, false, 0, 0, 0x4},
      {{"com.x.*:get(int)", "*:r*()"}, false, 0, 0x4, 0},
      {{}, false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.lines));
    setFilters(c.lines);
    EXPECT_EQ(allMethodsWallTime, c.allWallTime);
    EXPECT_EQ(rowOf(sleep).flags & filterBits, c.sleepBits);
    EXPECT_EQ(rowOf(run).flags & filterBits, c.runBits);
    EXPECT_EQ(rowOf(get).flags & filterBits, c.getBits);
    // A method made afterwards follows the same filters.
    const int32_t later =
        getOrCreateMethod("com.x.Worker", "run", "()", "void", std::to_string(&c - cases).c_str(), false);
    EXPECT_EQ(rowOf(later).flags & filterBits, c.runBits);
  }
}

TEST_F(MethodFilterFlagsTest, ReapplyingClearsAdaptiveExclusionsAndStampsOnlyChangedRows) {
  setFilters({"java.lang.Thread:sleep(*)"});
  rowOf(run).flags |= 0x200 | 0x400;
  const int32_t sleepStamp = rowOf(sleep).stamp;
  const int32_t getStamp = rowOf(get).stamp;
  database->currentStamp = 9;
  setFilters({"java.lang.Thread:sleep(*)"});
  EXPECT_EQ(rowOf(run).flags & filterBits, 0);
  EXPECT_EQ(rowOf(run).stamp, 9);
  EXPECT_EQ(rowOf(sleep).flags & filterBits, 0x4);
  EXPECT_EQ(rowOf(sleep).stamp, sleepStamp);
  EXPECT_EQ(rowOf(get).stamp, getStamp);

  // The other bits of a flag word stay.
  const int32_t nativeBits = rowOf(sleep).flags & ~filterBits;
  database->currentStamp = 10;
  setFilters({"*"});
  setFilters({});
  EXPECT_EQ(rowOf(sleep).flags, nativeBits);
  EXPECT_EQ(rowOf(sleep).stamp, 10);
  EXPECT_FALSE(allMethodsWallTime);
}

TEST_F(MethodFilterFlagsTest, AFilterMatchesARecordByItsThreeTexts) {
  const std::unique_ptr<Filter> filter(parseFilterSpec("com.x.*:get(int, *)", filterWallTime));
  EXPECT_TRUE(matchesMethodRecord(*filter, rowOf(get)));
  EXPECT_FALSE(matchesMethodRecord(*filter, rowOf(run)));
  EXPECT_FALSE(matchesMethodRecord(*filter, rowOf(sleep)));

  MethodRecord broken = rowOf(get);
  broken.nameId = -1;
  EXPECT_EQ(failureOf([&] { matchesMethodRecord(*filter, broken); }), "error at Filter: assertion failed");
}

TEST_F(MethodFilterFlagsTest, ANullListIsFatal) {
  EXPECT_EQ(failureOf([] { setGlobalFilters(nullptr); }), "error at Filter: assertion failed: value is NULL");
}

TEST(MethodFilterFlags, NoDatabaseIsFatal) {
  ASSERT_EQ(db, nullptr);
  const YVector<YString> none;
  EXPECT_EQ(failureOf([&] { setGlobalFilters(&none); }), "error at Filter: db is NULL");
  const std::unique_ptr<Filter> filter(parseFilterSpec("a.B", filterWallTime));
  const MethodRecord record{};
  EXPECT_EQ(failureOf([&] { matchesMethodRecord(*filter, record); }), "error at Filter: db is NULL");
}

}  // namespace
