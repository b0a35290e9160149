#include "agent/natives/MarkerNatives.h"

#include "agent/core/Markers.h"
#include "agent/db/DB.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/support/JniArrays.h"

// The session name is the database's, which is fixed when the database is made.
extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_createMarker(JNIEnv* env, jclass, jint port,
                                                                                 jint type) {
  if (refuseWithoutDatabase(env)) return;
  runNative(env, __LINE__, [&] { createMarker(port, type, requireDatabase().sessionName); });
}

extern "C" JNIEXPORT jintArray JNICALL Java_com_brantel_runtime_Callback_getFreePorts(JNIEnv* env, jclass, jint from,
                                                                                      jint to) {
  return runNative(env, __LINE__, [&] {
    YVector<int32_t> ports;
    getFreePorts(&ports, from, to);
    return toJavaIntArray(env, ports);
  });
}
