#include <gtest/gtest.h>
#include <jni.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/db/DB.h"
#include "agent/recording/CountingSupport.h"
#include "agent/support/NamedLocks.h"
#include "tests/inprocess/CallbackFixture.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackSockets.h"
#include "tests/support/SnapshotReader.h"
#include "tests/support/TableReplyReader.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestDatabase.h"

// The real Java side counting into the native counters: its confirmation that it can write native
// memory, and its counts reaching table replies, clears and snapshots.

namespace {

using namespace std::chrono_literals;

// The value (count - base) of row `id` in `rows`; -1 when the row is not there.
int64_t valueOf(const std::vector<rowstream::Row>& rows, int32_t id) {
  for (const rowstream::Row& row : rows) {
    if (row.index == id && row.stamp > 0) return row.values.at(0);
  }
  return -1;
}

struct CounterKind {
  const char* name;
  CounterSet& (*counters)();
  int32_t table;
  const char* clear;  // the native that zeroes the kind's counts
};

const CounterKind counterKinds[] = {{"calls", callCounters, tableCallCount, "clearCpuData"},
                                    {"allocations", allocPointCounters, tableAllocObjectCount, "clearAllocationData"}};

class CountingInJvm : public CallbackTest {
 protected:
  // What every counting body of the Callback class does with the counter address its class holds.
  void javaCounts(uint64_t* counter, jint stripes, int32_t times) {
    const jmethodID count = method("count", "(JI)V");
    for (int32_t i = 0; i < times; i++) {
      env->CallStaticVoidMethod(callback, count, jlong(reinterpret_cast<intptr_t>(counter)), stripes);
      ASSERT_FALSE(env->ExceptionCheck());
    }
  }

  uint64_t* counterOf(const CounterKind& kind, int32_t id) {
    YCriticalSectionLock held(&ourLock(), "Test:1");
    return getCountingSlot(id, kind.counters());
  }

  // The value a table reply of the kind's table sends for row `id`.
  int64_t replied(const CounterKind& kind, int32_t id) {
    loopback::Connection connection(0, 0);
    callVoid("writeTables", "(II[I)V", jint(connection.sender()), jint(1 << kind.table), intArray({0}));
    EXPECT_EQ(pendingRuntimeException(), "<none>");
    const tablereply::Reply reply = tablereply::parseTableReply(connection.drain(300ms));
    return reply.tables.count(kind.table) == 0 ? -1 : valueOf(reply.tables.at(kind.table), id);
  }

  TestDatabase database;
};

}  // namespace

TEST_F(CountingInJvm, TheJavaSideConfirmsOnceAndIsNotAskedAgain) {
  const bool askedBefore = unsafeCreated.load();
  LogCapture log;
  EXPECT_TRUE(ensureUnsafeCreated(env));
  EXPECT_TRUE(unsafeCreated.load());
  EXPECT_TRUE(ensureUnsafeCreated(env));
  int32_t asked = 0;
  for (const std::string& entry : log.entries()) asked += entry == "ensureUnsafeCreated()";
  EXPECT_EQ(asked, askedBefore ? 0 : 1);
  // What it confirmed: its counting code writes native memory.
  uint64_t* counter = counterOf(counterKinds[0], 4 * 4096 + 3);
  javaCounts(counter, 8, 2);
  uint64_t total = 0;
  for (int32_t stripe = 0; stripe < getCounterStripeCount(); stripe++) total += counter[stripe * 4096];
  EXPECT_EQ(total, 2u);
}

TEST_F(CountingInJvm, CountsReachTheTableReplyAndAClearZeroesThem) {
  ASSERT_TRUE(ensureUnsafeCreated(env));
  for (const CounterKind& kind : counterKinds) {
    SCOPED_TRACE(kind.name);
    const int32_t id = 5 * 4096 + 11;
    uint64_t* counter = counterOf(kind, id);
    javaCounts(counter, 8, 5);
    javaCounts(counter, 4, 2);
    EXPECT_EQ(replied(kind, id), 7);

    // Counted but not yet flushed when the clear comes: still zeroed.
    javaCounts(counter, 8, 3);
    callVoid(kind.clear, "()V");
    ASSERT_EQ(pendingRuntimeException(), "<none>");
    EXPECT_EQ(replied(kind, id), 0);
    javaCounts(counter, 8, 1);
    EXPECT_EQ(replied(kind, id), 1);
  }
}

TEST_F(CountingInJvm, ASnapshotHoldsEveryCountSoFar) {
  ASSERT_TRUE(ensureUnsafeCreated(env));
  const int32_t id = 7 * 4096 + 4095;
  javaCounts(counterOf(counterKinds[0], id), 8, 4);
  javaCounts(counterOf(counterKinds[1], id), 4, 6);

  TempDir dir;
  const std::string path = dir.pathOf("counts.bzps");
  const uint64_t savedFlags = agentFlags.exchange(AGENT_NO_SUSPEND);
  const jobject result =
      callObject("captureSnapshot", "(Ljava/lang/String;IJ)Ljava/lang/String;", string(path.c_str()), 0, jlong(0));
  agentFlags = savedFlags;
  ASSERT_EQ(pendingRuntimeException(), "<none>");
  ASSERT_EQ(result, nullptr) << textOf(result);
  const snapshotfile::Snapshot snapshot = snapshotfile::readSnapshotFile(path);
  ASSERT_EQ(snapshot.tableRecords.size(), 1u);
  EXPECT_EQ(valueOf(snapshot.tableRecords[0].tables.at(tableCallCount), id), 4);
  EXPECT_EQ(valueOf(snapshot.tableRecords[0].tables.at(tableAllocObjectCount), id), 6);
}
