#include "agent/classfile/ClassFile.h"

#include "agent/classfile/ConstantReferences.h"
#include "agent/classfile/ConstantValues.h"
#include "agent/support/FatalError.h"

ClassFile::ClassFile(const ConstantPool& entries, int32_t majorVersion, int32_t minorVersion, int32_t thisClassIndex)
    : majorVersion(majorVersion), minorVersion(minorVersion), thisClassIndex(thisClassIndex), constantPool(entries) {
  if (thisClassIndex < 1) {
    constantPool.deleteElements();
    assertionFailed("assertion failed", "ClassFile", __LINE__);
  }
}

ClassFile::~ClassFile() { constantPool.deleteElements(); }

const YString& ClassFile::getThisClassName() const {
  if (constantPool[thisClassIndex] == nullptr) assertionFailed("assertion failed: value is NULL", "ClassFile", __LINE__);
  return constantAt<ConstantClassInfo>(constantPool, thisClassIndex, "ClassFile", __LINE__).getName(constantPool);
}

int32_t ClassFile::append(ConstantPoolInfo* entry) {
  const int32_t index = constantPool.size;
  constantPool.add(entry);
  return index;
}

int32_t ClassFile::getOrAddUtf8(const YString& text) {
  const int32_t cached = utf8Cache.get(text.data);
  if (cached > 0) return cached;
  for (int32_t i = 1; i < constantPool.size; i++) {
    const ConstantPoolInfo* entry = constantPool[i];
    if (entry != nullptr && entry->tag == CONSTANT_Utf8) {
      const auto* utf8 = static_cast<const ConstantUtf8Info*>(entry);
      if (utf8->equals(text)) {
        utf8Cache.put(utf8->getString().data, i);
        return i;
      }
    }
  }
  auto* utf8 = new ConstantUtf8Info(text);
  const int32_t index = append(utf8);
  utf8Cache.put(utf8->getString().data, index);
  return index;
}

int32_t ClassFile::getOrAddClass(int32_t nameIndex) {
  if (nameIndex < 1) assertionFailed("assertion failed", "ClassFile", __LINE__);
  const int32_t cached = classCache.get(nameIndex);
  if (cached > 0) return cached;
  for (int32_t i = 1; i < constantPool.size; i++) {
    const ConstantPoolInfo* entry = constantPool[i];
    if (entry != nullptr && entry->tag == CONSTANT_Class &&
        static_cast<const ConstantClassInfo*>(entry)->hasNameIndex(nameIndex)) {
      classCache.put(nameIndex, i);
      return i;
    }
  }
  const int32_t index = append(new ConstantClassInfo(nameIndex));
  classCache.put(nameIndex, index);
  return index;
}
