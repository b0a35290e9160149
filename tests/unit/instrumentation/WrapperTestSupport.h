#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/core/Options.h"
#include "agent/instrumentation/GeneratedNames.h"
#include "tests/unit/classfile/ClassTestSupport.h"
#include "tests/unit/instrumentation/JdkClasses.h"

// Classes with native methods for the wrapping tests: assembled ones and the JDK's own.
namespace wraptest {

using classtest::ParsedClass;
using classtest::text;

// Annotation types that mark intrinsic candidates.
constexpr const char* hotSpotIntrinsic = "Ljdk/internal/HotSpotIntrinsicCandidate;";
constexpr const char* vmIntrinsic = "Ljdk/internal/vm/annotation/IntrinsicCandidate;";

struct Native {
  std::string name;
  std::string descriptor = "()V";
  int32_t flags = ACC_PRIVATE | ACC_NATIVE;
  const char* annotation = nullptr;  // a runtime-visible annotation type of the method
};

// A class of version 52 holding these methods and nothing else; its pool has no "Code".
struct AssembledClass {
  Bytes bytes;
  int32_t poolCount;  // the index the next pool entry gets
};

inline AssembledClass assembledClass(const std::string& name, const std::vector<Native>& natives) {
  classtest::ClassBuilder builder;
  builder.thisClass = builder.classNamed(name);
  builder.superClass = builder.classNamed("java/lang/Object");
  int32_t last = builder.superClass;
  for (const Native& native : natives) {
    const int32_t nameIndex = builder.utf8(native.name);
    const int32_t descriptorIndex = last = builder.utf8(native.descriptor);
    std::vector<Bytes> attributes;
    if (native.annotation != nullptr) {
      const int32_t attributeName = builder.utf8("RuntimeVisibleAnnotations");
      const int32_t type = last = builder.utf8(native.annotation);
      attributes.push_back(ByteBuilder().attribute(attributeName, ByteBuilder().u2(1).u2(type).u2(0).bytes).bytes);
    }
    builder.methods.push_back(classtest::ClassBuilder::member(native.flags, nameIndex, descriptorIndex, attributes));
  }
  return {builder.build(), last + 1};
}

inline Bytes jdkClassBytes(const char* name) {
  const JdkClass* found = findJdkClass(name);
  if (found == nullptr) {
    ADD_FAILURE() << name << " was not extracted from the JDK";
    return Bytes();
  }
  return Bytes(found->bytes, found->bytes + found->size);
}

inline bool isGenerated(const MethodInfo& method) { return text(method.getName()).rfind(generatedNameMarker, 0) == 0; }

// The names of the wrapped natives, in the order of their generated native halves.
inline std::vector<std::string> wrappedNames(const ClassFile& classFile) {
  std::vector<std::string> names;
  const YVector<MethodInfo*>& methods = classFile.getMethods();
  for (int32_t i = 0; i < methods.size; i++) {
    if (isGenerated(*methods[i])) names.push_back(text(methods[i]->getName()).substr(generatedNameMarkerLength));
  }
  return names;
}

// The names of the native methods other than the generated ones, in method order.
inline std::vector<std::string> plainNativeNames(const ClassFile& classFile) {
  std::vector<std::string> names;
  const YVector<MethodInfo*>& methods = classFile.getMethods();
  for (int32_t i = 0; i < methods.size; i++) {
    if (methods[i]->isNative() && !isGenerated(*methods[i])) names.push_back(text(methods[i]->getName()));
  }
  return names;
}

inline Bytes codeOf(const MethodInfo& method) {
  const CodeAttribute* code = method.getCodeAttribute();
  if (code == nullptr) return Bytes();
  return Bytes(code->getCode(), code->getCode() + code->getCodeLength());
}

// A debug category switched on for a test's length.
class DebugCategory {
 public:
  explicit DebugCategory(const char* category) { globalOptions().debugCategories.add(YString(category)); }
  ~DebugCategory() { globalOptions().debugCategories.pop(); }
  DebugCategory(const DebugCategory&) = delete;
  DebugCategory& operator=(const DebugCategory&) = delete;
};

}  // namespace wraptest
