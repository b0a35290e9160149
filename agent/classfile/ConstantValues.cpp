#include "agent/classfile/ConstantValues.h"

ConstantUtf8Info::ConstantUtf8Info(DataInput& in) : ConstantPoolInfo(TAG) {
  byteLength = in.readUnsignedShort();
  text = in.readString(byteLength);
}

ConstantUtf8Info::ConstantUtf8Info(const YString& text)
    : ConstantPoolInfo(TAG), text(text), byteLength(text.length) {}

void ConstantUtf8Info::write(DataOutput& out) const {
  if (byteLength > text.length) assertionFailed("assertion failed", "ConstantUtf8Info", __LINE__);
  // The length field is a u2: a longer text would be written as a corrupt class.
  if (byteLength > 0xFFFF) assertionFailed("assertion failed", "ConstantUtf8Info", __LINE__);
  out.writeByte(int32_t(tag));
  out.writeShort(byteLength);
  out.write(text.data, byteLength);
}

void ConstantUtf8Info::setString(const YString& newText) {
  text = newText;
  byteLength = newText.length;
}

void ConstantIntInfo::write(DataOutput& out) const {
  out.writeByte(int32_t(tag));
  out.writeInt(value);
}

void ConstantFloatInfo::write(DataOutput& out) const {
  out.writeByte(int32_t(tag));
  out.writeInt(bits);
}

void ConstantLongInfo::write(DataOutput& out) const {
  out.writeByte(int32_t(tag));
  out.writeLong(value);
}

void ConstantDoubleInfo::write(DataOutput& out) const {
  out.writeByte(int32_t(tag));
  out.writeLong(bits);
}
