// Probe class validation on probe classes that javac compiled from tests/classfile/fixtures/probes (and
// the built-in CpuTracingSupport stand-in): the exact errors of every broken class, the descriptors of the
// good ones, the warnings, and bytes that are no class file at all. The build names the compiled fixtures'
// directory in TALLYSCOPE_PROBE_FIXTURES.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "agent/probes/CallbackParameters.h"
#include "agent/probes/ProbeCreationResult.h"
#include "agent/probes/ProbeRegistry.h"
#include "agent/probes/ProbeValidation.h"
#include "tests/classfile/CorpusFiles.h"
#include "tests/support/LogCapture.h"

namespace {

YVector<uint8_t> fixtureBytes(const std::string& className) {
  const char* directory = std::getenv("TALLYSCOPE_PROBE_FIXTURES");
  if (directory == nullptr) {
    ADD_FAILURE() << "TALLYSCOPE_PROBE_FIXTURES is not set";
    return YVector<uint8_t>();
  }
  YVector<uint8_t> bytes = readClassFile(std::string(directory) + "/" + className + ".class");
  if (bytes.size == 0) ADD_FAILURE() << "no class file " << className << " in " << directory;
  return bytes;
}

std::vector<std::string> texts(const YVector<YString>& list) {
  std::vector<std::string> out;
  for (int32_t i = 0; i < list.size; i++) out.emplace_back(list[i].data, size_t(list[i].length));
  return out;
}

std::vector<std::string> warnings(const LogCapture& log) {
  std::vector<std::string> out;
  for (const std::string& entry : log.entries()) {
    if (entry.rfind("warning: ", 0) == 0) out.push_back(entry);
  }
  return out;
}

// A registration's result. A successful one would hand its probes to the registry; here nobody takes
// them, so they are destroyed with the result (a failed result destroys its own).
struct Validation {
  ProbeCreationResult result;
  ~Validation() {
    if (result.isSuccessful()) result.probes.deleteElements();
  }

