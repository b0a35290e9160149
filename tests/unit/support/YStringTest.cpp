#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <string>
#include <vector>

#include "agent/support/YString.h"
#include "tests/support/FatalErrorOutput.h"

namespace {

std::string text(const YString& s) { return std::string(s.data, size_t(s.length)); }
std::u16string text(const YWideString& s) { return std::u16string(s.data, size_t(s.length)); }

void expectAssertion(const std::function<void()>& action, int line) {
  EXPECT_EQ(fatalErrorOf(action), "error at YString:" + std::to_string(line) + ": assertion failed");
}

// Every element from `length` to the end of the buffer must be 0.
void expectTerminated(const YString& s) {
  for (int32_t i = s.length; i < s.capacity; i++) ASSERT_EQ(s.data[i], 0) << "at " << i;
}

}  // namespace

TEST(YStringGrowth, StaysInlineFor19CharactersThenDoubles) {
  YString s;
  for (int i = 0; i < 19; i++) s.append(char('a' + i));
  EXPECT_EQ(s.capacity, 20);
  EXPECT_EQ(s.data, s.inlineBuffer);

  s.append('t');
  EXPECT_EQ(s.capacity, 40);
  EXPECT_NE(s.data, s.inlineBuffer);
  EXPECT_EQ(text(s), "abcdefghijklmnopqrst");
  expectTerminated(s);

  while (s.length < 40) s.append('x');
  EXPECT_EQ(s.capacity, 80);
  EXPECT_EQ(text(s).substr(0, 20), "abcdefghijklmnopqrst");
  expectTerminated(s);
}

TEST(YStringGrowth, InitSelectsInlineBufferOrExactZeroFilledBlock) {
  struct Case { int32_t requested; int32_t capacity; bool inlineBuffer; };
  for (const Case& c : std::vector<Case>{{1, 20, true}, {20, 20, true}, {21, 21, false}, {300, 300, false}}) {
    YString s;
    s.init(c.requested);
    EXPECT_EQ(s.capacity, c.capacity) << c.requested;
    EXPECT_EQ(s.data == s.inlineBuffer, c.inlineBuffer) << c.requested;
    EXPECT_EQ(s.length, 0);
    expectTerminated(s);
  }
}

TEST(YStringGrowth, EnsureCapacityDoublesOrTakesTheLargerNeed) {
  YString s("abc");
  s.ensureCapacity(20);
  EXPECT_EQ(s.capacity, 20);
  s.ensureCapacity(21);
  EXPECT_EQ(s.capacity, 40);
  s.ensureCapacity(100);
  EXPECT_EQ(s.capacity, 100);
  EXPECT_EQ(text(s), "abc");
  expectTerminated(s);

  // Beyond the largest capacity is an out-of-memory condition, not a wrapped-around size.
  EXPECT_THROW(s.ensureCapacity(int64_t(INT32_MAX) + 1), std::bad_alloc);
  EXPECT_EQ(s.capacity, 100);
  EXPECT_EQ(text(s), "abc");
}

TEST(YStringGrowth, TextAppendsReachTheCapacityOfSingleCharacterAppends) {
  const std::string fifty(50, 'q');
  YString byText;
  byText.append(fifty.c_str());
  EXPECT_EQ(byText.capacity, 80);
  EXPECT_EQ(text(byText), fifty);

  YString byString;
  byString.append(YString(fifty.c_str()));
  EXPECT_EQ(byString.capacity, 51);  // one step to the need when doubling is not enough

  EXPECT_EQ(YString(fifty.c_str()).capacity, 51);
  EXPECT_EQ(YString("short").capacity, 20);
}

// Under AddressSanitizer these catch reading a buffer that growing or assigning has released.
TEST(YStringGrowth, AppendingOrAssigningItsOwnTextIsSafe) {
  const std::string base = "0123456789012345678901234567890";  // a heap block of exactly its size
  YString s(base.c_str());
  s.append(s.data + 1);
  EXPECT_EQ(text(s), base + base.substr(1));

  YString t(base.c_str());
  t.append(t);
  EXPECT_EQ(text(t), base + base);

  t.assign(t.data + 60);
  EXPECT_EQ(text(t), "90");
  EXPECT_EQ(t.capacity, 20);
}

