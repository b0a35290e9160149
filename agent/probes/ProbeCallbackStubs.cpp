#include "agent/probes/ProbeCallbackStubs.h"

#include <memory>

#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/classfile/Opcodes.h"
#include "agent/classfile/VerificationType.h"
#include "agent/instrumentation/ByteCodeGenerator.h"
#include "agent/probes/ProbeCallbackBlocks.h"
#include "agent/probes/ProbeCodeScans.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"

namespace {

const char* const SOURCE = "ProbeCallbackStubs";

[[noreturn]] void fail(int32_t line) { assertionFailed("assertion failed", SOURCE, line); }

// The first local slot of the first parameter of `kind` (and of `type`, when given) of a static
// callback, -1 when the list has none.
int32_t parameterSlot(const CallbackParameterList* parameters, int32_t kind, const YString* type) {
  if (parameters == nullptr) return -1;
  int32_t slot = 0;
  for (int32_t i = 0; i < parameters->size; i++) {
    const CallbackParameter& parameter = (*parameters)[i];
    if (parameter.kind == kind && (type == nullptr || parameter.type.equals(*type))) return slot;
    slot += slotsOfType(parameter.type);
  }
  return -1;
}

// A neutral value of onEnter's type: -1 for the integral types (not their zero), zero for char and
// boolean, null for references.
void emitEnterStub(ByteCodeGenerator& out, StackDepth& stack, const YString& returnType) {
  switch (returnType.length == 0 ? '\0' : returnType.data[0]) {
    case 'B': case 'S': case 'I': out.append(OP_ICONST_M1); break;
    case 'J': out.append(OP_ICONST_M1); out.append(OP_I2L); break;
    case 'C': case 'Z': out.append(OP_ICONST_0); break;
    case 'F': out.append(OP_FCONST_0); break;
    case 'D': out.append(OP_DCONST_0); break;
    case 'L': case '[': out.append(OP_ACONST_NULL); break;
    case 'V': break;
    default: fatalError((YString("unexpected java type: ") + returnType).data, SOURCE, __LINE__);
  }
  stack.push(slotsOfType(returnType));
  emitReturnOfType(out, returnType);
}

// Loads the @ReturnValue of the return type from `parameters` and returns it: the woven method returns
// its own value.
void emitReturnOfOwnValue(ByteCodeGenerator& out, StackDepth& stack, const CallbackParameterList* parameters,
                          const YString& returnType) {
  const int32_t slot = parameterSlot(parameters, CallbackParameter::KIND_RETURN_VALUE, &returnType);
  if (slot < 0) fail(__LINE__);
  emitLoadOfType(out, returnType, slot);
  stack.push(slotsOfType(returnType));
  emitReturnOfType(out, returnType);
}

void emitReturnStub(const ProbeDescriptor& probe, ByteCodeGenerator& out, StackDepth& stack,
                    const YString& returnType) {
  if (returnType.equals("V")) {
    out.append(OP_RETURN);
    return;
  }
  emitReturnOfOwnValue(out, stack, probe.returnParameters.get(), returnType);
}

// The slot of the exception-side callback's @ThrownException, which discarding requires.
int32_t thrownSlot(const ProbeDescriptor& probe) {
  const int32_t slot =
      parameterSlot(probe.exceptionParameters.get(), CallbackParameter::KIND_THROWN_EXCEPTION, nullptr);
  if (slot < 0) fail(__LINE__);
  return slot;
}

// A discarding probe's handler returns what the callback gives back; the stub throws the method's own
// exception on instead, as if nothing had caught it.
void emitExceptionStub(const ProbeDescriptor& probe, ByteCodeGenerator& out, StackDepth& stack,
                       const YString& returnType) {
  if (probe.discardThrownException) {
    out.emitLoadLocal(thrownSlot(probe));
    stack.push(1);
    out.append(OP_ATHROW);
    return;
  }
  // Without discarding, the handler rethrows after the call and nothing reads its value.
  if (!returnType.equals("V")) fail(__LINE__);
  out.append(OP_RETURN);
}

// onExit is called on both sides; with discarding, a non-null exception is the method's own to throw
// on, else its return value goes back.
void emitExitStub(const ProbeDescriptor& probe, ByteCodeGenerator& out, StackDepth& stack, const YString& returnType) {
  if (probe.discardThrownException) {
    const int32_t thrown = thrownSlot(probe);
    out.emitLoadLocal(thrown);
    stack.push(1);
    out.emitBranch(OP_IFNULL);
    stack.pop(1);
    out.emitLoadLocal(thrown);
    stack.push(1);
    out.append(OP_ATHROW);
    stack.pop(1);
    out.resolvePendingBranch();
  }
  if (returnType.equals("V")) {
    out.append(OP_RETURN);
    return;
  }
  emitReturnOfOwnValue(out, stack, probe.exceptionParameters.get(), returnType);
}

// The generated body replaces the old one with everything that described it.
void installStub(ClassFile& classFile, MethodInfo& method, const ByteCodeGenerator& out, const StackDepth& stack) {
  CodeAttribute& code = *method.getCodeAttribute();
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[size_t(out.getLength())]);
  out.copyCode(bytes.get());
  code.setCode(bytes.get(), out.getLength());
  code.reset(&classFile, &method, countArgumentSlots(method.getDescriptor()), stack.peak);
  // The branch target after a discarding onExit's rethrow: the arguments, an empty stack.
  code.insertFramesForCode(out.getBranchTargets(), 0, VerificationType(), -1, false, nullptr);
}

}  // namespace

bool instrumentProbeCallbacks(const ProbeDescriptor& probe, ClassFile& classFile) {
  const YVector<MethodInfo*>& methods = classFile.getMethods();
  bool rewritten = false;
  for (int32_t i = 0; i < methods.size; i++) {
    MethodInfo* method = methods[i];
    if (method == nullptr) assertionFailed("assertion failed: value is NULL", SOURCE, __LINE__);
    if (!method->isStatic() || method->getCodeAttribute() == nullptr) continue;
    const YString& name = method->getName();
    const YString returnType = method->getReturnType();
    ByteCodeGenerator out;
    StackDepth stack;
    if (name.equals("onEnter")) {
      emitEnterStub(out, stack, returnType);
    } else if (name.equals("onReturn")) {
      emitReturnStub(probe, out, stack, returnType);
    } else if (name.equals("onUncaughtException")) {
      emitExceptionStub(probe, out, stack, returnType);
    } else if (name.equals("onExit")) {
      emitExitStub(probe, out, stack, returnType);
    } else {
      continue;
    }
    installStub(classFile, *method, out, stack);
    rewritten = true;
  }
  // A class of the probe's name without callbacks (another loader's class of that name) loads as it is.
  if (!rewritten) {
    logMessage(YString("probe class has no callbacks to stub: ") + classFile.getThisClassName().replaceAll("/", "."));
  }
  return rewritten;
}