  void add(const std::string& className, int32_t initialState = 1, YString* name = nullptr) {
    createProbeFromClass(fixtureBytes(className), initialState, result, name);
  }
  std::vector<std::string> errors() const { return texts(result.errors); }
  const ProbeDescriptor& onlyProbe() const {
    EXPECT_EQ(result.probes.size, 1) << result.getErrorsText().data;
    if (result.probes.size == 0) throw std::runtime_error("no probe");
    return *result.probes[0];
  }
};

std::string classError(const std::string& probe, const std::string& text) {
  return "Error: probe class probes.invalid." + probe + ": " + text;
}
std::string methodError(const std::string& probe, const std::string& method, const std::string& text) {
  return "Error: probe class probes.invalid." + probe + ", method " + method + ": " + text;
}
std::string parameterError(const std::string& probe, const std::string& method, int number, const std::string& text) {
  return methodError(probe, method + ", parameter #" + std::to_string(number), text);
}

struct InvalidProbe {
  const char* name;
  std::vector<std::string> errors;
};

std::vector<InvalidProbe> invalidProbes() {
  const std::string unannotated = "parameter must be annotated";
  const std::string returnValueMisplaced = "@ReturnValue is only allowed in onReturn() and onExit()";
  const std::string thrownMissing = "parameter with @ThrownException annotation is required but not found";
  const std::string paramsType = "@Params must be Object[]";
  const std::string paramsTwice = "parameter with @Params annotation already exists";
  const std::string thisOfInstanceOf =
      "in probes annotated with @InstanceOf, parameters annotated with @This must be of type java.lang.Object";
  const std::string textType =
      "parameters annotated with @MethodName and @MethodSignature must be of type java.lang.String";
  const std::string notPublicStatic = "callback must be public static";
  return {
      // Class rules: the first that fails ends validation.
      {"NotPublic", {classError("NotPublic", "class must be public")}},
      {"TwoOnEnter", {classError("TwoOnEnter", "more than one method onEnter()")}},
      {"TwoOnReturn", {classError("TwoOnReturn", "more than one method onReturn()")}},
      {"TwoOnUncaughtException",
       {classError("TwoOnUncaughtException", "more than one method onUncaughtException()")}},
      {"TwoOnExit", {classError("TwoOnExit", "more than one method onExit()")}},
      {"ExtCallback",
       {classError("ExtCallback", "onUncaughtExceptionExt() callback is not supported: use @DiscardThrownException "
                                  "annotation with either onExit() or onUncaughtException()")}},
      {"NoCallbacks",
       {classError("NoCallbacks", "no callbacks found (onEnter(), onExit(), onReturn() or onUncaughtException())")}},
      {"ExitReturnThrow",
       {classError("ExitReturnThrow", "onExit() and onUncaughtException() callbacks cannot be used together")}},
      {"ExitReturn", {classError("ExitReturn", "onExit() and onReturn() callbacks cannot be used together")}},
      {"NonVoidUncaught",
       {classError("NonVoidUncaught",
                   "onUncaughtException() callback must be void unless @DiscardThrownException annotation is present")}},
      {"DiscardWithoutExceptionSide",
       {classError("DiscardWithoutExceptionSide", "@DiscardThrownException annotation can be used only when onExit() "
                                                  "or onUncaughtException() callback is present")}},
      // Rules that collect their errors before validation ends.
      {"ReturnTypesDiffer",
       {classError("ReturnTypesDiffer", "onUncaughtException() and onReturn() callback return types are different")}},
      {"NotPublicStatic",
       {methodError("NotPublicStatic", "onEnter", notPublicStatic),
        methodError("NotPublicStatic", "onReturn", notPublicStatic)}},
      {"MissingReturnValue",
       {methodError("MissingReturnValue", "onReturn",
                    "parameter with @ReturnValue annotation and matching return type is required but not found")}},
      {"UnusedEnterResult",
       {classError("UnusedEnterResult",
                   "onEnter()'s return value is not used; either use it via @OnEnterResult or make onEnter() void")}},
      {"BadPatterns",
       {classError("BadPatterns", "invalid pattern syntax, must be <class>:<method>(<params>)"),
        classError("BadPatterns", "class name pattern is invalid: 1a.B")}},
      // Parameters, each error at its 1-based position; onExit stands on both sides and reports twice.
      {"UnannotatedParameters",
       {parameterError("UnannotatedParameters", "onEnter", 1, unannotated),
        parameterError("UnannotatedParameters", "onEnter", 2, "more than 1 callback annotation")}},
      {"OutMisuse",
       {parameterError("OutMisuse", "onEnter", 2, "@Out must be used only with @Params"),
        parameterError("OutMisuse", "onReturn", 1, "@Out must be used only in onEnter()")}},
      {"TextKindTypes",
       {parameterError("TextKindTypes", "onEnter", 1, textType), parameterError("TextKindTypes", "onEnter", 2, textType),
        parameterError("TextKindTypes", "onEnter", 3, textType),
        parameterError("TextKindTypes", "onEnter", 4, "parameter annotated with @ClassRef must be of type java.lang.Class")}},
      {"ThrownInEnter",
       {parameterError("ThrownInEnter", "onEnter", 1,
                       "@ThrownException is only allowed in onUncaughtException() and onExit()")}},
      {"ThrownRules",
       {parameterError("ThrownRules", "onUncaughtException", 1,
                       "parameter annotated with @ThrownException must be java.lang.Throwable"),
        parameterError("ThrownRules", "onUncaughtException", 3,
                       "parameter with @ThrownException annotation already exists")}},
      {"ParamsRules",
       {parameterError("ParamsRules", "onExit", 1, paramsType), parameterError("ParamsRules", "onExit", 3, paramsTwice),
        parameterError("ParamsRules", "onExit", 1, paramsType), parameterError("ParamsRules", "onExit", 3, paramsTwice)}},
      {"ThisTwice",
       {parameterError("ThisTwice", "onUncaughtException", 2, "parameter with @This annotation already exists"),
        parameterError("ThisTwice", "onUncaughtException", 2, "@This must be a reference type")}},
      {"ThisMismatch",
       {parameterError("ThisMismatch", "onReturn", 1,
                       "parameters with @This annotation must have the same types in all callbacks")}},
      {"InstanceOfThis",
       {parameterError("InstanceOfThis", "onExit", 1, thisOfInstanceOf),
        parameterError("InstanceOfThis", "onExit", 1, thisOfInstanceOf)}},
      {"EnterResultInEnter",
       {parameterError("EnterResultInEnter", "onEnter", 1, "@OnEnterResult is not allowed in onEnter()")}},
      {"EnterResultWithoutEnter",
       {parameterError("EnterResultWithoutEnter", "onReturn", 1,
                       "@OnEnterResult cannot be used unless you define onEnter()")}},
      {"EnterResultRules",
       {parameterError("EnterResultRules", "onUncaughtException", 1,
                       "type of parameter annotated with @OnEnterResult and onEnter() return type must be the same"),
        parameterError("EnterResultRules", "onUncaughtException", 3,
                       "parameter with @OnEnterResult annotation already exists")}},
      {"MethodTimeRules",
       {parameterError("MethodTimeRules", "onEnter", 1, "@MethodTimeMs is not allowed in onEnter()"),
        parameterError("MethodTimeRules", "onUncaughtException", 1, "parameter annotated with @MethodTimeMs must be long"),
        parameterError("MethodTimeRules", "onUncaughtException", 3,
                       "parameter with @MethodTimeMs annotation already exists")}},
      {"ReturnValueMisplaced",
       {parameterError("ReturnValueMisplaced", "onEnter", 1, returnValueMisplaced),
        parameterError("ReturnValueMisplaced", "onUncaughtException", 1, returnValueMisplaced)}},
      {"BadParamIndex",
       {parameterError("BadParamIndex", "onEnter", 1, "invalid @Param annotation: index must be 1 or greater")}},
      {"DiscardWithoutThrown",
       {methodError("DiscardWithoutThrown", "onExit", thrownMissing),
        methodError("DiscardWithoutThrown", "onExit", thrownMissing)}},
      {"ExitParameterFault",
       {parameterError("ExitParameterFault", "onExit", 1, unannotated),
        parameterError("ExitParameterFault", "onExit", 1, unannotated)}},
      {"FaultAfterFault", {parameterError("FaultAfterFault", "onEnter", 1, unannotated)}},
  };
}

TEST(ProbeValidation, EveryBrokenProbeClassGivesExactlyItsErrors) {
  LogCapture log;
  for (const InvalidProbe& probe : invalidProbes()) {
    SCOPED_TRACE(probe.name);
    Validation validation;
    validation.add(std::string("probes/invalid/") + probe.name);
    EXPECT_EQ(validation.errors(), probe.errors);
    EXPECT_EQ(texts(validation.result.examinedClasses), std::vector<std::string>{std::string("probes.invalid.") +
                                                                                 probe.name});
  }
}

TEST(ProbeValidation, OnlyPatternErrorsLeaveABuiltProbeThatTheFailedResultDestroys) {
  LogCapture log;
  const TopProbe* owner = nullptr;
  {
    Validation validation;
    validation.add("probes/invalid/BadPatterns");
    const ProbeDescriptor& probe = validation.onlyProbe();
    owner = probe.owner;
    ASSERT_EQ(owner->descriptors.size, 1);
    EXPECT_EQ(texts(probe.classPatterns), (std::vector<std::string>{"a.B", "x.y"}));
    EXPECT_EQ(probe.negated[1], true);
  }
  EXPECT_EQ(owner->descriptors.size, 0);
  for (const char* rejected : {"probes/invalid/ReturnTypesDiffer", "probes/invalid/UnusedEnterResult"}) {
    Validation validation;
    validation.add(rejected);
    EXPECT_EQ(validation.result.probes.size, 0) << rejected;
  }
}

TEST(ProbeValidation, BytesThatAreNoClassFileAreAnInvalidClassFile) {
  LogCapture log;
  const YVector<uint8_t> whole = fixtureBytes("probes/valid/ExitProbe");
  const char garbage[] = "this is not a class file";
  const std::vector<std::pair<const char*, YVector<uint8_t>>> inputs = {
      {"empty", YVector<uint8_t>()},
      {"garbage", YVector<uint8_t>(reinterpret_cast<const uint8_t*>(garbage), int32_t(sizeof garbage))},
      {"truncated in the constant pool", YVector<uint8_t>(whole.data, 40)},
      {"truncated in the methods", YVector<uint8_t>(whole.data, whole.size - 30)},
  };
  for (const auto& [what, bytes] : inputs) {
    Validation validation;
    YString name("unchanged");
    createProbeFromClass(bytes, 1, validation.result, &name);
    EXPECT_EQ(validation.errors(), std::vector<std::string>{"Error: invalid class file"}) << what;
    EXPECT_EQ(validation.result.examinedClasses.size, 0) << what;
    EXPECT_EQ(validation.result.probes.size, 0) << what;
    EXPECT_STREQ(name.data, "unchanged") << what;
  }
}

TEST(ProbeValidation, ClassesWithoutPatternsAreExaminedAndSkippedAndInnerProbesShareTheOuterName) {
  LogCapture log;
  Validation validation;
  validation.add("probes/valid/NoPatternProbe");
  validation.add("probes/valid/Outer");
  validation.add("probes/valid/Outer$First");
  validation.add("probes/valid/Outer$Second");
  EXPECT_EQ(validation.errors(), std::vector<std::string>{});
  EXPECT_EQ(texts(validation.result.examinedClasses),
            (std::vector<std::string>{"probes.valid.NoPatternProbe", "probes.valid.Outer", "probes.valid.Outer$First",
                                      "probes.valid.Outer$Second"}));
  // In the order javac wrote the attribute's entries; the inner classes list only themselves.
  std::vector<std::string> declared = texts(validation.result.declaredInnerClasses);
  std::sort(declared.begin(), declared.end());
  EXPECT_EQ(declared, (std::vector<std::string>{"probes.valid.Outer$First", "probes.valid.Outer$Second"}));
  ASSERT_EQ(validation.result.probes.size, 2);
  const ProbeDescriptor& first = *validation.result.probes[0];
  const ProbeDescriptor& second = *validation.result.probes[1];
  EXPECT_STREQ(first.className.data, "probes/valid/Outer$First");
  EXPECT_STREQ(second.className.data, "probes/valid/Outer$Second");
  EXPECT_EQ(first.owner, second.owner);
  EXPECT_STREQ(first.owner->name.data, "probes.valid.Outer");
  EXPECT_TRUE(first.hasOnExit);
  EXPECT_STREQ(first.returnDescriptor.data, "()V");
  EXPECT_STREQ(first.exceptionDescriptor.data, "()V");
  EXPECT_FALSE(second.hasOnExit);
  EXPECT_EQ(second.exceptionParameters, nullptr);
  EXPECT_EQ(second.returnParameters->size, 0);
  EXPECT_EQ(warnings(log), std::vector<std::string>{});
}

struct Expected {
  int32_t kind;
  const char* type;
  int32_t index = -1;
  bool out = false;
};

void expectParameters(const CallbackParameterList* list, const std::vector<Expected>& expected) {
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->size, int32_t(expected.size()));
  for (size_t i = 0; i < expected.size(); i++) {
    SCOPED_TRACE(i);
    const CallbackParameter& parameter = (*list)[int32_t(i)];
    EXPECT_EQ(parameter.kind, expected[i].kind);
    EXPECT_STREQ(parameter.type.data, expected[i].type);
    if (expected[i].kind == CallbackParameter::KIND_PARAM) {
      EXPECT_EQ(parameter.index, expected[i].index);
    }
    EXPECT_EQ(parameter.out, expected[i].out);
  }
}

