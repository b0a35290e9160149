#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "agent/classfile/OffsetTable.h"
#include "tests/unit/classfile/FailureWithoutLine.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(OffsetTable, KeepsItsElementsInTheOrderOfRecording) {
  OffsetTable table;
  EXPECT_EQ(table.size(), 0);
  table.add(7, 8, true);
  table.add(0, 4, false);
  table.add(0, 16, false);
  ASSERT_EQ(table.size(), 3);
  const std::vector<std::vector<int32_t>> expected = {{7, 8, 1}, {0, 4, 0}, {0, 16, 0}};
  for (int32_t i = 0; i < table.size(); i++) {
    EXPECT_EQ((std::vector<int32_t>{table.getOffset(i), table.getOperandPosition(i), table.getFlag(i)}),
              expected[size_t(i)]);
  }
}

TEST(OffsetTable, RefusesOperandsThatDoNotFollowTheirInstructionAndReadsBeyondItsSize) {
  OffsetTable table;
  table.add(0, 1, true);
  EXPECT_EQ(failureOf([&] { table.add(-1, 1, true); }), "error at OffsetTable: assertion failed");
  EXPECT_EQ(failureOf([&] { table.add(0, 0, true); }), "error at OffsetTable: assertion failed");
  EXPECT_EQ(failureOf([&] { table.add(5, 5, false); }), "error at OffsetTable: assertion failed");
  EXPECT_EQ(failureOf([&] { table.getOffset(1); }), "error at OffsetTable: assertion failed");
  EXPECT_EQ(failureOf([&] { table.getOperandPosition(-1); }), "error at OffsetTable: assertion failed");
  EXPECT_EQ(failureOf([&] { table.getFlag(1); }), "error at OffsetTable: assertion failed");
  EXPECT_EQ(table.size(), 1);
}

// A method with every kind of branch operand, and its branch table as the patch scanner records it:
//    0 ICONST_0
//    1 TABLESWITCH (2 bytes of padding) default 28, 0..1 -> 24, 28
//   24 GOTO 0
//   27 NOP
//   28 GOTO_W 1
//   33 IFNULL 27
//   36 RETURN
Bytes fixtureCode() {
  return {3,                                                       // ICONST_0
          170, 0, 0,   0, 0, 0, 27,   0, 0, 0, 0,   0, 0, 0, 1,    // TABLESWITCH, default, low, high
          0, 0, 0, 23,   0, 0, 0, 27,                              // jump offsets
          167, 0xFF, 0xE8,                                         // GOTO -24
          0,                                                       // NOP
          200, 0xFF, 0xFF, 0xFF, 0xE5,                             // GOTO_W -27
          198, 0xFF, 0xFA,                                         // IFNULL -6
          177};
}

OffsetTable fixtureTable() {
  OffsetTable table;
  table.add(1, 4, false);
  table.add(1, 16, false);
  table.add(1, 20, false);
  table.add(24, 25, true);
  table.add(28, 29, false);
  table.add(33, 34, true);
  return table;
}

// Each element's operand as it stands in `code`.
std::vector<int32_t> operandsOf(const OffsetTable& table, const Bytes& code) {
  std::vector<int32_t> operands;
  for (int32_t i = 0; i < table.size(); i++) {
    const uint8_t* at = code.data() + table.getOperandPosition(i);
    operands.push_back(table.getFlag(i) == 1 ? int16_t(at[0] << 8 | at[1])
                                             : int32_t(uint32_t(at[0]) << 24 | at[1] << 16 | at[2] << 8 | at[3]));
  }
  return operands;
}

// The position map of code into which `count` bytes were inserted before each of the positions given.
std::vector<int32_t> mapInserting(int32_t codeLength, const std::vector<std::pair<int32_t, int32_t>>& insertions) {
  std::vector<int32_t> map;
  for (int32_t i = 0; i < codeLength; i++) map.push_back(i);
  for (const auto& [position, count] : insertions) {
    for (int32_t i = position; i < codeLength; i++) map[size_t(i)] += count;
  }
  return map;
}

bool relocate(const OffsetTable& table, Bytes& code, const std::vector<int32_t>& map) {
  return relocateBranchOffsets(table, code.data(), int32_t(code.size()), map.data());
}

TEST(RelocateBranchOffsets, EveryOperandSpansFromItsMovedInstructionToItsMovedTarget) {
  const OffsetTable table = fixtureTable();
  Bytes code = fixtureCode();
  ASSERT_EQ(operandsOf(table, code), (std::vector<int32_t>{27, 23, 27, -24, -27, -6}));
  // 8 bytes before the GOTO at 24, 5 before the NOP at 27, 100 before the RETURN.
  const std::vector<int32_t> map = mapInserting(int32_t(code.size()), {{24, 8}, {27, 5}, {36, 100}});
  ASSERT_TRUE(relocate(table, code, map));
  // default: 1 -> 28 is now 1 -> 41; jumps: 1 -> 32 and 1 -> 41; GOTO: 32 -> 0; GOTO_W: 41 -> 1;
  // IFNULL: 46 -> 40.
  EXPECT_EQ(operandsOf(table, code), (std::vector<int32_t>{40, 31, 40, -32, -40, -6}));
  // Only the operands changed.
  Bytes expected = fixtureCode();
  for (int32_t position : {4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23, 25, 26, 29, 30, 31, 32, 34, 35}) {
    expected[size_t(position)] = code[size_t(position)];
  }
  EXPECT_EQ(code, expected);
}

