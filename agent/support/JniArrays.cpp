#include "agent/support/JniArrays.h"

#include <cstring>

#include "agent/support/FatalError.h"
#include "agent/support/JniUtils.h"

namespace {

[[noreturn]] void valueIsNull(int32_t line) { assertionFailed("assertion failed: value is NULL", "JniArrays", line); }

template <class T, int N>
void appendElements(JNIEnv* env, YVector<T, N>* values, jarray array) {
  const jsize length = env->GetArrayLength(array);
  if (length == 0) return;
  const ReadOnlyCriticalArrayElements read(env, array);
  const T* elements = static_cast<const T*>(read.elements);
  if (elements == nullptr) return;
  for (jsize i = 0; i < length; i++) values->add(elements[i]);
}

// Copies the vector into a new array made by `create` (null when it cannot be made). When the elements
// cannot be had the half-made array is dropped, so that the caller never hands Java zeros for values.
template <class ArrayType, class T, int N>
ArrayType newFilledArray(JNIEnv* env, const YVector<T, N>& values, ArrayType (JNIEnv::*create)(jsize)) {
  const ArrayType array = (env->*create)(values.size);
  if (array == nullptr || values.size == 0) return array;
  {
    const CriticalArrayElements write(env, array);
    if (write.elements != nullptr) {
      std::memcpy(write.elements, values.data, sizeof(T) * size_t(values.size));
      return array;
    }
  }
  env->DeleteLocalRef(array);
  return nullptr;
}

}  // namespace

CriticalArrayElements::CriticalArrayElements(JNIEnv* env, jarray array)
    : env(env), array(array), elements(env->GetPrimitiveArrayCritical(array, nullptr)) {}

CriticalArrayElements::~CriticalArrayElements() {
  if (elements != nullptr) env->ReleasePrimitiveArrayCritical(array, elements, 0);
}

ReadOnlyCriticalArrayElements::ReadOnlyCriticalArrayElements(JNIEnv* env, jarray array)
    : env(env), array(array), elements(env->GetPrimitiveArrayCritical(array, nullptr)) {}

ReadOnlyCriticalArrayElements::~ReadOnlyCriticalArrayElements() {
  if (elements != nullptr) env->ReleasePrimitiveArrayCritical(array, const_cast<void*>(elements), JNI_ABORT);
}

void appendJavaByteArray(JNIEnv* env, YVector<uint8_t>* bytes, jbyteArray array) {
  if (env == nullptr || bytes == nullptr || array == nullptr) valueIsNull(__LINE__);
  appendElements(env, bytes, array);
}

void appendJavaIntArray(JNIEnv* env, YVector<int32_t>* values, jintArray array) {
  if (env == nullptr || values == nullptr || array == nullptr) valueIsNull(__LINE__);
  appendElements(env, values, array);
}

jintArray toJavaIntArray(JNIEnv* env, const YVector<int32_t>& values) {
  return newFilledArray(env, values, &JNIEnv::NewIntArray);
}

jlongArray toJavaLongArray(JNIEnv* env, const YVector<int64_t>& values) {
  return newFilledArray(env, values, &JNIEnv::NewLongArray);
}

jbyteArray newByteArray(JNIEnv* env, const uint8_t* bytes, int32_t length) {
  const jbyteArray array = env->NewByteArray(length);
  if (array == nullptr || length == 0) return array;
  env->SetByteArrayRegion(array, 0, length, reinterpret_cast<const jbyte*>(bytes));
  return array;
}

void throwElementsUnavailable(JNIEnv* env) {
  env->ExceptionClear();
  env->ThrowNew(findClass(env, "java/lang/OutOfMemoryError"), "array elements not available in place");
}
