#include "agent/natives/ProbeNatives.h"

#include "agent/classfile/SignatureUtil.h"
#include "agent/core/AgentFlags.h"
#include "agent/db/DB.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/probes/MethodListenerTemplate.h"
#include "agent/probes/ProbeActivityModes.h"
#include "agent/probes/ProbeCreationResult.h"
#include "agent/probes/ProbeRegistration.h"
#include "agent/probes/ProbeRegistry.h"
#include "agent/probes/ProbeRetransformation.h"
#include "agent/probes/ProbeValidation.h"
#include "agent/support/FatalError.h"
#include "agent/support/JniArrays.h"
#include "agent/support/JniStrings.h"
#include "agent/support/JniUtils.h"
#include "agent/support/Log.h"

namespace {

// The probe classes a registration by bytecode defines once all of them validated, by internal name,
// with copies of their bytes that live as long as the call.
struct ClassesToDefine {
  YVector<YString> names;
  YVector<YVector<uint8_t>*> bytes;

  ClassesToDefine() = default;
  ~ClassesToDefine() {
    for (int32_t i = 0; i < bytes.size; i++) delete bytes[i];
  }
  ClassesToDefine(const ClassesToDefine&) = delete;
  ClassesToDefine& operator=(const ClassesToDefine&) = delete;
};

// Validates the classes of the array into the result; with `define`, keeps those to define. A null
// element ends a group, which must have brought a probe and whose declared inner classes are looked for
// in it alone; classes after the last null are not checked so.
void validateGroups(JNIEnv* env, jobjectArray classes, bool define, ProbeCreationResult& result,
                    ClassesToDefine& kept) {
  const jsize count = env->GetArrayLength(classes);
  int32_t probesBefore = 0;
  for (jsize i = 0; i < count; i++) {
    const jobject element = env->GetObjectArrayElement(classes, i);
    assertJni(env, "CoreNatives", __LINE__);
    if (element != nullptr) {
      YVector<uint8_t> bytes;
      appendJavaByteArray(env, &bytes, static_cast<jbyteArray>(element));
      env->DeleteLocalRef(element);
      YString className;
      createProbeFromClass(bytes, PROBE_STATE_NEW, result, &className);
      if (result.isSuccessful() && define) {
        kept.bytes.add(new YVector<uint8_t>(bytes));
        kept.names.add(className);
      }
      continue;
    }
    if (result.isSuccessful() && result.probes.size == probesBefore) {
      result.addError(YString("no probes found in classes: ") + result.getClassNamesText());
    }
    result.warnMissingInnerClasses();
    result.examinedClasses.removeRange(0, result.examinedClasses.size);
    result.declaredInnerClasses.removeRange(0, result.declaredInnerClasses.size);
    probesBefore = result.probes.size;
  }
}

// Defines the kept classes in the bootstrap loader, in order, up to the first the JVM refuses, which
// fails the registration.
void defineClasses(JNIEnv* env, const ClassesToDefine& kept, ProbeCreationResult& result) {
  for (int32_t i = 0; i < kept.names.size; i++) {
    const YVector<uint8_t>& bytes = *kept.bytes[i];
    const jclass defined = env->DefineClass(kept.names[i].data, nullptr, reinterpret_cast<const jbyte*>(bytes.data),
                                            bytes.size);
    const jthrowable thrown = env->ExceptionOccurred();
    if (thrown == nullptr) {
      env->DeleteLocalRef(defined);
      continue;
    }
    const YString text = describeJavaException(env, thrown);
    env->DeleteLocalRef(thrown);
    env->ExceptionClear();
    result.addClassError(kept.names[i], YString("DefineClass exception: ") + text);
    return;
  }
}

// The answer of a registration: its errors, logged, or what the retransformations report (null when
// nothing went wrong). `classesDefined`: the registration has just defined the probe classes, so that they
// loaded with the callbacks of their mode.
jstring finishRegistration(JNIEnv* env, const ProbeCreationResult& result, const char* reason, bool retransform,
                           bool classesDefined) {
  if (!result.isSuccessful()) {
    const YString errors = result.getErrorsText();
    logMessage(errors);
    return toJavaString(env, errors);
  }
  reportProbeCreationResult(result);
  if (!retransform) return nullptr;
  YString failure = computeClassesToRetransform(env, YString(reason), false);
  // A probe registered again finds its class loaded with the callbacks of the mode it had when last
  // transformed, stubs or not; its mode, or CPU recording, may have changed while it was unregistered.
  if (failure.length == 0 && !classesDefined) failure = retransformProbes(env, &result.probes);
  return failure.length > 0 ? toJavaString(env, failure) : nullptr;
}

// Values above Auto, negative ones included, are refused with a Java exception.
bool refuseMode(JNIEnv* env, int32_t mode) {
  if (uint32_t(mode) <= uint32_t(PROBE_AUTO)) return false;
  YString message("unsupported probeActivityMode: ");
  message.appendLong(mode);
  throwRuntimeException(env, message.data);
  return true;
}

}  // namespace

