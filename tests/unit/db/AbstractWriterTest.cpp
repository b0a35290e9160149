#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "agent/db/AbstractWriter.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/RecordingWriter.h"

namespace {

// A flush that keeps its bytes: the writer would overrun its buffer.
class StuckWriter : public AbstractWriter {
 public:
  StuckWriter() : AbstractWriter(8, true, byteOrderBigEndian) {}
  void flush() override {}
};

template <class Write>
std::string written(int32_t byteOrder, Write write, bool idsAre4Bytes = true) {
  RecordingWriter writer(byteOrder, 64, idsAre4Bytes);
  write(writer);
  return hex(writer.bytes());
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

// --- typed writes in both byte orders

TEST(AbstractWriter, TypedValuesComeOutInTheWritersByteOrder) {
  const struct {
    const char* what;
    void (*write)(AbstractWriter&);
    const char* bigEndian;
    const char* littleEndian;
  } cases[] = {
      {"byte", [](AbstractWriter& w) { w.writeByte(0x1AB); }, "AB", "AB"},
      {"short", [](AbstractWriter& w) { w.writeShort(-2); }, "FF FE", "FE FF"},
      {"int", [](AbstractWriter& w) { w.writeInt(0x01020304); }, "01 02 03 04", "04 03 02 01"},
      {"long", [](AbstractWriter& w) { w.writeLong(0x0102030405060708LL); }, "01 02 03 04 05 06 07 08",
       "08 07 06 05 04 03 02 01"},
      {"4-byte id", [](AbstractWriter& w) { w.writeId(0x1122334455667788LL); }, "55 66 77 88", "88 77 66 55"},
      {"string", [](AbstractWriter& w) { w.writeString("ab"); }, "00 00 00 02 61 62", "02 00 00 00 61 62"},
      {"empty string", [](AbstractWriter& w) { w.writeString(""); }, "00 00 00 00", "00 00 00 00"},
      {"null string", [](AbstractWriter& w) { w.writeString(nullptr); }, "FF FF FF FF", "FF FF FF FF"},
      {"text vector", [](AbstractWriter& w) { w.writeByteVector(YString("xyz")); }, "00 00 00 03 78 79 7A",
       "03 00 00 00 78 79 7A"},
      {"byte vector",
       [](AbstractWriter& w) {
         const unsigned char data[] = {0, 0xFF};
         w.writeByteVector(YVector<unsigned char>(data, 2));
       },
       "00 00 00 02 00 FF", "02 00 00 00 00 FF"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(written(byteOrderBigEndian, c.write), c.bigEndian) << c.what;
    EXPECT_EQ(written(byteOrderLittleEndian, c.write), c.littleEndian) << c.what;
  }
}

TEST(AbstractWriter, AnyOrderOtherThanOneIsBigEndian) {
  EXPECT_EQ(written(2, [](AbstractWriter& w) { w.writeInt(1); }), "00 00 00 01");
  EXPECT_EQ(written(-1, [](AbstractWriter& w) { w.writeShort(1); }), "00 01");
}

TEST(AbstractWriter, EightByteIdsAreWrittenWhole) {
  const auto write = [](AbstractWriter& w) { w.writeId(0x1122334455667788LL); };
  EXPECT_EQ(written(byteOrderBigEndian, write, false), "11 22 33 44 55 66 77 88");
  EXPECT_EQ(written(byteOrderLittleEndian, write, false), "88 77 66 55 44 33 22 11");
}

TEST(AbstractWriter, PrimitiveArraysAndValuesTakeTheSizeOfTheirSignature) {
  const int8_t bytes[] = {-1, 2};
  const uint8_t booleans[] = {1, 0};
  const uint16_t chars[] = {0xFFFE, 0x41};
  const int16_t shorts[] = {-2, 3};
  const int32_t ints[] = {-2, 0x01020304};
  const float floats[] = {1.0f};
  const int64_t longs[] = {-2};
  const double doubles[] = {1.0};
  const struct {
    char signature;
    const void* data;
    int32_t count;
    int64_t value;
    const char* arrayBigEndian;
    const char* arrayLittleEndian;
    const char* valueBigEndian;
  } cases[] = {
      {'B', bytes, 2, 0x1FF, "FF 02", "FF 02", "FF"},
      {'Z', booleans, 2, 0x101, "01 00", "01 00", "01"},
      {'C', chars, 2, 0x1FFFE, "FF FE 00 41", "FE FF 41 00", "FF FE"},
      {'S', shorts, 2, -2, "FF FE 00 03", "FE FF 03 00", "FF FE"},
      {'I', ints, 2, 0x101020304LL, "FF FF FF FE 01 02 03 04", "FE FF FF FF 04 03 02 01", "01 02 03 04"},
      {'F', floats, 1, 0x3F800000, "3F 80 00 00", "00 00 80 3F", "3F 80 00 00"},
      {'J', longs, 1, -2, "FF FF FF FF FF FF FF FE", "FE FF FF FF FF FF FF FF", "FF FF FF FF FF FF FF FE"},
      {'D', doubles, 1, 0x3FF0000000000000LL, "3F F0 00 00 00 00 00 00", "00 00 00 00 00 00 F0 3F",
       "3F F0 00 00 00 00 00 00"},
  };
  for (const auto& c : cases) {
    const auto array = [&](AbstractWriter& w) { w.writePrimitiveArray(c.data, c.signature, c.count); };
    EXPECT_EQ(written(byteOrderBigEndian, array), c.arrayBigEndian) << c.signature;
    EXPECT_EQ(written(byteOrderLittleEndian, array), c.arrayLittleEndian) << c.signature;
    const auto value = [&](AbstractWriter& w) { w.writePrimitiveValue(c.value, c.signature); };
    EXPECT_EQ(written(byteOrderBigEndian, value), c.valueBigEndian) << c.signature;
  }
}

TEST(AbstractWriter, AnUnknownSignatureIsFatal) {
  RecordingWriter writer(byteOrderBigEndian, 64);
  const int32_t one = 1;
  const std::string array = fatalErrorOf([&] { writer.writePrimitiveArray(&one, 'L', 1); });
  EXPECT_TRUE(endsWith(array, ": unexpected signature: 76")) << array;
  EXPECT_EQ(array.rfind("error at AbstractWriter:", 0), 0u) << array;
  const std::string value = fatalErrorOf([&] { writer.writePrimitiveValue(1, '['); });
  EXPECT_TRUE(endsWith(value, ": unexpected signature: 91")) << value;
  EXPECT_EQ(writer.bytes(), "");
}

// --- the room tests

TEST(AbstractWriter, AMultiByteValueNeverFillsTheLastBytesOfTheBuffer) {
  RecordingWriter writer(byteOrderBigEndian, 16);
  for (int i = 0; i < 12; i++) writer.writeByte(i);
  writer.writeInt(0x0D0E0F10);  // exactly 4 bytes free: flushed first
  ASSERT_EQ(writer.blocks.size(), 1u);
  EXPECT_EQ(writer.blocks[0].size(), 12u);

  for (int i = 0; i < 11; i++) writer.writeByte(i);  // 15 of 16 used
  writer.writeByte(0x7F);                           // 1 byte free: it fits
  EXPECT_EQ(writer.blocks.size(), 1u);
  writer.writeByte(0x7E);
  ASSERT_EQ(writer.blocks.size(), 2u);
  EXPECT_EQ(writer.blocks[1].size(), 16u);
}

TEST(AbstractWriter, ByteRunsFillTheBufferExactlyAcrossFlushes) {
  RecordingWriter writer(byteOrderLittleEndian, 16);
  const std::string text(40, 'q');
  writer.writeString(text.c_str());
  EXPECT_EQ(writer.bytes(), std::string("\x28\0\0\0", 4) + text);
  ASSERT_EQ(writer.blocks.size(), 3u);
  EXPECT_EQ(writer.blocks[0].size(), 16u);
  EXPECT_EQ(writer.blocks[1].size(), 16u);
}

TEST(AbstractWriter, AFlushThatLeavesBytesBehindIsFatal) {
  StuckWriter writer;
  writer.writeInt(1);
  const std::string failure = fatalErrorOf([&] { writer.writeInt(2); });
  EXPECT_EQ(failure.rfind("error at AbstractWriter:", 0), 0u) << failure;
  EXPECT_TRUE(endsWith(failure, ": assertion failed")) << failure;
}

// --- the free functions of the heap writer

TEST(PrimitiveTypes, SizesFollowTheSignature) {
  const struct {
    char signature;
    int32_t size;
  } cases[] = {{'B', 1}, {'Z', 1}, {'C', 2}, {'S', 2}, {'F', 4}, {'I', 4}, {'D', 8}, {'J', 8}, {'L', -1}, {'V', -1}, {0, -1}};
  for (const auto& c : cases) EXPECT_EQ(getPrimitiveTypeSize(c.signature), c.size) << int(c.signature);
}

TEST(PrimitiveTypes, ValuesAreNarrowedToTheirTypeAndWidenedBack) {
  const struct {
    char signature;
    int64_t value;
    int64_t normalized;
  } cases[] = {
      {'B', 0x1FF, -1},        {'B', 0x17F, 127},        {'C', 0x1FFFF, 0xFFFF},       {'S', 0x1FFFF, -1},
      {'S', 0x7FFF, 0x7FFF},   {'I', 0x1FFFFFFFFLL, -1}, {'F', 0x17F800000LL, 0x7F800000},
      {'J', INT64_MIN, INT64_MIN}, {'D', -5, -5},        {'Z', 0x101, 1},              {'Z', 2, 0},
      {'Z', 0x100, 0},         {'L', 7, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(normalizePrimitiveValue(c.signature, c.value), c.normalized) << c.signature << " " << c.value;
  }
}
