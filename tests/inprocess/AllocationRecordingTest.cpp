#include <gtest/gtest.h>
#include <jvmti.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLoad.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/instrumentation/JniRedirection.h"
#include "agent/recording/AllocationRecording.h"
#include "agent/recording/AllocationSettings.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/recording/YNodeTree.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/NamedLocks.h"
#include "tests/inprocess/InProcessJvm.h"
#include "tests/support/FreshProcess.h"
#include "tests/support/TestDatabase.h"

// Allocation recording's entry on a thread with a record, in the recording mode with exact stacks: which
// objects it records, with what size and site, and the objects that JNI creates once its functions are
// redirected.

namespace {

using Record = std::vector<uint32_t>;

int64_t wideAt(const Record& record, size_t at) { return int64_t(uint64_t(record[at]) | uint64_t(record[at + 1]) << 32); }

// Every whole record in a thread's event buffer.
std::vector<Record> allocationRecords(const ThreadInfo* thread) {
  std::vector<Record> found;
  const int32_t used = thread->eventsUsed.load();
  for (int32_t at = 0; at < used;) {
    const int32_t words = threadEventWords(thread->events[at]);
    if (words == 0 || at + words > used) {
      ADD_FAILURE() << "a broken record at word " << at;
      break;
    }
    if (thread->events[at] == eventAllocation) found.emplace_back(thread->events + at, thread->events + at + words);
    at += words;
  }
  return found;
}

class AllocationRecording : public JvmTest {
 protected:
  void SetUp() override {
    JvmTest::SetUp();
    // Class identifiers are tags of this environment; a fresh one per database keeps them apart.
    javaVm = inProcessJvm();
    savedAllocationJvmti = allocationJvmti;
    allocationJvmti = createJvmtiEnvironment(false);
    YCriticalSectionLock held(&ourLock(), "Test:1");
    thread = new ThreadInfo(YString("main"), YString(), 0, 0, nullptr, false);
    ASSERT_EQ(setThreadRecord(nullptr, thread), JVMTI_ERROR_NONE);
    savedProfiling = profilingFlags.exchange(PROFILING_FLAGS_INITIAL | 0x2);
    savedAgent = agentFlags.exchange(AGENT_FLAGS_INITIAL);
    savedEach = recordEach.exchange(1);
    savedLimit = sizeLimit.exchange(1 << 30);
  }
  void TearDown() override {
    profilingFlags.store(savedProfiling);
    agentFlags.store(savedAgent);
    recordEach.store(savedEach);
    sizeLimit.store(savedLimit);
    setThreadRecord(nullptr, nullptr);
    {
      YCriticalSectionLock held(&ourLock(), "Test:2");
      delete thread;
    }
    allocationJvmti->DisposeEnvironment();
    allocationJvmti = savedAllocationJvmti;
    JvmTest::TearDown();
  }

  jobject newObject(const char* className) {
    const jclass klass = env->FindClass(className);
    return env->AllocObject(klass);
  }
  int64_t sizeOf(jobject object) {
    jlong size = 0;
    EXPECT_EQ(JVMTI_ERROR_NONE, mainJvmti->GetObjectSize(object, &size));
    return size;
  }

