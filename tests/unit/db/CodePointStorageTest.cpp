#include <gtest/gtest.h>

#include <cstdint>

#include "agent/db/CodePointStorage.h"
#include "agent/db/DB.h"
#include "agent/recording/FrameTree.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/TestDatabase.h"

namespace {

class CodePointStorageTest : public DatabaseTest {
 protected:
  int32_t rowCount() const { return database->codePoints.ids.next - database->codePoints.ids.start; }
  const CodePointRecord* rowOf(int32_t key) const {
    return database->codePoints.getRow(int32_t(uint32_t(key) & 0x7FFFFFFFu), false);
  }
};

bool isRowKey(int32_t key) { return (uint32_t(key) & 0xC0000000u) == 0x80000000u; }

}  // namespace

TEST_F(CodePointStorageTest, EncodesEachPairInTheFormItsRangeAllows) {
  struct Case {
    int32_t method;
    int32_t line;
    int64_t compactKey;  // -1: the pair needs a row
  };
  const Case cases[] = {
      {5, 0, 5},
      {5, -3, 5},
      {0x7FFFFFFF, 0, 0x7FFFFFFF},
      {5, 10, int64_t(0xC0000000u | 10u << 19 | 5u)},
      {0x7FFFF, 1, int64_t(0xC0000000u | 1u << 19 | 0x7FFFFu)},
      {1, 2047, int64_t(0xC0000000u | 2047u << 19 | 1u)},
      {0x80000, 10, -1},
      {5, 2048, -1},
      {0, 0, -1},
      {0, -1, -1},
      {-7, 3, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "method " << c.method << " line " << c.line);
    const int32_t rowsBefore = rowCount();
    const int32_t key = CodePointStorage::getOrAdd(c.method, c.line);
    if (c.compactKey >= 0) {
      EXPECT_EQ(uint32_t(key), uint32_t(c.compactKey));
      EXPECT_EQ(rowCount(), rowsBefore);
      EXPECT_EQ(getCodePointMethod(key), c.method);
      continue;
    }
    ASSERT_TRUE(isRowKey(key));
    EXPECT_EQ(rowCount(), rowsBefore + 1);
    const CodePointRecord* row = rowOf(key);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->stamp, database->currentStamp);
    EXPECT_EQ(row->methodId, c.method);
    EXPECT_EQ(row->line, c.line);
    EXPECT_EQ(getCodePointMethod(key), c.method);
    EXPECT_EQ(CodePointStorage::getOrAdd(c.method, c.line), key) << "asked again";
    EXPECT_EQ(rowCount(), rowsBefore + 1) << "a second row for the same pair";
  }
}

TEST_F(CodePointStorageTest, RowFormIsKeptApartFromTheCompactForm) {
  const int32_t compact = CodePointStorage::getOrAdd(5, 10);
  const int32_t row = CodePointStorage::getOrAddRow(5, 10);
  ASSERT_TRUE(isRowKey(row));
  EXPECT_EQ(CodePointStorage::getOrAddRow(5, 10), row);
  EXPECT_EQ(CodePointStorage::getOrAdd(5, 10), compact);
  EXPECT_EQ(rowOf(row)->line, 10);
  EXPECT_NE(CodePointStorage::getOrAddRow(5, 11), row);
}

TEST_F(CodePointStorageTest, ManyPairsStayDistinctAcrossMapGrowth) {
  YVector<int32_t> keys;
  for (int32_t method = 0; method < 3000; method++) keys.add(CodePointStorage::getOrAdd(0x80000 + method, method + 1));
  for (int32_t method = 0; method < 3000; method++) {
    ASSERT_EQ(CodePointStorage::getOrAdd(0x80000 + method, method + 1), keys.get(method));
    EXPECT_EQ(rowOf(keys.get(method))->methodId, 0x80000 + method);
  }
  EXPECT_EQ(rowCount(), 3000);
}

// A pair remembered from an earlier database must not hand out a row that the new one gave another pair.
TEST(CodePointStorageAcrossDatabases, AFreshDatabaseGetsFreshRows) {
  YCriticalSectionLock held(&ourLock(), "Test:1");
  int32_t first;
  {
    TestDatabase earlier;
    first = CodePointStorage::getOrAdd(0x90000, 7);
  }
  TestDatabase later;
  const int32_t other = CodePointStorage::getOrAdd(0x90001, 7);
  EXPECT_EQ(other, first) << "the fresh table starts its ids again";
  const int32_t again = CodePointStorage::getOrAdd(0x90000, 7);
  EXPECT_NE(again, other);
  EXPECT_EQ(later->codePoints.getRow(int32_t(uint32_t(again) & 0x7FFFFFFFu), false)->methodId, 0x90000);
}

TEST(CodePointStorageWithoutDatabase, MakingARowIsFatal) {
  EXPECT_EQ(CodePointStorage::getOrAdd(5, 10), int32_t(0xC0000000u | 10u << 19 | 5u));
  EXPECT_EQ(fatalErrorOf([] { CodePointStorage::getOrAdd(0x80000, 1); }), "error at DB:60: db is NULL");
}
