#include "agent/heap/DominatorGraphFiles.h"

#include "agent/db/AbstractWriter.h"
#include "agent/db/SnapshotWriter.h"
#include "agent/platform/Clocks.h"
#include "agent/platform/Directories.h"
#include "agent/platform/FileOffsets.h"
#include "agent/platform/Files.h"
#include "agent/platform/Processes.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"

namespace {

YString withNumber(const char* text, int64_t value) {
  YString result(text);
  result.appendLong(value);
  return result;
}

int32_t refuse(const char* text, int64_t value, int32_t code) {
  logMessage(withNumber(text, value));
  return code;
}

// The file's size, with the descriptor back at its start; INT64_MAX when it cannot tell (a pipe).
int64_t sizeFromStart(int32_t fd) {
  const int64_t size = seekFileToEnd(fd);
  return size >= 0 && seekFile(fd, 0) == 0 ? size : INT64_MAX;
}

// A small file needs no buffer of a mebibyte.
int32_t bufferSizeFor(int64_t size) {
  return int32_t(size < 16 ? 16 : size < GraphFileReader::bufferSize ? size : GraphFileReader::bufferSize);
}

}  // namespace

GraphFileReader::GraphFileReader(int32_t fd) : GraphFileReader(fd, sizeFromStart(fd)) {}

GraphFileReader::GraphFileReader(int32_t fd, int64_t size)
    : buffer(new unsigned char[bufferSizeFor(size)]),
      reader(fd, buffer.get(), bufferSizeFor(size)),
      offset(0),
      limit(size) {}

int32_t GraphFileReader::readInt() {
  if (offset >= limit) {
    read.add(0);
    return 0;
  }
  uint32_t value = 0;
  if (limit - offset >= 4 && reader.position + 4 <= reader.filled) {
    const unsigned char* bytes = reader.buffer + reader.position;
    value = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
    reader.position += 4;
  } else {
    for (int32_t k = 0; k < 4; k++) {
      if (offset + k < limit) value |= uint32_t(reader.readByte()) << (8 * k);
    }
  }
  offset += 4;
  read.add(int32_t(value));
  return int32_t(value);
}

int64_t GraphFileReader::valuesLeft() const {
  if (limit == INT64_MAX) return INT64_MAX;
  return offset >= limit ? 0 : (limit - offset + 3) / 4;
}

int32_t readDominatorGraph(GraphFileReader& in, DominatorGraph& graph) {
  const int32_t n = in.readInt();
  logMessage(withNumber("N = ", n));
  if (n < 1) fatalError(withNumber("bad N: ", n).data, "Dominators", __LINE__);
  graph.n = n;
  // A file that can be computed holds N - 1 counts, the root count and at least one byte of a root.
  if (in.valuesLeft() >= int64_t(n) + 1) graph.refs = std::make_unique<ObjectRefStorage>("r", n);
  ObjectRefStorage* refs = graph.refs.get();
  int64_t total = 0;
  for (int32_t k = 1; k < n; k++) {
    if (refs == nullptr && in.atEnd()) break;  // every count from here on reads 0
    const int32_t count = in.readInt();
    if (count < 0) return refuse("bad refCount: ", count, 4);
    // A list longer than the rest of the file is bound to meet a 0 target: checked, never reserved.
    const bool keep = refs != nullptr && count <= in.valuesLeft();
    if (keep) refs->allocate(k, count);
    for (int32_t j = 0; j < count; j++) {
      const int32_t target = in.readInt();
      if (target < 1 || target >= n) return refuse("bad target: ", target, 5);
      if (keep) refs->setRef(k, target, j);
    }
    total += count;
  }
  graph.listsDigest = in.digest();
  logMessage(withNumber("refs: ", total));
  const int32_t rootCount = in.readInt();
  for (int32_t j = 0; j < rootCount; j++) {
    const int32_t root = in.readInt();
    if (root < 1 || root >= n) return refuse("bad root: ", root, 6);
    graph.roots.add(root);
  }
  logMessage(withNumber("roots: ", rootCount));
  return 0;
}

YString writeDominatorOutput(int32_t fd, const FlatIntArray& idom) {
  YString errorText;
  SnapshotWriter writer(fd, true, byteOrderLittleEndian);
  for (int32_t k = 1; k < idom.size; k++) writer.writeInt(idom[k]);
  writer.finish(errorText);
  return errorText;
}

YString dominatorTempStem() {
  YString stem = withNumber("bzptmp_", getOwnPid());
  stem.append("_");
  stem.appendLong(getMonotonicTimeNs());
  return stem;
}

YString dominatorTempPath(const YString& directory, const YString& stem, const char* suffix) {
  YString path = directory.length > 0 ? directory : getTempDir();
  const char last = path.length > 0 ? path.data[path.length - 1] : pathSeparator;
  if (last != '/' && last != '\\') path.append(pathSeparator);
  path.append(stem);
  path.append(suffix);
  return path;
}

DominatorTempFiles::DominatorTempFiles(const YString& directory) {
  const YString stem = dominatorTempStem();
  parent = dominatorTempPath(directory, stem, parentFileSuffix);
  node2ordinal = dominatorTempPath(directory, stem, node2ordinalFileSuffix);
  brt = dominatorTempPath(directory, stem, brtFileSuffix);
}

// A file that was never made fails to delete, which is fine.
DominatorTempFiles::~DominatorTempFiles() {
  deleteFile(parent);
  deleteFile(brt);
  deleteFile(node2ordinal);
}
