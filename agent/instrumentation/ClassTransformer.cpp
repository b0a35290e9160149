#include "agent/instrumentation/ClassTransformer.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/classfile/SignatureUtil.h"
#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLifecycle.h"
#include "agent/core/JavaVersion.h"
#include "agent/core/Options.h"
#include "agent/instrumentation/ClassInstrumenter.h"
#include "agent/instrumentation/GeneratedNames.h"
#include "agent/instrumentation/NativeWrapping.h"
#include "agent/platform/Clocks.h"
#include "agent/platform/Files.h"
#include "agent/probes/ProbeCallbackStubs.h"
#include "agent/probes/ProbeEligibility.h"
#include "agent/probes/ProbeRegistry.h"
#include "agent/probes/ProbeWeaver.h"
#include "agent/recording/MethodStore.h"
#include "agent/support/FatalError.h"
#include "agent/support/FileUtils.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"

namespace {

constexpr int32_t ACC_INTERFACE = 0x200;
// What a class file can hold and the JVM accepts.
constexpr int32_t maxPoolEntries = 0x10000;
constexpr int32_t maxCodeLength = 0xFFFF;
constexpr uint64_t instrumentationAllowed = AGENT_ALLOCATION_INSTRUMENTATION | AGENT_TRACING_INSTRUMENTATION;

// Changed only under "ourLock".
struct TransformerStatistics {
  int64_t totalNs = 0;
  int64_t processed = 0;
  int64_t changed = 0;
  int32_t dumps = 0;
};
TransformerStatistics statistics;

// Read at the first class that needs them and kept.
struct TransformerSettings {
  YString dumpDirectory;  // "_dump_classes": empty for no dumps
  bool times;             // debug category "bci_times": every class's totals
  bool log;               // a line per class
  bool forceSunMiscUnsafe;
};

const TransformerSettings& transformerSettings() {
  static const TransformerSettings settings = [] {
    const Options& options = globalOptions();
    TransformerSettings read;
    read.dumpDirectory = options.getStringOption("_dump_classes");
    read.times = options.isDebug("bci_times");
    read.log = read.times || options.isDebug("bci");
    read.forceSunMiscUnsafe = options.hasOption("_force_sun_misc_Unsafe");
    return read;
  }();
  return settings;
}

bool bciDebug() {
  static const bool on = globalOptions().isDebug("bci");
  return on;
}

jvmtiPhase currentPhase() {
  jvmtiPhase phase = JVMTI_PHASE_LIVE;
  if (mainJvmti == nullptr || mainJvmti->GetPhase(&phase) != JVMTI_ERROR_NONE) return JVMTI_PHASE_LIVE;
  return phase;
}

// A class parsed from a copy of the JVM's bytes, which it keeps.
class ParsedClass {
 public:
  ParsedClass(const unsigned char* data, jint length, FrameExpansion frames = FrameExpansion::atParse)
      : bytes(length > 0 ? length : 1) {
    bytes.addRange(data, length);
    DataInput in(bytes);
    model = std::make_unique<ClassFile>(in, frames);
  }
  bool failed() const { return model->isParseFailed(); }
  ClassFile& get() { return *model; }

