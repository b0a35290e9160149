#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "agent/core/Options.h"
#include "agent/db/DB.h"
#include "agent/db/EventRows.h"
#include "agent/db/EventTable.h"
#include "agent/support/NamedLocks.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/ScopedValue.h"
#include "tests/support/TestDatabase.h"

namespace {

// Columns: 0 uptime_ns (slots 0-1), 1 uptime_ns.end (2-3), 2 exception_str (4), 3 thread (5), 4 frame (6),
// 5 Count (7), 6 Size (8-9).
const char* const lasting =
    "Lasting\n7\nuptime_ns\n1\nuptime_ns.end\n1\nexception_str\n2\nthread\n0\nframe\n0\nCount\n0\nSize\n5\n";
constexpr int32_t endColumn = 1, exceptionColumn = 2, threadColumn = 3, frameColumn = 4, countColumn = 5,
                  sizeColumn = 6;

class EventRowsTest : public DatabaseTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(database->createEventTable(YString(lasting)), 32);
    table = database->eventTables[32].get();
  }

  EventRecord* open(int32_t rowKey, int64_t start = 1000, int32_t frame = 0, int32_t thread = 0) {
    return openEventRow(held, 32, rowKey, start, frame, thread);
  }

  EventTable* table = nullptr;
};

}  // namespace

TEST_F(EventRowsTest, OpeningAKeyAgainReusesItsRow) {
  database->currentStamp = 2;
  EventRecord* row = open(7, 1000, 0, 3);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->tableId, 32);
  EXPECT_EQ(row->rowKey, 7);
  EXPECT_EQ(row->stamp, 2);
  EXPECT_EQ(row->slots.size, 10);
  EXPECT_EQ(getEventRowChecked(*table, row, 0), 1000);
  EXPECT_EQ(row->slots[5], 3);
  const int32_t rowId = getEventRowIdOfKey(7);
  EXPECT_EQ(database->events.getRow(rowId, false), row);

  database->currentStamp = 3;
  EXPECT_EQ(open(7, 2000, 0, 4), row);
  EXPECT_EQ(getEventRowChecked(*table, row, 0), 2000);
  EXPECT_EQ(row->slots[5], 4);
  EXPECT_EQ(row->stamp, 3);
  EXPECT_EQ(table->rowCount, 1);
  EXPECT_EQ(getEventRowIdOfKey(7), rowId);
}

TEST_F(EventRowsTest, TheRowLimitHoldsUntilARowIsRemoved) {
  ScopedValue<int32_t> limit(globalOptions().probeTableLengthLimit, 2);
  ASSERT_EQ(database->createEventTable(YString("Child\n2\nuptime_ns\n1\n32\n3\n")), 33);
  ASSERT_NE(open(1), nullptr);
  ASSERT_NE(openEventRow(held, 33, 2, 1000, 0, 0), nullptr);  // the child's row counts against 32
  EXPECT_EQ(open(3), nullptr);
  EXPECT_EQ(openEventRow(held, 33, 3, 1000, 0, 0), nullptr);
  closeEventRow(held, 32, 3, 5000, nullptr);
  EXPECT_EQ(getEventRowIdOfKey(3), 0);
  EXPECT_EQ(table->rowCount, 2);
  // Rows that exist are still reached.
  EXPECT_NE(open(1), nullptr);

  table->removeRow(getEventRowIdOfKey(2), database->currentStamp);
  EXPECT_NE(open(3), nullptr);
  EXPECT_EQ(table->rowCount, 2);
}

TEST_F(EventRowsTest, AnIdBelowOneGivesNoRowAndCountsNothing) {
  database->events.ids.release(0);
  EXPECT_EQ(open(1), nullptr);
  EXPECT_EQ(table->rowCount, 0);
  EXPECT_EQ(getEventRowIdOfKey(1), 0);
  // The bad id is dropped, not handed out again.
  ASSERT_NE(open(1), nullptr);
  EXPECT_EQ(getEventRowIdOfKey(1), 1);
  EXPECT_EQ(table->rowCount, 1);
}

