#include "agent/core/JvmtiEvents.h"

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLifecycle.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/core/ThreadCallbacks.h"
#include "agent/instrumentation/ClassTransformer.h"
#include "agent/instrumentation/GeneratedNames.h"
#include "agent/probes/ClassLoadingProbe.h"
#include "agent/recording/AllocationRecording.h"
#include "agent/recording/JavaObjectMaps.h"
#include "agent/recording/MonitorRecording.h"
#include "agent/recording/ObjectEnumerator.h"
#include "agent/support/CallbackBarrier.h"
#include "agent/support/JvmtiUtils.h"

namespace {

// The JVM binds the native half of a wrapped method by this prefix.
constexpr const char* NATIVE_METHOD_PREFIX = generatedNameMarker;

bool attaching() { return (agentFlags.load() & AGENT_ATTACH_MODE) != 0; }
bool exceptionEventsOn() { return (agentFlags.load() & AGENT_NO_EXCEPTION_EVENTS) == 0; }

// The events the main environment receives from the start, in the order they are enabled.
template <class Visit>
void forEachStartupEvent(Visit visit) {
  if (!attaching()) {
    visit(JVMTI_EVENT_VM_INIT);
    visit(JVMTI_EVENT_VM_START);
  }
  visit(JVMTI_EVENT_VM_DEATH);
  visit(JVMTI_EVENT_CLASS_FILE_LOAD_HOOK);
  visit(JVMTI_EVENT_CLASS_LOAD);
  visit(JVMTI_EVENT_CLASS_PREPARE);
  if (exceptionEventsOn()) {
    visit(JVMTI_EVENT_EXCEPTION);
    visit(JVMTI_EVENT_EXCEPTION_CATCH);
  }
  visit(JVMTI_EVENT_THREAD_END);
  visit(JVMTI_EVENT_THREAD_START);
}

// A further environment that receives the ObjectFree events of its own tags. An environment whose tags
// nothing sets yet gets no handler.
jvmtiEnv* createObjectFreeEnvironment(jvmtiEventObjectFree handler) {
  jvmtiEnv* jvmti = createJvmtiEnvironment(true);
  jvmtiEventCallbacks callbacks{};
  callbacks.ObjectFree = handler;
  setEventCallbacks(jvmti, callbacks);
  jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_OBJECT_FREE, nullptr);
  return jvmti;
}

// A numbered object of the enumerator died. Runs on whatever thread the JVM chooses, with no JNI allowed.
void JNICALL objectFreeCallback(jvmtiEnv*, jlong tag) {
  runBarriered("JvmtiEvents", __LINE__, nullptr, [&] {
    if (objectEnumerator != nullptr) objectEnumerator->onObjectFree(tag);
  });
}

// An object that the Java side's object maps knew: its entries go. Runs on whatever thread the JVM
// chooses, with no JNI allowed.
void JNICALL objectMapObjectFreeCallback(jvmtiEnv*, jlong tag) {
  runBarriered("JvmtiEvents", __LINE__, nullptr, [&] { removeObjectIdFromMaps(tag); });
}

// An unloaded class of the Class Loading probe: its tag is the heap copy of its name. Runs on whatever
// thread the JVM chooses, with no JNI allowed.
void JNICALL classLoadingObjectFreeCallback(jvmtiEnv*, jlong tag) {
  runBarriered("JvmtiEvents", __LINE__, nullptr, [&] { recordClassUnloadedEvent(tag); });
}

// The JVM's own allocations, which no instrumented bytecode sees. Enabled by allocation recording.
void JNICALL vmObjectAllocCallback(jvmtiEnv*, JNIEnv* env, jthread, jobject object, jclass, jlong) {
  runBarriered("JvmtiEvents", __LINE__, env, [&] { onVMObjectAlloc(env, object); });
}

// The heap sampler's objects, with the class and size the JVM reports. Enabled by allocation recording.
void JNICALL sampledObjectAllocCallback(jvmtiEnv*, JNIEnv* env, jthread, jobject object, jclass klass, jlong size) {
  runBarriered("JvmtiEvents", __LINE__, env, [&] { onSampledObjectAlloc(env, object, klass, size); });
}

