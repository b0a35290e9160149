// One cycle of synchronous CPU sampling, what the sampler thread does every sampling period: the
// sampler's sample() under "ourLock", with the mode word saying that CPU sampling charges time, over
// 10, 100 and 1000 Java threads that each wait with a stack of 20 or 100 frames. Each thread has its
// record in its JVMTI thread-local storage, given by the ThreadStart callback that the thread calls
// itself (bench/ParkedStacks.java), as the agent's threads have. The reference is the JVM's part
// alone: GetAllStackTraces of the same threads, with their references and the buffer given back, which
// every cycle pays before it turns stacks into frames and charges them. items_per_second is thread
// samples per second; scripts/bench.sh prints the time per cycle and per thread, and the ratio to the
// reference. The JVM's own threads, some ten without a record, are in every cycle too, which weighs on
// the figures per thread at 10 threads. The JVM is the one that bench/StackCaptureBench.cpp creates in
// this process; these benchmarks are registered after its own (the CMake target lists this file after
// it), so that the parked threads, kept from one benchmark to the next of the same shape, do not run
// beside its benchmarks.

#include <benchmark/benchmark.h>
#include <jni.h>
#include <jvmti.h>

#include <chrono>
#include <cstdint>
#include <new>
#include <thread>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/core/ThreadCallbacks.h"
#include "agent/db/DB.h"
#include "agent/recording/AllStackTraces.h"
#include "agent/recording/Sampler.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/support/BZPRuntimeException.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/NamedLocks.h"

namespace {

// The CPU mode of CPU sampling, in which a cycle charges each thread's time to its stack.
constexpr uint64_t cpuSamplingCharges = 0x4;
constexpr int32_t warmUpDepth = 100;
constexpr int32_t warmUpDescents = 5000;
constexpr auto parkTimeout = std::chrono::seconds(60);

jclass parkedClass = nullptr;
jmethodID startAll = nullptr;
jmethodID finishAll = nullptr;

// The threads that wait now, and the shape they were started with.
struct ParkedThreads {
  int32_t count = 0;
  int32_t depth = 0;
  std::vector<jobject> threads;  // global references
  jobject array = nullptr;       // the array finishAll takes, a global reference
};
ParkedThreads parked;

JNIEnv* mainThreadEnv() {
  JavaVM* vm = nullptr;
  jsize count = 0;
  if (JNI_GetCreatedJavaVMs(&vm, 1, &count) != JNI_OK || count != 1) return nullptr;
  JNIEnv* env = nullptr;
  if (vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_8) != JNI_OK) return nullptr;
  return env;
}

// ParkedStacks.announce: the thread's start event, on the thread itself.
void JNICALL announce(JNIEnv* env, jclass, jthread self) { threadStartCallback(mainJvmti, env, self); }

bool javaFailed(JNIEnv* env) {
  if (!env->ExceptionCheck()) return false;
  env->ExceptionDescribe();
  env->ExceptionClear();
  return true;
}

// Null once the class is ready and the descent compiled, else what failed.
const char* prepareClass(JNIEnv* env) {
  if (parkedClass != nullptr) return nullptr;
  const jclass found = env->FindClass("ParkedStacks");
  if (found == nullptr) {
    javaFailed(env);
    return "ParkedStacks not found in " TALLYSCOPE_BENCH_CLASSES;
  }
  const JNINativeMethod natives[] = {{const_cast<char*>("announce"), const_cast<char*>("(Ljava/lang/Thread;)V"),
                                      reinterpret_cast<void*>(&announce)}};
  if (env->RegisterNatives(found, natives, 1) != JNI_OK) return "the native was not registered";
  startAll = env->GetStaticMethodID(found, "startAll", "(II)[Ljava/lang/Thread;");
  finishAll = env->GetStaticMethodID(found, "finishAll", "([Ljava/lang/Thread;)V");
  const jmethodID warmUp = env->GetStaticMethodID(found, "warmUp", "(II)V");
  if (startAll == nullptr || finishAll == nullptr || warmUp == nullptr) {
    javaFailed(env);
    return "ParkedStacks lacks its methods";
  }
  env->CallStaticVoidMethod(found, warmUp, warmUpDepth, warmUpDescents);
  if (javaFailed(env)) return "the warm-up threw";
  parkedClass = static_cast<jclass>(env->NewGlobalRef(found));
  return nullptr;
}

// Retires the records, as the ThreadEnd event would, and lets the threads end.
void finishParked(JNIEnv* env) {
  if (parked.array == nullptr) return;
  for (const jobject thread : parked.threads) {
    onThreadEnd(mainJvmti, env, thread);
    env->DeleteGlobalRef(thread);
  }
  env->CallStaticVoidMethod(parkedClass, finishAll, parked.array);
  javaFailed(env);
  env->DeleteGlobalRef(parked.array);
  parked = ParkedThreads();
}

ThreadInfo* storedRecord(jthread thread) {
  void* stored = nullptr;
  if (mainJvmti->GetThreadLocalStorage(thread, &stored) != JVMTI_ERROR_NONE) return nullptr;
  return static_cast<ThreadInfo*>(stored);
}

// Whether every parked thread waits in Object.wait with its full stack and has its record.
bool allParked() {
  jvmtiStackInfo* stacks = nullptr;
  if (mainJvmti->GetThreadListStackTraces(jint(parked.threads.size()), parked.threads.data(), parked.depth + 1,
                                          &stacks) != JVMTI_ERROR_NONE) {
    return false;
  }
  bool all = true;
  for (int32_t i = 0; i < parked.count && all; i++) {
    const jvmtiStackInfo& stack = stacks[i];
    all = (stack.state & JVMTI_THREAD_STATE_IN_OBJECT_WAIT) != 0 && stack.frame_count == parked.depth &&
          storedRecord(parked.threads[size_t(i)]) != nullptr;
  }
  mainJvmti->Deallocate(reinterpret_cast<unsigned char*>(stacks));
  return all;
}

