#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "agent/db/Clears.h"
#include "agent/db/DB.h"
#include "agent/platform/Clocks.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/support/NamedLocks.h"
#include "agent/support/Stopwatch.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/RecordingWriter.h"
#include "tests/support/RowStreamReader.h"
#include "tests/support/TestDatabase.h"

namespace {

// What a database table writes for `since`, read back by the stream reader.
std::vector<rowstream::Row> rowsWritten(DBTableBase& table, int32_t since) {
  const auto index = std::find(std::begin(db->tables), std::end(db->tables), &table) - std::begin(db->tables);
  RecordingWriter writer(byteOrderLittleEndian, 256);
  Progress progress;
  table.writeRows(writer, since, 0, 0, &progress);
  return rowstream::parseTableStream(writer.bytes(), rowstream::Endian::little, int32_t(index));
}

// The (index, stamp) of every row written.
std::vector<std::pair<int32_t, int32_t>> writtenRows(DBTableBase& table, int32_t since) {
  std::vector<std::pair<int32_t, int32_t>> rows;
  for (const rowstream::Row& row : rowsWritten(table, since)) rows.emplace_back(row.index, row.stamp);
  return rows;
}

// The one value of every live counter row written.
std::vector<int64_t> countsWritten(DBTableBase& table, int32_t since) {
  std::vector<int64_t> counts;
  for (const rowstream::Row& row : rowsWritten(table, since)) {
    if (row.stamp > 0) counts.push_back(row.values.at(0));
  }
  return counts;
}

// Sets the flag for a test's length and puts back what it was.
class WriteFlag {
 public:
  explicit WriteFlag(bool value) : old(dbWriteInProgress.exchange(value)) {}
  ~WriteFlag() { dbWriteInProgress.store(old); }
  WriteFlag(const WriteFlag&) = delete;
  WriteFlag& operator=(const WriteFlag&) = delete;

 private:
  const bool old;
};

using Clear = void (*)(const YCriticalSectionLock&);

struct ClearCase {
  const char* name;
  Clear clear;
  int32_t table;  // the table it empties, which is also its "table_generation" row
};

const ClearCase stampingClears[] = {{"cpu", clearCpuProfilingData, tableCpuProfiling},
                                    {"allocation", clearAllocationData, tableAllocInfo},
                                    {"monitor", resetMonitorData, tableMonitor}};

using ClearsTest = DatabaseTest;

// A telemetry point of the current stamp.
void appendTelemetryPoint(DB& database) {
  TelemetryRecord& point = database.telemetry.rows.append();
  point.reset();
  point.values.data[0] = int32_t(database.telemetry.rows.next);
  point.stamp = database.currentStamp;
}

}  // namespace

TEST_F(ClearsTest, EachClearEmptiesItsTableAndStampsItsGenerationRow) {
  for (const ClearCase& c : stampingClears) {
    SCOPED_TRACE(c.name);
    DBTableBase& table = *database->tables[c.table];
    for (int32_t row = 1; row <= 300; row++) table.setGeneration(row, 1);
    table.ids.next = 301;
    database->currentStamp += 1;
    const int32_t previous = database->currentStamp - 1;

    c.clear(held);

    EXPECT_TRUE(writtenRows(table, 0).empty());
    EXPECT_EQ(table.ids.peek(), 1);
    EXPECT_EQ(database->tableGenerations.getGeneration(c.table), database->currentStamp);
    // A reader that fetched before the clear gets the generation row and nothing of the table.
    EXPECT_EQ(writtenRows(database->tableGenerations, previous),
              (std::vector<std::pair<int32_t, int32_t>>{{c.table, database->currentStamp}}));
  }
}

TEST_F(ClearsTest, CpuClearBringsEveryCallCountToZero) {
  const int64_t counts[][2] = {{5, 0}, {9, 4}, {3, 3}};
  for (int32_t row = 1; row <= 3; row++) {
    *database->callCounts.getRow(row, true) = CallCountRecord{1, counts[row - 1][0], counts[row - 1][1]};
  }
  database->currentStamp = 2;
  clearCpuProfilingData(held);

  const auto rows = writtenRows(database->callCounts, 0);
  EXPECT_EQ(countsWritten(database->callCounts, 0), (std::vector<int64_t>{0, 0, 0}));
  // Only the rows whose value changed are stamped.
  EXPECT_EQ(rows, (std::vector<std::pair<int32_t, int32_t>>{{1, 2}, {2, 2}, {3, 1}}));
}

TEST_F(ClearsTest, AllocationClearBringsEveryObjectCountToZero) {
  *database->allocObjectCounts.getRow(1, true) = AllocObjectCountRecord{1, 8, 2};
  database->currentStamp = 2;
  clearAllocationData(held);
  EXPECT_EQ(writtenRows(database->allocObjectCounts, 1), (std::vector<std::pair<int32_t, int32_t>>{{1, 2}}));
  EXPECT_EQ(countsWritten(database->allocObjectCounts, 1), std::vector<int64_t>{0});
}

