#pragma once

#include <cstdint>

#include "agent/classfile/ConstantPoolInfo.h"
#include "agent/support/YString.h"

// The entries that refer to other entries by index. A zero index where one is required, and an index
// argument below 1, are broken invariants ("assertion failed" naming the entry's class). The texts that
// the look-ups return are the Utf8 entries' own.

class ConstantClassInfo : public ConstantPoolInfo {
 public:
  static constexpr uint32_t TAG = CONSTANT_Class;

  explicit ConstantClassInfo(DataInput& in);
  explicit ConstantClassInfo(int32_t nameIndex);

  void write(DataOutput& out) const override;

  bool hasNameIndex(int32_t index) const;
  // The internal class name, for example java/lang/String.
  const YString& getName(const ConstantPool& pool) const;

  const int32_t nameIndex;
};

class ConstantStringInfo : public ConstantPoolInfo {
 public:
  static constexpr uint32_t TAG = CONSTANT_String;

  explicit ConstantStringInfo(DataInput& in);
  explicit ConstantStringInfo(int32_t stringIndex);

  void write(DataOutput& out) const override;

  bool hasStringIndex(int32_t index) const;

  const int32_t stringIndex;
};

class ConstantNameAndTypeInfo : public ConstantPoolInfo {
 public:
  static constexpr uint32_t TAG = CONSTANT_NameAndType;

  explicit ConstantNameAndTypeInfo(DataInput& in);
  ConstantNameAndTypeInfo(int32_t nameIndex, int32_t descriptorIndex);

  void write(DataOutput& out) const override;

  bool equals(int32_t otherNameIndex, int32_t otherDescriptorIndex) const;
  const YString& getName(const ConstantPool& pool) const;
  const YString& getDescriptor(const ConstantPool& pool) const;

  const int32_t nameIndex;
  const int32_t descriptorIndex;
};

// What field, method and interface-method references share: a Class entry and a NameAndType entry.
class ConstantMemberRefInfo : public ConstantPoolInfo {
 public:
  void write(DataOutput& out) const override;

  bool equals(int32_t otherClassIndex, int32_t otherNameAndTypeIndex) const;
  const YString& getClassName(const ConstantPool& pool) const;
  const YString& getName(const ConstantPool& pool) const;
  const YString& getDescriptor(const ConstantPool& pool) const;

  const int32_t classIndex;
  const int32_t nameAndTypeIndex;

 protected:
  // `file` names the concrete class in assertion failures.
  ConstantMemberRefInfo(uint32_t tag, const char* file, DataInput& in);
  ConstantMemberRefInfo(uint32_t tag, const char* file, int32_t classIndex, int32_t nameAndTypeIndex);

 private:
  const ConstantNameAndTypeInfo& nameAndType(const ConstantPool& pool) const;

  const char* const file;
};

class ConstantFieldRefInfo : public ConstantMemberRefInfo {
 public:
  static constexpr uint32_t TAG = CONSTANT_Fieldref;

  explicit ConstantFieldRefInfo(DataInput& in) : ConstantMemberRefInfo(TAG, "ConstantFieldRefInfo", in) {}
  ConstantFieldRefInfo(int32_t classIndex, int32_t nameAndTypeIndex)
      : ConstantMemberRefInfo(TAG, "ConstantFieldRefInfo", classIndex, nameAndTypeIndex) {}
};

class ConstantMethodRefInfo : public ConstantMemberRefInfo {
 public:
  static constexpr uint32_t TAG = CONSTANT_Methodref;

  explicit ConstantMethodRefInfo(DataInput& in) : ConstantMemberRefInfo(TAG, "ConstantMethodRefInfo", in) {}
  ConstantMethodRefInfo(int32_t classIndex, int32_t nameAndTypeIndex)
      : ConstantMemberRefInfo(TAG, "ConstantMethodRefInfo", classIndex, nameAndTypeIndex) {}
};

class ConstantInterfaceMethodRefInfo : public ConstantMemberRefInfo {
 public:
  static constexpr uint32_t TAG = CONSTANT_InterfaceMethodref;

  explicit ConstantInterfaceMethodRefInfo(DataInput& in)
      : ConstantMemberRefInfo(TAG, "ConstantInterfaceMethodRefInfo", in) {}
};

class ConstantMethodHandleInfo : public ConstantPoolInfo {
 public:
  static constexpr uint32_t TAG = CONSTANT_MethodHandle;

  // The reference kind must be 1 to 9.
  explicit ConstantMethodHandleInfo(DataInput& in);

  void write(DataOutput& out) const override;

  const int32_t referenceKind;
  const int32_t referenceIndex;
};

class ConstantMethodTypeInfo : public ConstantPoolInfo {
 public:
  static constexpr uint32_t TAG = CONSTANT_MethodType;

  explicit ConstantMethodTypeInfo(DataInput& in) : ConstantPoolInfo(TAG), descriptorIndex(in.readUnsignedShort()) {}

  void write(DataOutput& out) const override;

  const int32_t descriptorIndex;
};

class ConstantInvokeDynamicInfo : public ConstantPoolInfo {
 public:
  static constexpr uint32_t TAG = CONSTANT_InvokeDynamic;

  explicit ConstantInvokeDynamicInfo(DataInput& in);

  void write(DataOutput& out) const override;

  // An index into the class's BootstrapMethods attribute, where 0 is a real index.
  const int32_t bootstrapMethodAttrIndex;
  const int32_t nameAndTypeIndex;
};
