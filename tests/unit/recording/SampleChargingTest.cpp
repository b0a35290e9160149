#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "agent/db/DB.h"
#include "agent/platform/Clocks.h"
#include "agent/recording/FrameTree.h"
#include "agent/recording/MethodFilterFlags.h"
#include "agent/recording/MethodStore.h"
#include "agent/recording/SampleCharging.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/support/Stopwatch.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedValue.h"
#include "tests/support/TestDatabase.h"

namespace {

constexpr int64_t ms = 1000000;
constexpr int64_t seconds = 1000 * ms;

// The stack root -> A -> W -> B, where only W is a wall-time method.
class SampleChargingTest : public DatabaseTest {
 protected:
  void SetUp() override {
    const int32_t wallMethod = getOrCreateMethod("test.Chain", "waitForInput", "()", "void", "Chain.java", false);
    database->methods.getRow(wallMethod, false)->flags |= methodWallTime;
    a = getOrCreateChildFrame(0, getOrCreateMethod("test.Chain", "main", "()", "void", "Chain.java", false), 10);
    w = getOrCreateChildFrame(a, wallMethod, 20);
    b = getOrCreateChildFrame(w, getOrCreateMethod("test.Chain", "parse", "()", "void", "Chain.java", false), 30);
  }

  std::unique_ptr<ThreadInfo> makeThread() {
    return std::make_unique<ThreadInfo>(YString("sampled"), YString("main"), 0, 0, nullptr, false);
  }

  // The time charged to (thread, frame); -1 when it has no row.
  int64_t chargedTo(const ThreadInfo& thread, int32_t frame) {
    const int32_t pair = database->getThreadFrameId(thread.threadNumber, frame, false);
    const CpuProfilingRecord* row = pair < 0 ? nullptr : database->cpuProfiling.getRow(pair, false);
    return row == nullptr || row->stamp < 1 ? -1 : row->time;
  }
  int32_t stampOf(const ThreadInfo& thread, int32_t frame) {
    return database->cpuProfiling.getRow(database->getThreadFrameId(thread.threadNumber, frame, false), false)->stamp;
  }

  int32_t a = 0, w = 0, b = 0;
};

}  // namespace

