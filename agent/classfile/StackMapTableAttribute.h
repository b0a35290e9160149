#pragma once

#include <cstdint>

#include "agent/classfile/AttributeInfo.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/StackMapFrame.h"
#include "agent/support/YVector.h"

// "StackMapTable": the body kept as raw bytes. A Code attribute that tracks frames expands it once into
// StackMapFrames and drops it; one that does not writes it back unchanged.
class StackMapTableAttribute : public AttributeInfo {
 public:
  static constexpr AttributeKind KIND = AttributeKind::stackMapTable;
  AttributeKind kind() const override { return KIND; }

  StackMapTableAttribute(DataInput& in, int32_t nameIndex, int32_t length, Arena* arena = nullptr);
  // An attribute of the given encoded body.
  StackMapTableAttribute(int32_t nameIndex, const uint8_t* body, int32_t length, Arena* arena);

  void writeBody(DataOutput& out) const override;

  // Decodes the entries and appends a frame for each to `frames`, which must hold exactly the method's
  // initial frame. Every frame offset and every NEW offset of an Uninitialized type must lie inside the
  // code, and the entries must fill the body exactly: anything else is a malformed class. The frames live
  // in `arena` when one is given.
  void expandFrames(YVector<StackMapFrame*>& frames, int32_t thisClassIndex, int32_t codeLength,
                    Arena* arena = nullptr) const;

 private:
  const BodyBytes bytes;
};
