#pragma once

#include <cstdint>

#include "agent/classfile/AttributeInfo.h"
#include "agent/classfile/ConstantPoolInfo.h"
#include "agent/classfile/DataInput.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// The attributes whose bodies the class-file model parses into a few indices or keeps as raw bytes.
// Each reading constructor reads the body that follows the name index and the length in the input.

// "ConstantValue": the pool index of a field's constant value, which must be > 0.
class ConstantValueAttribute : public AttributeInfo {
 public:
  ConstantValueAttribute(DataInput& in, int32_t nameIndex, int32_t length);

  void writeBody(DataOutput& out) const override;

  int32_t getConstantIndex() const { return constantIndex; }

 private:
  const int32_t constantIndex;
};

// "Exceptions": the Class entries of the exceptions a method declares.
class ExceptionsAttribute : public AttributeInfo {
 public:
  static constexpr AttributeKind KIND = AttributeKind::exceptions;
  AttributeKind kind() const override { return KIND; }

  ExceptionsAttribute(DataInput& in, int32_t nameIndex, int32_t length);

  void writeBody(DataOutput& out) const override;

  // Appends the internal name (java/io/IOException) of each listed class, in order.
  void getClassNames(const ConstantPool* pool, YVector<YString>* out) const;

 private:
  YVector<int32_t> classIndices;
};

// "InnerClasses": one record per class that the class file names as a member of another.
class InnerClassesAttribute : public AttributeInfo {
 public:
  static constexpr AttributeKind KIND = AttributeKind::innerClasses;
  AttributeKind kind() const override { return KIND; }

  struct Classes : ArenaAllocated {
    int32_t innerClassIndex;
    int32_t outerClassIndex;
    int32_t innerNameIndex;
    int32_t innerAccessFlags;
  };

  InnerClassesAttribute(DataInput& in, int32_t nameIndex, int32_t length, Arena* arena = nullptr);
  ~InnerClassesAttribute() override;

  void writeBody(DataOutput& out) const override;

  // Appends, in Java form (a.b.C$D), the inner classes whose outer class is this class or unnamed (local
  // and anonymous classes), leaving out the record of the class itself.
  void getInnerClassNames(const ConstantPool& pool, int32_t thisClassIndex, YVector<YString>& out) const;

 private:
  YVector<Classes*> classes;
};

// "SourceFile": the pool index of the source file's name.
class SourceFileAttribute : public AttributeInfo {
 public:
  static constexpr AttributeKind KIND = AttributeKind::sourceFile;
  AttributeKind kind() const override { return KIND; }

  SourceFileAttribute(DataInput& in, int32_t nameIndex, int32_t length);

  void writeBody(DataOutput& out) const override;

  const YString& getSourceFile(const ConstantPool& pool) const;

 private:
  const int32_t sourceFileIndex;
};

// An attribute kept as the bytes of its body, written back unchanged.
class RawBytesAttribute : public AttributeInfo {
 public:
  void writeBody(DataOutput& out) const override;

  // getLength() bytes.
  const uint8_t* getBytes() const { return bytes.get(); }

 protected:
  // The body is taken from the input first, so that a length the input cannot hold fails at the input's
  // end instead of reserving up to 2 GB.
  RawBytesAttribute(DataInput& in, int32_t nameIndex, int32_t length, Arena* arena)
      : AttributeInfo(nameIndex, length), bytes(in.readBytes(length), length, arena) {}

 private:
  const BodyBytes bytes;
};

// "Deprecated" and "Synthetic" have empty bodies in a well-formed file; any bytes a file declares for
// them are kept, so that the written length always describes the written body.
class DeprecatedAttribute : public RawBytesAttribute {
 public:
  DeprecatedAttribute(DataInput& in, int32_t nameIndex, int32_t length, Arena* arena = nullptr)
      : RawBytesAttribute(in, nameIndex, length, arena) {}
};

class SyntheticAttribute : public RawBytesAttribute {
 public:
  SyntheticAttribute(DataInput& in, int32_t nameIndex, int32_t length, Arena* arena = nullptr)
      : RawBytesAttribute(in, nameIndex, length, arena) {}
};

// "RuntimeVisibleAnnotations" and "RuntimeInvisibleAnnotations": read by the annotation readers.
class AnnotationsAttribute : public RawBytesAttribute {
 public:
  static constexpr AttributeKind KIND = AttributeKind::annotations;
  AttributeKind kind() const override { return KIND; }

  AnnotationsAttribute(DataInput& in, int32_t nameIndex, int32_t length, Arena* arena = nullptr)
      : RawBytesAttribute(in, nameIndex, length, arena) {}
};

// "RuntimeInvisibleParameterAnnotations": read for the parameters of probe callbacks.
class ParameterAnnotationsAttribute : public RawBytesAttribute {
 public:
  static constexpr AttributeKind KIND = AttributeKind::parameterAnnotations;
  AttributeKind kind() const override { return KIND; }

  ParameterAnnotationsAttribute(DataInput& in, int32_t nameIndex, int32_t length, Arena* arena = nullptr)
      : RawBytesAttribute(in, nameIndex, length, arena) {}
};

// Every attribute the model has no class for passes through as it came.
class UnknownAttribute : public RawBytesAttribute {
 public:
  UnknownAttribute(DataInput& in, int32_t nameIndex, int32_t length, Arena* arena = nullptr)
      : RawBytesAttribute(in, nameIndex, length, arena) {}
};
