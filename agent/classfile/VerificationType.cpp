#include "agent/classfile/VerificationType.h"

#include "agent/classfile/ClassFile.h"
#include "agent/support/FatalError.h"

namespace {

bool hasIndex(uint32_t tag) { return tag >= ITEM_UninitializedThis && tag <= ITEM_Uninitialized; }

}  // namespace

VerificationType::VerificationType(uint32_t tag, int32_t index) : tag(tag), index(hasIndex(tag) ? index : -1) {
  if (tag > ITEM_Uninitialized) assertionFailed("assertion failed", "VerificationType", __LINE__);
  if (hasIndex(tag) && index < 0) assertionFailed("assertion failed", "VerificationType", __LINE__);
}

VerificationType::VerificationType(DataInput& in, int32_t thisClassIndex)
    : tag(uint32_t(in.readUnsignedByte())), index(-1) {
  if (tag > ITEM_Uninitialized) assertionFailed("assertion failed", "VerificationType", __LINE__);
  if (tag == ITEM_Object || tag == ITEM_Uninitialized) {
    index = in.readUnsignedShort();
  } else if (tag == ITEM_UninitializedThis) {
    if (thisClassIndex < 0) assertionFailed("assertion failed", "VerificationType", __LINE__);
    index = thisClassIndex;
  }
}

void VerificationType::write(DataOutput& out) const {
  out.writeByte(int32_t(tag));
  if (tag == ITEM_Object || tag == ITEM_Uninitialized) out.writeShort(index);
}

bool VerificationType::equals(const VerificationType& other) const {
  if (tag > ITEM_Uninitialized || other.tag > ITEM_Uninitialized) {
    assertionFailed("assertion failed", "VerificationType", __LINE__);
  }
  if (tag != other.tag) return false;
  return tag < ITEM_Object || index == other.index;
}

VerificationType VerificationType::fromDescriptor(const char* descriptor, int32_t length, ClassFile& classFile) {
  const auto first = static_cast<unsigned char>(length == 0 ? 0 : descriptor[0]);
  switch (first) {
    case 'B':
    case 'C':
    case 'I':
    case 'S':
    case 'Z':
      return VerificationType(ITEM_Integer, -1);
    case 'F': return VerificationType(ITEM_Float, -1);
    case 'D': return VerificationType(ITEM_Double, -1);
    case 'J': return VerificationType(ITEM_Long, -1);
    case 'V': return VerificationType();
    case 'L':
      // A class name needs at least one character between "L" and ";".
      if (length < 3 || descriptor[length - 1] != ';') assertionFailed("assertion failed", "VerificationType", __LINE__);
      return VerificationType(ITEM_Object, classFile.getOrAddClass(classFile.getOrAddUtf8(descriptor + 1, length - 2)));
    case '[': return VerificationType(ITEM_Object, classFile.getOrAddClass(classFile.getOrAddUtf8(descriptor, length)));
    default: break;
  }
  YString message("unexpected java type: ");
  message.appendLong(first);
  fatalError(message.data, "VerificationType", __LINE__);
}
