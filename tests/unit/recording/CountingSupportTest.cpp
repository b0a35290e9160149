#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/db/Clears.h"
#include "agent/db/DB.h"
#include "agent/recording/CountingSupport.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/FreshProcess.h"
#include "tests/support/HiddenOption.h"
#include "tests/support/TestDatabase.h"

TEST(CountingSupport, CountersLieInChunksMadeWhenFirstAskedFor) {
  CounterSet counters;
  uint64_t* far = getCountingSlot(40960, counters);
  ASSERT_EQ(counters.size, 11);
  for (int32_t chunk = 0; chunk < 10; chunk++) EXPECT_EQ(counters.data[chunk], nullptr) << chunk;
  EXPECT_EQ(far, counters.data[10]);

  uint64_t* last = getCountingSlot(4095, counters);
  uint64_t* next = getCountingSlot(4096, counters);
  EXPECT_EQ(last, counters.data[0] + 4095);
  EXPECT_EQ(next, counters.data[1]);
  // The stripes of a counter are 32768 bytes apart, all zero at first; addresses never move.
  const int32_t stripes = getCounterStripeCount();
  EXPECT_EQ(stripes, 8);
  for (int32_t stripe = 0; stripe < stripes; stripe++) EXPECT_EQ(last[stripe * 4096], 0u);
  *last = 3;
  EXPECT_EQ(getCountingSlot(4095, counters), last);
  EXPECT_EQ(*getCountingSlot(4095, counters), 3u);

  EXPECT_EQ(fatalErrorOf([&] { getCountingSlot(-1, counters); }).rfind("error at YVector:", 0), 0u);
  // The process's own sets keep their chunks for good; this one is the test's.
  for (int32_t chunk = 0; chunk < counters.size; chunk++) delete[] counters.data[chunk];
}

TEST(CountingSupport, AnAllocationPointGetsOneStampedRow) {
  {
    TestDatabase database;
    YCriticalSectionLock held(&ourLock(), "Test:1");
    database->currentStamp = 4;
    const int32_t row = getAllocPointRow(int32_t(0xC0000000u | 3u << 19 | 9u), 21);
    EXPECT_EQ(getAllocPointRow(int32_t(0xC0000000u | 3u << 19 | 9u), 21), row);
    EXPECT_NE(getAllocPointRow(int32_t(0xC0000000u | 3u << 19 | 9u), 22), row);
    const AllocPointRecord& point = *database->allocPoints.getRow(row, false);
    EXPECT_EQ(point.stamp, 4);
    EXPECT_EQ(point.codePointKey, int32_t(0xC0000000u | 3u << 19 | 9u));
    EXPECT_EQ(point.classId, 21);
  }
  // A database made anew gets rows of its own.
  TestDatabase fresh;
  YCriticalSectionLock held(&ourLock(), "Test:1");
  const int32_t row = getAllocPointRow(int32_t(0xC0000000u | 3u << 19 | 9u), 22);
  EXPECT_EQ(fresh->allocPoints.getRow(row, false)->classId, 22);
}

TEST(CountingSupportWithoutDatabase, AnAllocationPointIsFatal) {
  EXPECT_EQ(fatalErrorOf([] { getAllocPointRow(1, 1); }), "error at DB:60: db is NULL");
}

namespace {

// Sets the process-wide flag for a test's length; afterwards it is what it was.
class UnsafeCreated {
 public:
  explicit UnsafeCreated(bool value) : old(unsafeCreated.exchange(value)) {}
  ~UnsafeCreated() { unsafeCreated.store(old); }
  UnsafeCreated(const UnsafeCreated&) = delete;
  UnsafeCreated& operator=(const UnsafeCreated&) = delete;

 private:
  const bool old;
};

template <class Record>
std::string describeRow(DBTable<Record>& table, int32_t id) {
  const Record* row = table.getRow(id, false);
  if (row == nullptr) return "none";
  return "stamp " + std::to_string(row->stamp) + " count " + std::to_string(row->count) + " base " +
         std::to_string(row->base);
}

// Counts `times` times into one stripe.
void count(uint64_t* counter, int32_t stripe, int32_t times) {
  for (int32_t i = 0; i < times; i++) countInStripe(counter, stripe);
}

// The two kinds of counter, each with its set, its table and the clear that zeroes it. The sets belong to
// the process and keep their counts from test to test, so each test counts in chunks of its own.
struct CounterKind {
  const char* name;
  CounterSet& (*counters)();
  void (*flush)(const YCriticalSectionLock&);
  std::string (*row)(DB&, int32_t);
  void (*resetBaseline)(DB&);
  void (*clear)(const YCriticalSectionLock&);
};

const CounterKind counterKinds[] = {
    {"calls", callCounters, flushCallCounters,
     [](DB& database, int32_t id) { return describeRow(database.callCounts, id); },
     [](DB& database) { resetCallCountBaseline(database.callCounts, database.currentStamp); },
     clearCpuProfilingData},
    {"allocations", allocPointCounters, flushAllocationCounters,
     [](DB& database, int32_t id) { return describeRow(database.allocObjectCounts, id); },
     [](DB& database) { resetAllocationCountBaseline(database.allocObjectCounts, database.currentStamp); },
     clearAllocationData},
};

class CountingFlush : public DatabaseTest {
 protected:
  UnsafeCreated javaSideCounts{true};
};

}  // namespace

