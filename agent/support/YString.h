#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <type_traits>

#include "agent/support/FatalError.h"
#include "agent/support/YAllocator.h"

// The agent's string. YStringImpl<char> holds UTF-8 text and is used everywhere inside the agent;
// YStringImpl<char16_t> holds UTF-16 and exists only at the boundary to wide OS calls. Up to 19
// characters live inside the object; longer texts move to a zero-filled heap block that the string owns
// alone and that grows by doubling. The element at `length` is 0, and so is every element past it.
// Lengths and capacities count elements of T, never Unicode characters. A broken precondition is an
// assertion failure; nothing is reported through a result.
template <class T>
class YStringImpl {
 public:
  static constexpr int32_t inlineCapacity = 20;

  T* data;
  T inlineBuffer[inlineCapacity];
  int32_t capacity;
  int32_t length;

  YStringImpl() { init(inlineCapacity); }

  YStringImpl(const T* text) {
    if (text == nullptr) fail(112);
    const int64_t count = textLength(text);
    init(checkedCapacity(count + 1));
    appendUnchecked(text, count);
  }

  YStringImpl(const YStringImpl& other) {
    init(other.length + 1);
    appendUnchecked(other.data, other.length);
  }

  explicit YStringImpl(int64_t value) {
    init(inlineCapacity);
    appendLong(value);
  }

  // Takes over the other's heap block (a short text in its inline buffer is copied); the other is left
  // empty.
  YStringImpl(YStringImpl&& other) noexcept {
    init(inlineCapacity);
    takeFrom(other);
  }

  ~YStringImpl() { releaseHeapBlock(); }

  YStringImpl& operator=(YStringImpl&& other) noexcept {
    if (this == &other) return *this;
    reset();
    takeFrom(other);
    return *this;
  }

  YStringImpl& operator=(const YStringImpl& other) {
    if (this == &other) return *this;
    reset();
    init(other.length + 1);
    appendUnchecked(other.data, other.length);
    return *this;
  }

  // The copy is made first: `text` may point into this string's own buffer.
  void assign(const T* text) {
    if (text == nullptr) fail(112);
    *this = YStringImpl(text);
  }

  static YStringImpl fromWide(const T* text) { return YStringImpl(text); }

  // The `count` characters at `source`, which need no terminator.
  static YStringImpl copyOf(const T* source, int32_t count) {
    YStringImpl result;
    result.init(count + 1);
    result.appendUnchecked(source, count);
    return result;
  }

  // Selects the inline buffer for n <= 20, else a new zero-filled heap block of n elements. It does not
  // free a previous block.
  void init(int32_t n) {
    if (n < 1) fail(83);
    if (n <= inlineCapacity) {
      std::fill(inlineBuffer, inlineBuffer + inlineCapacity, T(0));
      data = inlineBuffer;
      capacity = inlineCapacity;
    } else {
      data = allocZeroed<T>(n);
      capacity = n;
    }
    length = 0;
  }

  // Grows to at least `needed` elements, at least doubling. Takes 64 bits so that callers can pass sums
  // of lengths unclipped; more than 2147483647 elements is an out-of-memory condition.
  void ensureCapacity(int64_t needed) {
    if (capacity >= needed) return;
    const int64_t doubled = std::min<int64_t>(int64_t(capacity) * 2, INT32_MAX);
    reallocate(checkedCapacity(std::max(doubled, needed)));
  }

  void reserve(int64_t needed) { ensureCapacity(needed); }

  void append(const YStringImpl& other) {
    const int32_t count = other.length;
    ensureCapacity(int64_t(length) + count + 1);
    appendUnchecked(other.data, count);
  }

  // A null text appends nothing.
  void append(const T* text) {
    if (text == nullptr) return;
    const int64_t count = textLength(text);
    const std::less<const T*> before;
    const bool insideOwnBuffer = !before(text, data) && before(text, data + capacity);
    const int64_t offset = insideOwnBuffer ? text - data : 0;
    growByDoubling(int64_t(length) + count + 1);
    if (insideOwnBuffer) text = data + offset;
    appendUnchecked(text, count);
  }

  void append(T c) {
    ensureCapacity(int64_t(length) + 2);
    data[length++] = c;
    data[length] = 0;
  }

  YStringImpl operator+(const YStringImpl& other) const {
    YStringImpl result(*this);
    result.append(other);
    return result;
  }

