#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLoad.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/core/ThreadCallbacks.h"
#include "agent/db/DB.h"
#include "agent/db/ExceptionClear.h"
#include "agent/db/StringPool.h"
#include "agent/recording/ExceptionRecording.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/NamedLocks.h"
#include "tests/inprocess/InProcessJvm.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestDatabase.h"

// Exception recording on the test's own thread of a live JVM: the exception callbacks with a null
// exception object and without a pending throw, the tags, the clear and the merge of ended threads.

namespace {

class ExceptionRecording : public JvmTest {
 protected:
  TestDatabase database;
  ThreadInfo* thread = nullptr;
  jvmtiEnv* savedExceptionJvmti = nullptr;
  uint64_t savedProfiling = 0;

  void SetUp() override {
    JvmTest::SetUp();
    javaVm = inProcessJvm();
    savedExceptionJvmti = exceptionJvmti;
    exceptionJvmti = createJvmtiEnvironment(false);
    exceptionRows().init();
    YCriticalSectionLock held(&ourLock(), "Test:1");
    thread = new ThreadInfo(YString("main"), YString(), 0, 0, nullptr, false);
    ASSERT_EQ(setThreadRecord(nullptr, thread), JVMTI_ERROR_NONE);
    threadRegistry().liveThreads.add(reinterpret_cast<int64_t>(thread));
    savedProfiling = profilingFlags.exchange(PROFILING_EXCEPTION_TELEMETRY);
  }
  void TearDown() override {
    profilingFlags.store(savedProfiling);
    setThreadRecord(nullptr, nullptr);
    {
      YCriticalSectionLock held(&ourLock(), "Test:2");
      threadRegistry().liveThreads.remove(reinterpret_cast<int64_t>(thread));
      delete thread;
      exceptionRows().init();
    }
    exceptionJvmti->DisposeEnvironment();
    exceptionJvmti = savedExceptionJvmti;
    JvmTest::TearDown();
  }

  void replay() {
    YCriticalSectionLock held(&ourLock(), "Test:3");
    processThreadEvents(thread, held);
  }

  std::vector<ExceptionRecord> liveRows() {
    std::vector<ExceptionRecord> rows;
    database->exceptions.forEachRow([&](int64_t, const ExceptionRecord& row) {
      if (row.stamp > 0) rows.push_back(row);
    });
    return rows;
  }

  jobject newException() {
    const jclass type = env->FindClass("java/lang/IllegalStateException");
    return env->NewObject(type, env->GetMethodID(type, "<init>", "()V"));
  }

