#pragma once

#include <cstdint>
#include <cstring>

#include "agent/classfile/ConstantPoolInfo.h"
#include "agent/support/YString.h"

// A modified UTF-8 text, kept as opaque bytes together with the byte length the file gave. The length is
// what `write` emits; it matches the text for every entry made from a text and every well-formed file.
// Most texts of a class are only written back: one read into an arena stays the arena's bytes until
// its text is first asked for.
class ConstantUtf8Info : public ConstantPoolInfo {
 public:
  static constexpr uint32_t TAG = CONSTANT_Utf8;

  explicit ConstantUtf8Info(DataInput& in, Arena* arena = nullptr);
  explicit ConstantUtf8Info(const YString& text);
  // The text's bytes copied into the arena.
  ConstantUtf8Info(const char* text, int32_t length, Arena& arena);

  // Fails when the file's bytes held a zero byte, which cut the text short, and for a text longer than
  // 65535 bytes: a class is never written with a shortened text or a wrapped length.
  void write(DataOutput& out) const override;

  const YString& getString() const {
    if (bytes != nullptr) materialize();
    return text;
  }
  // Counted by utf8TextChanges.
  void setString(const YString& newText);
  // Byte-wise: same length, same bytes.
  bool equals(const YString& other) const { return equals(other.data, other.length); }
  bool equals(const char* other, int32_t length) const {
    return length == textSize() && std::memcmp(textData(), other, size_t(length)) == 0;
  }
  // The text's bytes, followed by a zero, and their length, without making the text.
  const char* textData() const { return bytes != nullptr ? bytes : text.data; }
  int32_t textSize() const { return bytes != nullptr ? textLength : text.length; }

 private:
  void materialize() const;
  static const char* copyText(const char* text, int32_t length, Arena& arena);

  mutable YString text;
  // The arena's copy of the text while `text` is not made yet, else null.
  mutable const char* bytes = nullptr;
  int32_t textLength = 0;
  int32_t byteLength;
};

// How many texts of Utf8 entries setString has changed, in any class file: what is known of the texts
// stays true while the count does not move.
uint32_t utf8TextChanges();

class ConstantIntInfo : public ConstantPoolInfo {
 public:
  static constexpr uint32_t TAG = CONSTANT_Integer;

  explicit ConstantIntInfo(DataInput& in) : ConstantPoolInfo(TAG), value(in.readInt()) {}
  explicit ConstantIntInfo(int32_t value) : ConstantPoolInfo(TAG), value(value) {}

  void write(DataOutput& out) const override;

  const int32_t value;
};

// The bits as read; the value is never interpreted, so NaN payloads survive.
class ConstantFloatInfo : public ConstantPoolInfo {
 public:
  static constexpr uint32_t TAG = CONSTANT_Float;

  explicit ConstantFloatInfo(DataInput& in) : ConstantPoolInfo(TAG), bits(in.readInt()) {}

  void write(DataOutput& out) const override;

  const int32_t bits;
};

// Takes two pool indices (the second slot stays empty).
class ConstantLongInfo : public ConstantPoolInfo {
 public:
  static constexpr uint32_t TAG = CONSTANT_Long;

  explicit ConstantLongInfo(DataInput& in) : ConstantPoolInfo(TAG), value(in.readLong()) {}
  explicit ConstantLongInfo(int64_t value) : ConstantPoolInfo(TAG), value(value) {}

  void write(DataOutput& out) const override;

  const int64_t value;
};

// The bits as read, like ConstantFloatInfo; takes two pool indices like ConstantLongInfo.
class ConstantDoubleInfo : public ConstantPoolInfo {
 public:
  static constexpr uint32_t TAG = CONSTANT_Double;

  explicit ConstantDoubleInfo(DataInput& in) : ConstantPoolInfo(TAG), bits(in.readLong()) {}

  void write(DataOutput& out) const override;

  const int64_t bits;
};
