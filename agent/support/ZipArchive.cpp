#include "agent/support/ZipArchive.h"

#include <algorithm>

#include "agent/platform/FileOffsets.h"
#include "agent/platform/Files.h"

namespace {

constexpr uint32_t endRecordSignature = 0x06054b50;
constexpr uint32_t centralHeaderSignature = 0x02014b50;
constexpr uint32_t localHeaderSignature = 0x04034b50;
constexpr int32_t endRecordSize = 22;
constexpr int32_t centralHeaderSize = 46;
constexpr int32_t localHeaderSize = 30;
// The end record lies within this many bytes of the file's end, its comment included.
constexpr int64_t endRecordSearchRange = 65535;
constexpr int32_t searchBlockSize = 1024;
constexpr uint16_t dataDescriptorFlag = 0x8;

int32_t utf8SequenceLength(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

// How many of the first `count` bytes of a name to keep so that it ends on a UTF-8 character boundary:
// a sequence that the cut would break is dropped whole.
int32_t boundaryBefore(const unsigned char* name, int32_t count) {
  int32_t start = count - 1;
  while (start > 0 && start > count - 4 && (name[start] & 0xC0) == 0x80) start--;
  return start + utf8SequenceLength(name[start]) > count ? start : count;
}

}  // namespace

ZipArchive::~ZipArchive() {
  if (fd >= 0) closeFile(fd);
}

bool ZipArchive::open(const YString& path) {
  fd = openFileForRead(path);
  if (fd < 0) return false;
  fileSize = seekFileToEnd(fd);
  int64_t recordPosition = 0;
  if (fileSize < 0 || !findEndRecord(recordPosition) || !readEndRecord(recordPosition)) {
    closeFile(fd);
    fd = -1;
    return false;
  }
  return true;
}

// Blocks of 1028 bytes going back from the end, 1024 bytes apart so that a signature across the border
// of two blocks is seen whole; within a block the search runs backwards, so the record nearest the end
// wins.
bool ZipArchive::findEndRecord(int64_t& recordPosition) {
  const int64_t range = std::min(endRecordSearchRange, fileSize);
  unsigned char block[searchBlockSize + 4];
  for (int64_t back = 4; back < range;) {
    back = std::min(back + searchBlockSize, range);
    const int64_t blockStart = fileSize - back;
    const int32_t blockSize = int32_t(std::min<int64_t>(searchBlockSize + 4, fileSize - blockStart));
    if (!readAt(blockStart, block, blockSize)) return false;
    for (int32_t i = blockSize - 4; i >= 0; i--) {
      if (zipU32(block + i) == endRecordSignature) {
        recordPosition = blockStart + i;
        return true;
      }
    }
  }
  return false;
}

bool ZipArchive::readEndRecord(int64_t recordPosition) {
  unsigned char record[endRecordSize];
  if (!readAt(recordPosition, record, endRecordSize)) return false;
  const uint16_t thisDisk = zipU16(record + 4);
  const uint16_t directoryDisk = zipU16(record + 6);
  const uint16_t entriesOnDisk = zipU16(record + 8);
  const uint16_t totalEntries = zipU16(record + 10);
  const uint32_t directorySize = zipU32(record + 12);
  const uint32_t directoryOffset = zipU32(record + 16);
  const int64_t directoryLimit = int64_t(directoryOffset) + directorySize;
  if (thisDisk != 0 || directoryDisk != 0 || entriesOnDisk != totalEntries || recordPosition < directoryLimit) {
    return false;
  }
  bytesBefore = recordPosition - directoryLimit;
  directoryStart = bytesBefore + directoryOffset;
  directoryEnd = recordPosition;
  count = totalEntries;
  unreachableFrom = count;
  return true;
}

bool ZipArchive::goToEntry(int32_t index) {
  if (index < 0 || index >= unreachableFrom) return false;
  if (currentIndex < 0 || index < currentIndex) {
    if (!readHeaderAt(0, directoryStart)) return false;
  }
  while (currentIndex < index) {
    const int64_t next =
        currentPosition + centralHeaderSize + header.nameLength + header.extraLength + header.commentLength;
    if (!readHeaderAt(currentIndex + 1, next)) return false;
  }
  return true;
}

// A header must lie wholly inside the central directory, so that the next one starts inside it too (or at
// the end record, whose signature is no header's). The walk to the next entry uses the stored lengths,
// however much of the name was kept.
bool ZipArchive::readHeaderAt(int32_t index, int64_t position) {
  currentIndex = -1;
  unsigned char fixed[centralHeaderSize];
  if (!readAt(position, fixed, centralHeaderSize) || zipU32(fixed) != centralHeaderSignature) {
    unreachableFrom = std::min(unreachableFrom, index);
    return false;
  }
  ZipCentralHeader h;
  h.versionMadeBy = zipU16(fixed + 4);
  h.versionNeeded = zipU16(fixed + 6);
  h.flags = zipU16(fixed + 8);
  h.method = zipU16(fixed + 10);
  h.dosDateTime = zipU32(fixed + 12);
  h.crc = zipU32(fixed + 16);
  h.compressedSize = zipU32(fixed + 20);
  h.uncompressedSize = zipU32(fixed + 24);
  h.nameLength = zipU16(fixed + 28);
  h.extraLength = zipU16(fixed + 30);
  h.commentLength = zipU16(fixed + 32);
  h.diskNumberStart = zipU16(fixed + 34);
  h.internalAttributes = zipU16(fixed + 36);
  h.externalAttributes = zipU32(fixed + 38);
  h.localHeaderOffset = zipU32(fixed + 42);
  const int64_t recordEnd = position + centralHeaderSize + h.nameLength + h.extraLength + h.commentLength;
  const int32_t kept = std::min<int32_t>(h.nameLength, zipNameBufferSize - 1);
  unsigned char* name = reinterpret_cast<unsigned char*>(h.name);
  if (recordEnd > directoryEnd || !readAt(position + centralHeaderSize, name, kept)) {
    unreachableFrom = std::min(unreachableFrom, index);
    return false;
  }
  h.name[kept < h.nameLength ? boundaryBefore(name, kept) : kept] = 0;
  header = h;
  currentIndex = index;
  currentPosition = position;
  return true;
}

bool ZipArchive::checkLocalHeader(ZipLocalLayout& layout) {
  if (currentIndex < 0) return false;
  const int64_t position = bytesBefore + header.localHeaderOffset;
  unsigned char local[localHeaderSize];
  if (!readAt(position, local, localHeaderSize) || zipU32(local) != localHeaderSignature) return false;
  const uint16_t flags = zipU16(local + 6);
  const uint16_t method = zipU16(local + 8);
  if (method != header.method || (method != 0 && method != 8)) return false;
  if ((flags & dataDescriptorFlag) == 0 &&
      (zipU32(local + 14) != header.crc || zipU32(local + 18) != header.compressedSize ||
       zipU32(local + 22) != header.uncompressedSize)) {
    return false;
  }
  const uint16_t nameLength = zipU16(local + 26);
  if (nameLength != header.nameLength) return false;
  layout.extraPosition = position + localHeaderSize + nameLength;
  layout.extraLength = zipU16(local + 28);
  layout.dataPosition = layout.extraPosition + layout.extraLength;
  return true;
}

bool ZipArchive::readAt(int64_t position, void* buffer, int32_t count) {
  if (count == 0) return true;
  if (position < 0 || count < 0 || position > fileSize - count || seekFile(fd, position) != position) return false;
  auto* next = static_cast<unsigned char*>(buffer);
  for (int32_t left = count; left > 0;) {
    const int32_t n = readFile(fd, next, left);
    if (n <= 0) return false;
    next += n;
    left -= n;
  }
  return true;
}