 private:
  YVector<uint8_t> bytes;
  std::unique_ptr<ClassFile> model;
};

bool hasMagic(const unsigned char* data, jint length) {
  return length >= 4 && data[0] == 0xCA && data[1] == 0xFE && data[2] == 0xBA && data[3] == 0xBE;
}

void dumpBytes(const YString& path, const void* data, int32_t length) {
  FILE* file = openFileStream(path, "wb");
  if (file == nullptr) {
    logMessage(YString("warning: debug: cannot dump ") + path);
    return;
  }
  std::fwrite(data, 1, size_t(length), file);
  std::fclose(file);
}

// A method that the edits made too long for the JVM, or a limit of its code that a u2 cannot hold.
bool hasOversizedMethod(const ClassFile& model) {
  const YVector<MethodInfo*>& methods = model.getMethods();
  for (int32_t i = 0; i < methods.size; i++) {
    const CodeAttribute* code = methods[i]->getCodeAttribute();
    if (code == nullptr) continue;
    if (code->getCodeLength() > maxCodeLength || code->getMaxStack() > 0xFFFF || code->getMaxLocals() > 0xFFFF) {
      return true;
    }
  }
  return false;
}

// The class goes back as the JVM gave it: its methods' records must not count on callbacks that are not
// there.
void forgetInstrumentedMarks(const ClassFile& model, const YString& javaName) {
  const YString sourceFile = model.getSourceFileName();
  const YVector<MethodInfo*>& methods = model.getMethods();
  for (int32_t i = 0; i < methods.size; i++) {
    const MethodInfo& method = *methods[i];
    const YString descriptor = method.getDescriptor();
    const int32_t id = getOrCreateMethod(javaName.data, method.getName().data,
                                         methodDescriptorToParameterList(descriptor.data).data,
                                         methodDescriptorToReturnTypeName(descriptor.data).data, sourceFile.data,
                                         method.isNative());
    clearMethodFlags(id, methodTraced | methodProbeInstrumented);
  }
}

// Writes the class into a block from JVMTI Allocate and hands it to the outputs; with a dump base, the
// bytes go to "<base>.class" too. A class the writer cannot write (a count past its field) is a fatal
// error, and the outputs stay untouched.
void handBack(const ClassFile& model, jint* newClassDataLength, unsigned char** newClassData, const YString& dumpBase) {
  YVector<uint8_t> bytes(4096);
  DataOutput out(bytes);
  model.write(out);
  unsigned char* block = jvmtiAllocate(bytes.size);
  std::memcpy(block, bytes.data, size_t(bytes.size));
  *newClassDataLength = bytes.size;
  *newClassData = block;
  if (dumpBase.length > 0) dumpBytes(dumpBase + ".class", bytes.data, bytes.size);
}

// The natives of the class get bytecode bodies; answers whether any did. A class whose natives a later
// redefinition must wrap again is remembered.
bool wrapAndRemember(ClassFile& model, const YString& name, bool log) {
  if (!wrapNativeMethods(model)) return false;
  if ((agentFlags.load() & AGENT_ATTACH_MODE) != 0 || ourJavaVersion >= 9) {
    if (log) logMessage(YString("remember class with wrapped natives: ") + name);
    addClassName(wrappedNativesClasses(), name);
  }
  return true;
}

void logTotals(const TransformerStatistics& totals, bool always) {
  const int64_t p = totals.processed;
  const bool due = p < 50000 ? p % 1000 == 0 : p < 500000 ? p % 5000 == 0 : p % 100000 == 0;
  if (!always && !due) return;
  YString line("total classes: processed=");
  line.appendLong(p);
  line.append(" instrumented=");
  line.appendLong(totals.changed);
  line.append(' ');
  line.appendLong(totals.totalNs / 1000000);
  line.append("ms");
  logWithMemoryUsage(line);
}

// Whether a redefinition of the class must wrap its natives again: it is one whose natives were wrapped,
// and its current natives carry the marker.
bool nativesStillWrapped(JNIEnv*, jclass klass, const YString& name) {
  const YVector<YString>* bucket = nameSetGet(wrappedNativesClasses(), classNameHash(name));
  if (bucket == nullptr || !containsClassName(*bucket, name)) return false;
  jint count = 0;
  jmethodID* methods = nullptr;
  const jvmtiError error = mainJvmti->GetClassMethods(klass, &count, &methods);
  // A class loaded but not yet linked cannot list its methods; it is still the class that was wrapped
  // at its load, and leaving its wrappers out would make the JVM refuse the redefinition.
  if (error == JVMTI_ERROR_CLASS_NOT_PREPARED) return true;
  if (error != JVMTI_ERROR_NONE) {
    if (bciDebug()) {
      YString line("warning: redefining ");
      line.append(name);
      line.append(": failed to obtain methods: ");
      line.appendLong(error);
      logMessage(line);
    }
    return false;
  }
  bool wrapped = false;
  for (jint i = 0; i < count && !wrapped; i++) {
    jint modifiers = 0;
    checkJvmtiError(mainJvmti->GetMethodModifiers(methods[i], &modifiers), "Instrumentation", 727);
    if ((modifiers & ACC_NATIVE) == 0) continue;
    JvmtiText methodName;
    checkJvmtiError(mainJvmti->GetMethodName(methods[i], methodName.out(), nullptr, nullptr), "Instrumentation",
                    738);
    if (methodName.text == nullptr) assertionFailed("assertion failed: value is NULL", "Instrumentation", 739);
    wrapped = std::strstr(methodName.text, generatedNameMarker) != nullptr;
  }
  jvmtiDeallocate(methods);
  return wrapped;
}

bool shouldWrapNativesOf(JNIEnv* env, jclass classBeingRedefined, const YString& name) {
  if (globalOptions().disableAll) return false;
  if (classBeingRedefined == nullptr || ((agentFlags.load() & AGENT_ATTACH_MODE) == 0 && ourJavaVersion < 9)) {
    return true;
  }
  const bool wrap = nativesStillWrapped(env, classBeingRedefined, name);
  if (bciDebug()) logMessage(YString("redefining ") + name + ": shouldWrapNatives=" + (wrap ? "1" : "0"));
  return wrap;
}

// Off, or Auto while neither CPU sampling nor tracing runs (call counting does not count). Read under the
// registry lock.
bool isInactive(const ProbeDescriptor& probe) {
  const PROBE_ACTIVITY_MODE mode = probe.owner->mode;
  return mode == PROBE_OFF || (mode == PROBE_AUTO && !isTracingModeOn());
}

// The first registered probe of the class's name, or null. Under the registry lock.
const ProbeDescriptor* probeOfClass(const YString& name) {
  for (int32_t p = 0; p < ourProbeDescriptors.size; p++) {
    if (ourProbeDescriptors[p]->className.equals(name)) return ourProbeDescriptors[p];
  }
  return nullptr;
}

// Whether the class is the own class of an inactive probe, whose callbacks get stubs. The one registry
// walk that every class pays for it compares names only.
bool isInactiveProbeClass(const YString& name) {
  YCriticalSectionLock held(&probeRegistryLock(), "Instrumentation:probeClass");
  const ProbeDescriptor* probe = probeOfClass(name);
  return probe != nullptr && isInactive(*probe);
}

// Stubs the callbacks of an inactive probe's class; true when the class changed. The probe is looked up
// again, since the registry may have changed since the test.
bool stubProbeCallbacks(ClassFile& model, const YString& name) {
  YCriticalSectionLock held(&probeRegistryLock(), "Instrumentation:probeStubs");
  const ProbeDescriptor* probe = probeOfClass(name);
  return probe != nullptr && isInactive(*probe) && instrumentProbeCallbacks(*probe, model);
}

// Whether a registered probe may weave the class: it applies to every class, or one of its including
// class patterns reaches it. A probe is never woven into its own class.
bool anyProbeMayApply(const YString& name, const YString& javaName) {
  YCriticalSectionLock held(&probeRegistryLock(), "Instrumentation:probeTest");
  for (int32_t p = 0; p < ourProbeDescriptors.size; p++) {
    const ProbeDescriptor& probe = *ourProbeDescriptors[p];
    if (probe.className.equals(name) || probe.state == PROBE_STATE_UNREGISTERING) continue;
    if (probe.isCpuTracingSupport) return true;
    for (int32_t i = 0; i < probe.patternCount(); i++) {
      if (!probe.negated[i] && canProbeClass(javaName, probe.classPatterns[i])) return true;
    }
  }
  return false;
}

// Weaves, in registration order, every probe whose class patterns accept the class: its accepted
// patterns split into the including and the excluding ones. True when some probe changed the class.
bool weaveProbes(ClassFile& model, const YString& name, const YString& javaName) {
  YCriticalSectionLock held(&probeRegistryLock(), "Instrumentation:probes");
  bool woven = false;
  for (int32_t p = 0; p < ourProbeDescriptors.size; p++) {
    const ProbeDescriptor& probe = *ourProbeDescriptors[p];
    // A probe on its way out is no longer woven, so that the retransformation removing it succeeds.
    if (probe.className.equals(name) || probe.state == PROBE_STATE_UNREGISTERING) continue;
    YVector<int32_t> included;
    YVector<int32_t> excluded;
    for (int32_t i = 0; i < probe.patternCount(); i++) {
      const bool accepted = probe.isCpuTracingSupport ||
                            (canProbeClass(javaName, probe.classPatterns[i]) &&
                             model.hasAnnotationMatching(probe.classAnnotationPatterns[i]));
      if (accepted) (probe.negated[i] ? excluded : included).add(i);
    }
    if (included.size > 0 && instrumentMethodWithProbe(model, probe, included, excluded)) woven = true;
  }
  return woven;
}

// Whether an editor below may change the class: an inactive probe's own class, natives to wrap, a probe
// whose patterns may reach it, or a method that the instrumentation does not leave alone as short. It
// may answer yes for a class that no editor then changes, never no for one that an editor changes.
bool mayBeEdited(const ClassFile& model, const YString& name, const YString& javaName, bool shouldWrapNatives,
                 bool instrumenting, bool inactiveProbeClass) {
  if (inactiveProbeClass) return true;
  const YVector<MethodInfo*>& methods = model.getMethods();
  for (int32_t i = 0; i < methods.size; i++) {
    if (shouldWrapNatives && methods[i]->isNative()) return true;
    if (instrumenting && methods[i]->getCodeAttribute() != nullptr && !isShortMethod(*methods[i], nullptr)) return true;
  }
  return anyProbeMayApply(name, javaName);
}

void logHookLine(jvmtiPhase phase, const char* name, const char* what) {
  YString line("ClassFileLoadHook: [");
  line.appendLong(phase);
  line.append("] ");
  if (name != nullptr) line.append(name);
  line.append(what);
  logMessage(line);
}

}  // namespace

