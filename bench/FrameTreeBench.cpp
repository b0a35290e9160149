// The frame tree's child lookup, the step every recorded stack takes once per frame:
// getOrCreateChildFrame on a warm tree of 10^6 frames, every lookup a hit. Each of the two benchmarks
// builds the same tree from a fixed seed. Its shape is made breadth first: each frame gets 1 to 16
// children (40% one, most up to four, one in twenty 9 to 16; about three on average) until there are
// 10^6 frames, about 13 levels deep. A child is a method from a pool of 20000 made by getOrCreateMethod
// and a line from 1 to 1500, one in 30 above 2047 so that its pair needs a "code_point" row. The frames
// are then made in a random order, a frame after its parent, as stacks recorded over time make them, so
// that a frame's children lie scattered over the table. One iteration resolves 100000 stacks, each the
// path from the root to a frame picked at random, as a stack is recorded: one lookup per frame, the
// child found being the parent of the next. items_per_second is lookups per second.
// The reference is the same lookups (the code-point key made the same way) against a
// std::unordered_map from (parent, code-point key) to child holding the same 10^6 children; the ratio
// of the two is printed by scripts/bench.sh.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "agent/db/CodePointStorage.h"
#include "agent/db/DB.h"
#include "agent/recording/FrameTree.h"
#include "agent/recording/MethodStore.h"
#include "agent/support/NamedLocks.h"

namespace {

constexpr int32_t treeFrames = 1000000;
constexpr int32_t methodPool = 20000;
constexpr int32_t stackCount = 100000;
constexpr int32_t passes = 5;

struct Step {
  int32_t method;
  int32_t line;
};

// The stacks to resolve: their steps one after the other, root side first, and the frame each ends at.
struct Stacks {
  std::vector<Step> steps;
  std::vector<int32_t> ends;    // one past the last step of each stack
  std::vector<int32_t> leaves;  // the frame each stack resolves to
};

int32_t fanOut(std::mt19937& random) {
  const uint32_t draw = random() % 100;
  if (draw < 40) return 1;
  if (draw < 60) return 2;
  if (draw < 75) return 3;
  if (draw < 85) return 4;
  if (draw < 95) return 5 + int32_t(random() % 4);
  return 9 + int32_t(random() % 8);
}

int32_t lineOf(std::mt19937& random) {
  return random() % 30 == 0 ? 2048 + int32_t(random() % 4000) : 1 + int32_t(random() % 1500);
}

// Fills the database's frame tree with the 10^6 frames and returns the stacks to look up in it. Runs
// under "ourLock".
Stacks buildTree() {
  std::mt19937 random(20261210);
  std::vector<int32_t> methods;
  methods.reserve(methodPool);
  for (int32_t i = 0; i < methodPool; i++) {
    const std::string owner = "com.example.module" + std::to_string(i % 97) + ".Service" + std::to_string(i / 8);
    const std::string name = "handle" + std::to_string(i % 8);
    const std::string source = "Service" + std::to_string(i / 8) + ".java";
    methods.push_back(
        getOrCreateMethod(owner.c_str(), name.c_str(), "(java.lang.String, int)", "void", source.c_str(), false));
  }

  // The tree's shape first: each node's parent and step, the root first, siblings with distinct keys.
  std::vector<int32_t> parentOf{-1};
  std::vector<Step> stepOf{Step{0, 0}};
  parentOf.reserve(size_t(treeFrames) + 1);
  stepOf.reserve(size_t(treeFrames) + 1);
  for (int32_t next = 0; int32_t(parentOf.size()) <= treeFrames; next++) {
    const size_t firstSibling = parentOf.size();
    for (int32_t k = fanOut(random); k > 0 && int32_t(parentOf.size()) <= treeFrames; k--) {
      const Step step{methods[random() % methodPool], lineOf(random)};
      bool repeated = false;
      for (size_t sibling = firstSibling; sibling < stepOf.size(); sibling++) {
        repeated = repeated || (stepOf[sibling].method == step.method && stepOf[sibling].line == step.line);
      }
      if (repeated) continue;
      parentOf.push_back(next);
      stepOf.push_back(step);
    }
  }

  // Then its frames, in a random order (a frame after its parent), as stacks arriving over time make
  // them: siblings end up scattered over the table.
  std::vector<int32_t> order(static_cast<size_t>(treeFrames));
  for (int32_t i = 0; i < treeFrames; i++) order[size_t(i)] = i + 1;
  std::shuffle(order.begin(), order.end(), random);
  std::vector<int32_t> frameOf(size_t(treeFrames) + 1, -1);
  frameOf[0] = 0;
  std::vector<int32_t> missing;
  for (const int32_t node : order) {
    missing.clear();
    for (int32_t at = node; frameOf[size_t(at)] < 0; at = parentOf[size_t(at)]) missing.push_back(at);
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      const Step& step = stepOf[size_t(*it)];
      frameOf[size_t(*it)] = getOrCreateChildFrame(frameOf[size_t(parentOf[size_t(*it)])], step.method, step.line);
    }
  }

