#pragma once

#include <cstdint>

#include "agent/classfile/AttributeInfo.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/support/Arena.h"
#include "agent/support/YVector.h"

class ClassFile;

// One field of a class file, read and written back as it came: flags, the pool indices of its name and
// descriptor, and its attributes, which it owns. It keeps no pointer to the pool.
class FieldInfo : public ArenaAllocated {
 public:
  // u2 flags, u2 name index, u2 descriptor index (both >= 1), u2 count and the attributes, read with the
  // class file's pool.
  FieldInfo(DataInput& in, ClassFile* classFile);
  // A field without attributes. Flags >= 0; name and descriptor indices >= 1.
  FieldInfo(int32_t accessFlags, int32_t nameIndex, int32_t descriptorIndex);
  ~FieldInfo();
  FieldInfo(const FieldInfo&) = delete;
  FieldInfo& operator=(const FieldInfo&) = delete;

  void write(DataOutput& out) const;

  // `index` must be >= 1.
  bool hasNameIndex(int32_t index) const;

  int32_t getAccessFlags() const { return accessFlags; }
  int32_t getNameIndex() const { return nameIndex; }
  int32_t getDescriptorIndex() const { return descriptorIndex; }
  const YVector<AttributeInfo*>& getAttributes() const { return attributes; }

 private:
  int32_t nameIndex;
  int32_t descriptorIndex;
  YVector<AttributeInfo*> attributes;
  int32_t accessFlags;
};
