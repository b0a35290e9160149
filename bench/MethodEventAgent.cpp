// The JVMTI reference of the benchmarks: an agent that does the least an agent taking the JVM's events
// can, counting them, so that the figure is the JVM's cost of delivering them and no more. With no option
// it receives a MethodEntry and a MethodExit event for every call of every thread (bench/call_cost.sh) and
// at the JVM's death prints "method_entries N" and "method_exits N", which the script checks against the
// calls the program made. With "exceptions" it receives the Exception and ExceptionCatch events instead
// (bench/exception_cost.sh) and prints "exceptions N" and "exception_catches N"; with
// "exception_capability" it only takes the capability of those events and enables none, which shows what
// the capability alone costs.

#include <jvmti.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

std::atomic<long long> first{0};
std::atomic<long long> second{0};
const char* firstName = "method_entries";
const char* secondName = "method_exits";

void JNICALL onMethodEntry(jvmtiEnv*, JNIEnv*, jthread, jmethodID) { first.fetch_add(1, std::memory_order_relaxed); }

void JNICALL onMethodExit(jvmtiEnv*, JNIEnv*, jthread, jmethodID, jboolean, jvalue) {
  second.fetch_add(1, std::memory_order_relaxed);
}

void JNICALL onException(jvmtiEnv*, JNIEnv*, jthread, jmethodID, jlocation, jobject, jmethodID, jlocation) {
  first.fetch_add(1, std::memory_order_relaxed);
}

void JNICALL onExceptionCatch(jvmtiEnv*, JNIEnv*, jthread, jmethodID, jlocation, jobject) {
  second.fetch_add(1, std::memory_order_relaxed);
}

void JNICALL onVmDeath(jvmtiEnv*, JNIEnv*) {
  std::printf("%s %lld\n%s %lld\n", firstName, first.load(), secondName, second.load());
  std::fflush(stdout);
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM* vm, char* options, void*) {
  const bool exceptions = options != nullptr && std::strcmp(options, "exceptions") == 0;
  const bool capabilityOnly = options != nullptr && std::strcmp(options, "exception_capability") == 0;
  if (options != nullptr && *options != '\0' && !exceptions && !capabilityOnly) {
    std::fprintf(stderr, "method_event_agent: unknown option \"%s\"\n", options);
    return 5;
  }
  jvmtiEnv* jvmti = nullptr;
  if (vm->GetEnv(reinterpret_cast<void**>(&jvmti), JVMTI_VERSION_1_2) != JNI_OK || jvmti == nullptr) return 1;
  jvmtiCapabilities capabilities{};
  jvmtiEventCallbacks callbacks{};
  callbacks.VMDeath = onVmDeath;
  jvmtiEvent events[2] = {JVMTI_EVENT_METHOD_ENTRY, JVMTI_EVENT_METHOD_EXIT};
  if (exceptions || capabilityOnly) {
    capabilities.can_generate_exception_events = 1;
    callbacks.Exception = onException;
    callbacks.ExceptionCatch = onExceptionCatch;
    events[0] = JVMTI_EVENT_EXCEPTION;
    events[1] = JVMTI_EVENT_EXCEPTION_CATCH;
    firstName = "exceptions";
    secondName = "exception_catches";
  } else {
    capabilities.can_generate_method_entry_events = 1;
    capabilities.can_generate_method_exit_events = 1;
    callbacks.MethodEntry = onMethodEntry;
    callbacks.MethodExit = onMethodExit;
  }
  if (jvmti->AddCapabilities(&capabilities) != JVMTI_ERROR_NONE) return 2;
  if (jvmti->SetEventCallbacks(&callbacks, jint(sizeof(callbacks))) != JVMTI_ERROR_NONE) return 3;
  for (jvmtiEvent event : {events[0], events[1], JVMTI_EVENT_VM_DEATH}) {
    if (capabilityOnly && event != JVMTI_EVENT_VM_DEATH) continue;
    if (jvmti->SetEventNotificationMode(JVMTI_ENABLE, event, nullptr) != JVMTI_ERROR_NONE) return 4;
  }
  return 0;
}
