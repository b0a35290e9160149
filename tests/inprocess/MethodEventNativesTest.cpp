#include <gtest/gtest.h>
#include <jvmti.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLifecycle.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/db/Clears.h"
#include "agent/db/DB.h"
#include "agent/platform/Clocks.h"
#include "agent/recording/MethodFilterFlags.h"
#include "agent/recording/MethodStore.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/recording/TracingReplay.h"
#include "agent/support/NamedLocks.h"
#include "tests/inprocess/CallbackFixture.h"
#include "tests/support/ScopedValue.h"
#include "tests/support/TestDatabase.h"

// The method entry, exit and line natives called through the real Callback class on a thread with a
// record: what they answer and the records they leave in the thread's event buffer.

namespace {

using namespace std::chrono_literals;
using Record = std::vector<uint32_t>;

int64_t wideAt(const Record& record, size_t at) { return int64_t(uint64_t(record[at]) | uint64_t(record[at + 1]) << 32); }

class MethodEventNatives : public CallbackTest {
 protected:
  void SetUp() override {
    CallbackTest::SetUp();
    YCriticalSectionLock held(&ourLock(), "Test:1");
    thread = new ThreadInfo(YString("main"), YString(), 0, 0, nullptr, false);
    ASSERT_EQ(setThreadRecord(nullptr, thread), JVMTI_ERROR_NONE);
    plain = getOrCreateMethod("Traced", "plain", "()", "void", "", false);
    wallTimed = getOrCreateMethod("Traced", "wallTimed", "()", "void", "", false);
    setMethodFlags(wallTimed, methodWallTime);
    savedFlags = profilingFlags.exchange(PROFILING_FLAGS_INITIAL | PROFILING_CPU_TRACING);
  }
  void TearDown() override {
    profilingFlags.store(savedFlags);
    setThreadRecord(nullptr, nullptr);
    {
      YCriticalSectionLock held(&ourLock(), "Test:2");
      delete thread;
    }
    CallbackTest::TearDown();
  }

  jlong entry(int32_t methodId) { return callLong("bzpMethodEntry0", "(I)J", jint(methodId)); }
  void exit(int32_t methodId, jlong token) { callVoid("bzpMethodExit0", "(IJ)V", jint(methodId), token); }
  void line(int32_t number) { callVoid("bzpMethodLine0", "(I)V", jint(number)); }
  jlong ownToken() const { return reinterpret_cast<jlong>(thread); }

  // The records the thread appended, each whole.
  std::vector<Record> records() const {
    std::vector<Record> found;
    const int32_t used = thread->eventsUsed.load();
    for (int32_t at = 0; at < used;) {
      const int32_t words = threadEventWords(thread->events[at]);
      if (words == 0 || at + words > used) {
        ADD_FAILURE() << "a broken record at word " << at;
        break;
      }
      found.emplace_back(thread->events + at, thread->events + at + words);
      at += words;
    }
    return found;
  }

