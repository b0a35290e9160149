#pragma once

#include <gtest/gtest.h>
#include <jni.h>
#include <jvmti.h>

#include <vector>

#include "agent/core/JvmtiEnvironments.h"
#include "agent/core/ThreadCallbacks.h"
#include "agent/recording/ThreadInfo.h"
#include "tests/inprocess/JavaValues.h"

// The agent's record of a thread, as its JVMTI thread-local storage holds it.
inline ThreadInfo* storedRecord(jthread thread) {
  void* stored = nullptr;
  EXPECT_EQ(mainJvmti->GetThreadLocalStorage(thread, &stored), JVMTI_ERROR_NONE);
  return static_cast<ThreadInfo*>(stored);
}

// Started ParkedThread objects (tests/inprocess/java). At the end each is retired if it still holds a
// record, let go and joined, whatever the test did.
class ParkedThreads {
 public:
  explicit ParkedThreads(JNIEnv* env) : env(env), type(env->FindClass("ParkedThread")) {}
  ~ParkedThreads() {
    if (type == nullptr) return;
    const jmethodID finish = env->GetMethodID(type, "finish", "()V");
    for (const jobject thread : threads) {
      if (storedRecord(thread) != nullptr) onThreadEnd(mainJvmti, env, thread);
      env->CallVoidMethod(thread, finish);
      if (env->ExceptionCheck()) env->ExceptionDescribe();
      env->DeleteGlobalRef(thread);
    }
  }
  ParkedThreads(const ParkedThreads&) = delete;
  ParkedThreads& operator=(const ParkedThreads&) = delete;

  // A thread in a new group of that name (null: the main thread's group), once it waits.
  jthread start(const char16_t* group, const char16_t* name, bool daemon) {
    const jobject made = env->NewObject(
        type, env->GetMethodID(type, "<init>", "(Ljava/lang/String;Ljava/lang/String;Z)V"),
        group == nullptr ? nullptr : javaString(env, group), javaString(env, name), jboolean(daemon));
    if (made == nullptr) return nullptr;
    threads.push_back(env->NewGlobalRef(made));
    env->CallVoidMethod(made, env->GetMethodID(type, "startParked", "()V"));
    if (env->ExceptionCheck()) {
      env->ExceptionDescribe();
      return nullptr;
    }
    return threads.back();
  }

 private:
  JNIEnv* env;
  jclass type;
  std::vector<jobject> threads;
};
