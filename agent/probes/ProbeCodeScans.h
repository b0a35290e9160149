#pragma once

#include <cstdint>

#include "agent/probes/ProbeCallbackBlocks.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

class ByteCodeGenerator;
class ClassFile;
class CodeAttribute;
class ProbeDescriptor;

// The facts the probe weaver needs of a method's code before it inserts its blocks, and the insertion of
// the return block before every return. Every scan walks the code instruction by instruction from 0.
// Code comes from outside: the weaver first makes sure that every instruction, switch tables included,
// lies inside the code (isWalkableCode); the scans still stop at anything that does not.

// Whether every instruction has a defined opcode and ends inside the code.
bool isWalkableCode(const uint8_t* code, int32_t length);

// The offset just after the super() or this() call that initialises `this` in a constructor, or -1: a
// switch or an INVOKESTATIC of a method whose name ends in "getCallSiteArray" before it, or no such call.
// Objects of this class or of the super class created before it (NEW ... INVOKESPECIAL "<init>") are
// counted off first, each kind on its own. `methodRefIndex`, when given, receives the call's reference.
int32_t findConstructorCallEnd(const ClassFile& classFile, const CodeAttribute& code, int32_t* methodRefIndex);

// Adds the slots that the code stores into (xSTORE, IINC, their WIDE forms) to `stored`, each once. A
// long or double store writes two slots and adds both.
void collectStoredLocals(const CodeAttribute& code, YVector<int32_t>& stored);
bool isStoredSlot(const YVector<int32_t>& stored, int32_t slot);

// Whether an argument starting at `slot` of the type is written by the code: a store into either slot of
// a long or double counts.
bool isArgumentStored(const YVector<int32_t>& stored, int32_t slot, const YString& type);

// The prologue's copies, made so that the callbacks see the values at entry of what the method writes:
// `this` when a callback takes it or a run-time instance test needs it and slot 0 is stored into, then
// every argument that a callback reads and the method stores into. Fills context.thisLocal (slot 0 when
// not copied; -1 in static methods) and context.argumentLocals. The copy of `this` is typed as
// UninitializedThis in a constructor, where it is made before the super() call, else as this class.
void emitParameterCopies(CallbackBlockContext& context, ByteCodeGenerator& prologue, const YVector<int32_t>& stored,
                         bool isConstructor);

// The local slots that the arguments of a method descriptor take, `this` not counted: J and D take two.
int32_t countArgumentSlots(const YString& descriptor);

// Whether some branch or switch of the code jumps across `position`, so that code inserted there moves
// its target away from it (or it away from its target).
bool branchCrosses(const uint8_t* code, int32_t length, int32_t position);

// Rewrites every branch and switch operand of `code` for the layout that `map` (old position to new
// position, `length` entries) gives it; false, with the code unchanged, when a 16-bit operand no longer
// fits.
bool relocateBranches(uint8_t* code, int32_t length, const int32_t* map);

// Inserts a copy of `block` before every return instruction, moves every branch, handler, line entry,
// local-variable range and frame with the code, and gives each copy's branch targets a frame with the
// return value (of `returnType`) on the stack. A branch to a return lands on its block. False, with the
// code unchanged, when a 16-bit branch no longer fits or the code with `otherBlocksLength` more bytes
// would reach 65536 bytes. `constructorCallEnd` is -1 outside constructors.
bool insertReturnBlocks(ClassFile& classFile, CodeAttribute& code, const ByteCodeGenerator& block,
                        int32_t constructorCallEnd, int32_t otherBlocksLength, const YString& returnType);