TEST_F(ClearsTest, CpuClearResetsTheSamplingStateOfEveryThread) {
  ThreadInfo* const entries[] = {oldestFinishedThreads, vmStartThread, unretrievedThread, unknownThread};
  for (ThreadInfo* entry : entries) {
    entry->currentTracedFrame = 7;
    entry->lastSampledFrame = 8;
    entry->previousSampleCpuTimeNs = 9;
    entry->previousSampleWallTimeNs = 10;
  }
  const int32_t epoch = tracingEpoch.load();
  cpuProfilingEndNs = 12345;
  const int64_t before = stopwatchElapsedNs(agentUptimeStopwatch());

  clearCpuProfilingData(held);

  for (const ThreadInfo* entry : entries) {
    SCOPED_TRACE(entry->name.data);
    EXPECT_EQ(entry->currentTracedFrame, -1);
    EXPECT_EQ(entry->lastSampledFrame, -1);
    EXPECT_EQ(entry->previousSampleCpuTimeNs, 0);
    EXPECT_EQ(entry->previousSampleWallTimeNs, 0);
  }
  EXPECT_EQ(tracingEpoch.load(), epoch + 1);
  EXPECT_GE(lastCpuClearNs, before);
  EXPECT_LE(lastCpuClearNs, stopwatchElapsedNs(agentUptimeStopwatch()));
  EXPECT_EQ(cpuProfilingEndNs, 0);
}

TEST_F(ClearsTest, AllocationClearResetsEveryLiveThreadsCountdown) {
  ThreadInfo* const live[] = {vmStartThread, unretrievedThread, unknownThread};
  for (ThreadInfo* entry : live) entry->allocationCountdown = 5;
  allocationRecordingEndNs = 12345;
  const int64_t before = stopwatchElapsedNs(agentUptimeStopwatch());

  clearAllocationData(held);

  for (const ThreadInfo* entry : live) EXPECT_EQ(entry->allocationCountdown, 0) << entry->name.data;
  EXPECT_GE(lastAllocationClearNs, before);
  EXPECT_EQ(allocationRecordingEndNs, 0);
}

TEST_F(ClearsTest, MonitorResetNotesTheMonotonicTime) {
  const int64_t before = getMonotonicTimeNs();
  resetMonitorData(held);
  EXPECT_GE(lastMonitorClearNs, before);
  EXPECT_LE(lastMonitorClearNs, getMonotonicTimeNs());
}

TEST_F(ClearsTest, CpuAndAllocationClearsPutTheWriteFlagBack) {
  for (const bool before : {false, true}) {
    SCOPED_TRACE(before);
    WriteFlag flag(before);
    clearCpuProfilingData(held);
    EXPECT_EQ(dbWriteInProgress.load(), before);
    clearAllocationData(held);
    EXPECT_EQ(dbWriteInProgress.load(), before);
  }
}

TEST(ClearsWithoutDatabase, EveryClearIsFatal) {
  ASSERT_EQ(db, nullptr);
  YCriticalSectionLock held(&ourLock(), "Test:1");
  const std::pair<const char*, Clear> clears[] = {{"cpu", clearCpuProfilingData},
                                                  {"allocation", clearAllocationData},
                                                  {"telemetry", clearTelemetryData},
                                                  {"monitor", resetMonitorData},
                                                  {"monitor data", clearMonitorData}};
  for (const auto& entry : clears) {
    SCOPED_TRACE(entry.first);
    const Clear clear = entry.second;
    const std::string error = fatalErrorOf([&] { clear(held); });
    EXPECT_NE(error.find(": db is NULL"), std::string::npos) << error;
    EXPECT_FALSE(dbWriteInProgress.load());
  }
}

TEST(ClearsTelemetry, DeletesEveryHeldPointOnceAndTellsWhereNewPointsBegin) {
  TestDatabase database(100);
  YCriticalSectionLock held(&ourLock(), "Test:1");
  for (int32_t i = 0; i < 200; i++) appendTelemetryPoint(*database);
  ASSERT_EQ(database->telemetry.rows.oldest, 100);  // the window holds points 100 to 199
  database->currentStamp = 2;

  clearTelemetryData(held);

  std::vector<std::pair<int32_t, int32_t>> deleted;
  for (int32_t index = 100; index < 200; index++) deleted.emplace_back(index, -2);
  EXPECT_EQ(writtenRows(database->telemetry, 1), deleted);
  EXPECT_TRUE(writtenRows(database->telemetry, 2).empty());
  const int32_t startIndexRow = database->findPropertyRecordIndex(getStringId("bzp.telemetry.new.start.index"));
  ASSERT_GE(startIndexRow, 1);
  EXPECT_EQ(database->properties.getRow(startIndexRow, false)->value, 200);
  EXPECT_EQ(database->properties.getRow(startIndexRow, false)->stamp, 2);

  // A deleted point says nothing but its deletion.
  const TelemetryRecord& point = *database->telemetry.findRow(150);
  EXPECT_EQ(point.values.size, 12);
  for (int32_t i = 0; i < 12; i++) EXPECT_EQ(point.values.data[i], 0);
  EXPECT_EQ(point.items.size, 0);
  EXPECT_FALSE(point.itemsPresent);

  database->currentStamp = 3;
  appendTelemetryPoint(*database);
  EXPECT_EQ(database->telemetry.rows.next, 201);
  EXPECT_EQ(writtenRows(database->telemetry, 2), (std::vector<std::pair<int32_t, int32_t>>{{200, 3}}));

  // A second clear deletes only the points that came since.
  database->currentStamp = 4;
  clearTelemetryData(held);
  EXPECT_EQ(writtenRows(database->telemetry, 3), (std::vector<std::pair<int32_t, int32_t>>{{200, -4}}));
  EXPECT_EQ(database->properties.getRow(startIndexRow, false)->value, 201);
}

TEST(ClearsTelemetry, AnEmptyWindowLeavesNothingToTell) {
  TestDatabase database;
  YCriticalSectionLock held(&ourLock(), "Test:1");
  clearTelemetryData(held);
  EXPECT_TRUE(writtenRows(database->telemetry, 0).empty());
  const int32_t row = database->findPropertyRecordIndex(getStringId("bzp.telemetry.new.start.index"));
  ASSERT_GE(row, 1);
  EXPECT_EQ(database->properties.getRow(row, false)->value, 0);
}
