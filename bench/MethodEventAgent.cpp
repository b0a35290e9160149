// The reference of bench/call_cost.sh: the JVM's own way to trace calls, a JVMTI agent that receives a
// MethodEntry and a MethodExit event for every call of every thread. It does the least such an agent
// can, counting the events, so that the figure is the JVM's cost of delivering them and no more. At the
// JVM's death it prints "method_entries N" and "method_exits N", which the script checks against the
// calls the program made.

#include <jvmti.h>

#include <atomic>
#include <cstdio>
#include <initializer_list>

namespace {

std::atomic<long long> entries{0};
std::atomic<long long> exits{0};

void JNICALL onMethodEntry(jvmtiEnv*, JNIEnv*, jthread, jmethodID) { entries.fetch_add(1, std::memory_order_relaxed); }

void JNICALL onMethodExit(jvmtiEnv*, JNIEnv*, jthread, jmethodID, jboolean, jvalue) {
  exits.fetch_add(1, std::memory_order_relaxed);
}

void JNICALL onVmDeath(jvmtiEnv*, JNIEnv*) {
  std::printf("method_entries %lld\nmethod_exits %lld\n", entries.load(), exits.load());
  std::fflush(stdout);
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM* vm, char*, void*) {
  jvmtiEnv* jvmti = nullptr;
  if (vm->GetEnv(reinterpret_cast<void**>(&jvmti), JVMTI_VERSION_1_2) != JNI_OK || jvmti == nullptr) return 1;
  jvmtiCapabilities capabilities{};
  capabilities.can_generate_method_entry_events = 1;
  capabilities.can_generate_method_exit_events = 1;
  if (jvmti->AddCapabilities(&capabilities) != JVMTI_ERROR_NONE) return 2;
  jvmtiEventCallbacks callbacks{};
  callbacks.MethodEntry = onMethodEntry;
  callbacks.MethodExit = onMethodExit;
  callbacks.VMDeath = onVmDeath;
  if (jvmti->SetEventCallbacks(&callbacks, jint(sizeof(callbacks))) != JVMTI_ERROR_NONE) return 3;
  for (jvmtiEvent event : {JVMTI_EVENT_METHOD_ENTRY, JVMTI_EVENT_METHOD_EXIT, JVMTI_EVENT_VM_DEATH}) {
    if (jvmti->SetEventNotificationMode(JVMTI_ENABLE, event, nullptr) != JVMTI_ERROR_NONE) return 4;
  }
  return 0;
}