void clearAutoProbeEvents() {
  YVector<YVector<int32_t>> tables;
  {
    YCriticalSectionLock held(&probeRegistryLock(), "CoreNatives:autoTables");
    for (int32_t i = 0; i < ourTopProbes.size; i++) {
      if (ourTopProbes[i]->mode == PROBE_AUTO) tables.add(ourTopProbes[i]->tableIds);
    }
  }
  YString cleared;
  for (int32_t i = 0; i < tables.size; i++) {
    YString report;
    requireDatabase().clearEventTablesById(report, tables[i]);
    cleared.append(report);
  }
  logMessage(YString("Events from Auto probes cleared:\n") + cleared);
}

void retransformAutoProbeClasses(JNIEnv* env) {
  YVector<ProbeDescriptor*> probes;
  {
    YCriticalSectionLock held(&probeRegistryLock(), "CoreNatives:autoProbes");
    for (int32_t i = 0; i < ourTopProbes.size; i++) {
      if (ourTopProbes[i]->mode == PROBE_AUTO) probes.addAll(ourTopProbes[i]->descriptors);
    }
  }
  if (probes.size == 0) {
    logMessage("No probes with activity mode 'Auto' found - nothing to retransform");
    return;
  }
  const YString failure = retransformProbes(env, &probes);
  if (failure.length > 0) logMessage(failure);
}