TEST_F(EventRowsTest, RowsShorterThanTheMinimumAreDroppedAtClose) {
  struct Case {
    int32_t minimumMs;
    int64_t end;
    bool kept;
  };
  const int64_t start = 1000000000;
  const Case cases[] = {
      {10, 1009999999, false},
      {10, 1010000000, true},
      // 3000 ms in nanoseconds is beyond 32 bits.
      {3000, 3999999999, false},
      {3000, 4000000000, true},
      {0, 1000000001, true},
      {10, 0, true},  // no end time: no test
  };
  int32_t key = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.minimumMs << " ms, end " << c.end);
    table->minimumLastingMs = c.minimumMs;
    ASSERT_NE(open(key, start), nullptr);
    const int32_t rowId = getEventRowIdOfKey(key);
    database->currentStamp++;
    closeEventRow(held, 32, key, c.end, nullptr);
    const EventRecord& row = *database->events.getRow(rowId, false);
    if (c.kept) {
      EXPECT_EQ(row.stamp, database->currentStamp);
      EXPECT_EQ(getEventRowChecked(*table, &row, endColumn), c.end);
      EXPECT_EQ(getEventRowIdOfKey(key), rowId);
      EXPECT_EQ(table->rowCount, 1);
    } else {
      EXPECT_EQ(row.stamp, -database->currentStamp);
      EXPECT_EQ(getEventRowIdOfKey(key), 0);
      EXPECT_EQ(table->rowCount, 0);
    }
    table->removeRow(rowId, database->currentStamp);
    key++;
  }
}

TEST_F(EventRowsTest, ClosingStoresTheExceptionText) {
  EventRecord* row = open(1);
  ASSERT_NE(row, nullptr);
  closeEventRow(held, 32, 1, 5000, "java.lang.IllegalStateException: closed");
  const int32_t textId = row->slots[4];
  EXPECT_NE(textId, 0);
  EXPECT_STREQ(database->strings.getRow(textId, false)->body, "java.lang.IllegalStateException: closed");

  database->currentStamp = 5;
  closeEventRow(held, 32, 1, 6000, nullptr);
  EXPECT_EQ(row->slots[4], 0);
  EXPECT_EQ(getEventRowChecked(*table, row, endColumn), 6000);
  EXPECT_EQ(row->stamp, 5);
}

TEST_F(EventRowsTest, AClosedRowThatWasNeverOpenedIsMade) {
  closeEventRow(held, 32, 9, 5000, nullptr);
  const EventRecord* row = database->events.getRow(getEventRowIdOfKey(9), false);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->tableId, 32);
  EXPECT_EQ(getEventRowChecked(*table, row, 0), 0);
  EXPECT_EQ(getEventRowChecked(*table, row, endColumn), 5000);
  EXPECT_EQ(table->rowCount, 1);
}

TEST_F(EventRowsTest, AFrameOfZeroLeavesTheFrameColumnAlone) {
  EventRecord* row = open(1, 1000, 0, 0);
  ASSERT_NE(row, nullptr);
  setRowValue(*table, row, frameColumn, 77);
  open(1, 1000, 0, 0);
  EXPECT_EQ(row->slots[6], 77);
  // A frame with no probe code on its stack is taken as it is.
  open(1, 1000, 12, 0);
  EXPECT_EQ(row->slots[6], 12);
}

TEST_F(EventRowsTest, LongCellsKeepTheirLowHalfFirst) {
  EventRecord* row = open(1);
  ASSERT_NE(row, nullptr);
  setEventRowLong(*table, row, sizeColumn, (int64_t(1) << 32) + 2);
  EXPECT_EQ(row->slots[8], 2);
  EXPECT_EQ(row->slots[9], 1);
  EXPECT_EQ(getEventRowChecked(*table, row, sizeColumn), (int64_t(1) << 32) + 2);
  // The low half is read as unsigned.
  for (const int64_t value : {int64_t(-2), int64_t(0xFFFFFFFF), INT64_MIN}) {
    setEventRowLong(*table, row, sizeColumn, value);
    EXPECT_EQ(getEventRowChecked(*table, row, sizeColumn), value);
  }
  setRowValue(*table, row, countColumn, -5);
  EXPECT_EQ(row->slots[7], -5);
}

