#include <gtest/gtest.h>

#include <cstdint>

#include "agent/db/DB.h"
#include "agent/recording/FrameTree.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/TestDatabase.h"

namespace {

constexpr int32_t probeCode = 0x40;

class FrameTreeTest : public DatabaseTest {
 protected:
  void method(int32_t id, int32_t flags) {
    *database->methods.getRow(id, true) = MethodRecord{1, 0, 0, 0, 0, 0, flags};
  }

  // A frame under `parent` with the code-point key given.
  void frame(int32_t id, int32_t parent, int32_t key) {
    *database->frames.getRow(id, true) = FrameRecord{1, parent, key, -1, -1};
  }

  // A "code_point" row for a pair without a compact key; returns its key.
  int32_t pairKey(int32_t row, int32_t methodId, int32_t line) {
    *database->codePoints.getRow(row, true) = CodePointRecord{1, methodId, line};
    return int32_t(0x80000000u | uint32_t(row));
  }
};

int32_t compactKey(int32_t methodId, int32_t line) {
  return int32_t(0xC0000000u | uint32_t(line) << 19 | uint32_t(methodId));
}

}  // namespace

TEST_F(FrameTreeTest, EveryKeyFormGivesBackItsMethod) {
  EXPECT_EQ(getCodePointMethod(5), 5);
  EXPECT_EQ(getCodePointMethod(compactKey(5, 10)), 5);
  EXPECT_EQ(getCodePointMethod(int32_t(0xFFFFFFFFu)), 0x7FFFF);  // method 0x7FFFF, line 2047
  EXPECT_EQ(getCodePointMethod(pairKey(3, 0x80000, 1)), 0x80000);
  EXPECT_EQ(getCodePointMethod(pairKey(4, 5, 2048)), 5);
  EXPECT_EQ(getCodePointMethod(int32_t(0x80000000u | 900u)), 0);  // a pair row never made

  frame(1, 0, compactKey(7, 3));
  EXPECT_EQ(getFrameMethod(1), 7);
  EXPECT_EQ(getFrameMethod(2), 0);
  EXPECT_EQ(fatalErrorOf([] { getFrameMethod(-1); }), "error at DB:107: assertion failed");
}

TEST_F(FrameTreeTest, TheOuterFrameOfAProbeRunIsTheFrameAboveIt) {
  // root -> A -> P1 -> P2 -> B, where only P1 and P2 run probe code; P2's key is a pair row.
  method(100, 0);
  method(101, probeCode);
  method(102, probeCode | 0x4);
  method(103, 0);
  const int32_t a = 1, p1 = 2, p2 = 3, b = 4;
  frame(a, 0, 100);
  frame(p1, a, compactKey(101, 12));
  frame(p2, p1, pairKey(1, 102, 5000));
  frame(b, p2, 103);
  EXPECT_EQ(getOuterFrameOfMarkedRun(b), a);
  EXPECT_EQ(getOuterFrameOfMarkedRun(p2), a);
  EXPECT_EQ(getOuterFrameOfMarkedRun(p1), a);
  EXPECT_EQ(getOuterFrameOfMarkedRun(a), a);

  // root -> P -> C: the run reaches the root.
  const int32_t p = 5, c = 6;
  frame(p, 0, 101);
  frame(c, p, 103);
  EXPECT_EQ(getOuterFrameOfMarkedRun(c), 0);

  // Frames without probe code, or none at all.
  EXPECT_EQ(getOuterFrameOfMarkedRun(800), 800);
  EXPECT_EQ(getOuterFrameOfMarkedRun(0), 0);
  EXPECT_EQ(getOuterFrameOfMarkedRun(-3), 0);
}

TEST(FrameTreeWithoutDatabase, IsABrokenInvariant) {
  EXPECT_EQ(fatalErrorOf([] { getOuterFrameOfMarkedRun(3); }), "error at DB:60: db is NULL");
  EXPECT_EQ(fatalErrorOf([] { getCodePointMethod(int32_t(0x80000001u)); }), "error at DB:60: db is NULL");
}
