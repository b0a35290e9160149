#pragma once

#include <cstdint>
#include <memory>

#include "agent/classfile/CallbackParameter.h"
#include "agent/core/StartupProbeModes.h"
#include "agent/platform/YCriticalSection.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

class ProbeDescriptor;

using CallbackParameterList = YVectorSafe<CallbackParameter>;

constexpr int32_t PROBE_STATE_APPLIED = 0;
constexpr int32_t PROBE_STATE_NEW = 1;
constexpr int32_t PROBE_STATE_UNREGISTERING = 2;

// One probe name: a top-level probe class in Java form ("x.y.Probe", never an inner class), the activity
// mode a user sets for it, the registered classes under it and the event tables its probes made. Never
// destroyed: a name keeps its mode and its tables after its classes are unregistered.
struct TopProbe {
  YString name;
  PROBE_ACTIVITY_MODE mode = PROBE_ON;
  YVector<ProbeDescriptor*> descriptors;  // not owning; each descriptor links and unlinks itself
  YVector<int32_t> tableIds;
};

// One registered probe class, outer or inner: its method patterns and everything the weaver needs to
// call its callbacks. The return-side slot holds onReturn and the exception-side slot
// onUncaughtException; onExit fills both.
class ProbeDescriptor {
 public:
  // Takes the three parameter lists over (any may be null) and links itself into `owner`'s descriptors.
  // State starts at 1 (new).
  ProbeDescriptor(const YString& className, const YString& enterDescriptor, const YString& returnDescriptor,
                  const YString& exceptionDescriptor, CallbackParameterList* enterParameters,
                  CallbackParameterList* returnParameters, CallbackParameterList* exceptionParameters,
                  bool usesOnEnterResult, bool usesMethodTimeMs, bool needsReturnValue, bool discardThrownException,
                  const YString& requiredReturnType, const YString& instanceOf,
                  const YVector<YString>& declaredExceptions, TopProbe* owner, bool hasOnExit);
  // Unlinks itself from its owner. Whoever takes a descriptor out of ourProbeDescriptors destroys it.
  ~ProbeDescriptor();
  ProbeDescriptor(const ProbeDescriptor&) = delete;
  ProbeDescriptor& operator=(const ProbeDescriptor&) = delete;

  // Appends one accepted @MethodPattern value; the annotation patterns are stored as type descriptors.
  void addMethodPattern(const YString& classPattern, const YString& methodPattern, const YString& parameterPattern,
                        const YString& returnTypePattern, const YString& classAnnotationPattern,
                        const YString& methodAnnotationPattern, bool isNegated);
  const YString& getRequiredReturnType() const { return requiredReturnType; }
  int32_t patternCount() const { return classPatterns.size; }

  // The six parallel pattern lists and the excluding flag, one entry per @MethodPattern value.
  YVectorSafe<YString> classPatterns;
  YVectorSafe<YString> methodPatterns;
  YVectorSafe<YString> parameterPatterns;
  YVectorSafe<YString> returnTypePatterns;
  YVectorSafe<YString> classAnnotationPatterns;
  YVectorSafe<YString> methodAnnotationPatterns;
  YVector<bool> negated;
  bool isCpuTracingSupport = false;
  YString className;  // internal form
  // Internal form: the @InstanceOf class, or the type of the @This parameters; empty for java/lang/Object.
  YString instanceOf;
  // Java form: instanceOf (when set) and the @RetransformIfInstanceOf values, for choosing loaded classes.
  YVectorSafe<YString> retransformIfInstanceOf;
  YString requiredReturnType;  // the exit-side callbacks' return type; empty for void
  YVectorSafe<YString> callbackExceptions;  // declared by the callbacks, each once
  std::unique_ptr<CallbackParameterList> enterParameters;
  YString enterDescriptor;
  std::unique_ptr<CallbackParameterList> returnParameters;
  YString returnDescriptor;
  std::unique_ptr<CallbackParameterList> exceptionParameters;
  YString exceptionDescriptor;
  // PROBE_STATE_NEW: loaded classes may still lack the callbacks; PROBE_STATE_APPLIED; or
  // PROBE_STATE_UNREGISTERING: no longer woven, its loaded classes may still hold its callbacks.
  int32_t state = PROBE_STATE_NEW;
  TopProbe* owner = nullptr;
  bool needsReturnValue = false;
  bool discardThrownException = false;
  bool hasOnExit = false;
  bool usesOnEnterResult = false;
  bool usesMethodTimeMs = false;
};

// The registry: probe names in creation order, and the registered probe classes in registration order.
// Registration, unregistration and mode changes run on Java threads while class-loading threads read the
// registry, so every access holds probeRegistryLock(), briefly. The lock is taken inside "ourLock" where
// both are needed, never the other way round.
extern YVector<TopProbe*>& ourTopProbes;
extern YVector<ProbeDescriptor*>& ourProbeDescriptors;
YCriticalSection& probeRegistryLock();

// The record of a probe name, made when new: '/' read as '.', everything from the first '$' cut off. A new
// name takes its mode from the start-up probe table, On when it is not there.
TopProbe* getTopProbe(const YString& className);
// The first record of exactly this name (Java form), or null.
TopProbe* findTopProbe(const YString& name);

// Empty for an empty name, else "L" + name + ";" with '.' turned into '/'.
YString toTypeDescriptor(const YString& className);
// Every "com/brantel/probes/builtin/" becomes ".", so that built-in probes show by their simple names.
YString shortenBuiltinProbeName(const YString& slashName);
