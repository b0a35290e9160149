#include "agent/natives/DominatorNatives.h"

#include "agent/heap/DominatorDriver.h"
#include "agent/heap/NewDominatorSupport.h"
#include "agent/heap/ObjectStorage.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/platform/Files.h"
#include "agent/support/FatalError.h"
#include "agent/support/JniStrings.h"
#include "agent/support/JniUtils.h"
#include "agent/support/Log.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

namespace {

constexpr const char* source = "DominatorNatives";

YString withNumber(const char* text, int64_t value) {
  YString result(text);
  result.appendLong(value);
  return result;
}

// A copy, since run() executes Java code between the uses.
YVector<int32_t> copyOf(JNIEnv* env, jintArray array) {
  YVector<int32_t> values;
  const jsize length = env->GetArrayLength(array);
  if (length == 0) return values;
  values.reserve(length);
  env->GetIntArrayRegion(array, 0, length, values.data);
  values.size = length;
  return values;
}

// The exception of run() stays pending for the caller.
void logRunFailure(JNIEnv* env) {
  const jthrowable thrown = env->ExceptionOccurred();
  logWithMemoryUsage(YString("dc: runnable: failed: ") + describeJavaException(env, thrown));
  env->DeleteLocalRef(thrown);
}

void compute(JNIEnv* env, ObjectStorage& storage, const YString& inputFile, const YString& outputFile,
             const YString& idomFile, jobject runnable, const YVector<int32_t>& roots, ObjectSet selected) {
  const int64_t keptSize = getFileSize(idomFile);
  if (keptSize > 0) {
    YString text("dc: reading existing file: ");
    text.append(idomFile);
    text.append(" size=");
    text.appendLong(keptSize);
    logWithMemoryUsage(text);
    if (NewDominatorSupport::readKeptResult(idomFile, storage, selected, roots.data, roots.size)) {
      logWithMemoryUsage(YString("dc: reading done"));
      logWithMemoryUsage(YString("dc: end"));
      return;
    }
    logWithMemoryUsage(YString("dc: existing file cannot be read - let's create .idom anew"));
  }

  YString text = withNumber("dc: input creation: starting...\n  N=", storage.n);
  text.append(" roots=");
  text.appendLong(roots.size);
  text.append("\n  ");
  text.append(inputFile);
  text.append(" -> ");
  text.append(outputFile);
  logWithMemoryUsage(text);
  DominatorInputFingerprint fingerprint;
  const int32_t nc =
      NewDominatorSupport::createInput(inputFile, storage, selected, roots.data, roots.size, &fingerprint);
  logWithMemoryUsage(withNumber("dc: input creation: ended, NC=", nc));
  if (nc == -1) {
    throwRuntimeException(env, "dc: input file creation failed");
    return;
  }

  logWithMemoryUsage(YString("dc: runnable..."));
  const jclass runnableClass = env->GetObjectClass(runnable);
  if (env->ExceptionCheck()) {
    logRunFailure(env);
    return;
  }
  const jmethodID run = env->GetMethodID(runnableClass, "run", "()V");
  if (run == nullptr) {
    env->ExceptionClear();
    throwRuntimeException(env, "dc: run() not found");
    return;
  }
  // The run replaces the output; what is left of an older one must not pass for its result.
  NewDominatorSupport::forgetResult(outputFile);
  env->CallVoidMethod(runnable, run);
  if (env->ExceptionCheck()) {
    logRunFailure(env);
    return;
  }

  logWithMemoryUsage(YString("dc: reading..."));
  if (!NewDominatorSupport::read(outputFile, storage, selected, nc)) {
    logWithMemoryUsage(YString("dc: read error"));
    throwRuntimeException(env, "dc: read error");
    return;
  }
  NewDominatorSupport::keepResult(outputFile, fingerprint);
  logWithMemoryUsage(YString("dc: reading done"));
  logWithMemoryUsage(YString("dc: end"));
}

}  // namespace

JNIEXPORT jint JNICALL Java_com_brantel_Natives_dc(JNIEnv* env, jclass, jstring inputFile, jstring outputFile,
                                                   jstring algorithm, jstring tempDirectory) {
  return runNativeIn(env, source, __LINE__, [&]() -> jint {
    logWithMemoryUsage(YString("Natives_dc: starting..."));
    const YString input = jstringToYString(env, inputFile);
    const YString output = jstringToYString(env, outputFile);
    const YString name = jstringToYString(env, algorithm);
    const YString directory = jstringToYString(env, tempDirectory);
    const int32_t code = computeDominatorsCaught(input, output, name, directory);
    logWithMemoryUsage(withNumber("Natives_dc: return code ", code));
    return code;
  });
}

JNIEXPORT void JNICALL Java_com_brantel_Natives_computeDominatorsImpl(JNIEnv* env, jclass, jstring inputFile,
                                                                      jstring outputFile, jstring idomFile,
                                                                      jobject runnable, jlong storage,
                                                                      jintArray roots, jintArray selected) {
  runNativeIn(env, source, __LINE__, [&] {
    logWithMemoryUsage(YString("dc: 0"));
    if (runnable == nullptr || storage == 0 || roots == nullptr || selected == nullptr) {
      assertionFailed("assertion failed: value is NULL", source, __LINE__);
    }
    const YVector<int32_t> rootList = copyOf(env, roots);
    const YVector<int32_t> selection = copyOf(env, selected);
    compute(env, *reinterpret_cast<ObjectStorage*>(static_cast<intptr_t>(storage)), jstringToYString(env, inputFile),
            jstringToYString(env, outputFile), jstringToYString(env, idomFile), runnable, rootList,
            ObjectSet{selection.data, selection.size});
  });
}
