#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "agent/db/CodePointStorage.h"
#include "agent/db/DB.h"
#include "agent/recording/FrameTree.h"
#include "agent/recording/MethodStore.h"
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

TEST_F(FrameTreeTest, EachPairGetsTheKeyOfItsRangeAndGivesItsMethodBack) {
  struct Case {
    int32_t method, line;
    bool rowForm;
    uint32_t key;  // for the forms without a row
  };
  const Case cases[] = {
      {5, 0, false, 5},
      {5, -3, false, 5},
      {5, 10, false, 0xC0000000u | 10u << 19 | 5u},
      {0x7FFFF, 2047, false, 0xFFFFFFFFu},
      {0x80000, 1, true, 0},
      {5, 2048, true, 0},
      {0, 0, true, 0},  // no key is 0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.method) + "/" + std::to_string(c.line));
    const int32_t rowsBefore = database->codePoints.ids.next;
    const int32_t frame = getOrCreateChildFrame(0, c.method, c.line);
    const int32_t key = database->frames.getRow(frame, false)->codePointKey;
    if (c.rowForm) {
      EXPECT_EQ(uint32_t(key) & 0xC0000000u, 0x80000000u);
      const CodePointRecord& pair = *database->codePoints.getRow(key & 0x7FFFFFFF, false);
      EXPECT_EQ(pair.methodId, c.method);
      EXPECT_EQ(pair.line, c.line);
      EXPECT_EQ(database->codePoints.ids.next, rowsBefore + 1);
    } else {
      EXPECT_EQ(uint32_t(key), c.key);
      EXPECT_EQ(database->codePoints.ids.next, rowsBefore);
    }
    EXPECT_EQ(getCodePointMethod(key), c.method);
    // Asked again: the same frame, and no second pair row.
    EXPECT_EQ(getOrCreateChildFrame(0, c.method, c.line), frame);
    EXPECT_EQ(database->codePoints.ids.next, rowsBefore + (c.rowForm ? 1 : 0));
  }
}

TEST_F(FrameTreeTest, ChildrenAreLinkedInOrderAndEveryChangedLinkIsStamped) {
  // A row never written.
  const FrameRecord& root = *database->frames.getRow(0, true);
  EXPECT_EQ(root.parent, -1);
  EXPECT_EQ(root.firstChild, -1);
  EXPECT_EQ(root.nextSibling, -1);

  database->currentStamp = 2;
  const int32_t a = getOrCreateChildFrameByKey(0, 100);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(root.firstChild, a);
  EXPECT_EQ(root.stamp, 2);

  database->currentStamp = 3;
  const int32_t b = getOrCreateChildFrameByKey(0, 200);
  database->currentStamp = 4;
  const int32_t c = getOrCreateChildFrameByKey(0, 300);
  const auto row = [&](int32_t id) { return *database->frames.getRow(id, false); };
  EXPECT_EQ(root.firstChild, a);
  EXPECT_EQ(row(a).nextSibling, b);
  EXPECT_EQ(row(b).nextSibling, c);
  EXPECT_EQ(row(c).nextSibling, -1);
  // The new frame, its parent and the sibling before it carry the stamp of the change; the first child
  // was left alone by the third one.
  EXPECT_EQ(row(a).stamp, 3);
  EXPECT_EQ(row(b).stamp, 4);
  EXPECT_EQ(row(c).stamp, 4);
  EXPECT_EQ(root.stamp, 4);
  EXPECT_EQ(row(c).parent, 0);
  EXPECT_EQ(row(c).firstChild, -1);

  database->currentStamp = 5;
  EXPECT_EQ(getOrCreateChildFrameByKey(0, 200), b);
  EXPECT_EQ(root.stamp, 4);  // a lookup changes nothing
  const int32_t underA = getOrCreateChildFrameByKey(a, 200);
  EXPECT_NE(underA, b);
  EXPECT_EQ(row(underA).parent, a);
  EXPECT_EQ(row(a).firstChild, underA);
  EXPECT_EQ(row(a).stamp, 5);

  EXPECT_EQ(fatalErrorOf([] { getOrCreateChildFrameByKey(-1, 5); }).rfind("error at FrameTree:", 0), 0u);
}

