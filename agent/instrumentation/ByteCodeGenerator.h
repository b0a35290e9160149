#pragma once

#include <cstdint>

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

class MethodInfo;

// Appends JVM instructions to a growing byte vector for the code-inserting editors. Forward branches are
// emitted with an open offset and resolved last in, first out, so nested blocks close the inner branch
// first. Operands are written big-endian. Pool indices and local slots come from the caller: the
// generator knows nothing of the class file.
class ByteCodeGenerator {
 public:
  ByteCodeGenerator() = default;
  ByteCodeGenerator(const ByteCodeGenerator&) = delete;
  ByteCodeGenerator& operator=(const ByteCodeGenerator&) = delete;

  // Instructions without an operation of their own: the opcode and its operand bytes as they stand.
  void append(uint8_t byte) { code.add(byte); }
  // A two-byte operand (a pool index, an offset).
  void appendShort(int32_t value) {
    code.add(uint8_t(value >> 8));
    code.add(uint8_t(value));
  }

  // ALOAD / ASTORE of a slot in the shortest form: ALOAD_0..3 (ASTORE_0..3), then a one-byte slot below
  // 256, then WIDE with a two-byte slot. Slots are 0 to 65535.
  void emitLoadLocal(int32_t slot);
  void emitStoreLocal(int32_t slot);
  // The same forms for any local instruction: `firstShortForm` + slot (ILOAD_0 ...) for slots 0 to 3,
  // else `opcode` (ILOAD ...) with the slot.
  void emitLocalAccess(int32_t slot, uint8_t firstShortForm, uint8_t opcode);
  // LDC with a one-byte pool index below 256, else LDC_W. Indices are 0 to 65535.
  void emitLoadConstant(int32_t index);
  // `count` NOPs; nothing for a count below 1.
  void appendNops(int32_t count);
  // NOPs until the length is a multiple of 4, for code inserted into a method that holds a switch.
  void alignToFour() { appendNops((4 - getLength() % 4) % 4); }
  // An int constant in the shortest form: ICONST_M1..ICONST_5, BIPUSH, SIPUSH. Values -32768 to 32767.
  void emitIntConstant(int32_t value);
  // An instruction with a two-byte pool index (INVOKESTATIC, CHECKCAST ...). Indices are 1 to 65535.
  void emitWithIndex(uint8_t opcode, int32_t index);

  // A forward branch (IFEQ, GOTO ...) whose offset stays open until resolvePendingBranch.
  void emitBranch(uint8_t opcode);
  // Points the newest open branch at the current end of the code and records that end as a branch
  // target. The offset must fit in 16 signed bits.
  void resolvePendingBranch();
  // Positions that resolved branches jump to, in the order they were resolved.
  const YVector<int32_t>& getBranchTargets() const { return branchTargets; }

  // Copies all bytes to `destination`, which has room for getLength() bytes. No branch may be open.
  void copyCode(uint8_t* destination) const;
  int32_t getLength() const { return code.size; }
  uint8_t getByte(int32_t index) const { return code[index]; }

 private:
  // Most generated blocks fit inside; longer code grows onto the heap.
  YVector<uint8_t, 48> code;
  YVector<int32_t> pendingBranches;  // positions of the branch opcodes, newest last
  YVector<int32_t> branchTargets;
};

// The method's name and its parameters as Java types: "read(long, byte[])".
YString getMethodDisplayName(const MethodInfo& method);
