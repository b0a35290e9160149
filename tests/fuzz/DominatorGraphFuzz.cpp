// Arbitrary bytes as a dominator input graph file, as a damaged or hostile file could give it: the
// reader must answer 0 or a format code without reserving more than the file can hold, and a graph it
// accepts must hold only values in range. Accepted graphs are computed too; the computation may refuse
// one (no root, an unreachable node), but every dominator it gives lies in 0 to N - 1.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#include "agent/heap/DominatorComputerSnca.h"
#include "agent/heap/DominatorGraphFiles.h"
#include "agent/platform/Directories.h"
#include "agent/platform/Files.h"
#include "agent/platform/Processes.h"
#include "agent/support/BZPRuntimeException.h"
#include "agent/support/Log.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void discard(const YString&) {}

// One file per fuzzing process, rewritten for every input and deleted when the process exits.
struct InputFile {
  InputFile() : path(getTempDir()) {
    path.append("tallyscope-dominator-fuzz-");
    path.appendLong(getOwnPid());
  }
  ~InputFile() { deleteFile(path); }
  YString path;
};

const YString& inputPath() {
  static const InputFile file;
  return file.path;
}

void check(DominatorGraph& graph, int32_t code) {
  require(code == 0 || code == 4 || code == 5 || code == 6);
  if (code != 0) return;
  for (int32_t j = 0; j < graph.roots.size; j++) require(graph.roots[j] >= 1 && graph.roots[j] < graph.n);
  if (graph.refs == nullptr) {
    require(graph.roots.size == 0);
    return;
  }
  for (int32_t k = 1; k < graph.n; k++) {
    for (int32_t j = 0; j < graph.refs->getRefCount(k); j++) {
      const int32_t target = graph.refs->getRef(k, j);
      require(target >= 1 && target < graph.n);
    }
  }
  FlatIntArray idom("i", graph.n);
  try {
    DominatorComputerSnca::compute(graph.n, std::move(graph.refs), graph.roots.data, graph.roots.size, idom);
  } catch (const BZPRuntimeException&) {
    return;
  }
  for (int32_t k = 0; k < graph.n; k++) require(idom[k] >= 0 && idom[k] < graph.n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  setLogSink(&discard);
  const int32_t written = openFileForWrite(inputPath());
  require(written >= 0);
  require(size == 0 || writeFile(written, bytes, int32_t(size)));
  closeFile(written);

  FileDescriptorGuard file(openFileForRead(inputPath()));
  require(file.fd >= 0);
  GraphFileReader in(file.fd);
  DominatorGraph graph;
  try {
    check(graph, readDominatorGraph(in, graph));
  } catch (const BZPRuntimeException&) {
    // N below 1
    require(graph.n == 0);
  }
  return 0;
}