TEST(ProbeValidation, AnOnExitProbeCarriesEverythingTheWeaverNeeds) {
  LogCapture log;
  Validation validation;
  YString name;
  validation.add("probes/valid/ExitProbe", 0, &name);
  const ProbeDescriptor& probe = validation.onlyProbe();
  EXPECT_STREQ(name.data, "probes/valid/ExitProbe");
  EXPECT_STREQ(probe.className.data, "probes/valid/ExitProbe");
  EXPECT_EQ(probe.state, 0);
  EXPECT_STREQ(probe.owner->name.data, "probes.valid.ExitProbe");
  ASSERT_EQ(probe.owner->descriptors.size, 1);
  EXPECT_EQ(probe.owner->descriptors[0], &probe);

  // An excluding pattern and one with blanks around it.
  EXPECT_EQ(texts(probe.classPatterns), (std::vector<std::string>{"*", "x.y.*"}));
  EXPECT_EQ(texts(probe.methodPatterns), (std::vector<std::string>{"*", "get*"}));
  EXPECT_EQ(texts(probe.parameterPatterns), (std::vector<std::string>{"(*)", "(*)"}));
  EXPECT_EQ(texts(probe.returnTypePatterns), (std::vector<std::string>{"*", "*"}));
  EXPECT_EQ(texts(probe.classAnnotationPatterns), (std::vector<std::string>{"", ""}));
  ASSERT_EQ(probe.negated.size, 2);
  EXPECT_TRUE(probe.negated[0]);
  EXPECT_FALSE(probe.negated[1]);

  // The receiver type of @This, then the trimmed retransformation types.
  EXPECT_STREQ(probe.instanceOf.data, "java/util/Map");
  EXPECT_EQ(texts(probe.retransformIfInstanceOf),
            (std::vector<std::string>{"java.util.Map", "java.util.List", "java.util.Set"}));
  EXPECT_STREQ(probe.requiredReturnType.data, "Ljava/lang/Object;");
  EXPECT_TRUE(probe.needsReturnValue);
  EXPECT_TRUE(probe.usesOnEnterResult);
  EXPECT_TRUE(probe.usesMethodTimeMs);
  EXPECT_TRUE(probe.hasOnExit);
  EXPECT_TRUE(probe.discardThrownException);
  EXPECT_FALSE(probe.isCpuTracingSupport);
  EXPECT_EQ(texts(probe.callbackExceptions),
            (std::vector<std::string>{"java/io/IOException", "java/lang/IllegalStateException"}));

  EXPECT_STREQ(probe.enterDescriptor.data, "(Ljava/util/Map;[Ljava/lang/Object;ILjava/lang/String;)J");
  const char* exitDescriptor =
      "(Ljava/lang/Object;Ljava/lang/Throwable;JJLjava/util/Map;Ljava/lang/Class;Ljava/lang/String;"
      "Ljava/lang/String;)Ljava/lang/Object;";
  EXPECT_STREQ(probe.returnDescriptor.data, exitDescriptor);
  EXPECT_STREQ(probe.exceptionDescriptor.data, exitDescriptor);
  expectParameters(probe.enterParameters.get(), {{CallbackParameter::KIND_THIS, "Ljava/util/Map;"},
                                                 {CallbackParameter::KIND_PARAMS, "[Ljava/lang/Object;", -1, true},
                                                 {CallbackParameter::KIND_PARAM, "I", 2},
                                                 {CallbackParameter::KIND_METHOD_NAME, "Ljava/lang/String;"}});
  const std::vector<Expected> exit = {{CallbackParameter::KIND_RETURN_VALUE, "Ljava/lang/Object;"},
                                      {CallbackParameter::KIND_THROWN_EXCEPTION, "Ljava/lang/Throwable;"},
                                      {CallbackParameter::KIND_ON_ENTER_RESULT, "J"},
                                      {CallbackParameter::KIND_METHOD_TIME_MS, "J"},
                                      {CallbackParameter::KIND_THIS, "Ljava/util/Map;"},
                                      {CallbackParameter::KIND_CLASS_REF, "Ljava/lang/Class;"},
                                      {CallbackParameter::KIND_METHOD_SIGNATURE, "Ljava/lang/String;"},
                                      {CallbackParameter::KIND_METHOD_PARAMETER_TYPES, "Ljava/lang/String;"}};
  expectParameters(probe.returnParameters.get(), exit);
  expectParameters(probe.exceptionParameters.get(), exit);
  EXPECT_EQ(warnings(log), std::vector<std::string>{});
}

