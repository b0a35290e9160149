#include <gtest/gtest.h>
#include <jvmti.h>

#include <string>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLifecycle.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/core/ThreadCallbacks.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "tests/inprocess/InProcessJvm.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestDatabase.h"

// The thread, exception and death callbacks on the test's own thread of a live JVM.

namespace {

class ThreadCallbacks : public JvmTest {
 protected:
  TestDatabase database;
  jthread self = nullptr;

  void SetUp() override {
    JvmTest::SetUp();
    const jclass threadClass = env->FindClass("java/lang/Thread");
    self = env->CallStaticObjectMethod(threadClass,
                                       env->GetStaticMethodID(threadClass, "currentThread", "()Ljava/lang/Thread;"));
    ASSERT_FALSE(env->ExceptionCheck());
  }
  void TearDown() override {
    setThreadRecord(self, nullptr);
    JvmTest::TearDown();
  }

  ThreadInfo* storedRecord() {
    void* stored = nullptr;
    EXPECT_EQ(JVMTI_ERROR_NONE, mainJvmti->GetThreadLocalStorage(self, &stored));
    return static_cast<ThreadInfo*>(stored);
  }
  bool isLive(ThreadInfo* record) { return threadRegistry().liveThreads.contains(reinterpret_cast<int64_t>(record)); }
};

TEST_F(ThreadCallbacks, AnnouncedThreadIsRegisteredOnceAndRetiredAtItsEnd) {
  LogCapture log;
  onThreadStart(env, self, 0, 0);
  ThreadInfo* record = storedRecord();
  ASSERT_NE(nullptr, record);
  EXPECT_TRUE(isLive(record));
  // Announced without a handle: the record reaches the thread through its object.
  ASSERT_NE(nullptr, record->threadObject);
  EXPECT_TRUE(env->IsSameObject(record->threadObject, self));
  const int32_t row = record->threadRow;

  onThreadStart(env, self, 0, 0);
  EXPECT_EQ(record, storedRecord());
  const std::vector<std::string> entries = log.entries();
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ("warning: multiple ThreadStart events: TRN=" + std::to_string(record->threadNumber) + " name=", entries[0]);

  onThreadEnd(mainJvmti, env, self);
  EXPECT_EQ(nullptr, storedRecord());
  EXPECT_FALSE(isLive(record));
  const ThreadRecord& ended = *database->threads.getRow(row, false);
  EXPECT_GT(ended.endTime, 0);
  const YVector<int32_t>& dead = threadRegistry().deadThreads;
  ASSERT_GT(dead.size, 0);
  EXPECT_EQ(ended.sequenceNumber, dead[dead.size - 1]);
}

TEST_F(ThreadCallbacks, ThreadsStartingAfterTheJvmsDeathGetNoRecord) {
  vmDead.store(true);
  onThreadStart(env, self, 0, 0);
  vmDead.store(false);
  EXPECT_EQ(nullptr, storedRecord());
  // Nothing to retire either.
  onThreadEnd(mainJvmti, env, self);
  EXPECT_EQ(nullptr, storedRecord());
}

TEST_F(ThreadCallbacks, ExceptionsAreCountedWhateverTheThreadsRecord) {
  const uint64_t before = totalExceptionsThrown.load();
  exceptionCallback(mainJvmti, env, self, nullptr, 0, nullptr, nullptr, 0);
  onThreadStart(env, self, 0, 0);
  exceptionCallback(mainJvmti, env, self, nullptr, 0, nullptr, nullptr, 0);
  EXPECT_EQ(before + 2, totalExceptionsThrown.load());
  onThreadEnd(mainJvmti, env, self);
}

TEST_F(ThreadCallbacks, JvmDyingBeforeTheAgentWasInitialisedCallsNothingInJava) {
  ASSERT_FALSE(agentInitialized.load());
  LogCapture log;
  vmDeath(mainJvmti, env);
  EXPECT_EQ((std::vector<std::string>{"vmDeath: 1", "vmDeath: nothing to do"}), log.entries());
  EXPECT_FALSE(vmDead.load());
}

}  // namespace
