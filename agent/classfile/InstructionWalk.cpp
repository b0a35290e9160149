#include "agent/classfile/InstructionWalk.h"

#include "agent/classfile/InstructionLengths.h"
#include "agent/classfile/Opcodes.h"
#include "agent/support/FatalError.h"

namespace {

// What the walk notes of each opcode, so that one table look-up per instruction serves every note.
struct OpcodeNotes {
  uint8_t of[256] = {};
  constexpr OpcodeNotes() {
    of[OPCODE_TABLESWITCH] = of[OPCODE_LOOKUPSWITCH] = InstructionWalk::SWITCH;
    of[OP_NEW] = of[OP_NEWARRAY] = of[OP_ANEWARRAY] = of[OP_MULTIANEWARRAY] = InstructionWalk::CREATION;
  }
};
constexpr OpcodeNotes opcodeNotes;

}  // namespace

InstructionWalk::InstructionWalk(const uint8_t* code, int32_t codeLength, const char* file) {
  if (codeLength > 0 && code == nullptr) assertionFailed("assertion failed: value is NULL", file, __LINE__);
  // At most one instruction per byte, and the end: room made once, not zeroed, and written directly.
  if (codeLength >= 0) starts.reserveForWriting(codeLength + 1);
  int32_t* const out = starts.data;
  int32_t count = 0;
  int32_t position = 0;
  while (position < codeLength) {
    const int32_t length = instructionLengthAt(code, codeLength, position);
    if (length < 1) {
      stop = position;
      break;
    }
    out[count++] = position;
    notes |= opcodeNotes.of[code[position]];
    position += length;
  }
  starts.size = count;
  starts.add(position);
}
