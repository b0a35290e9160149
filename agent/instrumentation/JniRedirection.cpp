#include "agent/instrumentation/JniRedirection.h"

#include <jvmti.h>

#include <cstdarg>

#include "agent/recording/AllocationRecording.h"
#include "agent/support/CallbackBarrier.h"
#include "agent/support/JvmtiUtils.h"

namespace {

// The JVM's table as it was before the redirection; every wrapper calls through it.
jniNativeInterface* saved = nullptr;

// A created object is recorded; a failed creation (null, its Java exception pending) passes through.
template <class Object>
Object recorded(JNIEnv* env, Object object) {
  if (object != nullptr) {
    runBarriered("JniRedirect", __LINE__, env, [&] { recordAllocation(env, object, nullptr, 0, 0, 0, 0); });
  }
  return object;
}

jclass JNICALL redirectedDefineClass(JNIEnv* env, const char* name, jobject loader, const jbyte* bytes, jsize length) {
  return recorded(env, saved->DefineClass(env, name, loader, bytes, length));
}

jobject JNICALL redirectedAllocObject(JNIEnv* env, jclass klass) { return recorded(env, saved->AllocObject(env, klass)); }

jobject JNICALL redirectedNewObject(JNIEnv* env, jclass klass, jmethodID constructor, ...) {
  va_list arguments;
  va_start(arguments, constructor);
  jobject object = saved->NewObjectV(env, klass, constructor, arguments);
  va_end(arguments);
  return recorded(env, object);
}

jobject JNICALL redirectedNewObjectV(JNIEnv* env, jclass klass, jmethodID constructor, va_list arguments) {
  return recorded(env, saved->NewObjectV(env, klass, constructor, arguments));
}

jobject JNICALL redirectedNewObjectA(JNIEnv* env, jclass klass, jmethodID constructor, const jvalue* arguments) {
  return recorded(env, saved->NewObjectA(env, klass, constructor, arguments));
}

jstring JNICALL redirectedNewString(JNIEnv* env, const jchar* chars, jsize length) {
  return recorded(env, saved->NewString(env, chars, length));
}

jstring JNICALL redirectedNewStringUTF(JNIEnv* env, const char* chars) {
  return recorded(env, saved->NewStringUTF(env, chars));
}

jobjectArray JNICALL redirectedNewObjectArray(JNIEnv* env, jsize length, jclass elementClass, jobject initial) {
  return recorded(env, saved->NewObjectArray(env, length, elementClass, initial));
}

// The eight primitive array makers differ only in the table entry they pass the call to.
template <class Array, Array(JNICALL* jniNativeInterface::*make)(JNIEnv*, jsize)>
Array JNICALL redirectedNewArray(JNIEnv* env, jsize length) {
  return recorded(env, (saved->*make)(env, length));
}

}  // namespace

void redirectJniFunctions() {
  if (saved != nullptr) return;  // installed once for the life of the process
  jniNativeInterface* original = nullptr;
  checkJvmtiError(mainJvmti->GetJNIFunctionTable(&original), "JniRedirect", 149);
  jniNativeInterface* working = nullptr;
  checkJvmtiError(mainJvmti->GetJNIFunctionTable(&working), "JniRedirect", 150);
  saved = original;
  working->DefineClass = redirectedDefineClass;
  working->AllocObject = redirectedAllocObject;
  working->NewObject = redirectedNewObject;
  working->NewObjectV = redirectedNewObjectV;
  working->NewObjectA = redirectedNewObjectA;
  working->NewString = redirectedNewString;
  working->NewStringUTF = redirectedNewStringUTF;
  working->NewObjectArray = redirectedNewObjectArray;
  working->NewBooleanArray = redirectedNewArray<jbooleanArray, &jniNativeInterface::NewBooleanArray>;
  working->NewByteArray = redirectedNewArray<jbyteArray, &jniNativeInterface::NewByteArray>;
  working->NewCharArray = redirectedNewArray<jcharArray, &jniNativeInterface::NewCharArray>;
  working->NewShortArray = redirectedNewArray<jshortArray, &jniNativeInterface::NewShortArray>;
  working->NewIntArray = redirectedNewArray<jintArray, &jniNativeInterface::NewIntArray>;
  working->NewLongArray = redirectedNewArray<jlongArray, &jniNativeInterface::NewLongArray>;
  working->NewFloatArray = redirectedNewArray<jfloatArray, &jniNativeInterface::NewFloatArray>;
  working->NewDoubleArray = redirectedNewArray<jdoubleArray, &jniNativeInterface::NewDoubleArray>;
  checkJvmtiError(mainJvmti->SetJNIFunctionTable(working), "JniRedirect", 169);
}
