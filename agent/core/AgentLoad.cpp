#include "agent/core/AgentLoad.h"

#include <jvmti.h>

#include <cstdio>
#include <cstdlib>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLifecycle.h"
#include "agent/core/CallbackJar.h"
#include "agent/core/JavaVersion.h"
#include "agent/core/JvmtiCapabilities.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/core/JvmtiEvents.h"
#include "agent/core/Options.h"
#include "agent/core/StartupProbeModes.h"
#include "agent/core/ThreadCallbacks.h"
#include "agent/db/DB.h"
#include "agent/db/Generations.h"
#include "agent/platform/SystemInfo.h"
#include "agent/probes/ProbeEligibility.h"
#include "agent/probes/ProbePath.h"
#include "agent/probes/ProbeRegistration.h"
#include "agent/probes/ProbeRetransformation.h"
#include "agent/recording/AllocationRecording.h"
#include "agent/recording/ObjectEnumerator.h"
#include "agent/support/DebugCategories.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"

JavaVM* javaVm = nullptr;

namespace {

// A system property of the JVM; the empty text when it has none.
YString systemProperty(const char* name) {
  char* value = nullptr;
  if (mainJvmti->GetSystemProperty(name, &value) != JVMTI_ERROR_NONE || value == nullptr) return YString();
  YString text(value);
  jvmtiDeallocate(value);
  return text;
}

void logNumbered(const char* prefix, int64_t value) {
  YString line(prefix);
  line.appendLong(value);
  logMessage(line);
}

void dumpSystemProperties() {
  logMessage("---------------------------------------");
  logMessage("Dumping all system properties via JVMTI");
  logMessage("---------------------------------------");
  jint count = 0;
  char** names = nullptr;
  checkJvmtiError(mainJvmti->GetSystemProperties(&count, &names), "AgentLoad", __LINE__);
  YVector<YString> lines;
  for (jint i = 0; i < count; i++) {
    lines.add(YString("  ") + names[i] + "=" + systemProperty(names[i]));
    jvmtiDeallocate(names[i]);
  }
  jvmtiDeallocate(names);
  lines.sortStrings();
  for (int32_t i = 0; i < lines.size; i++) logMessage(lines[i]);
  logMessage("----------------------------------");
}

struct VmDescription {
  jint jvmtiVersion = 0;
  YString vendor;
  YString version;
  YString specificationVersion;
  YString info;
};

// Sets ourJavaVersion; LOAD_OK when the agent supports this JVM.
int32_t checkJavaVersion(const VmDescription& vm) {
  if (vm.jvmtiVersion < JVMTI_VERSION_9) {
    if (!vm.specificationVersion.equals("1.8")) {
      logMessage("Cannot start: Java 8 or newer is required. To profile on this old Java version, use "
                 "corresponding old version of Brantel TallyScope.",
                 stderr);
      return LOAD_JAVA_TOO_OLD;
    }
    ourJavaVersion = 8;
    return LOAD_OK;
  }
  ourJavaVersion = javaFeatureVersion(vm.version, vm.specificationVersion);
  if (ourJavaVersion >= 18 && !globalOptions().hasOption("_no_java_version_check")) {
    logMessage(YString("Cannot start: Java version ") + vm.version +
                   " is not supported. Please check whether a newer version of Brantel TallyScope that "
                   "supports it exists. You may also disable the version check by specifying the startup "
                   "option '_no_java_version_check' at your own risk because we do not guarantee it would "
                   "run trouble free.",
               stderr);
    return LOAD_JAVA_TOO_NEW;
  }
  return LOAD_OK;
}

// Puts the Java side and the probe class path entries the options name on the class paths.
int32_t addJavaSideToClassPaths() {
  const YString jar = extractCallbackJar();
  if (jar.length == 0) return LOAD_NO_CALLBACK_JAR;
  checkJvmtiError(mainJvmti->AddToBootstrapClassLoaderSearch(jar.data), "AgentLoad", __LINE__);
  probePathList.add(jar);
  const Options& options = globalOptions();
  for (int32_t i = 0; i < options.probeBootClassPath.size; i++) {
    checkJvmtiError(mainJvmti->AddToBootstrapClassLoaderSearch(options.probeBootClassPath[i].data), "AgentLoad",
                    __LINE__);
    probePathList.add(options.probeBootClassPath[i]);
  }
  for (int32_t i = 0; i < options.probeClassPath.size; i++) {
    checkJvmtiError(mainJvmti->AddToSystemClassLoaderSearch(options.probeClassPath[i].data), "AgentLoad", __LINE__);
    probePathList.add(options.probeClassPath[i]);
  }
  return LOAD_OK;
}

// Probes registered at the VM's start apply to every class as it loads; after an attach, the classes
// loaded before still lack them.
void registerStartupProbes(bool attaching) {
  ProbeCreationResult result;
  registerProbesByName(startupProbeModes().keys, attaching ? 1 : 0, result);
  if (result.isSuccessful()) checkProbeNotRegistered(result);
  if (!result.isSuccessful()) {
    logMessage(result.getErrorsText());
    return;
  }
  reportProbeCreationResult(result);
}

// The threads that run already get their records as if they had just started.
void announceLiveThreads(JNIEnv* env) {
  jint count = 0;
  jthread* threads = nullptr;
  if (mainJvmti->GetAllThreads(&count, &threads) != JVMTI_ERROR_NONE) return;
  for (jint i = 0; i < count; i++) {
    jint state = 0;
    if (mainJvmti->GetThreadState(threads[i], &state) == JVMTI_ERROR_NONE && (state & JVMTI_THREAD_STATE_ALIVE) != 0) {
      onThreadStart(env, threads[i], 0, 0);
    }
    env->DeleteLocalRef(threads[i]);
  }
  jvmtiDeallocate(threads);
}

// What the JVM's start events do at JVM start, done at once in a running JVM.
int32_t runAttachSequence() {
  logMessage("on_attach: 1");
  JNIEnv* env = nullptr;
  if (javaVm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_4) != JNI_OK || env == nullptr) {
    return LOAD_NO_JNI_ENVIRONMENT;
  }
  if (globalOptions().hasOption("_advance_generation_on_attach")) {
    logMessage("will advance generation...");
    YCriticalSectionLock held(&ourLock(), "AgentLoad:1");
    startGeneration(held, env, "Agent attached");
    logMessage("generation advanced");
  }
  logMessage("on_attach: 2");
  agentStart(env);
  if (!agentInit(env)) return LOAD_JAVA_SIDE_REFUSED;
  logMessage("on_attach: 3");
  logMessage("on_attach: 4");
  // The classes loaded so far never passed the class-file hook. While instrumentation is allowed, a
  // retransform environment of their own marks them for the first start of a mode that needs it.
  if ((agentFlags.load() & (AGENT_TRACING_INSTRUMENTATION | AGENT_ALLOCATION_INSTRUMENTATION)) != 0) {
    retransformJvmti = createJvmtiEnvironment(false);
  }
  computeClassesToRetransform(env, "apply probes after attach", true);
  logMessage("on_attach: 5");
  announceLiveThreads(env);
  logMessage("on_attach: 6");
  onStartProfiling(env);
  logMessage("on_attach: OK");
  return LOAD_OK;
}

}  // namespace

