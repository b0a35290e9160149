#include "agent/natives/AttachRetransformation.h"

#include <jvmti.h>

#include <algorithm>

#include "agent/core/JvmtiEnvironments.h"
#include "agent/core/Options.h"
#include "agent/instrumentation/Retransformation.h"
#include "agent/natives/InstrumentationNatives.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/support/AgentThreadSleep.h"
#include "agent/recording/ClassSignature.h"
#include "agent/support/JniUtils.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"
#include "agent/support/YVector.h"

namespace {

// The agent's own Java side (com.brantel.runtime) loads during the attach and is never instrumented, and
// the mode switches give the Callback class its bodies by redefinition: a retransformation after a switch
// brings back the bodies the class was loaded with, and the mode that just started records nothing.
bool isAgentRuntimeClass(const YString& javaName) { return javaName.startsWith("com.brantel.runtime."); }

// The classes the attach marked, as local references, each mark taken off; the special classes the JVM
// cannot retransform and the agent's own are left out. Logs their count and sorted names. Runs under
// "ourLock".
void collectMarkedClasses(JNIEnv* env, YVector<jclass>& kept) {
  jint count = 0;
  jclass* classes = nullptr;
  checkJvmtiError(mainJvmti->GetLoadedClasses(&count, &classes), "CoreNatives", __LINE__);
  // The JVM made a local reference for every loaded class; room for them keeps checked JNI content.
  env->EnsureLocalCapacity(count + 16);
  YVector<YString> names;
  for (jint i = 0; i < count; i++) {
    jlong tag = 0;
    checkJvmtiError(retransformJvmti->GetTag(classes[i], &tag), "CoreNatives", __LINE__);
    if (tag == 1) {
      const YString name = getClassSignature(classes[i], nullptr);
      if (!isAgentRuntimeClass(name) && !isSpecialClassNotToRetransform(name)) {
        kept.add(classes[i]);
        names.add(name);
        checkJvmtiError(retransformJvmti->SetTag(classes[i], 0), "CoreNatives", __LINE__);
        continue;
      }
    }
    env->DeleteLocalRef(classes[i]);
  }
  if (classes != nullptr) jvmtiDeallocate(classes);
  names.sortStrings();
  YString message("Classes to retransform: ");
  message.appendLong(kept.size);
  message.append(" (loaded before agent attached)");
  for (int32_t i = 0; i < names.size; i++) message.append(YString("\n  ") + names[i]);
  logMessage(message);
}

// RetransformClasses over `classes`, a batch at a time, with the pause the options ask for between
// batches. A refused batch is logged and the next one still tried.
void retransformInBatches(JNIEnv* env, const YVector<jclass>& classes) {
  const Options& options = globalOptions();
  const int32_t batchSize = retransformBatchSize(classes.size, options.getIntOption("_on_attach_retransform_batch_size", 0),
                                                 options.getIntOption("_on_attach_retransform_batch_count", 0));
  const int32_t pauseMs = options.getIntOption("_on_attach_retransform_pause_ms", 0);
  YString line("Classes to retransform: ");
  line.appendLong(classes.size);
  line.append(", batch size: ");
  line.appendLong(batchSize);
  logMessage(line);
  int32_t offset = 0;
  int32_t remaining = classes.size;
  while (true) {
    const int32_t n = std::min(batchSize, remaining);
    jvmtiError error = JVMTI_ERROR_NONE;
    if (!retransformWhileClassesMayChange(n, classes.data + offset, "Class retransform", error)) break;
    if (error != JVMTI_ERROR_NONE) {
      logMessage(YString("error: class retransform failed: ") + jvmtiErrorText(mainJvmti, error));
      warnRetransformFailed(env);
    }
    offset += n;
    remaining -= n;
    YString progress("Class retransform: ");
    progress.appendLong(offset);
    progress.append(" done, ");
    progress.appendLong(remaining);
    progress.append(" remains");
    logMessage(progress);
    if (remaining == 0) break;
    if (pauseMs >= 1) {
      YString sleeping("Class retransform: sleeping for ");
      sleeping.appendLong(pauseMs);
      sleeping.append(" ms...");
      logMessage(sleeping);
      // A raw-monitor wait: the JVM sees the thread blocked, and its exit is not held up by it.
      if (!agentThreadSleep(pauseMs)) break;
    }
  }
}

}  // namespace

int32_t retransformBatchSize(int32_t classCount, int32_t batchSizeOption, int32_t batchCountOption) {
  if (batchSizeOption >= 1) return batchSizeOption;
  const int64_t batches = batchCountOption >= 1 ? batchCountOption : 10;
  return int32_t((int64_t(classCount) + batches - 1) / batches);
}

void retransformClassesInBatches(JNIEnv* env) {
  YVector<jclass> kept;
  {
    YCriticalSectionLock held(&ourLock(), "CoreNatives:retransformClassesInBatches");
    if (retransformJvmti == nullptr) return;
    collectMarkedClasses(env, kept);
    // Only the first call after the attach does the work.
    retransformJvmti->DisposeEnvironment();
    retransformJvmti = nullptr;
  }
  if (kept.size == 0) return;
  retransformInBatches(env, kept);
  for (int32_t i = 0; i < kept.size; i++) env->DeleteLocalRef(kept[i]);
}

extern "C" JNIEXPORT void JNICALL
Java_com_brantel_runtime_Callback_retransformClassesLoadedBeforeAgentAttached(JNIEnv* env, jclass) {
  runNative(env, __LINE__, [&] { retransformClassesInBatches(env); });
}
