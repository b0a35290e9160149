#include "agent/classfile/AttributeInfo.h"

#include <cstring>

#include "agent/classfile/ConstantValues.h"
#include "agent/support/FatalError.h"

BodyBytes::BodyBytes(const uint8_t* body, int32_t length, Arena* arena) : bytes(nullptr), onHeap(arena == nullptr) {
  if (length < 0) assertionFailed("assertion failed", "AttributeInfo", __LINE__);
  if (!onHeap) {
    bytes = arena->copy(body, size_t(length));
    return;
  }
  bytes = new uint8_t[size_t(length) + 1];
  if (length > 0) std::memcpy(bytes, body, size_t(length));
}

BodyBytes::~BodyBytes() {
  if (onHeap) delete[] bytes;
}

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
