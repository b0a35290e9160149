// The native that the allocation bodies of com.brantel.runtime.Callback reach for every instrumented
// allocation; the work is allocation recording's entry.

#include "agent/natives/InstrumentationNatives.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/recording/AllocationRecording.h"

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_bzpInit0(JNIEnv* env, jclass, jobject object,
                                                                             jint cachedNode, jint classId,
                                                                             jshort line) {
  return runNative(env, __LINE__,
                   [&]() -> jint { return recordAllocation(env, object, nullptr, 0, cachedNode, classId, uint16_t(line)); });
}
