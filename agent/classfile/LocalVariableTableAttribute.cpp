#include "agent/classfile/LocalVariableTableAttribute.h"

#include "agent/support/FatalError.h"

LocalVariableEntries::LocalVariableEntries(DataInput& in, int32_t nameIndex, int32_t length, Arena* arena)
    : AttributeInfo(nameIndex, length) {
  const int32_t count = in.readUnsignedShort();
  entries.reserve(count);
  try {
    for (int32_t i = 0; i < count; i++) {
      entries.add(new (arena) LocalVariable(in));
    }
  } catch (...) {  // a truncated table: no destructor runs for a constructor that throws
    entries.deleteElements();
    throw;
  }
}

LocalVariableEntries::~LocalVariableEntries() { entries.deleteElements(); }

void LocalVariableEntries::writeBody(DataOutput& out) const {
  out.writeShort(entries.size);
  for (int32_t i = 0; i < entries.size; i++) entries[i]->write(out);
}

void LocalVariableEntries::validate(int32_t codeLength) const {
  for (int32_t i = 0; i < entries.size; i++) {
    const LocalVariable& entry = *entries[i];
    // Start and length are u2 values here, so their sum cannot overflow.
    if (entry.getStartPc() >= codeLength || entry.getStartPc() + entry.getLength() > codeLength) {
      assertionFailed("assertion failed", "LocalVariableTableAttribute", __LINE__);
    }
  }
}

namespace {

void requireEntries(const YVector<LocalVariable*>& entries) {
  for (int32_t i = 0; i < entries.size; i++) {
    if (entries[i] == nullptr) assertionFailed("assertion failed: value is NULL", "Patchers", 319);
  }
}

}  // namespace

void remapLocalVariables(YVector<LocalVariable*>& entries, const int32_t* positionMap, int32_t oldLength,
                         int32_t newLength) {
  requireEntries(entries);
  for (int32_t i = 0; i < entries.size; i++) {
    const int64_t start = entries[i]->getStartPc();
    if (start >= oldLength || start + entries[i]->getLength() > oldLength) {
      assertionFailed("assertion failed", "Patchers", __LINE__);
    }
  }
  if (entries.size > 0 && positionMap == nullptr) assertionFailed("assertion failed: value is NULL", "Patchers", __LINE__);
  for (int32_t i = 0; i < entries.size; i++) {
    LocalVariable& entry = *entries[i];
    const int32_t end = entry.getStartPc() + entry.getLength();
    const int32_t newStart = positionMap[entry.getStartPc()];
    const int32_t newEnd = end == oldLength ? newLength : positionMap[end];
    entry.setStartPc(newStart);
    entry.setLength(newEnd - newStart);
  }
}

void shiftLocalVariables(YVector<LocalVariable*>& entries, int32_t count) {
  if (count < 1) return;
  requireEntries(entries);
  for (int32_t i = 0; i < entries.size; i++) {
    LocalVariable& entry = *entries[i];
    if (entry.getStartPc() == 0) {
      entry.setLength(entry.getLength() + count);
    } else {
      entry.setStartPc(entry.getStartPc() + count);
    }
  }
}
