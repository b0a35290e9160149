#include "agent/classfile/AttributeInfoReader.h"

#include "agent/classfile/AttributeNames.h"
#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/ConstantValues.h"
#include "agent/classfile/LineNumberTableAttribute.h"
#include "agent/classfile/LocalVariableTableAttribute.h"
#include "agent/classfile/SimpleAttributes.h"
#include "agent/classfile/StackMapTableAttribute.h"
#include "agent/support/FatalError.h"

namespace {

AttributeInfo* readBody(DataInput& in, ClassFile* classFile, const ConstantUtf8Info& name, int32_t nameIndex,
                        int32_t length) {
  const AttributeNames& names = attributeNames();
  Arena* arena = classFile == nullptr ? nullptr : &classFile->getArena();
  if (name.equals(names.code)) {
    if (classFile == nullptr) assertionFailed("assertion failed: value is NULL", "AttributeInfoReader", __LINE__);
    return new (arena) CodeAttribute(in, classFile, nameIndex, length);
  }
  if (name.equals(names.constantValue)) return new (arena) ConstantValueAttribute(in, nameIndex, length);
  if (name.equals(names.deprecated)) return new (arena) DeprecatedAttribute(in, nameIndex, length, arena);
  if (name.equals(names.exceptions)) return new (arena) ExceptionsAttribute(in, nameIndex, length);
  if (name.equals(names.innerClasses)) return new (arena) InnerClassesAttribute(in, nameIndex, length, arena);
  if (name.equals(names.lineNumberTable)) return new (arena) LineNumberTableAttribute(in, nameIndex, length, arena);
  if (name.equals(names.localVariableTable)) return new (arena) LocalVariableTableAttribute(in, nameIndex, length, arena);
  if (name.equals(names.localVariableTypeTable)) return new (arena) LocalVariableTypeTableAttribute(in, nameIndex, length, arena);
  if (name.equals(names.sourceFile)) return new (arena) SourceFileAttribute(in, nameIndex, length);
  if (name.equals(names.stackMapTable)) return new (arena) StackMapTableAttribute(in, nameIndex, length, arena);
  if (name.equals(names.synthetic)) return new (arena) SyntheticAttribute(in, nameIndex, length, arena);
  if (name.equals(names.runtimeVisibleAnnotations) || name.equals(names.runtimeInvisibleAnnotations)) {
    return new (arena) AnnotationsAttribute(in, nameIndex, length, arena);
  }
  if (name.equals(names.runtimeInvisibleParameterAnnotations)) {
    return new (arena) ParameterAnnotationsAttribute(in, nameIndex, length, arena);
  }
  return new (arena) UnknownAttribute(in, nameIndex, length, arena);
}

}  // namespace

AttributeInfo* AttributeInfoReader::read(DataInput& in, const ConstantPool& pool, ClassFile* classFile) {
  const int32_t nameIndex = in.readUnsignedShort();
  const int32_t length = in.readInt();
  if (pool[nameIndex] == nullptr) assertionFailed("assertion failed: value is NULL", "AttributeInfoReader", __LINE__);
  const ConstantUtf8Info& name = constantAt<ConstantUtf8Info>(pool, nameIndex, "AttributeInfoReader", __LINE__);
  const int32_t start = in.getPosition();
  AttributeInfo* attribute = readBody(in, classFile, name, nameIndex, length);
  // A body that ends elsewhere than its declared length would leave the rest of the class misread and
  // would be written back with a length that does not describe it.
  if (in.getPosition() - start != length) {
    delete attribute;
    assertionFailed("assertion failed", "AttributeInfoReader", __LINE__);
  }
  return attribute;
}

void AttributeInfoReader::readList(DataInput& in, ClassFile* classFile, YVector<AttributeInfo*>& out) {
  try {
    const int32_t count = in.readUnsignedShort();
    for (int32_t i = 0; i < count; i++) out.add(read(in, classFile->getConstantPool(), classFile));
  } catch (...) {
    out.deleteElements();
    throw;
  }
}
