#include "agent/support/ZipReader.h"

#include <cstring>
#include <memory>

#include "agent/platform/LocalTime.h"
#include "agent/support/YString.h"
#include "agent/support/ZipArchive.h"
#include "agent/support/ZipEntryStream.h"

int32_t lastZipResult = 0;

namespace {

constexpr uint16_t extendedTimestampId = 0x5455;  // "UT"
constexpr int64_t secondsFrom1601To1970 = 11644473600LL;

int32_t finish(int32_t result) {
  lastZipResult = result;
  return result;
}

// Hosts whose external attributes are DOS attributes (FAT, Macintosh, NTFS, VFAT); the others keep a
// Unix mode in the high half: owner write and directory bits.
uint32_t attributesOf(const ZipCentralHeader& header) {
  const uint32_t host = header.versionMadeBy >> 8;
  const uint32_t external = header.externalAttributes;
  bool readOnly;
  bool directory;
  if (host == 0 || host == 7 || host == 11 || host == 14) {
    readOnly = (external & 0x01) != 0;
    directory = (external & 0x10) != 0;
  } else {
    readOnly = (external & 0x00800000) == 0;
    directory = (external & 0x40000000) != 0;
  }
  return (directory ? 0x10 : 0) | (readOnly ? 0x01 : 0);
}

// DOS times are local times.
int64_t fileTimeOfDosDateTime(uint32_t dosDateTime) {
  const uint32_t date = dosDateTime >> 16;
  const uint32_t time = dosDateTime & 0xFFFF;
  return fileTimeOfLocalTime(LocalDateTime{int32_t((date >> 9) + 1980), int32_t((date >> 5) & 15), int32_t(date & 31),
                                           int32_t(time >> 11), int32_t((time >> 5) & 63), int32_t((time & 31) * 2),
                                           0});
}

// The times of the first "UT" record: flags, then the modification, access and creation times that the
// flags name, each in Unix seconds. Nothing past the record or the field is read; a record that runs past
// the field ends the search.
void takeExtendedTimestamps(const unsigned char* extra, int32_t length, ZipEntryInfo& info) {
  for (int32_t at = 0; at + 4 <= length;) {
    const int32_t data = at + 4;
    const int32_t size = zipU16(extra + at + 2);
    if (size > length - data) return;
    if (zipU16(extra + at) == extendedTimestampId) {
      if (size < 1) return;
      int64_t* const times[3] = {&info.modificationTime, &info.accessTime, &info.creationTime};
      int32_t next = 1;
      for (int32_t bit = 0; bit < 3; bit++) {
        if ((extra[data] & (1 << bit)) == 0) continue;
        if (next + 4 > size) return;
        const int32_t seconds = int32_t(zipU32(extra + data + next));
        *times[bit] = (seconds + secondsFrom1601To1970) * 10000000;
        next += 4;
      }
      return;
    }
    at = data + size;
  }
}

void copyName(const char* utf8, char16_t* name) {
  const YWideString wide = toWideString(YString(utf8));
  const int32_t units = wide.length < zipEntryNameUnits - 1 ? wide.length : zipEntryNameUnits - 1;
  std::memcpy(name, wide.data, sizeof(char16_t) * size_t(units));
  name[units] = 0;
}

}  // namespace

// What a handle holds: the archive, the entry open for unzipping and a copy of the last entry listed.
class ZipReader {
 public:
  explicit ZipReader(const char* password) : hasPassword(password != nullptr) {
    if (hasPassword) this->password.assign(password);
  }

  void closeEntry() {
    openEntry.reset();
    openIndex = -1;
  }

  int32_t describeEntry(int32_t index, ZipEntryInfo& info) {
    if (!archive.goToEntry(index)) return zipBadEntryHeader;
    const ZipCentralHeader& header = archive.current();
    ZipLocalLayout layout;
    if (!hasSupportedSizes(header) || !archive.checkLocalHeader(layout)) return zipBadEntryHeader;
    std::unique_ptr<unsigned char[]> extra(new unsigned char[size_t(layout.extraLength) + 1]);
    if (!archive.readAt(layout.extraPosition, extra.get(), layout.extraLength)) return zipBadExtraField;

    std::memset(&info, 0, sizeof(info));
    info.index = index;
    copyName(header.name, info.name);
    info.attributes = attributesOf(header);
    const int64_t dosTime = fileTimeOfDosDateTime(header.dosDateTime);
    info.accessTime = dosTime;
    info.creationTime = dosTime;
    info.modificationTime = dosTime;
    info.compressedSize = int32_t(header.compressedSize);
    info.uncompressedSize = int32_t(header.uncompressedSize);
    takeExtendedTimestamps(extra.get(), layout.extraLength, info);
    cachedIndex = index;
    cachedInfo = info;
    return zipOk;
  }

