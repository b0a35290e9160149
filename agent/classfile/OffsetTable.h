#pragma once

#include <cstdint>

#include "agent/support/YVector.h"

// Every relative branch operand of a method's code before patching, in the order the scanner met them,
// so that once code has been inserted each operand can be recomputed from the old-to-new position map.
// Positions refer to the unpatched code.
class OffsetTable {
 public:
  struct Element {
    int32_t instructionOffset;  // the branch or switch instruction, the base its operand counts from
    int32_t operandPosition;    // the operand's first byte
    bool shortOperand;          // a signed 16-bit operand, else a signed 32-bit one
  };

  // The operand must follow its instruction: instructionOffset >= 0, operandPosition > instructionOffset;
  // otherwise "assertion failed".
  void add(int32_t instructionOffset, int32_t operandPosition, bool shortOperand);

  // The fields of element i; an index not below size() is a fatal "assertion failed".
  int32_t getOffset(int32_t i) const { return at(i).instructionOffset; }
  int32_t getOperandPosition(int32_t i) const { return at(i).operandPosition; }
  // 1 for a 16-bit operand, 0 for a 32-bit one.
  int32_t getFlag(int32_t i) const { return at(i).shortOperand ? 1 : 0; }
  int32_t size() const { return elements.size; }

 private:
  const Element& at(int32_t i) const;

  YVector<Element, 32> elements;
};

// Adds the branch operands of the instruction at `position` when it is a branch (16-bit for IFEQ to JSR,
// IFNULL and IFNONNULL; 32-bit for GOTO_W and JSR_W) or a switch (the default and every target, 32-bit),
// and tells whether it was one. The whole instruction must lie inside the code, as instructionLengthAt
// answers for it.
bool addBranchOperands(OffsetTable& branches, const uint8_t* code, int32_t position);

// Rewrites every operand of `branches` inside `code` (the unpatched code of `codeLength` bytes) for the
// code it will be copied into: the target instruction offset + old operand moves to map[target], the
// instruction to map[instruction], and the operand becomes their difference, big-endian in its own width.
// `positionMap` holds codeLength entries. False, with the code untouched, when a 16-bit operand no longer
// fits -32768..32767: the caller then keeps the method as it was or tries again with less inserted code.
// Every operand is checked before any is written, so a refused relocation never leaves half of the
// branches pointing into the new layout. An operand outside the code or a target outside it is a fatal
// "assertion failed"; a null code or map with a non-empty table a fatal "assertion failed: value is NULL".
bool relocateBranchOffsets(const OffsetTable& branches, uint8_t* code, int32_t codeLength, const int32_t* positionMap);
