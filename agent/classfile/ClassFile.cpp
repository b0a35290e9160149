#include "agent/classfile/ClassFile.h"

#include "agent/classfile/AnnotationReaders.h"
#include "agent/classfile/AttributeInfoReader.h"
#include "agent/classfile/AttributeNames.h"
#include "agent/classfile/CheckedWrites.h"
#include "agent/classfile/ConstantReferences.h"
#include "agent/classfile/ConstantValues.h"
#include "agent/classfile/SimpleAttributes.h"
#include "agent/support/FatalError.h"

namespace {

constexpr int32_t FIRST_FRAMES_VERSION = 50;

[[noreturn]] void fail(int32_t line) { assertionFailed("assertion failed", "ClassFile", line); }

void requireNotNull(const void* value, int32_t line) {
  if (value == nullptr) assertionFailed("assertion failed: value is NULL", "ClassFile", line);
}

bool isWide(const ConstantPoolInfo* entry) {
  return entry->tag == CONSTANT_Long || entry->tag == CONSTANT_Double;
}

// `text` with every occurrence of `search` (not empty) replaced, left to right.
YString replaced(const YString& text, const YString& search, const YString& replacement) {
  YString result;
  int32_t j = 0;
  while (j < text.length) {
    const int32_t hit = YString::search(text.data + j, text.length - j, search.data, search.length);
    if (hit < 0) break;
    result.append(text.substring(j, j + hit));
    result.append(replacement);
    j += hit + search.length;
  }
  result.append(text.substringFrom(j));
  return result;
}

bool isTemplateName(const YString& name) {
  return name.length >= 2 && name.data[0] == '$' && name.data[1] == '$' && name.data[name.length - 2] == '$' &&
         name.data[name.length - 1] == '$';
}

}  // namespace

ClassFile::ClassFile(DataInput& in, FrameExpansion frames) {
  try {
    const int32_t start = in.getPosition();
    parse(in);
    parsedLength = in.getPosition() - start;
    if (frames == FrameExpansion::atParse) expandFrames();
  } catch (...) {
    release();  // no destructor runs for a constructor that throws
    throw;
  }
}

ClassFile::~ClassFile() { release(); }

void ClassFile::release() {
  // Only a Utf8 entry owns memory (its text); the others in the arena need no delete.
  for (int32_t i = 0; i < constantPool.size; i++) {
    ConstantPoolInfo* entry = constantPool.data[i];
    if (entry != nullptr && (entry->tag == CONSTANT_Utf8 || !ArenaAllocated::inArena(entry))) delete entry;
  }
  constantPool.size = 0;
  attributes.deleteElements();
  methods.deleteElements();
  fields.deleteElements();
}

void ClassFile::parse(DataInput& in) {
  magic = uint32_t(in.readInt());
  minorVersion = in.readUnsignedShort();
  majorVersion = in.readUnsignedShort();

  const int32_t count = in.readUnsignedShort();
  // Room for the entries an editor adds, so that the first of them does not copy the pool.
  constantPool.reserveForWriting(count + 32);
  constantPool.add(nullptr);
  for (int32_t i = 1; i < count;) {
    ConstantPoolInfo* entry = ConstantPoolInfo::read(in, &arena);
    if (entry == nullptr) {
      parseFailed = true;
      return;
    }
    append(entry);
    if (isWide(entry)) {
      constantPool.add(nullptr);
      i += 2;
    } else {
      i++;
    }
  }

  accessFlags = in.readUnsignedShort();
  thisClassIndex = in.readUnsignedShort();
  if (thisClassIndex < 1) fail(__LINE__);
  superClassIndex = in.readUnsignedShort();
  const int32_t interfaceCount = in.readUnsignedShort();
  for (int32_t i = 0; i < interfaceCount; i++) {
    const int32_t index = in.readUnsignedShort();
    if (index < 1) fail(__LINE__);
    interfaces.add(index);
  }

  const int32_t fieldCount = in.readUnsignedShort();
  fields.reserveForWriting(fieldCount);
  for (int32_t i = 0; i < fieldCount; i++) fields.add(new (&arena) FieldInfo(in, this));
  const int32_t methodCount = in.readUnsignedShort();
  methods.reserveForWriting(methodCount);
  for (int32_t i = 0; i < methodCount; i++) methods.add(new (&arena) MethodInfo(in, this));
  const int32_t attributeCount = in.readUnsignedShort();
  for (int32_t i = 0; i < attributeCount; i++) attributes.add(AttributeInfoReader::read(in, constantPool, this));
  framesPending = majorVersion >= FIRST_FRAMES_VERSION;
}

void ClassFile::expandFrames() {
  if (!framesPending) return;
  framesPending = false;
  for (int32_t i = 0; i < methods.size; i++) methods[i]->initStackMapFrames();
}

