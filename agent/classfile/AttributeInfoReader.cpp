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

AttributeInfo* readBody(DataInput& in, ClassFile* classFile, const YString& name, int32_t nameIndex, int32_t length) {
  const AttributeNames& names = attributeNames();
  if (name.equals(names.code)) {
    if (classFile == nullptr) assertionFailed("assertion failed: value is NULL", "AttributeInfoReader", __LINE__);
    return new CodeAttribute(in, classFile, nameIndex, length);
  }
  if (name.equals(names.constantValue)) return new ConstantValueAttribute(in, nameIndex, length);
  if (name.equals(names.deprecated)) return new DeprecatedAttribute(in, nameIndex, length);
  if (name.equals(names.exceptions)) return new ExceptionsAttribute(in, nameIndex, length);
  if (name.equals(names.innerClasses)) return new InnerClassesAttribute(in, nameIndex, length);
  if (name.equals(names.lineNumberTable)) return new LineNumberTableAttribute(in, nameIndex, length);
  if (name.equals(names.localVariableTable)) return new LocalVariableTableAttribute(in, nameIndex, length);
  if (name.equals(names.localVariableTypeTable)) return new LocalVariableTypeTableAttribute(in, nameIndex, length);
  if (name.equals(names.sourceFile)) return new SourceFileAttribute(in, nameIndex, length);
  if (name.equals(names.stackMapTable)) return new StackMapTableAttribute(in, nameIndex, length);
  if (name.equals(names.synthetic)) return new SyntheticAttribute(in, nameIndex, length);
  if (name.equals(names.runtimeVisibleAnnotations) || name.equals(names.runtimeInvisibleAnnotations)) {
    return new AnnotationsAttribute(in, nameIndex, length);
  }
  if (name.equals(names.runtimeInvisibleParameterAnnotations)) {
    return new ParameterAnnotationsAttribute(in, nameIndex, length);
  }
  return new UnknownAttribute(in, nameIndex, length);
}

}  // namespace

AttributeInfo* AttributeInfoReader::read(DataInput& in, const ConstantPool& pool, ClassFile* classFile) {
  const int32_t nameIndex = in.readUnsignedShort();
  const int32_t length = in.readInt();
  if (pool[nameIndex] == nullptr) assertionFailed("assertion failed: value is NULL", "AttributeInfoReader", __LINE__);
  const YString& name = constantAt<ConstantUtf8Info>(pool, nameIndex, "AttributeInfoReader", __LINE__).getString();
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
