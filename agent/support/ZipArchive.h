#pragma once

#include <cstdint>

#include "agent/support/YString.h"

// Little-endian fields of the archive's records.
inline uint16_t zipU16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t zipU32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Room for an entry name with its terminator; longer names are cut.
constexpr int32_t zipNameBufferSize = 260;

// One central directory header, as the archive stores it.
struct ZipCentralHeader {
  uint16_t versionMadeBy;
  uint16_t versionNeeded;
  uint16_t flags;
  uint16_t method;
  uint32_t dosDateTime;  // time in the low half, date in the high half
  uint32_t crc;
  uint32_t compressedSize;
  uint32_t uncompressedSize;
  uint16_t nameLength;
  uint16_t extraLength;
  uint16_t commentLength;
  uint16_t diskNumberStart;
  uint16_t internalAttributes;
  uint32_t externalAttributes;
  uint32_t localHeaderOffset;
  // The UTF-8 name, NUL-terminated; one of 260 bytes or more is cut to at most 259 at a character
  // boundary.
  char name[zipNameBufferSize];
};

// Where an entry's pieces lie in the file, from its local header.
struct ZipLocalLayout {
  int64_t extraPosition;
  int32_t extraLength;
  int64_t dataPosition;
};

// Sizes from 2 GiB up (ZIP64's 0xFFFFFFFF among them) do not fit the reader's 32-bit sizes.
inline bool hasSupportedSizes(const ZipCentralHeader& header) {
  return header.compressedSize < 0x80000000u && header.uncompressedSize < 0x80000000u;
}

// A ZIP archive in a file, possibly after other data. The central directory is walked entry by entry;
// no list of entries is kept. Every read is bounded by what a header says and must deliver all its bytes.
class ZipArchive {
 public:
  ZipArchive() = default;
  ~ZipArchive();
  ZipArchive(const ZipArchive&) = delete;
  ZipArchive& operator=(const ZipArchive&) = delete;

  // Opens the file and reads its end-of-central-directory record. False when the file cannot be opened
  // or holds no usable single-disk archive; nothing stays open then.
  bool open(const YString& path);
  int32_t entryCount() const { return count; }

  // Makes entry `index` the current one and reads its central header: forward from the current entry,
  // from the first when going back. False when a header on the way cannot be read.
  bool goToEntry(int32_t index);
  const ZipCentralHeader& current() const { return header; }

  // Checks the current entry's local header against its central header (signature, method 0 or 8,
  // name length, and CRC and sizes unless a data descriptor follows the data) and gives its layout.
  bool checkLocalHeader(ZipLocalLayout& layout);

  // Exactly `count` bytes at `position` of the file.
  bool readAt(int64_t position, void* buffer, int32_t count);

 private:
  bool findEndRecord(int64_t& recordPosition);
  bool readEndRecord(int64_t recordPosition);
  bool readHeaderAt(int32_t index, int64_t position);

  int32_t fd = -1;
  int64_t fileSize = 0;
  int32_t count = 0;
  // The central directory's place in the file, the bytes before the archive included.
  int64_t directoryStart = 0;
  int64_t directoryEnd = 0;
  int64_t bytesBefore = 0;
  int32_t currentIndex = -1;
  int64_t currentPosition = 0;
  // Entries from this index on lie behind a header that cannot be read; no walk goes there again.
  int32_t unreachableFrom = 0;
  ZipCentralHeader header = {};
};
