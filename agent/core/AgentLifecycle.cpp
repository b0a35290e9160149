#include "agent/core/AgentLifecycle.h"

#include <cstdio>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLoad.h"
#include "agent/core/HeapDumpWatch.h"
#include "agent/core/JavaVersion.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/core/Options.h"
#include "agent/db/DB.h"
#include "agent/db/Generations.h"
#include "agent/instrumentation/JniRedirection.h"
#include "agent/natives/CallbackNatives.h"
#include "agent/natives/RecordingModeNatives.h"
#include "agent/support/AgentThreadSleep.h"
#include "agent/support/CallbackBarrier.h"
#include "agent/support/CommonUtils.h"
#include "agent/support/FatalError.h"
#include "agent/support/JniStrings.h"
#include "agent/support/JniUtils.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"

jclass coreClass = nullptr;
std::atomic<bool> agentInitialized{false};
std::atomic<bool> vmDead{false};

namespace {

constexpr const char* CALLBACK_CLASS = "com/brantel/runtime/Callback";
constexpr const char* CORE_INIT_SIGNATURE =
    "(IILjava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;IJIIZLjava/lang/"
    "String;)Z";
constexpr const char* OOME_DETECTOR_THREAD = "BZPAgent-OomeSnapshotDetector";
// The classes loaded before the agent could transform them, in the order they are retransformed.
constexpr const char* EARLY_CLASSES[] = {"java/io/FileInputStream", "java/io/FileOutputStream", "java/lang/Thread",
                                         "java/lang/ClassLoader"};

constexpr uint64_t ANY_RECORDING_MODE = 0x708e;

bool attaching() { return (agentFlags.load() & AGENT_ATTACH_MODE) != 0; }

// The options' trigger text followed by the triggers file, when it can be read.
YString triggerText(const Options& options) {
  return options.triggerText + readSettingsFile(options.triggersPath, "triggers.txt", "");
}

void retransformEarlyClasses(JNIEnv* env) {
  for (const char* name : EARLY_CLASSES) {
    logMessage(YString("Retransform early class: ") + name);
    jclass klass = findClass(env, name);
    const jvmtiError error = mainJvmti->RetransformClasses(1, &klass);
    if (error != JVMTI_ERROR_NONE) {
      logMessage(YString("warning: retransform early class failed: ") + jvmtiErrorText(mainJvmti, error));
      warnRetransformFailed(env);
    }
    env->DeleteLocalRef(klass);
  }
}

void JNICALL oomeSnapshotDetectorThread(jvmtiEnv*, JNIEnv* env, void*) {
  runBarriered("AgentLifecycle", __LINE__, env, [] { watchHeapDumpFile(); });
}

void startOomeSnapshotDetector(JNIEnv* env) {
  jthread thread = createJavaThread(env, OOME_DETECTOR_THREAD);
  checkJvmtiError(mainJvmti->RunAgentThread(thread, oomeSnapshotDetectorThread, nullptr, JVMTI_THREAD_MAX_PRIORITY),
                  "AgentLifecycle", __LINE__);
  env->DeleteLocalRef(thread);
}

// A static method of Core, looked up now; a missing one is an assertion failure.
jmethodID coreMethod(JNIEnv* env, const char* name, const char* signature) {
  const jmethodID method = env->GetStaticMethodID(coreClass, name, signature);
  assertJni(env, "AgentLifecycle", __LINE__);
  if (method == nullptr) assertionFailed("assertion failed", "AgentLifecycle", __LINE__);
  return method;
}

void callCore(JNIEnv* env, const char* name) {
  callStaticVoidMethod(env, coreClass, coreMethod(env, name, "()V"));
  assertJni(env, "AgentLifecycle", __LINE__);
}

// A mode native's answer is its refusal text, which start-up does not inspect.
void dropAnswer(JNIEnv* env, jstring answer) {
  assertJni(env, "AgentLifecycle", __LINE__);
  if (answer != nullptr) env->DeleteLocalRef(answer);
}

}  // namespace

