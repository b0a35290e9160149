#include "agent/probes/ProbeCallbackBlocks.h"

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/Opcodes.h"
#include "agent/classfile/SignatureUtil.h"
#include "agent/classfile/VerificationType.h"
#include "agent/instrumentation/ByteCodeGenerator.h"
#include "agent/support/FatalError.h"

namespace {

const char* const SOURCE = "ProbeCallbackBlocks";
const char* const OBJECT_TYPE = "Ljava/lang/Object;";

[[noreturn]] void fail(int32_t line) { assertionFailed("assertion failed", SOURCE, line); }

[[noreturn]] void failWithType(const char* message, const YString& type, int32_t line) {
  fatalError((YString(message) + type).data, SOURCE, line);
}

char typeCode(const YString& type) { return type.length == 0 ? '\0' : type.data[0]; }

bool isReferenceType(const YString& type) { return typeCode(type) == 'L' || typeCode(type) == '['; }

// The opcodes of one type: the short form of slot 0, the form with a slot operand, and the rest.
struct TypeOpcodes {
  uint8_t loadShort, load, storeShort, store, zero, returnOp;
};

TypeOpcodes opcodesOf(const YString& type, const char* message) {
  switch (typeCode(type)) {
    case 'Z': case 'B': case 'C': case 'S': case 'I':
      return {OP_ILOAD_0, OP_ILOAD, OP_ISTORE_0, OP_ISTORE, OP_ICONST_0, OP_IRETURN};
    case 'J': return {OP_LLOAD_0, OP_LLOAD, OP_LSTORE_0, OP_LSTORE, OP_LCONST_0, OP_LRETURN};
    case 'F': return {OP_FLOAD_0, OP_FLOAD, OP_FSTORE_0, OP_FSTORE, OP_FCONST_0, OP_FRETURN};
    case 'D': return {OP_DLOAD_0, OP_DLOAD, OP_DSTORE_0, OP_DSTORE, OP_DCONST_0, OP_DRETURN};
    case 'L': case '[': return {OP_ALOAD_0, OP_ALOAD, OP_ASTORE_0, OP_ASTORE, OP_ACONST_NULL, OP_ARETURN};
    default: failWithType(message, type, __LINE__);
  }
}

// The wrapper's name and its unboxing method of a primitive type.
struct Wrapper {
  const char* className;
  const char* unboxName;
};

bool wrapperOf(const YString& type, Wrapper& wrapper) {
  if (type.length != 1) return false;
  switch (type.data[0]) {
    case 'Z': wrapper = {"java/lang/Boolean", "booleanValue"}; return true;
    case 'B': wrapper = {"java/lang/Byte", "byteValue"}; return true;
    case 'C': wrapper = {"java/lang/Character", "charValue"}; return true;
    case 'S': wrapper = {"java/lang/Short", "shortValue"}; return true;
    case 'I': wrapper = {"java/lang/Integer", "intValue"}; return true;
    case 'J': wrapper = {"java/lang/Long", "longValue"}; return true;
    case 'F': wrapper = {"java/lang/Float", "floatValue"}; return true;
    case 'D': wrapper = {"java/lang/Double", "doubleValue"}; return true;
    default: return false;
  }
}

int32_t methodRef(ClassFile& classFile, const char* className, const char* name, const YString& descriptor) {
  const int32_t classIndex = classFile.getOrAddClass(classFile.getOrAddUtf8(YString(className)));
  return classFile.getOrAddMethodRef(classIndex, classFile.getOrAddUtf8(YString(name)), classFile.getOrAddUtf8(descriptor));
}

const CallbackParameterList& requireParameters(const std::unique_ptr<CallbackParameterList>& list) {
  if (list == nullptr) assertionFailed("assertion failed: value is NULL", SOURCE, __LINE__);
  return *list;
}

YString returnTypeOf(const YString& descriptor) { return descriptor.substringAfterLast(')'); }

// The value of a primitive or reference local loaded as Object: boxed when primitive.
void emitLoadAsObject(CallbackBlockContext& context, ByteCodeGenerator& out, StackDepth& stack, const YString& type,
                      int32_t local) {
  emitLoadOfType(out, type, local);
  stack.push(slotsOfType(type));
  if (isPrimitiveType(type)) {
    out.emitWithIndex(OP_INVOKESTATIC, boxPrimitive(*context.classFile, type));
    stack.pop(slotsOfType(type));
    stack.push(1);
  }
}

// The value of type `from` in `local` for a parameter declared `to`, where no run-time test is needed.
void emitValueAs(CallbackBlockContext& context, ByteCodeGenerator& out, StackDepth& stack, const YString& from,
                 const YString& to, int32_t local) {
  if (to.equals(OBJECT_TYPE)) {
    emitLoadAsObject(context, out, stack, from, local);
  } else if (isPrimitiveType(from) && typeCode(to) == 'L' && to.equals((YString("L") + wrapperClassOf(from) + ";").data)) {
    emitLoadAsObject(context, out, stack, from, local);
  } else {
    emitWideningLoad(out, stack, from, to, local);
  }
}

void emitGuard(CallbackBlockContext& context, ByteCodeGenerator& out, StackDepth& stack) {
  if (context.thisLocal < 0) fail(__LINE__);
  out.emitLoadLocal(context.thisLocal);
  stack.push(1);
  out.emitWithIndex(OP_INSTANCEOF, context.instanceOfClass);
  out.emitBranch(OP_IFEQ);
  stack.pop(1);
}

void emitPop(ByteCodeGenerator& out, const YString& type) {
  const int32_t slots = slotsOfType(type);
  if (slots == 2) out.append(OP_POP2);
  if (slots == 1) out.append(OP_POP);
}

// Every argument of the list but an @Out array, in declaration order.
void emitArguments(CallbackBlockContext& context, ByteCodeGenerator& out, StackDepth& stack,
                   const CallbackParameterList& parameters, CallbackSide side, int32_t valueLocal, int32_t* outArray) {
  for (int32_t i = 0; i < parameters.size; i++) {
    const CallbackParameter& parameter = parameters[i];
    if (parameter.kind == CallbackParameter::KIND_PARAMS && parameter.out && outArray != nullptr) {
      emitParamsArray(context, out, stack);
      out.append(OP_DUP);
      stack.push(1);
      *outArray = context.code->addLocal(VerificationType(), false);
      out.emitStoreLocal(*outArray);
      stack.pop(1);
    } else {
      emitCommonArgument(context, out, stack, parameter, side, valueLocal);
    }
  }
}

void emitInvoke(ByteCodeGenerator& out, StackDepth& stack, int32_t callbackRef, int32_t argumentDepth,
                const YString& descriptor) {
  out.emitWithIndex(OP_INVOKESTATIC, callbackRef);
  stack.pop(argumentDepth);
  stack.push(slotsOfType(returnTypeOf(descriptor)));
}

bool hasParameterOfKind(const CallbackParameterList& parameters, int32_t kind) {
  for (int32_t i = 0; i < parameters.size; i++) {
    if (parameters[i].kind == kind) return true;
  }
  return false;
}

}  // namespace

