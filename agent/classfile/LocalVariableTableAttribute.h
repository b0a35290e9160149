#pragma once

#include <cstdint>

#include "agent/classfile/AttributeInfo.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/LocalVariable.h"
#include "agent/support/YVector.h"

// What "LocalVariableTable" and "LocalVariableTypeTable" share: the entries in file order, which method
// patching moves in place through LocalVariable's setters. The two differ only in their name and in
// what the third index of an entry names.
class LocalVariableEntries : public AttributeInfo {
 public:
  ~LocalVariableEntries() override;

  void writeBody(DataOutput& out) const override;
  // Every entry's range must start inside the code and end at or before its end.
  void validate(int32_t codeLength) const override;

  YVector<LocalVariable*>& getEntries() { return entries; }
  const YVector<LocalVariable*>& getEntries() const { return entries; }

 protected:
  LocalVariableEntries(DataInput& in, int32_t nameIndex, int32_t length);

 private:
  YVector<LocalVariable*> entries;
};

class LocalVariableTableAttribute : public LocalVariableEntries {
 public:
  LocalVariableTableAttribute(DataInput& in, int32_t nameIndex, int32_t length)
      : LocalVariableEntries(in, nameIndex, length) {}
};

// The entries' third index names a generic signature instead of a descriptor.
class LocalVariableTypeTableAttribute : public LocalVariableEntries {
 public:
  LocalVariableTypeTableAttribute(DataInput& in, int32_t nameIndex, int32_t length)
      : LocalVariableEntries(in, nameIndex, length) {}
};
