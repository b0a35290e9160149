#include "agent/probes/ProbeValidation.h"

#include <memory>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/SignatureUtil.h"
#include "agent/probes/CallbackParameters.h"
#include "agent/probes/ProbeRegistry.h"
#include "agent/support/BZPRuntimeException.h"
#include "agent/support/Log.h"

namespace {

// The callbacks a probe class declares, each null when absent.
struct Callbacks {
  const MethodInfo* onEnter = nullptr;
  const MethodInfo* onReturn = nullptr;
  const MethodInfo* onUncaughtException = nullptr;
  const MethodInfo* onExit = nullptr;
};

// Looks `name` up into `found`; false, with the class error, when more than one method has the name.
bool findSingleCallback(const ClassFile& classFile, const char* name, const YString& javaName,
                        ProbeCreationResult& result, const MethodInfo*& found) {
  bool several = false;
  found = classFile.findMethodByName(YString(name), &several);
  if (!several) return true;
  result.addClassError(javaName, YString("more than one method ") + name + "()");
  return false;
}

// The checks of the callback set that end validation at the first failure.
bool findCallbacks(const ClassFile& classFile, const YString& javaName, bool discardThrownException,
                   ProbeCreationResult& result, Callbacks& callbacks) {
  if (!findSingleCallback(classFile, "onEnter", javaName, result, callbacks.onEnter) ||
      !findSingleCallback(classFile, "onReturn", javaName, result, callbacks.onReturn) ||
      !findSingleCallback(classFile, "onUncaughtException", javaName, result, callbacks.onUncaughtException)) {
    return false;
  }
  bool several = false;
  if (classFile.findMethodByName(YString("onUncaughtExceptionExt"), &several) != nullptr) {
    result.addClassError(javaName, YString("onUncaughtExceptionExt() callback is not supported: use "
                                           "@DiscardThrownException annotation with either onExit() or "
                                           "onUncaughtException()"));
    return false;
  }
  if (!findSingleCallback(classFile, "onExit", javaName, result, callbacks.onExit)) return false;
  if (callbacks.onEnter == nullptr && callbacks.onReturn == nullptr && callbacks.onUncaughtException == nullptr &&
      callbacks.onExit == nullptr) {
    result.addClassError(javaName,
                         YString("no callbacks found (onEnter(), onExit(), onReturn() or onUncaughtException())"));
    return false;
  }
  if (callbacks.onExit != nullptr && callbacks.onUncaughtException != nullptr) {
    result.addClassError(javaName, YString("onExit() and onUncaughtException() callbacks cannot be used together"));
    return false;
  }
  if (callbacks.onExit != nullptr && callbacks.onReturn != nullptr) {
    result.addClassError(javaName, YString("onExit() and onReturn() callbacks cannot be used together"));
    return false;
  }
  if (!discardThrownException) {
    if (callbacks.onUncaughtException != nullptr && !callbacks.onUncaughtException->returnsVoid()) {
      result.addClassError(javaName, YString("onUncaughtException() callback must be void unless "
                                             "@DiscardThrownException annotation is present"));
      return false;
    }
  } else if (callbacks.onUncaughtException == nullptr && callbacks.onExit == nullptr) {
    result.addClassError(javaName, YString("@DiscardThrownException annotation can be used only when onExit() or "
                                           "onUncaughtException() callback is present"));
    return false;
  }
  return true;
}

// The type the exit-side callbacks hand back in place of the method's result, empty for none. A
// discarding onUncaughtException supplies the result when onReturn does not.
YString requiredReturnType(const YString& javaName, const Callbacks& callbacks, bool discardThrownException,
                           ProbeCreationResult& result, bool& needsReturnValue) {
  YString required;
  needsReturnValue = false;
  if (callbacks.onExit != nullptr) {
    required = callbacks.onExit->getReturnType();
    needsReturnValue = !required.equals("V");
  } else {
    const YString onReturnType = callbacks.onReturn != nullptr ? callbacks.onReturn->getReturnType() : YString();
    const YString onThrowType = callbacks.onUncaughtException != nullptr && discardThrownException
                                    ? callbacks.onUncaughtException->getReturnType()
                                    : YString();
    const bool returnsValue = onReturnType.length > 0 && !onReturnType.equals("V");
    if (returnsValue) {
      required = onReturnType;
      needsReturnValue = true;
    } else if (onThrowType.length > 0) {
      required = onThrowType;
    }
    if (returnsValue && onThrowType.length > 0 && !onReturnType.equals(onThrowType)) {
      result.addClassError(javaName, YString("onUncaughtException() and onReturn() callback return types are different"));
    }
  }
  if (required.equals("V")) return YString();
  return required;
}

void checkPublicStatic(const YString& javaName, const MethodInfo* callback, ProbeCreationResult& result) {
  if (callback == nullptr || (callback->isPublic() && callback->isStatic())) return;
  result.addMethodError(javaName, callback->getName(), YString("callback must be public static"));
}

bool hasKind(const CallbackParameterList* parameters, int32_t kind, const YString* type = nullptr) {
  if (parameters == nullptr) return false;
  for (int32_t i = 0; i < parameters->size; i++) {
    const CallbackParameter& parameter = (*parameters)[i];
    if (parameter.kind == kind && (type == nullptr || parameter.type.equals(*type))) return true;
  }
  return false;
}

YString descriptorOf(const MethodInfo* callback) { return callback != nullptr ? callback->getDescriptor() : YString(); }

void collectExceptions(const MethodInfo* callback, YVector<YString>& exceptions) {
  if (callback != nullptr) callback->getExceptionClassNames(&exceptions);
}

// Steps after a successful parse.
void validate(const ClassFile& classFile, int32_t initialState, ProbeCreationResult& result, YString* className) {
  YVectorSafe<YString> methodPatterns;
  YString instanceOf;
  YVectorSafe<YString> retransformIfInstanceOf;
  bool discardThrownException = false;
  classFile.readProbeClassAnnotations(methodPatterns, instanceOf, retransformIfInstanceOf, discardThrownException);

  const YString& internalName = classFile.getThisClassName();
  if (className != nullptr) *className = internalName;
  const YString javaName = internalName.replaceAll("/", ".");
  result.examinedClasses.add(javaName);
  classFile.getInnerClassNames(&result.declaredInnerClasses);

  // A support class, or an outer class that only holds probes.
  if (methodPatterns.size == 0) return;
  if ((classFile.getAccessFlags() & ACC_PUBLIC) == 0) {
    result.addClassError(javaName, YString("class must be public"));
    return;
  }
  Callbacks callbacks;
  if (!findCallbacks(classFile, javaName, discardThrownException, result, callbacks)) return;

  bool needsReturnValue = false;
  const YString required = requiredReturnType(javaName, callbacks, discardThrownException, result, needsReturnValue);
  checkPublicStatic(javaName, callbacks.onEnter, result);
  checkPublicStatic(javaName, callbacks.onReturn, result);
  checkPublicStatic(javaName, callbacks.onUncaughtException, result);
  checkPublicStatic(javaName, callbacks.onExit, result);

  const MethodInfo* returnSide = callbacks.onExit != nullptr ? callbacks.onExit : callbacks.onReturn;
  const MethodInfo* exceptionSide = callbacks.onExit != nullptr ? callbacks.onExit : callbacks.onUncaughtException;
  if (callbacks.onEnter != nullptr) {
    if (returnSide != nullptr && exceptionSide == nullptr) {
      logMessage(YString("warning: probe class ") + javaName +
                 ": onEnter() and onReturn() without onUncaughtException(); consider using onExit()");
    } else if (returnSide == nullptr && exceptionSide != nullptr) {
      logMessage(YString("warning: probe class ") + javaName +
                 ": onEnter() and onUncaughtException() without onReturn(); consider using onExit()");
    }
  }

  const bool hasInstanceOf = instanceOf.length > 0;
  std::unique_ptr<CallbackParameterList> enterParameters =
      parseCallbackParameters(javaName, callbacks.onEnter, nullptr, instanceOf, hasInstanceOf, result, false);
  std::unique_ptr<CallbackParameterList> returnParameters = parseCallbackParameters(
      javaName, returnSide, callbacks.onEnter, instanceOf, hasInstanceOf, result, discardThrownException);
  std::unique_ptr<CallbackParameterList> exceptionParameters = parseCallbackParameters(
      javaName, exceptionSide, callbacks.onEnter, instanceOf, hasInstanceOf, result, discardThrownException);
  if (instanceOf.equals("java/lang/Object")) instanceOf = YString();
  if (!result.isSuccessful()) return;

  YVector<YString> exceptions;
  collectExceptions(callbacks.onEnter, exceptions);
  collectExceptions(returnSide, exceptions);
  collectExceptions(exceptionSide, exceptions);

  if (needsReturnValue && !hasKind(returnParameters.get(), CallbackParameter::KIND_RETURN_VALUE, &required)) {
    result.addMethodError(javaName, returnSide->getName(),
                          YString("parameter with @ReturnValue annotation and matching return type is required but "
                                  "not found"));
  }
  bool usesOnEnterResult = false;
  if (callbacks.onEnter != nullptr && !callbacks.onEnter->returnsVoid()) {
    usesOnEnterResult = hasKind(returnParameters.get(), CallbackParameter::KIND_ON_ENTER_RESULT) ||
                        hasKind(exceptionParameters.get(), CallbackParameter::KIND_ON_ENTER_RESULT);
    if (!usesOnEnterResult) {
      result.addClassError(javaName, YString("onEnter()'s return value is not used; either use it via "
                                             "@OnEnterResult or make onEnter() void"));
    }
  }
  const bool usesMethodTimeMs = hasKind(returnParameters.get(), CallbackParameter::KIND_METHOD_TIME_MS) ||
                                hasKind(exceptionParameters.get(), CallbackParameter::KIND_METHOD_TIME_MS);
  if (!result.isSuccessful()) return;

  auto probe = std::make_unique<ProbeDescriptor>(
      internalName, descriptorOf(callbacks.onEnter), descriptorOf(returnSide), descriptorOf(exceptionSide),
      enterParameters.release(), returnParameters.release(), exceptionParameters.release(), usesOnEnterResult,
      usesMethodTimeMs, needsReturnValue, discardThrownException, required, instanceOf, exceptions,
      getTopProbe(internalName), callbacks.onExit != nullptr);
  probe->state = initialState;

  if (instanceOf.length > 0) probe->retransformIfInstanceOf.add(instanceOf.replaceAll("/", "."));
  for (int32_t i = 0; i < retransformIfInstanceOf.size; i++) {
    probe->retransformIfInstanceOf.add(retransformIfInstanceOf[i].trim());
  }

  bool matchesEveryClass = false;
  for (int32_t i = 0; i < methodPatterns.size; i++) {
    YString pattern = methodPatterns[i].trim();
    const bool negated = pattern.length > 0 && pattern.data[0] == '-';
    if (negated) pattern = pattern.substringFrom(1);
    MethodPatternParts parts;
    const YString error = parseMethodPattern(pattern, parts);
    if (error.length > 0) {
      result.addClassError(javaName, error);
      continue;
    }
    probe->addMethodPattern(parts.classPattern, parts.methodPattern, parts.parameterListPattern,
                            parts.returnTypePattern, parts.classAnnotationPattern, parts.methodAnnotationPattern,
                            negated);
    if (parts.classPattern.equals("*")) matchesEveryClass = true;
  }
  if (matchesEveryClass && !probe->isCpuTracingSupport && probe->retransformIfInstanceOf.size == 0) {
    logMessage(YString("warning: possible performance issue: probe class pattern is \"*\", none of @InstanceOf, "
                       "@This, @RetransformIfInstanceOf specified: ") +
               javaName);
  }
  // Also after a pattern error: the failed result then destroys it.
  result.probes.add(probe.release());
}

}  // namespace

void createProbeFromClass(const YVector<uint8_t>& bytes, int32_t initialState, ProbeCreationResult& result,
                          YString* className) {
  // Malformed bytes are fatal errors of the class-file model; for a probe class they are an invalid file.
  try {
    DataInput in(bytes);
    ClassFile classFile(in);
    if (classFile.isParseFailed()) {
      result.addError(YString("invalid class file"));
      return;
    }
    validate(classFile, initialState, result, className);
  } catch (const BZPRuntimeException&) {
    result.addError(YString("invalid class file"));
  }
}
