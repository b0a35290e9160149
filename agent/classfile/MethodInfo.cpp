#include "agent/classfile/MethodInfo.h"

#include "agent/classfile/AnnotationReaders.h"
#include "agent/classfile/AttributeInfoReader.h"
#include "agent/classfile/AttributeNames.h"
#include "agent/classfile/CheckedWrites.h"
#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/ConstantValues.h"
#include "agent/classfile/SimpleAttributes.h"
#include "agent/support/FatalError.h"

namespace {

[[noreturn]] void fail(int32_t line) { assertionFailed("assertion failed", "MethodInfo", line); }

void requireNotNull(const void* value, int32_t line) {
  if (value == nullptr) assertionFailed("assertion failed: value is NULL", "MethodInfo", line);
}

int32_t positiveIndex(int32_t index, int32_t line) {
  if (index < 1) fail(line);
  return index;
}

ClassFile* givenClassFile(ClassFile* classFile, int32_t line) {
  requireNotNull(classFile, line);
  return classFile;
}

// A Code attribute that tracks frames goes out with a "StackMapTable" built from them, which is taken out
// again afterwards, also when the write fails part-way. Such an attribute dropped the table it was read
// with, so any table it holds is the built one.
void writeCode(CodeAttribute& code, DataOutput& out) {
  code.buildStackMapTable();
  try {
    code.write(out);
  } catch (...) {
    if (code.tracksFrames()) code.removeAttribute(attributeNames().stackMapTable);
    throw;
  }
  if (code.tracksFrames()) code.removeAttribute(attributeNames().stackMapTable);
}

CodeAttribute* asCode(AttributeInfo* attribute, const ConstantPool& pool) {
  auto* code = attributeAs<CodeAttribute>(attribute);
  return code != nullptr && code->hasName(pool, attributeNames().code) ? code : nullptr;
}

}  // namespace

MethodInfo::MethodInfo(DataInput& in, ClassFile* classFile)
    : accessFlags(in.readUnsignedShort()), nameIndex(positiveIndex(in.readUnsignedShort(), __LINE__)),
      descriptorIndex(positiveIndex(in.readUnsignedShort(), __LINE__)), classFile(givenClassFile(classFile, __LINE__)) {
  AttributeInfoReader::readList(in, classFile, attributes);
}

MethodInfo::MethodInfo(int32_t accessFlags, int32_t nameIndex, int32_t descriptorIndex, ClassFile* classFile)
    : accessFlags(accessFlags), nameIndex(positiveIndex(nameIndex, __LINE__)),
      descriptorIndex(positiveIndex(descriptorIndex, __LINE__)), classFile(givenClassFile(classFile, __LINE__)) {
  if (accessFlags < 0) fail(__LINE__);
}

MethodInfo::~MethodInfo() { attributes.deleteElements(); }

const ConstantPool& MethodInfo::pool() const { return classFile->getConstantPool(); }

void MethodInfo::write(DataOutput& out) const {
  out.writeShort(accessFlags);
  out.writeShort(nameIndex);
  out.writeShort(descriptorIndex);
  writeU2(out, attributes.size, "MethodInfo", __LINE__);
  for (int32_t i = 0; i < attributes.size; i++) {
    if (CodeAttribute* code = asCode(attributes[i], pool())) {
      writeCode(*code, out);
    } else {
      attributes[i]->write(out);
    }
  }
}

const YString& MethodInfo::getName() const { return getNameEntry().getString(); }

const YString& MethodInfo::getDescriptor() const { return getDescriptorEntry().getString(); }

const ConstantUtf8Info& MethodInfo::getNameEntry() const {
  return constantAt<ConstantUtf8Info>(pool(), nameIndex, "MethodInfo", __LINE__);
}

const ConstantUtf8Info& MethodInfo::getDescriptorEntry() const {
  return constantAt<ConstantUtf8Info>(pool(), descriptorIndex, "MethodInfo", __LINE__);
}

YString MethodInfo::getReturnType() const { return getDescriptor().substringAfterLast(')'); }

