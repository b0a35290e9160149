#pragma once

#include <cstdint>

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Byte orders of a writer: 1 writes the least significant byte first; any other value the most.
constexpr int32_t byteOrderLittleEndian = 1;
constexpr int32_t byteOrderBigEndian = 0;

// Appends typed values to a preallocated buffer in the writer's byte order and hands full buffers to
// the concrete writer's flush, which must leave the buffer empty. Multi-byte values are never written
// into the last bytes of the buffer (it is flushed first when a value would reach its end); byte runs
// fill it exactly. Write errors never throw: each concrete writer keeps the first one as text. One
// thread uses a writer at a time.
class AbstractWriter {
 public:
  virtual ~AbstractWriter();
  AbstractWriter(const AbstractWriter&) = delete;
  AbstractWriter& operator=(const AbstractWriter&) = delete;

  // Hands the buffered bytes on and empties the buffer.
  virtual void flush() = 0;

  void writeByte(int32_t value);
  void writeShort(int32_t value);
  void writeInt(int32_t value);
  void writeLong(int64_t value);
  // The low 32 bits as an int, or all 64 as a long, as the writer's ids are.
  void writeId(int64_t id);
  // Int length, then the bytes without the terminating zero; a null text is the length -1 alone.
  void writeString(const char* text);
  // Int length, then the bytes.
  void writeByteVector(const YString& bytes);
  void writeByteVector(const YVector<unsigned char>& bytes);
  // `count` elements of the JNI primitive type of the signature character ("B", "Z", "C", "S", "I",
  // "F", "J", "D"), each in the writer's byte order. Any other character is fatal.
  void writePrimitiveArray(const void* data, char signature, int32_t count);
  // The value narrowed to the type of the signature character: its low 8, 16, 32 or all 64 bits.
  void writePrimitiveValue(int64_t value, char signature);

 protected:
  // `capacity` must hold the widest value (8 bytes).
  AbstractWriter(int32_t capacity, bool idsAre4Bytes, int32_t byteOrder);

  bool idsAre4Bytes;
  int32_t capacity;
  unsigned char* buffer;
  int32_t position;  // bytes used in the buffer
  int32_t byteOrder;

 private:
  // Flushes when fewer than `size` + 1 bytes are free, then appends the low `size` bytes of `value`.
  void writeValue(uint64_t value, int32_t size);
  void writeBytes(const void* data, int32_t count);
  void flushChecked();
};

// Bytes of one element of a JNI primitive type: 1, 2, 4 or 8; -1 for any other signature character.
int32_t getPrimitiveTypeSize(char signature);
// The value narrowed to the type and widened back: "B", "S", "I" and "F" sign-extended from 8, 16 and 32
// bits, "C" zero-extended from 16, "Z" 1 when its low byte is 1 and else 0, "J" and "D" unchanged; 0 for
// any other character.
int64_t normalizePrimitiveValue(char signature, int64_t value);

// The text of an errno value in a writer's error: the English errno text, else the system's.
YString writerErrorText(int32_t errorNumber);
// Writes all bytes to the descriptor. On failure the text of the cause goes to `errorText` unless that
// already holds the first failure's; false then.
bool writeAllRecordingError(int32_t fd, const void* data, int32_t count, YString& errorText);
