#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "agent/db/DB.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/support/NamedLocks.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/TestDatabase.h"

namespace {

// Bytes of a per-thread map: 8 per chunk slot and 1024 per chunk made.
constexpr uint64_t slotBytes = 8;
constexpr uint64_t chunkBytes = 1024;

class ThreadFrameIndexTest : public DatabaseTest {
 protected:
  int32_t pair(int32_t thread, int32_t frame, bool create = true) { return database->getThreadFrameId(thread, frame, create); }
  uint64_t indexBytes() const { return database->threadFrameIndex.sizeBytes(); }
  ThreadFrameRecord& pairRow(int32_t id) { return *database->threadFrames.getRow(id, true); }
};

}  // namespace

TEST_F(ThreadFrameIndexTest, MakesAPairOnceAndFindsItAfterwards) {
  database->currentStamp = 4;
  const int32_t id = pair(3, 10);
  ASSERT_GE(id, 1);
  EXPECT_EQ(pairRow(id).stamp, 4);
  EXPECT_EQ(pairRow(id).threadNumber, 3);
  EXPECT_EQ(pairRow(id).frameId, 10);

  const int32_t nextId = database->threadFrames.ids.peek();
  const uint64_t bytes = indexBytes();
  database->currentStamp = 5;
  EXPECT_EQ(pair(3, 10), id);
  EXPECT_EQ(pair(3, 10, false), id);
  EXPECT_EQ(database->threadFrames.ids.peek(), nextId);
  EXPECT_EQ(indexBytes(), bytes);
  EXPECT_EQ(pairRow(id).stamp, 4);

  EXPECT_NE(pair(4, 10), id);
  EXPECT_NE(pair(3, 11), id);
}

TEST_F(ThreadFrameIndexTest, WithoutCreateAMissingPairIsMinusOneAndMakesNothing) {
  pair(3, 10);
  const int32_t nextId = database->threadFrames.ids.peek();
  const uint64_t bytes = indexBytes();
  EXPECT_EQ(pair(3, 11, false), -1);     // a frame of a chunk that exists
  EXPECT_EQ(pair(3, 5000, false), -1);   // a frame beyond the map
  EXPECT_EQ(pair(2, 10, false), -1);     // a thread without a map
  EXPECT_EQ(pair(200, 10, false), -1);   // a thread beyond the index
  EXPECT_EQ(pair(3, -1, false), -1);     // a negative frame
  EXPECT_EQ(database->threadFrames.ids.peek(), nextId);
  EXPECT_EQ(indexBytes(), bytes);
}

TEST_F(ThreadFrameIndexTest, AMapGrowsToOneAndAHalfTimesTheFrameThatDoesNotFit) {
  const uint64_t empty = indexBytes();
  const int32_t first = pair(3, 10);
  EXPECT_EQ(indexBytes(), empty + 8 * slotBytes + chunkBytes);  // a new map: 8 chunk slots, capacity 2048

  const uint64_t eightSlots = indexBytes();
  const int32_t far = pair(3, 2048);
  EXPECT_EQ(indexBytes(), eightSlots + 5 * slotBytes + chunkBytes);  // 13 slots, capacity 3328

  const uint64_t thirteenSlots = indexBytes();
  const int32_t last = pair(3, 3327);
  EXPECT_EQ(indexBytes(), thirteenSlots + chunkBytes);
  pair(3, 3328);  // (3328 * 3 / 2) / 256 + 1 = 20 slots
  EXPECT_EQ(indexBytes(), thirteenSlots + 2 * chunkBytes + 7 * slotBytes);

  EXPECT_EQ(pair(3, 10, false), first);
  EXPECT_EQ(pair(3, 2048, false), far);
  EXPECT_EQ(pair(3, 3327, false), last);
}

TEST_F(ThreadFrameIndexTest, TheLargestFrameIdFits) {
  pair(3, 10);
  const uint64_t bytes = indexBytes();
  // One and a half times the id is beyond int32: the map grows to the chunks of every int32 index.
  const int32_t id = pair(3, INT32_MAX);
  ASSERT_GE(id, 1);
  EXPECT_EQ(indexBytes(), bytes + ((uint64_t(INT32_MAX) >> 8) + 1 - 8) * slotBytes + chunkBytes);
  EXPECT_EQ(pair(3, INT32_MAX, false), id);
  EXPECT_EQ(pairRow(id).frameId, INT32_MAX);
}

TEST_F(ThreadFrameIndexTest, NegativeArgumentsAreFatal) {
  std::string error = fatalErrorOf([this] { pair(3, -1, true); });
  EXPECT_NE(error.find(": assertion failed"), std::string::npos) << error;
  error = fatalErrorOf([this] { pair(-1, 10, false); });
  EXPECT_NE(error.find("op=yvector::"), std::string::npos) << error;
}