// Never destroyed: a class may still load while the process exits.
ClassNameSet& wrappedNativesClasses() {
  static ClassNameSet* const set = new ClassNameSet();
  return *set;
}

ClassNameSet& patchedClassNames() {
  static ClassNameSet* const set = new ClassNameSet();
  return *set;
}

void appendPhasePrefix(YString& text) {
  if (mainJvmti == nullptr) {
    text.append("[-1] ");
    return;
  }
  const jvmtiPhase phase = currentPhase();
  if (phase == JVMTI_PHASE_LIVE) return;
  text.append('[');
  text.appendLong(phase);
  text.append("] ");
}

void logClassProblem(const YString& name, const char* message) {
  YString line;
  appendPhasePrefix(line);
  line.append(name);
  line.append(": ");
  line.append(message);
  logMessage(line);
}

void transformClass(const YString& name, jint classDataLength, const unsigned char* classData,
                    jint* newClassDataLength, unsigned char** newClassData, bool shouldWrapNatives,
                    bool isRetry) {
  if (vmDead.load() || classDataLength == 0) return;
  const int64_t start = getMonotonicTimeNs();
  const YString javaName = name.replaceAll("/", ".");
  if (!hasMagic(classData, classDataLength)) {
    logClassProblem(name, "skipping non-CAFEBABE");
    return;
  }

  const TransformerSettings& settings = transformerSettings();
  YString dumpBase;
  if (settings.dumpDirectory.length > 0) {
    makeDirectories(settings.dumpDirectory);
    dumpBase = settings.dumpDirectory + "/" + name.replaceAll("/", "_") + "_";
    dumpBase.appendLong(++statistics.dumps);
    dumpBytes(dumpBase + "_before.class", classData, classDataLength);
  }

  const Options& options = globalOptions();
  if (javaName.startsWith("sun.misc.Unsafe") || javaName.startsWith("jdk.internal.misc.Unsafe")) {
    if (!options.hasOption("_no_FIX_20160425_1")) {
      if (settings.log) logClassProblem(name, "skipping (FIX_20160425_1)");
      return;
    }
  }
  if (ourJavaVersion >= 12 &&
      (javaName.startsWith("java.lang.Module$ReflectionData") || javaName.startsWith("java.lang.WeakPairMap"))) {
    if (!options.hasOption("_no_FIX_20190122")) {
      if (settings.log) logClassProblem(name, "skipping (FIX_20190122)");
      return;
    }
  }
  // Before the exit for classes that need no edits: the Callback class is redefined with every mode
  // switch whatever the agent may instrument, and a redefinition that lacked the rewrite the loaded
  // class had would change the type of its Unsafe field, which the JVM refuses.
  if (ourJavaVersion >= 9 && !settings.forceSunMiscUnsafe && javaName.equals("com.brantel.runtime.Callback")) {
    ParsedClass parsed(classData, classDataLength);
    if (parsed.failed()) {
      logClassProblem(name, "invalid class");
      return;
    }
    YVector<YString> searches;
    YVector<YString> replacements;
    searches.add(YString("sun/misc/Unsafe"));
    replacements.add(YString("jdk/internal/misc/Unsafe"));
    searches.add(YString("compareAndSwapLong"));
    replacements.add(YString("compareAndSetLong"));
    parsed.get().replaceUtf8Text(searches, replacements);
    handBack(parsed.get(), newClassDataLength, newClassData, YString());
    return;
  }
  // The class of an Off probe, or of an Auto one while CPU recording is off, gets stub callbacks: it passes
  // the exits below for classes that nothing else edits and for the agent's own probe classes.
  const bool inactiveProbeClass = isInactiveProbeClass(name);
  // Classes that nothing would edit are not even parsed.
  if ((agentFlags.load() & instrumentationAllowed) == 0 && !shouldWrapNatives && !inactiveProbeClass &&
      !anyProbeMayApply(name, javaName)) {
    return;
  }

  if ((javaName.startsWith("com.brantel.probes.") && !inactiveProbeClass) ||
      javaName.startsWith("com.brantel.runtime.") || javaName.startsWith("com.brantel.Natives") ||
      javaName.startsWith("com.brantel.Constants")) {
    return;
  }
  if ((agentFlags.load() & AGENT_ATTACH_MODE) != 0 && !agentInitialized.load()) {
    logClassProblem(name, "no init yet");
    return;
  }

  ParsedClass parsed(classData, classDataLength, FrameExpansion::onRequest);
  if (parsed.failed()) {
    logClassProblem(name, "invalid class");
    return;
  }
  ClassFile& model = parsed.get();
  if (model.getMajorVersion() < 52 && (model.getAccessFlags() & ACC_INTERFACE) != 0) return;
  // A class that nothing edits goes back unchanged, so its frames are not worth expanding; for every
  // other class they are expanded before the first edit, as a parse would have.
  // One reading of the flags for the decision and the instrumentation, which must agree.
  const uint64_t flags = agentFlags.load();
  // A stubbed probe class is neither woven nor traced: its callbacks are to do nothing observable.
  const bool instrumenting = !isRetry && !inactiveProbeClass && (flags & instrumentationAllowed) != 0;
  if (mayBeEdited(model, name, javaName, shouldWrapNatives, instrumenting, inactiveProbeClass)) model.expandFrames();

  bool changed = shouldWrapNatives && wrapAndRemember(model, name, settings.log);

  if (inactiveProbeClass && stubProbeCallbacks(model, name)) changed = true;
  // A redo without tracing and allocation instrumentation is only ever granted to a class probes changed.
  const bool probesChanged = !inactiveProbeClass && weaveProbes(model, name, javaName);
  if (probesChanged) changed = true;
  bool retryPermitted = false;
  bool tooLong = false;
  if (instrumenting) {
    retryPermitted = probesChanged && model.getConstantPool().size < maxPoolEntries;
    if (instrumentClass(model, tooLong, (flags & AGENT_ALLOCATION_INSTRUMENTATION) != 0,
                        (flags & AGENT_TRACING_INSTRUMENTATION) != 0)) {
      changed = true;
    }
  }

  // Nothing the JVM would refuse goes back to it: such a class loads as it was, or once more without its
  // tracing and allocation instrumentation.
  if (tooLong) {
    logMessage("warning: bytecode too long after T&A");
  } else if (changed && model.getConstantPool().size >= maxPoolEntries) {
    tooLong = true;
    logMessage("warning: resulting constant pool is too big");
  }
  if (tooLong) {
    forgetInstrumentedMarks(model, javaName);
    if (retryPermitted) {
      logMessage("warning: trying to proceed with skipping BCI for tracing and allocations");
      transformClass(name, classDataLength, classData, newClassDataLength, newClassData, shouldWrapNatives, true);
    }
    return;
  }
  if (changed && hasOversizedMethod(model)) {
    logMessage("warning: bytecode too long after editing");
    forgetInstrumentedMarks(model, javaName);
    return;
  }

  const int64_t elapsedNs = getMonotonicTimeNs() - start;
  statistics.totalNs += elapsedNs;
  statistics.processed++;
  if (changed) statistics.changed++;
  if (settings.log) {
    YString line;
    appendPhasePrefix(line);
    line.append(javaName);
    if (elapsedNs >= 1000000) {
      line.append(' ');
      line.appendLong(elapsedNs / 1000000);
      line.append("ms");
    }
    if (!changed) line.append(" SAME");
    logMessage(line);
  }
  logTotals(statistics, settings.times);

  if (!changed) return;
  try {
    handBack(model, newClassDataLength, newClassData, dumpBase);
  } catch (const BZPRuntimeException&) {
    forgetInstrumentedMarks(model, javaName);
    throw;
  }
}

