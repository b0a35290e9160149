#include "agent/platform/Console.h"

#include "agent/platform/windows/WideText.h"
#include "agent/support/YAllocator.h"

YString toConsoleEncoding(const YString& utf8) {
  const YWideString wide = toWideString(utf8);
  const int32_t capacity = wide.length * 4 + 1;
  char* buffer = allocZeroed<char>(capacity);
  const int written = WideCharToMultiByte(CP_OEMCP, 0, wideData(wide), wide.length, buffer, capacity - 1, nullptr, nullptr);
  YString converted(written > 0 ? buffer : "");
  freeBlock(buffer);
  return converted;
}
