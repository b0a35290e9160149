#include "agent/support/NamedLocks.h"

YCriticalSection& ourLock() {
  static YCriticalSection lock("ourLock");
  return lock;
}

YCriticalSection& processListenerLock() {
  static YCriticalSection lock("ProcessListenerLock");
  return lock;
}

YCriticalSection& javaObjectMapLock() {
  static YCriticalSection lock("JavaObjectMapLock");
  return lock;
}

YCriticalSection& javaObjectMapLock2() {
  static YCriticalSection lock("JavaObjectMapLock2");
  return lock;
}

YCriticalSection& javaObjectMapLock3() {
  static YCriticalSection lock("JavaObjectMapLock3");
  return lock;
}
