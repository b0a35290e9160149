#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "agent/classfile/InstructionLengths.h"
#include "agent/classfile/SwitchDetector.h"
#include "tests/unit/classfile/FailureWithoutLine.h"

// The switch detector and the instruction lengths it walks by. Code is handed over in a heap block of
// exactly its length, so that a read past the end shows under the address sanitizer.

namespace {

using Bytes = std::vector<uint8_t>;

enum : uint8_t {
  NOP = 0,
  ICONST_0 = 3,
  SIPUSH = 17,
  ILOAD = 21,
  GOTO = 167,
  IRETURN = 172,
  RETURN = 177,
  TABLESWITCH = OPCODE_TABLESWITCH,
  LOOKUPSWITCH = OPCODE_LOOKUPSWITCH,
  WIDE = OPCODE_WIDE,
  IINC = OPCODE_IINC,
};

class ExactCode {
 public:
  explicit ExactCode(const Bytes& bytes) : length(int32_t(bytes.size())), block(new uint8_t[bytes.size()]) {
    if (!bytes.empty()) std::memcpy(block.get(), bytes.data(), bytes.size());
  }
  const uint8_t* data() const { return block.get(); }
  const int32_t length;

 private:
  std::unique_ptr<uint8_t[]> block;
};

bool detect(const Bytes& bytes) {
  const ExactCode code(bytes);
  return detectSwitches(code.data(), code.length);
}

int32_t lengthAt(const Bytes& bytes, int32_t position) {
  const ExactCode code(bytes);
  return instructionLengthAt(code.data(), code.length, position);
}

Bytes u4(int32_t value) {
  const uint32_t bits = uint32_t(value);
  return {uint8_t(bits >> 24), uint8_t(bits >> 16), uint8_t(bits >> 8), uint8_t(bits)};
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes nops(int32_t count) { return Bytes(size_t(count), NOP); }

// A TABLESWITCH at `position` (after that many NOPs) with its padding, default, low, high and the jump
// offsets of `jumps` entries (which need not match low and high).
Bytes tableSwitchAt(int32_t position, int32_t low, int32_t high, int32_t jumps) {
  Bytes code = nops(position) + Bytes{TABLESWITCH} + nops((4 - (position + 1) % 4) % 4) + u4(0) + u4(low) + u4(high);
  for (int32_t i = 0; i < jumps; i++) code = code + u4(0);
  return code;
}

Bytes lookupSwitchAt(int32_t position, int32_t npairs, int32_t pairs) {
  Bytes code = nops(position) + Bytes{LOOKUPSWITCH} + nops((4 - (position + 1) % 4) % 4) + u4(0) + u4(npairs);
  for (int32_t i = 0; i < pairs; i++) code = code + u4(i) + u4(0);
  return code;
}

Bytes cut(Bytes bytes, size_t drop) {
  bytes.resize(bytes.size() - drop);
  return bytes;
}

struct Detection {
  const char* what;
  Bytes code;
  bool found;
};

TEST(SwitchDetector, FindsASwitchOnlyWhereAnInstructionStarts) {
  const std::vector<Detection> cases = {
      {"no code", {}, false},
      {"no switch", {ICONST_0, IRETURN}, false},
      {"a switch at 0, its operands missing", {TABLESWITCH}, true},
      {"a lookup switch after other code", {ICONST_0, LOOKUPSWITCH}, true},
      {"a switch after a complete one", tableSwitchAt(0, 0, 0, 1) + Bytes{LOOKUPSWITCH}, true},
      // Switch opcodes inside operands are data.
      {"in a SIPUSH operand", {SIPUSH, TABLESWITCH, LOOKUPSWITCH, RETURN}, false},
      {"in a GOTO operand", {GOTO, 0, TABLESWITCH, RETURN}, false},
      // WIDE IINC is 6 bytes, other WIDE forms 4.
      {"ends with WIDE IINC", {ICONST_0, WIDE, IINC, 0, 1, 0, 5}, false},
      {"in a WIDE IINC constant", {WIDE, IINC, 0, 1, TABLESWITCH, 0, RETURN}, false},
      {"after a WIDE IINC", {WIDE, IINC, 0, 1, 0, 1, LOOKUPSWITCH}, true},
      {"in a WIDE ILOAD index", {WIDE, ILOAD, 0, TABLESWITCH, RETURN}, false},
      {"after a WIDE ILOAD", {WIDE, ILOAD, 0, 1, TABLESWITCH}, true},
      // Instructions cut off by the end of the code hide nothing and are not read beyond it.
      {"WIDE as the last byte", {NOP, WIDE}, false},
      {"WIDE as the only byte", {WIDE}, false},
      {"a cut-off WIDE ILOAD", {WIDE, ILOAD, 0}, false},
      {"a cut-off GOTO", {NOP, GOTO, 0}, false},
      // BREAKPOINT and the implementation opcodes are one byte long.
      {"after 202, 254, 255", {202, 254, 255, LOOKUPSWITCH}, true},
  };
  for (const Detection& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(detect(c.code), c.found);
  }
  EXPECT_FALSE(detectSwitches(nullptr, 0));
}

TEST(SwitchDetector, AnUndefinedOpcodeBeforeAnySwitchIsFatal) {
  EXPECT_EQ(failureOf([] { detect({NOP, 203, TABLESWITCH}); }),
            "error at SwitchDetector: Wrong instruction opcode found: 203");
  EXPECT_EQ(failureOf([] { detect({ICONST_0, 253}); }), "error at SwitchDetector: Wrong instruction opcode found: 253");
  EXPECT_TRUE(detect({LOOKUPSWITCH, 203}));  // met after the switch, it is never looked at
  EXPECT_EQ(failureOf([] { detectSwitches(nullptr, 1); }), "error at SwitchDetector: assertion failed: value is NULL");
}

struct Length {
  const char* what;
  Bytes code;
  int32_t position;
  int32_t length;
};

TEST(InstructionLengths, WideAndSwitchesAreMeasuredFromTheirOperands) {
  const std::vector<Length> cases = {
      {"ICONST_0", {ICONST_0}, 0, 1},
      {"SIPUSH", {SIPUSH, 0, 1}, 0, 3},
      {"WIDE IINC", {WIDE, IINC, 0, 1, 0, 1}, 0, 6},
      {"WIDE ILOAD", {WIDE, ILOAD, 0, 1}, 0, 4},
      // The opcodes that the JDK's classes, the corpus the table is checked against, never use.
      {"NOP", {NOP}, 0, 1},
      {"SWAP", {95}, 0, 1},
      {"JSR", {168, 0, 3}, 0, 3},
      {"RET", {169, 1}, 0, 2},
      {"GOTO_W", {200, 0, 0, 0, 5}, 0, 5},
      {"JSR_W", {201, 0, 0, 0, 5}, 0, 5},
      {"WIDE RET", {WIDE, 169, 0, 1}, 0, 4},
      // Switch padding runs to the next multiple of 4 of the code position, whatever the prefix.
      {"TABLESWITCH at 0", tableSwitchAt(0, 5, 6, 2), 0, 4 + 12 + 8},
      {"TABLESWITCH at 1", tableSwitchAt(1, 5, 6, 2), 1, 3 + 12 + 8},
      {"TABLESWITCH at 2", tableSwitchAt(2, 5, 6, 2), 2, 2 + 12 + 8},
      {"TABLESWITCH at 3", tableSwitchAt(3, -1, 1, 3), 3, 1 + 12 + 12},
      {"LOOKUPSWITCH at 0", lookupSwitchAt(0, 2, 2), 0, 4 + 8 + 16},
      {"LOOKUPSWITCH at 3", lookupSwitchAt(3, 1, 1), 3, 1 + 8 + 8},
      {"LOOKUPSWITCH without pairs", lookupSwitchAt(2, 0, 0), 2, 2 + 8},
      // Counts below 1, which the JVM refuses, leave the table empty as the other scanners read it.
      {"TABLESWITCH with high below low", tableSwitchAt(0, 1, 0, 0), 0, 4 + 12},
      {"LOOKUPSWITCH with negative npairs", lookupSwitchAt(0, -1, 0), 0, 4 + 8},
      // Cut off by the end of the code.
      {"WIDE as the last byte", {NOP, WIDE}, 1, -1},
      {"a cut-off WIDE ILOAD", {WIDE, ILOAD, 0}, 0, -1},
      {"a cut-off WIDE IINC", {WIDE, IINC, 0, 1, 0}, 0, -1},
      {"a cut-off GOTO", {GOTO, 0}, 0, -1},
      {"a switch opcode alone", {NOP, TABLESWITCH}, 1, -1},
      {"a switch in its padding", cut(tableSwitchAt(0, 0, 0, 1), 17), 0, -1},
      {"TABLESWITCH without its high", cut(tableSwitchAt(0, 0, 0, 1), 6), 0, -1},
      {"TABLESWITCH one byte short", cut(tableSwitchAt(0, 0, 1, 2), 1), 0, -1},
      {"LOOKUPSWITCH without its npairs", cut(lookupSwitchAt(1, 0, 0), 1), 1, -1},
      {"LOOKUPSWITCH one byte short", cut(lookupSwitchAt(1, 2, 2), 1), 1, -1},
      // Counts from the file whose table would reach past the code, also where 32-bit sums would wrap
      // round to a length that fits.
      {"TABLESWITCH over the whole int range", tableSwitchAt(0, INT_MIN, INT_MAX, 1), 0, -1},
      {"TABLESWITCH of 2^30 jumps", tableSwitchAt(0, 0, (1 << 30) - 1, 1), 0, -1},
      {"TABLESWITCH of 2^31 - 1 jumps", tableSwitchAt(0, 1, INT_MAX, 1), 0, -1},
      {"LOOKUPSWITCH of 2^29 pairs", lookupSwitchAt(0, 1 << 29, 1), 0, -1},
      {"LOOKUPSWITCH of 2^31 - 1 pairs", lookupSwitchAt(0, INT_MAX, 1), 0, -1},
      {"an undefined opcode", {203}, 0, -1},
  };
  for (const Length& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(lengthAt(c.code, c.position), c.length);
  }
  EXPECT_EQ(failureOf([] { lengthAt({NOP}, 1); }), "error at InstructionLengths: assertion failed");
  EXPECT_EQ(failureOf([] { lengthAt({NOP}, -1); }), "error at InstructionLengths: assertion failed");
  EXPECT_EQ(failureOf([] { instructionLengthAt(nullptr, 1, 0); }),
            "error at InstructionLengths: assertion failed: value is NULL");
}

}  // namespace