// A failed registration leaves nothing registered: the result destroys its probes, and every copy of
// class bytes goes with the call.
extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_registerProbesByBytecode(
    JNIEnv* env, jclass, jobjectArray classes, jboolean define, jboolean noRetransform) {
  if (refuseWithoutDatabase(env)) return nullptr;
  return runNative(env, __LINE__, [&]() -> jstring {
    if (classes == nullptr) assertionFailed("assertion failed: value is NULL", "CoreNatives", __LINE__);
    ProbeCreationResult result;
    ClassesToDefine kept;
    validateGroups(env, classes, define == JNI_TRUE, result, kept);
    if (result.isSuccessful()) checkProbeNotRegistered(result);
    if (result.isSuccessful() && kept.names.size > 0) {
      defineClasses(env, kept, result);
      // The probes were committed before their classes could be defined.
      if (!result.isSuccessful()) withdrawCommittedProbes(result);
    }
    return finishRegistration(env, result, "registerByBytecode", noRetransform != JNI_TRUE, kept.names.size > 0);
  });
}

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_registerProbesByName(JNIEnv* env, jclass,
                                                                                            jobjectArray names) {
  if (refuseWithoutDatabase(env)) return nullptr;
  return runNative(env, __LINE__, [&]() -> jstring {
    YVector<YString> probeNames;
    jstringArrayToVector(env, names, &probeNames);
    if (probeNames.size == 0) return nullptr;
    ProbeCreationResult result;
    registerProbesByName(probeNames, PROBE_STATE_NEW, result);
    if (result.isSuccessful()) checkProbeNotRegistered(result);
    return finishRegistration(env, result, "registerByName", true, false);
  });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_unregisterProbes(JNIEnv* env, jclass,
                                                                                     jobjectArray names) {
  if (refuseWithoutDatabase(env)) return;
  runNative(env, __LINE__, [&] {
    YVector<YString> probeNames;
    jstringArrayToVector(env, names, &probeNames);
    if (probeNames.size == 0) return;
    YVector<YString> removed;
    bool retransform = false;
    for (int32_t i = 0; i < probeNames.size; i++) {
      if (unregisterProbe(probeNames[i], &removed)) retransform = true;
    }
    if (retransform) computeClassesToRetransform(env, YString("unregister"), false);
    YString line("Unregistered probe classes: ");
    line.appendLong(removed.size);
    removed.sortStrings();
    for (int32_t i = 0; i < removed.size; i++) {
      line.append(YString("\n  Unregistered: ") + shortenBuiltinProbeName(removed[i]));
    }
    logMessage(line.replaceAll("/", "."));
  });
}

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_setProbeActivityModes(JNIEnv* env, jclass,
                                                                                             jobjectArray names,
                                                                                             jintArray modes) {
  if (refuseWithoutDatabase(env)) return nullptr;
  return runNative(env, __LINE__, [&]() -> jstring {
    if (modes == nullptr) assertionFailed("assertion failed: value is NULL", "CoreNatives", __LINE__);
    YVector<int32_t> modeValues;
    appendJavaIntArray(env, &modeValues, modes);
    if (modeValues.size == 0) return nullptr;
    YVector<YString> probeNames;
    jstringArrayToVector(env, names, &probeNames);
    if (probeNames.size != modeValues.size) assertionFailed("assertion failed", "CoreNatives", 1549);
    for (int32_t i = 0; i < modeValues.size; i++) {
      if (refuseMode(env, modeValues[i])) return nullptr;
    }
    const YString failure = setProbeActivityModes(env, &probeNames, &modeValues);
    return failure.length > 0 ? toJavaString(env, failure) : nullptr;
  });
}

extern "C" JNIEXPORT jobjectArray JNICALL Java_com_brantel_runtime_Callback_getProbes(JNIEnv* env, jclass, jint mode) {
  return runNative(env, __LINE__, [&]() -> jobjectArray {
    if (refuseMode(env, mode)) return nullptr;
    YVector<YString> names;
    getProbeNamesByMode(&names, mode);
    return toJavaStringArray(env, &names);
  });
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_brantel_runtime_Callback_isProbeOn(JNIEnv* env, jclass,
                                                                                  jstring probeName) {
  return runNative(env, __LINE__, [&]() -> jboolean {
    const TopProbe* probe = findTopProbe(jstringToYString(env, probeName).replaceAll("/", "."));
    // A record outlives the unregistration of its classes, keeping their mode for a later registration;
    // without registered classes the probe is off.
    if (probe == nullptr || probe->descriptors.size == 0) return JNI_FALSE;
    const PROBE_ACTIVITY_MODE mode = probe->mode;
    return mode == PROBE_ON || (mode == PROBE_AUTO && isTracingModeOn()) ? JNI_TRUE : JNI_FALSE;
  });
}

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_validateMethodPattern(JNIEnv* env, jclass,
                                                                                             jstring pattern) {
  return runNative(env, __LINE__, [&]() -> jstring {
    if (pattern == nullptr) return toJavaString(env, "methodPattern is null");
    MethodPatternParts parts;
    const YString error = parseMethodPattern(jstringToYString(env, pattern), parts);
    return error.length > 0 ? toJavaString(env, error) : nullptr;
  });
}

extern "C" JNIEXPORT jbyteArray JNICALL Java_com_brantel_runtime_Callback_patchTemplateClass(JNIEnv* env, jclass,
                                                                                             jobjectArray arguments) {
  return runNative(env, __LINE__, [&] { return loadMethodListenerTemplate(env, arguments); });
}
