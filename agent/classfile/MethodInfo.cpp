#include "agent/classfile/MethodInfo.h"

#include "agent/classfile/ConstantValues.h"
#include "agent/support/FatalError.h"

MethodInfo::MethodInfo(int32_t accessFlags, int32_t nameIndex, int32_t descriptorIndex, const ConstantPool* pool)
    : accessFlags(accessFlags), nameIndex(nameIndex), descriptorIndex(descriptorIndex), pool(pool) {
  if (pool == nullptr) assertionFailed("assertion failed: value is NULL", "MethodInfo", __LINE__);
  if (accessFlags < 0 || nameIndex < 1 || descriptorIndex < 1) assertionFailed("assertion failed", "MethodInfo", __LINE__);
}

const YString& MethodInfo::getName() const {
  return constantAt<ConstantUtf8Info>(*pool, nameIndex, "MethodInfo", __LINE__).getString();
}

const YString& MethodInfo::getDescriptor() const {
  return constantAt<ConstantUtf8Info>(*pool, descriptorIndex, "MethodInfo", __LINE__).getString();
}

void MethodInfo::getArgumentTypes(YVector<YString>& out) const { parseArgumentTypes(getDescriptor(), out); }

namespace {

// The index of the next ";" at or after `from`; a class name that runs to the end is malformed.
int32_t classNameEnd(const YString& descriptor, int32_t from) {
  for (int32_t i = from; i < descriptor.length; i++) {
    if (descriptor.data[i] == ';') return i;
  }
  assertionFailed("assertion failed", "MethodInfo", __LINE__);
}

}  // namespace

void parseArgumentTypes(const YString& descriptor, YVector<YString>& out) {
  int32_t end = -1;
  for (int32_t i = descriptor.length - 1; i >= 0; i--) {
    if (descriptor.data[i] == ')') {
      end = i;
      break;
    }
  }
  if (end < 2) return;
  for (int32_t i = 1; i < end; i++) {
    const int32_t start = i;
    while (descriptor.data[i] == '[') i++;  // ends at the last ")" at the latest
    if (descriptor.data[i] == 'L') i = classNameEnd(descriptor, i + 1);
    out.add(descriptor.substring(start, i + 1));
  }
}
