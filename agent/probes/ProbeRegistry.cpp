#include "agent/probes/ProbeRegistry.h"

// Never destroyed, like the records they hold: class-loading threads may read them while the process
// exits.
YVector<TopProbe*>& ourTopProbes = *new YVector<TopProbe*>();
YVector<ProbeDescriptor*>& ourProbeDescriptors = *new YVector<ProbeDescriptor*>();

YCriticalSection& probeRegistryLock() {
  static YCriticalSection* const lock = new YCriticalSection("ProbeRegistryLock");
  return *lock;
}

ProbeDescriptor::ProbeDescriptor(const YString& className, const YString& enterDescriptor,
                                 const YString& returnDescriptor, const YString& exceptionDescriptor,
                                 CallbackParameterList* enterParameters, CallbackParameterList* returnParameters,
                                 CallbackParameterList* exceptionParameters, bool usesOnEnterResult,
                                 bool usesMethodTimeMs, bool needsReturnValue, bool discardThrownException,
                                 const YString& requiredReturnType, const YString& instanceOf,
                                 const YVector<YString>& declaredExceptions, TopProbe* owner, bool hasOnExit)
    : isCpuTracingSupport(className.equals("com/brantel/probes/builtin/CpuTracingSupport")),
      className(className),
      instanceOf(instanceOf),
      requiredReturnType(requiredReturnType),
      enterParameters(enterParameters),
      enterDescriptor(enterDescriptor),
      returnParameters(returnParameters),
      returnDescriptor(returnDescriptor),
      exceptionParameters(exceptionParameters),
      exceptionDescriptor(exceptionDescriptor),
      owner(owner),
      needsReturnValue(needsReturnValue),
      discardThrownException(discardThrownException),
      hasOnExit(hasOnExit),
      usesOnEnterResult(usesOnEnterResult),
      usesMethodTimeMs(usesMethodTimeMs) {
  for (int32_t i = 0; i < declaredExceptions.size; i++) {
    if (callbackExceptions.indexOf(declaredExceptions[i]) < 0) callbackExceptions.add(declaredExceptions[i]);
  }
  YCriticalSectionLock held(&probeRegistryLock(), "ProbeRegistry:link");
  owner->descriptors.add(this);
}

ProbeDescriptor::~ProbeDescriptor() {
  YCriticalSectionLock held(&probeRegistryLock(), "ProbeRegistry:unlink");
  YVector<ProbeDescriptor*>& linked = owner->descriptors;
  for (int32_t i = 0; i < linked.size; i++) {
    if (linked[i] == this) {
      linked.remove(i);
      return;
    }
  }
}

void ProbeDescriptor::addMethodPattern(const YString& classPattern, const YString& methodPattern,
                                       const YString& parameterPattern, const YString& returnTypePattern,
                                       const YString& classAnnotationPattern, const YString& methodAnnotationPattern,
                                       bool isNegated) {
  classPatterns.add(classPattern);
  methodPatterns.add(methodPattern);
  parameterPatterns.add(parameterPattern);
  returnTypePatterns.add(returnTypePattern);
  classAnnotationPatterns.add(toTypeDescriptor(classAnnotationPattern));
  methodAnnotationPatterns.add(toTypeDescriptor(methodAnnotationPattern));
  negated.add(isNegated);
}

TopProbe* findTopProbe(const YString& name) {
  YCriticalSectionLock held(&probeRegistryLock(), "ProbeRegistry:find");
  for (int32_t i = 0; i < ourTopProbes.size; i++) {
    if (ourTopProbes[i]->name.equals(name)) return ourTopProbes[i];
  }
  return nullptr;
}

TopProbe* getTopProbe(const YString& className) {
  const YString name = className.replaceAll("/", ".").substringBefore('$');
  YCriticalSectionLock held(&probeRegistryLock(), "ProbeRegistry:get");
  TopProbe* found = findTopProbe(name);
  if (found != nullptr) return found;
  TopProbe* created = new TopProbe();
  created->name = name;
  created->mode = startupProbeModes().get(name, PROBE_ON);
  ourTopProbes.add(created);
  return created;
}

YString toTypeDescriptor(const YString& className) {
  if (className.length == 0) return YString();
  return YString("L") + className.replaceAll(".", "/") + ";";
}

YString shortenBuiltinProbeName(const YString& slashName) {
  return slashName.replaceAll("com/brantel/probes/builtin/", ".");
}
