#include "agent/classfile/OffsetTable.h"

#include "agent/classfile/CodeBytes.h"
#include "agent/classfile/Opcodes.h"
#include "agent/support/FatalError.h"

void OffsetTable::add(int32_t instructionOffset, int32_t operandPosition, bool shortOperand) {
  if (instructionOffset < 0 || operandPosition <= instructionOffset) {
    assertionFailed("assertion failed", "OffsetTable", __LINE__);
  }
  elements.add(Element{instructionOffset, operandPosition, shortOperand});
}

const OffsetTable::Element& OffsetTable::at(int32_t i) const {
  if (i < 0 || i >= elements.size) assertionFailed("assertion failed", "OffsetTable", __LINE__);
  return elements.data[i];
}

namespace {

int32_t readOperand(const uint8_t* bytes, bool shortOperand) { return shortOperand ? codeS2(bytes) : codeS4(bytes); }

void writeOperand(uint8_t* bytes, bool shortOperand, int32_t value) {
  const uint32_t bits = uint32_t(value);
  if (shortOperand) {
    bytes[0] = uint8_t(bits >> 8);
    bytes[1] = uint8_t(bits);
  } else {
    bytes[0] = uint8_t(bits >> 24);
    bytes[1] = uint8_t(bits >> 16);
    bytes[2] = uint8_t(bits >> 8);
    bytes[3] = uint8_t(bits);
  }
}

// The relocated operand of element i; false when a 16-bit one no longer fits.
bool relocatedOperand(const OffsetTable& branches, int32_t i, const uint8_t* code, int32_t codeLength,
                      const int32_t* positionMap, int32_t& operand) {
  const int32_t instruction = branches.getOffset(i);
  const int32_t position = branches.getOperandPosition(i);
  const bool shortOperand = branches.getFlag(i) == 1;
  if (instruction >= codeLength || int64_t(position) + (shortOperand ? 2 : 4) > codeLength) {
    assertionFailed("assertion failed", "OffsetTable", __LINE__);
  }
  const int64_t target = int64_t(instruction) + readOperand(code + position, shortOperand);
  if (target < 0 || target >= codeLength) assertionFailed("assertion failed", "OffsetTable", __LINE__);
  const int64_t relocated = int64_t(positionMap[target]) - positionMap[instruction];
  if (shortOperand && (relocated < INT16_MIN || relocated > INT16_MAX)) return false;
  operand = int32_t(relocated);  // positions are below 2^31, so a difference of two always fits
  return true;
}

}  // namespace

bool relocateBranchOffsets(const OffsetTable& branches, uint8_t* code, int32_t codeLength, const int32_t* positionMap) {
  if (branches.size() == 0) return true;
  if (code == nullptr || positionMap == nullptr) {
    assertionFailed("assertion failed: value is NULL", "OffsetTable", __LINE__);
  }
  // All operands are worked out from the unpatched bytes before the first one is written.
  YVector<int32_t> operands(branches.size());
  for (int32_t i = 0; i < branches.size(); i++) {
    operands.add(0);
    if (!relocatedOperand(branches, i, code, codeLength, positionMap, operands[i])) return false;
  }
  for (int32_t i = 0; i < branches.size(); i++) {
    writeOperand(code + branches.getOperandPosition(i), branches.getFlag(i) == 1, operands[i]);
  }
  return true;
}

bool addBranchOperands(OffsetTable& branches, const uint8_t* code, int32_t position) {
  const uint8_t opcode = code[position];
  if ((opcode >= OP_IFEQ && opcode <= OP_JSR) || opcode == OP_IFNULL || opcode == OP_IFNONNULL) {
    branches.add(position, position + 1, true);
  } else if (opcode == OP_GOTO_W || opcode == OP_JSR_W) {
    branches.add(position, position + 1, false);
  } else if (opcode == OP_TABLESWITCH || opcode == OP_LOOKUPSWITCH) {
    const int32_t table = (position + 4) / 4 * 4;  // the default offset, after the padding
    branches.add(position, table, false);
    if (opcode == OP_TABLESWITCH) {
      const int64_t count = int64_t(codeS4(code + table + 8)) - codeS4(code + table + 4) + 1;
      for (int64_t i = 0; i < count; i++) branches.add(position, int32_t(table + 12 + 4 * i), false);
    } else {
      const int32_t pairs = codeS4(code + table + 4);
      for (int32_t i = 0; i < pairs; i++) branches.add(position, table + 8 + 8 * i + 4, false);
    }
  } else {
    return false;
  }
  return true;
}
