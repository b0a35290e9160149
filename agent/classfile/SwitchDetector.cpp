#include "agent/classfile/SwitchDetector.h"

#include "agent/classfile/InstructionLengths.h"
#include "agent/support/FatalError.h"
#include "agent/support/YString.h"

bool detectSwitches(const uint8_t* code, int32_t length) {
  if (length < 1) return false;
  if (code == nullptr) assertionFailed("assertion failed: value is NULL", "SwitchDetector", __LINE__);
  int32_t position = 0;
  while (position < length) {
    const uint8_t opcode = code[position];
    if (opcode == OPCODE_TABLESWITCH || opcode == OPCODE_LOOKUPSWITCH) return true;
    if (opcode != OPCODE_WIDE && instructionLengths[opcode] < 1) {
      YString message("Wrong instruction opcode found: ");
      message.appendLong(opcode);
      fatalError(message.data, "SwitchDetector", __LINE__);
    }
    // A last instruction that the end cuts off (a WIDE without its opcode among them) hides no switch.
    const int32_t instructionLength = instructionLengthAt(code, length, position);
    if (instructionLength < 0) return false;
    position += instructionLength;
  }
  return false;
}
