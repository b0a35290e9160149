#include "agent/natives/ReflectionNatives.h"

#include "agent/natives/JniReflection.h"
#include "agent/natives/NativeBarrier.h"

namespace {
constexpr const char* hostSource = "Natives";
}  // namespace

// com.brantel.runtime.Callback

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getFieldId(JNIEnv* env, jclass, jclass type,
                                                                                jstring name, jstring signature,
                                                                                jboolean isStatic) {
  return runNative(env, __LINE__, [&] { return getFieldIdImpl(env, type, name, signature, isStatic); });
}

extern "C" JNIEXPORT jobject JNICALL Java_com_brantel_runtime_Callback_getFieldObjectValue(JNIEnv* env, jclass,
                                                                                           jclass type,
                                                                                           jobject object,
                                                                                           jlong fieldId) {
  return runNative(env, __LINE__, [&] { return getFieldObjectValueImpl(env, type, object, fieldId); });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getFieldPrimValue(JNIEnv* env, jclass,
                                                                                       jclass type, jobject object,
                                                                                       jlong fieldId, jint typeCode) {
  return runNative(env, __LINE__, [&] { return getFieldPrimValueImpl(env, type, object, fieldId, typeCode); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_setFieldObjectValue(JNIEnv* env, jclass,
                                                                                        jclass type, jobject object,
                                                                                        jlong fieldId, jobject value) {
  runNative(env, __LINE__, [&] { setFieldObjectValueImpl(env, type, object, fieldId, value); });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getMethodId(JNIEnv* env, jclass, jclass type,
                                                                                 jstring name, jstring signature,
                                                                                 jboolean isStatic) {
  return runNative(env, __LINE__, [&] { return getMethodIdImpl(env, type, name, signature, isStatic); });
}

extern "C" JNIEXPORT jobject JNICALL Java_com_brantel_runtime_Callback_callObjectMethod(
    JNIEnv* env, jclass, jclass type, jobject object, jlong methodId, jlong primitiveMask, jobjectArray arguments,
    jlongArray primitiveArguments) {
  return runNative(env, __LINE__, [&] {
    return callObjectMethodImpl(env, type, object, methodId, primitiveMask, arguments, primitiveArguments);
  });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_callPrimOrVoidMethod(
    JNIEnv* env, jclass, jclass type, jobject object, jlong methodId, jlong primitiveMask, jint typeCode,
    jobjectArray arguments, jlongArray primitiveArguments) {
  return runNative(env, __LINE__, [&] {
    return callPrimOrVoidMethodImpl(env, type, object, methodId, primitiveMask, typeCode, arguments,
                                    primitiveArguments);
  });
}

// com.brantel.Natives

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_Natives_getFieldId(JNIEnv* env, jclass, jclass type, jstring name,
                                                                       jstring signature, jboolean isStatic) {
  return runNativeIn(env, hostSource, __LINE__, [&] { return getFieldIdImpl(env, type, name, signature, isStatic); });
}

extern "C" JNIEXPORT jobject JNICALL Java_com_brantel_Natives_getFieldObjectValue(JNIEnv* env, jclass, jclass type,
                                                                                  jobject object, jlong fieldId) {
  return runNativeIn(env, hostSource, __LINE__, [&] { return getFieldObjectValueImpl(env, type, object, fieldId); });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_Natives_getFieldPrimValue(JNIEnv* env, jclass, jclass type,
                                                                              jobject object, jlong fieldId,
                                                                              jint typeCode) {
  return runNativeIn(env, hostSource, __LINE__,
                     [&] { return getFieldPrimValueImpl(env, type, object, fieldId, typeCode); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_setFieldObjectValue(JNIEnv* env, jclass, jclass type,
                                                                               jobject object, jlong fieldId,
                                                                               jobject value) {
  runNativeIn(env, hostSource, __LINE__, [&] { setFieldObjectValueImpl(env, type, object, fieldId, value); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_setFieldPrimValue(JNIEnv* env, jclass, jclass type,
                                                                             jobject object, jlong fieldId,
                                                                             jint typeCode, jlong value) {
  runNativeIn(env, hostSource, __LINE__,
              [&] { setFieldPrimValueImpl(env, type, object, fieldId, typeCode, value); });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_Natives_getMethodId(JNIEnv* env, jclass, jclass type, jstring name,
                                                                        jstring signature, jboolean isStatic) {
  return runNativeIn(env, hostSource, __LINE__,
                     [&] { return getMethodIdImpl(env, type, name, signature, isStatic); });
}

extern "C" JNIEXPORT jobject JNICALL Java_com_brantel_Natives_callObjectMethod(JNIEnv* env, jclass, jclass type,
                                                                               jobject object, jlong methodId,
                                                                               jlong primitiveMask,
                                                                               jobjectArray arguments,
                                                                               jlongArray primitiveArguments) {
  return runNativeIn(env, hostSource, __LINE__, [&] {
    return callObjectMethodImpl(env, type, object, methodId, primitiveMask, arguments, primitiveArguments);
  });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_Natives_callPrimOrVoidMethod(JNIEnv* env, jclass, jclass type,
                                                                                 jobject object, jlong methodId,
                                                                                 jlong primitiveMask, jint typeCode,
                                                                                 jobjectArray arguments,
                                                                                 jlongArray primitiveArguments) {
  return runNativeIn(env, hostSource, __LINE__, [&] {
    return callPrimOrVoidMethodImpl(env, type, object, methodId, primitiveMask, typeCode, arguments,
                                    primitiveArguments);
  });
}
