#include "agent/support/NamedLocks.h"

YCriticalSection& ourLock() {
  static YCriticalSection* const lock = new YCriticalSection("ourLock");
  return *lock;
}

YCriticalSection& processListenerLock() {
  static YCriticalSection* const lock = new YCriticalSection("ProcessListenerLock");
  return *lock;
}

YCriticalSection& javaObjectMapLock() {
  static YCriticalSection* const lock = new YCriticalSection("JavaObjectMapLock");
  return *lock;
}

YCriticalSection& javaObjectMapLock2() {
  static YCriticalSection* const lock = new YCriticalSection("JavaObjectMapLock2");
  return *lock;
}
