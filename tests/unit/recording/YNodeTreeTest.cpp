#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "agent/db/CodePointKey.h"
#include "agent/db/DB.h"
#include "agent/recording/CountingSupport.h"
#include "agent/recording/FrameTree.h"
#include "agent/recording/MethodStore.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/YNodeTree.h"
#include "tests/support/TestDatabase.h"

// The parts of a thread's node tree that need no JVM: its rows, keys, pseudo stacks and counters, and
// the mapping of its nodes onto the frame tree.

namespace {

using YNodeTreeTest = DatabaseTest;

std::string textOf(int32_t stringId) {
  const StringRecord* row = db->strings.findRow(stringId);
  return row == nullptr || row->body == nullptr ? std::string("<none>") : std::string(row->body);
}

}  // namespace

TEST_F(YNodeTreeTest, FreshRowsLeaveRoomForTheFirstSiblingsAndTheScanTakesTheRest) {
  YNodeTree tree;
  EXPECT_EQ(tree.capacity, 16384);
  EXPECT_EQ(tree.nextFreshRow, 1);
  const int32_t a = tree.getChildByKey(0, 11);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(tree.nextFreshRow, 4);
  const int32_t b = tree.getChildByKey(a, 12);
  const int32_t c = tree.getChildByKey(b, 13);
  ASSERT_EQ(b, 4);
  ASSERT_EQ(c, 7);
  // Under b, whose first child is row 7: the second child takes row 9, the last free one of the two
  // after it, and the third a fresh row.
  EXPECT_EQ(tree.getChildByKey(b, 14), 9);
  EXPECT_EQ(tree.getChildByKey(b, 15), 10);
  EXPECT_EQ(tree.nodes[7].nextSibling, 9);
  EXPECT_EQ(tree.nodes[9].nextSibling, 10);
  EXPECT_EQ(tree.nodes[10].parent, b);
  EXPECT_EQ(tree.getChildByKey(b, 14), 9);  // found again

  // With the fresh rows used up, the scan hands out the rows left free, row 8 among them.
  tree.nextFreshRow = tree.capacity;
  std::vector<int32_t> scanned;
  for (int32_t i = 0; i < 5; i++) {
    scanned.push_back(tree.allocNode());
    tree.nodes[scanned.back()].key = 99;
  }
  EXPECT_EQ(scanned, (std::vector<int32_t>{2, 3, 5, 6, 8}));
}

TEST_F(YNodeTreeTest, GrowingKeepsEveryNode) {
  YNodeTree tree;
  // Chains of ten nodes until the rows run out twice over.
  std::vector<std::vector<int32_t>> chains;
  int32_t key = 1;
  while (tree.capacity < 24576 + 8192) {
    std::vector<int32_t> chain;
    int32_t node = 0;
    for (int32_t depth = 0; depth < 10; depth++) chain.push_back(node = tree.getChildByKey(node, key++));
    chains.push_back(chain);
  }
  EXPECT_EQ(tree.capacity, 32768);
  key = 1;
  for (const auto& chain : chains) {
    int32_t parent = 0;
    for (int32_t node : chain) {
      ASSERT_EQ(tree.nodes[node].parent, parent);
      ASSERT_EQ(tree.nodes[node].key, key);
      ASSERT_EQ(tree.getChildByKey(parent, key), node);
      parent = node;
      key++;
    }
  }
  // Every node has a row of its own.
  std::vector<bool> used(size_t(tree.capacity), false);
  for (const auto& chain : chains) {
    for (int32_t node : chain) {
      ASSERT_FALSE(used[size_t(node)]) << node;
      used[size_t(node)] = true;
    }
  }
}

