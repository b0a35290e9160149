#pragma once

#include <gtest/gtest.h>
#include <jni.h>

#include <string>
#include <vector>

#include "agent/natives/CallbackNatives.h"
#include "agent/probes/EventTableRows.h"
#include "tests/inprocess/InProcessJvm.h"
#include "tests/inprocess/JavaValues.h"
#include "tests/support/CallbackArchive.h"

// The real com.brantel.runtime.Callback of the embedded archive, defined once per process in the
// bootstrap loader as start-up puts it there: only this class, so that the archive's other classes stay
// unreachable until a test adds the archive to a class path. A global reference; null when the class
// cannot be defined.
inline jclass callbackClass(JNIEnv* env) {
  static jclass defined = [env] {
    const std::vector<uint8_t> bytes = callbackArchiveEntry("com/brantel/runtime/Callback.class");
    const jclass local = env->DefineClass("com/brantel/runtime/Callback", nullptr,
                                          reinterpret_cast<const jbyte*>(bytes.data()), jsize(bytes.size()));
    if (local == nullptr) {
      env->ExceptionDescribe();
      return jclass(nullptr);
    }
    const auto global = static_cast<jclass>(env->NewGlobalRef(local));
    env->DeleteLocalRef(local);
    return global;
  }();
  return defined;
}

// A test that calls the natives through the Callback class, with the whole table registered on it. The
// helpers call a static method of Callback by name and signature and leave what it threw pending (checked,
// as checked JNI wants after every call into Java).
class CallbackTest : public JvmTest {
 protected:
  void SetUp() override {
    JvmTest::SetUp();
    callback = callbackClass(env);
    ASSERT_NE(callback, nullptr);
    ASSERT_EQ(env->RegisterNatives(callback, callbackNativesTable, callbackNativesCount), JNI_OK);
    forgetMessagesTableForTest();
  }
  void TearDown() override {
    forgetMessagesTableForTest();
    JvmTest::TearDown();
  }

  jmethodID method(const char* name, const char* signature) {
    const jmethodID found = env->GetStaticMethodID(callback, name, signature);
    EXPECT_NE(found, nullptr) << name << signature;
    return found;
  }

  template <class... Arguments>
  void callVoid(const char* name, const char* signature, Arguments... arguments) {
    env->CallStaticVoidMethod(callback, method(name, signature), arguments...);
    env->ExceptionCheck();
  }
  template <class... Arguments>
  jint callInt(const char* name, const char* signature, Arguments... arguments) {
    const jint result = env->CallStaticIntMethod(callback, method(name, signature), arguments...);
    env->ExceptionCheck();
    return result;
  }
  template <class... Arguments>
  jlong callLong(const char* name, const char* signature, Arguments... arguments) {
    const jlong result = env->CallStaticLongMethod(callback, method(name, signature), arguments...);
    env->ExceptionCheck();
    return result;
  }
  template <class... Arguments>
  bool callBoolean(const char* name, const char* signature, Arguments... arguments) {
    const jboolean result = env->CallStaticBooleanMethod(callback, method(name, signature), arguments...);
    env->ExceptionCheck();
    return result == JNI_TRUE;
  }
  template <class... Arguments>
  jobject callObject(const char* name, const char* signature, Arguments... arguments) {
    const jobject result = env->CallStaticObjectMethod(callback, method(name, signature), arguments...);
    env->ExceptionCheck();
    return result;
  }

  // A Java String of UTF-8 text (ASCII in these tests).
  jstring string(const char* text) { return env->NewStringUTF(text); }
  // The text of a Java String; "<null>" for null.
  std::string textOf(jobject value) {
    if (value == nullptr) return "<null>";
    const char* chars = env->GetStringUTFChars(static_cast<jstring>(value), nullptr);
    std::string text(chars);
    env->ReleaseStringUTFChars(static_cast<jstring>(value), chars);
    return text;
  }
  jintArray intArray(const std::vector<jint>& values) {
    const jintArray array = env->NewIntArray(jsize(values.size()));
    env->SetIntArrayRegion(array, 0, jsize(values.size()), values.data());
    return array;
  }

  // The message of the pending exception, which must be a java.lang.RuntimeException; "<none>" when
  // nothing is pending.
  std::string pendingRuntimeException() {
    if (!env->ExceptionCheck()) return "<none>";
    const ThrowableFacts facts = takePendingException(env);
    EXPECT_EQ(facts.className, "java.lang.RuntimeException");
    return std::string(facts.message.begin(), facts.message.end());
  }

  jclass callback = nullptr;
};
