#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "tests/unit/classfile/FailureWithoutLine.h"

namespace {

YVector<uint8_t> bytes(const std::vector<uint8_t>& values) {
  YVector<uint8_t> v;
  for (uint8_t b : values) v.add(b);
  return v;
}

std::vector<uint8_t> contents(const YVector<uint8_t>& v) { return std::vector<uint8_t>(v.data, v.data + v.size); }


}  // namespace

TEST(DataInput, ReadsBigEndianUnsignedValues) {
  const YVector<uint8_t> input = bytes({0xCA, 0xFE, 0xBA, 0xBE, 0xFF, 0xFE, 0x80, 0x00, 0x00, 0x00, 0x01,
                                        0x80, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF});
  DataInput in(input);
  EXPECT_EQ(in.readInt(), int32_t(0xCAFEBABE));
  EXPECT_EQ(in.readUnsignedShort(), 65534);
  EXPECT_EQ(in.readUnsignedByte(), 0x80);
  // The low word is not sign-extended into the high word.
  EXPECT_EQ(in.readLong(), (int64_t(1) << 32) + (int64_t(1) << 31));
  EXPECT_EQ(in.readInt(), -1);
  EXPECT_EQ(in.getPosition(), input.size);
}

TEST(DataInput, ReadFullyAndReadString) {
  const YVector<uint8_t> input = bytes({'a', 0, 'b', 'x', 'y', 'z', 1, 2});
  DataInput in(input);
  const YString text = in.readString(3);  // the text ends at the zero byte, the position does not
  EXPECT_TRUE(text.equals("a"));
  EXPECT_EQ(in.getPosition(), 3);
  EXPECT_TRUE(in.readString(3).equals("xyz"));
  EXPECT_TRUE(in.readString(0).equals(""));
  uint8_t buffer[2] = {0, 0};
  in.readFully(buffer, 0);
  EXPECT_EQ(in.getPosition(), 6);
  in.readFully(buffer, 2);
  EXPECT_EQ(buffer[0], 1);
  EXPECT_EQ(buffer[1], 2);
}

TEST(DataInput, ReadingPastTheEndIsARangeErrorAtTheMissingByte) {
  const YVector<uint8_t> input = bytes({1, 2, 3});
  EXPECT_EQ(failureOf([&] {
              DataInput in(input);
              in.readUnsignedShort();
              in.readUnsignedShort();
            }),
            "error at YVector: op=yvector::[] 3 3");
  EXPECT_EQ(failureOf([&] {
              DataInput in(input);
              in.readLong();
            }),
            "error at YVector: op=yvector::[] 3 3");
  EXPECT_EQ(failureOf([&] {
              DataInput in(input);
              in.readString(4);
            }),
            "error at YVector: op=yvector::[] 3 3");
  const YVector<uint8_t> empty;
  EXPECT_EQ(failureOf([&] {
              DataInput in(empty);
              in.readUnsignedByte();
            }),
            "error at YVector: op=yvector::[] 0 0");
}

TEST(DataInput, RefusesNullBuffersAndNegativeCounts) {
  const YVector<uint8_t> input = bytes({1, 2, 3});
  DataInput in(input);
  uint8_t buffer[1];
  EXPECT_EQ(failureOf([&] { in.readFully(nullptr, 1); }), "error at DataInput: assertion failed: value is NULL");
  EXPECT_EQ(failureOf([&] { in.readFully(buffer, -1); }), "error at DataInput: assertion failed");
  EXPECT_EQ(failureOf([&] { in.readString(-1); }), "error at DataInput: assertion failed");
  EXPECT_EQ(in.getPosition(), 0);
}

TEST(DataOutput, WritesLowBitsBigEndianAfterExistingBytes) {
  YVector<uint8_t> output = bytes({0x42});
  DataOutput out(output);
  out.writeByte(0x1FF);
  out.writeShort(-1);
  out.writeShort(70000);
  out.writeInt(0x01020304);
  out.writeIntLE(0x01020304);
  out.writeLong(-2);
  out.writeLong(0x0102030405060708);
  const uint8_t raw[] = {9, 8};
  out.write(raw, 2);
  out.write(raw, 0);
  EXPECT_EQ(contents(output), (std::vector<uint8_t>{0x42, 0xFF, 0xFF, 0xFF, 0x11, 0x70, 1, 2, 3, 4, 4, 3, 2, 1,
                                                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE,
                                                     1, 2, 3, 4, 5, 6, 7, 8, 9, 8}));
}

TEST(DataOutput, RefusesNullBuffersAndNegativeCounts) {
  YVector<uint8_t> output;
  DataOutput out(output);
  const uint8_t raw[] = {1};
  EXPECT_EQ(failureOf([&] { out.write(nullptr, 1); }), "error at DataOutput: assertion failed: value is NULL");
  EXPECT_EQ(failureOf([&] { out.write(raw, -1); }), "error at DataOutput: assertion failed");
  EXPECT_EQ(output.size, 0);
}

TEST(DataInputOutput, EveryWidthRoundTrips) {
  YVector<uint8_t> buffer;
  DataOutput out(buffer);
  const int64_t longs[] = {0, -1, INT64_MIN, INT64_MAX, 0x00000001FFFFFFFF};
  const int32_t ints[] = {0, -1, INT32_MIN, INT32_MAX};
  for (int64_t v : longs) out.writeLong(v);
  for (int32_t v : ints) out.writeInt(v);
  for (int32_t v : {0, 1, 0x7FFF, 0x8000, 0xFFFF}) out.writeShort(v);
  DataInput in(buffer);
  for (int64_t v : longs) EXPECT_EQ(in.readLong(), v);
  for (int32_t v : ints) EXPECT_EQ(in.readInt(), v);
  for (int32_t v : {0, 1, 0x7FFF, 0x8000, 0xFFFF}) EXPECT_EQ(in.readUnsignedShort(), v);
  EXPECT_EQ(in.getPosition(), buffer.size);
}
