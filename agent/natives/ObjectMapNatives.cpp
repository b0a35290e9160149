#include "agent/natives/ObjectMapNatives.h"

#include <string>

#include "agent/natives/NativeBarrier.h"
#include "agent/recording/JavaObjectMaps.h"

namespace {

// A handle that names no map is a mistake of the caller: it gets an exception, and nothing is touched.
void refuseUnknownMap(JNIEnv* env, jlong handle) {
  throwRuntimeException(env, ("unknown object map: " + std::to_string(handle)).c_str());
}

}  // namespace

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_createObjectMap(JNIEnv* env, jclass) {
  return runNative(env, __LINE__, [&] { return jlong(createObjectMap()); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_deleteObjectMap(JNIEnv* env, jclass,
                                                                                    jlong handle) {
  if (handle == 0) return;
  runNative(env, __LINE__, [&] {
    if (!deleteObjectMap(handle)) refuseUnknownMap(env, handle);
  });
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_objectMapGet(JNIEnv* env, jclass, jlong handle,
                                                                                 jobject object) {
  if (handle == 0 || object == nullptr) return 0;
  return runNative(env, __LINE__, [&] {
    // Reading never gives an object an identifier: one without has no entries.
    const int64_t id = findObjectId(object);
    int32_t value = 0;
    if (!objectMapGet(handle, id, value)) refuseUnknownMap(env, handle);
    return jint(id == 0 ? 0 : value);
  });
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_objectMapPut(JNIEnv* env, jclass, jlong handle,
                                                                                 jobject object, jint value,
                                                                                 jboolean conditional, jint expected) {
  if (handle == 0 || object == nullptr) return 0;
  return runNative(env, __LINE__, [&] {
    // Outside the maps' lock: the identifier has a lock of its own.
    const int64_t id = getObjectId(object);
    int32_t previous = 0;
    if (id == 0) return jint(0);
    if (!objectMapPut(handle, id, value, conditional == JNI_TRUE, expected, previous)) refuseUnknownMap(env, handle);
    return jint(previous);
  });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_objectGetId(JNIEnv* env, jclass,
                                                                                 jobject object) {
  if (object == nullptr) return 0;
  return runNative(env, __LINE__, [&] { return jlong(getObjectId(object)); });
}

// No id of this kind is ever made live, so none is.
extern "C" JNIEXPORT jboolean JNICALL Java_com_brantel_runtime_Callback_isLiveObjectId(JNIEnv*, jclass, jlong) {
  return JNI_FALSE;
}
