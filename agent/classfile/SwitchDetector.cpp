#include "agent/classfile/SwitchDetector.h"

#include "agent/classfile/InstructionLengths.h"
#include "agent/classfile/InstructionWalk.h"
#include "agent/support/FatalError.h"
#include "agent/support/YString.h"

namespace {

bool isSwitch(uint8_t opcode) { return opcode == OPCODE_TABLESWITCH || opcode == OPCODE_LOOKUPSWITCH; }

}  // namespace

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
  if (isSwitch(opcode)) return true;
  if (opcode != OPCODE_WIDE && instructionLengths[opcode] < 1) {
    YString message("Wrong instruction opcode found: ");
    message.appendLong(opcode);
    fatalError(message.data, "SwitchDetector", __LINE__);
  }
  return false;
}
