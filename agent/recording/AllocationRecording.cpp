// Allocation recording's entry: decides quickly whether an allocation counts, then counts it at its
// allocation point or records it at its site (see AllocationRecording.h).

#include "agent/recording/AllocationRecording.h"

#include <jvmti.h>

#include <atomic>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLifecycle.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/core/Options.h"
#include "agent/db/DB.h"
#include "agent/db/WriteInProgress.h"
#include "agent/recording/AllocationSettings.h"
#include "agent/recording/AppendGuard.h"
#include "agent/recording/ClassSignature.h"
#include "agent/recording/CountingSupport.h"
#include "agent/recording/FrameTree.h"
#include "agent/recording/MethodStore.h"
#include "agent/recording/ObjectEnumerator.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/recording/YNodeTree.h"
#include "agent/support/DebugCategories.h"
#include "agent/support/FatalError.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"

namespace {


std::atomic<int32_t> noStackTraceFrame{-1};

// Allocations that looked for their site by the caller's cached node, and those that found one there.
std::atomic<int64_t> siteLookups{0};
std::atomic<int64_t> siteReuses{0};

// The per-thread totals and countdown are the owner's alone, except on a pseudo thread's record, which
// every thread without a record of its own shares.
void addTo(int64_t& total, int64_t amount, bool shared) {
  if (shared) {
    __atomic_fetch_add(&total, amount, __ATOMIC_RELAXED);
  } else {
    total += amount;
  }
}

// Whether the object is one that sampling records: every large one, and one small one in `recordEach`.
bool sampledIn(ThreadInfo* thread, int64_t size) {
  if (size >= int64_t(sizeLimit.load(std::memory_order_relaxed))) return true;
  const int32_t each = recordEach.load(std::memory_order_relaxed);
  if (each == 0) return false;
  int32_t& countdown = thread->allocationCountdown;
  if (countdown < 1) {
    countdown = each - 1;
    return true;
  }
  --countdown;
  return false;
}

void countSiteLookup(bool reused) {
  const int64_t total = siteLookups.fetch_add(1, std::memory_order_relaxed) + 1;
  const int64_t reuses = reused ? siteReuses.fetch_add(1, std::memory_order_relaxed) + 1 : siteReuses.load();
  if (total % 10000 != 0) return;
  YString message("alloc_stats: reused ");
  message.appendLong(reuses);
  message.append(" of ");
  message.appendLong(total);
  message.append(" (");
  message.appendLong(reuses * 100 / total);
  message.append("%)");
  logMessage(message);
}

jclass classOf(JNIEnv* env, jobject object, jclass objectClass) {
  return objectClass != nullptr ? objectClass : env->GetObjectClass(object);
}

// The local reference of a class looked up here, released on every road out.
class LookedUpClass {
 public:
  LookedUpClass(JNIEnv* env, jobject object, jclass given)
      : env(env), klass(classOf(env, object, given)), owned(given == nullptr) {}
  ~LookedUpClass() {
    if (owned && klass != nullptr) env->DeleteLocalRef(klass);
  }
  LookedUpClass(const LookedUpClass&) = delete;
  LookedUpClass& operator=(const LookedUpClass&) = delete;

  JNIEnv* const env;
  const jclass klass;

 private:
  const bool owned;
};

int32_t classNameIdOf(int32_t classId) {
  DB* database = db;
  if (database == nullptr) fatalError("db is NULL", "Instrumentation", 852);
  const MethodRecord* method = database->methods.findRow(classId);
  return method == nullptr ? 0 : method->classNameId;
}

// The counting mode: one more object of its class at the allocating method and line.
int32_t countAllocation(JNIEnv* env, ThreadInfo* thread, jobject object, jclass objectClass, int64_t size,
                        int32_t line) {
  addTo(thread->allocatedBytes, size, thread->shared);
  YNodeTree* tree = getThreadNodeTree(thread);
  const int32_t topMethod = tree->getTopMethodId(env);
  if (topMethod < 1) return 0;
  LookedUpClass klass(env, object, objectClass);
  const int32_t classNameId = classNameIdOf(getAllocationClassId(klass.klass, "Instrumentation:850"));
  uint64_t* counter = tree->getAllocPointCounter(tree->getCodePointKey(topMethod, line), classNameId);
  static const int32_t stripes = getCounterStripeCount();
  countInStripe(counter, int32_t(thread->sequenceNumber & uint32_t(stripes - 1)));
  return 0;
}

// The node of the site's stack in the thread's tree, or in the sampled-stacks mode the thread's last
// sampled frame; `answer` becomes the node a caller may cache when the stack is captured here.
int32_t siteNode(JNIEnv* env, YNodeTree* tree, ThreadInfo* thread, uint64_t mode, jvmtiPhase phase,
                 int32_t cachedNode, int32_t line, int32_t& answer) {
  if (phase == JVMTI_PHASE_START) return tree->getStartupAllocationsNode();
  if (mode == PROFILING_ALLOCATIONS_SAMPLED_STACKS) return thread->lastSampledFrame;
  if ((agentFlags.load(std::memory_order_relaxed) & AGENT_HEAP_SAMPLING) != 0) return captureStackFrame(tree, env);
  static const bool allocStats = isDebugCategoryOn("alloc_stats");
  if (allocStats) countSiteLookup(cachedNode > 0);
  int32_t stackNode = cachedNode;
  int32_t leafLine = 0;
  if (stackNode < 1) {
    stackNode = tree->captureStackWithLine(env, &leafLine);
    answer = stackNode;
  }
  // The cached node is the stack without its line, so the allocation's own line is appended to it as
  // to a stack just captured: both roads give one site. The JVM's allocations come without a line and
  // take the leaf's.
  return tree->appendLineNode(stackNode, line > 0 ? line : leafLine);
}

int32_t recordObject(JNIEnv* env, ThreadInfo* thread, jobject object, jclass objectClass, int64_t size,
                     uint64_t mode, jvmtiPhase phase, int32_t cachedNode, int32_t classId, int32_t line) {
  if (size == 0) {
    jlong measured = 0;
    checkJvmtiError(mainJvmti->GetObjectSize(object, &measured), "Instrumentation", 873);
    size = measured;
  }
  addTo(thread->allocatedBytes, size, thread->shared);
  {
    YCriticalSectionLock countdown(thread->shared ? &ourLock() : nullptr, "Instrumentation:890");
    if (!sampledIn(thread, size)) return cachedNode;
  }
  // A pseudo thread's record is shared, so its node tree is worked on under the lock throughout.
  AppendGuard locked("Instrumentation:900", thread->shared);

  YNodeTree* tree = getThreadNodeTree(thread);
  int32_t answer = cachedNode;
  const int32_t node = siteNode(env, tree, thread, mode, phase, cachedNode, line, answer);
  if (classId == 0) {
    LookedUpClass klass(env, object, objectClass);
    classId = getAllocationClassId(klass.klass, "Instrumentation:965");
  }
  int32_t site;
  if (mode == PROFILING_ALLOCATIONS_SAMPLED_STACKS && phase != JVMTI_PHASE_START) {
    YCriticalSectionLock held(&ourLock(), "Instrumentation:972");
    site = -getOrCreateChildFrameByKey(node > 0 ? node : getNoStackTraceFrame(), classId);
  } else {
    site = tree->getChildByKey(node > 0 ? node : tree->getNoStackTraceNode(), classId);
  }
  if (objectEnumerator != nullptr) objectEnumerator->createObjectAllocator(object, thread, site);
  const uint32_t words[4] = {eventAllocation, uint32_t(uint64_t(size)), uint32_t(uint64_t(size) >> 32),
                             uint32_t(site)};
  thread->appendEvent(words, 4, locked.replayLocks());
  return answer;
}

}  // namespace

