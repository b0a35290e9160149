#include "agent/probes/ProbeRetransformation.h"

#include <jvmti.h>

#include "agent/core/JvmtiEnvironments.h"
#include "agent/recording/ClassSignature.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"

namespace {

// Whether a probe could change the class: the JVM lets it be retransformed, and it is neither an
// interface nor an array. `javaName` gets the class's Java name when it is one.
bool isProbeCandidate(jclass klass, YString& javaName) {
  jboolean modifiable = JNI_FALSE;
  if (mainJvmti->IsModifiableClass(klass, &modifiable) != JVMTI_ERROR_NONE || !modifiable) return false;
  jboolean isInterface = JNI_FALSE;
  if (mainJvmti->IsInterface(klass, &isInterface) != JVMTI_ERROR_NONE || isInterface) return false;
  javaName = getClassSignature(klass, nullptr);
  return javaName.length == 0 || javaName.data[javaName.length - 1] != ']';
}

}  // namespace

YString computeClassesToRetransform(JNIEnv* env, const YString& reason, bool attach) {
  jint count = 0;
  jclass* classes = nullptr;
  checkJvmtiError(mainJvmti->GetLoadedClasses(&count, &classes), "ProbeRetransformation", __LINE__);
  // The JVM made a local reference for every loaded class; room for them keeps checked JNI content.
  env->EnsureLocalCapacity(count + 16);
  for (jint i = 0; i < count; i++) {
    const jclass klass = classes[i];
    YString javaName;
    // Which loaded classes the probes match is not worked out yet, so every candidate counts as one that
    // no probe matches: after an attach it awaits the retransformation of the classes loaded before the
    // agent came, which weaves the probes into it as into any class.
    if (isProbeCandidate(klass, javaName) && attach && retransformJvmti != nullptr) {
      checkJvmtiError(retransformJvmti->SetTag(klass, 1), "ProbeRetransformation", __LINE__);
    }
    env->DeleteLocalRef(klass);
  }
  // No class matched, so none is retransformed here; the count is logged all the same.
  logMessage((YString("Classes to retransform: 0 (") + reason + ")").replaceAll("/", "."));
  if (classes != nullptr) jvmtiDeallocate(classes);
  return YString();
}