  TestDatabase database;
  ThreadInfo* thread = nullptr;
  int32_t plain = 0;
  int32_t wallTimed = 0;
  uint64_t savedFlags = 0;
};

TEST_F(MethodEventNatives, WithoutTracingRunningAnEntryAnswers0AndNothingIsAppended) {
  const struct {
    const char* name;
    uint64_t flags;
    bool vmDead;
  } cases[] = {
      {"no CPU mode", PROFILING_FLAGS_INITIAL, false},
      {"sampling", PROFILING_FLAGS_INITIAL | PROFILING_CPU_SAMPLING, false},
      {"call counting", PROFILING_FLAGS_INITIAL | PROFILING_CALL_COUNTING, false},
      {"tracing after the JVM died", PROFILING_FLAGS_INITIAL | PROFILING_CPU_TRACING, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    profilingFlags.store(c.flags);
    vmDead.store(c.vmDead);
    EXPECT_EQ(0, entry(plain));
    exit(plain, 0);
    exit(plain, ownToken());
    vmDead.store(false);
    EXPECT_TRUE(records().empty());
  }
  EXPECT_EQ(pendingRuntimeException(), "<none>");
}

TEST_F(MethodEventNatives, TheFirstEntryOfAnEpochRecordsTheWholeStackAndLaterOnesTheMethod) {
  // An exit before any entry of the epoch knows no stack to close a call on.
  exit(plain, 1);
  EXPECT_TRUE(records().empty());

  const int32_t epoch = tracingEpoch.load();
  EXPECT_EQ(ownToken(), entry(plain));
  EXPECT_EQ(ownToken(), entry(wallTimed));
  exit(wallTimed, ownToken());
  exit(plain, 1);  // an entry that recorded nothing, and yet the exit of a known stack
  tracingEpoch.fetch_add(1);
  EXPECT_EQ(ownToken(), entry(plain));

  const std::vector<Record> found = records();
  ASSERT_EQ(5u, found.size());
  EXPECT_EQ((Record{eventTracedStack, found[0][1], found[0][2], found[0][3], found[0][4], found[0][5], uint32_t(epoch)}),
            found[0]);
  EXPECT_GT(wideAt(found[0], 2), 0) << "wall time";
  EXPECT_GT(wideAt(found[0], 4), 0) << "CPU time";
  EXPECT_EQ((Record{eventMethodEntry, uint32_t(wallTimed), found[1][2], found[1][3], uint32_t(epoch), 0}), found[1]);
  EXPECT_EQ((Record{eventMethodExit, uint32_t(wallTimed), found[2][2], found[2][3], uint32_t(epoch)}), found[2]);
  EXPECT_EQ((Record{eventMethodExit, uint32_t(plain), found[3][2], found[3][3], uint32_t(epoch)}), found[3]);
  EXPECT_EQ(eventTracedStack, found[4][0]) << "a new epoch records the stack again";
  EXPECT_EQ(uint32_t(epoch + 1), found[4][6]);
  EXPECT_EQ(pendingRuntimeException(), "<none>");
}

// Entries and exits are timed by the clock the replay charges the method by: the wall clock for wall-time
// methods and while every method counts as one, else the thread's CPU time.
TEST_F(MethodEventNatives, EachMethodIsTimedByItsOwnClock) {
  ASSERT_EQ(ownToken(), entry(plain));  // the stack, so that the next records are of one method each
  const struct {
    const char* name;
    bool allWallTime;
    bool wallTimedMethod;
    bool wallClock;
  } cases[] = {
      {"CPU-timed method", false, false, false},
      {"wall-time method", false, true, true},
      {"every method wall-timed", true, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedValue<bool> everyMethod(allMethodsWallTime, c.allWallTime);
    const int32_t method = c.wallTimedMethod ? wallTimed : plain;
    const size_t before = records().size();
    const int64_t from = c.wallClock ? getTimeNs() : getCurrentThreadCpuTimeNs();
    entry(method);
    exit(method, ownToken());
    const int64_t to = c.wallClock ? getTimeNs() : getCurrentThreadCpuTimeNs();
    const std::vector<Record> found = records();
    ASSERT_EQ(before + 2, found.size());
    for (const Record& record : {found[before], found[before + 1]}) {
      EXPECT_GE(wideAt(record, 2), from);
      EXPECT_LE(wideAt(record, 2), to);
    }
  }
}

TEST_F(MethodEventNatives, ALineGoesIntoTheNextEntryOnly) {
  tracingLinesAvailable.store(true);
  line(7);  // taken by the entry that records the stack, which has no line field
  entry(plain);
  line(42);
  entry(plain);
  entry(plain);
  tracingLinesAvailable.store(false);
  line(43);
  entry(plain);
  const std::vector<Record> found = records();
  ASSERT_EQ(4u, found.size());
  EXPECT_EQ(42u, found[1][5]);
  EXPECT_EQ(0u, found[2][5]);
  EXPECT_EQ(0u, found[3][5]) << "no lines while they are not available";
}

// The token is the thread's record only to compare with: whatever long comes back from Java, the exit
// reads the calling thread's own record, and one that is not its own records nothing.
TEST_F(MethodEventNatives, AnExitWithATokenThatIsNotTheThreadsOwnRecordsNothing) {
  ASSERT_EQ(ownToken(), entry(plain));
  ThreadInfo* other;
  {
    YCriticalSectionLock held(&ourLock(), "Test:3");
    other = new ThreadInfo(YString("other"), YString(), 0, 0, nullptr, false);
  }
  for (const jlong token : {jlong(2), jlong(-1), jlong(0x7fffffffffffffff), ownToken() + 8,
                            reinterpret_cast<jlong>(other)}) {
    exit(plain, token);
  }
  EXPECT_EQ(1u, records().size());
  EXPECT_EQ(0, other->eventsUsed.load());
  exit(plain, ownToken());
  EXPECT_EQ(2u, records().size());
  YCriticalSectionLock held(&ourLock(), "Test:4");
  delete other;
}

TEST_F(MethodEventNatives, TheAgentsOwnThreadsAreNotTraced) {
  thread->setThreadName(YString("BZPAgent-Test"));
  line(5);
  EXPECT_EQ(1, entry(plain));
  exit(plain, 1);
  EXPECT_TRUE(records().empty());
  EXPECT_EQ(0, thread->pendingLine);
}

// An excluded method is not recorded; the entry tells the Java side, whose exclusion set takes ids below
// 8,000,000, by calling its synchronized excludeByAdaptiveTracing. Whether a call reaches Java shows while
// another thread holds the class's monitor: the call then waits for it.
TEST_F(MethodEventNatives, AnExcludedMethodIsReportedToJavaOnlyWithAnIdBelow8000000) {
  const int32_t excludedHigh = 8000000;
  {
    YCriticalSectionLock held(&ourLock(), "Test:5");
    setMethodFlags(plain, methodAdaptiveExcluded);
    MethodRecord& high = *database->methods.getRow(excludedHigh, true);
    high.flags = methodAdaptiveExcluded;
    high.stamp = database->currentStamp;
  }
  const struct {
    const char* name;
    int32_t methodId;
    bool reported;
  } cases[] = {{"id below 8,000,000", plain, true}, {"id 8,000,000", excludedHigh, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(JNI_OK, env->MonitorEnter(callback));
    std::atomic<bool> done{false};
    jlong answer = -1;
    std::thread caller([&] {
      JNIEnv* callerEnv = nullptr;
      inProcessJvm()->AttachCurrentThread(reinterpret_cast<void**>(&callerEnv), nullptr);
      answer = callerEnv->CallStaticLongMethod(callback, callerEnv->GetStaticMethodID(callback, "bzpMethodEntry0", "(I)J"),
                                               jint(c.methodId));
      if (callerEnv->ExceptionCheck()) callerEnv->ExceptionClear();
      inProcessJvm()->DetachCurrentThread();
      done.store(true);
    });
    const auto deadline = std::chrono::steady_clock::now() + (c.reported ? 300ms : 10s);
    while (!done.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(!c.reported, done.load()) << (c.reported ? "did not wait for the Java side" : "waited for the Java side");
    env->MonitorExit(callback);
    caller.join();
    EXPECT_EQ(1, answer);
  }
  // The Java side skips the reported method from now on.
  const jfieldID field = env->GetStaticFieldID(callback, "excludedMethods", "[J");
  const auto excluded = static_cast<jlongArray>(env->GetStaticObjectField(callback, field));
  ASSERT_NE(nullptr, excluded);
  jlong word = 0;
  env->GetLongArrayRegion(excluded, plain >> 6, 1, &word);
  EXPECT_NE(0, word & (jlong(1) << (plain & 63)));
  EXPECT_TRUE(records().empty());
}

}  // namespace
