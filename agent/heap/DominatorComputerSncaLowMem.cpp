#include "agent/heap/DominatorComputerSncaLowMem.h"

#include <memory>

#include "agent/db/AbstractWriter.h"
#include "agent/db/SnapshotWriter.h"
#include "agent/heap/BigIntArrayPaged.h"
#include "agent/heap/DominatorSncaSteps.h"
#include "agent/heap/ObjectRefStorage.h"
#include "agent/platform/TempFiles.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"
#include "agent/support/YAllocator.h"
#include "agent/support/YSet.h"

namespace {

constexpr const char* source = "DominatorComputerSnca_LowMem";

int32_t refuse(const char* text, int32_t value, int32_t code) {
  YString line(text);
  line.appendLong(value);
  logMessage(line);
  return code;
}

[[noreturn]] void fail(const char* text, const YString& subject, int32_t line) {
  fatalError((YString(text) + subject).data, source, line);
}

// A block of zeroed int32 values, for the working sets that need no name in the log.
using Block = std::unique_ptr<uint32_t[], void (*)(void*)>;

Block zeroedBlock(int64_t count) { return Block(allocZeroed<uint32_t>(count), freeBlock); }

// One temporary file: written front to back, then read back any number of times through the same
// descriptor. The file is made new and private, so nothing planted at its path is opened; the count and
// digest of what was written tell whether a reading got the same values back.
class TempFile {
 public:
  explicit TempFile(const YString& path) : path(path), fd(-1) {
    bool exists = false;
    fd.fd = createPrivateFile(path, exists);
    if (fd.fd < 0) fail("Failed to open file for writing: ", path, __LINE__);
    logMessage(YString("File opened for writing: ") + path);
    writer = std::make_unique<SnapshotWriter>(fd.fd, true, byteOrderLittleEndian);
  }

  void write(int32_t value) {
    writer->writeInt(value);
    written.add(value);
    writtenCount++;
  }

  void finishWriting() {
    YString errorText;
    writer->finish(errorText);
    writer.reset();
    if (errorText.length > 0) fail("write error: ", errorText, __LINE__);
  }

  void startReading() {
    reader.reset();
    reader = std::make_unique<GraphFileReader>(fd.fd);
    if (reader->valuesLeft() != writtenCount) changed(__LINE__);
    readCount = 0;
  }

  // The next value, which must lie in [low, high): whatever the file holds, it is a safe index.
  int32_t read(int32_t low, int64_t high) {
    const int32_t value = reader->readInt();
    readCount++;
    if (value < low || value >= high) changed(__LINE__);
    return value;
  }

  int64_t valuesLeft() const { return reader->valuesLeft(); }

  // Every value was read back, and read back as written.
  void finishReading() {
    if (readCount != writtenCount || reader->digest() != written) changed(__LINE__);
    reader.reset();
  }

 private:
  [[noreturn]] void changed(int32_t line) const { fail("temporary file changed: ", path, line); }

  YString path;
  FileDescriptorGuard fd;  // goes after the writer and the reader that use it
  std::unique_ptr<SnapshotWriter> writer;
  std::unique_ptr<GraphFileReader> reader;
  ValueDigest written;
  int64_t writtenCount = 0;
  int64_t readCount = 0;
};

class LowMemComputation {
 public:
  LowMemComputation(int32_t inputFd, DominatorGraph& graph, FlatIntArray& idom, const YString& tempDirectory)
      : inputFd(inputFd), graph(graph), i(idom), N(graph.n), roots(graph.roots.size), paths(tempDirectory) {
    logStep("_dcc: enter: N=", N);
    for (int32_t k = 0; k < graph.roots.size; k++) roots.add(graph.roots[k]);
  }

  int32_t run();

 private:
  int32_t numberDepthFirst();
  int32_t buildReverseTable();
  int32_t countPredecessors(int32_t* counts);
  int32_t fillReverseTable(int32_t* counts, ObjectRefStorage& brt);
  void readParents(FlatIntArray& parents);
  void computeSemidominators(FlatIntArray& ancestor, FlatIntArray& label);
  void backToNodes(FlatIntArray& dominator);
  [[noreturn]] static void inputChanged(int32_t line) { fatalError("input changed while it was read", source, line); }