TEST_F(FrameTreeTest, RandomPathsGiveTheSameFramesAgainAndTheirParentsWalkBack) {
  std::mt19937 random(20261210);
  std::vector<std::vector<int32_t>> paths;
  for (int32_t i = 0; i < 2000; i++) {
    // Few methods and lines, so that paths share prefixes and parents have many children.
    std::vector<int32_t> path(1 + random() % 12);
    for (int32_t& key : path) {
      const int32_t method = 1 + int32_t(random() % 6);
      const int32_t line = random() % 3 == 0 ? 0 : int32_t(random() % 3000);
      key = CodePointStorage::getOrAdd(method, line);
    }
    paths.push_back(path);
  }
  std::vector<int32_t> frames;
  for (const auto& path : paths) {
    int32_t frame = 0;
    for (int32_t key : path) frame = getOrCreateChildFrameByKey(frame, key);
    frames.push_back(frame);
  }
  const int32_t made = database->frames.ids.next;
  for (size_t i = 0; i < paths.size(); i++) {
    int32_t frame = 0;
    for (int32_t key : paths[i]) frame = getOrCreateChildFrameByKey(frame, key);
    ASSERT_EQ(frame, frames[i]) << i;
    std::vector<int32_t> walked;
    for (int32_t at = frame; at >= 1; at = database->frames.getRow(at, false)->parent) {
      walked.insert(walked.begin(), database->frames.getRow(at, false)->codePointKey);
    }
    ASSERT_EQ(walked, paths[i]) << i;
  }
  EXPECT_EQ(database->frames.ids.next, made);
}

TEST_F(FrameTreeTest, RecursionIsAProperAncestorWithTheSameMethod) {
  const int32_t run = getOrCreateMethod("Worker", "run", "()", "void", "Worker.java", false);
  const int32_t step = getOrCreateMethod("Worker", "step", "(int)", "void", "Worker.java", false);
  const int32_t outer = getOrCreateChildFrame(0, run, 0);
  const int32_t inner = getOrCreateChildFrame(outer, step, 12);
  const int32_t again = getOrCreateChildFrame(inner, run, 30);  // the same method on another line
  EXPECT_FALSE(frameHasAncestorWithSameMethod(0));
  EXPECT_FALSE(frameHasAncestorWithSameMethod(outer));
  EXPECT_FALSE(frameHasAncestorWithSameMethod(inner));
  EXPECT_TRUE(frameHasAncestorWithSameMethod(again));
  // A pair-row key decodes to its method too.
  EXPECT_TRUE(frameHasAncestorWithSameMethod(getOrCreateChildFrame(again, step, 0x900)));
}

TEST_F(FrameTreeTest, DumpsNameEveryFrameOfTheStack) {
  const int32_t run = getOrCreateMethod("com.example.Worker", "run", "(int)", "void", "Worker.java", false);
  method(9000, 0);  // a record without texts
  const int32_t outer = getOrCreateChildFrame(0, run, 0);
  const int32_t leaf = getOrCreateChildFrame(outer, 9000, 7);
  EXPECT_STREQ(dumpFrameStack(leaf).data,
               ("stack for frame " + std::to_string(leaf) + ":\n #9000 <no class>.<no name><no params>\n #" +
                std::to_string(run) + " com.example.Worker.run(int)\n\n")
                   .c_str());
  EXPECT_STREQ(dumpFrameStack(0).data, "stack for frame 0:\n\n");
  EXPECT_STREQ(dumpMethod(run).data, ("method #" + std::to_string(run) + ": com.example.Worker.run(int)").c_str());
  EXPECT_STREQ(dumpFrameMethod(outer).data, dumpMethod(run).data);
}

TEST(FrameTreeWithoutDatabase, IsABrokenInvariant) {
  EXPECT_EQ(fatalErrorOf([] { getOuterFrameOfMarkedRun(3); }), "error at DB:60: db is NULL");
  EXPECT_EQ(fatalErrorOf([] { getCodePointMethod(int32_t(0x80000001u)); }), "error at DB:60: db is NULL");
  EXPECT_EQ(fatalErrorOf([] { getOrCreateChildFrame(0, 5, 1); }), "error at DB:60: db is NULL");
  EXPECT_EQ(fatalErrorOf([] { dumpMethod(5); }), "error at DB:60: db is NULL");
}
