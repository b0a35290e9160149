#include "agent/classfile/LineNumberTableAttribute.h"

#include "agent/classfile/LineLookup.h"
#include "agent/support/FatalError.h"

LineNumberTableAttribute::LineNumberTableAttribute(DataInput& in, int32_t nameIndex, int32_t length, Arena* arena)
    : AttributeInfo(nameIndex, length) {
  const int32_t count = in.readUnsignedShort();
  entries.reserve(count);
  try {
    for (int32_t i = 0; i < count; i++) {
      const int32_t startPc = in.readUnsignedShort();
      const int32_t lineNumber = in.readUnsignedShort();
      entries.add(new (arena) LineNumber(startPc, lineNumber));
    }
  } catch (...) {  // a truncated table: no destructor runs for a constructor that throws
    entries.deleteElements();
    throw;
  }
}

LineNumberTableAttribute::~LineNumberTableAttribute() { entries.deleteElements(); }

void LineNumberTableAttribute::writeBody(DataOutput& out) const {
  out.writeShort(entries.size);
  for (int32_t i = 0; i < entries.size; i++) {
    out.writeShort(entries[i]->startPc);
    out.writeShort(entries[i]->lineNumber);
  }
}

void LineNumberTableAttribute::validate(int32_t codeLength) const {
  for (int32_t i = 0; i < entries.size; i++) {
    if (entries[i]->startPc >= codeLength) assertionFailed("assertion failed", "LineNumberTableAttribute", __LINE__);
  }
}

int32_t LineNumberTableAttribute::getLineNumber(int32_t offset) const {
  if (offset < 0) assertionFailed("assertion failed", "LineNumberTableAttribute", __LINE__);
  return lineAtLocation(entries.data, entries.size, offset, [](const LineNumber* entry) { return entry->startPc; },
                        [](const LineNumber* entry) { return entry->lineNumber; });
}

void LineNumberTableAttribute::shift(int32_t count, int32_t offset) {
  if (count < 0) assertionFailed("assertion failed", "LineNumberTableAttribute", __LINE__);
  for (int32_t i = 0; i < entries.size; i++) {
    if (entries[i]->startPc > offset) entries[i]->startPc += count;
  }
}

void LineNumberTableAttribute::relocate(const int32_t* map) {
  if (map == nullptr) assertionFailed("assertion failed: value is NULL", "LineNumberTableAttribute", __LINE__);
  for (int32_t i = 0; i < entries.size; i++) {
    if (entries[i]->startPc > 0) entries[i]->startPc = map[entries[i]->startPc];
  }
}
