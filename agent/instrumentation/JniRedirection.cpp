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

jbooleanArray JNICALL redirectedNewBooleanArray(JNIEnv* env, jsize length) {
  return recorded(env, saved->NewBooleanArray(env, length));
}

jbyteArray JNICALL redirectedNewByteArray(JNIEnv* env, jsize length) {
  return recorded(env, saved->NewByteArray(env, length));
}

jcharArray JNICALL redirectedNewCharArray(JNIEnv* env, jsize length) {
  return recorded(env, saved->NewCharArray(env, length));
}

jshortArray JNICALL redirectedNewShortArray(JNIEnv* env, jsize length) {
  return recorded(env, saved->NewShortArray(env, length));
}

jintArray JNICALL redirectedNewIntArray(JNIEnv* env, jsize length) {
  return recorded(env, saved->NewIntArray(env, length));
}

jlongArray JNICALL redirectedNewLongArray(JNIEnv* env, jsize length) {
  return recorded(env, saved->NewLongArray(env, length));
}

jfloatArray JNICALL redirectedNewFloatArray(JNIEnv* env, jsize length) {
  return recorded(env, saved->NewFloatArray(env, length));
}

jdoubleArray JNICALL redirectedNewDoubleArray(JNIEnv* env, jsize length) {
  return recorded(env, saved->NewDoubleArray(env, length));
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
  working->NewBooleanArray = redirectedNewBooleanArray;
  working->NewByteArray = redirectedNewByteArray;
  working->NewCharArray = redirectedNewCharArray;
  working->NewShortArray = redirectedNewShortArray;
  working->NewIntArray = redirectedNewIntArray;
  working->NewLongArray = redirectedNewLongArray;
  working->NewFloatArray = redirectedNewFloatArray;
  working->NewDoubleArray = redirectedNewDoubleArray;
  checkJvmtiError(mainJvmti->SetJNIFunctionTable(working), "JniRedirect", 169);
}