TEST(RelocateBranchOffsets, ASixteenBitOperandThatNoLongerFitsRefusesWithoutWritingAny) {
  // 0 GOTO_W to the RETURN, 5 a GOTO forward to the RETURN or back to 0, 8 RETURN. The bytes go in
  // between the GOTO and its target.
  const Bytes forward = {200, 0, 0, 0, 8, 167, 0, 3, 177};
  const Bytes backward = {200, 0, 0, 0, 8, 167, 0xFF, 0xFB, 177};
  struct Case {
    const char* what;
    Bytes code;
    int32_t insertedBefore;
    int32_t inserted;
    int32_t gotoOperand;  // when it fits
  };
  const std::vector<Case> cases = {
      {"forward, up to 32767", forward, 8, 32767 - 3, 32767},
      {"forward, beyond 32767", forward, 8, 32767 - 3 + 1, 0},
      {"backward, down to -32768", backward, 5, 32768 - 5, -32768},
      {"backward, beyond -32768", backward, 5, 32768 - 5 + 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OffsetTable table;
    table.add(0, 1, false);
    table.add(5, 6, true);
    Bytes code = c.code;
    const std::vector<int32_t> map = mapInserting(int32_t(code.size()), {{c.insertedBefore, c.inserted}});
    const bool fits = c.gotoOperand != 0;
    EXPECT_EQ(relocate(table, code, map), fits);
    if (fits) {
      EXPECT_EQ(operandsOf(table, code), (std::vector<int32_t>{8 + c.inserted, c.gotoOperand}));
    } else {
      EXPECT_EQ(code, c.code);  // the GOTO_W before it fitted, and is still unchanged
    }
  }
}

TEST(RelocateBranchOffsets, ThirtyTwoBitOperandsAlwaysFit) {
  const OffsetTable table = fixtureTable();
  OffsetTable wide;
  for (int32_t i = 0; i < table.size(); i++) {
    if (table.getFlag(i) == 0) wide.add(table.getOffset(i), table.getOperandPosition(i), false);
  }
  Bytes code = fixtureCode();
  const std::vector<int32_t> map = mapInserting(int32_t(code.size()), {{2, 70000}, {28, 70000}});
  ASSERT_TRUE(relocate(wide, code, map));
  EXPECT_EQ(operandsOf(wide, code), (std::vector<int32_t>{27 + 140000, 23 + 70000, 27 + 140000, -27 - 140000}));
}

TEST(RelocateBranchOffsets, AnEmptyTableSucceedsAtOnce) {
  EXPECT_TRUE(relocateBranchOffsets(OffsetTable(), nullptr, 0, nullptr));
  Bytes code = fixtureCode();
  const std::vector<int32_t> map = mapInserting(int32_t(code.size()), {{0, 9}});
  EXPECT_TRUE(relocate(OffsetTable(), code, map));
  EXPECT_EQ(code, fixtureCode());
}

TEST(RelocateBranchOffsets, OperandsAndTargetsOutsideTheCodeAreFatal) {
  const auto failure = [](Bytes code, int32_t instruction, int32_t operand, bool shortOperand) {
    OffsetTable table;
    table.add(instruction, operand, shortOperand);
    const std::vector<int32_t> map = mapInserting(int32_t(code.size()), {});
    return failureOf([&] { relocate(table, code, map); });
  };
  EXPECT_EQ(failure({167, 0, 4, 0}, 0, 1, true), "error at OffsetTable: assertion failed");       // to the end
  EXPECT_EQ(failure({0, 167, 0xFF, 0xFE}, 1, 2, true), "error at OffsetTable: assertion failed");  // before 0
  EXPECT_EQ(failure({200, 0x7F, 0xFF, 0xFF, 0xFF}, 0, 1, false), "error at OffsetTable: assertion failed");
  EXPECT_EQ(failure({0, 0, 167, 0}, 2, 3, true), "error at OffsetTable: assertion failed");  // cut-off operand
  EXPECT_EQ(failure({0, 0, 200, 0, 0}, 2, 3, false), "error at OffsetTable: assertion failed");
  EXPECT_EQ(failure({0, 167, 0, 0}, 4, 5, true), "error at OffsetTable: assertion failed");  // beyond the code

  OffsetTable table;
  table.add(0, 1, true);
  const std::vector<int32_t> map = {0, 1, 2};
  Bytes code = {167, 0, 0};
  EXPECT_EQ(failureOf([&] { relocateBranchOffsets(table, nullptr, 3, map.data()); }),
            "error at OffsetTable: assertion failed: value is NULL");
  EXPECT_EQ(failureOf([&] { relocateBranchOffsets(table, code.data(), 3, nullptr); }),
            "error at OffsetTable: assertion failed: value is NULL");
}

}  // namespace
