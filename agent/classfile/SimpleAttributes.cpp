#include "agent/classfile/SimpleAttributes.h"

#include "agent/classfile/ConstantReferences.h"
#include "agent/classfile/ConstantValues.h"
#include "agent/support/FatalError.h"

namespace {

int32_t positiveIndex(int32_t index) {
  if (index < 1) assertionFailed("assertion failed", "ConstantValueAttribute", __LINE__);
  return index;
}

}  // namespace

ConstantValueAttribute::ConstantValueAttribute(DataInput& in, int32_t nameIndex, int32_t length)
    : AttributeInfo(nameIndex, length), constantIndex(positiveIndex(in.readUnsignedShort())) {}

void ConstantValueAttribute::writeBody(DataOutput& out) const { out.writeShort(constantIndex); }

ExceptionsAttribute::ExceptionsAttribute(DataInput& in, int32_t nameIndex, int32_t length)
    : AttributeInfo(nameIndex, length) {
  const int32_t count = in.readUnsignedShort();
  for (int32_t i = 0; i < count; i++) classIndices.add(in.readUnsignedShort());
}

void ExceptionsAttribute::writeBody(DataOutput& out) const {
  out.writeShort(classIndices.size);
  for (int32_t i = 0; i < classIndices.size; i++) out.writeShort(classIndices[i]);
}

void ExceptionsAttribute::getClassNames(const ConstantPool* pool, YVector<YString>* out) const {
  if (pool == nullptr || out == nullptr) {
    assertionFailed("assertion failed: value is NULL", "ExceptionsAttribute", __LINE__);
  }
  for (int32_t i = 0; i < classIndices.size; i++) {
    if ((*pool)[classIndices[i]] == nullptr) {
      assertionFailed("assertion failed: value is NULL", "ExceptionsAttribute", __LINE__);
    }
    out->add(constantAt<ConstantClassInfo>(*pool, classIndices[i], "ExceptionsAttribute", __LINE__).getName(*pool));
  }
}

InnerClassesAttribute::InnerClassesAttribute(DataInput& in, int32_t nameIndex, int32_t length, Arena* arena)
    : AttributeInfo(nameIndex, length) {
  const int32_t count = in.readUnsignedShort();
  try {
    for (int32_t i = 0; i < count; i++) {
      Classes record;
      record.innerClassIndex = in.readUnsignedShort();
      record.outerClassIndex = in.readUnsignedShort();
      record.innerNameIndex = in.readUnsignedShort();
      record.innerAccessFlags = in.readUnsignedShort();
      classes.add(new (arena) Classes(record));
    }
  } catch (...) {  // a truncated table: no destructor runs for a constructor that throws
    classes.deleteElements();
    throw;
  }
}

InnerClassesAttribute::~InnerClassesAttribute() { classes.deleteElements(); }

void InnerClassesAttribute::writeBody(DataOutput& out) const {
  out.writeShort(classes.size);
  for (int32_t i = 0; i < classes.size; i++) {
    out.writeShort(classes[i]->innerClassIndex);
    out.writeShort(classes[i]->outerClassIndex);
    out.writeShort(classes[i]->innerNameIndex);
    out.writeShort(classes[i]->innerAccessFlags);
  }
}

void InnerClassesAttribute::getInnerClassNames(const ConstantPool& pool, int32_t thisClassIndex,
                                               YVector<YString>& out) const {
  for (int32_t i = 0; i < classes.size; i++) {
    const Classes& record = *classes[i];
    if (record.outerClassIndex != thisClassIndex && record.outerClassIndex != 0) continue;
    if (record.innerClassIndex == thisClassIndex) continue;
    const YString& name =
        constantAt<ConstantClassInfo>(pool, record.innerClassIndex, "InnerClassesAttribute", __LINE__).getName(pool);
    out.add(name.replaceAll("/", "."));
  }
}

SourceFileAttribute::SourceFileAttribute(DataInput& in, int32_t nameIndex, int32_t length)
    : AttributeInfo(nameIndex, length), sourceFileIndex(in.readUnsignedShort()) {}

void SourceFileAttribute::writeBody(DataOutput& out) const { out.writeShort(sourceFileIndex); }

const YString& SourceFileAttribute::getSourceFile(const ConstantPool& pool) const {
  return constantAt<ConstantUtf8Info>(pool, sourceFileIndex, "SourceFileAttribute", __LINE__).getString();
}

void RawBytesAttribute::writeBody(DataOutput& out) const { out.write(bytes.get(), getLength()); }
