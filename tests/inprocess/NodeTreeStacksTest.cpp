#include <gtest/gtest.h>
#include <jvmti.h>

#include <memory>
#include <string>
#include <vector>

#include "agent/core/JvmtiEnvironments.h"
#include "agent/recording/JavaStacks.h"
#include "agent/recording/MethodStore.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/YNodeTree.h"
#include "tests/inprocess/FrameRows.h"
#include "tests/inprocess/JavaFixtures.h"
#include "tests/inprocess/JvmDatabaseTest.h"
#include "tests/inprocess/SpinningThread.h"

// A thread's node tree captures the thread's own stack; its record maps the node onto the frame tree,
// which must give exactly the frame that the stack makes there directly. The stack is the test thread's
// own: NativeCaller.main -> relay -> inNative, a native registered here that captures from inside.

namespace {

// What the native found on its thread.
struct NativeCapture {
  ThreadInfo* record = nullptr;
  int32_t node = -1;
  int32_t nodeWithoutLine = -1;
  int32_t line = -1;
  int32_t topMethod = -1;
  std::vector<jvmtiFrameInfo> frames;
};

NativeCapture* capture = nullptr;

void JNICALL captureInNative(JNIEnv* env, jclass, jstring, jint) {
  YNodeTree* tree = getThreadNodeTree(capture->record);
  capture->node = captureStackFrame(tree, env);
  capture->nodeWithoutLine = tree->captureStackWithLine(env, &capture->line);
  capture->topMethod = tree->getTopMethodId(env);
  capture->frames.resize(16);
  jint count = 0;
  mainJvmti->GetStackTrace(nullptr, 0, jint(capture->frames.size()), capture->frames.data(), &count);
  capture->frames.resize(size_t(count));
}

class NodeTreeStacks : public JvmDatabaseTest {
 protected:
  void SetUp() override {
    JvmDatabaseTest::SetUp();
    caller = env->FindClass("NativeCaller");
    ASSERT_NE(caller, nullptr);
    JNINativeMethod natives[] = {
        {const_cast<char*>("inNative"), const_cast<char*>("(Ljava/lang/String;I)V"),
         reinterpret_cast<void*>(captureInNative)}};
    ASSERT_EQ(env->RegisterNatives(caller, natives, 1), 0);
    record = std::make_unique<ThreadInfo>(YString("main"), YString("main"), 0, 0, nullptr, false);
    capture = &seen;
  }
  void TearDown() override {
    capture = nullptr;
    if (caller != nullptr) env->UnregisterNatives(caller);
    JvmDatabaseTest::TearDown();
  }

  // Runs NativeCaller.main on the test thread; returns what the native saw.
  NativeCapture callMain() {
    seen = NativeCapture{};
    seen.record = record.get();
    const jobjectArray arguments = env->NewObjectArray(0, env->FindClass("java/lang/String"), nullptr);
    env->CallStaticVoidMethod(caller, env->GetStaticMethodID(caller, "main", "([Ljava/lang/String;)V"), arguments);
    if (env->ExceptionCheck()) {
      env->ExceptionDescribe();
      ADD_FAILURE() << "NativeCaller.main threw";
    }
    return seen;
  }

  jclass caller = nullptr;
  std::unique_ptr<ThreadInfo> record;
  NativeCapture seen;
};

std::string line(const char* marker) { return std::to_string(javaSourceLine("NativeCaller.java", marker)); }

}  // namespace

TEST_F(NodeTreeStacks, TheNodeOfTheThreadsStackStandsForTheFrameTheStackMakes) {
  const NativeCapture first = callMain();
  ASSERT_EQ(first.frames.size(), 3u);
  const jmethodID native = env->GetStaticMethodID(caller, "inNative", "(Ljava/lang/String;I)V");
  EXPECT_EQ(first.frames[0].method, native);
  EXPECT_EQ(first.frames[0].location, -1);
  // A native top frame has no line: the node ends without a line node.
  EXPECT_EQ(first.line, 0);
  EXPECT_EQ(first.nodeWithoutLine, first.node);
  EXPECT_EQ(first.topMethod, getMethodIdOfJMethod(env, native));

  // The node's frames come first, so that the direct road must find exactly them again.
  const int32_t frame = record->getFrameId(first.node);
  EXPECT_EQ(describePath(frame), (std::vector<std::string>{
                                     "NativeCaller.main(java.lang.String[]) void [NativeCaller.java] :0",
                                     "NativeCaller.relay() void [NativeCaller.java] :" + line("main-calls-relay"),
                                     "NativeCaller.inNative(java.lang.String, int) void [NativeCaller.java] "
                                     "flags 0x800 :" + line("relay-calls-native"),
                                 }));
  std::vector<jvmtiFrameInfo> frames = first.frames;
  EXPECT_EQ(getFrameOfFrameInfos(env, int32_t(frames.size()), frames.data()), frame);
  EXPECT_EQ(getFrameOfStackInfo(env, stackInfoOf(nullptr, frames)), frame);

  // The same stack again: the same node, found in the tree.
  const int32_t nextFreshNode = getThreadNodeTree(record.get())->nextFreshRow;
  const NativeCapture second = callMain();
  EXPECT_EQ(second.node, first.node);
  EXPECT_EQ(getThreadNodeTree(record.get())->nextFreshRow, nextFreshNode);
  EXPECT_EQ(record->getFrameId(second.node), frame);
}
