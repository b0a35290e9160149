#include "agent/instrumentation/ByteCodeGenerator.h"

#include <cstring>

#include "agent/classfile/MethodInfo.h"
#include "agent/classfile/Opcodes.h"
#include "agent/classfile/SignatureUtil.h"
#include "agent/support/FatalError.h"

namespace {

constexpr int32_t MAX_U2 = 0xFFFF;
constexpr int32_t MAX_BRANCH_OFFSET = 0x7FFF;

[[noreturn]] void fail(int32_t line) { assertionFailed("assertion failed", "ByteCodeGenerator", line); }

// A slot or pool index must fit the two-byte operand of its longest form.
void requireU2(int32_t value, int32_t line) {
  if (value < 0 || value > MAX_U2) fail(line);
}

}  // namespace

void ByteCodeGenerator::emitLocalAccess(int32_t slot, uint8_t firstShortForm, uint8_t opcode) {
  requireU2(slot, __LINE__);
  if (slot <= 3) {
    code.add(uint8_t(firstShortForm + slot));
  } else if (slot <= 0xFF) {
    code.add(opcode);
    code.add(uint8_t(slot));
  } else {
    code.add(OP_WIDE);
    code.add(opcode);
    appendShort(slot);
  }
}

void ByteCodeGenerator::emitLoadLocal(int32_t slot) { emitLocalAccess(slot, OP_ALOAD_0, OP_ALOAD); }

void ByteCodeGenerator::emitStoreLocal(int32_t slot) { emitLocalAccess(slot, OP_ASTORE_0, OP_ASTORE); }

void ByteCodeGenerator::emitLoadConstant(int32_t index) {
  requireU2(index, __LINE__);
  if (index <= 0xFF) {
    code.add(OP_LDC);
    code.add(uint8_t(index));
  } else {
    code.add(OP_LDC_W);
    appendShort(index);
  }
}

void ByteCodeGenerator::appendNops(int32_t count) {
  for (int32_t i = 0; i < count; i++) code.add(OP_NOP);
}

void ByteCodeGenerator::emitIntConstant(int32_t value) {
  if (value >= -1 && value <= 5) {
    code.add(uint8_t(OP_ICONST_0 + value));
  } else if (value >= -128 && value <= 127) {
    code.add(OP_BIPUSH);
    code.add(uint8_t(value));
  } else if (value >= -32768 && value <= 32767) {
    code.add(OP_SIPUSH);
    appendShort(value);
  } else {
    fail(__LINE__);
  }
}

void ByteCodeGenerator::emitWithIndex(uint8_t opcode, int32_t index) {
  if (index < 1) fail(__LINE__);
  requireU2(index, __LINE__);
  code.add(opcode);
  appendShort(index);
}

void ByteCodeGenerator::emitBranch(uint8_t opcode) {
  pendingBranches.add(code.size);
  code.add(opcode);
  appendShort(0);
}

void ByteCodeGenerator::resolvePendingBranch() {
  const int32_t position = pendingBranches.pop();
  const int32_t offset = code.size - position;
  if (offset > MAX_BRANCH_OFFSET) fail(__LINE__);
  code.set(position + 1, uint8_t(offset >> 8));
  code.set(position + 2, uint8_t(offset));
  branchTargets.add(code.size);
}

void ByteCodeGenerator::copyCode(uint8_t* destination) const {
  // An open branch would go out as a zero offset: a jump to itself.
  if (pendingBranches.size != 0) fail(__LINE__);
  if (destination == nullptr) assertionFailed("assertion failed: value is NULL", "ByteCodeGenerator", __LINE__);
  if (code.size > 0) std::memcpy(destination, code.data, size_t(code.size));
}

YString getMethodDisplayName(const MethodInfo& method) {
  return method.getName() + methodDescriptorToParameterList(method.getDescriptor().data);
}
