#pragma once

#include <cstdint>

#include "agent/classfile/ConstantPoolInfo.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

constexpr int32_t ACC_STATIC = 0x0008;

// One method of a class file: its flags and the pool indices of its name and descriptor. The pool is the
// owning ClassFile's, which outlives the method.
class MethodInfo {
 public:
  // Flags >= 0; name and descriptor indices >= 1.
  MethodInfo(int32_t accessFlags, int32_t nameIndex, int32_t descriptorIndex, const ConstantPool* pool);
  MethodInfo(const MethodInfo&) = delete;
  MethodInfo& operator=(const MethodInfo&) = delete;

  // The texts of the Utf8 entries at the name and descriptor indices; an index that names anything but a
  // Utf8 entry is a malformed class ("assertion failed").
  const YString& getName() const;
  const YString& getDescriptor() const;
  // Appends the type descriptor of each argument (parseArgumentTypes).
  void getArgumentTypes(YVector<YString>& out) const;

  int32_t getAccessFlags() const { return accessFlags; }
  bool isStatic() const { return (accessFlags & ACC_STATIC) != 0; }

 private:
  const int32_t accessFlags;
  const int32_t nameIndex;
  const int32_t descriptorIndex;
  const ConstantPool* const pool;
};

// Appends one type descriptor per argument of a method descriptor: "(I[JLjava/lang/String;)V" gives "I",
// "[J", "Ljava/lang/String;". Nothing when the descriptor has no ")" after its first two characters. A
// class name without its closing ";" is an assertion failure.
void parseArgumentTypes(const YString& descriptor, YVector<YString>& out);
