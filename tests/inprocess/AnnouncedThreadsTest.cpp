#include <gtest/gtest.h>
#include <jvmti.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "agent/core/JvmtiEnvironments.h"
#include "agent/core/ThreadCallbacks.h"
#include "agent/db/DB.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "tests/inprocess/FrameRows.h"
#include "tests/inprocess/JavaValues.h"
#include "tests/inprocess/JvmDatabaseTest.h"
#include "tests/inprocess/ParkedThreads.h"
#include "tests/inprocess/SpinningThread.h"

// Records of other live Java threads, announced as the attach road announces the threads it finds:
// without a handle, named only when first looked up.

namespace {

std::string str(const YString& text) { return std::string(text.data, size_t(text.length)); }

using AnnouncedThreads = JvmDatabaseTest;
using ThreadCpuTimes = JvmDatabaseTest;

}  // namespace

TEST_F(AnnouncedThreads, ARecordIsNamedAtItsFirstLookupAndItsRowByTheNameUpdateOrTheEnd) {
  struct Case {
    const char16_t* name;
    const char16_t* group;
    bool daemon;
    bool lookedUp;         // getThreadRecord asks for it before its end
    bool rowNamedEarly;    // updateThreadRecordName runs before its end
    std::string expected;  // the name in modified UTF-8
    std::string groupName;
    bool ownThread;
    bool agentThread;
  };
  const Case cases[] = {
      {u"worker-1", nullptr, false, true, true, "worker-1", "main", false, false},
      {u"worker-2", u"workers", true, true, false, "worker-2", "workers", false, false},
      {u"w\u00f6rker-3", u"workers", false, true, true, "w\xc3\xb6rker-3", "workers", false, false},
      {u"BZPAgent-Something", nullptr, true, true, true, "BZPAgent-Something", "main", true, true},
      {u"BZP-Process-Exit-Listener-3", nullptr, true, true, false, "BZP-Process-Exit-Listener-3", "main", true, false},
      {u"never looked up", u"workers", true, false, false, "never looked up", "workers", false, false},
  };
  ParkedThreads parked(env);
  std::vector<jthread> threads;
  for (const Case& c : cases) {
    threads.push_back(parked.start(c.group, c.name, c.daemon));
    ASSERT_NE(threads.back(), nullptr);
  }
  const int32_t liveBefore = threadRegistry().liveThreads.count;
  for (const jthread thread : threads) onThreadStart(env, thread, 0, 0);
  EXPECT_EQ(threadRegistry().liveThreads.count, liveBefore + int32_t(threads.size()));

  std::vector<int32_t> rows;
  database->currentStamp = 5;
  for (size_t i = 0; i < threads.size(); i++) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.expected);
    ThreadInfo* record = storedRecord(threads[i]);
    ASSERT_NE(record, nullptr);
    rows.push_back(record->threadRow);
    EXPECT_TRUE(threadRegistry().liveThreads.contains(reinterpret_cast<int64_t>(record)));
    EXPECT_TRUE(env->IsSameObject(record->threadObject, threads[i]));
    EXPECT_EQ(str(record->name), "");
    EXPECT_FALSE(record->seen.load());
    EXPECT_FALSE(record->ownThread);
    if (!c.lookedUp) continue;

    EXPECT_EQ(getThreadRecord(env, threads[i]), record);
    EXPECT_TRUE(record->seen.load());
    EXPECT_EQ(str(record->name), c.expected);
    EXPECT_EQ(str(record->groupName), c.groupName);
    EXPECT_EQ(record->daemon, c.daemon);
    EXPECT_EQ(record->ownThread, c.ownThread);
    EXPECT_EQ(record->agentThread, c.agentThread);
    if (!c.rowNamedEarly) continue;
    record->updateThreadRecordName(db);
    const ThreadRecord& row = *database->threads.getRow(record->threadRow, false);
    EXPECT_EQ(stringText(row.nameId), c.expected);
    EXPECT_EQ(stringText(row.groupNameId), c.groupName);
    EXPECT_EQ(row.daemon, c.daemon ? 1 : 0);
    EXPECT_EQ(row.stamp, 5);
  }

  // The end writes the name of every record that was looked up; one never looked up leaves none.
  for (size_t i = 0; i < threads.size(); i++) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.expected);
    onThreadEnd(mainJvmti, env, threads[i]);
    EXPECT_EQ(storedRecord(threads[i]), nullptr);
    const ThreadRecord& row = *database->threads.getRow(rows[i], false);
    EXPECT_GT(row.endTime, 0);
    if (c.lookedUp) {
      EXPECT_EQ(stringText(row.nameId), c.expected);
      EXPECT_EQ(stringText(row.groupNameId), c.groupName);
      EXPECT_EQ(row.daemon, c.daemon ? 1 : 0);
    } else {
      EXPECT_EQ(row.nameId, 0);
    }
  }
  EXPECT_EQ(threadRegistry().liveThreads.count, liveBefore);
}

// A record reaches an announced thread's clock through its object while the thread lives; once it has
// ended the time is unknown rather than an error.
TEST_F(ThreadCpuTimes, TheTimeOfAThreadObjectGrowsWhileItRunsAndIsZeroOnceItEnded) {
  SpinningThread spinner(env, "SpinEntry");
  ASSERT_TRUE(spinner.spinning());
  ThreadInfo record(YString("spinner"), YString(), 0, 0, env->NewGlobalRef(spinner.thread()), false);
  const int64_t first = record.getCpuTimeNs();
  EXPECT_GT(first, 0);
  int64_t later = first;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (later == first && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    later = record.getCpuTimeNs();
  }
  EXPECT_GT(later, first);

  spinner.stop();
  EXPECT_EQ(record.getCpuTimeNs(), 0);
  env->DeleteGlobalRef(record.threadObject);
  record.threadObject = nullptr;
  EXPECT_EQ(record.getCpuTimeNs(), 0);
}
