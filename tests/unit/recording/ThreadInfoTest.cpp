#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "agent/db/DB.h"
#include "agent/platform/Clocks.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/recording/YNodeTree.h"
#include "agent/support/NamedLocks.h"
#include "agent/support/Stopwatch.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/TestDatabase.h"

namespace {

std::string textOf(int32_t stringId) {
  const StringRecord* row = db->strings.findRow(stringId);
  return row == nullptr || row->body == nullptr ? std::string("<none>") : std::string(row->body);
}

class ThreadInfoTest : public DatabaseTest {
 protected:
  std::unique_ptr<ThreadInfo> makeThread(const char* name, const char* group = "main", ThreadHandle handle = 0,
                                         int64_t osThreadId = 0, bool daemon = false) {
    return std::make_unique<ThreadInfo>(YString(name), YString(group), handle, osThreadId, nullptr, daemon);
  }
  ThreadRecord& rowOf(const ThreadInfo& thread) { return *database->threads.getRow(thread.threadRow, true); }
};

}  // namespace

TEST_F(ThreadInfoTest, CreationFillsTheThreadRowButTheName) {
  database->currentStamp = 3;
  const std::unique_ptr<ThreadInfo> thread = makeThread("worker-1", "workers", 0, 4321, true);
  // The database's four special entries came first.
  EXPECT_EQ(thread->sequenceNumber, 5u);
  EXPECT_EQ(thread->threadNumber, 5);
  EXPECT_TRUE(thread->named);
  EXPECT_EQ(thread->cachedNameId, -1);
  EXPECT_FALSE(thread->seen.load());
  EXPECT_EQ(threadRegistry().threadsBySequence.get(5), thread.get());
  EXPECT_FALSE(threadRegistry().liveThreads.contains(reinterpret_cast<int64_t>(thread.get())));

  const ThreadRecord& row = rowOf(*thread);
  EXPECT_EQ(row.stamp, 3);
  EXPECT_EQ(row.nameId, 0);
  EXPECT_EQ(textOf(row.groupNameId), "workers");
  EXPECT_EQ(row.threadNumber, 5);
  EXPECT_EQ(row.sequenceNumber, 5);
  EXPECT_EQ(row.osThreadId, 4321);
  EXPECT_EQ(row.daemon, 1);
  EXPECT_EQ(row.startTime, 0);  // no handle: no thread started now
  EXPECT_EQ(row.endTime, 0);

  const std::unique_ptr<ThreadInfo> unnamed = makeThread("", "");
  EXPECT_FALSE(unnamed->named);
  EXPECT_EQ(unnamed->sequenceNumber, 6u);
  EXPECT_EQ(rowOf(*unnamed).daemon, 0);
}

TEST_F(ThreadInfoTest, AThreadWithAHandleStartedNow) {
  const int64_t before = stopwatchElapsedNs(agentUptimeStopwatch());
  const std::unique_ptr<ThreadInfo> thread = makeThread("worker", "main", getCurrentThreadHandle(), 1);
  const int64_t after = stopwatchElapsedNs(agentUptimeStopwatch());
  EXPECT_GE(rowOf(*thread).startTime, before);
  EXPECT_LE(rowOf(*thread).startTime, after);
}

TEST_F(ThreadInfoTest, DestructionForgetsTheSequenceNumberButKeepsTheRow) {
  ThreadInfo* thread = new ThreadInfo(YString("short-lived"), YString(), 0, 0, nullptr, false);
  const uint32_t sequence = thread->sequenceNumber;
  const int32_t row = thread->threadRow;
  delete thread;
  EXPECT_EQ(threadRegistry().threadsBySequence.get(int32_t(sequence)), nullptr);
  EXPECT_EQ(database->threads.getRow(row, false)->sequenceNumber, int32_t(sequence));
  // Sequence numbers are never reused.
  EXPECT_EQ(makeThread("next")->sequenceNumber, sequence + 1);
}

TEST_F(ThreadInfoTest, DestructionAddsTheAllocationTotalsToThoseOfEndedThreads) {
  ThreadRegistry& registry = threadRegistry();
  const int64_t count = registry.deadThreadsAllocCount;
  const int64_t bytes = registry.deadThreadsAllocBytes;
  ThreadInfo* thread = new ThreadInfo(YString("allocating"), YString(), 0, 0, nullptr, false);
  thread->allocationCount = 3;
  thread->allocatedBytes = 96;
  getThreadNodeTree(thread);
  thread->getFrameId(getThreadNodeTree(thread)->getChildByKey(0, 5));
  delete thread;  // frees its tree and node map too (the sanitizer build would tell)
  EXPECT_EQ(registry.deadThreadsAllocCount, count + 3);
  EXPECT_EQ(registry.deadThreadsAllocBytes, bytes + 96);
}