  TestDatabase database;
  ThreadInfo* thread = nullptr;
  jvmtiEnv* savedAllocationJvmti = nullptr;
  uint64_t savedProfiling = 0;
  uint64_t savedAgent = 0;
  int32_t savedEach = 0;
  int32_t savedLimit = 0;
};

TEST_F(AllocationRecording, EachObjectIsRecordedWithItsSizeAtItsClassesSite) {
  const jobject first = newObject("java/lang/Object");
  const jobject second = newObject("java/lang/Object");
  const jobject text = newObject("java/lang/StringBuilder");
  for (jobject object : {first, second, text}) recordAllocation(env, object, nullptr, 0, -1, 0, 0);

  const std::vector<Record> found = allocationRecords(thread);
  ASSERT_EQ(3u, found.size());
  EXPECT_EQ(sizeOf(first), wideAt(found[0], 1));
  EXPECT_EQ(sizeOf(text), wideAt(found[2], 1));
  // Without a Java frame the stack is the pseudo stack of stacks not retrieved, with a child per class.
  YNodeTree* tree = getThreadNodeTree(thread);
  const int32_t objects = int32_t(found[0][3]);
  EXPECT_GT(objects, 0);
  EXPECT_EQ(found[0][3], found[1][3]) << "one class, one site";
  EXPECT_NE(found[0][3], found[2][3]) << "another class, another site";
  EXPECT_EQ(tree->getNoStackTraceNode(), tree->nodes[objects].parent);
  EXPECT_EQ(thread->allocationCount, 3);
  EXPECT_EQ(thread->allocatedBytes, 2 * sizeOf(first) + sizeOf(text));
}

// Small objects are sampled one in recordEach per thread from the first on; large ones always, without
// moving the countdown.
TEST_F(AllocationRecording, SmallObjectsAreSampledByTheCountdownAndLargeOnesAlways) {
  const struct {
    const char* name;
    int32_t each;
    int32_t limit;
    std::vector<int64_t> sizes;
    std::vector<size_t> recorded;  // positions in `sizes`
  } cases[] = {
      {"one in ten", 10, 4096,
       {16, 16, 4096, 16, 16, 16, 16, 16, 16, 16, 16, 16, 9000, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16},
       {0, 2, 11, 12, 22}},
      {"every object", 1, 4096, {16, 24, 5000}, {0, 1, 2}},
      {"no small object", 0, 4096, {16, 4095, 4096, 16}, {2}},
  };
  const jobject object = newObject("java/lang/Object");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    recordEach.store(c.each);
    sizeLimit.store(c.limit);
    thread->allocationCountdown = 0;
    const int32_t before = thread->eventsUsed.load();
    std::vector<size_t> recorded;
    for (size_t at = 0; at < c.sizes.size(); ++at) {
      recordAllocation(env, object, nullptr, c.sizes[at], -1, 0, 0);
      if (thread->eventsUsed.load() != before + int32_t(4 * recorded.size())) recorded.push_back(at);
    }
    EXPECT_EQ(c.recorded, recorded);
    const std::vector<Record> found = allocationRecords(thread);
    ASSERT_GE(found.size(), recorded.size());
    for (size_t i = 0; i < recorded.size(); ++i) {
      EXPECT_EQ(c.sizes[recorded[i]], wideAt(found[found.size() - recorded.size() + i], 1));
    }
  }
}

// A caller's cached node stands for the stack without its line, so the allocation's line is appended to
// it: the site is the line's, and the cached node comes back unchanged.
TEST_F(AllocationRecording, ACachedNodeGetsTheAllocationsLine) {
  YNodeTree* tree = getThreadNodeTree(thread);
  const int32_t stack = tree->getChild(0, 1, 0);
  const jobject object = newObject("java/lang/Object");
  EXPECT_EQ(stack, recordAllocation(env, object, nullptr, 0, stack, 0, 17));
  EXPECT_EQ(stack, recordAllocation(env, object, nullptr, 0, stack, 0, 18));
  const std::vector<Record> found = allocationRecords(thread);
  ASSERT_EQ(2u, found.size());
  const int32_t line17 = tree->nodes[int32_t(found[0][3])].parent;
  const int32_t line18 = tree->nodes[int32_t(found[1][3])].parent;
  EXPECT_EQ(tree->appendLineNode(stack, 17), line17);
  EXPECT_EQ(tree->appendLineNode(stack, 18), line18);
  EXPECT_NE(line17, line18);
  EXPECT_EQ(stack, tree->nodes[line17].parent);
}

TEST_F(AllocationRecording, OutsideTheRecordingModesTheCachedNodeComesBackAndNothingIsRecorded) {
  const struct {
    const char* name;
    uint64_t allocationMode;
    bool ownThread;
  } cases[] = {
      {"no allocation mode", 0, false},
      {"counting without heap sampling, which the counters of instrumented code do", 0x4002, false},
      {"the agent's own thread", 0x2, true},
  };
  const jobject object = newObject("java/lang/Object");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    profilingFlags.store(PROFILING_FLAGS_INITIAL | c.allocationMode);
    thread->ownThread = c.ownThread;
    EXPECT_EQ(42, recordAllocation(env, object, nullptr, 0, 42, 0, 0));
    thread->ownThread = false;
  }
  EXPECT_TRUE(allocationRecords(thread).empty());
  EXPECT_EQ(0, thread->allocationCount);
}