TEST(ProbeValidation, ReturnSideAndExceptionSideSettleTheRequiredReturnType) {
  LogCapture log;
  {
    Validation validation;
    validation.add("probes/valid/EnterReturnProbe");
    const ProbeDescriptor& probe = validation.onlyProbe();
    EXPECT_EQ(probe.state, 1);
    EXPECT_STREQ(probe.requiredReturnType.data, "I");
    EXPECT_TRUE(probe.needsReturnValue);
    EXPECT_FALSE(probe.usesOnEnterResult);
    EXPECT_FALSE(probe.hasOnExit);
    EXPECT_STREQ(probe.enterDescriptor.data, "(I)V");
    EXPECT_STREQ(probe.returnDescriptor.data, "(I)I");
    EXPECT_STREQ(probe.exceptionDescriptor.data, "");
    EXPECT_EQ(probe.exceptionParameters, nullptr);
    expectParameters(probe.enterParameters.get(), {{CallbackParameter::KIND_PARAM, "I", 1}});
    // Annotation patterns become type descriptors; parameter and return patterns are expanded.
    EXPECT_EQ(texts(probe.classPatterns), (std::vector<std::string>{"*", "a.B"}));
    EXPECT_EQ(texts(probe.methodPatterns), (std::vector<std::string>{"get*", "run"}));
    EXPECT_EQ(texts(probe.parameterPatterns), (std::vector<std::string>{"(int, java.lang.String)", "()"}));
    EXPECT_EQ(texts(probe.returnTypePatterns), (std::vector<std::string>{"java.lang.String", "*"}));
    EXPECT_EQ(texts(probe.classAnnotationPatterns), (std::vector<std::string>{"Ljavax/ejb/Stateless;", ""}));
    EXPECT_EQ(texts(probe.methodAnnotationPatterns), (std::vector<std::string>{"Ljava/lang/Deprecated;", ""}));
  }
  {
    Validation validation;
    validation.add("probes/valid/DiscardingProbe");
    const ProbeDescriptor& probe = validation.onlyProbe();
    EXPECT_STREQ(probe.requiredReturnType.data, "Ljava/lang/Object;");
    EXPECT_FALSE(probe.needsReturnValue);
    EXPECT_TRUE(probe.discardThrownException);
    EXPECT_TRUE(probe.usesMethodTimeMs);
    EXPECT_STREQ(probe.returnDescriptor.data, "(J)V");
    EXPECT_STREQ(probe.exceptionDescriptor.data, "(Ljava/lang/Throwable;)Ljava/lang/Object;");
  }
  {
    Validation validation;
    validation.add("probes/valid/EnterThrowProbe");
    const ProbeDescriptor& probe = validation.onlyProbe();
    EXPECT_STREQ(probe.requiredReturnType.data, "");
    EXPECT_FALSE(probe.needsReturnValue);
    EXPECT_EQ(probe.returnParameters, nullptr);
    EXPECT_STREQ(probe.returnDescriptor.data, "");
    expectParameters(probe.exceptionParameters.get(),
                     {{CallbackParameter::KIND_THROWN_EXCEPTION, "Ljava/lang/Throwable;"}});
  }
}

