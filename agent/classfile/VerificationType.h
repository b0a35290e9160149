#pragma once

#include <cstdint>

#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/support/YString.h"

class ClassFile;

// The stack-map tags of the verification types.
constexpr uint32_t ITEM_Top = 0;
constexpr uint32_t ITEM_Integer = 1;
constexpr uint32_t ITEM_Float = 2;
constexpr uint32_t ITEM_Double = 3;
constexpr uint32_t ITEM_Long = 4;
constexpr uint32_t ITEM_Null = 5;
constexpr uint32_t ITEM_UninitializedThis = 6;
constexpr uint32_t ITEM_Object = 7;
constexpr uint32_t ITEM_Uninitialized = 8;

// The type of one local or stack entry in a stack-map frame; a plain value. The index is the Class entry
// of an Object, the offset of the NEW instruction of an Uninitialized, the this-class index of an
// UninitializedThis (kept in memory only, never written), and -1 for every other tag.
struct VerificationType {
  uint32_t tag;
  int32_t index;

  VerificationType() : tag(ITEM_Top), index(-1) {}
  // Tags 6 to 8 need an index >= 0; the others store -1 whatever is given. A tag above 8 is refused.
  VerificationType(uint32_t tag, int32_t index);
  // u1 tag (at most 8), then a u2 index for Object and Uninitialized; UninitializedThis takes
  // `thisClassIndex`.
  VerificationType(DataInput& in, int32_t thisClassIndex);

  void write(DataOutput& out) const;
  // Same tag, and for Object and Uninitialized the same index; any two UninitializedThis are equal.
  bool equals(const VerificationType& other) const;
  // Long and Double take two local slots but one entry of a frame.
  bool isWide() const { return tag == ITEM_Long || tag == ITEM_Double; }
  bool isTop() const { return tag == ITEM_Top; }

  // The type of a field or parameter descriptor. Class and array types name a Class entry, which the
  // pool gains when it has none. Any other first character is the fatal "unexpected java type: <code>".
  static VerificationType fromDescriptor(const YString& descriptor, ClassFile& classFile) {
    return fromDescriptor(descriptor.data, descriptor.length, classFile);
  }
  static VerificationType fromDescriptor(const char* descriptor, int32_t length, ClassFile& classFile);
};
