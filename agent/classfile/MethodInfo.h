#pragma once

#include <cstdint>

#include "agent/classfile/AttributeInfo.h"
#include "agent/classfile/CallbackParameter.h"
#include "agent/classfile/ConstantPoolInfo.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

class ClassFile;
class CodeAttribute;
class ConstantUtf8Info;

constexpr int32_t ACC_PUBLIC = 0x0001;
constexpr int32_t ACC_PRIVATE = 0x0002;
constexpr int32_t ACC_STATIC = 0x0008;
constexpr int32_t ACC_BRIDGE = 0x0040;
constexpr int32_t ACC_NATIVE = 0x0100;
constexpr int32_t ACC_SYNTHETIC = 0x1000;

// One method of a class file: its flags, the pool indices of its name and descriptor, and its attributes,
// which it owns. It belongs to one ClassFile, whose pool its indices name and which outlives it.
class MethodInfo : public ArenaAllocated {
 public:
  // u2 flags, u2 name index, u2 descriptor index (both >= 1), u2 count and the attributes.
  MethodInfo(DataInput& in, ClassFile* classFile);
  // A method without attributes. Flags >= 0; name and descriptor indices >= 1.
  MethodInfo(int32_t accessFlags, int32_t nameIndex, int32_t descriptorIndex, ClassFile* classFile);
  ~MethodInfo();
  MethodInfo(const MethodInfo&) = delete;
  MethodInfo& operator=(const MethodInfo&) = delete;

  // u2 flags, name and descriptor indices, u2 attribute count and the attributes. A Code attribute that
  // tracks frames goes out with a "StackMapTable" encoded from them, which exists only during the write,
  // so the method can be written any number of times.
  void write(DataOutput& out) const;

  // The texts of the Utf8 entries at the name and descriptor indices; an index that names anything but a
  // Utf8 entry is a malformed class ("assertion failed").
  const YString& getName() const;
  const YString& getDescriptor() const;
  // Those Utf8 entries, whose bytes can be read without making their texts.
  const ConstantUtf8Info& getNameEntry() const;
  const ConstantUtf8Info& getDescriptorEntry() const;
  // What follows the descriptor's last ")", or the whole descriptor without one.
  YString getReturnType() const;
  // The descriptor ends with ")V".
  bool returnsVoid() const;
  // Appends the type descriptor of each argument (parseArgumentTypes).
  void getArgumentTypes(YVector<YString>& out) const;
  bool hasNameAndDescriptor(int32_t otherNameIndex, int32_t otherDescriptorIndex) const;

  int32_t getAccessFlags() const { return accessFlags; }
  int32_t getNameIndex() const { return nameIndex; }
  int32_t getDescriptorIndex() const { return descriptorIndex; }
  bool isStatic() const { return (accessFlags & ACC_STATIC) != 0; }
  bool isPrivate() const { return (accessFlags & ACC_PRIVATE) != 0; }
  bool isPublic() const { return (accessFlags & ACC_PUBLIC) != 0; }
  bool isNative() const { return (accessFlags & ACC_NATIVE) != 0; }
  // Both synthetic and bridge: the compiler's forwarder for a covariant or generic override.
  bool isSyntheticBridge() const { return (accessFlags & (ACC_SYNTHETIC | ACC_BRIDGE)) == (ACC_SYNTHETIC | ACC_BRIDGE); }
  void clearNative() { accessFlags &= ~ACC_NATIVE; }

  const YVector<AttributeInfo*>& getAttributes() const { return attributes; }
  // The first attribute named "Code", or null (abstract and native methods).
  CodeAttribute* getCodeAttribute() const;
  // Appends a Code attribute holding a single RETURN and returns it. The pool gains a Utf8 "Code" when
  // it has none (a class whose methods are all abstract or native).
  CodeAttribute* addCodeAttribute();

  // Whether an annotation of the method matches the pattern (hasAnnotationMatching over its attributes).
  bool hasAnnotationMatching(const YString& pattern) const;
  // One entry per argument: from the "RuntimeInvisibleParameterAnnotations" when there is one (as many as
  // it lists), else each argument's type with no probe annotation.
  void getParameters(YVector<CallbackParameter>& out) const;
  // Appends the class names of every "Exceptions" attribute, in attribute order. `out` must be given.
  void getExceptionClassNames(YVector<YString>* out) const;

  // For a class of version 50 or later: the Code attribute, if any, expands its frames.
  void initStackMapFrames();
  // Replaces the attributes by copies of those of `other`, a method of the same class file; the flags,
  // name and descriptor stay. A copied Code attribute keeps its stack-map table as raw bytes and does not
  // track frames.
  void copyAttributesFrom(const MethodInfo* other);

 private:
  const ConstantPool& pool() const;

  int32_t accessFlags;
  const int32_t nameIndex;
  const int32_t descriptorIndex;
  YVector<AttributeInfo*> attributes;
  ClassFile* const classFile;
};

// Appends one type descriptor per argument of a method descriptor: "(I[JLjava/lang/String;)V" gives "I",
// "[J", "Ljava/lang/String;". Nothing when the descriptor has no ")" after its first two characters. A
// class name without its closing ";" is an assertion failure.
void parseArgumentTypes(const YString& descriptor, YVector<YString>& out);

// Where the argument type that starts at `start` of a method descriptor ends: at its last character.
int32_t argumentTypeEnd(const char* descriptor, int32_t length, int32_t start);

// Calls visit(type, typeLength) with each argument type descriptor of a method descriptor of `length`
// bytes, in place, as parseArgumentTypes finds them.
template <class Visit>
void forEachArgumentType(const char* descriptor, int32_t length, Visit visit) {
  int32_t end = length - 1;
  while (end >= 0 && descriptor[end] != ')') end--;
  for (int32_t i = 1; i < end; i++) {
    const int32_t start = i;
    i = argumentTypeEnd(descriptor, length, i);
    visit(descriptor + start, i + 1 - start);
  }
}
