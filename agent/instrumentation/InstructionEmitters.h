#pragma once

#include <cstdint>

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

class ClassFile;

// The fixed-length blocks that method patching inserts into a method and that call the static methods of
// com/brantel/runtime/Callback. A block's length depends only on its kind and on two flags, never on its
// operands: local slots are always written in the four-byte WIDE form and pool indices in three bytes, so
// patching knows every new position before it writes a byte. With `aligned` (the method holds a switch)
// every block inserted inside the code is a multiple of 4 bytes long, which keeps the switches' padding
// right. Padding is NOP. Each emitter writes at buffer + position, which has room for the block, and
// answers the bytes it wrote; a block whose written length is not its table length is a fatal error.

// What an instrumented instruction gets around it.
enum InstructionType : int32_t {
  INSTRUCTION_RETURN = 1,                    // exit call before the return
  INSTRUCTION_NEW_COPY = 2,                  // DUP after a NEW not followed by a DUP of its own
  INSTRUCTION_NEW_COPY_CANCELLED = 3,        // that copy dropped again: NOPs
  INSTRUCTION_ARRAY = 4,                     // DUP and allocation call after an array creation
  INSTRUCTION_CONSTRUCTOR_AFTER_DUP = 5,     // DUP and allocation call after the constructor call
  INSTRUCTION_CONSTRUCTOR_AFTER_COPY = 6,    // allocation call consuming the copy made after the NEW
  INSTRUCTION_INVOKE = 7,                    // line call before a call instruction
  INSTRUCTION_NEW_SWAP = 8,                  // DUP_X1 after a NEW followed by SWAP
};

// How a block pushes a source line, three bytes whatever the line.
struct LinePush {
  uint8_t opcode;
  int32_t operand;
};
// For bzpMethodLine, whose line is an int: SIPUSH for a line below 32768, else LDC_W of an Integer
// constant (added when needed), so that a line of a long source file is not pushed as a negative number.
// Lines are 0 to 65535.
LinePush linePushFor(ClassFile& classFile, int32_t line);
// For bzpInit, whose line is a short: SIPUSH of the line's 16 bits, which the native side reads back
// unsigned; a value outside the short range must never reach a short parameter. Lines are 0 to 65535
// ("assertion failed" otherwise).
LinePush allocationLinePush(int32_t line);

// The block lengths that method patching reserves.
constexpr int32_t entryCallLength(bool aligned, bool withAllocLocal) {
  return aligned ? (withAllocLocal ? 20 : 16) : (withAllocLocal ? 18 : 13);
}
constexpr int32_t localInitLength(bool withAllocLocal) { return withAllocLocal ? 8 : 0; }
constexpr int32_t exitCallLength(bool aligned) { return aligned ? 12 : 10; }
constexpr int32_t lineCallLength(bool aligned) { return aligned ? 12 : 10; }
constexpr int32_t stackCopyLength = 4;
constexpr int32_t allocationCallLength = 24;

// [ICONST_M1 WIDE ISTORE allocLocal] LDC_W methodIdConst LDC2_W counterConst INVOKESTATIC entryRef
// WIDE LSTORE resultLocal [NOPs]. `allocLocal` -1 for none; `resultLocal` must be given.
int32_t emitEntryCall(int32_t entryRef, int32_t methodIdConst, int32_t counterConst, int32_t resultLocal,
                      uint8_t* buffer, int32_t position, int32_t allocLocal, bool aligned);
// ICONST_M1 WIDE ISTORE allocLocal and 3 NOPs; nothing for an `allocLocal` of -1.
int32_t emitLocalInit(uint8_t* buffer, int32_t position, int32_t allocLocal);
// LDC_W methodIdConst WIDE LLOAD resultLocal INVOKESTATIC exitRef [2 NOPs].
int32_t emitExitCall(int32_t exitRef, int32_t methodIdConst, int32_t resultLocal, uint8_t* buffer,
                     int32_t position, bool aligned);
// <line push> WIDE LLOAD resultLocal INVOKESTATIC lineRef [2 NOPs].
int32_t emitLineCall(int32_t lineRef, LinePush line, int32_t resultLocal, uint8_t* buffer, int32_t position,
                     bool aligned);
// DUP (type 2), DUP_X1 (type 8) or NOP (type 3), then 3 NOPs; another type is fatal "unexpected type <t>".
int32_t emitStackCopy(uint8_t* buffer, int32_t position, int32_t type);
// DUP WIDE ILOAD allocLocal LDC_W classIdConst <line push> LDC2_W counterConst INVOKESTATIC initRef
// WIDE ISTORE allocLocal and 3 NOPs: the reference on top of the stack goes to bzpInit.
int32_t emitAllocationCallAfterDup(int32_t initRef, uint8_t* buffer, int32_t position, int32_t allocLocal,
                                   int32_t classIdConst, int32_t counterConst, LinePush line);
// The same block with DUP (type 5) or NOP (type 6, the copy made after the NEW is consumed) first;
// another type is fatal "unexpected type <t>".
int32_t emitAllocationCall(int32_t initRef, uint8_t* buffer, int32_t position, int32_t type, int32_t allocLocal,
                           int32_t classIdConst, int32_t counterConst, LinePush line);

// The block that goes before an instruction of the type: the exit call for 1, the line call for 7 (with
// `lineRef` -1 a line point is never recorded); the bytes written, 0 for the other types. A type outside
// 1 to 8 is fatal "Illegal instruction type: <t>".
int32_t emitCodeBefore(int32_t type, int32_t exitRef, int32_t lineRef, int32_t methodIdConst, int32_t resultLocal,
                       uint8_t* buffer, int32_t position, LinePush line, bool aligned);
// The block that goes after it: the stack copy for 2, 3 and 8, the allocation call after DUP for 4, the
// allocation call for 5 and 6, nothing for 1 and 7.
void emitCodeAfter(int32_t type, int32_t initRef, uint8_t* buffer, int32_t position, int32_t allocLocal,
                   int32_t classIdConst, int32_t counterConst, LinePush line);

// The method id of the allocation pseudo-method "<<init>>" "()" "void" of the array class that a NEWARRAY
// type code (4 to 11: boolean, char, float, double, byte, short, int, long) creates, made when missing;
// another code is fatal "unexpected primitive type: <code>". Runs under "ourLock".
int32_t getArrayAllocationMethodId(int32_t typeCode);
// The same for the class whose internal name is `prefix` followed by the name of the Class entry at
// `classIndex`: "" for NEW and MULTIANEWARRAY, "[" for ANEWARRAY, whose entry names the component.
int32_t getClassAllocationMethodId(const ClassFile& classFile, int32_t classIndex, const char* prefix);

// The allocation pseudo-methods that the creations of one class's methods name, remembered by Class entry
// and NEWARRAY type code, so that each is looked up once per class. Lives for one pass over a class
// under "ourLock", while no method record goes away.
class AllocationMethodIds {
 public:
  // getArrayAllocationMethodId, remembered.
  int32_t ofArray(int32_t typeCode);
  // getClassAllocationMethodId with the prefix "" or "[", remembered.
  int32_t ofClass(const ClassFile& classFile, int32_t classIndex, bool arrayOf);

 private:
  YVector<int32_t> byClassEntry;  // at 2 * index (+ 1 for "["): the id, 0 before it is asked for
  int32_t byTypeCode[8] = {};
  YString descriptor;  // room for the texts of the look-ups
  YString className;
};