TEST_F(ThreadFrameIndexTest, ThreadEndFoldsCpuTimesIntoTheEndedThreadsEntry) {
  const int32_t ended = oldestFinishedThreads->threadNumber;
  const int32_t target = pair(ended, 10);
  CpuProfilingRecord& sum = *database->cpuProfiling.getRow(target, true);
  sum = CpuProfilingRecord{1, 50, 1};
  const int32_t own = pair(5, 10);
  *database->cpuProfiling.getRow(own, true) = CpuProfilingRecord{1, 100, 2};

  database->currentStamp = 3;
  database->threadFrameIndex.removeThreadFrames(5);

  EXPECT_EQ(pair(ended, 10, false), target);
  EXPECT_EQ(sum.time, 150);
  EXPECT_EQ(sum.invocationCount, 3);
  EXPECT_EQ(sum.stamp, 3);
  const CpuProfilingRecord& gone = *database->cpuProfiling.getRow(own, true);
  EXPECT_EQ(gone.stamp, -3);
  EXPECT_EQ(gone.time, 0);
  EXPECT_EQ(gone.invocationCount, 0);
  EXPECT_EQ(pairRow(own).stamp, -3);
  EXPECT_EQ(pairRow(own).threadNumber, 0);
  EXPECT_EQ(database->allocInfo.getRow(own, false), nullptr);  // no allocations: nothing made
  EXPECT_EQ(database->allocInfo.getRow(target, false), nullptr);

  EXPECT_EQ(pair(5, 10, false), -1);
  EXPECT_EQ(pair(6, 1), own);  // the id is handed out again
}

TEST_F(ThreadFrameIndexTest, ThreadEndFoldsAllocationsIntoANewPairOfTheEndedThreadsEntry) {
  const int32_t ended = oldestFinishedThreads->threadNumber;
  const int32_t own = pair(5, 300);
  *database->allocInfo.getRow(own, true) = AllocInfoRecord{1, 2, 64, 7};
  ASSERT_EQ(pair(ended, 300, false), -1);

  database->currentStamp = 3;
  database->threadFrameIndex.removeThreadFrames(5);

  const int32_t target = pair(ended, 300, false);
  ASSERT_GE(target, 1);
  EXPECT_EQ(pairRow(target).stamp, 3);
  EXPECT_EQ(pairRow(target).threadNumber, ended);
  const AllocInfoRecord& sum = *database->allocInfo.getRow(target, true);
  EXPECT_EQ(sum.objectCount, 2);
  EXPECT_EQ(sum.totalSize, 64);
  EXPECT_EQ(sum.collectedObjectAges, 7);  // the lifetimes of its collected objects go along
  EXPECT_EQ(sum.stamp, 3);
  const AllocInfoRecord& gone = *database->allocInfo.getRow(own, true);
  EXPECT_EQ(gone.stamp, -3);
  EXPECT_EQ(gone.objectCount, 0);
  EXPECT_EQ(gone.totalSize, 0);
  EXPECT_EQ(gone.collectedObjectAges, 0);
  EXPECT_EQ(database->cpuProfiling.getRow(target, false), nullptr);
}

TEST_F(ThreadFrameIndexTest, ThreadEndFoldsEveryPairOfTheThread) {
  const int32_t ended = oldestFinishedThreads->threadNumber;
  // Chunk 0 is never made: the walk must not skip the first pair of the chunk after a missing one.
  const int32_t frames[] = {256, 511, 1024, 5000};
  for (const int32_t frame : frames) {
    *database->cpuProfiling.getRow(pair(5, frame), true) = CpuProfilingRecord{1, frame + 1, 1};
  }
  pair(5, 1030);  // a pair without CPU time or allocations
  database->threadFrameIndex.removeThreadFrames(5);
  for (const int32_t frame : frames) {
    SCOPED_TRACE(frame);
    const int32_t target = pair(ended, frame, false);
    ASSERT_GE(target, 1);
    EXPECT_EQ(database->cpuProfiling.getRow(target, true)->time, frame + 1);
  }
  EXPECT_EQ(pair(ended, 1030, false), -1);
  int32_t liveRows = 0;
  database->threadFrames.forEachRow([&](int64_t, const ThreadFrameRecord& row) {
    if (row.stamp > 0) {
      liveRows++;
      EXPECT_EQ(row.threadNumber, ended);
    }
  });
  EXPECT_EQ(liveRows, 4);
}

TEST_F(ThreadFrameIndexTest, RemovingTheEndedThreadsEntryOrAnUnknownThreadChangesNothing) {
  const int32_t ended = oldestFinishedThreads->threadNumber;
  const int32_t id = pair(ended, 10);
  *database->cpuProfiling.getRow(id, true) = CpuProfilingRecord{1, 100, 1};
  const uint64_t bytes = indexBytes();
  database->currentStamp = 3;
  database->threadFrameIndex.removeThreadFrames(ended);
  database->threadFrameIndex.removeThreadFrames(9);
  database->threadFrameIndex.removeThreadFrames(500);
  EXPECT_EQ(pair(ended, 10, false), id);
  EXPECT_EQ(pairRow(id).stamp, 1);
  EXPECT_EQ(database->cpuProfiling.getRow(id, true)->time, 100);
  EXPECT_EQ(indexBytes(), bytes);
}

TEST_F(ThreadFrameIndexTest, ClearForgetsEveryThread) {
  const uint64_t empty = indexBytes();
  pair(3, 10);
  pair(7, 2048);
  database->threadFrameIndex.clear();
  EXPECT_EQ(indexBytes(), empty);
  EXPECT_EQ(pair(3, 10, false), -1);
  EXPECT_EQ(pair(7, 2048, false), -1);
}
