#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/core/Options.h"
#include "agent/db/DB.h"
#include "agent/db/EventRows.h"
#include "agent/recording/ThreadEnd.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/NamedLocks.h"
#include "agent/support/Stopwatch.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/HiddenOption.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedValue.h"
#include "tests/support/TestDatabase.h"

namespace {

// The running-mode word for a test's length.
class ScopedProfilingFlags {
 public:
  explicit ScopedProfilingFlags(uint64_t value) : old(profilingFlags.exchange(value)) {}
  ~ScopedProfilingFlags() { profilingFlags.store(old); }
  ScopedProfilingFlags(const ScopedProfilingFlags&) = delete;
  ScopedProfilingFlags& operator=(const ScopedProfilingFlags&) = delete;

 private:
  uint64_t old;
};

constexpr uint64_t cpuSampling = 0x4;

std::vector<std::string> entriesStartingWith(const LogCapture& log, const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& entry : log.entries()) {
    if (entry.compare(0, prefix.size(), prefix) == 0) found.push_back(entry);
  }
  return found;
}

// A fresh database, recording on and the default limit of ended threads, under "ourLock".
class ThreadEndTest : public ::testing::Test {
 protected:
  ScopedValue<int32_t> limit{globalOptions().deadThreadLimit, 50};
  ScopedProfilingFlags recording{cpuSampling};
  std::unique_ptr<TestDatabase> database = std::make_unique<TestDatabase>();
  YCriticalSectionLock held{&ourLock(), "Test:1"};
  ThreadRegistry& registry = threadRegistry();

  // Sequence and thread numbers start again.
  void freshDatabase() {
    database.reset();
    database = std::make_unique<TestDatabase>();
  }

  // A started thread as the ThreadStart handler leaves it: registered among the live records.
  ThreadInfo* startThread() {
    ThreadInfo* thread = new ThreadInfo(YString("worker"), YString("main"), 0, 0, nullptr, false);
    registry.liveThreads.add(reinterpret_cast<int64_t>(thread));
    return thread;
  }
  // Ends the thread as the ThreadEnd handler does; its sequence number.
  int32_t endThread(ThreadInfo* thread) {
    processThreadEnd(thread, held);
    const int32_t sequence = int32_t(thread->sequenceNumber);
    delete thread;
    return sequence;
  }
  std::vector<int32_t> runThreads(int32_t count) {
    std::vector<int32_t> sequences;
    for (int32_t i = 0; i < count; i++) sequences.push_back(endThread(startThread()));
    return sequences;
  }

  std::vector<int32_t> deadThreads() const {
    return std::vector<int32_t>(registry.deadThreads.data, registry.deadThreads.data + registry.deadThreads.size);
  }
  ThreadRecord* rowOfSequence(int32_t sequence) {
    ThreadRecord* found = nullptr;
    db->threads.forEachRow([&](int64_t, ThreadRecord& row) {
      if (row.stamp > 0 && row.sequenceNumber == sequence) found = &row;
    });
    return found;
  }
  // CPU time charged to (thread number, frame).
  void chargeCpu(int32_t threadNumber, int32_t frame, int64_t time) {
    CpuProfilingRecord& row = *db->cpuProfiling.getRow(db->getThreadFrameId(threadNumber, frame, true), true);
    row.time += time;
    row.stamp = db->currentStamp;
  }
  int64_t cpuOf(int32_t threadNumber, int32_t frame) {
    const int32_t pair = db->getThreadFrameId(threadNumber, frame, false);
    if (pair < 0) return -1;
    const CpuProfilingRecord* row = db->cpuProfiling.getRow(pair, false);
    return row == nullptr || row->stamp < 1 ? -1 : row->time;
  }
};

}  // namespace

