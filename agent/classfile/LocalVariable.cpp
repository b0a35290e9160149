#include "agent/classfile/LocalVariable.h"

#include "agent/classfile/ConstantValues.h"
#include "agent/support/FatalError.h"

namespace {

int32_t atLeast(int32_t value, int32_t minimum) {
  if (value < minimum) assertionFailed("assertion failed", "LocalVariable", __LINE__);
  return value;
}

}  // namespace

LocalVariable::LocalVariable(DataInput& in)
    : startPc(in.readUnsignedShort()),
      length(in.readUnsignedShort()),
      nameIndex(atLeast(in.readUnsignedShort(), 1)),
      descriptorIndex(atLeast(in.readUnsignedShort(), 1)),
      index(in.readUnsignedShort()) {}

LocalVariable::LocalVariable(int32_t startPc, int32_t length, int32_t nameIndex, int32_t descriptorIndex,
                             int32_t index)
    : startPc(atLeast(startPc, 0)),
      length(atLeast(length, 0)),
      nameIndex(atLeast(nameIndex, 1)),
      descriptorIndex(atLeast(descriptorIndex, 1)),
      index(atLeast(index, 0)) {}

void LocalVariable::write(DataOutput& out) const {
  out.writeShort(startPc);
  out.writeShort(length);
  out.writeShort(nameIndex);
  out.writeShort(descriptorIndex);
  out.writeShort(index);
}

void LocalVariable::setStartPc(int32_t value) { startPc = atLeast(value, 0); }

void LocalVariable::setLength(int32_t value) { length = atLeast(value, 0); }

const YString& LocalVariable::getName(const ConstantPool& pool) const {
  return constantAt<ConstantUtf8Info>(pool, nameIndex, "LocalVariable", __LINE__).getString();
}
