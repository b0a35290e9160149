// Arbitrary bytes through both UTF converters. Whatever comes in, the results are well-formed: converting
// back and forth again changes nothing; and a round trip that changed the text must have replaced
// something by U+FFFD.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "agent/support/YString.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

bool sameText(const YString& a, const YString& b) {
  return a.length == b.length && std::memcmp(a.data, b.data, size_t(a.length)) == 0;
}

bool holdsReplacement(const YWideString& text) {
  for (int32_t i = 0; i < text.length; i++) {
    if (text.data[i] == 0xFFFD) return true;
  }
  return false;
}

bool sameText(const YWideString& a, const YWideString& b) {
  return a.length == b.length && std::memcmp(a.data, b.data, sizeof(char16_t) * size_t(a.length)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  // As UTF-8: the text up to the first NUL, as the converter reads it.
  YString narrow;
  for (size_t i = 0; i < size && bytes[i] != 0; i++) narrow.append(char(bytes[i]));
  const YWideString wide = toWideString(narrow);
  const YString back = toUtf8String(wide);
  require(sameText(toWideString(back), wide));
  require(sameText(back, narrow) || holdsReplacement(wide));

  // As UTF-16 units, unpaired surrogates and all.
  YWideString units;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const char16_t unit = char16_t(bytes[i] | bytes[i + 1] << 8);
    if (unit == 0) break;
    units.append(unit);
  }
  const YString utf8 = toUtf8String(units);
  require(sameText(toUtf8String(toWideString(utf8)), utf8));
  return 0;
}