  Stacks stacks;
  std::vector<Step> path;
  for (int32_t i = 0; i < stackCount; i++) {
    const int32_t leaf = 1 + int32_t(random() % treeFrames);
    path.clear();
    for (int32_t node = leaf; node != 0; node = parentOf[size_t(node)]) path.push_back(stepOf[size_t(node)]);
    stacks.steps.insert(stacks.steps.end(), path.rbegin(), path.rend());
    stacks.ends.push_back(int32_t(stacks.steps.size()));
    stacks.leaves.push_back(frameOf[size_t(leaf)]);
  }
  return stacks;
}

// Resolves every stack with `lookup` (parent, method, line -> child); false when one ends elsewhere.
template <typename Lookup>
bool resolveAll(const Stacks& stacks, Lookup lookup) {
  int32_t begin = 0;
  for (size_t s = 0; s < stacks.ends.size(); s++) {
    int32_t frame = 0;
    for (int32_t i = begin; i < stacks.ends[s]; i++) frame = lookup(frame, stacks.steps[size_t(i)]);
    if (frame != stacks.leaves[s]) return false;
    begin = stacks.ends[s];
  }
  return true;
}

void reportLookups(benchmark::State& state, const Stacks& stacks) {
  state.SetItemsProcessed(state.iterations() * int64_t(stacks.steps.size()));
  state.counters["frames"] = treeFrames;
  state.counters["lookups_per_pass"] = double(stacks.steps.size());
}

void BM_FrameTreeChildLookup(benchmark::State& state) {
  createDatabase(3600);
  {
    YCriticalSectionLock held(&ourLock(), "Bench:1");
    const Stacks stacks = buildTree();
    for (auto _ : state) {
      const bool found = resolveAll(stacks, [](int32_t parent, const Step& step) {
        return getOrCreateChildFrame(parent, step.method, step.line);
      });
      if (!found) state.SkipWithError("a lookup did not find its frame");
    }
    reportLookups(state, stacks);
  }
  destroyDatabaseForTest();
}
BENCHMARK(BM_FrameTreeChildLookup)->Unit(benchmark::kMillisecond)->Iterations(passes);

void BM_FrameTreeUnorderedMapLookup(benchmark::State& state) {
  createDatabase(3600);
  {
    YCriticalSectionLock held(&ourLock(), "Bench:2");
    const Stacks stacks = buildTree();
    std::unordered_map<uint64_t, int32_t> children;
    children.reserve(size_t(treeFrames));
    for (int32_t id = 1; id < db->frames.ids.peek(); id++) {
      const FrameRecord& row = *db->frames.getRow(id, false);
      children.emplace(uint64_t(uint32_t(row.parent)) << 32 | uint32_t(row.codePointKey), id);
    }
    for (auto _ : state) {
      const bool found = resolveAll(stacks, [&children](int32_t parent, const Step& step) {
        const int32_t key = CodePointStorage::getOrAdd(step.method, step.line);
        const auto it = children.find(uint64_t(uint32_t(parent)) << 32 | uint32_t(key));
        return it == children.end() ? -1 : it->second;
      });
      if (!found) state.SkipWithError("a lookup did not find its frame");
    }
    reportLookups(state, stacks);
  }
  destroyDatabaseForTest();
}
BENCHMARK(BM_FrameTreeUnorderedMapLookup)->Unit(benchmark::kMillisecond)->Iterations(passes);

}  // namespace
