#pragma once

#include <jni.h>

#include <cstdint>

#include "agent/support/YVector.h"

// Java primitive arrays to the agent's vectors and back, through the arrays' elements in place. While a
// scope below holds the elements, the thread must call no other JNI function: the JVM may hold off the
// garbage collector until they are released.

// The elements of `array` (GetPrimitiveArrayCritical) for the life of the scope; changes are copied back
// when it ends. `elements` is null when the JVM cannot hand them out.
class CriticalArrayElements {
 public:
  CriticalArrayElements(JNIEnv* env, jarray array);
  ~CriticalArrayElements();
  CriticalArrayElements(const CriticalArrayElements&) = delete;
  CriticalArrayElements& operator=(const CriticalArrayElements&) = delete;

  JNIEnv* const env;
  const jarray array;
  void* const elements;
};

// java.lang.OutOfMemoryError "array elements not available in place", the answer to an array whose
// elements the JVM cannot hand out, once no array is held; a pending exception is cleared first.
void throwElementsUnavailable(JNIEnv* env);

// The same for an array that is only read: nothing is copied back, also when an exception leaves the
// scope.
class ReadOnlyCriticalArrayElements {
 public:
  ReadOnlyCriticalArrayElements(JNIEnv* env, jarray array);
  ~ReadOnlyCriticalArrayElements();
  ReadOnlyCriticalArrayElements(const ReadOnlyCriticalArrayElements&) = delete;
  ReadOnlyCriticalArrayElements& operator=(const ReadOnlyCriticalArrayElements&) = delete;

  JNIEnv* const env;
  const jarray array;
  const void* const elements;
};

// Appends the array's elements. None of the arguments may be null; the Java array is never written.
void appendJavaByteArray(JNIEnv* env, YVector<uint8_t>* bytes, jbyteArray array);
void appendJavaIntArray(JNIEnv* env, YVector<int32_t>* values, jintArray array);

// New Java arrays holding copies; null, with the JVM's OutOfMemoryError pending, when one cannot be made.
jintArray toJavaIntArray(JNIEnv* env, const YVector<int32_t>& values);
jlongArray toJavaLongArray(JNIEnv* env, const YVector<int64_t>& values);
jbyteArray newByteArray(JNIEnv* env, const uint8_t* bytes, int32_t length);