TEST(ProbeValidation, InstanceOfNamesTheReceiverTypeUnlessItIsObject) {
  LogCapture log;
  Validation validation;
  validation.add("probes/valid/InstanceOfProbe");
  validation.add("probes/valid/ObjectInstanceOfProbe");
  ASSERT_EQ(validation.result.probes.size, 2) << validation.result.getErrorsText().data;
  const ProbeDescriptor& list = *validation.result.probes[0];
  EXPECT_STREQ(list.instanceOf.data, "java/util/List");
  EXPECT_EQ(texts(list.retransformIfInstanceOf), std::vector<std::string>{"java.util.List"});
  expectParameters(list.returnParameters.get(), {{CallbackParameter::KIND_THIS, "Ljava/lang/Object;"},
                                                 {CallbackParameter::KIND_PARAMS, "[Ljava/lang/Object;"}});
  const ProbeDescriptor& object = *validation.result.probes[1];
  EXPECT_STREQ(object.instanceOf.data, "");
  EXPECT_EQ(object.retransformIfInstanceOf.size, 0);
}

TEST(ProbeValidation, WarningsPointAtOnExitAndAtProbesOfEveryClass) {
  const std::string everyClass =
      "warning: possible performance issue: probe class pattern is \"*\", none of @InstanceOf, @This, "
      "@RetransformIfInstanceOf specified: ";
  const std::vector<std::pair<const char*, std::vector<std::string>>> cases = {
      {"probes/valid/EnterReturnProbe",
       {"warning: probe class probes.valid.EnterReturnProbe: onEnter() and onReturn() without "
        "onUncaughtException(); consider using onExit()",
        everyClass + "probes.valid.EnterReturnProbe"}},
      {"probes/valid/EnterThrowProbe",
       {"warning: probe class probes.valid.EnterThrowProbe: onEnter() and onUncaughtException() without "
        "onReturn(); consider using onExit()"}},
      {"probes/valid/ObjectInstanceOfProbe", {everyClass + "probes.valid.ObjectInstanceOfProbe"}},
      // The excluding "*" pattern has retransformation types; CPU tracing support observes every class.
      {"probes/valid/ExitProbe", {}},
      {"com/brantel/probes/builtin/CpuTracingSupport", {}},
  };
  for (const auto& [fixture, expected] : cases) {
    LogCapture log;
    Validation validation;
    validation.add(fixture);
    EXPECT_EQ(validation.result.probes.size, 1) << fixture;
    EXPECT_EQ(warnings(log), expected) << fixture;
  }
}