void ClassFile::write(DataOutput& out) const {
  // A write refused part-way takes back what it appended.
  const int32_t start = out.size();
  // Instrumentation makes a class up to about half as large again.
  out.reserve(parsedLength + parsedLength / 2 + 256);
  try {
    writeClass(out);
  } catch (...) {
    out.truncate(start);
    throw;
  }
}

void ClassFile::writeClass(DataOutput& out) const {
  out.writeInt(int32_t(magic));
  out.writeShort(minorVersion);
  out.writeShort(majorVersion);
  writeU2(out, constantPool.size, "ClassFile", __LINE__);
  for (int32_t i = 1; i < constantPool.size; i++) {
    const ConstantPoolInfo* entry = constantPool[i];
    requireNotNull(entry, __LINE__);
    entry->write(out);
    if (isWide(entry)) i++;
  }
  out.writeShort(accessFlags);
  out.writeShort(thisClassIndex);
  out.writeShort(superClassIndex);
  writeU2(out, interfaces.size, "ClassFile", __LINE__);
  for (int32_t i = 0; i < interfaces.size; i++) out.writeShort(interfaces[i]);
  writeU2(out, fields.size, "ClassFile", __LINE__);
  for (int32_t i = 0; i < fields.size; i++) fields[i]->write(out);
  writeU2(out, methods.size, "ClassFile", __LINE__);
  for (int32_t i = 0; i < methods.size; i++) methods[i]->write(out);
  writeU2(out, attributes.size, "ClassFile", __LINE__);
  for (int32_t i = 0; i < attributes.size; i++) attributes[i]->write(out);
}

int32_t ClassFile::append(ConstantPoolInfo* entry) {
  const int32_t index = constantPool.size;
  try {
    constantPool.add(entry);
  } catch (...) {
    delete entry;
    throw;
  }
  return index;
}

int32_t ClassFile::getOrAddUtf8(const char* text, int32_t length) {
  const int32_t found = poolIndex.findUtf8(constantPool, text, length);
  return found > 0 ? found : append(new (&arena) ConstantUtf8Info(text, length, arena));
}

int32_t ClassFile::getOrAddClass(int32_t nameIndex) {
  if (nameIndex < 1) fail(__LINE__);
  const int32_t found = poolIndex.findReference(constantPool, CONSTANT_Class, nameIndex, 0);
  return found > 0 ? found : append(new (&arena) ConstantClassInfo(nameIndex));
}

int32_t ClassFile::getOrAddString(const YString& text) {
  const int32_t utf8 = getOrAddUtf8(text);
  const int32_t found = poolIndex.findReference(constantPool, CONSTANT_String, utf8, 0);
  return found > 0 ? found : append(new (&arena) ConstantStringInfo(utf8));
}

int32_t ClassFile::getOrAddNameAndType(int32_t nameIndex, int32_t descriptorIndex) {
  if (nameIndex < 1 || descriptorIndex < 1) fail(__LINE__);
  const int32_t found = poolIndex.findReference(constantPool, CONSTANT_NameAndType, nameIndex, descriptorIndex);
  return found > 0 ? found : append(new (&arena) ConstantNameAndTypeInfo(nameIndex, descriptorIndex));
}

int32_t ClassFile::getOrAddMethodRef(int32_t classIndex, int32_t nameIndex, int32_t descriptorIndex) {
  if (classIndex < 1) fail(__LINE__);
  const int32_t nameAndType = getOrAddNameAndType(nameIndex, descriptorIndex);
  const int32_t found = poolIndex.findReference(constantPool, CONSTANT_Methodref, classIndex, nameAndType);
  return found > 0 ? found : append(new (&arena) ConstantMethodRefInfo(classIndex, nameAndType));
}

int32_t ClassFile::getOrAddInteger(int32_t value) {
  const int32_t found = poolIndex.findNumber(constantPool, CONSTANT_Integer, value);
  return found > 0 ? found : append(new (&arena) ConstantIntInfo(value));
}

int32_t ClassFile::getOrAddLong(int64_t value) {
  const int32_t found = poolIndex.findNumber(constantPool, CONSTANT_Long, value);
  if (found > 0) return found;
  const int32_t index = append(new (&arena) ConstantLongInfo(value));
  constantPool.add(nullptr);
  return index;
}

int32_t ClassFile::getOrAddMethod(const YString& name, const YString& descriptor, int32_t flags) {
  if (flags < 0) fail(__LINE__);
  const int32_t nameIndex = getOrAddUtf8(name);
  const int32_t descriptorIndex = getOrAddUtf8(descriptor);
  for (int32_t i = 0; i < methods.size; i++) {
    if (methods[i]->hasNameAndDescriptor(nameIndex, descriptorIndex)) return i;
  }
  auto* method = new (&arena) MethodInfo(flags, nameIndex, descriptorIndex, this);
  try {
    methods.add(method);
  } catch (...) {
    delete method;
    throw;
  }
  return methods.size - 1;
}

