#pragma once

#include "agent/classfile/AttributeInfo.h"
#include "agent/classfile/ConstantPoolInfo.h"
#include "agent/classfile/DataInput.h"
#include "agent/support/YVector.h"

class ClassFile;

// Makes attributes from a class file, choosing the class by the attribute's name.
class AttributeInfoReader {
 public:
  // Reads one attribute (u2 name index, u4 length, the body); the caller owns it. `classFile` is needed
  // only for a "Code" attribute, which keeps it; every other attribute ignores it. The body must take
  // exactly the declared length: an attribute whose parsed body is shorter or longer is malformed, as is
  // a name index that names no Utf8 entry. Both are fatal errors, like a read past the input's end.
  static AttributeInfo* read(DataInput& in, const ConstantPool& pool, ClassFile* classFile);
  // Reads a u2 count and that many attributes of a member of `classFile`, appending them to `out`. When
  // one fails, every attribute in `out` is freed before the error goes on.
  static void readList(DataInput& in, ClassFile* classFile, YVector<AttributeInfo*>& out);
};
