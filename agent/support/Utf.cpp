// toUtf8String and toWideString (declared in YString.h): our own codec, so that every platform converts
// alike. Ill-formed input follows the Unicode standard's recommended practice: each maximal ill-formed
// subsequence of UTF-8 and each unpaired surrogate of UTF-16 becomes one U+FFFD.
#include "agent/support/YString.h"

namespace {

constexpr char32_t replacementCharacter = 0xFFFD;

bool isHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void appendUtf8(YString& out, char32_t c) {
  if (c < 0x80) {
    out.append(char(c));
  } else if (c < 0x800) {
    out.append(char(0xC0 | (c >> 6)));
    out.append(char(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.append(char(0xE0 | (c >> 12)));
    out.append(char(0x80 | ((c >> 6) & 0x3F)));
    out.append(char(0x80 | (c & 0x3F)));
  } else {
    out.append(char(0xF0 | (c >> 18)));
    out.append(char(0x80 | ((c >> 12) & 0x3F)));
    out.append(char(0x80 | ((c >> 6) & 0x3F)));
    out.append(char(0x80 | (c & 0x3F)));
  }
}

void appendUtf16(YWideString& out, char32_t c) {
  if (c < 0x10000) {
    out.append(char16_t(c));
  } else {
    c -= 0x10000;
    out.append(char16_t(0xD800 + (c >> 10)));
    out.append(char16_t(0xDC00 + (c & 0x3FF)));
  }
}

// A well-formed UTF-8 sequence led by some byte: its length and the range of its second byte, which
// excludes overlong forms, surrogates and values above U+10FFFF. Later bytes are always 0x80 to 0xBF.
struct Utf8Lead {
  int32_t count;
  uint8_t secondLow;
  uint8_t secondHigh;
};

Utf8Lead utf8Lead(uint8_t byte) {
  if (byte >= 0xC2 && byte <= 0xDF) return {2, 0x80, 0xBF};
  if (byte == 0xE0) return {3, 0xA0, 0xBF};
  if (byte == 0xED) return {3, 0x80, 0x9F};
  if (byte >= 0xE1 && byte <= 0xEF) return {3, 0x80, 0xBF};
  if (byte == 0xF0) return {4, 0x90, 0xBF};
  if (byte >= 0xF1 && byte <= 0xF3) return {4, 0x80, 0xBF};
  if (byte == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};  // a continuation byte, C0, C1 or F5 to FF never leads
}

}  // namespace

YString toUtf8String(const YWideString& text) {
  YString out;
  const char16_t* units = text.data;
  int32_t i = 0;
  while (i < text.length && units[i] != 0) {
    const char32_t unit = units[i];
    if (isHighSurrogate(unit) && i + 1 < text.length && isLowSurrogate(units[i + 1])) {
      appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      i += 2;
    } else {
      const bool unpaired = isHighSurrogate(unit) || isLowSurrogate(unit);
      appendUtf8(out, unpaired ? replacementCharacter : unit);
      i++;
    }
  }
  return out;
}

YWideString toWideString(const YString& text) {
  YWideString out;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data);
  int32_t i = 0;
  while (i < text.length && bytes[i] != 0) {
    const uint8_t lead = bytes[i];
    if (lead < 0x80) {
      appendUtf16(out, lead);
      i++;
      continue;
    }
    const Utf8Lead form = utf8Lead(lead);
    if (form.count == 0) {
      appendUtf16(out, replacementCharacter);
      i++;
      continue;
    }
    char32_t c = lead & (0x7F >> form.count);
    int32_t taken = 1;
    while (taken < form.count && i + taken < text.length) {
      const uint8_t next = bytes[i + taken];
      const uint8_t low = taken == 1 ? form.secondLow : 0x80;
      const uint8_t high = taken == 1 ? form.secondHigh : 0xBF;
      if (next < low || next > high) break;
      c = (c << 6) | (next & 0x3F);
      taken++;
    }
    appendUtf16(out, taken == form.count ? c : replacementCharacter);
    i += taken;
  }
  return out;
}