TEST_F(CountingFlush, SumsTheStripesOfEveryCounterThatCountedIntoItsRow) {
  const int32_t stripes = getCounterStripeCount();
  for (const CounterKind& kind : counterKinds) {
    SCOPED_TRACE(kind.name);
    const int32_t first = 2 * 4096 + 10;
    const int32_t idle = first + 1;
    const int32_t late = first + 2;
    const int32_t far = first + 3 * 4096 + 1;  // past chunks never made
    uint64_t* counter = getCountingSlot(first, kind.counters());
    getCountingSlot(idle, kind.counters());
    count(counter, 0, 1);
    count(counter, 3, 2);
    count(counter, stripes - 1, 4);
    count(getCountingSlot(far, kind.counters()), 2, 3);
    database->currentStamp = 5;
    kind.flush(held);
    EXPECT_EQ(kind.row(*database, first), "stamp 5 count 7 base 0");
    EXPECT_EQ(kind.row(*database, far), "stamp 5 count 3 base 0");
    EXPECT_EQ(kind.row(*database, idle), "none");
    EXPECT_EQ(kind.row(*database, late), "none");

    // A counter that starts counting gets its row at the next flush; a total that stays keeps its stamp.
    database->currentStamp = 6;
    count(getCountingSlot(late, kind.counters()), 5, 1);
    kind.flush(held);
    EXPECT_EQ(kind.row(*database, late), "stamp 6 count 1 base 0");
    EXPECT_EQ(kind.row(*database, first), "stamp 5 count 7 base 0");
    EXPECT_EQ(kind.row(*database, idle), "none");

    database->currentStamp = 7;
    count(counter, 1, 1);
    kind.flush(held);
    EXPECT_EQ(kind.row(*database, first), "stamp 7 count 8 base 0");
    // The counters themselves are never reset.
    EXPECT_EQ(counter[0], 1u);
    EXPECT_EQ(counter[3 * 4096], 2u);
  }
}

TEST_F(CountingFlush, AfterABaselineResetAFlushWithoutNewCountsChangesNoRow) {
  for (const CounterKind& kind : counterKinds) {
    SCOPED_TRACE(kind.name);
    const int32_t id = 9 * 4096 + 4095;
    uint64_t* counter = getCountingSlot(id, kind.counters());
    count(counter, 0, 3);
    database->currentStamp = 5;
    kind.flush(held);
    database->currentStamp = 6;
    kind.resetBaseline(*database);
    EXPECT_EQ(kind.row(*database, id), "stamp 6 count 3 base 3");

    database->currentStamp = 7;
    kind.flush(held);
    EXPECT_EQ(kind.row(*database, id), "stamp 6 count 3 base 3");
    count(counter, 6, 1);
    kind.flush(held);
    EXPECT_EQ(kind.row(*database, id), "stamp 7 count 4 base 3");
  }
}

TEST_F(CountingFlush, AClearTakesInTheCountsNotYetFlushedBeforeItZeroesThem) {
  for (const CounterKind& kind : counterKinds) {
    SCOPED_TRACE(kind.name);
    const int32_t id = 10 * 4096;
    uint64_t* counter = getCountingSlot(id, kind.counters());
    count(counter, 0, 2);
    database->currentStamp = 5;
    kind.flush(held);
    count(counter, 1, 3);
    database->currentStamp = 6;
    kind.clear(held);
    EXPECT_EQ(kind.row(*database, id), "stamp 6 count 5 base 5");
    // Counts from before the clear never come back.
    database->currentStamp = 7;
    kind.flush(held);
    EXPECT_EQ(kind.row(*database, id), "stamp 6 count 5 base 5");
  }
}

