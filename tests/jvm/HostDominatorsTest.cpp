#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "tests/jvm/HostRun.h"
#include "tests/support/SnapshotReader.h"
#include "tests/tools/HeapGraph.h"

#include "tests/unit/heap/DominatorFixtures.h"

#if __has_include(<boost/graph/dominator_tree.hpp>)
#define TALLYSCOPE_HOST_BOOST 1
#include "tests/support/BoostObjectDominators.h"
#endif

// The host's dominator requests end to end: tests/jvm/host/DominatorRequests.java fills an object
// storage from a graph this test hands it, asks for the dominators through computeDominatorsImpl and
// Natives.dc, and writes back every object's getDominatorImpl, which must be Boost's dominators of the
// same graph. The graphs are random ones and the heap of a memory snapshot the agent takes.

namespace {

// lists[i]: the slots of object i (0 for an empty slot), objects 1 to lists.size() - 1.
struct ObjectGraph {
  std::vector<std::vector<int32_t>> lists;
  std::vector<int32_t> roots;

  int32_t objects() const { return int32_t(lists.size()) - 1; }
};

std::string graphFile(const ObjectGraph& graph) {
  std::vector<int32_t> values{graph.objects()};
  for (int32_t i = 1; i <= graph.objects(); i++) {
    values.push_back(int32_t(graph.lists[i].size()));
    values.insert(values.end(), graph.lists[i].begin(), graph.lists[i].end());
  }
  values.push_back(int32_t(graph.roots.size()));
  values.insert(values.end(), graph.roots.begin(), graph.roots.end());
  return littleEndianBytes(values);
}

// The object bitset of what the roots reach.
std::vector<int32_t> reachedBits(const ObjectGraph& graph, const std::vector<int32_t>& roots) {
  std::vector<int32_t> bits(graph.objects() / 32 + 1, 0);
  auto mark = [&](int32_t i) {
    if ((uint32_t(bits[i >> 5]) >> (i & 31) & 1) != 0) return false;
    bits[i >> 5] |= int32_t(1u << (i & 31));
    return true;
  };
  std::deque<int32_t> queue;
  for (const int32_t r : roots) {
    if (mark(r)) queue.push_back(r);
  }
  while (!queue.empty()) {
    const int32_t u = queue.front();
    queue.pop_front();
    for (const int32_t t : graph.lists[u]) {
      if (t != 0 && mark(t)) queue.push_back(t);
    }
  }
  return bits;
}

// Boost's immediate dominators as getDominatorImpl gives them: 0 for the roots, for what no single object
// dominates and for what the roots do not reach.
std::vector<int32_t> boostDominators(const ObjectGraph& graph, const std::vector<int32_t>& roots) {
#ifdef TALLYSCOPE_HOST_BOOST
  std::vector<int32_t> idom = boostObjectDominators(graph.lists, roots, reachedBits(graph, roots));
  for (int32_t& d : idom) d = std::max(d, 0);
  idom[0] = 0;
  return idom;
#else
  return std::vector<int32_t>(graph.lists.size(), 0);
#endif
}

// Deep trees with cross links, duplicates, empty slots, self-references, references into roots, lists
// long enough for the hash set, and objects that no root reaches.
ObjectGraph randomGraph(int32_t objects, std::mt19937& random) {
  auto below = [&](int32_t bound) { return int32_t(random() % uint32_t(bound)); };
  ObjectGraph graph;
  graph.lists.resize(objects + 1);
  for (int32_t k = below(4) + 2; k > 0; k--) graph.roots.push_back(1 + below(objects / 10));
  // Most objects hang below one of the few before them.
  for (int32_t u = 2; u <= objects; u++) {
    if (below(30) != 0) graph.lists[u - 1 - below(std::min(u - 1, 8))].push_back(u);
  }
  for (int32_t u = 1; u <= objects; u++) {
    std::vector<int32_t>& list = graph.lists[u];
    for (int32_t count = below(3); count > 0; count--) {
      const int32_t kind = below(20);
      list.push_back(kind == 0   ? 0
                     : kind == 1 ? u
                     : kind == 2 ? graph.roots[below(int32_t(graph.roots.size()))]
                     : kind < 15 ? std::min(objects, u + 1 + below(6))
                                 : 1 + below(objects));
    }
    if (below(500) == 0) list.insert(list.end(), 200, 1 + below(objects));
  }
  return graph;
}

class HostDominatorsTest : public HostProgramTest {
 protected:
  fs::path files() const { return fs::path(work.path()) / "files"; }

