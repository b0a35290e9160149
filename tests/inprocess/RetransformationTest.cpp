#include <gtest/gtest.h>
#include <jni.h>
#include <jvmti.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "agent/instrumentation/ClassTransformer.h"
#include "agent/instrumentation/Retransformation.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/NamedLocks.h"
#include "tests/inprocess/InProcessJvm.h"
#include "tests/support/FreshProcess.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedValue.h"

// The retransformation of the classes recorded in patchedClassNames, in a real JVM. patchedClassNames
// only grows, so every test runs in a fresh process of its own.

#ifndef _WIN32
namespace {

// The internal names of the classes the JVM retransformed, as its hook saw them.
std::vector<std::string>& retransformedClasses() {
  static std::vector<std::string> names;
  return names;
}

void JNICALL recordRetransformation(jvmtiEnv*, JNIEnv*, jclass redefined, jobject, const char* name, jobject, jint,
                                    const unsigned char*, jint*, unsigned char**) {
  if (redefined != nullptr && name != nullptr) retransformedClasses().push_back(name);
}

void recordPatched(const std::vector<const char*>& javaNames) {
  YCriticalSectionLock held(&ourLock(), "Test:1");
  for (const char* name : javaNames) addClassName(patchedClassNames(), YString(name));
}

// Loads the classes (internal names); false when one cannot be found.
bool loaded(JNIEnv* env, const std::vector<const char*>& names) {
  for (const char* name : names) {
    const jclass klass = env->FindClass(name);
    if (klass == nullptr) {
      env->ExceptionClear();
      return false;
    }
    env->DeleteLocalRef(klass);
  }
  return true;
}

std::string logged(const std::vector<std::string>& entries) {
  std::string text;
  for (const std::string& entry : entries) text += "[" + entry + "]\n";
  return text;
}

// Counts the calls a run makes of the JVMTI functions it would call first and last; any other call would
// end the fresh process, failing the test as well.
std::atomic<int> jvmtiCalls{0};
jvmtiError JNICALL countedGetLoadedClasses(jvmtiEnv*, jint* count, jclass** classes) {
  jvmtiCalls++;
  *count = 0;
  *classes = nullptr;
  return JVMTI_ERROR_NONE;
}
jvmtiError JNICALL countedRetransformClasses(jvmtiEnv*, jint, const jclass*) {
  jvmtiCalls++;
  return JVMTI_ERROR_NONE;
}

class RetransformationInJvm : public ::testing::Test {};

}  // namespace

TEST_F(RetransformationInJvm, TheLoadedRecordedClassesAreRetransformedAtOnce) {
  inFreshProcess([]() -> std::string {
    JNIEnv* env = mainJniEnv();
    jvmtiCapabilities wanted{};
    wanted.can_retransform_classes = 1;
    jvmtiEventCallbacks callbacks{};
    callbacks.ClassFileLoadHook = recordRetransformation;
    if (mainJvmti->AddCapabilities(&wanted) != JVMTI_ERROR_NONE ||
        mainJvmti->SetEventCallbacks(&callbacks, jint(sizeof callbacks)) != JVMTI_ERROR_NONE ||
        mainJvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_CLASS_FILE_LOAD_HOOK, nullptr) !=
            JVMTI_ERROR_NONE) {
      return "the JVMTI environment cannot retransform";
    }
    if (!loaded(env, {"Spinner", "LineTable", "java/util/concurrent/ConcurrentSkipListSet"})) return "no test class";
    // A class that was never loaded (or is gone) is simply not found.
    recordPatched({"Spinner", "java.util.concurrent.ConcurrentSkipListSet", "app.NeverLoaded", "LineTable"});

    ConsoleCapture console;
    LogCapture log;
    env->PushLocalFrame(16);
    retransformInstrumentedClasses(env);
    env->PopLocalFrame(nullptr);
    std::string failures;
    const std::vector<std::string> expected = {
        "Retransform LMC: 3\n  LineTable\n  Spinner\n  java.util.concurrent.ConcurrentSkipListSet",
        "Retransform LMC completed"};
    if (log.entries() != expected) failures += "logged:\n" + logged(log.entries());
    // A class the JVM loads while it retransforms reaches the hook as if it were retransformed too
    // (java/lang/Module$ReflectionData on Java 17), so only the recorded ones are counted.
    std::vector<std::string> seen;
    for (const std::string& name : retransformedClasses()) {
      if (name == "LineTable" || name == "Spinner" || name == "java/util/concurrent/ConcurrentSkipListSet") {
        seen.push_back(name);
      }
    }
    std::sort(seen.begin(), seen.end());
    if (seen != std::vector<std::string>{"LineTable", "Spinner", "java/util/concurrent/ConcurrentSkipListSet"}) {
      failures += "retransformed:";
      for (const std::string& name : seen) failures += " " + name;
      failures += "\n";
    }
    // The thousands of references to the loaded classes stay within what checked JNI was told of.
    const std::string warning = firstJniWarning(console.finish());
    if (!warning.empty()) failures += warning + "\n";
    return failures;
  });
}

TEST_F(RetransformationInJvm, ARefusalIsLoggedAsAWarning) {
  inFreshProcess([]() -> std::string {
    JNIEnv* env = mainJniEnv();
    // The test JVM's main environment was made without the capability to retransform.
    jvmtiCapabilities held{};
    mainJvmti->GetCapabilities(&held);
    if (held.can_retransform_classes != 0) return "the environment can retransform";
    if (!loaded(env, {"LineTable"})) return "no test class";
    recordPatched({"LineTable"});
    LogCapture log;
    retransformInstrumentedClasses(env);
    const std::vector<std::string> expected = {
        "Retransform LMC: 1\n  LineTable", "warning: retransform LMC failed: 99:JVMTI_ERROR_MUST_POSSESS_CAPABILITY"};
    if (env->ExceptionCheck()) return "an exception was left pending";
    return log.entries() == expected ? "" : "logged:\n" + logged(log.entries());
  });
}

TEST_F(RetransformationInJvm, NothingHappensWhileNoLoadedClassIsRecorded) {
  inFreshProcess([]() -> std::string {
    JNIEnv* env = mainJniEnv();
    LogCapture log;
    {
      jvmtiInterface_1_ functions{};
      functions.GetLoadedClasses = countedGetLoadedClasses;
      functions.RetransformClasses = countedRetransformClasses;
      _jvmtiEnv counting{};
      counting.functions = &functions;
      const ScopedValue<jvmtiEnv*> onlyCounting(mainJvmti, &counting);
      retransformInstrumentedClasses(env);
    }
    if (jvmtiCalls.load() != 0) return "JVMTI was called with no class recorded";

    recordPatched({"app.NeverLoaded"});
    retransformInstrumentedClasses(env);
    return log.entries().empty() ? "" : "logged:\n" + logged(log.entries());
  });
}
#endif
