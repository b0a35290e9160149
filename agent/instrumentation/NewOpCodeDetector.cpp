#include "agent/instrumentation/NewOpCodeDetector.h"

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/ConstantReferences.h"
#include "agent/classfile/InstructionLengths.h"
#include "agent/classfile/InstructionWalk.h"
#include "agent/classfile/Opcodes.h"
#include "agent/support/YString.h"

namespace {

// Whether the entry is a Methodref or InterfaceMethodref of a constructor; other entries close no NEW.
bool isConstructorReference(const ConstantPool& pool, int32_t index) {
  const ConstantPoolInfo* entry = pool[index];
  if (entry == nullptr || (entry->tag != CONSTANT_Methodref && entry->tag != CONSTANT_InterfaceMethodref)) {
    return false;
  }
  return static_cast<const ConstantMemberRefInfo*>(entry)->getName(pool).equals("<init>");
}

}  // namespace

NewOpCodeDetection NewOpCodeDetector(const ClassFile& classFile, const uint8_t* code, int32_t codeLength) {
  if (codeLength < 1) return ALLOCATIONS_NONE;
  return NewOpCodeDetector(classFile, code, codeLength, InstructionWalk(code, codeLength, "NewOpCodeDetector"));
}

NewOpCodeDetection NewOpCodeDetector(const ClassFile& classFile, const uint8_t* code, int32_t codeLength,
                                     const InstructionWalk& walk) {
  if (codeLength < 1) return ALLOCATIONS_NONE;
  // Every rule below is about a NEW or counts a creation: code without one records nothing.
  if (!walk.holdsCreation() && walk.getStop() < 0) return ALLOCATIONS_NONE;
  int32_t pc = 0;
  // The byte `offset` bytes after the current instruction's opcode, -1 past the end of the code.
  const auto byteAfter = [&](int32_t offset) {
    return int64_t(pc) + offset < codeLength ? int32_t(code[pc + offset]) : -1;
  };
  int32_t pendingNews = 0;  // NEWs whose constructor call is still to come
  bool hasAllocation = false;
  bool swapAllowed = false;
  bool knownObfuscation = false;
  for (int32_t i = 0; i < walk.count(); i++) {
    pc = walk.start(i);
    const uint8_t opcode = code[pc];
    switch (opcode) {
      case OP_ASTORE:
      case OP_ASTORE_0:
      case OP_ASTORE_1:
      case OP_ASTORE_2:
      case OP_ASTORE_3:
        // The allocation callback could no longer find the new object on the stack.
        if (pendingNews > 0) return ALLOCATIONS_UNEXPECTED_BYTECODE;
        break;
      case OP_SWAP:
        if (pendingNews > 0) {
          if (!swapAllowed) return ALLOCATIONS_UNEXPECTED_BYTECODE;
          swapAllowed = false;
        }
        break;
      case OP_INVOKESPECIAL:
        if (pendingNews > 0) {
          if (byteAfter(2) < 0) return ALLOCATIONS_UNEXPECTED_BYTECODE;
          if (isConstructorReference(classFile.getConstantPool(), byteAfter(1) << 8 | byteAfter(2))) pendingNews--;
        }
        break;
      case OP_NEW: {
        pendingNews++;
        const int32_t next = byteAfter(3);
        if (next < 0) return ALLOCATIONS_UNEXPECTED_BYTECODE;
        if (next == OP_DUP || next == OP_DUP_X1 || next == OP_SWAP) {
          const int32_t afterNext = byteAfter(4);
          if (afterNext < 0) return ALLOCATIONS_UNEXPECTED_BYTECODE;
          if (next == OP_DUP && afterNext == OP_POP) break;  // an object made and dropped is not recorded
          if (next == OP_DUP_X1 && afterNext == OP_SWAP) swapAllowed = true;
          if (next == OP_SWAP) {
            if (afterNext != OP_IFNE) return ALLOCATIONS_UNEXPECTED_BYTECODE;
            // The pattern's own SWAP must pass, or the pattern could never be told apart.
            knownObfuscation = true;
            swapAllowed = true;
          }
        }
        hasAllocation = true;
        break;
      }
      case OP_NEWARRAY:
      case OP_ANEWARRAY:
      case OP_MULTIANEWARRAY:
        hasAllocation = true;
        break;
      case OPCODE_WIDE:
        if (byteAfter(1) == OP_ASTORE && pendingNews > 0) return ALLOCATIONS_UNEXPECTED_BYTECODE;
        break;
      default:
        break;
    }
  }
  // The walk stopped at an undefined opcode or at an instruction that does not end inside the code (a
  // switch measured from its operands too).
  if (const int32_t stop = walk.getStop(); stop >= 0) {
    if (isUndefinedOpcode(code[stop])) wrongOpcodeFound(code[stop], "NewOpCodeDetector", __LINE__);
    return ALLOCATIONS_UNEXPECTED_BYTECODE;
  }
  if (knownObfuscation) return ALLOCATIONS_OBFUSCATED;
  return hasAllocation ? ALLOCATIONS_ACCEPTED : ALLOCATIONS_NONE;
}
