#include "agent/classfile/FieldInfo.h"

#include "agent/classfile/AttributeInfoReader.h"
#include "agent/classfile/CheckedWrites.h"
#include "agent/classfile/ClassFile.h"
#include "agent/support/FatalError.h"

namespace {

[[noreturn]] void fail(int32_t line) { assertionFailed("assertion failed", "FieldInfo", line); }

int32_t positiveIndex(int32_t index, int32_t line) {
  if (index < 1) fail(line);
  return index;
}

}  // namespace

FieldInfo::FieldInfo(DataInput& in, ClassFile* classFile) {
  if (classFile == nullptr) assertionFailed("assertion failed: value is NULL", "FieldInfo", __LINE__);
  accessFlags = in.readUnsignedShort();
  nameIndex = positiveIndex(in.readUnsignedShort(), __LINE__);
  descriptorIndex = positiveIndex(in.readUnsignedShort(), __LINE__);
  AttributeInfoReader::readList(in, classFile, attributes);
}

FieldInfo::FieldInfo(int32_t accessFlags, int32_t nameIndex, int32_t descriptorIndex)
    : nameIndex(positiveIndex(nameIndex, __LINE__)), descriptorIndex(positiveIndex(descriptorIndex, __LINE__)),
      accessFlags(accessFlags) {
  if (accessFlags < 0) fail(__LINE__);
}

FieldInfo::~FieldInfo() { attributes.deleteElements(); }

void FieldInfo::write(DataOutput& out) const {
  out.writeShort(accessFlags);
  out.writeShort(nameIndex);
  out.writeShort(descriptorIndex);
  writeU2(out, attributes.size, "FieldInfo", __LINE__);
  for (int32_t i = 0; i < attributes.size; i++) attributes[i]->write(out);
}

bool FieldInfo::hasNameIndex(int32_t index) const {
  if (index < 1) fail(__LINE__);
  return nameIndex == index;
}