int32_t slotsOfType(const YString& type) {
  switch (typeCode(type)) {
    case 'J': case 'D': return 2;
    case 'V': return 0;
    default: return 1;
  }
}

bool isPrimitiveType(const YString& type) {
  Wrapper ignored;
  return wrapperOf(type, ignored);
}

YString wrapperClassOf(const YString& type) {
  Wrapper wrapper;
  return wrapperOf(type, wrapper) ? YString(wrapper.className) : YString();
}

void emitLoadOfType(ByteCodeGenerator& out, const YString& type, int32_t local) {
  if (local < 0) fail(__LINE__);
  const TypeOpcodes opcodes = opcodesOf(type, "unexpected java type: ");
  out.emitLocalAccess(local, opcodes.loadShort, opcodes.load);
}

void emitStoreOfType(ByteCodeGenerator& out, const YString& type, int32_t local) {
  if (local < 0) fail(__LINE__);
  const TypeOpcodes opcodes = opcodesOf(type, "unexpected java type: ");
  out.emitLocalAccess(local, opcodes.storeShort, opcodes.store);
}

void emitZeroValue(ByteCodeGenerator& out, const YString& type) {
  out.append(opcodesOf(type, "unexpected java type: ").zero);
}

void emitReturnOfType(ByteCodeGenerator& out, const YString& type) {
  if (type.equals("V")) {
    out.append(OP_RETURN);
    return;
  }
  out.append(opcodesOf(type, "unexpected return type: ").returnOp);
}