  jlong tagOf(jobject object) {
    jlong tag = -1;
    EXPECT_EQ(JVMTI_ERROR_NONE, exceptionJvmti->GetTag(object, &tag));
    return tag;
  }
};

// The JVM never throws null itself (throw null raises a NullPointerException), but its callbacks may
// pass none: such a throw counts under "<unknown>" and, untagged, is never taken for a rethrow.
TEST_F(ExceptionRecording, ANullExceptionObjectCountsAsUnknownEveryTime) {
  exceptionCallback(mainJvmti, env, nullptr, nullptr, 0, nullptr, nullptr, 0);
  exceptionCallback(mainJvmti, env, nullptr, nullptr, 0, nullptr, nullptr, 0);
  replay();
  const std::vector<ExceptionRecord> rows = liveRows();
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ(2, rows[0].count);
  EXPECT_EQ(0, rows[0].key.catchFrame);
  EXPECT_EQ(int32_t(thread->sequenceNumber), rows[0].key.thread);
  EXPECT_EQ(getStringId("<unknown>"), rows[0].key.className);
}

TEST_F(ExceptionRecording, ACatchWithoutAPendingThrowAndAnyThrowWhileOffAppendNothing) {
  const jobject exception = newException();
  exceptionCatchCallback(mainJvmti, env, nullptr, nullptr, 0, exception);
  profilingFlags.store(0);
  exceptionCallback(mainJvmti, env, nullptr, nullptr, 0, exception, nullptr, 0);
  EXPECT_EQ(0, thread->eventsUsed.load());
  EXPECT_EQ(0, tagOf(exception));
}

TEST_F(ExceptionRecording, TagsNameClassesAndObjectsUntilAClearWhichReplaysFirstAndStampsTheTable) {
  const jobject first = newException();
  const jobject second = newException();
  const int32_t classId = getExceptionClassId(env, first);
  EXPECT_EQ(getStringId("Ljava/lang/IllegalStateException;"), classId);
  EXPECT_TRUE(database->stringPool.isPinned(classId));
  EXPECT_EQ(classId, getExceptionClassId(env, second));
  const int32_t firstTag = getExceptionObjectTag(first);
  EXPECT_GT(firstTag, 0);
  EXPECT_EQ(firstTag, getExceptionObjectTag(first));
  EXPECT_EQ(firstTag + 1, getExceptionObjectTag(second));
  EXPECT_EQ(0, getExceptionObjectTag(nullptr));
  EXPECT_EQ(0, getExceptionClassId(env, nullptr));

  // An uncaught throw still in the buffer is counted before the clear, so none lands after it.
  exceptionCallback(mainJvmti, env, nullptr, nullptr, 0, first, nullptr, 0);
  ASSERT_GT(thread->eventsUsed.load(), 0);
  database->currentStamp = 7;
  {
    YCriticalSectionLock held(&ourLock(), "Test:4");
    clearExceptionStatistics(held);
  }
  EXPECT_EQ(thread->eventsUsed.load(), thread->replayPosition);
  EXPECT_TRUE(liveRows().empty());
  EXPECT_EQ(0, exceptionRows().count);
  EXPECT_EQ(7, database->tableGenerations.getGeneration(tableException));
  EXPECT_EQ(0, tagOf(env->GetObjectClass(first)));
  EXPECT_EQ(0, tagOf(first));
  EXPECT_EQ(0, thread->lastExceptionTag);
  // Tags go on counting; the class gets its string id again.
  EXPECT_GT(getExceptionObjectTag(first), firstTag + 1);
  EXPECT_EQ(classId, getExceptionClassId(env, first));
}

TEST_F(ExceptionRecording, AThrowWithoutAFrameIsDroppedWithAWarning) {
  LogCapture log;
  {
    YCriticalSectionLock held(&ourLock(), "Test:5");
    thread->currentTracedFrame = -1;
    p_e(thread, -1, 0, 5, 9, held);
    EXPECT_TRUE(liveRows().empty());
    thread->currentTracedFrame = 0;
    p_e(thread, -1, 0, 5, 9, held);
  }
  EXPECT_EQ(std::vector<std::string>{"warning: p_e: 1: -1 0 5 9"}, log.entries());
  const std::vector<ExceptionRecord> rows = liveRows();
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ(0, rows[0].key.throwFrame) << "the traced frame";
}

// The rows of purged threads go to "<Oldest finished threads>", summed by sites and class; their own
// rows are deleted and their ids given back; other threads' rows stay.
TEST_F(ExceptionRecording, MergedThreadsCountsMoveToTheOldestFinishedThreads) {
  YCriticalSectionLock held(&ourLock(), "Test:6");
  ThreadInfo* ended[] = {new ThreadInfo(YString("a"), YString(), 0, 0, nullptr, false),
                         new ThreadInfo(YString("b"), YString(), 0, 0, nullptr, false)};
  const int32_t classId = getStringId("LX;", true);
  for (int i = 0; i < 2; i++) p_e(ended[0], 0, 0, classId, 0, held);
  for (int i = 0; i < 3; i++) p_e(ended[1], 0, 0, classId, 0, held);
  p_e(thread, 0, 0, classId, 0, held);
  const int32_t stillLiveRow = thread->lastExceptionRow;
  const int32_t endedRow = ended[0]->lastExceptionRow;

  YSet<int32_t> purged(10);
  mergeDeadThreadExceptions(&purged);
  EXPECT_EQ(3u, liveRows().size()) << "an empty set merges nothing";

  for (ThreadInfo* record : ended) purged.add(int32_t(record->sequenceNumber));
  database->currentStamp = 4;
  mergeDeadThreadExceptions(&purged);
  std::vector<ExceptionRecord> rows = liveRows();
  ASSERT_EQ(2u, rows.size());
  const ExceptionKey target{int32_t(oldestFinishedThreads->sequenceNumber), 0, 0, classId};
  const int32_t targetRow = exceptionRows().get(target);
  ASSERT_GT(targetRow, 0);
  EXPECT_EQ(5, database->exceptions.getRow(targetRow, false)->count);
  EXPECT_EQ(4, database->exceptions.getRow(targetRow, false)->stamp);
  EXPECT_EQ(1, database->exceptions.getRow(stillLiveRow, false)->count);
  const ExceptionRecord* deleted = database->exceptions.getRow(endedRow, false);
  ASSERT_NE(nullptr, deleted);
  EXPECT_EQ(-4, deleted->stamp);
  EXPECT_EQ(0, deleted->count);
  EXPECT_EQ(0, deleted->key.thread);
  EXPECT_EQ(2, exceptionRows().count);
  // Both deleted rows' ids come back for new rows.
  const int32_t reused[] = {database->exceptions.ids.allocate(), database->exceptions.ids.allocate()};
  EXPECT_TRUE(reused[0] == endedRow || reused[1] == endedRow);
  for (ThreadInfo* record : ended) delete record;
}

}  // namespace
