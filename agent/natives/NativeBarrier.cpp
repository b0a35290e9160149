#include "agent/natives/NativeBarrier.h"

#include "agent/db/DB.h"
#include "agent/support/YString.h"

bool refuseWithoutDatabase(JNIEnv* env) {
  if (db != nullptr) return false;
  throwRuntimeException(env, "must run with the profiler agent");
  return true;
}

void throwNotAvailable(JNIEnv* env, const char* native) {
  runNative(env, __LINE__, [&] {
    const YString message = YString(native) + ": not available in this build";
    throwRuntimeException(env, message.data);
  });
}
