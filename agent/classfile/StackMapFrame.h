#pragma once

#include <cstdint>

#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/classfile/VerificationType.h"
#include "agent/support/Arena.h"
#include "agent/support/YVector.h"

class ClassFile;
class MethodInfo;

// The expanded stack-map frame at one bytecode offset: every local and every stack entry, where a Long
// or Double is one entry standing for two slots. A method's frames are kept in this form while its class
// is edited and encoded against each other only when the method is written.
class StackMapFrame : public ArenaAllocated {
 public:
  // The method's initial frame (offset -1): `this` unless the method is static, UninitializedThis in a
  // constructor of any class but java/lang/Object, then one entry per parameter. The pool may gain the
  // Class entries that the parameter types name.
  StackMapFrame(ClassFile& classFile, const MethodInfo& method);
  // A frame at `offset` with the locals of `source` and `stackItem` alone on the stack (an empty stack
  // for Top). An UninitializedThis local becomes Object when `initOffset` is not -1 and `offset` lies
  // after it: the constructor call that initialises `this` has run.
  StackMapFrame(const StackMapFrame& source, int32_t offset, const VerificationType& stackItem, int32_t initOffset);
  // Decodes one "StackMapTable" entry against `previous`. Reserved entry types, chops past the first
  // local and tags above 8 are fatal errors.
  StackMapFrame(const StackMapFrame& previous, DataInput& in, int32_t thisClassIndex);

  // Encodes this frame against `previous` (which must be given and lie before it) in the most compact
  // form the entry types allow.
  void write(const StackMapFrame* previous, DataOutput& out) const;
  // This frame's local count minus the previous frame's when the two differ by more than four or one
  // list begins the other; 104 when they differ inside their common part.
  int32_t compareLocals(const StackMapFrame& previous) const;
  // Adds the types of locals added at the end of the method's slots (the last of `maxLocals`), with Top
  // filling any slots between this frame's locals and them. An added UninitializedThis counts as
  // initialised in frames after `initOffset`.
  void appendAddedLocals(const YVector<VerificationType>& added, int32_t maxLocals, int32_t initOffset);
  // Drops trailing Top locals.
  void trimLocals();

  int32_t offset;
  YVector<VerificationType> locals;
  YVector<VerificationType> stack;
};
