#pragma once

#include <cstdint>

#include "agent/support/YVector.h"

// Where each instruction of a method's code starts, found in one walk that the scanners of a method
// share: each step of a walk waits for the length of the instruction before it, while the scanners'
// loops over the starts do not.
class InstructionWalk {
 public:
  // The kinds of instruction the walk notes.
  static constexpr uint8_t SWITCH = 1;    // TABLESWITCH, LOOKUPSWITCH
  static constexpr uint8_t CREATION = 2;  // NEW, NEWARRAY, ANEWARRAY, MULTIANEWARRAY

  // A null `code` with a positive length is a fatal "assertion failed: value is NULL", naming `file`.
  InstructionWalk(const uint8_t* code, int32_t codeLength, const char* file);

  // The instructions that end inside the code, in order.
  int32_t count() const { return starts.size - 1; }
  int32_t start(int32_t i) const { return starts.data[i]; }
  int32_t length(int32_t i) const { return starts.data[i + 1] - starts.data[i]; }
  // Where the walk stopped before the end of the code: at an instruction with an undefined opcode or one
  // that the end cuts off (as instructionLengthAt answers); -1 when it reached the end.
  int32_t getStop() const { return stop; }
  // Whether one of the instructions is a TABLESWITCH or LOOKUPSWITCH.
  bool holdsSwitch() const { return (notes & SWITCH) != 0; }
  // Whether one of the instructions creates an object or array.
  bool holdsCreation() const { return (notes & CREATION) != 0; }

 private:
  YVector<int32_t, 128> starts;  // and, last, where the walk ended
  int32_t stop = -1;
  uint8_t notes = 0;  // the notes of the instructions, or-ed
};
