#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/classfile/ConstantPoolInfo.h"
#include "agent/classfile/ConstantReferences.h"
#include "agent/classfile/ConstantValues.h"
#include "tests/unit/classfile/FailureWithoutLine.h"
#include "tests/support/LogCapture.h"

namespace {

using Bytes = std::vector<uint8_t>;

YVector<uint8_t> vectorOf(const Bytes& values) {
  YVector<uint8_t> v;
  for (uint8_t b : values) v.add(b);
  return v;
}

Bytes written(const ConstantPoolInfo& entry) {
  YVector<uint8_t> output;
  DataOutput out(output);
  entry.write(out);
  return Bytes(output.data, output.data + output.size);
}

// Reads one entry from the bytes; the whole input must be consumed.
std::unique_ptr<ConstantPoolInfo> readEntry(const Bytes& bytes) {
  const YVector<uint8_t> input = vectorOf(bytes);
  DataInput in(input);
  std::unique_ptr<ConstantPoolInfo> entry(ConstantPoolInfo::read(in));
  EXPECT_EQ(in.getPosition(), input.size);
  return entry;
}

template <class T>
T& as(const std::unique_ptr<ConstantPoolInfo>& entry) {
  T* typed = dynamic_cast<T*>(entry.get());
  if (typed == nullptr) throw std::runtime_error("no entry of the expected class");
  EXPECT_EQ(typed->tag, T::TAG);
  return *typed;
}


// A pool that owns its entries.
struct Pool {
  ConstantPool entries;
  Pool() { entries.add(nullptr); }
  ~Pool() { entries.deleteElements(); }
  int32_t add(ConstantPoolInfo* entry) {
    entries.add(entry);
    const int32_t index = entries.size - 1;
    if (entry->tag == CONSTANT_Long || entry->tag == CONSTANT_Double) entries.add(nullptr);
    return index;
  }
};

}  // namespace

TEST(ConstantPoolRead, EveryKnownTagReadsItsBodyAndWritesItBack) {
  const std::vector<Bytes> cases = {
      {1, 0, 3, 'a', 'b', 'c'},
      {1, 0, 0},
      {1, 0, 2, 0xC3, 0xA9},                          // opaque bytes, never decoded
      {3, 0x80, 0, 0, 1},
      {4, 0x7F, 0xC0, 0x12, 0x34},                    // a NaN with payload bits
      {5, 0, 0, 0, 1, 0x80, 0, 0, 0},
      {6, 0x7F, 0xF8, 0, 0, 0, 0, 0x12, 0x34},        // a NaN with payload bits
      {6, 0xFF, 0xF0, 0, 0, 0, 0, 0, 1},              // a signalling NaN
      {7, 0xFF, 0xFF},
      {8, 0, 2},
      {9, 0, 1, 0, 2},
      {10, 0x12, 0x34, 0xAB, 0xCD},
      {11, 0, 3, 0, 4},
      {12, 0, 5, 0, 6},
      {15, 1, 0, 7},
      {15, 9, 0xFF, 0xFF},
      {16, 0, 3},
      {18, 0, 0, 0, 4},                               // bootstrap method 0 is a real index
  };
  for (const Bytes& bytes : cases) {
    SCOPED_TRACE(testing::PrintToString(bytes));
    const std::unique_ptr<ConstantPoolInfo> entry = readEntry(bytes);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->tag, bytes[0]);
    EXPECT_EQ(written(*entry), bytes);
  }
}

