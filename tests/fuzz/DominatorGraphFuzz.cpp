// Arbitrary bytes as a dominator input graph file, as a damaged or hostile file could give it: the
// reader must answer 0 or a format code without reserving more than the file can hold, and a graph it
// accepts must hold only values in range. Accepted graphs are computed too; the computation may refuse
// one (no root, an unreachable node), but the dominators it gives are Boost's. An accepted file then
// goes the whole way a host's request takes, file to file, with the low-memory algorithm: it answers the
// code the computation in memory came to and writes the dominators it computed. (A refused file stops at
// the reading, which the driver does first, and the driver's in-memory algorithm is the one computed
// here: the computations' log lines of memory usage would slow the fuzzer several times.)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "agent/heap/DominatorComputerSnca.h"
#include "agent/heap/DominatorDriver.h"
#include "agent/heap/DominatorGraphFiles.h"
#include "agent/platform/Directories.h"
#include "agent/platform/Files.h"
#include "agent/platform/Processes.h"
#include "agent/support/BZPRuntimeException.h"
#include "agent/support/Log.h"
#include "tests/support/BoostObjectDominators.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void discard(const YString&) {}

// The files of one fuzzing process, the input rewritten for every input, all deleted when the process
// exits.
struct Files {
  Files() : input(path("input")), output(path("output")) {}
  ~Files() {
    deleteFile(input);
    deleteFile(output);
  }
  static YString path(const char* what) {
    YString path(getTempDir());
    path.append("tallyscope-dominator-fuzz-");
    path.appendLong(getOwnPid());
    path.append('-');
    path.append(what);
    return path;
  }
  YString input;
  YString output;
};

const Files& files() {
  static const Files made;
  return made;
}

std::string wholeFile(const YString& path) {
  std::ifstream in(path.data, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What the reading and the computation in memory came to: the driver's code and output.
struct Outcome {
  int32_t code = 101;
  std::string output;
  bool accepted = false;  // the reading found every value in range
};

Outcome check(DominatorGraph& graph, int32_t code) {
  require(code == 0 || code == 4 || code == 5 || code == 6);
  Outcome outcome{code, std::string(), code == 0};
  if (code != 0) return outcome;
  for (int32_t j = 0; j < graph.roots.size; j++) require(graph.roots[j] >= 1 && graph.roots[j] < graph.n);
  if (graph.refs == nullptr) {
    require(graph.roots.size == 0);
    outcome.code = 101;
    return outcome;
  }
  std::vector<std::vector<int32_t>> lists(size_t(graph.n));
  for (int32_t k = 1; k < graph.n; k++) {
    for (int32_t j = 0; j < graph.refs->getRefCount(k); j++) {
      const int32_t target = graph.refs->getRef(k, j);
      require(target >= 1 && target < graph.n);
      lists[size_t(k)].push_back(target);
    }
  }
  FlatIntArray idom("i", graph.n);
  try {
    DominatorComputerSnca::compute(graph.n, std::move(graph.refs), graph.roots.data, graph.roots.size, idom);
  } catch (const BZPRuntimeException&) {
    outcome.code = 101;
    return outcome;
  }
  const std::vector<int32_t> roots(graph.roots.data, graph.roots.data + graph.roots.size);
  const std::vector<int32_t> reached(size_t(graph.n) / 32 + 1, -1);
  const std::vector<int32_t> expected = boostObjectDominators(lists, roots, reached);
  for (int32_t k = 1; k < graph.n; k++) {
    require(idom[k] == expected[size_t(k)]);
    const int32_t value = idom[k];
    outcome.output.append(reinterpret_cast<const char*>(&value), sizeof(value));
  }
  return outcome;
}

void checkDriver(const Outcome& expected) {
  const Files& paths = files();
  const int32_t code = computeDominatorsCaught(paths.input, paths.output, YString("low_mem"), YString());
  require(code == expected.code && wholeFile(paths.output) == expected.output);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  setLogSink(&discard);
  const YString& path = files().input;
  const int32_t written = openFileForWrite(path);
  require(written >= 0);
  require(size == 0 || writeFile(written, bytes, int32_t(size)));
  closeFile(written);

  Outcome expected;
  {
    FileDescriptorGuard file(openFileForRead(path));
    require(file.fd >= 0);
    GraphFileReader in(file.fd);
    DominatorGraph graph;
    try {
      expected = check(graph, readDominatorGraph(in, graph));
    } catch (const BZPRuntimeException&) {
      // N below 1
      require(graph.n == 0);
    }
  }
  if (expected.accepted) checkDriver(expected);
  return 0;
}