TEST_F(ThreadInfoTest, CpuTimesGoToTheRowOfTheThreadAndFrame) {
  const std::unique_ptr<ThreadInfo> thread = makeThread("worker");
  const std::unique_ptr<ThreadInfo> other = makeThread("other");
  CpuProfilingRecord* row = thread->getCpuProfilingRow(7);
  EXPECT_EQ(thread->getCpuProfilingRow(7), row);
  EXPECT_NE(other->getCpuProfilingRow(7), row);
  EXPECT_NE(thread->getCpuProfilingRow(8), row);
  const int32_t pair = database->getThreadFrameId(thread->threadNumber, 7, false);
  EXPECT_EQ(database->cpuProfiling.getRow(pair, true), row);
  EXPECT_EQ(fatalErrorOf([&] { thread->getCpuProfilingRow(-1); }), "error at DB:107: assertion failed");
}

TEST_F(ThreadInfoTest, CpuTimeComesFromTheHandleAndIsZeroWithoutOne) {
  EXPECT_EQ(makeThread("pseudo")->getCpuTimeNs(), 0);
  const std::unique_ptr<ThreadInfo> self = makeThread("self", "main", getCurrentThreadHandle(), 1);
  volatile uint64_t spin = 0;
  while (getCurrentThreadCpuTimeNs() < 2000000) spin = spin + 1;
  EXPECT_GE(self->getCpuTimeNs(), 1000000);
}

TEST_F(ThreadInfoTest, NamePrefixesMarkTheAgentsOwnThreads) {
  struct Case {
    const char* name;
    bool agent, own, service;
  };
  const Case cases[] = {
      {"main", false, false, false},
      {"BZPAgent-Worker", true, true, false},
      {"BZPAgent-CpuSampler", true, true, true},
      {"BZPAgent-OomeSnapshotDetector", true, true, true},
      {"BZPAgent-AsyncSamplingEventsProcessor-2", true, true, true},
      {"BZP-Process-Exit-Listener", false, true, false},
      {"BZP-Process-Exit-Listener-7", false, true, false},
      {"My BZPAgent-Worker", false, false, false},
  };
  const std::unique_ptr<ThreadInfo> thread = makeThread("main");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    thread->setThreadName(YString(c.name));
    EXPECT_STREQ(thread->name.data, c.name);
    EXPECT_EQ(thread->agentThread, c.agent);
    EXPECT_EQ(thread->ownThread, c.own);
    EXPECT_EQ(thread->serviceThread, c.service);
  }
  // The flags follow the name given at creation as well.
  EXPECT_TRUE(makeThread("BZPAgent-CpuSampler")->serviceThread);
}

TEST_F(ThreadInfoTest, NameUpdateWritesTheRowOnlyWhenTheNameChanged) {
  const std::unique_ptr<ThreadInfo> thread = makeThread("worker", "workers", 0, 0, true);
  database->currentStamp = 2;
  thread->updateThreadRecordName(db);
  ThreadRecord& row = rowOf(*thread);
  EXPECT_EQ(textOf(row.nameId), "worker");
  EXPECT_EQ(thread->cachedNameId, row.nameId);
  EXPECT_EQ(row.stamp, 2);

  database->currentStamp = 3;
  thread->updateThreadRecordName(db);
  EXPECT_EQ(row.stamp, 2);

  // Renamed to the same text: the cache is forgotten, but the row has the name already.
  thread->setThreadName(YString("worker"));
  thread->updateThreadRecordName(db);
  EXPECT_EQ(row.stamp, 2);
  EXPECT_EQ(thread->cachedNameId, row.nameId);

  thread->groupName = YString("new group");
  thread->daemon = false;
  thread->setThreadName(YString("renamed"));
  database->currentStamp = 4;
  thread->updateThreadRecordName(db);
  EXPECT_EQ(textOf(row.nameId), "renamed");
  EXPECT_EQ(textOf(row.groupNameId), "new group");
  EXPECT_EQ(row.daemon, 0);
  EXPECT_EQ(row.stamp, 4);
}

TEST_F(ThreadInfoTest, NameUpdateWithoutADatabaseIsFatal) {
  const std::unique_ptr<ThreadInfo> thread = makeThread("worker");
  const std::string error = fatalErrorOf([&] { thread->updateThreadRecordName(nullptr); });
  EXPECT_NE(error.find(": assertion failed: value is NULL"), std::string::npos) << error;
}

TEST(ThreadInfoWithoutDatabase, CreationIsFatal) {
  ASSERT_EQ(db, nullptr);
  YCriticalSectionLock held(&ourLock(), "Test:1");
  const std::string error = fatalErrorOf([] { ThreadInfo thread(YString("t"), YString(), 0, 0, nullptr, false); });
  EXPECT_NE(error.find(": db is NULL"), std::string::npos) << error;
  EXPECT_EQ(threadRegistry().threadSequence, 0u);
}
