#pragma once

#include <cstdint>

#include "agent/classfile/ConstantPoolInfo.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/support/Arena.h"
#include "agent/support/YString.h"

// One entry of a "LocalVariableTable" or "LocalVariableTypeTable": a local's slot and the code range in
// which it holds a value, with its name and its descriptor (or, in a type table, its generic signature).
// Start >= 0, length >= 0, name and descriptor indices >= 1, slot >= 0.
class LocalVariable : public ArenaAllocated {
 public:
  explicit LocalVariable(DataInput& in);
  LocalVariable(int32_t startPc, int32_t length, int32_t nameIndex, int32_t descriptorIndex, int32_t index);

  void write(DataOutput& out) const;

  int32_t getStartPc() const { return startPc; }
  void setStartPc(int32_t value);
  int32_t getLength() const { return length; }
  void setLength(int32_t value);
  int32_t getNameIndex() const { return nameIndex; }
  int32_t getDescriptorIndex() const { return descriptorIndex; }
  int32_t getIndex() const { return index; }
  // The Utf8 text at the name index; an entry of another kind is an assertion failure.
  const YString& getName(const ConstantPool& pool) const;

 private:
  int32_t startPc;
  int32_t length;
  int32_t nameIndex;
  int32_t descriptorIndex;
  int32_t index;
};
