#pragma once

#include <windows.h>

#include "agent/support/YString.h"

// Conversions at the edge of wide Windows calls; wchar_t is a UTF-16 unit on Windows.
inline YString utf8FromWide(const wchar_t* text) {
  return toUtf8String(YWideString(reinterpret_cast<const char16_t*>(text)));
}

inline const wchar_t* wideData(const YWideString& text) { return reinterpret_cast<const wchar_t*>(text.data); }
