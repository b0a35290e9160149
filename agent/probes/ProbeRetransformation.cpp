#include "agent/probes/ProbeRetransformation.h"

#include <jvmti.h>

#include "agent/core/JvmtiEnvironments.h"
#include "agent/instrumentation/Retransformation.h"
#include "agent/probes/ProbeEligibility.h"
#include "agent/recording/ClassSignature.h"
#include "agent/support/FatalError.h"
#include "agent/support/JniUtils.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"

namespace {

// What a pass needs of one unsettled probe class, copied under the registry lock so that the Java side's
// class tree is asked without holding it.
struct ProbeMatcher {
  YString className;
  YVector<YString> patterns;  // the including class patterns
  YVector<YString> instanceOfNames;
};

// The probe classes the pass settles (new or being unregistered), and the matchers of those whose
// patterns choose classes: the built-in CPU tracing support reaches every class as it loads.
bool collectUnsettled(YVector<ProbeDescriptor*>& unsettled, YVector<ProbeMatcher>& matchers) {
  YCriticalSectionLock held(&probeRegistryLock(), "ProbeRetransformation:collect");
  for (int32_t i = 0; i < ourProbeDescriptors.size; i++) {
    ProbeDescriptor* probe = ourProbeDescriptors[i];
    if (probe->state == PROBE_STATE_APPLIED) continue;
    unsettled.add(probe);
    if (probe->isCpuTracingSupport || probe->patternCount() == 0) continue;
    ProbeMatcher matcher;
    matcher.className = probe->className;
    for (int32_t k = 0; k < probe->patternCount(); k++) {
      if (!probe->negated[k]) matcher.patterns.add(probe->classPatterns[k]);
    }
    for (int32_t k = 0; k < probe->retransformIfInstanceOf.size; k++) {
      matcher.instanceOfNames.add(probe->retransformIfInstanceOf[k]);
    }
    matchers.add(matcher);
  }
  return ourProbeDescriptors.size > 0;
}

bool containsProbe(const YVector<ProbeDescriptor*>& probes, const ProbeDescriptor* probe) {
  for (int32_t i = 0; i < probes.size; i++) {
    if (probes[i] == probe) return true;
  }
  return false;
}

// The pass's probes once their classes were retransformed: new ones are applied, and those being
// unregistered leave the registry. Probes that came or went while the pass ran are left to the next one.
void settle(const YVector<ProbeDescriptor*>& passed) {
  YCriticalSectionLock held(&probeRegistryLock(), "ProbeRetransformation:settle");
  for (int32_t i = 0; i < ourProbeDescriptors.size;) {
    ProbeDescriptor* probe = ourProbeDescriptors[i];
    if (containsProbe(passed, probe) && probe->state == PROBE_STATE_UNREGISTERING) {
      ourProbeDescriptors.remove(i);
      delete probe;
      continue;
    }
    if (containsProbe(passed, probe) && probe->state == PROBE_STATE_NEW) probe->state = PROBE_STATE_APPLIED;
    i++;
  }
}

// "; not applied: " and the probe classes of the pass, in registry order.
YString notApplied(const YVector<ProbeDescriptor*>& passed) {
  YString text("; not applied: ");
  YCriticalSectionLock held(&probeRegistryLock(), "ProbeRetransformation:notApplied");
  bool first = true;
  for (int32_t i = 0; i < ourProbeDescriptors.size; i++) {
    if (!containsProbe(passed, ourProbeDescriptors[i])) continue;
    if (!first) text.append(", ");
    text.append(shortenBuiltinProbeName(ourProbeDescriptors[i]->className).replaceAll("/", "."));
    first = false;
  }
  return text;
}

// Whether a probe could change the class: the JVM lets it be retransformed, and it is neither an
// interface nor an array. `javaName` gets the class's Java name when it is one.
bool isProbeCandidate(jclass klass, YString& javaName) {
  jboolean modifiable = JNI_FALSE;
  checkJvmtiError(mainJvmti->IsModifiableClass(klass, &modifiable), "ProbeRetransformation", __LINE__);
  if (!modifiable) return false;
  jboolean isInterface = JNI_FALSE;
  checkJvmtiError(mainJvmti->IsInterface(klass, &isInterface), "ProbeRetransformation", __LINE__);
  if (isInterface) return false;
  javaName = getClassSignature(klass, nullptr);
  return javaName.length == 0 || javaName.data[javaName.length - 1] != ']';
}

// The Java side's ClassTree, given every loaded class; `isInstanceOf` gets its query.
jobject newClassTree(JNIEnv* env, const jclass* classes, jint count, jmethodID* isInstanceOf) {
  const jclass treeClass = findClass(env, "com/brantel/runtime/ClassTree");
  const jmethodID constructor = env->GetMethodID(treeClass, "<init>", "()V");
  assertJni(env, "ProbeRetransformation", __LINE__);
  if (constructor == nullptr) assertionFailed("assertion failed", "ProbeRetransformation", __LINE__);
  const jobject tree = newObject(env, treeClass, constructor);
  assertJni(env, "ProbeRetransformation", __LINE__);
  if (tree == nullptr) assertionFailed("assertion failed: value is NULL", "ProbeRetransformation", __LINE__);
  const jmethodID addClass = env->GetMethodID(treeClass, "addClass", "(Ljava/lang/Class;)V");
  assertJni(env, "ProbeRetransformation", __LINE__);
  if (addClass == nullptr) assertionFailed("assertion failed", "ProbeRetransformation", __LINE__);
  for (jint i = 0; i < count; i++) {
    env->CallVoidMethod(tree, addClass, classes[i]);
    assertJni(env, "ProbeRetransformation", __LINE__);
  }
  *isInstanceOf = env->GetMethodID(treeClass, "isInstanceOf", "(Ljava/lang/Class;Ljava/lang/String;)Z");
  assertJni(env, "ProbeRetransformation", __LINE__);
  if (*isInstanceOf == nullptr) assertionFailed("assertion failed", "ProbeRetransformation", __LINE__);
  env->DeleteLocalRef(treeClass);
  return tree;
}

bool treeSaysInstanceOf(JNIEnv* env, jobject tree, jmethodID isInstanceOf, jclass klass, const YString& name) {
  const jstring javaName = env->NewStringUTF(name.data);
  assertJni(env, "ProbeRetransformation", __LINE__);
  const bool answer = env->CallBooleanMethod(tree, isInstanceOf, klass, javaName) == JNI_TRUE;
  assertJni(env, "ProbeRetransformation", __LINE__);
  env->DeleteLocalRef(javaName);
  return answer;
}

// The first probe class, in registry order, one of whose including patterns reaches the class. A
// pattern with "*" reaches a class only when it is an instance of one of the probe's
// retransformIfInstanceOf names, when there are such names; an exact class name needs no asking.
const ProbeMatcher* firstMatch(JNIEnv* env, const YVector<ProbeMatcher>& matchers, jclass klass,
                               const YString& javaName, jobject tree, jmethodID isInstanceOf) {
  for (int32_t m = 0; m < matchers.size; m++) {
    const ProbeMatcher& matcher = matchers[m];
    for (int32_t p = 0; p < matcher.patterns.size; p++) {
      const YString& pattern = matcher.patterns[p];
      if (!canProbeClass(javaName, pattern)) continue;
      if (matcher.instanceOfNames.size == 0 || !pattern.contains("*")) return &matcher;
      for (int32_t k = 0; k < matcher.instanceOfNames.size; k++) {
        if (treeSaysInstanceOf(env, tree, isInstanceOf, klass, matcher.instanceOfNames[k])) return &matcher;
      }
    }
  }
  return nullptr;
}

// "<title><n>" and "\n  <line>" for each line in byte order, every "/" as ".".
void logSortedLines(YString text, int32_t count, const char* suffix, YVector<YString>& lines) {
  text.appendLong(count);
  text.append(suffix);
  lines.sortStrings();
  for (int32_t i = 0; i < lines.size; i++) text.append(YString("\n  ") + lines[i]);
  logMessage(text.replaceAll("/", "."));
}

}  // namespace

