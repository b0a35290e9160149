#include "agent/classfile/StackMapTableAttribute.h"

#include "agent/support/FatalError.h"

// The body is taken from the input first, so that a length beyond the input fails at the input's end
// instead of allocating it.
StackMapTableAttribute::StackMapTableAttribute(DataInput& in, int32_t nameIndex, int32_t length, Arena* arena)
    : AttributeInfo(nameIndex, length), bytes(in.readBytes(length), length, arena) {}

StackMapTableAttribute::StackMapTableAttribute(int32_t nameIndex, const uint8_t* body, int32_t length, Arena* arena)
    : AttributeInfo(nameIndex, length), bytes(body, length, arena) {}

void StackMapTableAttribute::writeBody(DataOutput& out) const { out.write(bytes.get(), getLength()); }

namespace {

void checkInsideCode(int32_t offset, int32_t codeLength) {
  if (offset < 0 || offset >= codeLength) assertionFailed("assertion failed", "StackMapTableAttribute", __LINE__);
}

void checkNewOffsets(const YVector<VerificationType>& types, int32_t codeLength) {
  for (int32_t i = 0; i < types.size; i++) {
    if (types[i].tag == ITEM_Uninitialized) checkInsideCode(types[i].index, codeLength);
  }
}

}  // namespace

void StackMapTableAttribute::expandFrames(YVector<StackMapFrame*>& frames, int32_t thisClassIndex, int32_t codeLength,
                                          Arena* arena) const {
  if (frames.size != 1) assertionFailed("assertion failed", "StackMapTableAttribute", __LINE__);
  DataInput in(bytes.get(), getLength());
  const int32_t count = in.readUnsignedShort();
  frames.reserve(count + 1);
  for (int32_t i = 0; i < count; i++) {
    auto* frame = new (arena) StackMapFrame(*frames.peek(), in, thisClassIndex);
    frames.add(frame);
    checkInsideCode(frame->offset, codeLength);
    checkNewOffsets(frame->locals, codeLength);
    checkNewOffsets(frame->stack, codeLength);
  }
  // Bytes after the last entry would be lost when the frames are encoded again.
  if (in.getPosition() != getLength()) assertionFailed("assertion failed", "StackMapTableAttribute", __LINE__);
}