int32_t recordAllocation(JNIEnv* env, jobject object, jclass objectClass, int64_t size, int32_t cachedNode,
                         int32_t classId, int32_t line) {
  const uint64_t mode = profilingFlags.load(std::memory_order_relaxed) & PROFILING_ALLOCATION_MODE_MASK;
  const bool counting =
      mode == PROFILING_ALLOCATION_COUNTING && (agentFlags.load(std::memory_order_relaxed) & AGENT_HEAP_SAMPLING) != 0;
  if (!counting && mode != PROFILING_ALLOCATIONS_EXACT_STACKS && mode != PROFILING_ALLOCATIONS_SAMPLED_STACKS) return cachedNode;

  if (inHeapPass()) return cachedNode;
  ThreadInfo* thread = getThreadRecord(env, nullptr);
  if (thread == nullptr) thread = unretrievedThread;
  if (thread == nullptr || thread->ownThread) return cachedNode;
  if (vmDead.load(std::memory_order_acquire)) return 0;
  const jvmtiPhase phase = phaseUntilLive();
  if (phase != JVMTI_PHASE_LIVE && phase != JVMTI_PHASE_START) return 0;

  addTo(thread->allocationCount, 1, thread->shared);
  if (env == nullptr) assertionFailed("assertion failed: value is NULL", "Instrumentation", 825);
  if (object == nullptr) assertionFailed("assertion failed: value is NULL", "Instrumentation", 826);
  if (counting) {
    if (thread->shared) {
      YCriticalSectionLock held(&ourLock(), "Instrumentation:840");
      return countAllocation(env, thread, object, objectClass, size, line);
    }
    return countAllocation(env, thread, object, objectClass, size, line);
  }
  return recordObject(env, thread, object, objectClass, size, mode, phase, cachedNode, classId, line);
}

void onVMObjectAlloc(JNIEnv* env, jobject object) { recordAllocation(env, object, nullptr, 0, -1, 0, 0); }

void onSampledObjectAlloc(JNIEnv* env, jobject object, jclass objectClass, int64_t size) {
  recordAllocation(env, object, objectClass, size, 0, 0, 0);
}

void setHeapSamplingInterval() {
  const int32_t interval = globalOptions().getIntOption("_heap_sampling_interval", 0);
  checkJvmtiError(mainJvmti->SetHeapSamplingInterval(interval), "AllocationRecording", __LINE__);
}

void sampleFromNextAllocation() {
  checkJvmtiError(mainJvmti->ForceGarbageCollection(), "AllocationRecording", __LINE__);
}

int32_t getNoStackTraceFrame() {
  return getOrCreatePseudoRootFrame(noStackTraceFrame, "<Stack trace could not be retrieved>", "Instrumentation:1010");
}

int32_t getAllocationClassId(jclass objectClass, const char* lockSite) {
  jlong tag = 0;
  if (allocationJvmti->GetTag(objectClass, &tag) == JVMTI_ERROR_NONE && tag != 0) return int32_t(tag);
  YCriticalSectionLock held(&ourLock(), lockSite);
  const YString className = getClassSignature(objectClass, nullptr);
  const int32_t classId = getOrCreateMethod(className.data, "<<init>>", "()", "void", "", false);
  allocationJvmti->SetTag(objectClass, jlong(classId));
  return classId;
}