TEST_F(YNodeTreeTest, KeysWithoutACompactFormAreLookedUpOnce) {
  YNodeTree tree;
  EXPECT_EQ(tree.getCodePointKey(5, 0), 5);
  EXPECT_EQ(tree.getCodePointKey(5, 10), codePointKeyWithoutRow(5, 10));
  const int32_t rows = database->codePoints.ids.next;
  const int32_t pair = tree.getCodePointKey(5, 2048);
  EXPECT_TRUE(isRowCodePointKey(pair));
  EXPECT_EQ(database->codePoints.ids.next, rows + 1);
  EXPECT_EQ(tree.getCodePointKey(5, 2048), pair);
  EXPECT_TRUE(isRowCodePointKey(tree.getCodePointKey(0, 0)));
  EXPECT_EQ(getCodePointMethod(tree.getCodePointKey(0x80000, 3)), 0x80000);
  EXPECT_EQ(database->codePoints.ids.next, rows + 3);

  // A line node only for a node and a line.
  const int32_t node = tree.getChild(0, 7, 0);
  EXPECT_EQ(tree.appendLineNode(0, 12), 0);
  EXPECT_EQ(tree.appendLineNode(node, 0), node);
  const int32_t line = tree.appendLineNode(node, 12);
  EXPECT_EQ(tree.nodes[line].parent, node);
  EXPECT_EQ(tree.nodes[line].key, codePointKeyWithoutRow(lineMethodId, 12));
}

TEST_F(YNodeTreeTest, PseudoStacksAreRootChildrenMadeOnce) {
  YNodeTree tree;
  const int32_t startup = tree.getStartupAllocationsNode();
  const int32_t noTrace = tree.getNoStackTraceNode();
  EXPECT_NE(startup, noTrace);
  EXPECT_EQ(tree.getStartupAllocationsNode(), startup);
  EXPECT_EQ(tree.getNoStackTraceNode(), noTrace);
  for (const auto& [node, name] : {std::pair{startup, "<Objects allocated during JVM startup>"},
                                   std::pair{noTrace, "<Stack trace could not be retrieved>"}}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(tree.nodes[node].parent, 0);
    const MethodRecord& method = *database->methods.getRow(tree.nodes[node].key, false);
    EXPECT_EQ(textOf(method.nameId), name);
    EXPECT_EQ(textOf(method.classNameId), "");
    EXPECT_EQ(textOf(method.parametersId), "()");
    EXPECT_EQ(textOf(method.returnTypeId), "void");
  }
  // Another thread's tree finds the same methods.
  YNodeTree other;
  EXPECT_EQ(other.nodes[other.getNoStackTraceNode()].key, tree.nodes[noTrace].key);
}

TEST_F(YNodeTreeTest, AnAllocationPointHasOneCounterAndOneRow) {
  YNodeTree tree;
  const int32_t key = codePointKeyWithoutRow(12, 30);
  const int32_t rows = database->allocPoints.ids.next;
  uint64_t* counter = tree.getAllocPointCounter(key, 77);
  EXPECT_EQ(database->allocPoints.ids.next, rows + 1);
  EXPECT_EQ(tree.getAllocPointCounter(key, 77), counter);
  YNodeTree other;
  EXPECT_EQ(other.getAllocPointCounter(key, 77), counter);
  EXPECT_NE(tree.getAllocPointCounter(key, 78), counter);
  EXPECT_EQ(database->allocPoints.ids.next, rows + 2);
  const AllocPointRecord& point = *database->allocPoints.getRow(rows, false);
  EXPECT_EQ(point.codePointKey, key);
  EXPECT_EQ(point.classId, 77);
  EXPECT_EQ(counter, getCountingSlot(rows, allocPointCounters()));
}

TEST_F(YNodeTreeTest, NodesMapOntoTheFramesOfTheSamePaths) {
  const std::unique_ptr<ThreadInfo> thread =
      std::make_unique<ThreadInfo>(YString("worker"), YString(), 0, 0, nullptr, false);
  EXPECT_EQ(thread->getFrameId(0), 0);
  EXPECT_EQ(thread->nodeFrames, nullptr);
  YNodeTree& tree = *getThreadNodeTree(thread.get());
  std::mt19937 random(7);
  for (int32_t i = 0; i < 500; i++) {
    std::vector<int32_t> keys(1 + random() % 8);
    for (int32_t& key : keys) key = tree.getCodePointKey(1 + int32_t(random() % 5), int32_t(random() % 2500));
    int32_t node = 0;
    int32_t frame = 0;
    for (int32_t key : keys) {
      node = tree.getChildByKey(node, key);
      frame = getOrCreateChildFrameByKey(frame, key);
    }
    ASSERT_EQ(thread->getFrameId(node), frame) << i;
  }
  // Remembered: asking again makes no frame.
  const int32_t frames = database->frames.ids.next;
  EXPECT_EQ(thread->getFrameId(tree.getChildByKey(0, tree.nodes[1].key)), thread->getFrameId(1));
  EXPECT_EQ(database->frames.ids.next, frames);
}
