#include "agent/probes/ProbeWeaver.h"

#include <memory>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/LocalVariableTableAttribute.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/classfile/Opcodes.h"
#include "agent/classfile/SignatureUtil.h"
#include "agent/classfile/SwitchDetector.h"
#include "agent/classfile/VerificationType.h"
#include "agent/core/Options.h"
#include "agent/db/DB.h"
#include "agent/instrumentation/ByteCodeGenerator.h"
#include "agent/instrumentation/ClassInstrumenter.h"
#include "agent/instrumentation/GeneratedNames.h"
#include "agent/probes/ProbeCallbackBlocks.h"
#include "agent/probes/ProbeCodeScans.h"
#include "agent/probes/ProbeEligibility.h"
#include "agent/recording/MethodStore.h"
#include "agent/support/ClassNameSet.h"
#include "agent/support/CommonUtils.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"

namespace {

const char* const SOURCE = "ProbeWeaver";
constexpr int64_t CODE_LENGTH_LIMIT = 0x10000;
// Below this length no 16-bit branch offset can overflow, whatever moves.
constexpr int64_t SHORT_BRANCH_LIMIT = 0x8000;
const char* const BUILTIN_PREFIX = "com.brantel.probes.builtin";

[[noreturn]] void fail(int32_t line) { assertionFailed("assertion failed", SOURCE, line); }

bool forceSaveParams() {
  static const bool on = globalOptions().hasOption("_force_save_params");
  return on;
}

YString dotted(const YString& slashName) { return slashName.replaceAll("/", "."); }

// Built-in probes show from the "." after their package: ".CpuTracingSupport".
YString probeDisplayName(const ProbeDescriptor& probe) {
  const YString name = dotted(probe.className);
  const YString prefix(BUILTIN_PREFIX);
  return name.startsWith(prefix) ? name.substringFrom(prefix.length) : name;
}

void reportNotInstrumented(const YString& className, const YString& methodName, const YString& parameters,
                           const ProbeDescriptor& probe, const char* reason) {
  logMessage(YString("Warning: ") + className + "." + methodName + parameters + " was not instrumented by probe " +
             probeDisplayName(probe) + ": " + reason);
}

void reportTooLong(const ClassFile& classFile, const MethodInfo& method, const ProbeDescriptor& probe,
                   const char* reason) {
  reportNotInstrumented(dotted(classFile.getThisClassName()), method.getName(),
                        methodDescriptorToParameterList(method.getDescriptor().data), probe, reason);
}

void logOnce(ClassFile& classFile, const YString& text) {
  if (addClassName(classFile.getLoggedTexts(), text)) logMessage(text);
}

bool isReference(const YString& type) { return type.length > 0 && (type.data[0] == 'L' || type.data[0] == '['); }

// A @ReturnValue of a reference type that is neither the method's nor Object receives null, since which
// type a returned object has is known only at run time. Said once per class and method, so that the
// probe's author learns why the callback sees null.
void warnNullReturnValues(ClassFile& classFile, const ProbeDescriptor& probe, const YString& className,
                          const YString& method, const YString& parameters, const YString& returnType) {
  const CallbackParameterList* list = probe.returnParameters.get();
  if (list == nullptr || !isReference(returnType)) return;
  for (int32_t i = 0; i < list->size; i++) {
    const CallbackParameter& parameter = (*list)[i];
    if (parameter.kind != CallbackParameter::KIND_RETURN_VALUE || !isReference(parameter.type) ||
        parameter.type.equals(returnType) || parameter.type.equals("Ljava/lang/Object;")) {
      continue;
    }
    logOnce(classFile, YString("warning: @ReturnValue of type ") + descriptorToJavaTypeName(parameter.type.data) +
                           " receives null in " + className + "." + method + parameters + ", which returns " +
                           descriptorToJavaTypeName(returnType.data) + " (probe " + dotted(probe.className) + ")");
  }
}

bool hasKind(const std::unique_ptr<CallbackParameterList>& list, int32_t kind, bool outOnly) {
  if (list == nullptr) return false;
  for (int32_t i = 0; i < list->size; i++) {
    if ((*list)[i].kind == kind && (!outOnly || (*list)[i].out)) return true;
  }
  return false;
}

bool patternMatches(const ProbeDescriptor& probe, int32_t i, const MethodInfo& method, const YString& parameters,
                    const YString& returnTypeName) {
  if (i < 0 || i >= probe.patternCount()) return false;
  return matchesWildcardStrings(probe.methodPatterns[i], method.getName()) &&
         matchesWildcardStrings(probe.parameterPatterns[i], parameters) &&
         matchesWildcardStrings(probe.returnTypePatterns[i], returnTypeName) &&
         method.hasAnnotationMatching(probe.methodAnnotationPatterns[i]);
}

bool anyPatternMatches(const ProbeDescriptor& probe, const YVector<int32_t>& numbers, const MethodInfo& method,
                       const YString& parameters, const YString& returnTypeName) {
  for (int32_t i = 0; i < numbers.size; i++) {
    if (patternMatches(probe, numbers[i], method, parameters, returnTypeName)) return true;
  }
  return false;
}

void addUnique(YVector<int32_t>& values, int32_t value) {
  if (!isStoredSlot(values, value)) values.add(value);
}

// The constant-pool entries of one call, each added when first needed.
struct ProbeReferences {
  int32_t probeClass = -1;
  int32_t enterRef = -1;
  int32_t returnRef = -1;
  int32_t exceptionRef = -1;
  int32_t uptimeRef = -1;
  int32_t instanceOfClass = -1;
};

int32_t callbackRef(ClassFile& classFile, int32_t probeClass, const char* name, const YString& descriptor) {
  return classFile.getOrAddMethodRef(probeClass, classFile.getOrAddUtf8(YString(name)), classFile.getOrAddUtf8(descriptor));
}

void addReferences(ClassFile& classFile, const ProbeDescriptor& probe, bool runtimeTest, ProbeReferences& refs) {
  if (refs.probeClass < 0) refs.probeClass = classFile.getOrAddClass(classFile.getOrAddUtf8(probe.className));
  if (probe.enterParameters != nullptr && refs.enterRef < 0) {
    refs.enterRef = callbackRef(classFile, refs.probeClass, "onEnter", probe.enterDescriptor);
  }
  if (probe.returnParameters != nullptr && refs.returnRef < 0) {
    refs.returnRef = callbackRef(classFile, refs.probeClass, probe.hasOnExit ? "onExit" : "onReturn", probe.returnDescriptor);
  }
  if (probe.exceptionParameters != nullptr && refs.exceptionRef < 0) {
    refs.exceptionRef = callbackRef(classFile, refs.probeClass, probe.hasOnExit ? "onExit" : "onUncaughtException",
                                    probe.exceptionDescriptor);
  }
  if (probe.usesMethodTimeMs && refs.uptimeRef < 0) {
    const int32_t callback = classFile.getOrAddClass(classFile.getOrAddUtf8(YString("com/brantel/runtime/Callback")));
    refs.uptimeRef = callbackRef(classFile, callback, "getUptimeMs", YString("()J"));
  }
  if (runtimeTest && refs.instanceOfClass < 0) {
    refs.instanceOfClass = classFile.getOrAddClass(classFile.getOrAddUtf8(probe.instanceOf));
  }
}

// What weaveMethodBody needs besides the method.
struct WeaveInput {
  const ProbeDescriptor* probe;
  const ProbeReferences* refs;
  bool runtimeTest;
  int32_t constructorCallEnd;  // -1 outside constructors
  int32_t cutOffset;           // where the onEnter block goes: 0 or the constructor-call end
  YString enterReturnType;     // "V" without onEnter
  YString className;           // dotted
};

void fillContext(CallbackBlockContext& context, ClassFile& classFile, MethodInfo& method, const WeaveInput& input) {
  context.classFile = &classFile;
  context.code = method.getCodeAttribute();
  context.probe = input.probe;
  context.methodName = method.getName();
  context.methodDescriptor = method.getDescriptor();
  context.returnType = method.getReturnType();
  context.isStatic = method.isStatic();
  method.getArgumentTypes(context.argumentTypes);
  int32_t slot = context.isStatic ? 0 : 1;
  for (int32_t i = 0; i < context.argumentTypes.size; i++) {
    context.argumentSlots.add(slot);
    slot += slotsOfType(context.argumentTypes[i]);
  }
  context.instanceOfClass = input.runtimeTest ? input.refs->instanceOfClass : -1;
  context.uptimeRef = input.refs->uptimeRef;
  context.enterReturnType = input.enterReturnType;
  context.hasSwitch = detectSwitches(context.code->getCode(), context.code->getCodeLength());
}

// The arguments and `this` that the method never stores into hold their entry types everywhere; the
// frames may have lost them where the compiler thought them dead, and the blocks read them there.
void restoreUnmodifiedArguments(CallbackBlockContext& context, const YVector<int32_t>& stored,
                                const WeaveInput& input) {
  CodeAttribute& code = *context.code;
  YVector<int32_t>& preserved = code.getPreservedLocals();
  const int32_t first = context.isStatic ? 0 : 1;
  if (!context.isStatic && !isStoredSlot(stored, 0)) addUnique(preserved, 0);
  for (int32_t i = 0; i < context.argumentTypes.size; i++) {
    if (!isArgumentStored(stored, context.argumentSlots[i], context.argumentTypes[i])) addUnique(preserved, first + i);
  }
  if (code.fillFrameLocals(input.constructorCallEnd) && logBci()) {
    logMessage(YString("smt_restore applied: ") + input.className + " " + context.methodName +
               methodDescriptorToParameterList(context.methodDescriptor.data));
  }
}

// `length` old positions moved for the final layout: the prologue before everything, the onEnter block
// at the cut (when inside the code), the handler block at `handlerAt` (when inside the code).
YVector<int32_t> finalPositions(int32_t length, int32_t prologue, int32_t cut, int32_t enter, int32_t handlerAt,
                                int32_t handler) {
  YVector<int32_t> map(length + 1);
  for (int32_t i = 0; i < length; i++) {
    map.add(i + prologue + (i >= cut ? enter : 0) + (i >= handlerAt && handlerAt < length ? handler : 0));
  }
  return map;
}

bool weaveMethodBody(ClassFile& classFile, MethodInfo* method, const WeaveInput& input) {
  if (method == nullptr) assertionFailed("assertion failed: value is NULL", SOURCE, __LINE__);
  CodeAttribute* code = method->getCodeAttribute();
  if (code == nullptr) assertionFailed("assertion failed: value is NULL", SOURCE, __LINE__);
  const ProbeDescriptor& probe = *input.probe;
  const int32_t length = code->getCodeLength();
  const bool isConstructor = input.constructorCallEnd >= 0;

  CallbackBlockContext context;
  fillContext(context, classFile, *method, input);
  YVector<int32_t> stored;
  collectStoredLocals(*code, stored);
  if (forceSaveParams()) {
    for (int32_t slot = 0; slot < 20; slot++) addUnique(stored, slot);
  }
  restoreUnmodifiedArguments(context, stored, input);

  if (probe.usesOnEnterResult && !input.enterReturnType.equals("V")) {
    context.enterResultLocal = code->addLocal(VerificationType::fromDescriptor(input.enterReturnType, classFile), true);
  }
  if (probe.usesMethodTimeMs) context.startTimeLocal = code->addLocal(VerificationType(ITEM_Long, -1), true);

  // The prologue: copies, then definite values for the new locals, then the tested @Param values.
  ByteCodeGenerator prologue;
  emitParameterCopies(context, prologue, stored, isConstructor);
  if (context.startTimeLocal >= 0) {
    emitZeroValue(prologue, YString("J"));
    emitStoreOfType(prologue, YString("J"), context.startTimeLocal);
  }
  if (context.enterResultLocal >= 0) {
    emitZeroValue(prologue, input.enterReturnType);
    emitStoreOfType(prologue, input.enterReturnType, context.enterResultLocal);
  }
  emitGuardedParameters(context, prologue);
  if (context.hasSwitch) prologue.alignToFour();

  ByteCodeGenerator enter;
  int32_t enterStack = 0;
  if (probe.enterParameters != nullptr) enterStack = emitOnEnterBlock(context, enter, input.refs->enterRef);
  if (context.startTimeLocal >= 0) {
    // After onEnter, so that the measured time leaves it out.
    enter.emitWithIndex(OP_INVOKESTATIC, context.uptimeRef);
    emitStoreOfType(enter, YString("J"), context.startTimeLocal);
    if (enterStack < 2) enterStack = 2;
  }
  if (context.hasSwitch) enter.alignToFour();

  ByteCodeGenerator handler;
  int32_t handlerStack = 0;
  const bool withHandler = probe.exceptionParameters != nullptr;
  if (withHandler) handlerStack = emitExceptionHandlerBlock(context, handler, input.refs->exceptionRef);

  const int32_t otherLength = prologue.getLength() + enter.getLength() + handler.getLength();
  if (int64_t(length) + otherLength >= CODE_LENGTH_LIMIT) {
    reportTooLong(classFile, *method, probe, "resulting bytecode is too long (A)");
    code->releaseAddedLocals();
    return false;
  }

  ByteCodeGenerator returnBlock;
  int32_t returnStack = 0;
  int32_t returnCount = 0;
  if (probe.returnParameters != nullptr) {
    returnStack = emitReturnBlock(context, returnBlock, input.refs->returnRef);
    for (int32_t i = 0; i < length; i++) {
      // An estimate over the raw bytes is enough for the bound below.
      const uint8_t opcode = code->getCode()[i];
      if (opcode >= OP_IRETURN && opcode <= OP_RETURN) returnCount++;
    }
  }
  // Blocks inserted inside a constructor's code move branches that jump across them. Only a layout past
  // 32 KB could make such a branch overflow; that rare method is refused before anything changes.
  const int32_t coveringEnd = isConstructor && withHandler ? code->getCoveringHandlerEnd(input.constructorCallEnd) : length;
  const bool crossing = (input.cutOffset > 0 && branchCrosses(code->getCode(), length, input.cutOffset)) ||
                        (coveringEnd < length && branchCrosses(code->getCode(), length, coveringEnd));
  if (crossing && int64_t(length) + otherLength + int64_t(returnCount) * returnBlock.getLength() >= SHORT_BRANCH_LIMIT) {
    reportTooLong(classFile, *method, probe, "resulting bytecode is too long (B)");
    code->releaseAddedLocals();
    return false;
  }
  if (probe.returnParameters != nullptr) {
    if (!insertReturnBlocks(classFile, *code, returnBlock, input.constructorCallEnd, otherLength, context.returnType)) {
      reportTooLong(classFile, *method, probe, "resulting bytecode is too long (B)");
      code->releaseAddedLocals();
      return false;
    }
    code->increaseMaxStack(returnStack);
  }

  // The layout: prologue, code before the cut, onEnter block, code up to the catch-all range's end,
  // handler block, the rest of the code.
  const int32_t bodyLength = code->getCodeLength();
  const int32_t callEnd = isConstructor ? findConstructorCallEnd(classFile, *code, nullptr) : -1;
  if (isConstructor && callEnd < 0) fail(__LINE__);
  const int32_t cut = input.cutOffset > 0 ? callEnd : 0;
  const int32_t rangeStart = isConstructor ? callEnd : 0;
  const int32_t rangeEnd = isConstructor ? code->getCoveringHandlerEnd(callEnd) : bodyLength;
  const int32_t handlerAt = withHandler ? rangeEnd : bodyLength;
  const int32_t prologueLength = prologue.getLength();
  const int32_t enterLength = enter.getLength();
  const int32_t handlerLength = handler.getLength();

  YVector<uint8_t> body;
  body.addRange(code->getCode(), bodyLength);
  const YVector<int32_t> map = finalPositions(bodyLength, prologueLength, cut, enterLength, handlerAt, handlerLength);
  if ((cut > 0 || handlerAt < bodyLength) && !relocateBranches(body.data, bodyLength, map.data)) fail(__LINE__);

  const int32_t finalLength = bodyLength + otherLength;
  std::unique_ptr<uint8_t[]> finalCode(new uint8_t[size_t(finalLength)]);
  int32_t position = 0;
  const auto put = [&](const uint8_t* bytes, int32_t count) {
    for (int32_t i = 0; i < count; i++) finalCode[position + i] = bytes[i];
    position += count;
  };
  prologue.copyCode(finalCode.get());
  position = prologueLength;
  put(body.data, cut);
  enter.copyCode(finalCode.get() + position);
  position += enterLength;
  put(body.data + cut, handlerAt - cut);
  handler.copyCode(finalCode.get() + position);
  position += handlerLength;
  put(body.data + handlerAt, bodyLength - handlerAt);
  if (position != finalLength) fail(__LINE__);

  // Tables and frames follow, innermost insertion first: the handler, the onEnter block, the prologue.
  const VerificationType throwable(ITEM_Object, classFile.getOrAddClass(classFile.getOrAddUtf8(YString("java/lang/Throwable"))));
  if (withHandler) {
    if (handlerAt < bodyLength) code->shiftOffsets(handlerLength, handlerAt);
    code->addExceptionHandler(rangeStart, rangeEnd, handlerAt, throwable);
    code->insertFramesForCode(handler.getBranchTargets(), handlerAt, throwable, -1, true, nullptr);
  }
  const int32_t initBeforeShift = isConstructor ? (cut > 0 ? callEnd - 1 : callEnd + enterLength - 1) : -1;
  if (enterLength > 0) {
    code->shiftOffsets(enterLength, cut);
    code->insertFramesForCode(enter.getBranchTargets(), cut, VerificationType(), initBeforeShift, cut > 0, nullptr);
  }
  if (prologueLength > 0) {
    code->shiftOffsets(prologueLength, 0);
    code->insertFramesForCode(prologue.getBranchTargets(), 0, VerificationType(), -1, false, nullptr);
  }
  code->setCode(finalCode.get(), finalLength);
  LocalVariableEntries* tables[] = {code->getLocalVariableTable(), code->getLocalVariableTypeTable()};
  for (LocalVariableEntries* table : tables) {
    if (table == nullptr) continue;
    if (cut > 0 || handlerAt < bodyLength) {
      remapLocalVariables(table->getEntries(), map.data, bodyLength, finalLength);
    } else {
      shiftLocalVariables(table->getEntries(), prologueLength + enterLength);
    }
  }
  code->addLocalsToFrames(0, isConstructor ? initBeforeShift + prologueLength : -1);

  code->ensureMaxStack(2);  // the prologue's copies and zero values
  if (cut == 0) {
    code->ensureMaxStack(enterStack);
  } else {
    code->increaseMaxStack(enterStack);
  }
  code->ensureMaxStack(1 + handlerStack);
  return true;
}

}  // namespace