TEST(ProbeValidation, CpuTracingSupportIsRecognisedByItsName) {
  LogCapture log;
  Validation validation;
  validation.add("com/brantel/probes/builtin/CpuTracingSupport");
  EXPECT_TRUE(validation.onlyProbe().isCpuTracingSupport);
}

// The callbacks of one compiled fixture class.
class ParsedClass {
 public:
  explicit ParsedClass(const std::string& className) : bytes(fixtureBytes(className)), in(bytes), classFile(in) {}
  const MethodInfo* method(const char* name) const {
    bool several = false;
    return classFile.findMethodByName(YString(name), &several);
  }

 private:
  YVector<uint8_t> bytes;
  DataInput in;
  ClassFile classFile;
};

TEST(CallbackParameters, AListComesOnlyFromAResultWithoutErrors) {
  LogCapture log;
  const ParsedClass probe("probes/valid/ExitProbe");
  const YString className("probes.valid.ExitProbe");
  YString instanceOf;
  {
    ProbeCreationResult result;
    EXPECT_EQ(parseCallbackParameters(className, nullptr, nullptr, instanceOf, false, result, false), nullptr);
    const auto enter = parseCallbackParameters(className, probe.method("onEnter"), nullptr, instanceOf, false,
                                               result, false);
    ASSERT_NE(enter, nullptr);
    EXPECT_EQ(enter->size, 4);
    EXPECT_STREQ(instanceOf.data, "java/util/Map");
  }
  {
    // A correct callback after an earlier failure still gives nothing.
    ProbeCreationResult result;
    result.addError(YString("earlier"));
    EXPECT_EQ(parseCallbackParameters(className, probe.method("onExit"), probe.method("onEnter"), instanceOf, false,
                                      result, true),
              nullptr);
    EXPECT_EQ(result.errors.size, 1);
  }
}

}  // namespace
