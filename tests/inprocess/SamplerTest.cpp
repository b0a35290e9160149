#include <gtest/gtest.h>
#include <jvmti.h>

#include <string>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/db/DB.h"
#include "agent/recording/Sampler.h"
#include "agent/recording/SamplerThread.h"
#include "agent/recording/ThreadInfo.h"
#include "tests/inprocess/FrameRows.h"
#include "tests/inprocess/JvmDatabaseTest.h"
#include "tests/inprocess/ParkedThreads.h"

// The switches of sampling and one cycle of the synchronous sampler, in a real JVM. The test holds
// "ourLock", so the sampler thread that a start makes never runs a cycle of its own meanwhile.

namespace {

std::string str(const YString& text) { return std::string(text.data, size_t(text.length)); }

// The live threads of the JVM with that name.
int threadsNamed(JNIEnv* env, const char* name) {
  jint count = 0;
  jthread* threads = nullptr;
  EXPECT_EQ(mainJvmti->GetAllThreads(&count, &threads), JVMTI_ERROR_NONE);
  int named = 0;
  for (jint i = 0; i < count; i++) {
    jvmtiThreadInfo info{};
    if (mainJvmti->GetThreadInfo(threads[i], &info) == JVMTI_ERROR_NONE) {
      if (info.name != nullptr && std::string(info.name) == name) named++;
      mainJvmti->Deallocate(reinterpret_cast<unsigned char*>(info.name));
      env->DeleteLocalRef(info.thread_group);
      env->DeleteLocalRef(info.context_class_loader);
    }
    env->DeleteLocalRef(threads[i]);
  }
  mainJvmti->Deallocate(reinterpret_cast<unsigned char*>(threads));
  return named;
}

// The sum of the "cpu_profiling" rows of the thread's frames, and how many there are.
int countCpuRows(const ThreadInfo& thread) {
  int rows = 0;
  for (int32_t frame = 1; frame < db->frames.endIndex(); frame++) {
    const int32_t id = db->getThreadFrameId(thread.threadNumber, frame, false);
    if (id > 0 && db->cpuProfiling.getRow(id, false) != nullptr) rows++;
  }
  return rows;
}

// Sets the mode word for the life of the object, then puts back what it was.
class ModeWord {
 public:
  explicit ModeWord(uint64_t value) : saved(profilingFlags.load()) { profilingFlags.store(value); }
  ~ModeWord() { profilingFlags.store(saved); }
  ModeWord(const ModeWord&) = delete;
  ModeWord& operator=(const ModeWord&) = delete;

 private:
  const uint64_t saved;
};

using SamplerSwitches = JvmDatabaseTest;
using SyncSamplerCycle = JvmDatabaseTest;

}  // namespace

TEST_F(SamplerSwitches, StartsOneThreadAndRefusesWhatCannotRunWithoutChangingTheModeWord) {
  const ModeWord mode(0);
  EXPECT_EQ(str(startSampling(env, PROFILING_SAMPLING_SYNCHRONOUS, nullptr, held)), "");
  EXPECT_EQ(str(startSampling(env, PROFILING_SAMPLING_SYNCHRONOUS, nullptr, held)), "");
  EXPECT_EQ(threadsNamed(env, "BZPAgent-CpuSampler"), 1);

  profilingFlags.store(0x4);
  struct Case {
    uint64_t mode;
    const char* reason;
  };
  for (const Case& c : {Case{PROFILING_SAMPLING_ASYNC_CPU, "linux64 does not support asynchronous sampling"},
                        Case{PROFILING_SAMPLING_ASYNC_PERIODIC, "linux64 does not support asynchronous sampling"},
                        Case{7, "Unknown sampling mode: 7"}, Case{0x60000, "Unknown sampling mode: 393216"}}) {
    SCOPED_TRACE(c.mode);
    EXPECT_EQ(str(startSampling(env, c.mode, nullptr, held)), c.reason);
    EXPECT_EQ(profilingFlags.load(), 0x4u);
  }
  // A refused restart while sampling runs goes on sampling synchronously.
  EXPECT_EQ(str(restartSampling(env, PROFILING_SAMPLING_ASYNC_CPU, nullptr, held)), "linux64 does not support asynchronous sampling");
  EXPECT_EQ(profilingFlags.load() & PROFILING_SAMPLING_MODE_MASK, 0u);
  EXPECT_TRUE(samplingOn(profilingFlags.load()));
  EXPECT_EQ(threadsNamed(env, "BZPAgent-CpuSampler"), 1);
}

TEST_F(SamplerSwitches, SamplingForAllocationsStartsOnlyWhenNothingSamples) {
  const ModeWord mode(0x2002);
  EXPECT_TRUE(samplingOn(profilingFlags.load()));
  ensureSamplingForAllocations(env, held);
  EXPECT_EQ(threadsNamed(env, "BZPAgent-CpuSampler"), 0);  // sampling counted as on: nothing started

  profilingFlags.store(0x2);
  ensureSamplingForAllocations(env, held);
  EXPECT_EQ(threadsNamed(env, "BZPAgent-CpuSampler"), 1);
  profilingFlags.store(0x2 | PROFILING_SAMPLING_ASYNC_CPU);
  stopSampling(held);
  EXPECT_EQ(profilingFlags.load(), 0x2u);
}

TEST_F(SyncSamplerCycle, SamplesEveryThreadWithARecordButTheAgentsOwnAndChargesOnlyWithCpuProfiling) {
  ParkedThreads parked(env);
  const jthread worker = parked.start(nullptr, u"worker", true);
  const jthread own = parked.start(nullptr, u"BZPAgent-Helper", true);
  const jthread unrecorded = parked.start(nullptr, u"unrecorded", true);
  ASSERT_NE(worker, nullptr);
  ASSERT_NE(own, nullptr);
  ASSERT_NE(unrecorded, nullptr);
  onThreadStart(env, worker, 0, 0);
  onThreadStart(env, own, 0, 0);
  ThreadInfo& workerRecord = *storedRecord(worker);
  ThreadInfo& ownRecord = *storedRecord(own);

  // Allocation recording with sampled stacks: frames, no time.
  const ModeWord mode(0x2002);
  getSampler(profilingFlags.load())->sample(env);
  ASSERT_GT(workerRecord.lastSampledFrame, 0);
  EXPECT_EQ(countCpuRows(workerRecord), 0);
  EXPECT_EQ(ownRecord.lastSampledFrame, -1);
  const std::vector<std::string> path = describePath(workerRecord.lastSampledFrame);
  ASSERT_FALSE(path.empty());
  EXPECT_NE(path.front().find("ParkedThread.run"), std::string::npos) << path.front();

  // CPU sampling: the first sample of a thread makes a row for each frame of its stack.
  profilingFlags.store(0x4);
  getSampler(profilingFlags.load())->sample(env);
  EXPECT_EQ(countCpuRows(workerRecord), int(path.size()));
  EXPECT_GT(workerRecord.previousSampleWallTimeNs, 0);
  EXPECT_EQ(countCpuRows(ownRecord), 0);
}
