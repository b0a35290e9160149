#include "agent/natives/ProbeNatives.h"

#include "agent/natives/NativeBarrier.h"
#include "agent/probes/MethodListenerTemplate.h"

extern "C" JNIEXPORT jbyteArray JNICALL Java_com_brantel_runtime_Callback_patchTemplateClass(JNIEnv* env, jclass,
                                                                                             jobjectArray arguments) {
  return runNative(env, __LINE__, [&] { return loadMethodListenerTemplate(env, arguments); });
}
