#pragma once

#include <jni.h>

#include <cstdint>
#include <new>

#include "agent/support/FatalError.h"

// Runs the body of a function that the JVM or the operating system calls (an event callback, a thread's
// start routine) so that nothing thrown leaves it: a broken invariant (already logged by the fatal-error
// path) or exhausted memory is logged as caught at `file`:`line`, and the caller's thread goes on. A Java
// exception that the failure left pending on `env` (may be null) is cleared: the JVM would take it for a
// failure of its own, and one pending at VM start ends the JVM. False when the body did not complete; work
// that the JVM's end overtook (already logged) ends so without more.
template <class Body>
bool runBarriered(const char* file, int32_t line, JNIEnv* env, Body body) {
  try {
    body();
    return true;
  } catch (const JvmEndedException&) {
  } catch (const BZPRuntimeException&) {
    onExceptionCaught(file, line);
  } catch (const std::bad_alloc&) {
    onExceptionCaught(file, line);
  }
  if (env != nullptr && env->ExceptionCheck()) env->ExceptionClear();
  return false;
}