TEST(ConstantPoolRead, FieldsHoldTheBodyInFileOrder) {
  EXPECT_TRUE(as<ConstantUtf8Info>(readEntry({1, 0, 2, 'h', 'i'})).getString().equals("hi"));
  EXPECT_EQ(as<ConstantIntInfo>(readEntry({3, 0xFF, 0xFF, 0xFF, 0xFE})).value, -2);
  EXPECT_EQ(as<ConstantFloatInfo>(readEntry({4, 0x3F, 0x80, 0, 0})).bits, 0x3F800000);
  EXPECT_EQ(as<ConstantLongInfo>(readEntry({5, 0, 0, 0, 1, 0x80, 0, 0, 0})).value, 0x180000000);
  EXPECT_EQ(as<ConstantDoubleInfo>(readEntry({6, 0xC0, 0, 0, 0, 0, 0, 0, 0})).bits, int64_t(0xC000000000000000));
  EXPECT_EQ(as<ConstantClassInfo>(readEntry({7, 0x01, 0x02})).nameIndex, 0x102);
  EXPECT_EQ(as<ConstantStringInfo>(readEntry({8, 0, 9})).stringIndex, 9);
  const auto fieldRef = readEntry({9, 0, 1, 0, 2});
  EXPECT_EQ(as<ConstantFieldRefInfo>(fieldRef).classIndex, 1);
  EXPECT_EQ(as<ConstantFieldRefInfo>(fieldRef).nameAndTypeIndex, 2);
  const auto methodRef = readEntry({10, 0, 3, 0, 4});
  EXPECT_EQ(as<ConstantMethodRefInfo>(methodRef).classIndex, 3);
  EXPECT_EQ(as<ConstantMethodRefInfo>(methodRef).nameAndTypeIndex, 4);
  EXPECT_EQ(as<ConstantInterfaceMethodRefInfo>(readEntry({11, 0, 5, 0, 6})).nameAndTypeIndex, 6);
  const auto nameAndType = readEntry({12, 0, 7, 0, 8});
  EXPECT_EQ(as<ConstantNameAndTypeInfo>(nameAndType).nameIndex, 7);
  EXPECT_EQ(as<ConstantNameAndTypeInfo>(nameAndType).descriptorIndex, 8);
  const auto handle = readEntry({15, 6, 0, 9});
  EXPECT_EQ(as<ConstantMethodHandleInfo>(handle).referenceKind, 6);
  EXPECT_EQ(as<ConstantMethodHandleInfo>(handle).referenceIndex, 9);
  EXPECT_EQ(as<ConstantMethodTypeInfo>(readEntry({16, 0, 10})).descriptorIndex, 10);
  const auto dynamic = readEntry({18, 0, 11, 0, 12});
  EXPECT_EQ(as<ConstantInvokeDynamicInfo>(dynamic).bootstrapMethodAttrIndex, 11);
  EXPECT_EQ(as<ConstantInvokeDynamicInfo>(dynamic).nameAndTypeIndex, 12);
}

TEST(ConstantPoolRead, AnUnknownTagIsLoggedAndGivesNull) {
  for (int32_t tag : {0, 2, 13, 14, 17, 19, 20, 21, 255}) {
    SCOPED_TRACE(tag);
    LogCapture log;
    const YVector<uint8_t> input = vectorOf({uint8_t(tag), 0, 1, 0, 2});
    DataInput in(input);
    EXPECT_EQ(ConstantPoolInfo::read(in), nullptr);
    EXPECT_EQ(in.getPosition(), 1);
    EXPECT_EQ(log.entries(), std::vector<std::string>{"Unknown Constant Pool Info tag: " + std::to_string(tag)});
  }
}

