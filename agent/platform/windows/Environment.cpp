#include "agent/platform/Environment.h"

#include <windows.h>

#include "agent/platform/windows/WideText.h"
#include "agent/support/Log.h"

YString y_getenv(const char* name) {
  const YWideString wideName = toWideString(YString(name));
  wchar_t* value = reinterpret_cast<wchar_t*>(newWideBuffer(32767));
  const DWORD length = GetEnvironmentVariableW(wideData(wideName), value, 32767);
  YString result = length > 0 && length < 32767 ? utf8FromWide(value) : YString();
  freeBlock(value);
  return result;
}

void y_setenv(const char* name, const char* value) {
  logMessage(YString("y_setenv: ") + name + "=" + value);
  SetEnvironmentVariableW(wideData(toWideString(YString(name))), wideData(toWideString(YString(value))));
}

YString getEnvironment() {
  wchar_t* block = GetEnvironmentStringsW();
  if (block == nullptr) return YString();
  YString text;
  for (const wchar_t* entry = block; *entry != 0; entry += wcslen(entry) + 1) {
    if (entry[0] == L'=') continue;
    if (text.length > 0) text.append("\n");
    text.append(utf8FromWide(entry));
  }
  FreeEnvironmentStringsW(block);
  return text;
}