TEST(YStringCopies, AreDeepAndSizedToTheText) {
  YString original("a text long enough for the heap");
  YString copy(original);
  EXPECT_EQ(copy.capacity, original.length + 1);
  EXPECT_NE(copy.data, original.data);
  copy.data[0] = 'A';
  EXPECT_EQ(original.data[0], 'a');

  YString assigned("x");
  assigned = original;
  EXPECT_EQ(text(assigned), text(original));
  EXPECT_NE(assigned.data, original.data);
  assigned = YString("back to inline");
  EXPECT_EQ(assigned.data, assigned.inlineBuffer);
  EXPECT_EQ(text(assigned), "back to inline");
  expectTerminated(assigned);

  YString& same = assigned;
  assigned = same;
  EXPECT_EQ(text(assigned), "back to inline");

  assigned.assign("another text that needs a heap block");
  EXPECT_EQ(assigned.capacity, assigned.length + 1);
  EXPECT_EQ(text(assigned), "another text that needs a heap block");
}

TEST(YStringCopies, ConcatenationLeavesBothOperandsAlone) {
  const YString left("left ");
  const YString right("right");
  EXPECT_EQ(text(left + right), "left right");
  EXPECT_EQ(text(left + "text"), "left text");
  EXPECT_EQ(text(left), "left ");
  EXPECT_EQ(text(YString(int64_t(-42)) + "!"), "-42!");
}

TEST(YStringFailures, BrokenPreconditionsNameTheirLine) {
  const YString s("abcdef");
  const char* const noText = nullptr;
  expectAssertion([&] { YString bad(noText); }, 112);
  expectAssertion([&] { YWideString::fromWide(nullptr); }, 112);
  expectAssertion([&] { YString target; target.assign(noText); }, 112);
  expectAssertion([&] { YString target; target.init(0); }, 83);
  expectAssertion([&] { (void)(s + noText); }, 226);
  expectAssertion([&] { s.equals(noText); }, 246);
  expectAssertion([&] { s.contains(noText); }, 366);
  expectAssertion([&] { s.indexOf(noText); }, 366);
  expectAssertion([&] { s.substring(-1, 2); }, 314);
  expectAssertion([&] { s.substring(3, 2); }, 315);
  expectAssertion([&] { s.substring(0, 7); }, 318);
  expectAssertion([&] { s.substringFrom(7); }, 315);
  expectAssertion([&] { formatLong(1, 0, ' '); }, 139);
  expectAssertion([&] { toHex(1, 0); }, 691);
  expectAssertion([&] { toHex(1, 17); }, 692);

  YString number("12");
  char* buffer = number.data;
  number.data = nullptr;
  expectAssertion([&] { number.parseInt(); }, 822);
  number.data = buffer;
}

TEST(YStringNumbers, AppendLongWritesTheWholeRange) {
  struct Case { int64_t value; const char* expected; };
  for (const Case& c : std::vector<Case>{{0, "0"},
                                         {-7, "-7"},
                                         {1234567890, "1234567890"},
                                         {INT64_MAX, "9223372036854775807"},
                                         {INT64_MIN, "-9223372036854775808"}}) {
    YString s("n=");
    s.appendLong(c.value);
    EXPECT_EQ(text(s), std::string("n=") + c.expected);
  }
}

TEST(YStringNumbers, FormatLongPadsInFrontOfTheSign) {
  struct Case { int64_t value; int32_t width; char pad; const char* expected; };
  for (const Case& c : std::vector<Case>{{7, 3, ' ', "  7"},
                                         {1234, 2, '0', "1234"},
                                         {-5, 4, '0', "00-5"},
                                         {0, 1, '*', "0"},
                                         {INT64_MIN, 22, ' ', "  -9223372036854775808"}}) {
    EXPECT_EQ(text(formatLong(c.value, c.width, c.pad)), c.expected) << c.value;
  }
}

TEST(YStringNumbers, ToHexGivesExactlyTheDigitsAskedFor) {
  struct Case { int64_t value; int32_t digits; const char* expected; };
  for (const Case& c : std::vector<Case>{{31, 1, "F"},
                                         {255, 4, "00FF"},
                                         {0x12345, 2, "45"},
                                         {-1, 16, "FFFFFFFFFFFFFFFF"},
                                         {INT64_MIN, 16, "8000000000000000"},
                                         {0x0123456789ABCDEF, 16, "0123456789ABCDEF"}}) {
    EXPECT_EQ(text(toHex(c.value, c.digits)), c.expected);
  }
}

