#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "agent/support/YVector.h"
#include "tests/support/FatalErrorOutput.h"

namespace {

void expectRangeError(const std::function<void()>& action, const std::string& text) {
  EXPECT_EQ(fatalErrorOf(action), "error at YVector:5: " + text);
}

YVector<int32_t> numbers(int32_t count) {
  YVector<int32_t> v;
  for (int32_t i = 0; i < count; i++) v.add(i);
  return v;
}

template <int N>
std::vector<int32_t> contents(const YVector<int32_t, N>& v) {
  return std::vector<int32_t>(v.data, v.data + v.size);
}

std::vector<std::string> contents(const YVector<YString>& v) {
  std::vector<std::string> texts;
  for (int32_t i = 0; i < v.size; i++) texts.emplace_back(v.data[i].data, size_t(v.data[i].length));
  return texts;
}

}  // namespace

TEST(YVectorGrowth, TenInlineThenDoubling) {
  YVector<int32_t> v = numbers(10);
  EXPECT_EQ(v.capacity, 10);
  EXPECT_EQ(v.data, v.inlineElements);

  v.add(10);
  EXPECT_EQ(v.capacity, 20);
  EXPECT_NE(v.data, v.inlineElements);
  EXPECT_EQ(contents(v), contents(numbers(11)));

  for (int32_t i = 11; i <= 20; i++) v.add(i);
  EXPECT_EQ(v.capacity, 40);
  EXPECT_EQ(contents(v), contents(numbers(21)));

  YVector<int32_t, 1024> large;
  for (int32_t i = 0; i <= 1024; i++) large.add(i);
  EXPECT_EQ(large.capacity, 2048);
  EXPECT_EQ(large[1024], 1024);
}

TEST(YVectorGrowth, InitialCapacity) {
  struct Case { int32_t requested; int32_t capacity; bool inlineStorage; };
  for (const Case& c : std::vector<Case>{{1, 10, true}, {10, 10, true}, {25, 25, false}}) {
    YVector<int32_t> v(c.requested);
    EXPECT_EQ(v.size, 0);
    EXPECT_EQ(v.capacity, c.capacity);
    EXPECT_EQ(v.data == v.inlineElements, c.inlineStorage);
  }
  expectRangeError([] { YVector<int32_t> v(0); }, "op=yvector::yvector 0 -1");
  expectRangeError([] { YVector<YString> v(-3); }, "op=yvector::yvector -3 -1");

  const unsigned char bytes[12] = {1, 2, 3, 0x80, 0xFF, 0, 7, 8, 9, 10, 11, 12};
  YVector<unsigned char> copied(bytes, 12);
  EXPECT_EQ(copied.size, 12);
  EXPECT_EQ(copied.capacity, 12);
  EXPECT_TRUE(std::equal(bytes, bytes + 12, copied.data));
}

// Under AddressSanitizer this catches storing from storage that growing has released.
TEST(YVectorGrowth, AddingAnElementOfItsOwnIsSafe) {
  YVector<int32_t> v = numbers(20);
  ASSERT_EQ(v.size, v.capacity);
  v.add(v[7]);
  EXPECT_EQ(v[20], 7);

  YVector<YString> texts;
  for (int i = 0; i < 20; i++) texts.add(YString("a text too long for the inline buffer"));
  texts.add(texts[19]);
  EXPECT_TRUE(texts[20].equals("a text too long for the inline buffer"));

  YVector<int32_t> twice = numbers(3);
  twice.addAll(twice);
  EXPECT_EQ(contents(twice), (std::vector<int32_t>{0, 1, 2, 0, 1, 2}));
}