YString computeClassesToRetransform(JNIEnv* env, const YString& reason, bool attach) {
  YVector<ProbeDescriptor*> unsettled;
  YVector<ProbeMatcher> matchers;
  const bool anyRegistered = collectUnsettled(unsettled, matchers);
  jint count = 0;
  jclass* classes = nullptr;
  checkJvmtiError(mainJvmti->GetLoadedClasses(&count, &classes), "ProbeRetransformation", __LINE__);
  // The JVM made a local reference for every loaded class; room for them keeps checked JNI content.
  env->EnsureLocalCapacity(count + 16);
  jmethodID isInstanceOf = nullptr;
  const jobject tree = anyRegistered ? newClassTree(env, classes, count, &isInstanceOf) : nullptr;

  YVector<jclass> listed;
  YVector<YString> lines;
  for (jint i = 0; i < count; i++) {
    const jclass klass = classes[i];
    YString javaName;
    if (!isProbeCandidate(klass, javaName)) {
      env->DeleteLocalRef(klass);
      continue;
    }
    const ProbeMatcher* match = firstMatch(env, matchers, klass, javaName, tree, isInstanceOf);
    if (match != nullptr && isSpecialClassNotToRetransform(javaName)) {
      env->DeleteLocalRef(klass);
      continue;
    }
    if (retransformJvmti != nullptr && attach == (match == nullptr)) {
      // After an attach, an unmatched class awaits the retransformation of the classes loaded before the
      // agent came; otherwise a matched class is retransformed here and awaits nothing.
      checkJvmtiError(retransformJvmti->SetTag(klass, attach ? 1 : 0), "ProbeRetransformation", __LINE__);
    }
    if (match == nullptr) {
      env->DeleteLocalRef(klass);
      continue;
    }
    listed.add(klass);
    lines.add(javaName + " <<< " + shortenBuiltinProbeName(match->className));
  }
  if (tree != nullptr) env->DeleteLocalRef(tree);
  logSortedLines(YString("Classes to retransform: "), listed.size, (YString(" (") + reason + ")").data, lines);

  YString result;
  if (listed.size > 0) {
    jvmtiError error = JVMTI_ERROR_NONE;
    if (!retransformWhileClassesMayChange(listed.size, listed.data, "Class retransform", error)) {
      result = YString("Class retransform skipped: the JVM is exiting") + notApplied(unsettled);
    } else if (error == JVMTI_ERROR_NONE) {
      logMessage("Class retransform completed (2)");
    } else {
      result = YString("Class retransform failed: ") + reason + (attach ? " 1" : " 0") + " error=" +
               jvmtiErrorText(mainJvmti, error) + notApplied(unsettled);
      logMessage(result);
      warnRetransformFailed(env);
    }
    for (int32_t i = 0; i < listed.size; i++) env->DeleteLocalRef(listed[i]);
  }
  if (classes != nullptr) jvmtiDeallocate(classes);
  if (result.length == 0) settle(unsettled);
  return result;
}