TEST_F(ThreadEndTest, TheRowGetsItsEndTimeAndTheThreadKeepsItsNumberAndFrames) {
  ThreadInfo* thread = startThread();
  const int32_t row = thread->threadRow;
  const int32_t number = thread->threadNumber;
  chargeCpu(number, 7, 100);
  db->currentStamp = 5;
  const int64_t before = stopwatchElapsedNs(agentUptimeStopwatch());
  processThreadEnd(thread, held);
  const int64_t after = stopwatchElapsedNs(agentUptimeStopwatch());
  EXPECT_FALSE(registry.liveThreads.contains(reinterpret_cast<int64_t>(thread)));
  const int32_t sequence = int32_t(thread->sequenceNumber);
  delete thread;

  const ThreadRecord& record = *db->threads.getRow(row, false);
  EXPECT_GE(record.endTime, before);
  EXPECT_LE(record.endTime, after);
  EXPECT_EQ(record.stamp, 5);
  EXPECT_EQ(record.threadNumber, number);
  EXPECT_EQ(cpuOf(number, 7), 100);
  EXPECT_EQ(deadThreads(), std::vector<int32_t>{sequence});
  EXPECT_EQ(registry.endedThreadCount, 1u);
}

TEST_F(ThreadEndTest, PastTheLimitAndTenMoreTheOldestAreFoldedIntoTheOldestFinishedThreads) {
  for (const int32_t deadThreadLimit : {50, 1}) {
    SCOPED_TRACE(deadThreadLimit);
    freshDatabase();
    ScopedValue<int32_t> limitNow(globalOptions().deadThreadLimit, deadThreadLimit);
    ThreadInfo* first = startThread();
    const int32_t firstNumber = first->threadNumber;
    chargeCpu(firstNumber, 7, 100);
    chargeCpu(oldestFinishedThreads->threadNumber, 7, 20);
    std::vector<int32_t> ended{endThread(first)};
    for (int32_t sequence : runThreads(deadThreadLimit + 9)) ended.push_back(sequence);
    EXPECT_EQ(deadThreads(), ended);
    EXPECT_FALSE(registry.threadGcPending);

    db->currentStamp = 9;
    ended.push_back(endThread(startThread()));
    // Eleven go: the list is back at the limit.
    EXPECT_EQ(deadThreads(), std::vector<int32_t>(ended.begin() + 11, ended.end()));
    EXPECT_TRUE(registry.threadGcPending);
    for (int32_t i = 0; i < int32_t(ended.size()); i++) {
      const ThreadRecord* row = rowOfSequence(ended[i]);
      ASSERT_NE(row, nullptr);  // purged rows stay
      EXPECT_NE(row->endTime, 0);
      EXPECT_EQ(row->threadNumber == 0, i < 11) << i;
      if (i < 11) {
        EXPECT_EQ(row->stamp, 9);
      }
    }
    EXPECT_EQ(cpuOf(oldestFinishedThreads->threadNumber, 7), 120);
    EXPECT_EQ(cpuOf(firstNumber, 7), -1);
    // The freed numbers are handed out again.
    ThreadInfo* next = startThread();
    EXPECT_GE(next->threadNumber, firstNumber);
    EXPECT_LE(next->threadNumber, firstNumber + 10);
    registry.liveThreads.remove(reinterpret_cast<int64_t>(next));
    delete next;
  }
}

TEST_F(ThreadEndTest, ThreadsEndedBeforeAQuietPeriodStayUntilRecordingResumes) {
  const std::vector<int32_t> recorded = runThreads(20);
  std::vector<int32_t> quiet;
  {
    ScopedProfilingFlags nothingRecorded(0);
    quiet = runThreads(60);
  }
  // Only threads of the quiet period were purged, down to the limit behind the protected ones.
  std::vector<int32_t> expected(recorded);
  expected.insert(expected.end(), quiet.begin() + 10, quiet.end());
  EXPECT_EQ(deadThreads(), expected);
  EXPECT_EQ(registry.deadThreadPurgeFrom, 20);
  for (int32_t sequence : recorded) EXPECT_NE(rowOfSequence(sequence)->threadNumber, 0);
  EXPECT_EQ(rowOfSequence(quiet[9])->threadNumber, 0);

  // The first end with recording back makes every entry purgeable.
  const int32_t last = endThread(startThread());
  EXPECT_EQ(registry.deadThreadPurgeFrom, 0);
  EXPECT_EQ(registry.deadThreads.size, 50);
  EXPECT_EQ(registry.deadThreads[49], last);
  for (int32_t sequence : recorded) EXPECT_EQ(rowOfSequence(sequence)->threadNumber, 0);
}

