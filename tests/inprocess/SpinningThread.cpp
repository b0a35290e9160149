#include "tests/inprocess/SpinningThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "agent/core/JvmtiEnvironments.h"
#include "tests/inprocess/InProcessJvm.h"

namespace {

// A Java exception thrown here is a test failure, reported and cleared.
bool failedInJava(JNIEnv* env) {
  if (!env->ExceptionCheck()) return false;
  env->ExceptionDescribe();
  ADD_FAILURE() << "Spinner threw";
  return true;
}

void callSpinner(JNIEnv* env, jclass spinner, const char* method) {
  env->CallStaticVoidMethod(spinner, env->GetStaticMethodID(spinner, method, "()V"));
  failedInJava(env);
}

// Runs on the attached thread: calls the entry's main, which returns once the loop is stopped.
void runEntry(JNIEnv* env, const std::string& entryClass) {
  const jclass entry = env->FindClass(entryClass.c_str());
  if (entry == nullptr) return;
  const jclass stringClass = env->FindClass("java/lang/String");
  const jobjectArray arguments = env->NewObjectArray(0, stringClass, nullptr);
  env->CallStaticVoidMethod(entry, env->GetStaticMethodID(entry, "main", "([Ljava/lang/String;)V"), arguments);
}

}  // namespace

SpinningThread::SpinningThread(JNIEnv* env, const char* entryClass) : env(env) {
  const jclass found = env->FindClass("Spinner");
  if (found == nullptr) {
    env->ExceptionDescribe();
    ADD_FAILURE() << "class Spinner is not on the class path";
    return;
  }
  spinner = static_cast<jclass>(env->NewGlobalRef(found));
  env->DeleteLocalRef(found);
  callSpinner(env, spinner, "reset");

  std::promise<jobject> attached;
  std::future<jobject> self = attached.get_future();
  worker = std::thread([&attached, entry = std::string(entryClass)] {
    JNIEnv* own = nullptr;
    JavaVMAttachArgs arguments{JNI_VERSION_1_8, const_cast<char*>("spinner"), nullptr};
    if (inProcessJvm()->AttachCurrentThread(reinterpret_cast<void**>(&own), &arguments) != JNI_OK) {
      attached.set_value(nullptr);
      return;
    }
    jthread current = nullptr;
    mainJvmti->GetCurrentThread(&current);
    attached.set_value(own->NewGlobalRef(current));
    own->DeleteLocalRef(current);
    runEntry(own, entry);
    if (own->ExceptionCheck()) own->ExceptionDescribe();
    inProcessJvm()->DetachCurrentThread();
  });
  threadObject = self.get();
  if (threadObject == nullptr) {
    ADD_FAILURE() << "the spinning thread could not attach";
    return;
  }
  const jmethodID isSpinning = env->GetStaticMethodID(spinner, "isSpinning", "()Z");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    started = env->CallStaticBooleanMethod(spinner, isSpinning) == JNI_TRUE;
    if (failedInJava(env) || started || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!started) ADD_FAILURE() << entryClass << ".main did not reach Spinner.run's loop";
}

SpinningThread::~SpinningThread() {
  stop();
  if (threadObject != nullptr) env->DeleteGlobalRef(threadObject);
  if (spinner != nullptr) env->DeleteGlobalRef(spinner);
}

std::vector<jvmtiFrameInfo> SpinningThread::stack() const {
  std::vector<jvmtiFrameInfo> frames(64);
  jint count = 0;
  EXPECT_EQ(mainJvmti->GetStackTrace(threadObject, 0, jint(frames.size()), frames.data(), &count), JVMTI_ERROR_NONE);
  frames.resize(size_t(count));
  return frames;
}

void SpinningThread::stop() {
  if (spinner != nullptr) callSpinner(env, spinner, "stop");
  if (worker.joinable()) worker.join();
}