TEST(ConstantPoolRead, MalformedBodiesAreFatal) {
  struct Case { Bytes bytes; std::string failure; };
  const std::vector<Case> cases = {
      {{7, 0, 0}, "error at ConstantClassInfo: assertion failed"},
      {{8, 0, 0}, "error at ConstantStringInfo: assertion failed"},
      {{9, 0, 0, 0, 1}, "error at ConstantFieldRefInfo: assertion failed"},
      {{9, 0, 1, 0, 0}, "error at ConstantFieldRefInfo: assertion failed"},
      {{10, 0, 0, 0, 1}, "error at ConstantMethodRefInfo: assertion failed"},
      {{10, 0, 1, 0, 0}, "error at ConstantMethodRefInfo: assertion failed"},
      {{11, 0, 0, 0, 1}, "error at ConstantInterfaceMethodRefInfo: assertion failed"},
      {{11, 0, 1, 0, 0}, "error at ConstantInterfaceMethodRefInfo: assertion failed"},
      {{12, 0, 0, 0, 1}, "error at ConstantNameAndTypeInfo: assertion failed"},
      {{12, 0, 1, 0, 0}, "error at ConstantNameAndTypeInfo: assertion failed"},
      {{15, 0, 0, 1}, "error at ConstantMethodHandleInfo: assertion failed"},
      {{15, 10, 0, 1}, "error at ConstantMethodHandleInfo: assertion failed"},
      // Truncated bodies fail at the first missing byte.
      {{}, "error at YVector: op=yvector::[] 0 0"},
      {{1, 0, 3, 'a', 'b'}, "error at YVector: op=yvector::[] 5 5"},
      {{5, 0, 0, 0, 0, 0, 0, 0}, "error at YVector: op=yvector::[] 8 8"},
      {{10, 0, 1, 0}, "error at YVector: op=yvector::[] 4 4"},
      {{15, 1, 0}, "error at YVector: op=yvector::[] 3 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    const YVector<uint8_t> input = vectorOf(c.bytes);
    EXPECT_EQ(failureOf([&] {
                DataInput in(input);
                delete ConstantPoolInfo::read(in);
              }),
              c.failure);
  }
}

TEST(ConstantPoolValues, ConstructorsFromValuesWriteWhatReadingGives) {
  EXPECT_EQ(written(ConstantUtf8Info(YString("Code"))), (Bytes{1, 0, 4, 'C', 'o', 'd', 'e'}));
  EXPECT_EQ(written(ConstantUtf8Info(YString(""))), (Bytes{1, 0, 0}));
  EXPECT_EQ(written(ConstantIntInfo(-2)), (Bytes{3, 0xFF, 0xFF, 0xFF, 0xFE}));
  EXPECT_EQ(written(ConstantLongInfo(int64_t(-2))), (Bytes{5, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}));
  EXPECT_EQ(written(ConstantClassInfo(0x102)), (Bytes{7, 1, 2}));
  EXPECT_EQ(written(ConstantStringInfo(1)), (Bytes{8, 0, 1}));
  EXPECT_EQ(written(ConstantNameAndTypeInfo(1, 2)), (Bytes{12, 0, 1, 0, 2}));
  EXPECT_EQ(written(ConstantMethodRefInfo(3, 4)), (Bytes{10, 0, 3, 0, 4}));
  EXPECT_EQ(written(ConstantFieldRefInfo(5, 6)), (Bytes{9, 0, 5, 0, 6}));
}

TEST(ConstantPoolValues, IndicesBelowOneAreRefused) {
  EXPECT_EQ(failureOf([] { ConstantClassInfo(0); }), "error at ConstantClassInfo: assertion failed");
  EXPECT_EQ(failureOf([] { ConstantStringInfo(-1); }), "error at ConstantStringInfo: assertion failed");
  EXPECT_EQ(failureOf([] { ConstantNameAndTypeInfo(0, 1); }), "error at ConstantNameAndTypeInfo: assertion failed");
  EXPECT_EQ(failureOf([] { ConstantNameAndTypeInfo(1, 0); }), "error at ConstantNameAndTypeInfo: assertion failed");
  EXPECT_EQ(failureOf([] { ConstantMethodRefInfo(0, 1); }), "error at ConstantMethodRefInfo: assertion failed");
  EXPECT_EQ(failureOf([] { ConstantFieldRefInfo(1, 0); }), "error at ConstantFieldRefInfo: assertion failed");
}

TEST(ConstantPoolValues, ComparisonsMatchBothIndicesAndRefuseIndicesBelowOne) {
  const ConstantClassInfo classInfo(4);
  EXPECT_TRUE(classInfo.hasNameIndex(4));
  EXPECT_FALSE(classInfo.hasNameIndex(5));
  const ConstantStringInfo stringInfo(6);
  EXPECT_TRUE(stringInfo.hasStringIndex(6));
  EXPECT_FALSE(stringInfo.hasStringIndex(7));
  const ConstantNameAndTypeInfo nameAndType(1, 2);
  EXPECT_TRUE(nameAndType.equals(1, 2));
  EXPECT_FALSE(nameAndType.equals(2, 1));
  EXPECT_FALSE(nameAndType.equals(1, 3));
  const ConstantMethodRefInfo methodRef(3, 4);
  EXPECT_TRUE(methodRef.equals(3, 4));
  EXPECT_FALSE(methodRef.equals(3, 5));
  EXPECT_FALSE(methodRef.equals(4, 4));
  const ConstantFieldRefInfo fieldRef(3, 4);
  EXPECT_TRUE(fieldRef.equals(3, 4));
  EXPECT_FALSE(fieldRef.equals(4, 3));

  EXPECT_EQ(failureOf([&] { classInfo.hasNameIndex(0); }), "error at ConstantClassInfo: assertion failed");
  EXPECT_EQ(failureOf([&] { stringInfo.hasStringIndex(0); }), "error at ConstantStringInfo: assertion failed");
  EXPECT_EQ(failureOf([&] { nameAndType.equals(1, 0); }), "error at ConstantNameAndTypeInfo: assertion failed");
  EXPECT_EQ(failureOf([&] { methodRef.equals(0, 4); }), "error at ConstantMethodRefInfo: assertion failed");
  EXPECT_EQ(failureOf([&] { fieldRef.equals(3, -1); }), "error at ConstantFieldRefInfo: assertion failed");
}

TEST(ConstantUtf8, EqualsComparesBytes) {
  const ConstantUtf8Info entry(YString("abc"));
  EXPECT_TRUE(entry.equals(YString("abc")));
  EXPECT_FALSE(entry.equals(YString("abcd")));
  EXPECT_FALSE(entry.equals(YString("ab")));
  EXPECT_FALSE(entry.equals(YString("aBc")));
  // U+00E9 precomposed and as e with a combining accent: one character, two spellings.
  const ConstantUtf8Info accented(YString("\xC3\xA9"));
  EXPECT_FALSE(accented.equals(YString("e\xCC\x81")));
}

TEST(ConstantUtf8, SetStringReplacesTextAndLength) {
  const std::unique_ptr<ConstantPoolInfo> entry = readEntry({1, 0, 1, 'x'});
  ConstantUtf8Info& utf8 = as<ConstantUtf8Info>(entry);
  const YString& text = utf8.getString();
  utf8.setString(YString("wxyz"));
  EXPECT_TRUE(text.equals("wxyz"));  // the reference follows the entry's text
  EXPECT_EQ(written(utf8), (Bytes{1, 0, 4, 'w', 'x', 'y', 'z'}));
  utf8.setString(YString(""));
  EXPECT_EQ(written(utf8), (Bytes{1, 0, 0}));
}

TEST(ConstantUtf8, IsNeverWrittenShortOrWithAWrappedLength) {
  // A zero byte cuts the text short; writing it back would drop bytes.
  const std::unique_ptr<ConstantPoolInfo> cut = readEntry({1, 0, 3, 'a', 0, 'b'});
  EXPECT_TRUE(as<ConstantUtf8Info>(cut).getString().equals("a"));
  EXPECT_EQ(failureOf([&] { written(*cut); }), "error at ConstantUtf8Info: assertion failed");

  const ConstantUtf8Info longest(YString(std::string(65535, 'x').c_str()));
  EXPECT_EQ(written(longest).size(), 3u + 65535u);
  const ConstantUtf8Info tooLong(YString(std::string(65536, 'x').c_str()));
  EXPECT_EQ(failureOf([&] { written(tooLong); }), "error at ConstantUtf8Info: assertion failed");
}

TEST(ConstantPoolLookup, ReferencesLeadToTheUtf8Texts) {
  Pool pool;
  const int32_t className = pool.add(new ConstantUtf8Info(YString("java/lang/Object")));
  const int32_t classInfo = pool.add(new ConstantClassInfo(className));
  const int32_t name = pool.add(new ConstantUtf8Info(YString("hashCode")));
  const int32_t descriptor = pool.add(new ConstantUtf8Info(YString("()I")));
  const int32_t nameAndType = pool.add(new ConstantNameAndTypeInfo(name, descriptor));
  const ConstantMethodRefInfo methodRef(classInfo, nameAndType);

  const YVector<uint8_t> input = vectorOf({11, 0, uint8_t(classInfo), 0, uint8_t(nameAndType)});
  DataInput in(input);
  const std::unique_ptr<ConstantPoolInfo> interfaceRef(ConstantPoolInfo::read(in));
  const auto& interfaceMethodRef = as<ConstantInterfaceMethodRefInfo>(interfaceRef);

  const ConstantPool& entries = pool.entries;
  EXPECT_TRUE(static_cast<const ConstantClassInfo*>(entries[classInfo])->getName(entries).equals("java/lang/Object"));
  for (const ConstantMemberRefInfo* ref : {static_cast<const ConstantMemberRefInfo*>(&methodRef),
                                           static_cast<const ConstantMemberRefInfo*>(&interfaceMethodRef)}) {
    EXPECT_TRUE(ref->getClassName(entries).equals("java/lang/Object"));
    EXPECT_TRUE(ref->getName(entries).equals("hashCode"));
    EXPECT_TRUE(ref->getDescriptor(entries).equals("()I"));
  }
  // The texts are the Utf8 entries' own.
  EXPECT_EQ(&methodRef.getName(entries), &static_cast<const ConstantUtf8Info*>(entries[name])->getString());
}

TEST(ConstantPoolLookup, EveryIndexFollowedMustHoldAnEntryOfTheExpectedTag) {
  Pool pool;
  const int32_t text = pool.add(new ConstantUtf8Info(YString("x")));
  const int32_t longValue = pool.add(new ConstantLongInfo(int64_t(1)));
  const int32_t classInfo = pool.add(new ConstantClassInfo(text));
  const ConstantPool& entries = pool.entries;
  const int32_t size = entries.size;

  struct Case { std::function<void()> lookup; std::string failure; };
  const std::vector<Case> cases = {
      // A name-and-type index that names a Utf8 entry.
      {[&] { ConstantMethodRefInfo(classInfo, text).getName(entries); },
       "error at ConstantMethodRefInfo: assertion failed"},
      {[&] { ConstantMethodRefInfo(text, text).getClassName(entries); },
       "error at ConstantMethodRefInfo: assertion failed"},
      {[&] { ConstantClassInfo(classInfo).getName(entries); }, "error at ConstantClassInfo: assertion failed"},
      // The second slot of a Long holds no entry.
      {[&] { ConstantClassInfo(longValue + 1).getName(entries); }, "error at ConstantClassInfo: assertion failed"},
      {[&] { ConstantNameAndTypeInfo(text, longValue).getDescriptor(entries); },
       "error at ConstantNameAndTypeInfo: assertion failed"},
      {[&] { ConstantNameAndTypeInfo(size, text).getName(entries); },
       "error at YVector: op=yvector::[] " + std::to_string(size) + " " + std::to_string(size)},
      {[&] { ConstantFieldRefInfo(classInfo, 0xFFFF).getDescriptor(entries); },
       "error at YVector: op=yvector::[] 65535 " + std::to_string(size)},
  };
  for (size_t i = 0; i < cases.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(failureOf(cases[i].lookup), cases[i].failure);
  }
  EXPECT_TRUE(ConstantNameAndTypeInfo(text, text).getDescriptor(entries).equals("x"));
}