TEST(YVectorGrowth, RangesAndReservedRoomKeepTheElements) {
  YVector<int32_t> v = numbers(3);
  const int32_t more[] = {7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
  v.addRange(more, 12);
  v.addRange(more, 0);
  EXPECT_EQ(contents(v), (std::vector<int32_t>{0, 1, 2, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18}));
  EXPECT_EQ(v.capacity, 20);  // doubled once, as adding one by one would
  v.addRange(more, 12);
  EXPECT_EQ(v.capacity, 40);  // 27 needed, 40 doubled
  v.removeRange(15, v.size);
  v.reserve(100);
  EXPECT_EQ(v.capacity, 100);
  v.reserve(5);
  EXPECT_EQ(v.capacity, 100);
  EXPECT_EQ(contents(v).size(), 15u);
  expectRangeError([&] { v.addRange(more, -1); }, "op=yvector::addRange -1 15");
  EXPECT_EQ(v.size, 15);
}

TEST(YVectorAccess, RangeErrorsNameTheOperationAndChangeNothing) {
  YVector<int32_t> v = numbers(3);
  YVector<int32_t> empty;
  YVectorSafe<int32_t> safe;
  safe.addAll(v);
  struct Case { std::function<void()> action; const char* text; };
  for (const Case& c : std::vector<Case>{{[&] { v[3]; }, "op=yvector::[] 3 3"},
                                         {[&] { v[-1]; }, "op=yvector::[] -1 3"},
                                         {[&] { v.get(3); }, "op=yvector::get 3 3"},
                                         {[&] { v.get(-1); }, "op=yvector::get -1 3"},
                                         {[&] { v.set(3, 9); }, "op=yvector::set 3 3"},
                                         {[&] { empty.peek(); }, "op=yvector::peek 0 -1"},
                                         {[&] { empty.pop(); }, "op=yvector::pop 0 -1"},
                                         {[&] { safe.set(3, 9); }, "op=yvectorsafe::set 3 3"},
                                         {[&] { safe.set(-1, 9); }, "op=yvectorsafe::set -1 3"}}) {
    expectRangeError(c.action, c.text);
  }
  EXPECT_EQ(contents(v), (std::vector<int32_t>{0, 1, 2}));
  EXPECT_EQ(contents(safe), (std::vector<int32_t>{0, 1, 2}));
  EXPECT_EQ(empty.size, 0);
}

TEST(YVectorAccess, PeekPopSetAndGrowTo) {
  YVector<int32_t> v;
  v.add(42);
  EXPECT_EQ(v.peek(), 42);
  EXPECT_EQ(v.pop(), 42);
  EXPECT_EQ(v.size, 0);

  v.growTo(4);
  EXPECT_EQ(contents(v), (std::vector<int32_t>{0, 0, 0, 0, 0}));
  v.set(4, 7);
  v.growTo(2);
  EXPECT_EQ(contents(v), (std::vector<int32_t>{0, 0, 0, 0, 7}));
  v.growTo(-1);
  EXPECT_EQ(v.size, 5);
}

TEST(YVectorRemove, ShiftsTheRestDownInOrder) {
  YVector<int32_t> v = numbers(5);
  v.remove(2);
  EXPECT_EQ(contents(v), (std::vector<int32_t>{0, 1, 3, 4}));
  v.removeRange(2, 2);
  EXPECT_EQ(contents(v), (std::vector<int32_t>{0, 1, 3, 4}));
  v.removeRange(0, 3);
  EXPECT_EQ(contents(v), (std::vector<int32_t>{4}));
  v.removeRange(0, 1);
  EXPECT_EQ(v.size, 0);
  EXPECT_EQ(v.capacity, 10);
}

TEST(YVectorRemove, ChecksToIndexThenFromIndexThenOrder) {
  YVector<int32_t> v = numbers(5);
  struct Case { std::function<void()> action; const char* text; };
  for (const Case& c : std::vector<Case>{{[&] { v.remove(5); }, "op=yvector::removeRange/toIndex 6 5"},
                                         {[&] { v.removeRange(-1, 9); }, "op=yvector::removeRange/toIndex 9 5"},
                                         {[&] { v.removeRange(4, -2); }, "op=yvector::removeRange/toIndex -2 5"},
                                         {[&] { v.removeRange(-1, 2); }, "op=yvector::removeRange/fromIndex -1 5"},
                                         {[&] { v.remove(-1); }, "op=yvector::removeRange/fromIndex -1 5"},
                                         {[&] { v.removeRange(3, 2); }, "op=yvector::removeRange 3 2"},
                                         {[&] { v.remove(INT32_MAX); },
                                          "op=yvector::removeRange/toIndex 2147483647 5"}}) {
    expectRangeError(c.action, c.text);
  }
  EXPECT_EQ(contents(v), contents(numbers(5)));
}

TEST(YVectorCopies, PlainElementsAreCopiedIntoStorageOfTheirOwn) {
  const YVector<int32_t> onHeap = numbers(30);
  YVector<int32_t> copy(onHeap);
  EXPECT_EQ(copy.capacity, 40);
  EXPECT_NE(copy.data, onHeap.data);
  copy.set(0, 99);
  EXPECT_EQ(onHeap[0], 0);
  EXPECT_EQ(contents(copy).back(), 29);

  YVector<int32_t> target = numbers(25);
  target = numbers(3);  // the heap block goes, the inline storage takes over
  EXPECT_EQ(target.data, target.inlineElements);
  EXPECT_EQ(contents(target), (std::vector<int32_t>{0, 1, 2}));
  target = onHeap;
  EXPECT_EQ(contents(target), contents(onHeap));
  EXPECT_NE(target.data, onHeap.data);
  YVector<int32_t>& same = target;
  target = same;
  EXPECT_EQ(contents(target), contents(onHeap));
}

class YVectorOfStrings : public testing::Test {
 protected:
  void SetUp() override {
    for (int i = 24; i >= 0; i--) {
      names.add(YString((std::string("name-") + std::to_string(i) + "-long-enough-for-the-heap").c_str()));
    }
  }

  static std::string name(int i) { return "name-" + std::to_string(i) + "-long-enough-for-the-heap"; }

  YVector<YString> names;  // name-24 ... name-0, each on the heap, in a vector past its inline storage
};

TEST_F(YVectorOfStrings, CopiesAreDeep) {
  YVector<YString> copy(names);
  copy[0].append("-changed");
  EXPECT_EQ(contents(names).front(), name(24));
  EXPECT_NE(copy[1].data, names[1].data);

  YVector<YString> assigned;
  assigned.add(YString("replaced"));
  assigned = names;
  assigned[1].data[0] = 'N';
  EXPECT_EQ(contents(names)[1], name(23));
  EXPECT_EQ(assigned.size, 25);

  YVectorSafe<YString> safe;
  safe.addAll(names);
  YVectorSafe<YString> safeCopy(safe);
  safeCopy.set(0, YString("first"));
  EXPECT_EQ(contents(safe).front(), name(24));
  expectRangeError([&] { safeCopy.set(25, YString("x")); }, "op=yvectorsafe::set 25 25");
}

TEST_F(YVectorOfStrings, RemovingPoppingAndGrowingKeepTheTexts) {
  YString last = names.pop();
  EXPECT_TRUE(last.equals(name(0).c_str()));
  names.remove(0);
  EXPECT_EQ(names.size, 23);
  EXPECT_EQ(contents(names).front(), name(23));
  EXPECT_EQ(contents(names).back(), name(1));

  names.growTo(25);
  EXPECT_EQ(names.size, 26);
  EXPECT_EQ(names[25].length, 0);
  EXPECT_EQ(names[23].length, 0);
}

TEST_F(YVectorOfStrings, IndexOfNeedsTheSameLengthAndBytes) {
  EXPECT_EQ(names.indexOf(YString(name(0).c_str())), 24);
  EXPECT_EQ(names.indexOf(YString(name(24).c_str())), 0);
  EXPECT_EQ(names.indexOf(YString("name-1")), -1);
  EXPECT_EQ(names.indexOf(YString((name(1) + "x").c_str())), -1);
}

TEST_F(YVectorOfStrings, SortStringsOrdersBySignedBytes) {
  names.sortStrings();
  std::vector<std::string> expected;
  for (int i = 0; i < 25; i++) expected.push_back(name(i));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(contents(names), expected);
  EXPECT_EQ(names.capacity, 40);

  YVector<YString> mixed;
  for (const char* t : {"b", "a", "B", "\xC3\xA9t\xC3\xA9", "ab", "a", "\x7F"}) mixed.add(YString(t));
  mixed.sortStrings();
  EXPECT_EQ(contents(mixed), (std::vector<std::string>{"\xC3\xA9t\xC3\xA9", "B", "a", "a", "ab", "b", "\x7F"}));

  YVector<YString> one;
  one.add(YString("only"));
  one.sortStrings();
  EXPECT_EQ(contents(one), std::vector<std::string>{"only"});
}

namespace {

struct Counted {
  explicit Counted(int* deletions) : deletions(deletions) {}
  virtual ~Counted() { ++*deletions; }
  int* deletions;
};

}  // namespace

// AddressSanitizer's leak check fails these if a pointee is left behind.
TEST(YVectorOfPointers, DeleteAndFreeElementsReleaseThePointees) {
  int deletions = 0;
  YVector<Counted*> objects;
  for (int i = 0; i < 12; i++) objects.add(i == 5 ? nullptr : new Counted(&deletions));
  objects.deleteElements();
  EXPECT_EQ(deletions, 11);
  EXPECT_EQ(objects.size, 0);

  YVector<char*> blocks;
  for (int i = 0; i < 12; i++) blocks.add(static_cast<char*>(std::malloc(16)));
  blocks.freeElements();
  EXPECT_EQ(blocks.size, 0);
}
