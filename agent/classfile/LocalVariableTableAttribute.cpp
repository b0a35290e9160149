#include "agent/classfile/LocalVariableTableAttribute.h"

#include "agent/support/FatalError.h"

LocalVariableEntries::LocalVariableEntries(DataInput& in, int32_t nameIndex, int32_t length)
    : AttributeInfo(nameIndex, length) {
  const int32_t count = in.readUnsignedShort();
  try {
    for (int32_t i = 0; i < count; i++) {
      const LocalVariable entry(in);
      entries.add(new LocalVariable(entry));
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
