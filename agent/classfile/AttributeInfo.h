#pragma once

#include <cstdint>

#include "agent/classfile/ConstantPoolInfo.h"
#include "agent/classfile/DataOutput.h"
#include "agent/support/Arena.h"
#include "agent/support/YString.h"

// The bytes of an attribute body kept as they came: in the arena of the attribute's class file, or on
// the heap for an attribute made without one.
class BodyBytes {
 public:
  BodyBytes(const uint8_t* body, int32_t length, Arena* arena);
  ~BodyBytes();
  BodyBytes(const BodyBytes&) = delete;
  BodyBytes& operator=(const BodyBytes&) = delete;

  const uint8_t* get() const { return bytes; }

 private:
  uint8_t* bytes;
  const bool onHeap;
};

// The attribute classes that editors and readers look for, told apart without a dynamic_cast.
enum class AttributeKind : uint8_t {
  other,
  code,
  lineNumberTable,
  localVariableTable,
  localVariableTypeTable,
  stackMapTable,
  sourceFile,
  exceptions,
  innerClasses,
  annotations,
  parameterAnnotations,
};

// One attribute of a class, a field, a method or a Code attribute: the pool index of its name and the
// byte length of the body that `writeBody` emits. An attribute read from a file and not edited writes
// back byte for byte; an editor that changes a body keeps the length equal to it (`setLength`).
class AttributeInfo : public ArenaAllocated {
 public:
  // The name index must be >= 1 and the length >= 0 (a u4 length of 2^31 or more is refused here).
  AttributeInfo(int32_t nameIndex, int32_t length);
  virtual ~AttributeInfo() = default;
  AttributeInfo(const AttributeInfo&) = delete;
  AttributeInfo& operator=(const AttributeInfo&) = delete;

  // The class of the attribute; every class with a KIND answers its own.
  virtual AttributeKind kind() const { return AttributeKind::other; }

  int32_t getNameIndex() const { return nameIndex; }
  int32_t getLength() const { return length; }
  void setLength(int32_t newLength);

  // Whether the Utf8 entry at the name index holds exactly `name`; an index outside the pool is the
  // vector's range error, an entry that is not Utf8 an assertion failure.
  bool hasName(const ConstantPool& pool, const YString& name) const;

  // u2 name index, u4 length, then the body.
  void write(DataOutput& out) const;
  // Appends exactly getLength() bytes.
  virtual void writeBody(DataOutput& out) const = 0;

  // For an attribute nested in a Code attribute: checks every bytecode offset it holds against the
  // method's code length, so that no offset read from a file can index past the code (or a position
  // map of it) later. A violation is a fatal "assertion failed". The Code attribute calls it for each
  // nested attribute once it has read them; attributes without offsets have nothing to check.
  virtual void validate(int32_t codeLength) const;

 private:
  const int32_t nameIndex;
  int32_t length;
};

// The attribute as T when it is one (exactly of class T), else null.
template <class T, class A>
T* attributeAs(A* attribute) {
  return attribute != nullptr && attribute->kind() == T::KIND ? static_cast<T*>(attribute) : nullptr;
}
