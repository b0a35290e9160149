#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "agent/classfile/LineNumberTableAttribute.h"
#include "tests/unit/classfile/AttributeTestSupport.h"
#include "tests/unit/classfile/FailureWithoutLine.h"

namespace {

using Entries = std::vector<std::pair<int32_t, int32_t>>;  // start pc, line

// A table read from its file form, as the Code attribute's nested attributes are.
std::unique_ptr<LineNumberTableAttribute> tableOf(const Entries& entries) {
  ByteBuilder body;
  body.u2(int32_t(entries.size()));
  for (const auto& [start, line] : entries) body.u2(start).u2(line);
  const YVector<uint8_t> input = vectorOf(ByteBuilder().raw(body.bytes).bytes);
  DataInput in(input);
  return std::make_unique<LineNumberTableAttribute>(in, 1, int32_t(body.bytes.size()));
}

Entries entriesOf(const LineNumberTableAttribute& table) {
  Entries entries;
  for (int32_t i = 0; i < table.getEntries().size; i++) {
    entries.emplace_back(table.getEntries()[i]->startPc, table.getEntries()[i]->lineNumber);
  }
  return entries;
}

struct LookUp {
  Entries table;
  int32_t offset;
  int32_t line;
};

TEST(LineNumberTable, TheLineOfAnOffsetIsThatOfTheLastEntryStartingAtOrBeforeIt) {
  const std::vector<LookUp> cases = {
      {{{0, 10}, {5, 11}}, 0, 10},
      {{{0, 10}, {5, 11}}, 4, 10},
      {{{0, 10}, {5, 11}}, 5, 11},
      {{{0, 10}, {5, 11}}, 100, 11},
      {{}, 0, 0},
      {{}, 7, 0},
      {{{3, 20}}, 2, 0},  // the code before the first entry has no line
      // Tables need not be sorted: the nearest start at or before the offset wins wherever it stands.
      {{{5, 11}, {0, 10}, {9, 12}}, 4, 10},
      {{{5, 11}, {0, 10}, {9, 12}}, 6, 11},
      {{{5, 11}, {0, 10}, {9, 12}}, 9, 12},
      {{{0, 10}, {8, 12}, {5, 11}}, 6, 11},
      // Of two entries at one start the later counts, as a walk in file order finds it.
      {{{0, 1}, {0, 2}}, 0, 2},
      // Lines are u2 values: 32768 and above stay positive.
      {{{0, 32768}, {4, 65535}}, 3, 32768},
      {{{0, 32768}, {4, 65535}}, 4, 65535},
  };
  for (const LookUp& c : cases) {
    SCOPED_TRACE("offset " + std::to_string(c.offset) + " in a table of " + std::to_string(c.table.size()));
    EXPECT_EQ(tableOf(c.table)->getLineNumber(c.offset), c.line);
  }
  EXPECT_EQ(failureOf([] { tableOf({{0, 1}})->getLineNumber(-1); }),
            "error at LineNumberTableAttribute: assertion failed");
}

TEST(LineNumberTable, ShiftMovesTheEntriesAfterTheInsertionOnly) {
  const auto table = tableOf({{0, 10}, {5, 11}, {6, 12}, {4, 13}});
  table->shift(3, 5);
  EXPECT_EQ(entriesOf(*table), (Entries{{0, 10}, {5, 11}, {9, 12}, {4, 13}}));
  table->shift(0, 0);
  EXPECT_EQ(entriesOf(*table), (Entries{{0, 10}, {5, 11}, {9, 12}, {4, 13}}));
  // Entries are moved, never added: the length and the written form follow.
  EXPECT_EQ(table->getLength(), 18);
  EXPECT_EQ(written(*table), (ByteBuilder()
                                  .u2(1).u4(18).u2(4)
                                  .u2(0).u2(10).u2(5).u2(11).u2(9).u2(12).u2(4).u2(13)
                                  .bytes));
  EXPECT_EQ(failureOf([&] { table->shift(-1, 0); }), "error at LineNumberTableAttribute: assertion failed");
}

TEST(LineNumberTable, RelocateMapsEveryStartButTheFirstByte) {
  const auto table = tableOf({{0, 10}, {2, 11}, {5, 12}});
  const int32_t map[] = {7, 8, 12, 13, 14, 20};
  table->relocate(map);
  EXPECT_EQ(entriesOf(*table), (Entries{{0, 10}, {12, 11}, {20, 12}}));
  EXPECT_EQ(failureOf([&] { table->relocate(nullptr); }),
            "error at LineNumberTableAttribute: assertion failed: value is NULL");
}

// The Code attribute validates its line table as it reads it, so that no start offset from a file can
// index past the code or a position map made for it.
TEST(LineNumberTable, ValidateRefusesStartsOutsideTheCode) {
  tableOf({{0, 1}, {9, 2}})->validate(10);
  tableOf({})->validate(1);
  EXPECT_EQ(failureOf([] { tableOf({{0, 1}, {10, 2}})->validate(10); }),
            "error at LineNumberTableAttribute: assertion failed");
  EXPECT_EQ(failureOf([] { tableOf({{65535, 1}})->validate(1); }),
            "error at LineNumberTableAttribute: assertion failed");
}

}  // namespace