TEST_F(ThreadEndTest, Every128thEndCollectsTheStringPool) {
  for (int32_t i = 0; i < 10000; i++) getStringId(("unused text " + std::to_string(i)).c_str());
  LogCapture log;
  runThreads(127);
  EXPECT_TRUE(entriesStartingWith(log, "SP: gc #").empty());
  const int32_t poolSize = db->stringPool.size();
  runThreads(1);
  EXPECT_EQ(entriesStartingWith(log, "SP: gc #").size(), 1u);
  EXPECT_LT(db->stringPool.size(), poolSize - 9000);
  EXPECT_TRUE(entriesStartingWith(log, "TRN: gc #").empty());
}

TEST_F(ThreadEndTest, Every512thEndCollectsThreadRowsOnceSomePurgeHappened) {
  struct Case {
    const char* name;
    int32_t limit;
    bool disabled;
    bool collects;
  };
  const Case cases[] = {
      {"after purges", 50, false, true},
      {"switched off", 50, true, false},
      {"nothing purged", 1000, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    freshDatabase();
    ScopedValue<int32_t> limitNow(globalOptions().deadThreadLimit, c.limit);
    std::unique_ptr<HiddenOption> disable(c.disabled ? new HiddenOption("_disable_thread_gc") : nullptr);
    LogCapture log;
    const std::vector<int32_t> ended = runThreads(511);
    EXPECT_TRUE(entriesStartingWith(log, "TRN: gc #").empty());
    runThreads(1);
    const std::vector<std::string> lines = entriesStartingWith(log, "TRN: gc #");
    if (!c.collects) {
      EXPECT_TRUE(lines.empty());
      EXPECT_NE(rowOfSequence(ended[0]), nullptr);
      continue;
    }
    // Four special entries and 512 ended threads, of which the 462 purged ones go.
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(0, lines[0].find(" ms=")), "TRN: gc #0 516-462=54");
    EXPECT_EQ(rowOfSequence(ended[0]), nullptr);
    EXPECT_NE(rowOfSequence(ended[500]), nullptr);
  }
}

namespace {

class ThreadRowCollectionTest : public ThreadEndTest {
 protected:
  // The row of a thread that ended and was purged: it has no thread number any more.
  int32_t purgedThread(int32_t* rowId = nullptr) {
    ThreadInfo* thread = startThread();
    db->threads.getRow(thread->threadRow, false)->threadNumber = 0;
    if (rowId != nullptr) *rowId = thread->threadRow;
    registry.liveThreads.remove(reinterpret_cast<int64_t>(thread));
    const int32_t sequence = int32_t(thread->sequenceNumber);
    delete thread;
    return sequence;
  }
  void addMonitorRow(int32_t thread, int32_t owner, int32_t stamp) {
    MonitorRecord& row = *db->monitors.getRow(db->monitors.ids.allocate(), true);
    row.key = MonitorKey{thread, 1, owner, 1};
    row.stamp = stamp;
  }
};

}  // namespace