void agentStart(JNIEnv* env) {
  logMessage("agentStart: 1");
  // Objects that native code makes through JNI reach allocation recording only through the wrappers.
  if ((agentFlags.load() & AGENT_ALLOCATION_INSTRUMENTATION) != 0) redirectJniFunctions();
  logMessage("agentStart: 2");
  jclass callback = findClass(env, CALLBACK_CLASS);
  const jint result = env->RegisterNatives(callback, callbackNativesTable, callbackNativesCount);
  env->DeleteLocalRef(callback);
  if (result != JNI_OK) {
    YString message("error: RegisterNatives for Callback failed with code ");
    message.appendLong(result);
    fatalError(message.data, "AgentLifecycle", __LINE__);
  }
  logMessage("agentStart: OK");
}

void addModuleExports(JNIEnv* env) {
  if (ourJavaVersion < 9 || globalOptions().hasOption("_force_sun_misc_Unsafe")) return;
  jobject module = nullptr;
  const jvmtiError error = mainJvmti->GetNamedModule(nullptr, "jdk/internal/misc", &module);
  if (error != JVMTI_ERROR_NONE) {
    logMessage(YString("error: GetNamedModule returned ") + jvmtiErrorText(mainJvmti, error));
    return;
  }
  if (module == nullptr) {
    logMessage("error: module for jdk/internal/misc is NULL");
    return;
  }
  jclass callback = findClass(env, CALLBACK_CLASS);
  jobject callbackModule = env->GetModule(callback);
  if (callbackModule == nullptr) {
    logMessage("error: Callback module is NULL");
  } else {
    const jvmtiError exported = mainJvmti->AddModuleExports(module, "jdk.internal.misc", callbackModule);
    logMessage(YString("AddModuleExports returned ") + jvmtiErrorText(mainJvmti, exported));
    env->DeleteLocalRef(callbackModule);
  }
  env->DeleteLocalRef(callback);
  env->DeleteLocalRef(module);
}

bool agentInit(JNIEnv* env) {
  logMessage("agentInit: 1");
  addModuleExports(env);
  jclass core = findClass(env, "com/brantel/runtime/Core");
  coreClass = static_cast<jclass>(env->NewGlobalRef(core));
  logMessage("agentInit: Core loaded");
  const jmethodID init = env->GetStaticMethodID(core, "init", CORE_INIT_SIGNATURE);
  assertJni(env, "AgentLifecycle", __LINE__);
  if (init == nullptr) assertionFailed("assertion failed", "AgentLifecycle", __LINE__);

  const Options& options = globalOptions();
  if (db == nullptr) assertionFailed("db is NULL", "AgentLifecycle", __LINE__);
  jstring texts[] = {toJavaString(env, options.listenHost),         toJavaString(env, options.sessionName),
                     toJavaString(env, options.snapshotNameFormat), toJavaString(env, options.snapshotDir),
                     toJavaString(env, options.profilerDir),        toJavaString(env, triggerText(options))};
  const jboolean accepted = env->CallStaticBooleanMethod(
      core, init, jint(options.portFirst), jint(options.portLast), texts[0], texts[1], texts[2], texts[3], texts[4],
      jint(options.idePort), jlong(db->sessionId), jint(options.jbossInitArgument), jint(options.telemetryPointLimit),
      jboolean(options.oomeDumperDisabled ? JNI_FALSE : JNI_TRUE), texts[5]);
  assertJni(env, "AgentLifecycle", __LINE__);
  logMessage("agentInit: Core.init() called");
  for (jstring text : texts) env->DeleteLocalRef(text);
  env->DeleteLocalRef(core);
  if (accepted != JNI_TRUE) {
    logMessage("error: agentInit: Core.init() returned false", stdout);
    return false;
  }

  if (ourJavaVersion >= 9 && !attaching()) retransformEarlyClasses(env);
  startOomeSnapshotDetector(env);
  agentInitialized.store(true);
  logMessage("agentInit: OK");
  return true;
}