  std::vector<std::string> request(const std::string& scenario, const std::vector<std::string>& extra = {}) {
    fs::create_directories(files());
    std::vector<std::string> command{"DominatorRequests", TALLYSCOPE_LIBRARY, files().string(), scenario};
    command.insert(command.end(), extra.begin(), extra.end());
    return runHostProgram(command);
  }

  std::vector<int32_t> written(const std::string& name) const { return littleEndianValues(readWhole(files() / name)); }

  // The requests of DominatorRequests' "compute" scenario on `graph`, each checked against Boost.
  void checkRequests(const ObjectGraph& graph) {
#ifndef TALLYSCOPE_HOST_BOOST
    FAIL() << "this comparison needs Boost's graph headers (Debian libboost-graph-dev)";
#endif
    const fs::path input = fs::path(work.path()) / "graph.bin";
    writeWhole(input, graphFile(graph));
    const std::vector<std::string> lines = request("compute", {input.string()});

    const std::vector<int32_t> reached = reachedBits(graph, graph.roots);
    const std::vector<int32_t> fewerRoots{graph.roots[0]};
    const std::vector<int32_t> fewerReached = reachedBits(graph, fewerRoots);
    auto count = [](const std::vector<int32_t>& bits) {
      int32_t n = 0;
      for (const int32_t word : bits) n += __builtin_popcount(uint32_t(word));
      return std::to_string(n);
    };
    const std::string all = count(reached);
    const std::vector<std::string> expected{
        "first: reached=" + all + " runs=1 input=true", "again: reached=" + all + " runs=0 input=false",
        "reopened: reached=" + all + " runs=0 input=false", "overwritten: reached=" + all + " runs=1 input=true",
        "fewer: reached=" + count(fewerReached) + " runs=1 input=true"};
    ASSERT_EQ(lines, expected);

    const std::vector<int32_t> dominators = boostDominators(graph, graph.roots);
    int32_t deep = 0;
    for (const int32_t d : dominators) deep += d != 0 ? 1 : 0;
    EXPECT_GT(deep, graph.objects() / 10) << "most objects hang off the virtual root: a weak comparison";
    for (const std::string name : {"first", "again", "reopened", "overwritten"}) {
      EXPECT_EQ(written(name + ".reached"), reached) << name;
      EXPECT_EQ(written(name + ".idom"), dominators) << name;
    }
    EXPECT_EQ(written("fewer.reached"), fewerReached);
    EXPECT_EQ(written("fewer.idom"), boostDominators(graph, fewerRoots));

    const std::string result = (files() / "snapshot.idom").string();
    EXPECT_TRUE(
        containsInOrder(logs(), {"dc: 0",
                                 "dc: input creation: starting...",
                                 "NewDominatorSupport::createInput: done",
                                 "dc: runnable...",
                                 "Natives_dc: return code 0",
                                 "dc: reading...",
                                 "NewDominatorSupport::read: done",
                                 "dc: reading done",
                                 "dc: end",
                                 "dc: reading existing file: " + result + " size=",
                                 "dc: reading done",
                                 "dc: end",
                                 "dc: reading existing file: " + result,
                                 "dc: reading done",
                                 "NewDominatorSupport::readKeptResult: " + result + ": changed since it was made",
                                 "dc: existing file cannot be read - let's create .idom anew",
                                 "dc: runnable...",
                                 "dc: end",
                                 "NewDominatorSupport::readKeptResult: " + result + ": made ",
                                 "dc: runnable...",
                                 "dc: end"}));
  }
};

TEST_F(HostDominatorsTest, RequestsOverAStorageFilledFromJavaGiveBoostsDominatorsAndReuseOnlyWhatFits) {
  std::mt19937 random(31);
  checkRequests(randomGraph(60000, random));
}

TEST_F(HostDominatorsTest, FailuresReachTheCallerAsJavaExceptions) {
  const std::string assertion = "java.lang.RuntimeException: assertion failed in native code; see agent log for detail";
  const std::vector<std::string> expected{
      "failing run threw java.lang.IllegalStateException: no computation here",
      "no run method threw java.lang.RuntimeException: dc: run() not found",
      "null runnable threw " + assertion,
      "null roots threw " + assertion,
      "null selection threw " + assertion,
      "uncreatable input threw java.lang.RuntimeException: dc: input file creation failed",
      "short result threw java.lang.RuntimeException: dc: read error",
      "root outside the storage threw " + assertion,
      "dominators: 0 0",
      "computed: done",
      "dominators: 1 2",
      "f null marks threw " + assertion,
      "f root 0 threw " + assertion,
      "f root past the storage threw " + assertion,
      "f0o slice past the objects threw " + assertion,
      "fStrong odd exclusions threw " + assertion,
      "marks after refusals: 0",
      "f: done",
      "marks: 1110",
      "fStrong: done",
      "strong: 100",
      "f0m: done",
      "retained: 11111111111111111111111111111101",
      "f0o: done",
      "retained by objects: 11111111111111111111111111111101"};
  EXPECT_EQ(request("errors"), expected);
  EXPECT_TRUE(containsInOrder(logs(), {"dc: runnable: failed: java.lang.IllegalStateException: no computation here",
                                       "assertion failed: value is NULL", "dc: read error", "op=p_vector::[] 4 4",
                                       "assertion failed: object index 0 outside 1..3"}));
}

// The computation's peer process (tests/jvm/host/DominatorPeer.java) killed before it wrote anything and
// once half its result was written, with the runnable returning as if all went well: neither what is left
// of the earlier result nor the half is taken for the new one, the dominators read before stay, and the
// next computation gives the new ones.
TEST_F(HostDominatorsTest, APeerKilledDuringTheComputationFailsItsRequestAloneAndLosesNothing) {
  fs::create_directories(files());
  const std::vector<std::string> expected{"computed: done",
                                          "dominators: 0 1 1 1 4",
                                          "peer killed before writing threw java.lang.RuntimeException: dc: read error",
                                          "dominators: 0 1 1 1 4",
                                          "peer killed half-way threw java.lang.RuntimeException: dc: read error",
                                          "dominators: 0 1 1 1 4",
                                          "computed again: done",
                                          "dominators: 0 1 1 0 4"};
  EXPECT_EQ(runHostProgram({"DominatorPeer", TALLYSCOPE_LIBRARY, files().string()}), expected);
  EXPECT_TRUE(containsInOrder(logs(), {"NewDominatorSupport::read: error: file could not be opened", "dc: read error",
                                       "NewDominatorSupport::read: I/O error", "dc: read error", "dc: end"}));
}

// The heap of tests/jvm/programs/KnownHeap.java as a memory snapshot taken by the agent holds it, read
// into the snapshot tools' heap graph: every class, instance and array is an object; its references are
// its class, its object fields and elements, and for a class its super class, loader and static object
// fields. Ids the snapshot does not hold become empty slots.
TEST_F(HostDominatorsTest, TheHeapOfAMemorySnapshotGetsBoostsDominators) {
  const fs::path snapshotPath = fs::path(work.path()) / "memory.snapshot";
  const fs::path agentDirectory = fs::path(work.path()) / "agent";
  fs::create_directories(agentDirectory / "tmp");
  fs::create_directories(agentDirectory / "log");
  const ProgramRun run =
      runProgram({TALLYSCOPE_JAVA,
                  "-agentpath:" + std::string(TALLYSCOPE_LIBRARY) + "=tmpdir=" + (agentDirectory / "tmp").string() +
                      ",logdir=" + (agentDirectory / "log").string(),
                  "-cp", TALLYSCOPE_JVM_PROGRAMS, "KnownHeap", "snapshots", snapshotPath.string(),
                  (fs::path(work.path()) / "performance.snapshot").string(), TALLYSCOPE_ALLOCATION_HELPER},
                 (fs::path(work.path()) / "agent-run.txt").string());
  ASSERT_EQ(0, run.exitCode) << run.output;
  const snapshotfile::Snapshot snapshot = snapshotfile::readSnapshotFile(snapshotPath.string());
  const heapgraph::HeapGraph heap(snapshot);
  ObjectGraph graph;
  graph.lists.resize(heap.objects.size());
  for (int32_t object = 1; object <= heap.count(); object++) graph.lists[size_t(object)] = heap.objects[size_t(object)].refs;
  graph.roots = heap.roots;
  ASSERT_GT(graph.objects(), 1000);
  ASSERT_FALSE(graph.roots.empty());
  checkRequests(graph);
}

}  // namespace