// Threads without a record of their own share the pseudo thread's record: none of their allocations is
// lost from its totals or its buffer.
TEST_F(AllocationRecording, ThreadsWithoutARecordShareThePseudoThreadsRecordWithoutLosingCounts) {
  ASSERT_NE(nullptr, unretrievedThread);
  constexpr int threads = 4;
  constexpr int perThread = 300;
  const int64_t countBefore = unretrievedThread->allocationCount;
  const int32_t wordsBefore = unretrievedThread->eventsUsed.load();
  std::vector<std::thread> running;
  for (int t = 0; t < threads; ++t) {
    running.emplace_back([] {
      JNIEnv* own = nullptr;
      ASSERT_EQ(JNI_OK, inProcessJvm()->AttachCurrentThread(reinterpret_cast<void**>(&own), nullptr));
      const jclass klass = own->FindClass("java/lang/Object");
      for (int i = 0; i < perThread; ++i) {
        const jobject object = own->AllocObject(klass);
        recordAllocation(own, object, klass, 16, -1, 0, 0);
        own->DeleteLocalRef(object);
      }
      inProcessJvm()->DetachCurrentThread();
    });
  }
  for (std::thread& t : running) t.join();
  EXPECT_EQ(countBefore + threads * perThread, unretrievedThread->allocationCount);
  EXPECT_EQ(wordsBefore + 4 * threads * perThread, unretrievedThread->eventsUsed.load());
  EXPECT_EQ(size_t(threads * perThread), allocationRecords(unretrievedThread).size());
}

// The redirection stays for the life of the process, as it does in the agent.
TEST_F(AllocationRecording, ObjectsMadeThroughJniAreRecordedOnceAndFailedCreationsNot) {
  redirectJniFunctions();
  const jclass integer = env->FindClass("java/lang/Integer");
  const jmethodID constructor = env->GetMethodID(integer, "<init>", "(I)V");

  const jobject boxed = env->NewObject(integer, constructor, jint(42));
  ASSERT_NE(nullptr, boxed);
  EXPECT_EQ(42, env->CallIntMethod(boxed, env->GetMethodID(integer, "intValue", "()I")));
  ASSERT_FALSE(env->ExceptionCheck());
  ASSERT_EQ(1u, allocationRecords(thread).size());
  EXPECT_EQ(sizeOf(boxed), wideAt(allocationRecords(thread)[0], 1));

  const jobjectArray array = env->NewObjectArray(3, integer, boxed);
  ASSERT_NE(nullptr, array);
  ASSERT_EQ(2u, allocationRecords(thread).size());
  EXPECT_EQ(sizeOf(array), wideAt(allocationRecords(thread)[1], 1));
  const jintArray ints = env->NewIntArray(5);
  ASSERT_NE(nullptr, ints);
  ASSERT_EQ(3u, allocationRecords(thread).size());
  EXPECT_EQ(sizeOf(ints), wideAt(allocationRecords(thread)[2], 1));

  EXPECT_EQ(nullptr, env->NewIntArray(-1));
  EXPECT_TRUE(env->ExceptionCheck()) << "the JVM's exception stays pending";
  env->ExceptionClear();
  EXPECT_EQ(3u, allocationRecords(thread).size());
  EXPECT_EQ(3, thread->allocationCount);
}

#ifndef _WIN32
jvmtiError JNICALL reportStartPhase(jvmtiEnv*, jvmtiPhase* phase) {
  *phase = JVMTI_PHASE_START;
  return JVMTI_ERROR_NONE;
}

// While the JVM is in its start phase, every thread's allocations go to the start-phase record, at the
// pseudo stack of start-up allocations. The JVM is live here, so the main environment's table is swapped
// for one whose GetPhase says otherwise, in a fresh process, since the phase is remembered once live.
TEST_F(AllocationRecording, AllocationsOfTheStartPhaseGoToTheStartUpPseudoStack) {
  inFreshProcess([this]() -> std::string {
    static jvmtiInterface_1 startPhase = *mainJvmti->functions;
    startPhase.GetPhase = reportStartPhase;
    const jvmtiInterface_1* live = mainJvmti->functions;
    const jobject object = newObject("java/lang/Object");
    mainJvmti->functions = &startPhase;
    recordAllocation(env, object, nullptr, 0, -1, 0, 0);
    mainJvmti->functions = live;

    if (!allocationRecords(thread).empty()) return "recorded on the thread's own record";
    const std::vector<Record> found = allocationRecords(vmStartThread);
    if (found.size() != 1) return "records on the start-phase record: " + std::to_string(found.size());
    YNodeTree* tree = getThreadNodeTree(vmStartThread);
    if (tree->nodes[int32_t(found[0][3])].parent != tree->getStartupAllocationsNode()) {
      return "the site is not under the start-up pseudo stack";
    }
    return "";
  });
}
#endif

}  // namespace
