#include "agent/instrumentation/Retransformation.h"

#include <jvmti.h>

#include "agent/core/AgentLifecycle.h"
#include "agent/instrumentation/ClassTransformer.h"
#include "agent/recording/ClassSignature.h"
#include "agent/support/JniUtils.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"
#include "agent/support/YVector.h"

namespace {

// The loaded classes that patchedClassNames holds, as local references that go with the object, also
// when a fatal error unwinds.
class KeptClasses {
 public:
  explicit KeptClasses(JNIEnv* env) : env(env) {}
  ~KeptClasses() {
    for (int32_t i = 0; i < classes.size; i++) env->DeleteLocalRef(classes[i]);
  }
  KeptClasses(const KeptClasses&) = delete;
  KeptClasses& operator=(const KeptClasses&) = delete;

  void add(jclass klass, const YString& name) {
    classes.add(klass);
    names.add(name);
  }

  JNIEnv* const env;
  YVector<jclass> classes;
  YVector<YString> names;
};

// The array of GetLoadedClasses: every reference not kept is deleted as soon as it has been looked at.
class LoadedClasses {
 public:
  LoadedClasses(JNIEnv* env, jint count, jclass* classes) : env(env), count(count), classes(classes) {}
  ~LoadedClasses() {
    for (jint i = next; i < count; i++) env->DeleteLocalRef(classes[i]);
    if (classes != nullptr) jvmtiDeallocate(classes);
  }
  LoadedClasses(const LoadedClasses&) = delete;
  LoadedClasses& operator=(const LoadedClasses&) = delete;

  // Hands each class to `visit`, which answers whether it keeps the reference.
  template <class Visit>
  void forEach(Visit visit) {
    while (next < count) {
      const jclass klass = classes[next++];
      if (!visit(klass)) env->DeleteLocalRef(klass);
    }
  }

 private:
  JNIEnv* const env;
  const jint count;
  jclass* const classes;
  jint next = 0;
};

void collectPatchedClasses(JNIEnv* env, KeptClasses& kept) {
  jint count = 0;
  jclass* classes = nullptr;
  checkJvmtiError(mainJvmti->GetLoadedClasses(&count, &classes), "Instrumentation", 1365);
  LoadedClasses loaded(env, count, classes);
  // The JVM made a local reference for every loaded class; room for them keeps checked JNI content.
  env->EnsureLocalCapacity(count + 16);
  const ClassNameSet& patched = patchedClassNames();
  loaded.forEach([&](jclass klass) {
    const YString name = getClassSignature(klass, nullptr);
    if (!containsClassName(patched, name)) return false;
    kept.add(klass, name);
    return true;
  });
}

void logKeptNames(const KeptClasses& kept) {
  YVector<YString> sorted(kept.names);
  sorted.sortStrings();
  YString line("Retransform LMC: ");
  line.appendLong(sorted.size);
  for (int32_t i = 0; i < sorted.size; i++) {
    line.append("\n  ");
    line.append(sorted[i]);
  }
  logMessage(line);
}

}  // namespace

bool classesMayChange(const YCriticalSectionLock& held, const char* what) {
  (void)held;
  if (!vmDead.load()) return true;
  logMessage(YString(what) + " skipped: the JVM is exiting");
  return false;
}

bool retransformWhileClassesMayChange(jint count, jclass* classes, const char* what, jvmtiError& error) {
  YCriticalSectionLock held(&ourLock(), "Retransformation:classes");
  if (!classesMayChange(held, what)) return false;
  error = mainJvmti->RetransformClasses(count, classes);
  return true;
}

bool isSpecialClassNotToRetransform(const YString& javaName) {
  if (!javaName.startsWith("java.lang.invoke.LambdaForm") && javaName.indexOf("$$Lambda$") < 0) return false;
  logMessage(YString("warning: special class will not be retransformed: ") + javaName);
  return true;
}

void retransformInstrumentedClasses(JNIEnv* env) {
  YCriticalSectionLock held(&ourLock(), "Instrumentation:1353");
  if (patchedClassNames().count == 0 || !classesMayChange(held, "Retransform LMC")) return;
  KeptClasses kept(env);
  collectPatchedClasses(env, kept);
  if (kept.classes.size == 0) return;
  logKeptNames(kept);
  const jvmtiError error = mainJvmti->RetransformClasses(kept.classes.size, kept.classes.data);
  if (error == JVMTI_ERROR_NONE) {
    logMessage("Retransform LMC completed");
    return;
  }
  logMessage(YString("warning: retransform LMC failed: ") + jvmtiErrorText(mainJvmti, error));
  warnRetransformFailed(env);
}
