#pragma once

#include <cstdint>

class InstructionWalk;

// Whether a method's bytecode holds a TABLESWITCH or LOOKUPSWITCH. Their operands are aligned to 4 bytes
// from the start of the code, so code inserted before a switch must keep that alignment. Answers at the
// first switch without reading its operands. An undefined opcode met before any switch is the fatal
// "Wrong instruction opcode found: <opcode>"; an instruction cut off by the end of the code ends the walk
// with false. A null `code` with a positive length is a fatal "assertion failed: value is NULL".
bool detectSwitches(const uint8_t* code, int32_t length);
// The same over a walk of that code.
bool detectSwitches(const uint8_t* code, const InstructionWalk& walk);
