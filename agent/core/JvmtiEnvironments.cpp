#include "agent/core/JvmtiEnvironments.h"

#include <cstddef>
#include <cstdio>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLoad.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"

jvmtiEnv* heapSnapshotJvmti = nullptr;
jvmtiEnv* instanceCountJvmti = nullptr;
jvmtiEnv* monitorJvmti = nullptr;
jvmtiEnv* exceptionJvmti = nullptr;
jvmtiEnv* classLoadingJvmti = nullptr;
jvmtiEnv* objectMapJvmti = nullptr;
jvmtiEnv* allocationJvmti = nullptr;
jvmtiEnv* numberedObjectJvmti = nullptr;
jvmtiEnv* retransformJvmti = nullptr;

jvmtiEnv* createJvmtiEnvironment(bool objectFree) {
  jvmtiEnv* jvmti = nullptr;
  if (javaVm->GetEnv(reinterpret_cast<void**>(&jvmti), JVMTI_VERSION_1_0) != JNI_OK || jvmti == nullptr) {
    logMessage("Cannot start: Unable to create JVMTI environment", stderr);
    exitProcess(21);
  }
  jvmtiCapabilities capabilities{};
  capabilities.can_tag_objects = 1;
  capabilities.can_generate_object_free_events = objectFree ? 1 : 0;
  if (jvmti->AddCapabilities(&capabilities) != JVMTI_ERROR_NONE) {
    logMessage(objectFree ? "Cannot start: Unable to create JVMTI environment with can_tag_objects and "
                            "can_generate_object_free_events capabilities"
                          : "Cannot start: Unable to create JVMTI environment with can_tag_objects capability",
               stderr);
    exitProcess(22);
  }
  return jvmti;
}

void setEventCallbacks(jvmtiEnv* jvmti, const jvmtiEventCallbacks& callbacks) {
  const jvmtiError error = jvmti->SetEventCallbacks(&callbacks, jint(sizeof(callbacks)));
  if (error == JVMTI_ERROR_NONE) return;
  if ((agentFlags.load() & AGENT_HEAP_SAMPLING) != 0) checkJvmtiError(error, "JvmtiEnvironments", __LINE__);
  // Older JVMs know the table only up to the slot before the reserved one and SampledObjectAlloc.
  const jint knownSize = jint(offsetof(jvmtiEventCallbacks, reserved85));
  checkJvmtiError(jvmti->SetEventCallbacks(&callbacks, knownSize), "JvmtiEnvironments", __LINE__);
}

void disposeJvmtiEnvironments() {
  for (jvmtiEnv** slot : {&mainJvmti, &retransformJvmti, &heapSnapshotJvmti, &instanceCountJvmti, &monitorJvmti,
                          &exceptionJvmti, &classLoadingJvmti, &objectMapJvmti, &allocationJvmti,
                          &numberedObjectJvmti}) {
    if (*slot != nullptr) (*slot)->DisposeEnvironment();
    *slot = nullptr;
  }
}