TEST(YStringNumbers, ParseAcceptsOnlyAnOptionalMinusAndDigits) {
  struct Case { const char* input; int32_t asInt; int64_t asLong; };
  for (const Case& c : std::vector<Case>{{"-42", -42, -42},
                                         {"0", 0, 0},
                                         {"007", 7, 7},
                                         {"12a3", 0, 0},
                                         {"", 0, 0},
                                         {"-", 0, 0},
                                         {"+5", 0, 0},
                                         {" 5", 0, 0},
                                         {"5 ", 0, 0},
                                         {"2147483647", INT32_MAX, INT32_MAX},
                                         {"-2147483648", INT32_MIN, INT32_MIN},
                                         {"2147483648", 0, 2147483648LL},  // too large for 32 bits: not a number
                                         {"9223372036854775807", 0, INT64_MAX},
                                         {"-9223372036854775808", 0, INT64_MIN},
                                         {"9223372036854775808", 0, 0},
                                         {"99999999999999999999", 0, 0}}) {
    EXPECT_EQ(YString(c.input).parseInt(), c.asInt) << c.input;
    EXPECT_EQ(YString(c.input).parseLong(), c.asLong) << c.input;
  }
}

TEST(YStringNumbers, FormatMemorySizeAndAbsInt) {
  EXPECT_EQ(text(formatMemorySize(3 * 1048576)), "3 MB (=3145728 bytes)");
  EXPECT_EQ(text(formatMemorySize(1000)), "0 MB (=1000 bytes)");
  EXPECT_EQ(text(formatMemorySize(-3 * 1048576 - 5)), "-3 MB (=-3145733 bytes)");

  EXPECT_EQ(absInt(-5), 5);
  EXPECT_EQ(absInt(5), 5);
  EXPECT_EQ(absInt(INT32_MIN), INT32_MAX);  // never negative, so it can index a table
}

TEST(YStringSearch, IndexOfAndContains) {
  struct Case { const char* haystack; const char* needle; int32_t expected; };
  for (const Case& c : std::vector<Case>{{"", "", 0},
                                         {"", "a", -1},
                                         {"abc", "", 0},
                                         {"abcabc", "ca", 2},
                                         {"aab", "ab", 1},
                                         {"abc", "abcd", -1},
                                         {"abc", "bc", 1},
                                         {"abc", "bd", -1}}) {
    const YString haystack(c.haystack);
    EXPECT_EQ(haystack.indexOf(c.needle), c.expected) << c.haystack << " / " << c.needle;
    EXPECT_EQ(haystack.indexOf(YString(c.needle)), c.expected) << c.haystack << " / " << c.needle;
    EXPECT_EQ(haystack.contains(c.needle), c.expected >= 0);
  }
}

TEST(YStringSearch, IndexOfBytesSeesZeroAndHighBytes) {
  const unsigned char buffer[] = {'P', 'K', 0, 0x80, 'P', 'K', 5, 6, 0xFF};
  const unsigned char endRecord[] = {'P', 'K', 5, 6};
  const unsigned char zeroThenHigh[] = {0, 0x80};
  EXPECT_EQ(indexOfBytes(buffer, 9, endRecord, 4), 4);
  EXPECT_EQ(indexOfBytes(buffer, 9, zeroThenHigh, 2), 2);
  EXPECT_EQ(indexOfBytes(buffer, 7, endRecord, 4), -1);  // only the first 7 bytes are searched
  EXPECT_EQ(indexOfBytes(buffer, 9, endRecord, 0), 0);
  EXPECT_EQ(indexOfBytes(buffer, 0, endRecord, 0), 0);
}

TEST(YStringSearch, EqualityAndPrefixes) {
  YString withNul("ab");
  withNul.append('\0');
  withNul.append('c');
  EXPECT_FALSE(withNul.equals("ab"));
  EXPECT_FALSE(withNul.equals("ab\0c"));  // the text ends at its NUL
  EXPECT_TRUE(YString("ab").equals("ab"));
  EXPECT_FALSE(YString("ab").equals("abc"));
  EXPECT_FALSE(YString("abc").equals("ab"));
  EXPECT_TRUE(YString("").equals(""));
  EXPECT_TRUE(withNul.equals(YString(withNul)));
  EXPECT_FALSE(withNul.equals(YString("ab")));

  EXPECT_TRUE(stringEquals("x", "x"));
  EXPECT_FALSE(stringEquals("x", "xy"));
  EXPECT_FALSE(stringEquals("x", nullptr));
  EXPECT_TRUE(stringEquals(nullptr, nullptr));

  const YString path("java/lang/String");
  EXPECT_TRUE(path.startsWith("java/"));
  EXPECT_TRUE(path.startsWith(""));
  EXPECT_TRUE(path.startsWith(path));
  EXPECT_FALSE(path.startsWith("javax"));
  EXPECT_FALSE(YString("java").startsWith("java/"));
}

