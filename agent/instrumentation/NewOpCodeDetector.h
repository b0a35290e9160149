#pragma once

#include <cstdint>

class ClassFile;
class InstructionWalk;

// What one pass over a method's bytecode tells allocation recording before the method is patched.
enum NewOpCodeDetection : int32_t {
  // No NEW, NEWARRAY, ANEWARRAY or MULTIANEWARRAY that counts, or no code.
  ALLOCATIONS_NONE = 0,
  // Every object creation in a shape that the allocation callbacks can be woven around.
  ALLOCATIONS_ACCEPTED = 1,
  // A NEW directly followed by SWAP and IFNE, a known obfuscator's pattern.
  ALLOCATIONS_OBFUSCATED = 2,
  // Recording would break the method, or the code is malformed.
  ALLOCATIONS_UNEXPECTED_BYTECODE = 3,
};

// Refuses a method that, while a NEW still waits for its constructor call, stores a reference into a local
// or swaps other than the one SWAP after NEW DUP_X1 (or after the obfuscator's NEW SWAP IFNE), and one in
// which a NEW is directly followed by SWAP without IFNE. `classFile` is read only for the pool entries of
// INVOKESPECIAL, whose constructor calls close pending NEWs; a pool index outside the pool is the pool
// vector's range error. An instruction that the end of the code cuts off (a NEW without the opcodes it is
// judged by, a WIDE without its opcode, a switch without its operands) answers
// ALLOCATIONS_UNEXPECTED_BYTECODE: nothing beyond `codeLength` is read. An undefined opcode is the fatal
// "Wrong instruction opcode found: <opcode>"; a null `code` with a positive length the fatal
// "assertion failed: value is NULL".
NewOpCodeDetection NewOpCodeDetector(const ClassFile& classFile, const uint8_t* code, int32_t codeLength);
// The same over a walk of that code.
NewOpCodeDetection NewOpCodeDetector(const ClassFile& classFile, const uint8_t* code, int32_t codeLength,
                                     const InstructionWalk& walk);
