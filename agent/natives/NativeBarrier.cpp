#include "agent/natives/NativeBarrier.h"

#include "agent/db/DB.h"

bool refuseWithoutDatabase(JNIEnv* env) {
  if (db != nullptr) return false;
  throwRuntimeException(env, "must run with the profiler agent");
  return true;
}
