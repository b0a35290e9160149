#include "agent/platform/LifetimeFiles.h"

#include <windows.h>

#include "agent/platform/windows/WideText.h"

// Deleted when its one handle closes, which is when the process ends.
int64_t createProcessLifetimeFile(const YString& path) {
  HANDLE file = CreateFileW(wideData(toWideString(path)), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  return file == INVALID_HANDLE_VALUE ? -1 : int64_t(reinterpret_cast<intptr_t>(file));
}

bool replaceLifetimeFileContent(int64_t file, const YString& text) {
  HANDLE handle = reinterpret_cast<HANDLE>(intptr_t(file));
  if (SetFilePointer(handle, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER || !SetEndOfFile(handle)) return false;
  DWORD written = 0;
  return WriteFile(handle, text.data, DWORD(text.length), &written, nullptr) && written == DWORD(text.length);
}

// The writer holds the file for writing and deletion, so a reader must share both.
bool readSharedFile(const YString& path, int32_t limit, YString& text) {
  text = YString();
  HANDLE file = CreateFileW(wideData(toWideString(path)), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return false;
  }
  char buffer[4096];
  while (text.length < limit) {
    DWORD count = 0;
    if (!ReadFile(file, buffer, sizeof(buffer), &count, nullptr) || count == 0) break;
    const int32_t kept = int32_t(count) < limit - text.length ? int32_t(count) : limit - text.length;
    text.append(YString::copyOf(buffer, kept));
  }
  CloseHandle(file);
  return true;
}