  int32_t inputFd;
  DominatorGraph& graph;
  FlatIntArray& i;
  int32_t N;
  // Below 1 entry, making the set is a broken invariant.
  YSet<int> roots;
  // Made before the files and, when the computation goes whichever way, deleted after they are closed.
  DominatorTempFiles paths;
  std::unique_ptr<TempFile> parentFile;
  std::unique_ptr<TempFile> node2ordinalFile;
  std::unique_ptr<TempFile> brtFile;
};

// Numbers the nodes in depth-first order from the roots into i (node to ordinal), writing each ordinal's
// parent to "_parent.tmp" as it is handed out. The stacks grow only as deep as the search goes. Returns
// the number of numbered nodes, node 0 included.
int32_t LowMemComputation::numberDepthFirst() {
  ObjectRefStorage& refs = *graph.refs;
  logStep("_dcc: dfsd: 1 begin");
  Block visited = zeroedBlock(N / 32 + 1);
  logStep("_dcc: dfsd: 2 begin");
  int32_t next = 1;
  {
    BigIntArrayPaged nodes(0);
    BigIntArrayPaged edges(0);
    parentFile = std::make_unique<TempFile>(paths.parent);
    logStep("_dcc: dfsd: 3 begin");
    i[0] = 0;
    parentFile->write(0);
    visited[0] |= 1u;
    int32_t depth = 0;
    for (int32_t slot = 0; slot < roots.capacity; slot++) {
      if (roots.states[slot] != kSlotUsed) continue;
      const int32_t root = roots.keys[slot];
      if (i[root] != 0) continue;
      if (depth != 0) assertionFailed("assertion failed", source, __LINE__);
      // The top level's node and edge index live in v and e; a level's edge index goes to the stack when
      // it pushes a child, and comes back when the child is popped. A node is numbered as it is first on
      // top, right after its push, so its parent is the node it was pushed from.
      nodes.set(0, root);
      depth = 1;
      int32_t v = root;
      int32_t e = 0;
      int32_t from = 0;
      for (;;) {
        uint32_t& word = visited[v >> 5];
        const uint32_t bit = 1u << (v & 31);
        if ((word & bit) == 0) {
          i[v] = next++;
          word |= bit;
          parentFile->write(depth > 1 ? i[from] : 0);
        }
        if (e < refs.getRefCount(v)) {
          const int32_t t = refs.getRef(v, e++);
          if (t != 0 && i[t] == 0) {
            edges.set(depth - 1, e);
            nodes.set(depth, t);
            depth++;
            from = v;
            v = t;
            e = 0;
          }
        } else {
          if (--depth == 0) break;
          v = nodes.get(depth - 1);
          e = edges.get(depth - 1);
        }
      }
    }
    logStep("_dcc: dfsd: 3 end");
    parentFile->finishWriting();
  }
  logStep("_dcc: dfsd: 2 end");
  visited.reset();
  logStep("_dcc: dfsd: 1 end");
  return next;
}

// The in-degree of every node, negated, from a second reading of the input's lists, which must be the
// first reading's.
int32_t LowMemComputation::countPredecessors(int32_t* counts) {
  GraphFileReader in(inputFd);
  if (in.readInt() != N) assertionFailed("assertion failed", source, __LINE__);
  for (int32_t u = 1; u < N; u++) {
    const int32_t count = in.readInt();
    if (count < 0) return refuse("bad refCount: ", count, 4);
    for (int32_t j = 0; j < count; j++) {
      const int32_t t = in.readInt();
      if (t < 1 || t >= N) return refuse("bad target: ", t, 5);
      counts[t]--;
    }
  }
  if (in.digest() != graph.listsDigest) inputChanged(__LINE__);
  return 0;
}

// The predecessor lists by ordinal from a third reading of the input. A target met more often than the
// counting found is a changed file, found before its slot is written.
int32_t LowMemComputation::fillReverseTable(int32_t* counts, ObjectRefStorage& brt) {
  GraphFileReader in(inputFd);
  if (in.readInt() != N) assertionFailed("assertion failed", source, __LINE__);
  node2ordinalFile->startReading();
  node2ordinalFile->read(0, 1);
  for (int32_t u = 1; u < N; u++) {
    const int32_t from = node2ordinalFile->read(1, N);
    const int32_t count = in.readInt();
    if (count < 0) return refuse("bad refCount: ", count, 4);
    for (int32_t j = 0; j < count; j++) {
      const int32_t t = in.readInt();
      if (t < 1 || t >= N) return refuse("bad target: ", t, 5);
      int32_t& slots = counts[t];
      if (slots < 0) {
        slots = -slots;
        brt.allocate(i[t], slots);
      } else if (slots == 0) {
        inputChanged(__LINE__);
      }
      slots--;
      brt.setRef(i[t], from, slots);
    }
  }
  if (in.digest() != graph.listsDigest) inputChanged(__LINE__);
  node2ordinalFile->finishReading();
  return 0;
}

// "_brt.tmp": for each ordinal from the highest down, its predecessors' ordinals, so that the
// semidominator phase reads it in one forward pass.
int32_t LowMemComputation::buildReverseTable() {
  logStep("_dcc: 3");
  int32_t code;
  std::unique_ptr<ObjectRefStorage> brt;
  {
    Block counts = zeroedBlock(N);
    int32_t* const inDegree = reinterpret_cast<int32_t*>(counts.get());
    logStep("_dcc: brt: 1");
    code = countPredecessors(inDegree);
    if (code != 0) return code;
    brt = std::make_unique<ObjectRefStorage>("brt", N);
    logStep("_dcc: brt: 2");
    code = fillReverseTable(inDegree, *brt);
    if (code != 0) return code;
    logStep("_dcc: brt: 3");
  }
  // The virtual root is a root's only predecessor; what else refers to it cannot change a dominator.
  for (int32_t slot = 0; slot < roots.capacity; slot++) {
    if (roots.states[slot] != kSlotUsed) continue;
    const int32_t ordinal = i[roots.keys[slot]];
    brt->allocate(ordinal, 1);
    brt->setRef(ordinal, i[0], 0);
  }
  brtFile = std::make_unique<TempFile>(paths.brt);
  for (int32_t w = N - 1; w >= 1; w--) {
    brtFile->write(brt->getRefCount(w));
    for (RefIterator it = brt->getRefIterator(w); it.hasNext();) brtFile->write(it.next());
  }
  brtFile->finishWriting();
  logStep("_dcc: brt: 4");
  return 0;
}

// Each ordinal's parent from "_parent.tmp": always a smaller ordinal, so every climb through them ends.
void LowMemComputation::readParents(FlatIntArray& parents) {
  parentFile->startReading();
  parents[0] = parentFile->read(0, 1);
  for (int32_t k = 1; k < N; k++) parents[k] = parentFile->read(0, k);
  parentFile->finishReading();
}

// Semidominators by ordinal into i, streaming the predecessor lists from "_brt.tmp".
void LowMemComputation::computeSemidominators(FlatIntArray& ancestor, FlatIntArray& label) {
  logStep("_dcc: 5");
  brtFile->startReading();
  int64_t capacity;
  {
    CompressionStack stack;
    for (int32_t w = N - 1; w >= 1; w--) {
      for (int32_t count = brtFile->read(0, brtFile->valuesLeft() + 1); count > 0; count--) {
        int32_t v = brtFile->read(0, N);
        if (v > w) {
          compress(v, w, label, ancestor, stack);
          v = label[v];
        }
        if (i[v] < i[w]) i[w] = i[v];
      }
      label[w] = i[w];
    }
    capacity = stack.capacity;
  }
  logStep("_dcc: 6: stack size (bytes): ", capacity * 4 + 8);
  brtFile->finishReading();
}

void LowMemComputation::backToNodes(FlatIntArray& dominator) {
  FlatIntArray nodeOf("da_3", N);
  node2ordinalFile->startReading();
  for (int32_t v = 0; v < N; v++) nodeOf[node2ordinalFile->read(0, N)] = v;
  node2ordinalFile->finishReading();
  logStep("_dcc: 8");
  for (int32_t k = 0; k < N; k++) i[nodeOf[k]] = nodeOf[dominator[k]];
}

int32_t LowMemComputation::run() {
  const int32_t numbered = numberDepthFirst();
  logStep("_dcc: 1: n=", numbered);
  graph.refs.reset();
  if (numbered != N) assertionFailed("assertion failed", source, __LINE__);

  logStep("_dcc: 2");
  node2ordinalFile = std::make_unique<TempFile>(paths.node2ordinal);
  for (int32_t v = 0; v < N; v++) node2ordinalFile->write(i[v]);
  node2ordinalFile->finishWriting();

  const int32_t code = buildReverseTable();
  if (code != 0) return code;

  // From here on everything is by ordinal: da_1 holds the parents, then the ancestors, then the
  // dominators; da_2 the labels; i the semidominators.
  logStep("_dcc: 4");
  FlatIntArray da_1("da_1", N);
  {
    FlatIntArray da_2("da_2", N);
    readParents(da_1);
    for (int32_t k = 0; k < N; k++) {
      da_2[k] = k;
      i[k] = k;
    }
    computeSemidominators(da_1, da_2);
  }
  // Compression changed the ancestors.
  readParents(da_1);
  findImmediateDominators(da_1, i, N);
  backToNodes(da_1);

  logStep("_dcc: exit");
  return 0;
}

}  // namespace

int32_t DominatorComputerSnca_LowMem::compute(int32_t inputFd, DominatorGraph& graph, FlatIntArray& idom,
                                              const YString& tempDirectory) {
  LowMemComputation computation(inputFd, graph, idom, tempDirectory);
  return computation.run();
}