TEST(YStringPieces, SubstringsAndSplits) {
  const YString s("abcdef");
  EXPECT_EQ(text(s.substring(2, 2)), "");
  EXPECT_EQ(text(s.substring(0, 6)), "abcdef");
  EXPECT_EQ(text(s.substring(1, 4)), "bcd");
  EXPECT_EQ(text(s.substringFrom(4)), "ef");
  EXPECT_EQ(text(s.substringFrom(6)), "");

  EXPECT_EQ(text(YString("no colons").substringBefore(':')), "no colons");
  EXPECT_EQ(text(YString(":leading").substringBefore(':')), "");
  EXPECT_EQ(text(YString("key:value:more").substringBefore(':')), "key");
  EXPECT_EQ(text(YString("C:\\dir\\file.txt").substringAfterLast('\\')), "file.txt");
  EXPECT_EQ(text(YString("plain").substringAfterLast('\\')), "plain");
  EXPECT_EQ(text(YString("ends\\").substringAfterLast('\\')), "");
}

TEST(YStringPieces, TrimDropsOnlyControlCharactersAndBlanks) {
  struct Case { const char* input; const char* expected; };
  for (const Case& c : std::vector<Case>{{" \t\r\n x \n\t", "x"},
                                         {"   ", ""},
                                         {"", ""},
                                         {"a b", "a b"},
                                         {"\x01" "a\x1F", "a"},
                                         {"\xC2\xA0x\xC2\xA0", "\xC2\xA0x\xC2\xA0"},
                                         {"\x7F", "\x7F"}}) {
    EXPECT_EQ(text(YString(c.input).trim()), c.expected) << c.input;
  }
}

TEST(YStringPieces, ReplaceAllWorksLeftToRightWithoutOverlap) {
  struct Case { const char* input; const char* pattern; const char* replacement; const char* expected; };
  for (const Case& c : std::vector<Case>{{"aaa", "aa", "x", "xa"},
                                         {"a.b.c", ".", "\\.", "a\\.b\\.c"},
                                         {"abc", "", "x", "abc"},
                                         {"abc", "z", "x", "abc"},
                                         {"abc", "abcd", "x", "abc"},
                                         {"abab", "ab", "", ""},
                                         {"${a}${a}", "${a}", "a value longer than the inline buffer",
                                          "a value longer than the inline buffera value longer than the inline buffer"}}) {
    EXPECT_EQ(text(YString(c.input).replaceAll(c.pattern, c.replacement)), c.expected) << c.input;
  }
}

TEST(YWideString, BehavesLikeTheNarrowForm) {
  YWideString w = YWideString::fromWide(u"wide");
  EXPECT_EQ(text(w), u"wide");
  w.appendLong(-12);
  EXPECT_EQ(text(w), u"wide-12");
  w.reserve(21);
  EXPECT_EQ(w.capacity, 40);
  for (int i = 0; i < 40; i++) w.append(u'\x4E2D');
  EXPECT_EQ(w.capacity, 80);
  EXPECT_EQ(w.length, 47);
  EXPECT_EQ(text(YWideString(u" \x4E2D ").trim()), u"\x4E2D");

  char16_t* buffer = newWideBuffer(8);
  for (int i = 0; i < 8; i++) EXPECT_EQ(buffer[i], 0);
  freeBlock(buffer);
}

