#pragma once

#include <cstdint>

// How long the instructions of a method's bytecode are, for every code scanner of the agent.

// Opcodes whose length depends on what follows them.
constexpr uint8_t OPCODE_IINC = 132;
constexpr uint8_t OPCODE_TABLESWITCH = 170;
constexpr uint8_t OPCODE_LOOKUPSWITCH = 171;
constexpr uint8_t OPCODE_WIDE = 196;

// The length of each instruction by opcode, the opcode byte included: the JVM's fixed lengths for 0 to
// 201, 1 for BREAKPOINT (202) and the implementation opcodes 254 and 255, and -1 where no fixed length
// exists: TABLESWITCH, LOOKUPSWITCH, WIDE and the undefined opcodes 203 to 253.
extern const int32_t instructionLengths[256];

int32_t variableInstructionLengthAt(const uint8_t* code, int32_t codeLength, int32_t position);

// Whether no instruction has the opcode: one of the undefined opcodes 203 to 253.
inline bool isUndefinedOpcode(uint8_t opcode) {
  return instructionLengths[opcode] < 1 && opcode != OPCODE_TABLESWITCH && opcode != OPCODE_LOOKUPSWITCH &&
         opcode != OPCODE_WIDE;
}

// The code scanners' fatal "Wrong instruction opcode found: <opcode>", naming the scanner's file and line.
[[noreturn]] void wrongOpcodeFound(uint8_t opcode, const char* file, int32_t line);

// The length of the whole instruction at `position` (0 <= position < codeLength) of `code`: WIDE as 6
// bytes before IINC and 4 before anything else, a switch with its padding to the next multiple of 4
// (counted from the start of the code) and its table. -1 when the opcode is undefined or the instruction
// does not end inside the code: cut off, or a switch whose counts from the file reach past the end. So a
// scanner that has this length may read every operand of the instruction without further checks.
// Every scanner asks this of every instruction, so the fixed lengths are answered inline and the rest
// (and the failures) by variableInstructionLengthAt.
inline int32_t instructionLengthAt(const uint8_t* code, int32_t codeLength, int32_t position) {
  if (code != nullptr && position >= 0 && position < codeLength) {
    const int32_t fixed = instructionLengths[code[position]];
    if (fixed > 0 && fixed <= codeLength - position) return fixed;
  }
  return variableInstructionLengthAt(code, codeLength, position);
}
