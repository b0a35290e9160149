#include "agent/probes/CallbackParameters.h"

#include "agent/support/FatalError.h"

namespace {

// What one callback may receive, by its name.
struct CallbackRole {
  bool isEnter = false;
  bool mayReturnValue = false;
  bool mayThrow = false;
};

CallbackRole roleOf(const YString& name) {
  CallbackRole role;
  if (name.equals("onEnter")) {
    role.isEnter = true;
  } else if (name.equals("onReturn")) {
    role.mayReturnValue = true;
  } else if (name.equals("onUncaughtException")) {
    role.mayThrow = true;
  } else if (name.equals("onExit")) {
    role.mayReturnValue = true;
    role.mayThrow = true;
  } else {
    assertionFailed("assertion failed", "CallbackParameters", __LINE__);
  }
  return role;
}

// The parameters of one callback that may appear once only.
struct SeenKinds {
  bool thisObject = false;
  bool params = false;
  bool thrown = false;
  bool onEnterResult = false;
  bool methodTimeMs = false;
};

// Checks one parameter against its callback; the first rule that fails gives the error text, null when
// the parameter is good. @This also settles the probe's instanceOf, and may report a duplicate before a
// type error of the same parameter.
class ParameterChecker {
 public:
  ParameterChecker(const YString& className, const MethodInfo& callback, const MethodInfo* onEnter,
                   YString& instanceOf, bool hasInstanceOf, ProbeCreationResult& result)
      : className(className),
        callbackName(callback.getName()),
        role(roleOf(callbackName)),
        onEnter(onEnter),
        instanceOf(instanceOf),
        hasInstanceOf(hasInstanceOf),
        result(result) {}

  void check(const CallbackParameter& parameter, int32_t position) {
    if (parameter.type.length == 0) assertionFailed("assertion failed", "CallbackParameters", __LINE__);
    const char* error = firstError(parameter, position);
    if (error != nullptr) result.addParameterError(className, callbackName, position, YString(error));
  }

  // A discarding probe must see the exception it discards.
  void checkComplete(bool discardThrownException) {
    if (role.mayThrow && discardThrownException && !seen.thrown) {
      result.addMethodError(className, callbackName,
                            YString("parameter with @ThrownException annotation is required but not found"));
    }
  }

 private:
  const char* firstError(const CallbackParameter& parameter, int32_t position) {
    const YString& type = parameter.type;
    switch (parameter.kind) {
      case CallbackParameter::KIND_NONE:
        return "parameter must be annotated";
      case CallbackParameter::KIND_SEVERAL:
        return "more than 1 callback annotation";
      default:
        break;
    }
    if (parameter.out) {
      if (parameter.kind != CallbackParameter::KIND_PARAMS) return "@Out must be used only with @Params";
      if (!role.isEnter) return "@Out must be used only in onEnter()";
    }
    switch (parameter.kind) {
      case CallbackParameter::KIND_METHOD_NAME:
      case CallbackParameter::KIND_METHOD_SIGNATURE:
      case CallbackParameter::KIND_METHOD_PARAMETER_TYPES:
        if (!type.equals("Ljava/lang/String;")) {
          return "parameters annotated with @MethodName and @MethodSignature must be of type java.lang.String";
        }
        return nullptr;
      case CallbackParameter::KIND_CLASS_REF:
        if (!type.equals("Ljava/lang/Class;")) return "parameter annotated with @ClassRef must be of type java.lang.Class";
        return nullptr;
      case CallbackParameter::KIND_THROWN_EXCEPTION:
        if (!role.mayThrow) return "@ThrownException is only allowed in onUncaughtException() and onExit()";
        if (!type.equals("Ljava/lang/Throwable;")) return "parameter annotated with @ThrownException must be java.lang.Throwable";
        if (seen.thrown) return "parameter with @ThrownException annotation already exists";
        seen.thrown = true;
        return nullptr;
      case CallbackParameter::KIND_PARAMS:
        if (!type.equals("[Ljava/lang/Object;")) return "@Params must be Object[]";
        if (seen.params) return "parameter with @Params annotation already exists";
        seen.params = true;
        return nullptr;
      case CallbackParameter::KIND_THIS:
        return checkThis(type, position);
      case CallbackParameter::KIND_ON_ENTER_RESULT:
        if (role.isEnter) return "@OnEnterResult is not allowed in onEnter()";
        if (onEnter == nullptr) return "@OnEnterResult cannot be used unless you define onEnter()";
        if (!type.equals(onEnter->getReturnType())) {
          return "type of parameter annotated with @OnEnterResult and onEnter() return type must be the same";
        }
        if (seen.onEnterResult) return "parameter with @OnEnterResult annotation already exists";
        seen.onEnterResult = true;
        return nullptr;
      case CallbackParameter::KIND_METHOD_TIME_MS:
        if (role.isEnter) return "@MethodTimeMs is not allowed in onEnter()";
        if (!type.equals("J")) return "parameter annotated with @MethodTimeMs must be long";
        if (seen.methodTimeMs) return "parameter with @MethodTimeMs annotation already exists";
        seen.methodTimeMs = true;
        return nullptr;
      case CallbackParameter::KIND_RETURN_VALUE:
        if (!role.mayReturnValue) return "@ReturnValue is only allowed in onReturn() and onExit()";
        return nullptr;
      case CallbackParameter::KIND_PARAM:
        if (parameter.index < 1) return "invalid @Param annotation: index must be 1 or greater";
        return nullptr;
      default: {
        YString message("unexpected callback parameter kind: ");
        message.appendLong(parameter.kind);
        assertionFailed(message.data, "CallbackParameters", __LINE__);
      }
    }
  }

  // The first @This of onEnter names the probe's receiver type when @InstanceOf does not; every later
  // @This must agree with it.
  const char* checkThis(const YString& type, int32_t position) {
    if (seen.thisObject) {
      result.addParameterError(className, callbackName, position,
                               YString("parameter with @This annotation already exists"));
    }
    if (type.data[0] != 'L') return "@This must be a reference type";
    const YString name = type.substring(1, type.length - 1);  // between the "L" and the ";"
    if (instanceOf.length == 0) instanceOf = name;
    if (!hasInstanceOf) {
      if (!instanceOf.equals(name)) return "parameters with @This annotation must have the same types in all callbacks";
    } else if (!name.equals("java/lang/Object")) {
      return "in probes annotated with @InstanceOf, parameters annotated with @This must be of type java.lang.Object";
    }
    seen.thisObject = true;
    return nullptr;
  }

  const YString& className;
  const YString& callbackName;
  const CallbackRole role;
  const MethodInfo* const onEnter;
  YString& instanceOf;
  const bool hasInstanceOf;
  ProbeCreationResult& result;
  SeenKinds seen;
};

}  // namespace

std::unique_ptr<CallbackParameterList> parseCallbackParameters(const YString& className, const MethodInfo* callback,
                                                               const MethodInfo* onEnter, YString& instanceOf,
                                                               bool hasInstanceOf, ProbeCreationResult& result,
                                                               bool discardThrownException) {
  if (callback == nullptr) return nullptr;
  ParameterChecker checker(className, *callback, onEnter, instanceOf, hasInstanceOf, result);
  auto parameters = std::make_unique<CallbackParameterList>();
  callback->getParameters(*parameters);
  for (int32_t i = 0; i < parameters->size; i++) checker.check((*parameters)[i], i);
  checker.checkComplete(discardThrownException);
  // Nothing of a failed registration is kept, whichever callback failed.
  if (!result.isSuccessful()) return nullptr;
  return parameters;
}
