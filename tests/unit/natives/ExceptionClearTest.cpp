#include <gtest/gtest.h>

#include "agent/db/DB.h"
#include "agent/db/ExceptionClear.h"
#include "tests/support/TestDatabase.h"

namespace {

class ExceptionClear : public DatabaseTest {
 protected:
  void addExceptionRow(int32_t thread, int64_t count) {
    const int32_t id = database->exceptions.ids.allocate();
    ExceptionRecord& row = *database->exceptions.getRow(id, true);
    row.key.thread = thread;
    row.count = count;
    row.stamp = database->currentStamp;
  }

  int32_t liveExceptionRows() {
    int32_t live = 0;
    database->exceptions.forEachRow([&](int64_t, const ExceptionRecord& row) { live += row.stamp > 0; });
    return live;
  }
};

}  // namespace

TEST_F(ExceptionClear, EmptiesTheStatisticsAndStampsTheirTableGeneration) {
  addExceptionRow(1, 3);
  addExceptionRow(2, 5);
  database->currentStamp = 7;
  const int32_t otherTables = database->tableGenerations.getGeneration(tableMonitor);

  clearExceptionStatistics(held);

  EXPECT_EQ(liveExceptionRows(), 0);
  EXPECT_EQ(database->tableGenerations.getGeneration(tableException), 7);
  EXPECT_EQ(database->tableGenerations.getGeneration(tableMonitor), otherTables);
  EXPECT_FALSE(dbWriteInProgress.load());
  // The ids are free again: the next statistics row takes the first.
  addExceptionRow(4, 1);
  const ExceptionRecord* reused = database->exceptions.findRow(1);
  ASSERT_NE(reused, nullptr);
  EXPECT_EQ(reused->key.thread, 4);
}
