#include "agent/classfile/ConstantReferences.h"

#include "agent/classfile/ConstantValues.h"

namespace {

// An index read from the file or given by a caller that must name an entry.
int32_t positive(int32_t index, const char* file, int32_t line) {
  if (index < 1) assertionFailed("assertion failed", file, line);
  return index;
}

void writeIndex(DataOutput& out, uint32_t tag, int32_t index) {
  out.writeByte(int32_t(tag));
  out.writeShort(index);
}

void writeIndexPair(DataOutput& out, uint32_t tag, int32_t first, int32_t second) {
  writeIndex(out, tag, first);
  out.writeShort(second);
}

}  // namespace

ConstantClassInfo::ConstantClassInfo(DataInput& in)
    : ConstantPoolInfo(TAG), nameIndex(positive(in.readUnsignedShort(), "ConstantClassInfo", __LINE__)) {}

ConstantClassInfo::ConstantClassInfo(int32_t nameIndex)
    : ConstantPoolInfo(TAG), nameIndex(positive(nameIndex, "ConstantClassInfo", __LINE__)) {}

void ConstantClassInfo::write(DataOutput& out) const { writeIndex(out, tag, nameIndex); }

bool ConstantClassInfo::hasNameIndex(int32_t index) const {
  return positive(index, "ConstantClassInfo", __LINE__) == nameIndex;
}

const YString& ConstantClassInfo::getName(const ConstantPool& pool) const {
  return constantAt<ConstantUtf8Info>(pool, nameIndex, "ConstantClassInfo", __LINE__).getString();
}

ConstantStringInfo::ConstantStringInfo(DataInput& in)
    : ConstantPoolInfo(TAG), stringIndex(positive(in.readUnsignedShort(), "ConstantStringInfo", __LINE__)) {}

ConstantStringInfo::ConstantStringInfo(int32_t stringIndex)
    : ConstantPoolInfo(TAG), stringIndex(positive(stringIndex, "ConstantStringInfo", __LINE__)) {}

void ConstantStringInfo::write(DataOutput& out) const { writeIndex(out, tag, stringIndex); }

bool ConstantStringInfo::hasStringIndex(int32_t index) const {
  return positive(index, "ConstantStringInfo", __LINE__) == stringIndex;
}

ConstantNameAndTypeInfo::ConstantNameAndTypeInfo(DataInput& in)
    : ConstantPoolInfo(TAG),
      nameIndex(positive(in.readUnsignedShort(), "ConstantNameAndTypeInfo", __LINE__)),
      descriptorIndex(positive(in.readUnsignedShort(), "ConstantNameAndTypeInfo", __LINE__)) {}

ConstantNameAndTypeInfo::ConstantNameAndTypeInfo(int32_t nameIndex, int32_t descriptorIndex)
    : ConstantPoolInfo(TAG),
      nameIndex(positive(nameIndex, "ConstantNameAndTypeInfo", __LINE__)),
      descriptorIndex(positive(descriptorIndex, "ConstantNameAndTypeInfo", __LINE__)) {}

void ConstantNameAndTypeInfo::write(DataOutput& out) const {
  writeIndexPair(out, tag, nameIndex, descriptorIndex);
}

bool ConstantNameAndTypeInfo::equals(int32_t otherNameIndex, int32_t otherDescriptorIndex) const {
  positive(otherNameIndex, "ConstantNameAndTypeInfo", __LINE__);
  positive(otherDescriptorIndex, "ConstantNameAndTypeInfo", __LINE__);
  return nameIndex == otherNameIndex && descriptorIndex == otherDescriptorIndex;
}

const YString& ConstantNameAndTypeInfo::getName(const ConstantPool& pool) const {
  return constantAt<ConstantUtf8Info>(pool, nameIndex, "ConstantNameAndTypeInfo", __LINE__).getString();
}

const YString& ConstantNameAndTypeInfo::getDescriptor(const ConstantPool& pool) const {
  return constantAt<ConstantUtf8Info>(pool, descriptorIndex, "ConstantNameAndTypeInfo", __LINE__).getString();
}

ConstantMemberRefInfo::ConstantMemberRefInfo(uint32_t tag, const char* file, DataInput& in)
    : ConstantPoolInfo(tag),
      classIndex(positive(in.readUnsignedShort(), file, __LINE__)),
      nameAndTypeIndex(positive(in.readUnsignedShort(), file, __LINE__)),
      file(file) {}

ConstantMemberRefInfo::ConstantMemberRefInfo(uint32_t tag, const char* file, int32_t classIndex,
                                             int32_t nameAndTypeIndex)
    : ConstantPoolInfo(tag),
      classIndex(positive(classIndex, file, __LINE__)),
      nameAndTypeIndex(positive(nameAndTypeIndex, file, __LINE__)),
      file(file) {}

void ConstantMemberRefInfo::write(DataOutput& out) const {
  writeIndexPair(out, tag, classIndex, nameAndTypeIndex);
}

bool ConstantMemberRefInfo::equals(int32_t otherClassIndex, int32_t otherNameAndTypeIndex) const {
  positive(otherClassIndex, file, __LINE__);
  positive(otherNameAndTypeIndex, file, __LINE__);
  return classIndex == otherClassIndex && nameAndTypeIndex == otherNameAndTypeIndex;
}

const YString& ConstantMemberRefInfo::getClassName(const ConstantPool& pool) const {
  return constantAt<ConstantClassInfo>(pool, classIndex, file, __LINE__).getName(pool);
}

const YString& ConstantMemberRefInfo::getName(const ConstantPool& pool) const {
  return nameAndType(pool).getName(pool);
}

const YString& ConstantMemberRefInfo::getDescriptor(const ConstantPool& pool) const {
  return nameAndType(pool).getDescriptor(pool);
}

const ConstantNameAndTypeInfo& ConstantMemberRefInfo::nameAndType(const ConstantPool& pool) const {
  return constantAt<ConstantNameAndTypeInfo>(pool, nameAndTypeIndex, file, __LINE__);
}

ConstantMethodHandleInfo::ConstantMethodHandleInfo(DataInput& in)
    : ConstantPoolInfo(TAG), referenceKind(in.readUnsignedByte()), referenceIndex(in.readUnsignedShort()) {
  if (referenceKind < 1 || referenceKind > 9) assertionFailed("assertion failed", "ConstantMethodHandleInfo", __LINE__);
}

void ConstantMethodHandleInfo::write(DataOutput& out) const {
  out.writeByte(int32_t(tag));
  out.writeByte(referenceKind);
  out.writeShort(referenceIndex);
}

void ConstantMethodTypeInfo::write(DataOutput& out) const { writeIndex(out, tag, descriptorIndex); }

ConstantInvokeDynamicInfo::ConstantInvokeDynamicInfo(DataInput& in)
    : ConstantPoolInfo(TAG),
      bootstrapMethodAttrIndex(in.readUnsignedShort()),
      nameAndTypeIndex(in.readUnsignedShort()) {}

void ConstantInvokeDynamicInfo::write(DataOutput& out) const {
  writeIndexPair(out, tag, bootstrapMethodAttrIndex, nameAndTypeIndex);
}
