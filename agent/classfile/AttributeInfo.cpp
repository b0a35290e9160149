#include "agent/classfile/AttributeInfo.h"

#include "agent/classfile/ConstantValues.h"
#include "agent/support/FatalError.h"

AttributeInfo::AttributeInfo(int32_t nameIndex, int32_t length) : nameIndex(nameIndex), length(length) {
  if (nameIndex < 1) assertionFailed("assertion failed", "AttributeInfo", __LINE__);
  if (length < 0) assertionFailed("assertion failed", "AttributeInfo", __LINE__);
}

void AttributeInfo::setLength(int32_t newLength) {
  if (newLength < 0) assertionFailed("assertion failed", "AttributeInfo", __LINE__);
  length = newLength;
}

bool AttributeInfo::hasName(const ConstantPool& pool, const YString& name) const {
  return constantAt<ConstantUtf8Info>(pool, nameIndex, "AttributeInfo", __LINE__).equals(name);
}

void AttributeInfo::validate(int32_t) const {}

void AttributeInfo::write(DataOutput& out) const {
  out.writeShort(nameIndex);
  out.writeInt(length);
  writeBody(out);
}