TEST_F(SampleChargingTest, CallersOfAWallTimeMethodGetTheWallDeltaAndTheRestTheCpuDelta) {
  struct Sample {
    int64_t cpu, wall;
  };
  struct Case {
    const char* name;
    bool allWallTime;
    Sample first, second;
    int64_t expectedB, expectedW, expectedA;
  };
  const int64_t cpu0 = 3 * seconds, wall0 = 50 * seconds;
  const Case cases[] = {
      {"wall ahead of CPU", false, {cpu0, wall0}, {cpu0 + 30 * ms, wall0 + 100 * ms}, 30 * ms, 100 * ms, 100 * ms},
      {"wall behind CPU", false, {cpu0, wall0}, {cpu0 + 30 * ms, wall0 + 10 * ms}, 30 * ms, 30 * ms, 30 * ms},
      {"wall backwards", false, {cpu0, wall0}, {cpu0 + 30 * ms, wall0 - 10 * ms}, 30 * ms, 30 * ms, 30 * ms},
      {"CPU jump of 150 s", false, {cpu0, wall0}, {cpu0 + 150 * seconds, wall0 + 100 * ms}, 0, 100 * ms, 100 * ms},
      {"CPU jump of 100 s", false, {cpu0, wall0}, {cpu0 + 100 * seconds, wall0 + 100 * ms}, 100 * seconds,
       100 * seconds, 100 * seconds},
      {"CPU backwards", false, {cpu0, wall0}, {cpu0 - 30 * ms, wall0 + 100 * ms}, 0, 100 * ms, 100 * ms},
      {"no CPU time before", false, {0, wall0}, {30 * ms, wall0 + 100 * ms}, 0, 100 * ms, 100 * ms},
      {"no wall time before", false, {cpu0, 0}, {cpu0 + 30 * ms, wall0}, 30 * ms, 30 * ms, 30 * ms},
      {"all methods wall time", true, {cpu0, wall0}, {cpu0 + 30 * ms, wall0 + 100 * ms}, 100 * ms, 100 * ms,
       100 * ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedValue<bool> allWall(allMethodsWallTime, c.allWallTime);
    const std::unique_ptr<ThreadInfo> thread = makeThread();
    // The first sample has nothing to measure from, but makes the rows of the whole stack.
    database->currentStamp = 2;
    chargeSampleTime(thread.get(), b, c.first.cpu, c.first.wall);
    for (int32_t frame : {b, w, a}) {
      EXPECT_EQ(chargedTo(*thread, frame), 0) << frame;
      EXPECT_EQ(stampOf(*thread, frame), 2) << frame;
    }
    database->currentStamp = 3;
    chargeSampleTime(thread.get(), b, c.second.cpu, c.second.wall);
    EXPECT_EQ(chargedTo(*thread, b), c.expectedB);
    EXPECT_EQ(chargedTo(*thread, w), c.expectedW);
    EXPECT_EQ(chargedTo(*thread, a), c.expectedA);
    for (int32_t frame : {b, w, a}) EXPECT_EQ(stampOf(*thread, frame), 3) << frame;
    EXPECT_EQ(chargedTo(*thread, 0), -1);  // the root is no method
    EXPECT_EQ(thread->previousSampleCpuTimeNs, c.second.cpu);
    EXPECT_EQ(thread->previousSampleWallTimeNs, c.second.wall);
  }
}

TEST_F(SampleChargingTest, SamplesAddUpAndThoseWithoutAFrameChargeNothingButMoveThePreviousTimes) {
  const std::unique_ptr<ThreadInfo> thread = makeThread();
  chargeSampleTime(thread.get(), b, 1 * seconds, 10 * seconds);
  chargeSampleTime(thread.get(), 0, 1 * seconds + 400 * ms, 11 * seconds);
  chargeSampleTime(thread.get(), -1, 2 * seconds, 12 * seconds);
  EXPECT_EQ(chargedTo(*thread, b), 0);
  EXPECT_EQ(chargedTo(*thread, 0), -1);
  EXPECT_EQ(thread->previousSampleCpuTimeNs, 2 * seconds);
  EXPECT_EQ(thread->previousSampleWallTimeNs, 12 * seconds);

  // Measured from the frameless sample before it, not from the last charged one.
  chargeSampleTime(thread.get(), b, 2 * seconds + 10 * ms, 12 * seconds + 100 * ms);
  // Now in W itself: W is a wall-time method, B above it not on the stack.
  chargeSampleTime(thread.get(), w, 2 * seconds + 15 * ms, 12 * seconds + 300 * ms);
  EXPECT_EQ(chargedTo(*thread, b), 10 * ms);
  EXPECT_EQ(chargedTo(*thread, w), 300 * ms);
  EXPECT_EQ(chargedTo(*thread, a), 300 * ms);
  // Sampling leaves the invocation counts to tracing.
  const int32_t pair = database->getThreadFrameId(thread->threadNumber, a, false);
  EXPECT_EQ(database->cpuProfiling.getRow(pair, false)->invocationCount, 0);
}

namespace {

// A thread that burns as much CPU time as asked and otherwise waits, so that its CPU time stands still
// between the requests.
class CpuBurner {
 public:
  CpuBurner() : worker([this] { run(); }) {
    std::unique_lock<std::mutex> guard(mutex);
    changed.wait(guard, [this] { return handle != 0; });
  }
  ~CpuBurner() {
    {
      std::lock_guard<std::mutex> guard(mutex);
      stopping = true;
    }
    changed.notify_all();
    worker.join();
  }
  CpuBurner(const CpuBurner&) = delete;
  CpuBurner& operator=(const CpuBurner&) = delete;

  // Returns once the thread has used `ns` more of CPU time.
  void burn(int64_t ns) {
    std::unique_lock<std::mutex> guard(mutex);
    burnNs = ns;
    changed.notify_all();
    changed.wait(guard, [this] { return burnNs == 0; });
  }

  ThreadHandle handle = 0;

 private:
  void run() {
    std::unique_lock<std::mutex> guard(mutex);
    handle = getCurrentThreadHandle();
    changed.notify_all();
    for (;;) {
      changed.wait(guard, [this] { return stopping || burnNs > 0; });
      if (stopping) return;
      const int64_t until = getCurrentThreadCpuTimeNs() + burnNs;
      guard.unlock();
      while (getCurrentThreadCpuTimeNs() < until) {
      }
      guard.lock();
      burnNs = 0;
      changed.notify_all();
    }
  }

  std::mutex mutex;
  std::condition_variable changed;
  int64_t burnNs = 0;
  bool stopping = false;
  std::thread worker;
};

}  // namespace

TEST_F(SampleChargingTest, TheCheckpointStaysWhileTheThreadSitsInOneFrameUsingAtMostOnePercentOfACpu) {
  CpuBurner burner;
  ThreadInfo thread(YString("sampled"), YString("main"), burner.handle, 1, nullptr, false);
  struct Step {
    const char* name;
    int32_t frame;
    int64_t burnNs;
    // The uptime moves on by this much before the sample: an idle thread's CPU time may still move by a
    // few microseconds as it goes to sleep.
    int64_t laterByMs;
    bool cpuReadable;
    bool kept;
  };
  const Step steps[] = {
      {"first sample, though its frame is the -1 of no checkpoint", -1, 0, 0, true, false},
      {"no frame again, idle", -1, 0, 1000, true, true},
      {"the root, which the entry shows as no frame too", 0, 0, 0, true, false},
      {"into a frame", 7, 0, 0, true, false},
      {"50 ms at once", 7, 50 * ms, 0, true, false},
      // A long stretch, so that a thread CPU clock that moves in scheduler ticks still stays under 1%.
      {"5 ms over 100 seconds", 7, 5 * ms, 100000, true, true},
      {"idle", 7, 0, 1000, true, true},
      {"another frame, idle", 8, 0, 0, true, false},
      {"a CPU time that cannot be read, so seems to run backwards", 8, 0, 1000, false, false},
  };
  LogCapture log;  // the uptime corrections
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    if (step.burnNs > 0) burner.burn(step.burnNs);
    if (step.laterByMs > 0) {
      correctUptime(agentUptimeStopwatch(), held, stopwatchElapsedMs(agentUptimeStopwatch()) + step.laterByMs);
    }
    if (!step.cpuReadable) thread.threadHandle = 0;
    const int32_t frame = thread.checkpointFrame;
    const int64_t cpu = thread.checkpointCpuTimeNs;
    const int64_t uptime = thread.checkpointUptimeNs;
    const int64_t cpuBefore = thread.getCpuTimeNs();
    const int64_t uptimeBefore = stopwatchElapsedNs(agentUptimeStopwatch());
    ThreadState entry{-1, -1, 99, -1};
    recordThreadStackCheckpoint(&thread, step.frame, entry);
    const int64_t uptimeAfter = stopwatchElapsedNs(agentUptimeStopwatch());
    const int64_t cpuAfter = thread.getCpuTimeNs();

    EXPECT_EQ(entry.sequenceNumber, int32_t(thread.sequenceNumber));
    EXPECT_EQ(entry.frameId, step.frame > 0 ? step.frame : 0);
    EXPECT_EQ(entry.jvmtiState, 99);  // the sampler's to fill
    EXPECT_GE(entry.cpuTime, cpuBefore);
    EXPECT_LE(entry.cpuTime, cpuAfter);
    if (step.kept) {
      EXPECT_EQ(thread.checkpointFrame, frame);
      EXPECT_EQ(thread.checkpointCpuTimeNs, cpu);
      EXPECT_EQ(thread.checkpointUptimeNs, uptime);
    } else {
      EXPECT_EQ(thread.checkpointFrame, step.frame);
      EXPECT_EQ(thread.checkpointCpuTimeNs, entry.cpuTime);
      EXPECT_GE(thread.checkpointUptimeNs, uptimeBefore);
      EXPECT_LE(thread.checkpointUptimeNs, uptimeAfter);
    }
  }
}