void exitProcess(int32_t code) { std::exit(code); }

int32_t agentLoadImpl(JavaVM* vm, const YString& options) {
  javaVm = vm;
  if (mainJvmti != nullptr) {
    logMessage("Agent already loaded");
    return LOAD_OK;
  }
  const jint error = vm->GetEnv(reinterpret_cast<void**>(&mainJvmti), JVMTI_VERSION_1_1);
  if (error != JNI_OK || mainJvmti == nullptr) {
    mainJvmti = nullptr;
    YString line("Cannot start: unable to create JVMTI environment, error=");
    line.appendLong(error);
    logMessage(line, stderr);
    return LOAD_NO_JVMTI;
  }

  VmDescription vmDescription;
  checkJvmtiError(mainJvmti->GetVersionNumber(&vmDescription.jvmtiVersion), "AgentLoad", __LINE__);
  logMessage(YString("jvmtiVersion: ") + toHex(vmDescription.jvmtiVersion, 8));
  jvmtiPhase phase = JVMTI_PHASE_ONLOAD;
  checkJvmtiError(mainJvmti->GetPhase(&phase), "AgentLoad", __LINE__);
  logNumbered("phase: ", phase);
  vmDescription.vendor = systemProperty("java.vm.vendor");
  vmDescription.version = systemProperty("java.vm.version");
  vmDescription.specificationVersion = systemProperty("java.vm.specification.version");
  vmDescription.info = systemProperty("java.vm.info");
  logMessage(YString("vendor: ") + vmDescription.vendor);
  logMessage(YString("version: ") + vmDescription.version);
  logMessage(YString("specVersion: ") + vmDescription.specificationVersion);
  logMessage(YString("info: ") + vmDescription.info);
  isOpenJ9 = vmDescription.vendor.contains("OpenJ9");
  ourIsIbm = isOpenJ9 || vmDescription.vendor.startsWith(YString("IBM"));

  jvmtiCapabilities potential{};
  checkJvmtiError(mainJvmti->GetPotentialCapabilities(&potential), "AgentLoad", __LINE__);
  if (potential.can_generate_sampled_object_alloc_events) {
    agentFlags |= AGENT_HEAP_SAMPLING;
    logMessage("heap_sampling: capability is available");
  } else {
    logMessage("heap_sampling: capability is not available");
  }
  logMessage(YString("asynchronous sampling: unsupported on ") + getPlatformDirName());

  Options& store = globalOptions();
  if (!store.checkAtStart(options)) return LOAD_INVALID_OPTIONS;
  installDebugCategoryCheck([](const char* category) { return globalOptions().isDebug(category); });
  if (store.hasOption("_dump_properties")) dumpSystemProperties();
  const int32_t versionCheck = checkJavaVersion(vmDescription);
  if (versionCheck != LOAD_OK) return versionCheck;
  if (store.hasOption("_print_java_detail")) {
    std::printf("ourJavaVersion=%d\n", ourJavaVersion);
    std::printf("ourIsIbm=%d\n", ourIsIbm ? 1 : 0);
    std::fflush(stdout);
  }

  // A second attach after a failed one finds the database of the first.
  if (db == nullptr) createDatabase(store.telemetryPointLimit);
  createObjectEnumerator();

  jvmtiJlocationFormat locationFormat = JVMTI_JLOCATION_OTHER;
  const jvmtiError locationError = mainJvmti->GetJLocationFormat(&locationFormat);
  const jvmtiCapabilities wanted = chooseMainCapabilities(potential, locationError, locationFormat);
  const jvmtiError refused = mainJvmti->AddCapabilities(&wanted);
  if (refused != JVMTI_ERROR_NONE) {
    YString message("Cannot start: the JVM does not provide required profiling capabilities (error code=");
    message.appendLong(refused);
    message.append(").\nSee the log file for detail.");
    logMessage(message, stderr);
    return LOAD_CAPABILITIES_REFUSED;
  }
  wireJvmtiEvents();
  if ((agentFlags.load() & AGENT_HEAP_SAMPLING) != 0) setHeapSamplingInterval();

  const int32_t classPaths = addJavaSideToClassPaths();
  if (classPaths != LOAD_OK) return classPaths;
  loadProbeIgnoredPrefixes();

  YString summary("JVMTI ");
  summary.append(toHex(vmDescription.jvmtiVersion, 8));
  summary.append(YString("; ") + vmDescription.version + "; " + vmDescription.vendor + "; " + vmDescription.info);
  if (ourIsIbm) summary.append("; [IBM]");
  summary.append("; Java version: ");
  summary.appendLong(ourJavaVersion);
  logMessage(summary);

  const bool attaching = (agentFlags.load() & AGENT_ATTACH_MODE) != 0;
  if (startupProbeModes().keys.size > 0) registerStartupProbes(attaching);
  return attaching ? runAttachSequence() : LOAD_OK;
}
