#include <gtest/gtest.h>
#include <jvmti.h>

#include <algorithm>
#include <string>
#include <vector>

#include "agent/core/JvmtiEnvironments.h"
#include "agent/db/DB.h"
#include "agent/recording/JavaStacks.h"
#include "agent/recording/MethodStore.h"
#include "tests/inprocess/FrameRows.h"
#include "tests/inprocess/JavaFixtures.h"
#include "tests/inprocess/JvmDatabaseTest.h"
#include "tests/inprocess/SpinningThread.h"

// Stacks of a live thread, taken by the test's thread with GetStackTrace, become frames of the frame
// tree. The spinning thread runs SpinEntry.main -> Spinner.run, or through a lambda in between.

namespace {

using ParkedStacks = JvmDatabaseTest;

std::string line(const char* file, const char* marker) { return std::to_string(javaSourceLine(file, marker)); }

// The jmethodID of the first frame of the stack that runs `name`.
jmethodID methodOnStack(const std::vector<jvmtiFrameInfo>& frames, const std::string& name) {
  for (const jvmtiFrameInfo& frame : frames) {
    char* methodName = nullptr;
    if (mainJvmti->GetMethodName(frame.method, &methodName, nullptr, nullptr) != JVMTI_ERROR_NONE) continue;
    const bool found = name == methodName;
    mainJvmti->Deallocate(reinterpret_cast<unsigned char*>(methodName));
    if (found) return frame.method;
  }
  ADD_FAILURE() << "no frame runs " << name;
  return nullptr;
}

// "<slot>:<name>" of each local, in slot order.
std::vector<std::string> localNames(const YVector<StackLocal*>* locals) {
  std::vector<std::string> names;
  for (int32_t i = 0; locals != nullptr && i < locals->size; i++) {
    names.push_back(std::to_string((*locals)[i]->slot) + ":" + stringText(int32_t((*locals)[i]->nameId)));
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST_F(ParkedStacks, EachFramePairsItsMethodWithTheCallersLineAndTheLeafsLineComesLast) {
  SpinningThread spinner(env, "SpinEntry");
  ASSERT_TRUE(spinner.spinning());
  std::vector<jvmtiFrameInfo> frames = spinner.stack();
  ASSERT_EQ(frames.size(), 2u);
  const int32_t frame = getFrameOfStackInfo(env, stackInfoOf(spinner.thread(), frames));
  EXPECT_EQ(describePath(frame), (std::vector<std::string>{
                                     "SpinEntry.main(java.lang.String[]) void [SpinEntry.java] :0",
                                     "Spinner.run() void [Spinner.java] :" + line("SpinEntry.java", "main-calls-run"),
                                     "own.<<own>>() void [] :" + line("Spinner.java", "spin"),
                                 }));
  ASSERT_EQ(framePath(frame).size(), 3u);
  EXPECT_EQ(framePath(frame).back().method, lineMethodId);

  // The same frames as GetStackTrace's list, also with a frame of no method among them.
  EXPECT_EQ(getFrameOfFrameInfos(env, int32_t(frames.size()), frames.data()), frame);
  std::vector<jvmtiFrameInfo> withHole = {frames[0], jvmtiFrameInfo{nullptr, 0}, frames[1]};
  EXPECT_EQ(getFrameOfFrameInfos(env, int32_t(withHole.size()), withHole.data()), frame);

  // Taken again the stack is found again: no frame is added.
  const int32_t nextFrame = database->frames.ids.peek();
  std::vector<jvmtiFrameInfo> again = spinner.stack();
  EXPECT_EQ(getFrameOfStackInfo(env, stackInfoOf(spinner.thread(), again)), frame);
  EXPECT_EQ(database->frames.ids.peek(), nextFrame);
}

// The JVM names a lambda's class after its host with a "/0x..." address: the record keeps that tail,
// as Class.getName gives it with "." for "/".
TEST_F(ParkedStacks, ALambdasFrameKeepsTheHiddenClassNameOfTheJvm) {
  SpinningThread spinner(env, "LambdaSpinEntry");
  ASSERT_TRUE(spinner.spinning());
  std::vector<jvmtiFrameInfo> frames = spinner.stack();
  const int32_t frame = getFrameOfStackInfo(env, stackInfoOf(spinner.thread(), frames));

  const jclass entry = env->FindClass("LambdaSpinEntry");
  const jobject task = env->GetStaticObjectField(entry, env->GetStaticFieldID(entry, "task", "Ljava/lang/Runnable;"));
  const jclass classClass = env->FindClass("java/lang/Class");
  const auto taskName = static_cast<jstring>(env->CallObjectMethod(
      env->GetObjectClass(task), env->GetMethodID(classClass, "getName", "()Ljava/lang/String;")));
  ASSERT_FALSE(env->ExceptionCheck());
  ASSERT_NE(taskName, nullptr);
  const char* utf = env->GetStringUTFChars(taskName, nullptr);
  std::string lambdaClass(utf);
  env->ReleaseStringUTFChars(taskName, utf);
  std::replace(lambdaClass.begin(), lambdaClass.end(), '/', '.');
  EXPECT_EQ(lambdaClass.rfind("LambdaSpinEntry$$Lambda$", 0), 0u) << lambdaClass;
  EXPECT_NE(lambdaClass.find(".0x"), std::string::npos) << lambdaClass;

  // The generated class has no line table: the lambda body's frame was called from line 0.
  EXPECT_EQ(describePath(frame),
            (std::vector<std::string>{
                "LambdaSpinEntry.main(java.lang.String[]) void [LambdaSpinEntry.java] :0",
                lambdaClass + ".run() void [] :" + line("LambdaSpinEntry.java", "main-calls-lambda"),
                "LambdaSpinEntry.lambda$main$0() void [LambdaSpinEntry.java] :0",
                "Spinner.run() void [Spinner.java] :" + line("LambdaSpinEntry.java", "lambda-calls-run"),
                "own.<<own>>() void [] :" + line("Spinner.java", "spin"),
            }));
}

// A heap snapshot's stack root: the frame of its methods alone, the parent of the frame that the same
// stack makes with its line frame.
TEST_F(ParkedStacks, TheFrameOfAStackRootHasNoLineFrame) {
  SpinningThread spinner(env, "SpinEntry");
  ASSERT_TRUE(spinner.spinning());
  std::vector<jvmtiFrameInfo> frames = spinner.stack();
  const jvmtiStackInfo stack = stackInfoOf(spinner.thread(), frames);
  StackLocalMap locals;
  const int32_t root = getFrameAndStackLocals(env, stack, &locals);
  EXPECT_EQ(describePath(root), (std::vector<std::string>{
                                    "SpinEntry.main(java.lang.String[]) void [SpinEntry.java] :0",
                                    "Spinner.run() void [Spinner.java] :" + line("SpinEntry.java", "main-calls-run"),
                                }));
  const int32_t sampled = getFrameOfStackInfo(env, stack);
  ASSERT_NE(db->frames.getRow(sampled, false), nullptr);
  EXPECT_EQ(db->frames.getRow(sampled, false)->parent, root);
}

TEST_F(ParkedStacks, TheLocalsOfEachMethodOnAStackRoot) {
  SpinningThread spinner(env, "SpinEntry");
  ASSERT_TRUE(spinner.spinning());
  std::vector<jvmtiFrameInfo> frames = spinner.stack();
  const jvmtiStackInfo stack = stackInfoOf(spinner.thread(), frames);
  const jmethodID main = methodOnStack(frames, "main");
  const jmethodID run = methodOnStack(frames, "run");
  StackLocalMap locals;
  const int32_t root = getFrameAndStackLocals(env, stack, &locals);
  ASSERT_GE(root, 1);
  const std::vector<std::string> mainLocals{"0:args", "1:count"};
  const std::vector<std::string> runLocals{"0:turns"};
  EXPECT_EQ(localNames(locals.find(main)), mainLocals);
  EXPECT_EQ(localNames(locals.find(run)), runLocals);
  // A second stack over the same methods reads the tables again in place of the first ones.
  EXPECT_EQ(getFrameAndStackLocals(env, stack, &locals), root);
  EXPECT_EQ(localNames(locals.find(main)), mainLocals);
  EXPECT_EQ(localNames(locals.find(run)), runLocals);
}
