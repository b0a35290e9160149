#include "agent/classfile/InstructionWalk.h"

#include "agent/classfile/InstructionLengths.h"
#include "agent/support/FatalError.h"

InstructionWalk::InstructionWalk(const uint8_t* code, int32_t codeLength, const char* file) {
  if (codeLength > 0 && code == nullptr) assertionFailed("assertion failed: value is NULL", file, __LINE__);
  // At most one instruction per byte, and the end: room made once, not zeroed.
  if (codeLength >= 0) starts.reserveForWriting(codeLength + 1);
  int32_t position = 0;
  while (position < codeLength) {
    const int32_t length = instructionLengthAt(code, codeLength, position);
    if (length < 1) {
      stop = position;
      break;
    }
    starts.add(position);
    switchSeen |= code[position] == OPCODE_TABLESWITCH || code[position] == OPCODE_LOOKUPSWITCH;
    position += length;
  }
  starts.add(position);
}
