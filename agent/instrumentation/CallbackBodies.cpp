#include "agent/instrumentation/CallbackBodies.h"

#include <jvmti.h>

#include <cstring>
#include <memory>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/core/AgentFlags.h"
#include "agent/core/CallbackJarData.h"
#include "agent/core/Options.h"
#include "agent/instrumentation/Retransformation.h"
#include "agent/recording/CountingSupport.h"
#include "agent/recording/TracingReplay.h"
#include "agent/recording/TracingSettings.h"
#include "agent/support/FatalError.h"
#include "agent/support/FileUtils.h"
#include "agent/support/JniUtils.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"

namespace {

constexpr const char* CALLBACK_CLASS = "com/brantel/runtime/Callback";
constexpr const char* CALLBACK_CLASS_FILE = "/com/brantel/runtime/Callback.class";
constexpr const char* ENTRY_DESCRIPTOR = "(IJ)J";
constexpr const char* EXIT_DESCRIPTOR = "(IJ)V";
constexpr const char* LINE_DESCRIPTOR = "(IJ)V";
constexpr const char* INIT_DESCRIPTOR = "(Ljava/lang/Object;IISJ)I";

// The pristine class bytes: the class file under "_agent_cp" when that option is given, else the copy
// built into the library.
YVector<uint8_t> pristineCallbackClass() {
  const YString directory = globalOptions().getStringOption("_agent_cp");
  if (directory.length == 0) {
    YVector<uint8_t> bytes(callbackClassSize);
    bytes.addRange(callbackClassBytes, callbackClassSize);
    return bytes;
  }
  YVector<uint8_t> bytes(4096);
  readFileBytes(directory + CALLBACK_CLASS_FILE, &bytes);
  if (bytes.size == 0) assertionFailed("assertion failed", "Instrumentation", 1247);
  return bytes;
}

YString withStripeCount(const char* body) {
  YString name(body);
  name.appendLong(getCounterStripeCount());
  return name;
}

// The bodies of the current modes copied over the entry methods.
void applyModeBodies(ClassFile* classFile) {
  const uint64_t flags = profilingFlags.load();
  const uint64_t cpuMode = flags & PROFILING_CPU_MODE_MASK;
  if (cpuMode == PROFILING_CPU_TRACING) {
    const char* suffix = tracingSettings.adaptive ? "_A" : "_NA";
    copyMethodBody(classFile, "bzpMethodEntry", (YString("methodEntry") + suffix).data, ENTRY_DESCRIPTOR);
    copyMethodBody(classFile, "bzpMethodExit", (YString("methodExit") + suffix).data, EXIT_DESCRIPTOR);
    if (isLineTracingEnabled()) copyMethodBody(classFile, "bzpMethodLine", "methodLine", LINE_DESCRIPTOR);
  } else if (cpuMode == PROFILING_CALL_COUNTING) {
    copyMethodBody(classFile, "bzpMethodEntry", withStripeCount("methodEntry_CF").data, ENTRY_DESCRIPTOR);
  }
  if ((flags & PROFILING_ALLOCATION_MODE_MASK) == PROFILING_ALLOCATION_COUNTING) {
    copyMethodBody(classFile, "bzpInit", withStripeCount("init_CF").data, INIT_DESCRIPTOR);
  } else if ((flags & PROFILING_ALLOCATIONS_EXACT_STACKS) != 0) {
    copyMethodBody(classFile, "bzpInit", "init_A", INIT_DESCRIPTOR);
  }
}

// Deletes a local reference when it goes, also when a fatal error unwinds.
class LocalRef {
 public:
  LocalRef(JNIEnv* env, jobject ref) : env(env), ref(ref) {}
  ~LocalRef() { env->DeleteLocalRef(ref); }
  LocalRef(const LocalRef&) = delete;
  LocalRef& operator=(const LocalRef&) = delete;

 private:
  JNIEnv* env;
  jobject ref;
};

struct JvmtiBlockFree {
  void operator()(unsigned char* block) const { jvmtiDeallocate(block); }
};

}  // namespace

void copyMethodBody(ClassFile* classFile, const char* target, const char* source, const char* descriptor) {
  if (classFile == nullptr) assertionFailed("assertion failed: value is NULL", "Instrumentation", 1218);
  if (classFile->isParseFailed()) assertionFailed("assertion failed", "Instrumentation", 1219);
  const YString descriptorText(descriptor);
  MethodInfo* targetMethod = classFile->findMethod(YString(target), descriptorText);
  if (targetMethod == nullptr) assertionFailed("assertion failed: value is NULL", "Instrumentation", 1222);
  const MethodInfo* sourceMethod = classFile->findMethod(YString(source), descriptorText);
  if (sourceMethod == nullptr) assertionFailed("assertion failed: value is NULL", "Instrumentation", 1225);
  targetMethod->copyAttributesFrom(sourceMethod);
}

bool switchCallbackMethods(JNIEnv* env) {
  YCriticalSectionLock held(&ourLock(), "Instrumentation:1232");
  // The JVM is going: whatever bodies the class has stay, and no mode needs new ones.
  if (!classesMayChange(held, "Callback redefinition")) return true;
  const jclass callback = findClass(env, CALLBACK_CLASS);
  const LocalRef callbackRef(env, callback);

  // Every redefinition starts from the pristine class, so bodies of earlier modes never linger.
  const YVector<uint8_t> pristine = pristineCallbackClass();
  DataInput in(pristine);
  ClassFile classFile(in);
  // Written back with no mode on, an unparsed class would be garbage.
  if (classFile.isParseFailed()) assertionFailed("assertion failed", "Instrumentation", __LINE__);
  applyModeBodies(&classFile);

  YVector<uint8_t> bytes(4096);
  DataOutput out(bytes);
  classFile.write(out);
  const std::unique_ptr<unsigned char, JvmtiBlockFree> block(jvmtiAllocate(bytes.size));
  std::memcpy(block.get(), bytes.data, size_t(bytes.size));

  jvmtiClassDefinition definition{callback, bytes.size, block.get()};
  const jvmtiError error = mainJvmti->RedefineClasses(1, &definition);
  if (error != JVMTI_ERROR_NONE) {
    logMessage(YString("error: callback redefinition failed, likely due to a conflict with another agent: ") +
               jvmtiErrorText(mainJvmti, error));
    return false;
  }
  return true;
}
