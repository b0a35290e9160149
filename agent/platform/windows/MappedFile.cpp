#include "agent/platform/MappedFile.h"

#include <windows.h>

#include "agent/platform/Files.h"
#include "agent/platform/windows/WideText.h"

int64_t mappingGranularity() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return int64_t(info.dwAllocationGranularity);
}

MappedFile::~MappedFile() { close(); }

bool MappedFile::open(const YString& path) {
  close();
  const HANDLE handle = CreateFileW(wideData(toWideString(path)), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  file_ = reinterpret_cast<intptr_t>(handle);
  return true;
}

bool MappedFile::isOpen() const { return file_ != -1; }

bool MappedFile::setLength(int64_t length) { return isOpen() && setFileLength(FileHandle(file_), length); }

bool MappedFile::createMapping() {
  if (!isOpen() || mapping_ != 0) return false;
  const HANDLE mapping = CreateFileMappingA(reinterpret_cast<HANDLE>(file_), nullptr, PAGE_READWRITE, 0, 0, nullptr);
  if (mapping == nullptr) return false;
  mapping_ = reinterpret_cast<intptr_t>(mapping);
  return true;
}

void MappedFile::closeMapping() {
  if (mapping_ != 0) CloseHandle(reinterpret_cast<HANDLE>(mapping_));
  mapping_ = 0;
}

void MappedFile::close() {
  closeMapping();
  if (file_ != -1) CloseHandle(reinterpret_cast<HANDLE>(file_));
  file_ = -1;
}

void* MappedFile::mapView(int64_t offset, int64_t size) {
  if (mapping_ == 0 || size <= 0) return nullptr;
  return MapViewOfFile(reinterpret_cast<HANDLE>(mapping_), FILE_MAP_WRITE, DWORD(uint64_t(offset) >> 32),
                       DWORD(uint64_t(offset) & 0xFFFFFFFF), SIZE_T(size));
}

bool MappedFile::unmapView(void* view, int64_t) { return UnmapViewOfFile(view) != 0; }