// The monitor events, enabled by monitor profiling: MonitorWait and MonitorContendedEnter begin a wait of
// the calling thread, MonitorWaited and MonitorContendedEntered end it.
void JNICALL monitorWaitCallback(jvmtiEnv*, JNIEnv* env, jthread, jobject object, jlong) {
  runBarriered("JvmtiEvents", __LINE__, env, [&] { onMonitorWaitOrEnter(env, object, false); });
}

void JNICALL monitorWaitedCallback(jvmtiEnv*, JNIEnv* env, jthread, jobject object, jboolean) {
  runBarriered("JvmtiEvents", __LINE__, env, [&] { onMonitorWaitedOrEntered(env, object, false); });
}

void JNICALL monitorContendedEnterCallback(jvmtiEnv*, JNIEnv* env, jthread, jobject object) {
  runBarriered("JvmtiEvents", __LINE__, env, [&] { onMonitorWaitOrEnter(env, object, true); });
}

void JNICALL monitorContendedEnteredCallback(jvmtiEnv*, JNIEnv* env, jthread, jobject object) {
  runBarriered("JvmtiEvents", __LINE__, env, [&] { onMonitorWaitedOrEntered(env, object, true); });
}

// The main environment's handlers.
jvmtiEventCallbacks mainCallbacks() {
  jvmtiEventCallbacks callbacks{};
  callbacks.VMInit = vmInit;
  callbacks.VMDeath = vmDeath;
  callbacks.ThreadStart = threadStartCallback;
  callbacks.ThreadEnd = onThreadEnd;
  callbacks.ClassLoad = classLoadCallback;
  callbacks.ClassPrepare = classPrepareCallback;
  callbacks.VMStart = vmStartCallback;
  callbacks.ClassFileLoadHook = ClassFileLoadHook;
  callbacks.VMObjectAlloc = vmObjectAllocCallback;
  callbacks.MonitorWait = monitorWaitCallback;
  callbacks.MonitorWaited = monitorWaitedCallback;
  callbacks.MonitorContendedEnter = monitorContendedEnterCallback;
  callbacks.MonitorContendedEntered = monitorContendedEnteredCallback;
  if ((agentFlags.load() & AGENT_HEAP_SAMPLING) != 0) callbacks.SampledObjectAlloc = sampledObjectAllocCallback;
  if (exceptionEventsOn()) {
    callbacks.Exception = exceptionCallback;
    callbacks.ExceptionCatch = exceptionCatchCallback;
  }
  return callbacks;
}

}  // namespace

void wireJvmtiEvents() {
  heapSnapshotJvmti = createJvmtiEnvironment(false);
  instanceCountJvmti = createJvmtiEnvironment(false);
  monitorJvmti = createJvmtiEnvironment(false);
  exceptionJvmti = createJvmtiEnvironment(false);
  classLoadingJvmti = createObjectFreeEnvironment(classLoadingObjectFreeCallback);
  objectMapJvmti = createObjectFreeEnvironment(objectMapObjectFreeCallback);
  allocationJvmti = createJvmtiEnvironment(false);
  numberedObjectJvmti = createObjectFreeEnvironment(objectFreeCallback);

  setEventCallbacks(mainJvmti, mainCallbacks());
  forEachStartupEvent([](jvmtiEvent event) {
    checkJvmtiError(mainJvmti->SetEventNotificationMode(JVMTI_ENABLE, event, nullptr), "JvmtiEvents", __LINE__);
  });
  checkJvmtiError(mainJvmti->SetNativeMethodPrefix(NATIVE_METHOD_PREFIX), "JvmtiEvents", __LINE__);
}

void disarmJvmtiEvents() {
  forEachStartupEvent([](jvmtiEvent event) { mainJvmti->SetEventNotificationMode(JVMTI_DISABLE, event, nullptr); });
  mainJvmti->SetEventCallbacks(nullptr, 0);
  mainJvmti->SetNativeMethodPrefix(nullptr);
  for (jvmtiEnv* jvmti : {classLoadingJvmti, objectMapJvmti, numberedObjectJvmti}) {
    if (jvmti == nullptr) continue;
    jvmti->SetEventNotificationMode(JVMTI_DISABLE, JVMTI_EVENT_OBJECT_FREE, nullptr);
    jvmti->SetEventCallbacks(nullptr, 0);
  }
}