bool MethodInfo::returnsVoid() const {
  const YString& descriptor = getDescriptor();
  return descriptor.length >= 2 && descriptor.data[descriptor.length - 2] == ')' &&
         descriptor.data[descriptor.length - 1] == 'V';
}

void MethodInfo::getArgumentTypes(YVector<YString>& out) const { parseArgumentTypes(getDescriptor(), out); }

bool MethodInfo::hasNameAndDescriptor(int32_t otherNameIndex, int32_t otherDescriptorIndex) const {
  if (otherNameIndex < 1 || otherDescriptorIndex < 1) fail(__LINE__);
  return nameIndex == otherNameIndex && descriptorIndex == otherDescriptorIndex;
}

CodeAttribute* MethodInfo::getCodeAttribute() const {
  for (int32_t i = 0; i < attributes.size; i++) {
    if (CodeAttribute* code = asCode(attributes[i], pool())) return code;
  }
  return nullptr;
}

CodeAttribute* MethodInfo::addCodeAttribute() {
  const int32_t nameIndex = classFile->getOrAddUtf8(attributeNames().code);
  auto* code = new (&classFile->getArena()) CodeAttribute(classFile, nameIndex);
  try {
    attributes.add(code);
  } catch (...) {
    delete code;
    throw;
  }
  return code;
}

bool MethodInfo::hasAnnotationMatching(const YString& pattern) const {
  return ::hasAnnotationMatching(pattern, attributes, pool());
}

void MethodInfo::getParameters(YVector<CallbackParameter>& out) const {
  YVector<YString> types;
  getArgumentTypes(types);
  for (int32_t i = 0; i < attributes.size; i++) {
    if (!attributes[i]->hasName(pool(), attributeNames().runtimeInvisibleParameterAnnotations)) continue;
    const auto* annotations = attributeAs<const ParameterAnnotationsAttribute>(attributes[i]);
    if (annotations == nullptr) fail(__LINE__);
    readProbeParameterAnnotations(*annotations, pool(), types, &out);
    return;
  }
  for (int32_t i = 0; i < types.size; i++) {
    CallbackParameter parameter;
    parameter.type = types[i];
    out.add(parameter);
  }
}

void MethodInfo::getExceptionClassNames(YVector<YString>* out) const {
  requireNotNull(out, __LINE__);
  for (int32_t i = 0; i < attributes.size; i++) {
    if (!attributes[i]->hasName(pool(), attributeNames().exceptions)) continue;
    const auto* exceptions = attributeAs<const ExceptionsAttribute>(attributes[i]);
    if (exceptions == nullptr) fail(__LINE__);
    exceptions->getClassNames(&pool(), out);
  }
}

void MethodInfo::initStackMapFrames() {
  if (CodeAttribute* code = getCodeAttribute()) code->initStackMapFrames(classFile, this);
}

void MethodInfo::copyAttributesFrom(const MethodInfo* other) {
  requireNotNull(other, __LINE__);
  // The copies keep the other method's pool indices.
  if (other->classFile != classFile) fail(__LINE__);
  YVector<uint8_t> bytes(256);
  DataOutput out(bytes);
  other->write(out);
  DataInput in(bytes);
  in.readUnsignedShort();  // flags
  in.readUnsignedShort();  // name
  in.readUnsignedShort();  // descriptor
  YVector<AttributeInfo*> copies;
  AttributeInfoReader::readList(in, classFile, copies);
  attributes.deleteElements();
  attributes = copies;
}

int32_t argumentTypeEnd(const char* descriptor, int32_t length, int32_t start) {
  int32_t i = start;
  while (descriptor[i] == '[') i++;  // ends at the last ")" at the latest
  if (descriptor[i] != 'L') return i;
  for (i++; i < length; i++) {
    if (descriptor[i] == ';') return i;
  }
  fail(__LINE__);
}

void parseArgumentTypes(const YString& descriptor, YVector<YString>& out) {
  forEachArgumentType(descriptor.data, descriptor.length,
                      [&out](const char* type, int32_t length) { out.add(YString::copyOf(type, length)); });
}