YString retransformProbes(JNIEnv* env, const YVector<ProbeDescriptor*>* probes) {
  if (probes == nullptr) assertionFailed("assertion failed: value is NULL", "ProbeRetransformation", __LINE__);
  YVector<YString> probeClassNames;
  {
    YCriticalSectionLock held(&probeRegistryLock(), "ProbeRetransformation:probeNames");
    for (int32_t i = 0; i < probes->size; i++) {
      const ProbeDescriptor* probe = (*probes)[i];
      if (probe == nullptr) assertionFailed("assertion failed: value is NULL", "ProbeRetransformation", __LINE__);
      probeClassNames.add(probe->className.replaceAll("/", "."));
    }
  }
  jint count = 0;
  jclass* classes = nullptr;
  checkJvmtiError(mainJvmti->GetLoadedClasses(&count, &classes), "ProbeRetransformation", __LINE__);
  env->EnsureLocalCapacity(count + 16);
  YString counts("retransformProbes: loaded classes: ");
  counts.appendLong(count);
  counts.append(" probeClassNames: ");
  counts.appendLong(probeClassNames.size);
  logMessage(counts);

  YVector<jclass> listed;
  YVector<YString> names;
  for (jint i = 0; i < count; i++) {
    const YString javaName = getClassSignature(classes[i], nullptr);
    if (probeClassNames.indexOf(javaName) >= 0) {
      listed.add(classes[i]);
      names.add(javaName);
    } else {
      env->DeleteLocalRef(classes[i]);
    }
  }
  if (classes != nullptr) jvmtiDeallocate(classes);
  logSortedLines(YString("Probe classes to retransform: "), listed.size, "", names);
  if (listed.size == 0) return YString();

  YString result;
  jvmtiError error = JVMTI_ERROR_NONE;
  if (!retransformWhileClassesMayChange(listed.size, listed.data, "Probe classes retransform", error)) {
    result = YString("Probe classes retransform skipped: the JVM is exiting");
  } else if (error == JVMTI_ERROR_NONE) {
    logMessage("Probe classes retransform completed");
  } else {
    result = YString("Probe classes retransform failed: ") + jvmtiErrorText(mainJvmti, error);
    logMessage(result);
    warnRetransformFailed(env);
  }
  for (int32_t i = 0; i < listed.size; i++) env->DeleteLocalRef(listed[i]);
  return result;
}
