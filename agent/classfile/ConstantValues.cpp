#include "agent/classfile/ConstantValues.h"

#include <atomic>

namespace {

std::atomic<uint32_t> textChanges{0};

}  // namespace

uint32_t utf8TextChanges() { return textChanges.load(std::memory_order_relaxed); }

ConstantUtf8Info::ConstantUtf8Info(DataInput& in, Arena* arena) : ConstantPoolInfo(TAG) {
  byteLength = in.readUnsignedShort();
  if (arena == nullptr) {
    text = in.readString(byteLength);
    return;
  }
  // The text ends at the first zero byte, as readString cuts it.
  const auto* read = reinterpret_cast<const char*>(in.readBytes(byteLength));
  const void* zero = byteLength > 0 ? std::memchr(read, 0, size_t(byteLength)) : nullptr;
  textLength = zero != nullptr ? int32_t(static_cast<const char*>(zero) - read) : byteLength;
  bytes = copyText(read, textLength, *arena);
}

ConstantUtf8Info::ConstantUtf8Info(const char* text, int32_t length, Arena& arena)
    : ConstantPoolInfo(TAG), bytes(copyText(text, length, arena)), textLength(length), byteLength(length) {}

const char* ConstantUtf8Info::copyText(const char* text, int32_t length, Arena& arena) {
  auto* copy = static_cast<char*>(arena.allocate(size_t(length) + 1));
  std::memcpy(copy, text, size_t(length));
  copy[length] = 0;
  return copy;
}

void ConstantUtf8Info::materialize() const {
  text = YString::copyOf(bytes, textLength);
  bytes = nullptr;
}

ConstantUtf8Info::ConstantUtf8Info(const YString& text)
    : ConstantPoolInfo(TAG), text(text), byteLength(text.length) {}

void ConstantUtf8Info::write(DataOutput& out) const {
  const char* written = bytes != nullptr ? bytes : text.data;
  if (byteLength > (bytes != nullptr ? textLength : text.length)) {
    assertionFailed("assertion failed", "ConstantUtf8Info", __LINE__);
  }
  // The length field is a u2: a longer text would be written as a corrupt class.
  if (byteLength > 0xFFFF) assertionFailed("assertion failed", "ConstantUtf8Info", __LINE__);
  out.writeByte(int32_t(tag));
  out.writeShort(byteLength);
  out.write(written, byteLength);
}

void ConstantUtf8Info::setString(const YString& newText) {
  text = newText;
  bytes = nullptr;
  byteLength = newText.length;
  textChanges.fetch_add(1, std::memory_order_relaxed);
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