int32_t boxPrimitive(ClassFile& classFile, const YString& type) {
  Wrapper wrapper;
  if (!wrapperOf(type, wrapper)) return -1;
  return methodRef(classFile, wrapper.className, "valueOf", YString("(") + type + ")L" + wrapper.className + ";");
}

int32_t unboxPrimitive(ClassFile& classFile, const YString& type) {
  Wrapper wrapper;
  if (!wrapperOf(type, wrapper)) return -1;
  return methodRef(classFile, wrapper.className, wrapper.unboxName, YString("()") + type);
}

int32_t classIndexOfType(ClassFile& classFile, const YString& type) {
  if (typeCode(type) == 'L' && type.length >= 3) {
    return classFile.getOrAddClass(classFile.getOrAddUtf8(type.substring(1, type.length - 1)));
  }
  if (typeCode(type) == '[') return classFile.getOrAddClass(classFile.getOrAddUtf8(type));
  failWithType("unexpected java type: ", type, __LINE__);
}

void emitWideningLoad(ByteCodeGenerator& out, StackDepth& stack, const YString& from, const YString& to, int32_t local) {
  const char source = typeCode(from);
  const bool intLike = from.length == 1 && (source == 'B' || source == 'C' || source == 'I' || source == 'S');
  if (from.equals(to) || (to.equals("I") && intLike)) {
    emitLoadOfType(out, from, local);
  } else if (to.equals("J") && intLike) {
    emitLoadOfType(out, from, local);
    out.append(OP_I2L);
  } else if (to.equals("D") && from.equals("F")) {
    emitLoadOfType(out, from, local);
    stack.push(1);
    out.append(OP_F2D);
    stack.pop(1);
  } else {
    emitZeroValue(out, to);
  }
  stack.push(slotsOfType(to));
}

void emitParamArgument(CallbackBlockContext& context, ByteCodeGenerator& out, StackDepth& stack,
                       const CallbackParameter& parameter) {
  const int32_t argument = parameter.index - 1;
  if (argument < 0 || argument >= context.argumentTypes.size) {
    emitZeroValue(out, parameter.type);
    stack.push(slotsOfType(parameter.type));
    return;
  }
  const YString& type = context.argumentTypes[argument];
  const int32_t local = context.argumentLocals[argument];
  if (isReferenceType(type) && isReferenceType(parameter.type) && !type.equals(parameter.type) &&
      !parameter.type.equals(OBJECT_TYPE)) {
    // Which of the two types the argument's value has is known only at run time: the prologue tested it.
    for (int32_t i = 0; i < context.guardedParameters.size; i++) {
      const GuardedParameter& guarded = context.guardedParameters[i];
      if (guarded.argument == argument && guarded.type.equals(parameter.type)) {
        out.emitLoadLocal(guarded.local);
        stack.push(1);
        return;
      }
    }
    fail(__LINE__);
  }
  emitValueAs(context, out, stack, type, parameter.type, local);
}

void emitParamsArray(CallbackBlockContext& context, ByteCodeGenerator& out, StackDepth& stack) {
  const int32_t count = context.argumentTypes.size;
  out.emitIntConstant(count);
  stack.push(1);
  out.emitWithIndex(OP_ANEWARRAY, context.classFile->getOrAddClass(context.classFile->getOrAddUtf8(YString("java/lang/Object"))));
  for (int32_t i = 0; i < count; i++) {
    out.append(OP_DUP);
    stack.push(1);
    out.emitIntConstant(i);
    stack.push(1);
    emitLoadAsObject(context, out, stack, context.argumentTypes[i], context.argumentLocals[i]);
    out.append(OP_AASTORE);
    stack.pop(3);
  }
}

