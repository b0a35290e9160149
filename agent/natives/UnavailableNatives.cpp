// The natives whose machinery this build does not have. Each answers java.lang.RuntimeException
// "<native>: not available in this build" and returns 0, false or null.

#include "agent/natives/DispatchNatives.h"
#include "agent/natives/InstrumentationNatives.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/natives/ObjectMapNatives.h"
#include "agent/natives/ProbeNatives.h"
#include "agent/natives/ProcessExitNatives.h"
#include "agent/natives/ReflectionNatives.h"
#include "agent/natives/StatusNatives.h"

// Status and services that need a recorder, the markers or a console line writer.

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_getProcessID(JNIEnv* env, jclass, jlong) {
  throwNotAvailable(env, "getProcessID");
  return 0;
}

// Probes.

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_registerProbesByBytecode(JNIEnv* env, jclass,
                                                                                                jobjectArray, jboolean,
                                                                                                jboolean) {
  throwNotAvailable(env, "registerProbesByBytecode");
  return nullptr;
}

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_registerProbesByName(JNIEnv* env, jclass,
                                                                                            jobjectArray) {
  throwNotAvailable(env, "registerProbesByName");
  return nullptr;
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_unregisterProbes(JNIEnv* env, jclass,
                                                                                     jobjectArray) {
  throwNotAvailable(env, "unregisterProbes");
}

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_setProbeActivityModes(JNIEnv* env, jclass,
                                                                                             jobjectArray, jintArray) {
  throwNotAvailable(env, "setProbeActivityModes");
  return nullptr;
}

extern "C" JNIEXPORT jobjectArray JNICALL Java_com_brantel_runtime_Callback_getProbes(JNIEnv* env, jclass, jint) {
  throwNotAvailable(env, "getProbes");
  return nullptr;
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_brantel_runtime_Callback_isProbeOn(JNIEnv* env, jclass, jstring) {
  throwNotAvailable(env, "isProbeOn");
  return JNI_FALSE;
}

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_validateMethodPattern(JNIEnv* env, jclass,
                                                                                             jstring) {
  throwNotAvailable(env, "validateMethodPattern");
  return nullptr;
}

// Object maps.

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_createObjectMap(JNIEnv* env, jclass) {
  throwNotAvailable(env, "createObjectMap");
  return 0;
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_deleteObjectMap(JNIEnv* env, jclass, jlong) {
  throwNotAvailable(env, "deleteObjectMap");
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_objectMapGet(JNIEnv* env, jclass, jlong, jobject) {
  throwNotAvailable(env, "objectMapGet");
  return 0;
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_objectMapPut(JNIEnv* env, jclass, jlong, jobject,
                                                                                 jint, jboolean, jint) {
  throwNotAvailable(env, "objectMapPut");
  return 0;
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_objectGetId(JNIEnv* env, jclass, jobject) {
  throwNotAvailable(env, "objectGetId");
  return 0;
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_brantel_runtime_Callback_isLiveObjectId(JNIEnv* env, jclass, jlong) {
  throwNotAvailable(env, "isLiveObjectId");
  return JNI_FALSE;
}

// Reflection.

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getFieldId(JNIEnv* env, jclass, jclass, jstring,
                                                                                jstring, jboolean) {
  throwNotAvailable(env, "getFieldId");
  return 0;
}

extern "C" JNIEXPORT jobject JNICALL Java_com_brantel_runtime_Callback_getFieldObjectValue(JNIEnv* env, jclass, jclass,
                                                                                           jobject, jlong) {
  throwNotAvailable(env, "getFieldObjectValue");
  return nullptr;
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getFieldPrimValue(JNIEnv* env, jclass, jclass,
                                                                                       jobject, jlong, jint) {
  throwNotAvailable(env, "getFieldPrimValue");
  return 0;
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_setFieldObjectValue(JNIEnv* env, jclass, jclass,
                                                                                        jobject, jlong, jobject) {
  throwNotAvailable(env, "setFieldObjectValue");
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getMethodId(JNIEnv* env, jclass, jclass, jstring,
                                                                                 jstring, jboolean) {
  throwNotAvailable(env, "getMethodId");
  return 0;
}

extern "C" JNIEXPORT jobject JNICALL Java_com_brantel_runtime_Callback_callObjectMethod(JNIEnv* env, jclass, jclass,
                                                                                        jobject, jlong, jlong,
                                                                                        jobjectArray, jlongArray) {
  throwNotAvailable(env, "callObjectMethod");
  return nullptr;
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_callPrimOrVoidMethod(JNIEnv* env, jclass, jclass,
                                                                                          jobject, jlong, jlong, jint,
                                                                                          jobjectArray, jlongArray) {
  throwNotAvailable(env, "callPrimOrVoidMethod");
  return 0;
}

// Process exit listeners.

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_registerProcessExitListener(JNIEnv* env, jclass,
                                                                                                jlong, jint) {
  throwNotAvailable(env, "registerProcessExitListener");
}

extern "C" JNIEXPORT jintArray JNICALL Java_com_brantel_runtime_Callback_getExitedProcesses(JNIEnv* env, jclass) {
  throwNotAvailable(env, "getExitedProcesses");
  return nullptr;
}

// Dispatch by key.

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_dispatchLong(JNIEnv* env, jclass, jstring) {
  throwNotAvailable(env, "dispatchLong");
  return 0;
}

extern "C" JNIEXPORT jobject JNICALL Java_com_brantel_runtime_Callback_dispatchNullable(JNIEnv* env, jclass, jstring,
                                                                                        jobjectArray) {
  throwNotAvailable(env, "dispatchNullable");
  return nullptr;
}