TEST_F(EventRowsTest, CellsOfTheWrongKindAreABrokenInvariant) {
  EventRecord* row = open(1);
  ASSERT_NE(row, nullptr);
  const std::string failed = "error at EventTableOperations:";
  struct Case {
    const char* what;
    void (*call)(EventTable&, EventRecord*);
    const char* ending;
  };
  const Case cases[] = {
      {"missing row", [](EventTable& t, EventRecord*) { setRowValue(t, nullptr, countColumn, 1); },
       "160: assertion failed: value is NULL"},
      {"negative column", [](EventTable& t, EventRecord* r) { setRowValue(t, r, -1, 1); }, "161: assertion failed"},
      {"column past the end", [](EventTable& t, EventRecord* r) { setRowValue(t, r, 7, 1); }, "161: assertion failed"},
      {"int into a long", [](EventTable& t, EventRecord* r) { setRowValue(t, r, sizeColumn, 1); },
       "164: assertion failed"},
      {"long into an int", [](EventTable& t, EventRecord* r) { setEventRowLong(t, r, threadColumn, 1); },
       "164: assertion failed"},
      {"long read of a string", [](EventTable& t, EventRecord* r) { getEventRowChecked(t, r, exceptionColumn); },
       "164: assertion failed"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fatalErrorOf([&] { c.call(*table, row); }), failed + c.ending) << c.what;
  }
}

TEST_F(EventRowsTest, KeyZeroNamesNoRow) {
  EXPECT_EQ(open(0), nullptr);
  closeEventRow(held, 32, 0, 5000, "text");
  EXPECT_EQ(getOrCreateEventRow(&*database, 0, table, 32), nullptr);
  EXPECT_EQ(getEventRowIdOfKey(0), 0);
  EXPECT_EQ(table->rowCount, 0);
  EXPECT_EQ(database->events.ids.peek(), 1);
  // Negative keys are ordinary keys.
  EXPECT_NE(open(-5), nullptr);
  EXPECT_EQ(getEventRowIdOfKey(-5), 1);
}

TEST_F(EventRowsTest, UnknownTablesAndOtherTablesKeysGiveNoRow) {
  for (const int32_t tableId : {-5, 0, 31, 33, 127, 128}) {
    EXPECT_EQ(openEventRow(held, tableId, 1, 1000, 0, 0), nullptr) << tableId;
    closeEventRow(held, tableId, 1, 5000, nullptr);
  }
  EXPECT_EQ(getEventRowIdOfKey(1), 0);

  // A key names one row of one table; another table's layout does not fit it.
  ASSERT_EQ(database->createEventTable(YString("Short\n1\nuptime_ns\n1\n")), 33);
  ASSERT_NE(openEventRow(held, 33, 1, 1000, 0, 0), nullptr);
  EXPECT_EQ(open(1), nullptr);
  closeEventRow(held, 32, 1, 5000, "text");
  EXPECT_EQ(database->events.getRow(getEventRowIdOfKey(1), false)->slots.size, 2);
  EXPECT_EQ(getOrCreateEventRow(&*database, 1, table, 32), nullptr);
}

TEST(EventRowsWithoutDatabase, AreABrokenInvariant) {
  YCriticalSectionLock held(&ourLock(), "Test:1");
  EXPECT_EQ(fatalErrorOf([&] { openEventRow(held, 32, 1, 1000, 0, 0); }), "error at DB:60: db is NULL");
  EXPECT_EQ(fatalErrorOf([&] { closeEventRow(held, 32, 1, 1000, nullptr); }), "error at DB:60: db is NULL");
  EXPECT_EQ(fatalErrorOf([&] { getOrCreateEventRow(nullptr, 1, nullptr, 32); }),
            "error at EventTableOperations:27: assertion failed: value is NULL");
}