void emitParamsCopyBack(CallbackBlockContext& context, ByteCodeGenerator& out, StackDepth& stack, int32_t arrayLocal) {
  if (arrayLocal < 0) fail(__LINE__);
  for (int32_t i = 0; i < context.argumentTypes.size; i++) {
    const YString& type = context.argumentTypes[i];
    out.emitLoadLocal(arrayLocal);
    stack.push(1);
    out.emitIntConstant(i);
    stack.push(1);
    out.append(OP_AALOAD);
    stack.pop(1);
    if (isPrimitiveType(type)) {
      out.emitWithIndex(OP_CHECKCAST, classIndexOfType(*context.classFile, YString("L") + wrapperClassOf(type) + ";"));
      out.emitWithIndex(OP_INVOKEVIRTUAL, unboxPrimitive(*context.classFile, type));
      stack.push(slotsOfType(type) - 1);
    } else {
      out.emitWithIndex(OP_CHECKCAST, classIndexOfType(*context.classFile, type));
    }
    // The method reads the argument's own slot; the exit side reads the copy, which must agree with it.
    const int32_t slot = context.argumentSlots[i];
    const int32_t copy = context.argumentLocals[i];
    if (copy != slot) {
      out.append(slotsOfType(type) == 2 ? OP_DUP2 : OP_DUP);
      stack.push(slotsOfType(type));
      emitStoreOfType(out, type, copy);
      stack.pop(slotsOfType(type));
    }
    emitStoreOfType(out, type, slot);
    stack.pop(slotsOfType(type));
  }
  out.append(OP_ACONST_NULL);
  out.emitStoreLocal(arrayLocal);
  stack.push(1);
  stack.pop(1);
}

void emitCommonArgument(CallbackBlockContext& context, ByteCodeGenerator& out, StackDepth& stack,
                        const CallbackParameter& parameter, CallbackSide side, int32_t valueLocal) {
  ClassFile& classFile = *context.classFile;
  switch (parameter.kind) {
    case CallbackParameter::KIND_PARAM:
      emitParamArgument(context, out, stack, parameter);
      return;
    case CallbackParameter::KIND_PARAMS:
      emitParamsArray(context, out, stack);
      return;
    case CallbackParameter::KIND_THIS:
      if (context.isStatic) {
        out.append(OP_ACONST_NULL);
      } else {
        out.emitLoadLocal(context.thisLocal);
        if (context.instanceOfClass >= 0) out.emitWithIndex(OP_CHECKCAST, context.instanceOfClass);
      }
      stack.push(1);
      return;
    case CallbackParameter::KIND_RETURN_VALUE:
      if (side == SIDE_RETURN && valueLocal >= 0 && !context.returnType.equals("V")) {
        emitValueAs(context, out, stack, context.returnType, parameter.type, valueLocal);
      } else {
        emitZeroValue(out, parameter.type);
        stack.push(slotsOfType(parameter.type));
      }
      return;
    case CallbackParameter::KIND_THROWN_EXCEPTION:
      if (side == SIDE_EXCEPTION && valueLocal >= 0) {
        out.emitLoadLocal(valueLocal);
      } else {
        out.append(OP_ACONST_NULL);
      }
      stack.push(1);
      return;
    case CallbackParameter::KIND_ON_ENTER_RESULT:
      if (context.enterResultLocal < 0) fail(__LINE__);
      emitLoadOfType(out, parameter.type, context.enterResultLocal);
      stack.push(slotsOfType(parameter.type));
      return;
    case CallbackParameter::KIND_METHOD_TIME_MS:
      if (context.startTimeLocal < 0 || context.uptimeRef < 1) fail(__LINE__);
      out.emitWithIndex(OP_INVOKESTATIC, context.uptimeRef);
      stack.push(2);
      emitLoadOfType(out, YString("J"), context.startTimeLocal);
      stack.push(2);
      out.append(OP_LSUB);
      stack.pop(2);
      return;
    case CallbackParameter::KIND_METHOD_NAME:
      out.emitLoadConstant(classFile.getOrAddString(context.methodName));
      stack.push(1);
      return;
    case CallbackParameter::KIND_METHOD_SIGNATURE:
      out.emitLoadConstant(classFile.getOrAddString(context.methodDescriptor));
      stack.push(1);
      return;
    case CallbackParameter::KIND_METHOD_PARAMETER_TYPES:
      out.emitLoadConstant(classFile.getOrAddString(methodDescriptorToParameterList(context.methodDescriptor.data)));
      stack.push(1);
      return;
    case CallbackParameter::KIND_CLASS_REF:
      // LDC of a class constant needs class-file version 49.
      if (classFile.getMajorVersion() < 49) classFile.setMajorVersion(49);
      out.emitLoadConstant(classFile.getThisClassIndex());
      stack.push(1);
      return;
    default: {
      YString message("unexpected callback parameter kind: ");
      message.appendLong(parameter.kind);
      fatalError(message.data, SOURCE, __LINE__);
    }
  }
}