// Application threads add while the flushes read; every add is in the last flush.
TEST_F(CountingFlush, ThreadsAddingToOneCounterSumExactly) {
  constexpr int32_t threads = 8;
  constexpr int32_t addsPerThread = 100000;
  const int32_t stripes = getCounterStripeCount();
  const int32_t id = 6 * 4096 + 77;
  uint64_t* counter = getCountingSlot(id, callCounters());
  for (int32_t stripe = 0; stripe < stripes; stripe++) ASSERT_EQ(counter[stripe * 4096], 0u);

  std::atomic<int32_t> running{threads};
  std::vector<std::thread> adders;
  for (int32_t t = 0; t < threads; t++) {
    // Half of them on stripes of their own, the other half all on stripe 0 together.
    const int32_t stripe = t < threads / 2 ? t & (stripes - 1) : 0;
    adders.emplace_back([counter, stripe, &running] {
      count(counter, stripe, addsPerThread);
      running.fetch_sub(1);
    });
  }
  int64_t seen = 0;
  while (running.load() > 0) {
    flushCallCounters(held);
    const CallCountRecord* row = database->callCounts.getRow(id, false);
    const int64_t now = row == nullptr ? 0 : row->count;
    EXPECT_GE(now, seen);
    EXPECT_LE(now, int64_t(threads) * addsPerThread);
    seen = now;
  }
  for (std::thread& adder : adders) adder.join();
  flushCallCounters(held);
  ASSERT_NE(database->callCounts.getRow(id, false), nullptr);
  EXPECT_EQ(database->callCounts.getRow(id, false)->count, int64_t(threads) * addsPerThread);
}

TEST(CountingBeforeTheJavaSide, AFlushLeavesTheTablesAlone) {
  const UnsafeCreated notYet(false);
  for (const CounterKind& kind : counterKinds) {
    SCOPED_TRACE(kind.name);
    const int32_t id = 11 * 4096 + 1;
    count(getCountingSlot(id, kind.counters()), 0, 1);
    {
      TestDatabase database;
      YCriticalSectionLock held(&ourLock(), "Test:1");
      kind.flush(held);
      EXPECT_EQ(kind.row(*database, id), "none");
    }
    YCriticalSectionLock held(&ourLock(), "Test:1");
    kind.flush(held);  // nor does it need a database
  }
}

TEST(CountingWithoutDatabase, AFlushIsFatal) {
  const UnsafeCreated javaSideCounts(true);
  YCriticalSectionLock held(&ourLock(), "Test:1");
  for (const CounterKind& kind : counterKinds) {
    EXPECT_EQ(fatalErrorOf([&] { kind.flush(held); }), "error at DB:60: db is NULL") << kind.name;
  }
}

#ifndef _WIN32
// The stripe count is read once per process.
TEST(CountingStripes, FourWithTheHiddenOption) {
  inFreshProcess([]() -> std::string {
    const HiddenOption fourStripes("_cf4");
    if (getCounterStripeCount() != 4) return "stripes: " + std::to_string(getCounterStripeCount());
    unsafeCreated = true;
    TestDatabase database;
    YCriticalSectionLock held(&ourLock(), "Test:1");
    uint64_t* counter = getCountingSlot(4095, callCounters());
    for (int32_t stripe = 0; stripe < 4; stripe++) count(counter, stripe, stripe + 1);
    flushCallCounters(held);
    const std::string row = describeRow(database->callCounts, 4095);
    return row == "stamp 1 count 10 base 0" ? std::string() : row;
  });
}
#endif

TEST(CountingCpuMode, CallCountingIsNotCpuProfiling) {
  const struct {
    uint64_t mode;
    bool on;
  } cases[] = {
      {0, false},
      {PROFILING_FLAGS_INITIAL, false},
      {PROFILING_FLAGS_INITIAL | PROFILING_CPU_SAMPLING, true},
      {PROFILING_FLAGS_INITIAL | PROFILING_CPU_SAMPLING | PROFILING_SAMPLING_ASYNC_CPU, true},
      {PROFILING_FLAGS_INITIAL | PROFILING_CPU_TRACING, true},
      {PROFILING_FLAGS_INITIAL | PROFILING_CALL_COUNTING, false},
      {PROFILING_CALL_COUNTING | 0x8, true},  // not call counting: tracing bits with 0x1000
      {0x1000, false},
  };
  const uint64_t saved = profilingFlags.load();
  for (const auto& c : cases) {
    profilingFlags.store(c.mode);
    EXPECT_EQ(isCpuProfilingOn(), c.on) << std::hex << c.mode;
  }
  profilingFlags.store(saved);
}