MethodInfo* ClassFile::findMethod(const YString& name, const YString& descriptor) const {
  for (int32_t i = 0; i < methods.size; i++) {
    if (methods[i]->getName().equals(name) && methods[i]->getDescriptor().equals(descriptor)) return methods[i];
  }
  return nullptr;
}

MethodInfo* ClassFile::findMethodByName(const YString& name, bool* several) const {
  requireNotNull(several, __LINE__);
  *several = false;
  MethodInfo* found = nullptr;
  for (int32_t i = 0; i < methods.size; i++) {
    if (!methods[i]->getName().equals(name)) continue;
    if (found != nullptr) {
      *several = true;
      break;
    }
    found = methods[i];
  }
  return found;
}

const YString& ClassFile::getClassNameAt(int32_t index) const {
  requireNotNull(constantPool[index], __LINE__);
  return constantAt<ConstantClassInfo>(constantPool, index, "ClassFile", __LINE__).getName(constantPool);
}

const YString& ClassFile::getThisClassName() const { return getClassNameAt(thisClassIndex); }

const YString* ClassFile::getSuperClassName() const {
  return superClassIndex == 0 ? nullptr : &getClassNameAt(superClassIndex);
}

bool ClassFile::implementsInterface(const YString& name) const {
  for (int32_t i = 0; i < interfaces.size; i++) {
    if (constantAt<ConstantClassInfo>(constantPool, interfaces[i], "ClassFile", __LINE__).getName(constantPool).equals(name)) {
      return true;
    }
  }
  return false;
}

AttributeInfo* ClassFile::firstAttributeNamed(const YString& name) const {
  for (int32_t i = 0; i < attributes.size; i++) {
    if (attributes[i]->hasName(constantPool, name)) return attributes[i];
  }
  return nullptr;
}

YString ClassFile::getSourceFileName() const {
  const auto* sourceFile = attributeAs<const SourceFileAttribute>(firstAttributeNamed(attributeNames().sourceFile));
  return sourceFile == nullptr ? YString() : sourceFile->getSourceFile(constantPool);
}

bool ClassFile::hasAnnotationMatching(const YString& pattern) const {
  return ::hasAnnotationMatching(pattern, attributes, constantPool);
}

void ClassFile::readProbeClassAnnotations(YVector<YString>& methodPatterns, YString& instanceOf,
                                          YVector<YString>& retransformIfInstanceOf,
                                          bool& discardThrownException) const {
  const auto* annotations =
      attributeAs<const AnnotationsAttribute>(firstAttributeNamed(attributeNames().runtimeInvisibleAnnotations));
  if (annotations == nullptr) return;
  readProbeAnnotations(*annotations, constantPool, methodPatterns, instanceOf, retransformIfInstanceOf,
                       discardThrownException);
}

void ClassFile::getInnerClassNames(YVector<YString>* out) const {
  requireNotNull(out, __LINE__);
  const auto* innerClasses =
      attributeAs<const InnerClassesAttribute>(firstAttributeNamed(attributeNames().innerClasses));
  if (innerClasses != nullptr) innerClasses->getInnerClassNames(constantPool, thisClassIndex, *out);
}

void ClassFile::replaceUtf8Text(const YVector<YString>& searches, const YVector<YString>& replacements) {
  if (searches.size != replacements.size) fail(__LINE__);
  for (int32_t k = 0; k < searches.size; k++) {
    const YString& search = searches[k];
    // An empty text occurs everywhere and replaces nothing.
    if (search.length == 0) continue;
    for (int32_t i = 1; i < constantPool.size; i++) {
      ConstantPoolInfo* entry = constantPool[i];
      if (entry == nullptr || entry->tag != CONSTANT_Utf8) continue;
      auto* utf8 = static_cast<ConstantUtf8Info*>(entry);
      if (utf8->getString().indexOf(search) < 0) continue;
      utf8->setString(replaced(utf8->getString(), search, replacements[k]));
    }
  }
}

void ClassFile::processTemplateMethods() {
  YVector<YString> names;
  YVector<YString> empties;
  for (int32_t i = 0; i < methods.size;) {
    MethodInfo* method = methods[i];
    if (!isTemplateName(method->getName())) {
      i++;
      continue;
    }
    names.add(method->getName());
    empties.add(YString());
    methods.remove(i);
    delete method;
  }
  replaceUtf8Text(names, empties);
}