TEST(YStringUtf, WellFormedTextRoundTrips) {
  struct Case { const char* utf8; const char16_t* utf16; };
  for (const Case& c : std::vector<Case>{{"", u""},
                                         {"plain ASCII", u"plain ASCII"},
                                         {"\x7F", u"\x7F"},
                                         {"\xC2\x80", u"\x0080"},
                                         {"\xDF\xBF", u"\x07FF"},
                                         {"\xE0\xA0\x80", u"\x0800"},
                                         {"\xED\x9F\xBF", u"\xD7FF"},
                                         {"\xEE\x80\x80", u"\xE000"},
                                         {"\xEF\xBF\xBF", u"\xFFFF"},
                                         {"\xF0\x90\x80\x80", u"\U00010000"},
                                         {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
                                         {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", u"caf\u00E9 \u20AC \U0001F600"}}) {
    EXPECT_EQ(text(toWideString(YString(c.utf8))), c.utf16) << c.utf8;
    EXPECT_EQ(text(toUtf8String(YWideString(c.utf16))), c.utf8) << c.utf8;
  }

  std::string manyUtf8;
  std::u16string manyUtf16;
  for (int i = 0; i < 100; i++) {
    manyUtf8 += "\xF0\x9F\x98\x80";
    manyUtf16 += u"\U0001F600";
  }
  EXPECT_EQ(text(toWideString(YString(manyUtf8.c_str()))), manyUtf16);
  EXPECT_EQ(text(toUtf8String(YWideString(manyUtf16.c_str()))), manyUtf8);
}

TEST(YStringUtf, IllFormedUtf8BecomesOneReplacementPerMaximalSubpart) {
  struct Case { const char* utf8; const char16_t* utf16; };
  for (const Case& c : std::vector<Case>{{"a\xE2\x82", u"a\uFFFD"},  // truncated at the end
                                         {"\xF0\x9F\x98", u"\uFFFD"},
                                         {"\xE2\x82" "A", u"\uFFFDA"},
                                         {"\xF1\x80\x80" "\xE1\x80" "\xC2", u"\uFFFD\uFFFD\uFFFD"},
                                         {"\xC0\x80", u"\uFFFD\uFFFD"},  // overlong forms
                                         {"\xC1\xBF", u"\uFFFD\uFFFD"},
                                         {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
                                         {"\xF0\x80\x80\xAF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
                                         {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // an encoded surrogate
                                         {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
                                         {"\x80" "x\xBF", u"\uFFFDx\uFFFD"},  // stray continuation bytes
                                         {"\xF5\x80\xFF", u"\uFFFD\uFFFD\uFFFD"}}) {
    EXPECT_EQ(text(toWideString(YString(c.utf8))), c.utf16) << c.utf8;
  }
}

TEST(YStringUtf, UnpairedSurrogatesBecomeReplacements) {
  struct Case { const char16_t* utf16; const char* utf8; };
  for (const Case& c : std::vector<Case>{{u"a\xD83D", "a\xEF\xBF\xBD"},  // high surrogate at the end
                                         {u"\xD83D" u"b", "\xEF\xBF\xBD" "b"},
                                         {u"\xDE00" u"x", "\xEF\xBF\xBD" "x"},
                                         {u"\xDE00\xD83D", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // pair in the wrong order
                                         {u"\xD83D\xD83D\xDE00", "\xEF\xBF\xBD\xF0\x9F\x98\x80"}}) {
    EXPECT_EQ(text(toUtf8String(YWideString(c.utf16))), c.utf8);
  }
}

TEST(YStringUtf, ANulEndsTheConvertedText) {
  YString narrow("ab");
  narrow.append('\0');
  narrow.append("cd");
  EXPECT_EQ(text(toWideString(narrow)), u"ab");

  YString cutSequence("\xE2");
  cutSequence.append('\0');
  cutSequence.append("x");
  EXPECT_EQ(text(toWideString(cutSequence)), u"\uFFFD");

  YWideString wide(u"ab");
  wide.append(u'\0');
  wide.append(u"cd");
  EXPECT_EQ(text(toUtf8String(wide)), "ab");
}

TEST(YStringMoves, ALongTextHandsOverItsBlockAndAShortOneIsCopied) {
  for (const std::string& original : {std::string("short"), std::string(100, 'x')}) {
    YString source(original.c_str());
    const char* block = source.data;
    YString moved(static_cast<YString&&>(source));
    EXPECT_EQ(text(moved), original);
    EXPECT_EQ(moved.data == block, original.size() >= 20u) << original;
    expectTerminated(moved);
    EXPECT_EQ(source.length, 0);
    EXPECT_EQ(source.data, source.inlineBuffer);

    YString target("an old text that lives on the heap");
    target = static_cast<YString&&>(moved);
    EXPECT_EQ(text(target), original);
    expectTerminated(target);
    EXPECT_EQ(moved.length, 0);
  }
}
