#include "agent/classfile/StackMapTableAttribute.h"

#include "agent/support/FatalError.h"

StackMapTableAttribute::StackMapTableAttribute(DataInput& in, int32_t nameIndex, int32_t length)
    : AttributeInfo(nameIndex, length) {
  // Byte by byte, so that a length beyond the input fails at the input's end instead of allocating it.
  for (int32_t i = 0; i < length; i++) bytes.add(uint8_t(in.readUnsignedByte()));
}

StackMapTableAttribute::StackMapTableAttribute(int32_t nameIndex, const YVector<uint8_t>& body)
    : AttributeInfo(nameIndex, body.size), bytes(body) {}

void StackMapTableAttribute::writeBody(DataOutput& out) const { out.write(bytes.data, bytes.size); }

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

void StackMapTableAttribute::expandFrames(YVector<StackMapFrame*>& frames, int32_t thisClassIndex,
                                          int32_t codeLength) const {
  if (frames.size != 1) assertionFailed("assertion failed", "StackMapTableAttribute", __LINE__);
  DataInput in(bytes);
  const int32_t count = in.readUnsignedShort();
  for (int32_t i = 0; i < count; i++) {
    auto* frame = new StackMapFrame(*frames.peek(), in, thisClassIndex);
    frames.add(frame);
    checkInsideCode(frame->offset, codeLength);
    checkNewOffsets(frame->locals, codeLength);
    checkNewOffsets(frame->stack, codeLength);
  }
  // Bytes after the last entry would be lost when the frames are encoded again.
  if (in.getPosition() != bytes.size) assertionFailed("assertion failed", "StackMapTableAttribute", __LINE__);
}
