#include "agent/db/AbstractWriter.h"

#include <cerrno>
#include <cstring>

#include "agent/heap/ErrnoText.h"
#include "agent/platform/Files.h"
#include "agent/support/FatalError.h"
#include "agent/support/Formatting.h"
#include "agent/support/YAllocator.h"

namespace {

[[noreturn]] void unexpectedSignature(char signature) {
  YString message("unexpected signature: ");
  message.appendLong(static_cast<unsigned char>(signature));
  fatalError(message.data, "AbstractWriter", __LINE__);
}

// An element of 2, 4 or 8 bytes in the machine's own order, as the JVM hands arrays over.
uint64_t nativeElement(const unsigned char* element, int32_t size) {
  if (size == 2) {
    uint16_t value;
    std::memcpy(&value, element, 2);
    return value;
  }
  if (size == 4) {
    uint32_t value;
    std::memcpy(&value, element, 4);
    return value;
  }
  uint64_t value;
  std::memcpy(&value, element, 8);
  return value;
}

}  // namespace

AbstractWriter::AbstractWriter(int32_t capacity, bool idsAre4Bytes, int32_t byteOrder)
    : idsAre4Bytes(idsAre4Bytes), capacity(capacity), buffer(nullptr), position(0), byteOrder(byteOrder) {
  if (capacity < 8) assertionFailed("assertion failed", "AbstractWriter", __LINE__);
  buffer = allocZeroed<unsigned char>(capacity);
}

AbstractWriter::~AbstractWriter() { freeBlock(buffer); }

void AbstractWriter::flushChecked() {
  flush();
  if (position != 0) assertionFailed("assertion failed", "AbstractWriter", __LINE__);
}

void AbstractWriter::writeValue(uint64_t value, int32_t size) {
  if (position + size >= capacity) flushChecked();
  unsigned char* out = buffer + position;
  for (int32_t i = 0; i < size; i++) {
    const int32_t shift = byteOrder == byteOrderLittleEndian ? 8 * i : 8 * (size - 1 - i);
    out[i] = static_cast<unsigned char>(value >> shift);
  }
  position += size;
}

// The same result as one writeByte per byte, a block at a time.
void AbstractWriter::writeBytes(const void* data, int32_t count) {
  const unsigned char* next = static_cast<const unsigned char*>(data);
  while (count > 0) {
    if (position == capacity) flushChecked();
    const int32_t chunk = count < capacity - position ? count : capacity - position;
    std::memcpy(buffer + position, next, size_t(chunk));
    position += chunk;
    next += chunk;
    count -= chunk;
  }
}

void AbstractWriter::writeByte(int32_t value) {
  if (position == capacity) flushChecked();
  buffer[position++] = static_cast<unsigned char>(value);
}

void AbstractWriter::writeShort(int32_t value) { writeValue(uint64_t(value), 2); }

void AbstractWriter::writeInt(int32_t value) { writeValue(uint64_t(int64_t(value)), 4); }

void AbstractWriter::writeLong(int64_t value) { writeValue(uint64_t(value), 8); }

void AbstractWriter::writeId(int64_t id) {
  if (idsAre4Bytes) {
    writeInt(int32_t(uint32_t(uint64_t(id))));
  } else {
    writeLong(id);
  }
}

void AbstractWriter::writeString(const char* text) {
  if (text == nullptr) {
    writeInt(-1);
    return;
  }
  const size_t length = std::strlen(text);
  writeInt(int32_t(length));
  writeBytes(text, int32_t(length));
}

void AbstractWriter::writeByteVector(const YString& bytes) {
  writeInt(bytes.length);
  writeBytes(bytes.data, bytes.length);
}

void AbstractWriter::writeByteVector(const YVector<unsigned char>& bytes) {
  writeInt(bytes.size);
  writeBytes(bytes.data, bytes.size);
}

void AbstractWriter::writePrimitiveArray(const void* data, char signature, int32_t count) {
  const int32_t size = getPrimitiveTypeSize(signature);
  if (size < 0) unexpectedSignature(signature);
  const unsigned char* element = static_cast<const unsigned char*>(data);
  for (int32_t i = 0; i < count; i++, element += size) {
    if (size == 1) {
      writeByte(*element);
    } else {
      writeValue(nativeElement(element, size), size);
    }
  }
}

void AbstractWriter::writePrimitiveValue(int64_t value, char signature) {
  const int32_t size = getPrimitiveTypeSize(signature);
  if (size < 0) unexpectedSignature(signature);
  if (size == 1) {
    writeByte(int32_t(value & 0xFF));
  } else {
    writeValue(uint64_t(value), size);
  }
}

int32_t getPrimitiveTypeSize(char signature) {
  switch (signature) {
    case 'B': case 'Z': return 1;
    case 'C': case 'S': return 2;
    case 'F': case 'I': return 4;
    case 'D': case 'J': return 8;
    default: return -1;
  }
}

int64_t normalizePrimitiveValue(char signature, int64_t value) {
  switch (signature) {
    case 'B': return int8_t(uint8_t(value));
    case 'C': return uint16_t(value);
    case 'S': return int16_t(uint16_t(value));
    case 'I': case 'F': return int32_t(uint32_t(value));
    case 'J': case 'D': return value;
    case 'Z': return (value & 0xFF) == 1 ? 1 : 0;
    default: return 0;
  }
}

YString writerErrorText(int32_t errorNumber) {
  const YString text = errnoText(errorNumber);
  return text.length > 0 ? text : getSystemErrorText(errorNumber);
}

// A write that took nothing without saying why still failed; it must not read as "Success".
bool writeAllRecordingError(int32_t fd, const void* data, int32_t count, YString& errorText) {
  errno = 0;
  if (writeFile(fd, data, count)) return true;
  const int32_t errorNumber = errno;
  errno = 0;
  if (errorText.length > 0) return false;
  errorText = errorNumber == 0 ? YString("Incomplete write") : writerErrorText(errorNumber);
  return false;
}