TEST_F(ThreadRowCollectionTest, RowsThatNothingLiveRefersToAreDeleted) {
  const int32_t waiter = purgedThread();
  const int32_t owner = purgedThread();
  const int32_t thrower = purgedThread();
  const int32_t sampled = purgedThread();
  const int32_t eventThread = purgedThread();
  int32_t unreferencedRow = 0;
  const int32_t unreferenced = purgedThread(&unreferencedRow);
  int32_t ofDeletedMonitorRow = 0;
  const int32_t ofDeletedMonitor = purgedThread(&ofDeletedMonitorRow);
  ThreadInfo* live = startThread();  // unreferenced, but not purged

  addMonitorRow(waiter, owner, 1);
  addMonitorRow(ofDeletedMonitor, 0, -1);
  ExceptionRecord& exception = *db->exceptions.getRow(db->exceptions.ids.allocate(), true);
  exception.key = ExceptionKey{thrower, 1, 1, 1};
  exception.stamp = 1;
  TelemetryRecord& point = db->telemetry.rows.append();
  point.items.add(ThreadState{sampled, 0, 0, 0});
  point.stamp = 1;
  ASSERT_EQ(db->createEventTable(YString("Calls\n2\nuptime_ns\n1\nthread\n0\n")), 32);
  ASSERT_NE(openEventRow(held, 32, 5, 1000, 0, eventThread), nullptr);

  db->currentStamp = 6;
  LogCapture log;
  collectDeadThreadRecords(held);

  for (int32_t kept : {waiter, owner, thrower, sampled, eventThread}) EXPECT_NE(rowOfSequence(kept), nullptr) << kept;
  EXPECT_NE(rowOfSequence(int32_t(live->sequenceNumber)), nullptr);
  EXPECT_EQ(rowOfSequence(unreferenced), nullptr);
  EXPECT_EQ(rowOfSequence(ofDeletedMonitor), nullptr);
  // A deleted row is empty and stamped deleted, and its id is handed out again.
  const ThreadRecord& deleted = *db->threads.getRow(unreferencedRow, false);
  EXPECT_EQ(deleted.stamp, -6);
  EXPECT_EQ(deleted.sequenceNumber, 0);
  EXPECT_EQ(deleted.groupNameId, 0);
  const int32_t reused = db->threads.ids.peek();
  EXPECT_TRUE(reused == unreferencedRow || reused == ofDeletedMonitorRow) << reused;
  // Four special entries, seven purged threads and the live one; two deleted.
  const std::vector<std::string> lines = entriesStartingWith(log, "TRN: gc #");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(0, lines[0].find(" ms=")), "TRN: gc #0 12-2=10");

  collectDeadThreadRecords(held);
  const std::vector<std::string> again = entriesStartingWith(log, "TRN: gc #");
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(again[1].substr(0, again[1].find(" ms=")), "TRN: gc #1 10-0");

  registry.liveThreads.remove(reinterpret_cast<int64_t>(live));
  delete live;
}

TEST_F(ThreadRowCollectionTest, AThreadColumnOfTwoSlotsIsABrokenInvariant) {
  ASSERT_EQ(db->createEventTable(YString("Calls\n2\nuptime_ns\n1\nthread\n0\n")), 32);
  ASSERT_NE(openEventRow(held, 32, 5, 1000, 0, purgedThread()), nullptr);
  EventTable& table = *db->eventTables[32];
  table.columnTypes[table.threadColumn] = eventColumnLong;
  EXPECT_EQ(fatalErrorOf([&] { collectDeadThreadRecords(held); }), "error at DB:1122: assertion failed");
}

TEST_F(ThreadEndTest, WithoutADatabaseTheEndAndTheCollectionAreFatal) {
  ThreadInfo* thread = startThread();
  {
    ScopedValue<DB*> noDatabase(db, nullptr);
    EXPECT_EQ(fatalErrorOf([&] { processThreadEnd(thread, held); }), "error at ThreadInfo:349: db is NULL");
    EXPECT_EQ(fatalErrorOf([&] { collectDeadThreadRecords(held); }), "error at ThreadInfo:249: db is NULL");
  }
  EXPECT_TRUE(registry.deadThreads.size == 0);
  endThread(thread);
}
