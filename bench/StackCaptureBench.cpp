// Turning the calling thread's Java stack into a recorded stack, the step behind every event that
// records one: captureStackFrame on a thread's node tree with warm caches (its nodes, method ids, lines
// and code-point keys all found, so no lock is taken), for stacks of 20 and 100 frames. The reference
// is the same stack taken into the shared frame tree: per call ourLock, GetStackTrace of the current
// thread into a jvmtiStackInfo and getFrameOfStackInfo, with every method id, line and frame already
// there. items_per_second is stacks per second; scripts/bench.sh prints the ratio of the two. Beside
// them, GetStackTrace alone, the JVM's part that both pay, so that the share of each above it shows.
// The JVM runs in this process (JNI_CreateJavaVM, the main JVMTI environment able to read line numbers
// and source file names); bench/StackDescent.java descends to the depth through five methods in turn
// and calls a native, from which the benchmark's loop runs on that Java thread. The native is marked
// as the agent's own code, as the agent's callbacks are, so that it is left out of the stack and the
// stack ends in the line frame of its caller. Before anything is timed the JIT compiles the descent
// (-Xbatch and a warm-up), so that every benchmark walks the same stack of compiled frames whatever
// their order. The class is looked for in the directory named by TALLYSCOPE_BENCH_CLASSES (set at
// build time).

#include <benchmark/benchmark.h>
#include <jni.h>
#include <jvmti.h>

#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "agent/core/JvmtiEnvironments.h"
#include "agent/db/DB.h"
#include "agent/recording/JavaStacks.h"
#include "agent/recording/MethodStore.h"
#include "agent/recording/YNodeTree.h"
#include "agent/support/BZPRuntimeException.h"
#include "agent/support/NamedLocks.h"