  bool openEntryAt(int32_t index) {
    ZipLocalLayout layout;
    if (!archive.goToEntry(index) || !archive.checkLocalHeader(layout)) return false;
    std::unique_ptr<ZipEntryStream> entry(new ZipEntryStream());
    if (!entry->open(archive.current(), layout.dataPosition, hasPassword ? password.data : nullptr)) return false;
    openEntry = std::move(entry);
    openIndex = index;
    return true;
  }

  ZipArchive archive;
  std::unique_ptr<ZipEntryStream> openEntry;
  int32_t openIndex = -1;
  int32_t cachedIndex = -1;
  ZipEntryInfo cachedInfo = {};

 private:
  bool hasPassword;
  YString password;
};

namespace {

// 0 for a usable unzip handle, else the code that refuses it.
int32_t checkHandle(const ZipHandle* handle) {
  if (handle == nullptr || handle->reader == nullptr) return zipBadArgument;
  return handle->mode == zipUnzipMode ? zipOk : zipNotUnzipHandle;
}

}  // namespace

ZipHandle* openZipFile(const char16_t* fileName, const char* password) {
  if (fileName == nullptr) {
    lastZipResult = zipCannotOpen;
    return nullptr;
  }
  std::unique_ptr<ZipReader> reader(new ZipReader(password));
  if (!reader->archive.open(toUtf8String(YWideString(fileName)))) {
    lastZipResult = zipCannotOpen;
    return nullptr;
  }
  ZipHandle* handle = new ZipHandle{zipUnzipMode, reader.release()};
  lastZipResult = zipOk;
  return handle;
}

int32_t getZipEntry(ZipHandle* handle, int32_t index, ZipEntryInfo* info) {
  const int32_t refusal = checkHandle(handle);
  if (refusal != zipOk) return finish(refusal);
  ZipReader& reader = *handle->reader;
  if (info == nullptr || index < -1 || index >= reader.archive.entryCount()) return finish(zipBadArgument);
  reader.closeEntry();
  if (index == -1) {
    std::memset(info, 0, sizeof(*info));
    info->index = reader.archive.entryCount();
    return finish(zipOk);
  }
  if (index == reader.cachedIndex) {
    *info = reader.cachedInfo;
    return finish(zipOk);
  }
  return finish(reader.describeEntry(index, *info));
}

int32_t unzipEntryToMemory(ZipHandle* handle, int32_t index, void* buffer, int32_t length) {
  const int32_t refusal = checkHandle(handle);
  if (refusal != zipOk) return finish(refusal);
  ZipReader& reader = *handle->reader;
  if (index < 0 || index >= reader.archive.entryCount() || buffer == nullptr || length <= 0) {
    return finish(zipBadArgument);
  }
  if (index != reader.openIndex) {
    reader.closeEntry();
    if (!reader.openEntryAt(index)) return finish(zipUnzipFailed);
  }
  const ZipReadResult read = reader.openEntry->read(reader.archive, static_cast<unsigned char*>(buffer), length);
  switch (read.status) {
    case ZipReadStatus::more:
      return finish(zipMoreData);
    case ZipReadStatus::complete:
      // A complete entry stays open until it is read once more, listed, replaced or closed.
      if (read.delivered == 0) reader.closeEntry();
      return finish(zipOk);
    case ZipReadStatus::passwordError:
      reader.closeEntry();
      return finish(zipPasswordFailed);
    case ZipReadStatus::dataError:
      break;
  }
  reader.closeEntry();
  return finish(zipUnzipFailed);
}

int32_t closeZip(ZipHandle* handle) {
  const int32_t refusal = checkHandle(handle);
  if (refusal != zipOk) return finish(refusal);
  delete handle->reader;
  delete handle;
  return finish(zipOk);
}
