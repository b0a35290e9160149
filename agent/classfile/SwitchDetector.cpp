#include "agent/classfile/SwitchDetector.h"

#include "agent/classfile/InstructionLengths.h"
#include "agent/classfile/InstructionWalk.h"

bool detectSwitches(const uint8_t* code, int32_t length) {
  if (length < 1) return false;
  return detectSwitches(code, InstructionWalk(code, length, "SwitchDetector"));
}

bool detectSwitches(const uint8_t* code, const InstructionWalk& walk) {
  if (walk.holdsSwitch()) return true;
  const int32_t stop = walk.getStop();
  if (stop < 0) return false;
  // A switch that the end cuts off still counts; a last instruction cut off otherwise hides none.
  const uint8_t opcode = code[stop];
  if (opcode == OPCODE_TABLESWITCH || opcode == OPCODE_LOOKUPSWITCH) return true;
  if (isUndefinedOpcode(opcode)) wrongOpcodeFound(opcode, "SwitchDetector", __LINE__);
  return false;
}