namespace {

constexpr jint maxFrames = YNodeTree::frameBufferSize;
// Enough for the JIT's last tier to compile every method of the descent.
constexpr int32_t warmUpDescents = 5000;

JNIEnv* mainEnv = nullptr;
jclass descentClass = nullptr;
jmethodID descend = nullptr;

// What the native runs, for the benchmark that called into Java.
using Body = void (*)(benchmark::State&, JNIEnv*);
benchmark::State* runningState = nullptr;
Body runningBody = nullptr;

int32_t javaFramesOnStack() {
  jint count = 0;
  std::vector<jvmtiFrameInfo> frames(static_cast<size_t>(maxFrames));
  if (mainJvmti->GetStackTrace(nullptr, 0, maxFrames, frames.data(), &count) != JVMTI_ERROR_NONE) return -1;
  return count;
}

// The stack's frames of the frame tree or a node tree, from `leaf` up to the root.
int32_t frameDepth(int32_t leaf) {
  int32_t depth = 0;
  for (int32_t frame = leaf; frame >= 1; frame = frameTable->getRow(frame, false)->parent) depth++;
  return depth;
}

int32_t nodeDepth(const YNodeTree& tree, int32_t leaf) {
  int32_t depth = 0;
  for (int32_t node = leaf; node >= 1; node = tree.nodes[node].parent) depth++;
  return depth;
}

// False, the benchmark skipped, unless the Java stack and what the benchmark made of it (the frames but
// the native's and the line frame that ends them, or the frames read) have the depth asked for.
bool checkStack(benchmark::State& state, int32_t recordedDepth) {
  const int32_t depth = int32_t(state.range(0));
  if (javaFramesOnStack() != depth) {
    state.SkipWithError("the Java stack does not have the depth asked for");
    return false;
  }
  if (recordedDepth != depth) {
    state.SkipWithError("the recorded stack does not have the depth of the Java stack");
    return false;
  }
  return true;
}

void captureIntoNodeTree(benchmark::State& state, JNIEnv* env) {
  YNodeTree tree;
  const int32_t warm = captureStackFrame(&tree, env);
  if (!checkStack(state, nodeDepth(tree, warm))) return;
  for (auto _ : state) {
    const int32_t node = captureStackFrame(&tree, env);
    if (node != warm) {
      state.SkipWithError("the same stack gave another node");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void captureIntoFrameTree(benchmark::State& state, JNIEnv* env) {
  std::vector<jvmtiFrameInfo> buffer(static_cast<size_t>(maxFrames));
  auto capture = [&buffer, env] {
    YCriticalSectionLock held(&ourLock(), "Bench:1");
    jvmtiStackInfo stack{nullptr, 0, buffer.data(), 0};
    if (mainJvmti->GetStackTrace(nullptr, 0, maxFrames, buffer.data(), &stack.frame_count) != JVMTI_ERROR_NONE) {
      return -1;
    }
    return getFrameOfStackInfo(env, stack);
  };
  const int32_t warm = capture();
  if (!checkStack(state, frameDepth(warm))) return;
  for (auto _ : state) {
    const int32_t frame = capture();
    if (frame != warm) {
      state.SkipWithError("the same stack gave another frame");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

// The JVM's part that both share: GetStackTrace of the current thread alone.
void readStackOnly(benchmark::State& state, JNIEnv*) {
  std::vector<jvmtiFrameInfo> buffer(static_cast<size_t>(maxFrames));
  jint count = 0;
  if (mainJvmti->GetStackTrace(nullptr, 0, maxFrames, buffer.data(), &count) != JVMTI_ERROR_NONE) count = -1;
  if (!checkStack(state, count)) return;
  for (auto _ : state) {
    mainJvmti->GetStackTrace(nullptr, 0, maxFrames, buffer.data(), &count);
    benchmark::DoNotOptimize(count);
  }
  state.SetItemsProcessed(state.iterations());
}

void JNICALL measure(JNIEnv* env, jclass) {
  if (runningBody == nullptr) return;  // the warm-up
  try {
    runningBody(*runningState, env);
  } catch (const BZPRuntimeException&) {
    runningState->SkipWithError("the agent's fatal-error path was taken (see its log)");
  } catch (const std::bad_alloc&) {
    runningState->SkipWithError("out of memory");
  }
}

// Descends to the depth of the benchmark's argument and runs `body` from the native at the bottom.
void runAtDepth(benchmark::State& state, Body body) {
  runningState = &state;
  runningBody = body;
  mainEnv->CallStaticVoidMethod(descentClass, descend, jint(state.range(0) - 2));
  if (mainEnv->ExceptionCheck()) {
    mainEnv->ExceptionDescribe();
    mainEnv->ExceptionClear();
    state.SkipWithError("the Java descent threw");
  }
}

void BM_CaptureStackFrame(benchmark::State& state) { runAtDepth(state, captureIntoNodeTree); }
void BM_FrameOfStackInfoUnderLock(benchmark::State& state) { runAtDepth(state, captureIntoFrameTree); }
void BM_GetStackTraceOnly(benchmark::State& state) { runAtDepth(state, readStackOnly); }

// Medians of five runs of about 0.1 s each; ours, its reference and the JVM's part side by side per
// depth.
void configure(benchmark::internal::Benchmark* benchmark) {
  benchmark->MinTime(0.1)->Repetitions(5)->ReportAggregatesOnly(true);
}
BENCHMARK(BM_CaptureStackFrame)->Arg(20)->Apply(configure);
BENCHMARK(BM_FrameOfStackInfoUnderLock)->Arg(20)->Apply(configure);
BENCHMARK(BM_GetStackTraceOnly)->Arg(20)->Apply(configure);
BENCHMARK(BM_CaptureStackFrame)->Arg(100)->Apply(configure);
BENCHMARK(BM_FrameOfStackInfoUnderLock)->Arg(100)->Apply(configure);
BENCHMARK(BM_GetStackTraceOnly)->Arg(100)->Apply(configure);

int fail(const char* what) {
  std::fprintf(stderr, "tallyscope_jvm_bench: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  std::string classPath = "-Djava.class.path=" TALLYSCOPE_BENCH_CLASSES;
  // Compilation in the foreground, so that the warm-up below leaves the descent compiled for good.
  JavaVMOption options[] = {{classPath.data(), nullptr}, {const_cast<char*>("-Xbatch"), nullptr}};
  JavaVMInitArgs arguments{};
  arguments.version = JNI_VERSION_1_8;
  arguments.nOptions = 2;
  arguments.options = options;
  arguments.ignoreUnrecognized = JNI_FALSE;
  JavaVM* jvm = nullptr;
  if (JNI_CreateJavaVM(&jvm, reinterpret_cast<void**>(&mainEnv), &arguments) != JNI_OK) {
    return fail("no JVM could be created");
  }

  // The live phase: what the main environment needs for method records and lines must be grantable now.
  jvmtiEnv* jvmti = nullptr;
  if (jvm->GetEnv(reinterpret_cast<void**>(&jvmti), JVMTI_VERSION_1_2) != JNI_OK) return fail("no JVMTI environment");
  jvmtiCapabilities potential{};
  if (jvmti->GetPotentialCapabilities(&potential) != JVMTI_ERROR_NONE) return fail("no potential capabilities");
  if (!potential.can_get_line_numbers || !potential.can_get_source_file_name) {
    return fail("the live phase does not offer can_get_line_numbers and can_get_source_file_name");
  }
  jvmtiCapabilities wanted{};
  wanted.can_get_line_numbers = 1;
  wanted.can_get_source_file_name = 1;
  if (jvmti->AddCapabilities(&wanted) != JVMTI_ERROR_NONE) return fail("the capabilities were refused");
  mainJvmti = jvmti;
  benchmark::AddCustomContext("jvmti_live_phase", "can_get_line_numbers and can_get_source_file_name granted");

  createDatabase(3600);
  descentClass = mainEnv->FindClass("StackDescent");
  if (descentClass == nullptr) return fail("StackDescent not found in " TALLYSCOPE_BENCH_CLASSES);
  const JNINativeMethod natives[] = {
      {const_cast<char*>("measure"), const_cast<char*>("()V"), reinterpret_cast<void*>(&measure)}};
  if (mainEnv->RegisterNatives(descentClass, natives, 1) != JNI_OK) return fail("the native was not registered");
  descend = mainEnv->GetStaticMethodID(descentClass, "step0", "(I)V");
  const jmethodID native = mainEnv->GetStaticMethodID(descentClass, "measure", "()V");
  if (descend == nullptr || native == nullptr) return fail("StackDescent lacks its methods");
  {
    YCriticalSectionLock held(&ourLock(), "Bench:2");
    methodTable->getRow(getMethodIdOfJMethod(mainEnv, native), true)->flags |= methodLeftOutOfStacks;
  }

  // Every benchmark then sees the same stack, made of compiled frames, whichever of them runs first.
  for (int32_t i = 0; i < warmUpDescents; i++) {
    for (const jint depth : {20, 100}) mainEnv->CallStaticVoidMethod(descentClass, descend, depth - 2);
  }
  if (mainEnv->ExceptionCheck()) return fail("the warm-up threw");

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  jvm->DestroyJavaVM();
  return 0;
}