  YStringImpl operator+(const T* text) const {
    if (text == nullptr) fail(226);
    YStringImpl result(*this);
    result.append(text);
    return result;
  }

  // Empties the string and keeps its room.
  void clear() {
    std::fill(data, data + length, T(0));
    length = 0;
  }

  // Appends `count` elements of `source`, every `from` among them as `to`, growing as appending them one
  // at a time would.
  void appendReplacing(const T* source, int32_t count, T from, T to) {
    if (count < 0) fail(__LINE__);
    growByDoubling(int64_t(length) + count + 1);
    for (int32_t i = 0; i < count; i++) data[length + i] = source[i] == from ? to : source[i];
    length += count;
    data[length] = 0;
  }

  // Decimal text, exact over the whole signed 64-bit range.
  void appendLong(int64_t value) {
    if (value == 0) {
      append(T('0'));
      return;
    }
    if (value < 0) append(T('-'));
    uint64_t magnitude = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
    const int32_t firstDigit = length;
    for (; magnitude != 0; magnitude /= 10) append(T('0' + magnitude % 10));
    std::reverse(data + firstDigit, data + length);
  }

  bool equals(const T* text) const {
    if (text == nullptr) fail(246);
    for (int32_t i = 0; i < length; i++) {
      if (text[i] == 0 || text[i] != data[i]) return false;
    }
    return text[length] == 0;
  }

  bool equals(const YStringImpl& other) const {
    return length == other.length && std::equal(data, data + length, other.data);
  }

  bool startsWith(const YStringImpl& prefix) const {
    return prefix.length <= length && std::equal(prefix.data, prefix.data + prefix.length, data);
  }

  bool contains(const T* needle) const { return indexOf(needle) >= 0; }

  int32_t indexOf(const T* needle) const {
    if (needle == nullptr) fail(366);
    const int64_t count = textLength(needle);
    return count > length ? -1 : search(data, length, needle, int32_t(count));
  }

  int32_t indexOf(const YStringImpl& needle) const { return search(data, length, needle.data, needle.length); }

  // First index of `pattern` in `text`, -1 when absent, 0 for an empty pattern.
  static int32_t search(const T* text, int32_t textCount, const T* pattern, int32_t patternCount) {
    if (patternCount == 0) return 0;
    if (patternCount < 0 || textCount < 0) return -1;
    for (int32_t start = 0; start <= textCount - patternCount; start++) {
      if (text[start] == pattern[0] && std::equal(pattern + 1, pattern + patternCount, text + start + 1)) {
        return start;
      }
    }
    return -1;
  }

  YStringImpl substring(int32_t from, int32_t to) const {
    if (from < 0) fail(314);
    if (from > to) fail(315);
    if (to > length) fail(318);
    return copyOf(data + from, to - from);
  }

  YStringImpl substringFrom(int32_t from) const { return substring(from, length); }

  YStringImpl substringBefore(T c) const {
    const T* found = std::find(data, data + length, c);
    return copyOf(data, int32_t(found - data));
  }

  YStringImpl substringAfterLast(T c) const {
    for (int32_t i = length - 1; i >= 0; i--) {
      if (data[i] == c) return copyOf(data + i + 1, length - i - 1);
    }
    return *this;
  }

  // Drops leading and trailing control characters and blanks (1 to 32); bytes of 0x80 and above stay.
  YStringImpl trim() const {
    int32_t from = 0;
    int32_t to = length;
    while (from < to && isTrimmed(data[from])) from++;
    while (to > from && isTrimmed(data[to - 1])) to--;
    return copyOf(data + from, to - from);
  }

  // Occurrences are found left to right without overlap. A null pattern counts as empty, a null
  // replacement as the empty text.
  YStringImpl replaceAll(const T* pattern, const T* replacement) const {
    const int64_t patternCount = pattern == nullptr ? 0 : textLength(pattern);
    if (patternCount == 0 || patternCount > length) return *this;
    YStringImpl result;
    int32_t start = 0;
    for (;;) {
      const int32_t hit = search(data + start, length - start, pattern, int32_t(patternCount));
      if (hit < 0) break;
      result.appendCounted(data + start, hit);
      result.append(replacement);
      start += hit + int32_t(patternCount);
    }
    result.appendCounted(data + start, length - start);
    return result;
  }

  // An optional "-" and decimal digits to the end; anything else, and a value outside the result's
  // range, gives 0.
  int32_t parseInt() const { return int32_t(parseInteger(INT32_MIN, INT32_MAX)); }
  int64_t parseLong() const { return parseInteger(INT64_MIN, INT64_MAX); }

