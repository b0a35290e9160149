#include "agent/platform/Directories.h"

#include <windows.h>
#include <userenv.h>
#include <direct.h>

#include "agent/platform/Environment.h"
#include "agent/platform/windows/WideText.h"

YString getUserProfileDir() {
  YString result("C:\\");
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return result;
  wchar_t* profile = reinterpret_cast<wchar_t*>(newWideBuffer(32768));
  DWORD size = 32768;
  if (GetUserProfileDirectoryW(token, profile, &size)) result = utf8FromWide(profile);
  freeBlock(profile);
  CloseHandle(token);
  return result;
}

YString getProgramDataDir() { return y_getenv("ProgramData"); }

YString getTempDir() {
  wchar_t* path = reinterpret_cast<wchar_t*>(newWideBuffer(32768));
  const DWORD length = GetTempPathW(32768, path);
  YString result = length > 0 && length < 32768 ? utf8FromWide(path) : YString();
  freeBlock(path);
  return result;
}

YString getCurrentDir() {
  wchar_t path[4096];
  if (_wgetcwd(path, 4096) == nullptr) return YString();
  return utf8FromWide(path);
}

YString getAgentLibraryPath() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&getAgentLibraryPath), &module)) {
    return YString();
  }
  wchar_t path[261];
  const DWORD length = GetModuleFileNameW(module, path, 260);
  if (length == 0 || length >= 260) return YString();
  path[length] = 0;
  return utf8FromWide(path);
}
