// A JVMTI agent that the in-process tests' JVM loads at its start (-agentpath): it makes the JVMTI
// environment the tests use as the main one, at the only time HotSpot grants every capability the agent
// asks for, local variable tables among them. The test process finds it through loadTimeJvmti.

#include <jni.h>
#include <jvmti.h>

extern "C" {

JNIEXPORT jvmtiEnv* loadTimeJvmti = nullptr;

JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM* vm, char*, void*) {
  jvmtiEnv* jvmti = nullptr;
  if (vm->GetEnv(reinterpret_cast<void**>(&jvmti), JVMTI_VERSION_1_1) != JNI_OK) return JNI_ERR;
  jvmtiCapabilities capabilities{};
  capabilities.can_tag_objects = 1;
  capabilities.can_get_line_numbers = 1;
  capabilities.can_get_source_file_name = 1;
  capabilities.can_get_thread_cpu_time = 1;
  capabilities.can_access_local_variables = 1;
  if (jvmti->AddCapabilities(&capabilities) != JVMTI_ERROR_NONE) return JNI_ERR;
  loadTimeJvmti = jvmti;
  return JNI_OK;
}

}  // extern "C"