// Null once `count` threads wait with stacks of `depth` frames, else what failed.
const char* ensureParked(JNIEnv* env, int32_t count, int32_t depth) {
  if (const char* failure = prepareClass(env)) return failure;
  if (parked.count == count && parked.depth == depth) return nullptr;
  finishParked(env);
  const jobjectArray made = static_cast<jobjectArray>(env->CallStaticObjectMethod(parkedClass, startAll, count, depth));
  if (javaFailed(env) || made == nullptr) return "the threads could not be started";
  parked.count = count;
  parked.depth = depth;
  parked.array = env->NewGlobalRef(made);
  for (jsize i = 0; i < count; i++) {
    const jobject thread = env->GetObjectArrayElement(made, i);
    parked.threads.push_back(env->NewGlobalRef(thread));
    env->DeleteLocalRef(thread);
  }
  env->DeleteLocalRef(made);
  const auto deadline = std::chrono::steady_clock::now() + parkTimeout;
  while (!allParked()) {
    if (std::chrono::steady_clock::now() > deadline) return "the threads did not all park at the depth";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return nullptr;
}

int32_t frameDepth(int32_t leaf) {
  int32_t depth = 0;
  for (int32_t frame = leaf; frame >= 1; frame = frameTable->getRow(frame, false)->parent) depth++;
  return depth;
}

// The depth of the frame that the last cycle left every parked thread with, -1 unless it is the same
// frame for all of them (their stacks are the same).
int32_t sampledDepth() {
  int32_t frame = -1;
  for (const jobject thread : parked.threads) {
    const ThreadInfo* record = storedRecord(thread);
    if (record == nullptr || record->lastSampledFrame < 1) return -1;
    if (frame != -1 && record->lastSampledFrame != frame) return -1;
    frame = record->lastSampledFrame;
  }
  return frameDepth(frame);
}

// The mode word of CPU sampling for the benchmark's span, the one it had afterwards.
class SamplingMode {
 public:
  SamplingMode() : saved(profilingFlags.load()) {
    profilingFlags.store((saved & ~PROFILING_CPU_MODE_MASK) | cpuSamplingCharges);
  }
  ~SamplingMode() { profilingFlags.store(saved); }
  SamplingMode(const SamplingMode&) = delete;
  SamplingMode& operator=(const SamplingMode&) = delete;

 private:
  const uint64_t saved;
};

using Body = void (*)(benchmark::State&, JNIEnv*);

// Parks the threads of the benchmark's shape (threads, depth) and runs `body` on this thread.
void runWithParkedThreads(benchmark::State& state, Body body) {
  JNIEnv* env = mainThreadEnv();
  if (env == nullptr) {
    state.SkipWithError("no JVM in this process");
    return;
  }
  try {
    if (const char* failure = ensureParked(env, int32_t(state.range(0)), int32_t(state.range(1)))) {
      state.SkipWithError(failure);
      return;
    }
    body(state, env);
  } catch (const BZPRuntimeException&) {
    state.SkipWithError("the agent's fatal-error path was taken (see its log)");
  } catch (const std::bad_alloc&) {
    state.SkipWithError("out of memory");
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void sampleCycles(benchmark::State& state, JNIEnv* env) {
  const SamplingMode mode;
  Sampler* sampler = getSampler(0);
  {
    // The first cycle names the records and makes the frames and the rows that the timed ones find.
    YCriticalSectionLock held(&ourLock(), "Bench:3");
    sampler->sample(env);
  }
  const int32_t depth = sampledDepth();
  if (depth != parked.depth) {
    state.SkipWithError("the cycle did not give every parked thread the frame of its stack");
    return;
  }
  state.counters["frames"] = depth;
  for (auto _ : state) {
    YCriticalSectionLock held(&ourLock(), "Bench:4");
    sampler->sample(env);
  }
}

void allStackTracesOnly(benchmark::State& state, JNIEnv* env) {
  {
    const AllStackTraces all(env);
    if (all.error != JVMTI_ERROR_NONE || all.count < parked.count) {
      state.SkipWithError("GetAllStackTraces did not give the parked threads");
      return;
    }
  }
  for (auto _ : state) {
    const AllStackTraces all(env);
    benchmark::DoNotOptimize(all.count);
  }
}

void BM_SamplingCycle(benchmark::State& state) { runWithParkedThreads(state, sampleCycles); }
void BM_GetAllStackTracesOnly(benchmark::State& state) { runWithParkedThreads(state, allStackTracesOnly); }

// Ours and the reference side by side per shape, so that each set of threads is started once. A cycle
// is a VM operation that the calling thread waits for, hence real time.
const bool registered = [] {
  for (const int64_t threads : {10, 100, 1000}) {
    for (const int64_t depth : {20, 100}) {
      for (auto* benchmark : {benchmark::RegisterBenchmark("BM_SamplingCycle", BM_SamplingCycle),
                              benchmark::RegisterBenchmark("BM_GetAllStackTracesOnly", BM_GetAllStackTracesOnly)}) {
        benchmark->Args({threads, depth})->ArgNames({"threads", "depth"})->UseRealTime()->MinTime(0.2);
        benchmark->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);
      }
    }
  }
  return true;
}();

}  // namespace
