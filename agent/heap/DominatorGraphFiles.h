#pragma once

#include <cstdint>
#include <memory>

#include "agent/heap/FlatIntArray.h"
#include "agent/heap/ObjectRefStorage.h"
#include "agent/support/FileUtils.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// The files of a dominator computation: flat little-endian int32 values, no header. The input graph is N,
// a reference list (count, targets) for each node 1 to N - 1, the root count and the roots; node 0 is the
// virtual root. The output is the immediate dominator of each node 1 to N - 1.

// A running digest of int32 values (FNV-1a over 32-bit words), to tell whether a file read twice gave the
// same values both times. Every step is a bijection of the state, so a single changed value always shows.
class ValueDigest {
 public:
  void add(int32_t value) { state = (state ^ uint32_t(value)) * 0x100000001b3ull; }
  bool operator==(const ValueDigest& other) const { return state == other.state; }
  bool operator!=(const ValueDigest& other) const { return state != other.state; }
  uint64_t value() const { return state; }

 private:
  uint64_t state = 0xcbf29ce484222325ull;
};

// Reads int32 values front to back through a 1 MiB buffer (a smaller file gets one of its size), least
// significant byte first. Every byte past the end the file had when the reader was made reads as 0, also
// when the file grows meanwhile, so what the reader can still deliver is known in advance. Every value
// read, 0s past the end included, goes into the reader's digest.
class GraphFileReader {
 public:
  static constexpr int32_t bufferSize = 0x100000;

  // Starts at offset 0 of the descriptor, which the caller keeps open. A descriptor that cannot tell its
  // size (a pipe) is read to its real end.
  explicit GraphFileReader(int32_t fd);
  GraphFileReader(const GraphFileReader&) = delete;
  GraphFileReader& operator=(const GraphFileReader&) = delete;

  int32_t readInt();
  // The number of values still to come that have at least one byte in the file: every later one reads 0.
  int64_t valuesLeft() const;
  bool atEnd() const { return offset >= limit; }
  const ValueDigest& digest() const { return read; }

 private:
  // `size`: the file's, INT64_MAX when unknown.
  GraphFileReader(int32_t fd, int64_t size);

  std::unique_ptr<unsigned char[]> buffer;
  BufferedFileReader reader;
  int64_t offset;
  int64_t limit;
  ValueDigest read;
};

// An input graph as read: the reference lists of nodes 1 to N - 1 and the roots in file order (each
// counted once by the computations).
struct DominatorGraph {
  int32_t n = 0;
  // Null when the file is too short to hold N nodes and a root: such a file fails, either on a format
  // code or for having no root, and nothing N-sized is made for it.
  std::unique_ptr<ObjectRefStorage> refs;
  YVector<int32_t> roots;
  // The digest of N and the reference lists as read, for a computation that reads them again.
  ValueDigest listsDigest;
};

// Reads and checks an input graph, logging "N = ", "refs: " and "roots: " as it goes. 0 when every value
// is in range; else, after its log line, 4 for a count below 0 ("bad refCount: "), 5 for a target outside
// 1 to N - 1 ("bad target: ") and 6 for a root outside it ("bad root: "). A count that the rest of the
// file cannot hold is checked without being reserved: a target past the end reads 0 and fails. N below 1
// is a broken invariant. Nothing is allocated before N is known to fit the file.
int32_t readDominatorGraph(GraphFileReader& in, DominatorGraph& graph);

// Writes idom[1] to idom[n - 1] to the descriptor, which the caller opened on a new file and closes. The
// text of the first write error, empty when every byte was written.
YString writeDominatorOutput(int32_t fd, const FlatIntArray& idom);

// Suffixes of the three temporary files of the low-memory computation.
constexpr const char* parentFileSuffix = "_parent.tmp";
constexpr const char* node2ordinalFileSuffix = "_node2ordinal.tmp";
constexpr const char* brtFileSuffix = "_brt.tmp";

// "bzptmp_<process id>_<monotonic nanoseconds>": computations in different processes or started at
// different moments never share a file.
YString dominatorTempStem();
// The file `stem` + `suffix` in `directory`; an empty directory stands for the system's temporary one.
YString dominatorTempPath(const YString& directory, const YString& stem, const char* suffix);

// The paths of one computation's temporary files, deleted when it goes whatever way the computation
// ended, so that a failure does not leave them behind.
class DominatorTempFiles {
 public:
  explicit DominatorTempFiles(const YString& directory);
  ~DominatorTempFiles();
  DominatorTempFiles(const DominatorTempFiles&) = delete;
  DominatorTempFiles& operator=(const DominatorTempFiles&) = delete;

  YString parent;
  YString node2ordinal;
  YString brt;
};