void emitGuardedParameters(CallbackBlockContext& context, ByteCodeGenerator& prologue) {
  const ProbeDescriptor& probe = *context.probe;
  const CallbackParameterList* lists[] = {probe.enterParameters.get(), probe.returnParameters.get(),
                                          probe.exceptionParameters.get()};
  const int32_t first = context.guardedParameters.size;
  for (const CallbackParameterList* list : lists) {
    if (list == nullptr) continue;
    for (int32_t i = 0; i < list->size; i++) {
      const CallbackParameter& parameter = (*list)[i];
      const int32_t argument = parameter.index - 1;
      if (parameter.kind != CallbackParameter::KIND_PARAM || argument < 0 || argument >= context.argumentTypes.size) continue;
      const YString& type = context.argumentTypes[argument];
      if (!isReferenceType(type) || !isReferenceType(parameter.type) || type.equals(parameter.type) ||
          parameter.type.equals(OBJECT_TYPE)) {
        continue;
      }
      bool known = false;
      for (int32_t j = 0; j < context.guardedParameters.size; j++) {
        const GuardedParameter& guarded = context.guardedParameters[j];
        known = known || (guarded.argument == argument && guarded.type.equals(parameter.type));
      }
      if (known) continue;
      const int32_t local =
          context.code->addLocal(VerificationType::fromDescriptor(parameter.type, *context.classFile), true);
      context.guardedParameters.add(GuardedParameter{argument, parameter.type, local});
      prologue.append(OP_ACONST_NULL);
      prologue.emitStoreLocal(local);
    }
  }
  for (int32_t i = first; i < context.guardedParameters.size; i++) {
    const GuardedParameter& guarded = context.guardedParameters[i];
    const int32_t source = context.argumentLocals[guarded.argument];
    const int32_t typeClass = classIndexOfType(*context.classFile, guarded.type);
    prologue.emitLoadLocal(source);
    prologue.emitWithIndex(OP_INSTANCEOF, typeClass);
    prologue.emitBranch(OP_IFEQ);
    prologue.emitLoadLocal(source);
    prologue.emitWithIndex(OP_CHECKCAST, typeClass);
    prologue.emitStoreLocal(guarded.local);
    prologue.resolvePendingBranch();
  }
}

int32_t emitOnEnterBlock(CallbackBlockContext& context, ByteCodeGenerator& out, int32_t callbackRef) {
  const ProbeDescriptor& probe = *context.probe;
  const CallbackParameterList& parameters = requireParameters(probe.enterParameters);
  StackDepth stack;
  const bool guarded = context.instanceOfClass >= 0;
  if (guarded) {
    if (context.isStatic) fail(__LINE__);
    emitGuard(context, out, stack);
  }
  int32_t outArray = -1;
  emitArguments(context, out, stack, parameters, SIDE_ENTER, -1, &outArray);
  emitInvoke(out, stack, callbackRef, stack.current, probe.enterDescriptor);
  const YString resultType = returnTypeOf(probe.enterDescriptor);
  if (context.enterResultLocal >= 0) {
    emitStoreOfType(out, resultType, context.enterResultLocal);
  } else {
    emitPop(out, resultType);
  }
  stack.pop(slotsOfType(resultType));
  if (outArray >= 0) emitParamsCopyBack(context, out, stack, outArray);
  if (guarded) out.resolvePendingBranch();
  if (context.hasSwitch) out.alignToFour();
  return stack.peak;
}