bool instrumentMethodWithProbe(ClassFile& classFile, const ProbeDescriptor& probe, const YVector<int32_t>& included,
                               const YVector<int32_t>& excluded) {
  const YString& instanceOf = probe.instanceOf;
  const YString* superName = classFile.getSuperClassName();
  bool runtimeTest = false;
  if (instanceOf.length > 0) {
    if (superName == nullptr) return false;
    if (!classFile.getThisClassName().equals(instanceOf) && !superName->equals(instanceOf) &&
        !classFile.implementsInterface(instanceOf)) {
      // A direct subclass of Object is a Thread only by being Thread, and an instance of an interface it
      // does not list only through one of its interfaces.
      if (superName->equals("java/lang/Object") && (instanceOf.equals("java/lang/Thread") || !classFile.hasInterfaces())) {
        return false;
      }
      runtimeTest = true;
    }
  }

  const YString className = dotted(classFile.getThisClassName());
  ProbeReferences refs;
  bool woven = false;
  YVector<MethodInfo*>& methods = classFile.getMethods();
  for (int32_t m = 0; m < methods.size; m++) {
    MethodInfo* method = methods[m];
    if (method == nullptr) assertionFailed("assertion failed: value is NULL", SOURCE, __LINE__);
    CodeAttribute* code = method->getCodeAttribute();
    if (code == nullptr) continue;
    const YString returnType = method->getReturnType();
    if (probe.requiredReturnType.length > 0 && !probe.requiredReturnType.equals(returnType)) continue;
    if (instanceOf.length > 0 && method->isStatic()) continue;
    const YString& name = method->getName();
    if (superName == nullptr && (name.equals("<init>") || name.equals("<clinit>") || name.equals("finalize"))) continue;
    if (probe.isCpuTracingSupport && isShortMethod(*method, nullptr)) continue;
    const YString parameters = methodDescriptorToParameterList(method->getDescriptor().data);
    const YString returnTypeName = descriptorToJavaTypeName(returnType.data);
    if (anyPatternMatches(probe, excluded, *method, parameters, returnTypeName)) continue;
    if (bciFilterList().matchesMethod(className.data, name.data, parameters.data)) {
      logOnce(classFile, YString("bci: skip 'bci_filter': ") + className + "." + name + parameters);
      continue;
    }
    if (!anyPatternMatches(probe, included, *method, parameters, returnTypeName)) continue;

    if (probe.callbackExceptions.size > 0) {
      YVector<YString> declared;
      method->getExceptionClassNames(&declared);
      bool allDeclared = true;
      for (int32_t i = 0; i < probe.callbackExceptions.size && allDeclared; i++) {
        allDeclared = declared.indexOf(probe.callbackExceptions[i]) >= 0;
      }
      if (!allDeclared) {
        reportNotInstrumented(className, name, parameters, probe, "callbacks throw exceptions non-thrown in the method");
        continue;
      }
    }
    // The scans below read operands wherever an opcode says there are some.
    if (!isWalkableCode(code->getCode(), code->getCodeLength())) {
      reportNotInstrumented(className, name, parameters, probe, "malformed bytecode");
      continue;
    }

    int32_t constructorCallEnd = -1;
    int32_t cutOffset = 0;
    if (name.equals("<init>")) {
      constructorCallEnd = findConstructorCallEnd(classFile, *code, nullptr);
      if (constructorCallEnd < 0) {
        logMessage(YString("warning: no 'super' or 'this' call in a constructor: ") + className + ".<init>" + parameters);
        continue;
      }
      const bool takesThis = hasKind(probe.enterParameters, CallbackParameter::KIND_THIS, false) ||
                             hasKind(probe.exceptionParameters, CallbackParameter::KIND_THIS, false);
      if (instanceOf.length > 0 || takesThis) cutOffset = constructorCallEnd;
      if (probe.enterParameters != nullptr) {
        if (runtimeTest) {
          reportNotInstrumented(className, name, parameters, probe, "unsupported bytecode and probe combination (1)");
          continue;
        }
        if (cutOffset >= 1 && hasKind(probe.enterParameters, CallbackParameter::KIND_PARAMS, true)) {
          reportNotInstrumented(className, name, parameters, probe, "unsupported bytecode and probe combination (2)");
          continue;
        }
      }
    }
    if (method->isSyntheticBridge()) {
      if (logBci()) {
        logOnce(classFile, YString("bci: skip probe for synthetic: ") + className + "." + name + parameters + " " +
                               returnTypeName);
      }
      continue;
    }

    warnNullReturnValues(classFile, probe, className, name, parameters, returnType);
    addReferences(classFile, probe, runtimeTest, refs);
    WeaveInput input{&probe, &refs, runtimeTest, constructorCallEnd, cutOffset,
                     probe.enterParameters != nullptr ? probe.enterDescriptor.substringAfterLast(')') : YString("V"),
                     className};
    if (!weaveMethodBody(classFile, method, input)) continue;
    woven = true;

    if (db == nullptr) fatalError("db is NULL", SOURCE, __LINE__);
    const int32_t methodId = getOrCreateMethod(className.data, name.data, parameters.data, returnTypeName.data,
                                               classFile.getSourceFileName().data, method->isNative());
    setMethodFlags(methodId, methodProbeInstrumented);
    if (logBci() && !probe.isCpuTracingSupport) {
      const MethodInfo* wrapper = classFile.findMethod(YString(generatedNameMarker) + name, method->getDescriptor());
      const bool wrapped = wrapper != nullptr && wrapper->isNative();
      logMessage(YString("instrumented by probe: ") + probeDisplayName(probe) + " -> " + (wrapped ? "(native) " : "") +
                 className + " " + name + parameters + " " + returnTypeName);
    }
  }
  return woven;
}