 private:
  [[noreturn]] static void fail(int32_t line) { assertionFailed("assertion failed", "YString", line); }

  static int64_t textLength(const T* text) { return int64_t(std::char_traits<T>::length(text)); }

  static int32_t checkedCapacity(int64_t needed) {
    if (needed > INT32_MAX) throw std::bad_alloc();
    return int32_t(needed);
  }

  static bool isTrimmed(T c) {
    const auto unit = static_cast<std::make_unsigned_t<T>>(c);
    return unit >= 1 && unit <= 32;
  }

  void releaseHeapBlock() {
    if (data != inlineBuffer) freeBlock(data);
  }

  // Only on an empty string in its inline state.
  void takeFrom(YStringImpl& other) noexcept {
    if (other.data == other.inlineBuffer) {
      appendUnchecked(other.data, other.length);
    } else {
      data = other.data;
      capacity = other.capacity;
      length = other.length;
    }
    other.init(inlineCapacity);
  }

  // Back to the empty inline state, which cannot fail.
  void reset() {
    releaseHeapBlock();
    init(inlineCapacity);
  }

  void reallocate(int32_t newCapacity) {
    T* block = allocZeroed<T>(newCapacity);
    std::copy(data, data + length, block);
    releaseHeapBlock();
    data = block;
    capacity = newCapacity;
  }

  // The capacity that appending one element at a time would reach: doubled until it holds `needed`.
  void growByDoubling(int64_t needed) {
    if (capacity >= needed) return;
    checkedCapacity(needed);
    int64_t grown = capacity;
    while (grown < needed) grown = std::min<int64_t>(grown * 2, INT32_MAX);
    reallocate(int32_t(grown));
  }

  void appendCounted(const T* source, int32_t count) {
    growByDoubling(int64_t(length) + count + 1);
    appendUnchecked(source, count);
  }

  // The capacity must already hold the elements and the terminator.
  void appendUnchecked(const T* source, int64_t count) {
    std::copy(source, source + count, data + length);
    length += int32_t(count);
    data[length] = 0;
  }

  int64_t parseInteger(int64_t lowest, int64_t highest) const {
    if (data == nullptr) fail(822);
    const bool negative = length > 0 && data[0] == '-';
    int32_t i = negative ? 1 : 0;
    if (i == length) return 0;
    const uint64_t limit = negative ? 0 - uint64_t(lowest) : uint64_t(highest);
    uint64_t magnitude = 0;
    for (; i < length; i++) {
      if (data[i] < '0' || data[i] > '9') return 0;
      const uint64_t digit = uint64_t(data[i] - '0');
      if (magnitude > (limit - digit) / 10) return 0;
      magnitude = magnitude * 10 + digit;
    }
    return negative ? int64_t(0 - magnitude) : int64_t(magnitude);
  }
};

using YString = YStringImpl<char>;
using YWideString = YStringImpl<char16_t>;

// Byte-wise equality of two NUL-terminated texts; a null text equals only another null.
bool stringEquals(const char* a, const char* b);

// First index of the pattern in the buffer, -1 when absent, 0 for an empty pattern.
int32_t indexOfBytes(const void* buffer, int32_t length, const void* pattern, int32_t patternLength);

// Decimal text of `value` padded in front to `width` (at least 1); the pad goes before the sign, so -5
// in width 4 padded with '0' is "00-5". Never truncates.
YString formatLong(int64_t value, int32_t width, char pad);

// Exactly `digits` (1 to 16) upper-case hexadecimal digits of the low bits of `value`.
YString toHex(int64_t value, int32_t digits);

// "<whole MB> MB (=<bytes> bytes)".
YString formatMemorySize(int64_t bytes);

// |value|; the one value without a positive counterpart, INT32_MIN, gives INT32_MAX so that the
// result is never negative.
int32_t absInt(int32_t value);

// A zero-filled heap block of `count` UTF-16 units, released with freeBlock.
char16_t* newWideBuffer(int32_t count);

// UTF-16 to UTF-8 and back. The text ends at its first NUL. An unpaired surrogate, and in UTF-8 every
// maximal ill-formed subsequence (a truncated sequence, an overlong form, an encoded surrogate, a value
// above U+10FFFF, a stray byte), becomes U+FFFD.
YString toUtf8String(const YWideString& text);
YWideString toWideString(const YString& text);
