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
  LocalVariableEntries(DataInput& in, int32_t nameIndex, int32_t length, Arena* arena);

 private:
  YVector<LocalVariable*> entries;
};

class LocalVariableTableAttribute : public LocalVariableEntries {
 public:
  static constexpr AttributeKind KIND = AttributeKind::localVariableTable;
  AttributeKind kind() const override { return KIND; }

  LocalVariableTableAttribute(DataInput& in, int32_t nameIndex, int32_t length, Arena* arena = nullptr)
      : LocalVariableEntries(in, nameIndex, length, arena) {}
};

// The entries' third index names a generic signature instead of a descriptor.
class LocalVariableTypeTableAttribute : public LocalVariableEntries {
 public:
  static constexpr AttributeKind KIND = AttributeKind::localVariableTypeTable;
  AttributeKind kind() const override { return KIND; }

  LocalVariableTypeTableAttribute(DataInput& in, int32_t nameIndex, int32_t length, Arena* arena = nullptr)
      : LocalVariableEntries(in, nameIndex, length, arena) {}
};

// The code was rewritten with positionMap[old position] = new position for each of the `oldLength` old
// positions: every range follows, and one that ended at the old end ends at the new end (`newLength`),
// not at the mapped position of a byte that does not exist. Every range is checked against `oldLength`
// before any entry changes; a range outside it is a fatal "assertion failed", a null entry the fatal
// "assertion failed: value is NULL", both naming "Patchers".
void remapLocalVariables(YVector<LocalVariable*>& entries, const int32_t* positionMap, int32_t oldLength,
                         int32_t newLength);
// `count` bytes were inserted at position 0: a range starting at 0 grows over them, so that the method's
// parameters stay in scope over the inserted code; every other range moves. Nothing for a count below 1.
// A null entry is the fatal "assertion failed: value is NULL" naming "Patchers".
void shiftLocalVariables(YVector<LocalVariable*>& entries, int32_t count);
