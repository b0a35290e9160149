#pragma once

#include <cstdint>

#include "agent/classfile/OffsetTable.h"
#include "agent/support/YVector.h"

class AllocationMethodIds;
class ClassFile;
class InstructionWalk;
class CodeAttribute;
class MethodInfo;

// The first phase of method patching: one walk over the old code that decides which block goes before
// and after each instruction (InstructionEmitters.h) and, from the blocks' fixed lengths, where every old
// byte ends up, before a byte of new code is written.

// One instrumented instruction.
struct PatchPoint {
  int32_t type;           // InstructionType
  int32_t oldPos;         // the instruction's position in the old code
  int32_t newPos;         // its position plus the bytes of the blocks recorded before this point
  int32_t length;         // the instruction's length
  int32_t classMethodId;  // the allocated class's "<<init>>" pseudo-method; 0 when not about an allocation
};

// What the method gets.
struct PatchScope {
  bool tracing;      // an exit block before every return
  bool withLines;    // a line block before every call instruction (with `tracing` only)
  bool allocations;  // stack copies and allocation blocks around object and array creations
  bool aligned;      // the code holds a switch: every block inside it is a multiple of 4 bytes long
  // Where the allocation points' ids are remembered for the whole class; null: for this scan alone.
  AllocationMethodIds* allocationIds = nullptr;
};

// The scan's answer. A block before an instruction leaves the instruction's own entries of the map where
// they were, so that branches to the instruction land on the block; a block after it moves what follows.
struct PatchPlan {
  static constexpr int32_t inlineCodeLength = 256;

  // Room inside for the points and bytes of most methods, so that a plan on the stack rarely allocates.
  YVector<PatchPoint, 32> points;  // in scan order; one instruction may have a point before and one after it
  // positionMap[i]: where old byte i goes in the new code, before the entry block is prepended.
  YVector<int32_t, inlineCodeLength> positionMap;
  int32_t inserted = 0;  // the bytes of all recorded blocks
  // Each branch and switch operand: the instruction, the operand's position, whether it is 16 bits.
  OffsetTable branches;
  // 1 at each position where an instruction of the old code begins.
  YVector<uint8_t, inlineCodeLength> instructionStarts;
};

// Scans `code` (`codeLength` bytes, the method's code before patching) into `plan`, which must be fresh.
// Allocation points get the ids of their classes' pseudo-methods, which are made when missing (under
// "ourLock"). Patterns that cannot carry a callback are logged and left alone ("warning: cannot inject
// object allocation callback due to a bad bytecode pattern (scala?): ", "warning: INVOKESPECIAL in ").
// An undefined opcode is the fatal "Wrong instruction opcode found: <opcode>", an instruction that the
// end of the code cuts off a fatal "assertion failed", both naming "Patchers".
void scanPatchPoints(const ClassFile& classFile, const MethodInfo& method, const uint8_t* code, int32_t codeLength,
                     const PatchScope& scope, PatchPlan& plan);
// The same over a walk of that code.
void scanPatchPoints(const ClassFile& classFile, const MethodInfo& method, const uint8_t* code, int32_t codeLength,
                     const InstructionWalk& walk, const PatchScope& scope, PatchPlan& plan);

// Before the position map is applied to them: every branch target, handler and stack-map frame offset
// (and the NEW of every uninitialised type) must be an instruction start of the old code, every handler
// end one or the code's end, every line entry and local-variable range inside the code. A violation is a
// fatal "assertion failed" naming "Patchers", and nothing has been changed. `oldCode` holds the code
// that `plan` was scanned from, its branch operands not yet rewritten.
void checkCodeReferences(const CodeAttribute& code, const uint8_t* oldCode, const PatchPlan& plan);