void onStartProfiling(JNIEnv* env) {
  logMessage("onStartProfiling: entering...");
  const Options& options = globalOptions();
  if (options.sampling) {
    logMessage("onStartProfiling: will start CPU sampling...");
    dropAnswer(env, Java_com_brantel_runtime_Callback_startCpuProfiling(
                        env, nullptr, jlong(options.samplingModeBits | 4), nullptr));
  } else if (options.tracing) {
    logMessage("onStartProfiling: will start CPU tracing...");
    dropAnswer(env, Java_com_brantel_runtime_Callback_startCpuProfiling(env, nullptr, 12, nullptr));
  } else if (options.callCounting) {
    logMessage("onStartProfiling: will start call counting...");
    dropAnswer(env, Java_com_brantel_runtime_Callback_startCpuProfiling(env, nullptr, 0x1004, nullptr));
  }
  if (options.allocMode != 0) {
    logMessage("onStartProfiling: will start allocation recording...");
    dropAnswer(env, Java_com_brantel_runtime_Callback_startAllocationRecording(
                        env, nullptr, options.allocEach, options.allocSizeLimit, jlong(options.allocMode), nullptr));
  }
  if (options.monitors) {
    logMessage("onStartProfiling: will start monitor profiling...");
    dropAnswer(env, Java_com_brantel_runtime_Callback_startMonitorProfiling(env, nullptr));
  }
  logMessage("onStartProfiling: done");
}

jthread createJavaThread(JNIEnv* env, const char* name) {
  jclass threadClass = findClass(env, "java/lang/Thread");
  const jmethodID constructor = env->GetMethodID(threadClass, "<init>", "(Ljava/lang/String;)V");
  assertJni(env, "AgentLifecycle", __LINE__);
  jstring threadName = toJavaString(env, name);
  assertJni(env, "AgentLifecycle", __LINE__);
  jobject thread = newObject(env, threadClass, constructor, threadName);
  assertJni(env, "AgentLifecycle", __LINE__);
  env->DeleteLocalRef(threadClass);
  env->DeleteLocalRef(threadName);
  return thread;
}

void JNICALL vmStartCallback(jvmtiEnv*, JNIEnv* env) {
  runBarriered("AgentLifecycle", __LINE__, env, [&] { agentStart(env); });
}

void JNICALL vmInit(jvmtiEnv*, JNIEnv* env, jthread) {
  runBarriered("AgentLifecycle", __LINE__, env, [&] {
    logMessage("vmInit: 1");
    {
      YCriticalSectionLock held(&ourLock(), "AgentLifecycle:1");
      startGeneration(held, env, "JVM initialization");
    }
    logMessage("vmInit: 2");
    if (!agentInit(env)) exitProcess(20);
    logMessage("vmInit: 3");
    onStartProfiling(env);
    logMessage("vmInit: OK");
  });
}

void JNICALL vmDeath(jvmtiEnv*, JNIEnv* env) {
  runBarriered("AgentLifecycle", __LINE__, env, [&] {
    logMessage("vmDeath: 1");
    if (!agentInitialized.load()) {
      logMessage("vmDeath: nothing to do");
      return;
    }
    {
      // Class changes check the mark under the lock: one that began before it ends before it.
      YCriticalSectionLock held(&ourLock(), "JvmtiAgent:vmDeath");
      vmDead.store(true);
    }
    logMessage("vmDeath: 2");
    callCore(env, "runOnJvmExitTriggers");
    callCore(env, "notifyTsOnJvmExit");
    logMessage("vmDeath: 3");
    const uint64_t modes = profilingFlags.load();
    if (globalOptions().snapshotOnExit || (modes & ANY_RECORDING_MODE) != 0) {
      const uint64_t allocation = modes & PROFILING_ALLOCATION_MODE_MASK;
      const jlong withStacks = allocation == PROFILING_ALLOCATIONS_EXACT_STACKS || allocation == PROFILING_ALLOCATIONS_SAMPLED_STACKS;
      callStaticVoidMethod(env, coreClass, coreMethod(env, "captureSnapshotOnExit", "(J)V"), withStacks);
      assertJni(env, "AgentLifecycle", __LINE__);
    }
    logMessage("vmDeath: 4");
    checkJvmtiError(mainJvmti->SetEventNotificationMode(JVMTI_DISABLE, JVMTI_EVENT_DATA_DUMP_REQUEST, nullptr),
                    "AgentLifecycle", __LINE__);
    wakeSleepingAgentThreads();
    logMessage("vmDeath: OK");
  });
}