int32_t emitReturnBlock(CallbackBlockContext& context, ByteCodeGenerator& out, int32_t callbackRef) {
  const ProbeDescriptor& probe = *context.probe;
  const CallbackParameterList& parameters = requireParameters(probe.returnParameters);
  StackDepth stack;
  const bool guarded = context.instanceOfClass >= 0;
  if (guarded) emitGuard(context, out, stack);
  const int32_t valueSlots = slotsOfType(context.returnType);
  const bool replaces = probe.requiredReturnType.length > 0;
  int32_t valueLocal = -1;
  if (valueSlots > 0 && hasParameterOfKind(parameters, CallbackParameter::KIND_RETURN_VALUE)) {
    if (!replaces) {
      out.append(valueSlots == 2 ? OP_DUP2 : OP_DUP);
      stack.push(valueSlots);
    }
    valueLocal = context.code->addLocal(VerificationType::fromDescriptor(context.returnType, *context.classFile), false);
    emitStoreOfType(out, context.returnType, valueLocal);
    stack.pop(valueSlots);
  } else if (replaces && valueSlots > 0) {
    emitPop(out, context.returnType);
    stack.pop(valueSlots);
  }
  const int32_t before = stack.current;
  emitArguments(context, out, stack, parameters, SIDE_RETURN, valueLocal, nullptr);
  emitInvoke(out, stack, callbackRef, stack.current - before, probe.returnDescriptor);
  if (guarded) out.resolvePendingBranch();
  if (context.hasSwitch) out.alignToFour();
  return stack.peak;
}

int32_t emitExceptionHandlerBlock(CallbackBlockContext& context, ByteCodeGenerator& out, int32_t callbackRef) {
  const ProbeDescriptor& probe = *context.probe;
  const CallbackParameterList& parameters = requireParameters(probe.exceptionParameters);
  StackDepth stack;
  const bool guarded = context.instanceOfClass >= 0;
  const bool discard = probe.discardThrownException;
  if (guarded) emitGuard(context, out, stack);
  int32_t exceptionLocal = -1;
  if (hasParameterOfKind(parameters, CallbackParameter::KIND_THROWN_EXCEPTION)) {
    if (!discard) {
      out.append(OP_DUP);
      stack.push(1);
    }
    exceptionLocal = context.code->addLocal(VerificationType(), false);
    out.emitStoreLocal(exceptionLocal);
    stack.pop(1);
  } else if (discard) {
    out.append(OP_POP);
    stack.pop(1);
  }
  const int32_t before = stack.current;
  emitArguments(context, out, stack, parameters, SIDE_EXCEPTION, exceptionLocal, nullptr);

  const YString resultType = returnTypeOf(probe.exceptionDescriptor);
  // A void callback that discards the exception of a method with a value returns that value's zero.
  const bool zeroResult = discard && resultType.equals("V") && !context.returnType.equals("V");
  int32_t tail = 3;  // INVOKESTATIC
  if (discard) {
    tail += (zeroResult ? 1 : 0) + 1 + (guarded ? 1 : 0);
  } else {
    tail += slotsOfType(resultType) > 0 ? 1 : 0;
    tail += 1;
  }
  // Inside a method with a switch the whole block is a multiple of 4 long, since code may follow it.
  if (context.hasSwitch) out.appendNops((4 - (out.getLength() + tail) % 4) % 4);
  emitInvoke(out, stack, callbackRef, stack.current - before, probe.exceptionDescriptor);
  if (!discard) {
    emitPop(out, resultType);
    stack.pop(slotsOfType(resultType));
    if (guarded) out.resolvePendingBranch();
    out.append(OP_ATHROW);
  } else {
    if (zeroResult) {
      emitZeroValue(out, context.returnType);
      stack.push(slotsOfType(context.returnType));
    }
    emitReturnOfType(out, zeroResult ? context.returnType : resultType);
    // An object that the instance test excludes gets its exception back, still on the stack here.
    if (guarded) {
      out.resolvePendingBranch();
      out.append(OP_ATHROW);
    }
  }
  return stack.peak;
}