void wrapNatives(const YString& name, jint classDataLength, const unsigned char* classData,
                 jint* newClassDataLength, unsigned char** newClassData, bool log) {
  if (classDataLength == 0) return;
  if (!hasMagic(classData, classDataLength)) {
    logClassProblem(name, "skipping non-CAFEBABE");
    return;
  }
  ParsedClass parsed(classData, classDataLength);
  if (parsed.failed()) {
    logClassProblem(name, "invalid class");
    return;
  }
  if (!wrapAndRemember(parsed.get(), name, log)) return;
  handBack(parsed.get(), newClassDataLength, newClassData, YString());
}

void JNICALL ClassFileLoadHook(jvmtiEnv*, JNIEnv* env, jclass classBeingRedefined, jobject, const char* name,
                               jobject, jint classDataLength, const unsigned char* classData,
                               jint* newClassDataLength, unsigned char** newClassData) {
  YString className(name == nullptr ? "" : name);
  try {
    YCriticalSectionLock held(&ourLock(), "Instrumentation:611");
    *newClassDataLength = 0;
    *newClassData = nullptr;
    const bool debug = bciDebug();
    const jvmtiPhase phase = currentPhase();
    if (ourJavaVersion >= 9 && phase == JVMTI_PHASE_PRIMORDIAL) {
      if (!globalOptions().disableAll && className.equals("java/lang/Thread")) {
        if (debug) logHookLine(phase, name, " - early class - wrap natives only");
        wrapNatives(className, classDataLength, classData, newClassDataLength, newClassData, debug);
      } else if (debug) {
        logHookLine(phase, name, " - skipped early class");
      }
      return;
    }
    if (debug) logHookLine(phase, name, "");
    if (name == nullptr) {
      if (classBeingRedefined != nullptr) {
        fatalError("NULL class name is unexpected for a class being redefined", "Instrumentation", __LINE__);
      }
      ParsedClass parsed(classData, classDataLength);
      if (parsed.failed()) {
        logClassProblem(YString("NULL"), "invalid class");
        return;
      }
      className = parsed.get().getThisClassName();
    }
    const bool shouldWrapNatives = shouldWrapNativesOf(env, classBeingRedefined, className);
    transformClass(className, classDataLength, classData, newClassDataLength, newClassData, shouldWrapNatives,
                   false);
  } catch (const BZPRuntimeException&) {
    onExceptionCaught("Instrumentation", 778);
    logMessage(YString("warning: the previous exception happened while processing ") + className);
  } catch (const std::bad_alloc&) {
    onExceptionCaught("Instrumentation", 778);
    logMessage(YString("warning: the previous exception happened while processing ") + className);
  }
  // Whatever happened, a class goes back whole or not at all.
  if (*newClassData == nullptr) *newClassDataLength = 0;
}
