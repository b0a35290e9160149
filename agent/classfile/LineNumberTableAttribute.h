#pragma once

#include <cstdint>

#include "agent/classfile/AttributeInfo.h"
#include "agent/classfile/DataInput.h"
#include "agent/support/YVector.h"

// "LineNumberTable" of a Code attribute: which source line the code from each start offset belongs to.
// Entries stay in file order; the Code attribute's offset editors move them, never add or remove any.
class LineNumberTableAttribute : public AttributeInfo {
 public:
  static constexpr AttributeKind KIND = AttributeKind::lineNumberTable;
  AttributeKind kind() const override { return KIND; }

  struct LineNumber : ArenaAllocated {
    LineNumber(int32_t startPc, int32_t lineNumber) : startPc(startPc), lineNumber(lineNumber) {}

    int32_t startPc;
    int32_t lineNumber;  // a u2 of the file, so never negative
  };

  LineNumberTableAttribute(DataInput& in, int32_t nameIndex, int32_t length, Arena* arena = nullptr);
  ~LineNumberTableAttribute() override;

  void writeBody(DataOutput& out) const override;
  // Every start offset must lie inside the code.
  void validate(int32_t codeLength) const override;

  // The line of the entry with the greatest start offset at or before `offset` (of equal starts the
  // later one), 0 when no entry starts there or before. Tables need not be sorted.
  int32_t getLineNumber(int32_t offset) const;
  // `count` bytes were inserted at `offset`: entries starting after it move; one starting exactly there
  // keeps the inserted code.
  void shift(int32_t count, int32_t offset);
  // The code was rewritten with map[old position] = new position; an entry at 0 stays at 0, so code
  // inserted at the method's start belongs to the first line.
  void relocate(const int32_t* map);

  const YVector<LineNumber*>& getEntries() const { return entries; }

 private:
  YVector<LineNumber*> entries;
};
