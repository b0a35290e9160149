#include "agent/heap/NewDominatorSupport.h"

#include <memory>

#include "agent/db/AbstractWriter.h"
#include "agent/db/SnapshotWriter.h"
#include "agent/heap/DominatorGraphFiles.h"
#include "agent/heap/FlatIntArray.h"
#include "agent/platform/Files.h"
#include "agent/support/FatalError.h"
#include "agent/support/FileUtils.h"
#include "agent/support/Log.h"
#include "agent/support/YSet.h"
#include "agent/support/YVector.h"

namespace {

constexpr const char* source = "NewDominatorSupport";
// Lists of this many slots and more are deduplicated through a hash set, shorter ones by a linear search.
constexpr int32_t hashedListSlots = 128;
constexpr int32_t readBufferSize = 0x100000;
// The first value of a fingerprint record, so that any other file in its place is not taken for one.
constexpr int32_t fingerprintMarker = 0x31504644;
constexpr int32_t fingerprintValues = 8;

YString withNumber(const char* text, int64_t value) {
  YString result(text);
  result.appendLong(value);
  return result;
}

[[noreturn]] void rangeError(const char* operation, int64_t index, int64_t size, int32_t line) {
  YString text("op=");
  text.append(operation);
  text.append(' ');
  text.appendLong(index);
  text.append(' ');
  text.appendLong(size);
  fatalError(text.data, source, line);
}

// o2c: the compact number of every selected object, 0 for the others.
struct CompactNumbering {
  FlatIntArray o2c;
  int32_t count = 0;
  uint64_t selectionDigest = 0;

  CompactNumbering(const ObjectStorage& storage, ObjectSet selected) : o2c("o2c", storage.n) {
    ValueDigest digest;
    for (int32_t i = 1; i < storage.n; i++) {
      if (!selected.has(i)) continue;
      o2c[i] = ++count;
      digest.add(i);
    }
    selectionDigest = digest.value();
  }
};

int32_t selectedCount(const ObjectStorage& storage, ObjectSet selected) {
  int32_t count = 0;
  for (int32_t i = 1; i < storage.n; i++) count += selected.has(i) ? 1 : 0;
  return count;
}

// Before a root touches a table: a root must be an object index of the storage.
void checkRoots(const ObjectStorage& storage, const int32_t* roots, int32_t rootCount) {
  if (rootCount < 0) assertionFailed("assertion failed", source, __LINE__);
  for (int32_t k = 0; k < rootCount; k++) {
    if (!storage.isValidObjectIndex(roots[k])) rangeError("p_vector::[]", roots[k], storage.n, __LINE__);
  }
}

struct RefCounters {
  int64_t all = 0;
  int64_t notNull = 0;
  int64_t written = 0;
};

// Hands `emit` every value of the input file from N to the last list, in file order.
template <class Emit>
void emitLists(ObjectStorage& storage, const CompactNumbering& numbering, const int32_t* roots, int32_t rootCount,
               RefCounters& counters, Emit emit) {
  const int32_t n = storage.n;
  FlatIntArray rootBits("rootBits", n / 32 + 1);
  for (int32_t k = 0; k < rootCount; k++) rootBits[roots[k] >> 5] |= int32_t(1u << (roots[k] & 31));
  emit(numbering.count + 1);
  ObjectRefStorage& references = storage.references;
  YVector<int32_t> distinct;
  for (int32_t i = 1; i < n; i++) {
    if (numbering.o2c[i] == 0) continue;
    const int32_t slots = references.getRefCount(i);
    counters.all += slots;
    distinct.size = 0;
    std::unique_ptr<YSet<int>> hashed;
    if (slots >= hashedListSlots) hashed = std::make_unique<YSet<int>>(slots);
    RefIterator targets = references.getRefIterator(i);
    while (targets.hasNext()) {
      const int32_t t = targets.next();
      if (t == 0) continue;
      counters.notNull++;
      if (t < 0 || t >= n) rangeError("p_vector::get", t, n, __LINE__);
      if ((uint32_t(rootBits[t >> 5]) >> (t & 31) & 1) != 0) continue;
      const int32_t c = numbering.o2c[t];
      if (c < 1) {
        YString text = withNumber("assertion failed: object ", i);
        text.append(" refers to ");
        text.appendLong(t);
        text.append(", which is neither selected nor a root");
        assertionFailed(text.data, source, __LINE__);
      }
      if (hashed != nullptr) {
        hashed->add(c);
      } else {
        int32_t k = 0;
        while (k < distinct.size && distinct.data[k] != c) k++;
        if (k == distinct.size) distinct.add(c);
      }
    }
    // An object without references (the common leaf) is written with a count of 0.
    if (hashed != nullptr) {
      emit(hashed->count);
      for (int32_t slot = 0; slot < hashed->capacity; slot++) {
        if (hashed->states[slot] == kSlotUsed) emit(hashed->keys[slot]);
      }
      counters.written += hashed->count;
    } else {
      emit(distinct.size);
      for (int32_t k = 0; k < distinct.size; k++) emit(distinct.data[k]);
      counters.written += distinct.size;
    }
  }
}

template <class Emit>
void emitRoots(const CompactNumbering& numbering, const int32_t* roots, int32_t rootCount, Emit emit) {
  emit(rootCount);
  for (int32_t k = 0; k < rootCount; k++) emit(numbering.o2c[roots[k]]);
}

// Reads int32 values, least significant byte first, through a 1 MiB buffer.
class ValueReader {
 public:
  explicit ValueReader(int32_t fd)
      : buffer(new unsigned char[readBufferSize]), reader(fd, buffer.get(), readBufferSize) {}

  // False when the file ended (or failed) before all four bytes of the value.
  bool next(int32_t& value) {
    uint32_t bits = 0;
    for (int32_t k = 0; k < 4; k++) bits |= uint32_t(reader.readByte()) << (8 * k);
    value = int32_t(bits);
    return reader.filled >= 0;
  }

 private:
  std::unique_ptr<unsigned char[]> buffer;
  BufferedFileReader reader;
};

// The digest of the first `count` values of a file; false when it cannot be opened or holds fewer.
bool digestOfFile(const YString& path, int64_t count, uint64_t& digest) {
  FileDescriptorGuard file(openFileForRead(path));
  if (file.fd < 0) return false;
  ValueReader in(file.fd);
  ValueDigest values;
  for (int64_t k = 0; k < count; k++) {
    int32_t value = 0;
    if (!in.next(value)) return false;
    values.add(value);
  }
  digest = values.value();
  return true;
}

void putValue(unsigned char* bytes, int32_t value) {
  for (int32_t k = 0; k < 4; k++) bytes[k] = (unsigned char)(uint32_t(value) >> (8 * k));
}

int32_t valueAt(const unsigned char* bytes) {
  return int32_t(uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24);
}

void putDigest(unsigned char* bytes, uint64_t digest) {
  putValue(bytes, int32_t(uint32_t(digest)));
  putValue(bytes + 4, int32_t(uint32_t(digest >> 32)));
}

uint64_t digestAt(const unsigned char* bytes) {
  return uint64_t(uint32_t(valueAt(bytes))) | uint64_t(uint32_t(valueAt(bytes + 4))) << 32;
}

// A fingerprint record: the marker, N, then the graph, selection and result digests, low half first.
struct KeptRecord {
  DominatorInputFingerprint fingerprint;
  uint64_t result = 0;
};

bool readRecord(const YString& path, KeptRecord& record) {
  FileDescriptorGuard file(openFileForRead(path));
  if (file.fd < 0) return false;
  unsigned char bytes[4 * fingerprintValues + 1];
  int32_t filled = 0;  // one byte more than a record holds, to tell a longer file
  while (filled < int32_t(sizeof bytes)) {
    const int32_t got = readFile(file.fd, bytes + filled, int32_t(sizeof bytes) - filled);
    if (got <= 0) break;
    filled += got;
  }
  if (filled != 4 * fingerprintValues || valueAt(bytes) != fingerprintMarker) return false;
  record.fingerprint.n = valueAt(bytes + 4);
  record.fingerprint.graph = digestAt(bytes + 8);
  record.fingerprint.selection = digestAt(bytes + 16);
  record.result = digestAt(bytes + 24);
  return true;
}

void logKeptRefusal(const YString& resultPath, const char* reason) {
  YString text("NewDominatorSupport::readKeptResult: ");
  text.append(resultPath);
  text.append(": ");
  text.append(reason);
  logMessage(text);
}

}  // namespace

int32_t NewDominatorSupport::createInput(const YString& path, ObjectStorage& storage, ObjectSet selected,
                                         const int32_t* roots, int32_t rootCount,
                                         DominatorInputFingerprint* fingerprint) {
  logWithMemoryUsage(YString("NewDominatorSupport::createInput: ") + path);
  // Checked before the file is made, so that a refused call leaves nothing behind.
  checkRoots(storage, roots, rootCount);
  FileDescriptorGuard file(openFileForWrite(path));
  if (file.fd < 0) {
    logMessage(YString("NewDominatorSupport::createInput: error: file could not be created"));
    return -1;
  }
  const CompactNumbering numbering(storage, selected);
  logWithMemoryUsage(YString("NewDominatorSupport::createInput: o2c created"));
  YString text = withNumber("NewDominatorSupport::createInput: roots=", rootCount);
  text.append("\n  N=");
  text.appendLong(storage.n);
  text.append("\n  NC=");
  text.appendLong(numbering.count + 1);
  logMessage(text);

  ValueDigest graph;
  RefCounters counters;
  YString errorText;
  {
    SnapshotWriter writer(file.fd, true, byteOrderLittleEndian);
    auto emit = [&](int32_t value) {
      writer.writeInt(value);
      graph.add(value);
    };
    emitLists(storage, numbering, roots, rootCount, counters, emit);
    YString figures = withNumber("NewDominatorSupport::createInput: all_refs=", counters.all);
    figures.append(" not_null_refs=");
    figures.appendLong(counters.notNull);
    figures.append(" written_refs=");
    figures.appendLong(counters.written);
    logWithMemoryUsage(figures);
    emitRoots(numbering, roots, rootCount, emit);
    writer.finish(errorText);
  }
  int32_t result = numbering.count + 1;
  if (errorText.length > 0) {
    logMessage(YString("NewDominatorSupport::createInput: error: ") + errorText);
    result = -1;
  }
  file.close();
  logWithMemoryUsage(YString("NewDominatorSupport::createInput: done"));
  if (fingerprint != nullptr && result > 0) *fingerprint = {result, graph.value(), numbering.selectionDigest};
  return result;
}

DominatorInputFingerprint NewDominatorSupport::fingerprintOf(ObjectStorage& storage, ObjectSet selected,
                                                             const int32_t* roots, int32_t rootCount) {
  checkRoots(storage, roots, rootCount);
  const CompactNumbering numbering(storage, selected);
  ValueDigest graph;
  RefCounters counters;
  auto emit = [&](int32_t value) { graph.add(value); };
  emitLists(storage, numbering, roots, rootCount, counters, emit);
  emitRoots(numbering, roots, rootCount, emit);
  return {numbering.count + 1, graph.value(), numbering.selectionDigest};
}

bool NewDominatorSupport::read(const YString& path, ObjectStorage& storage, ObjectSet selected, int32_t n) {
  if (n == -1) n = 1 + selectedCount(storage, selected);
  YString text("NewDominatorSupport::read: ");
  text.append(path);
  text.append("\n  N=");
  text.appendLong(storage.n);
  text.append("\n  NC=");
  text.appendLong(n);
  logMessage(text);
  FileDescriptorGuard file(openFileForRead(path));
  if (file.fd < 0) {
    logMessage(YString("NewDominatorSupport::read: error: file could not be opened"));
    return false;
  }
  if (n < 0) rangeError("p_vector::p_vector", n, 0, __LINE__);
  FlatIntArray c2o("c2o", n);
  int32_t k = 0;
  for (int32_t i = 1; i < storage.n; i++) {
    if (!selected.has(i)) continue;
    if (++k >= n) rangeError("p_vector::set", k, n, __LINE__);
    c2o[k] = i;
  }
  ValueReader in(file.fd);
  FlatIntArray& idom = storage.immediateDominators;
  for (int32_t c = 1; c < n; c++) {
    int32_t v = 0;
    if (!in.next(v)) {
      logMessage(YString("NewDominatorSupport::read: I/O error"));
      return false;
    }
    if (v < 0 || v >= n) {
      logMessage(withNumber("NewDominatorSupport::read: error: bad input: ", v));
      return false;
    }
    idom[c2o[c]] = c2o[v];
  }
  file.close();
  logMessage(YString("NewDominatorSupport::read: done"));
  return true;
}

YString NewDominatorSupport::fingerprintPath(const YString& resultPath) { return resultPath + ".fingerprint"; }

bool NewDominatorSupport::keepResult(const YString& resultPath, const DominatorInputFingerprint& fingerprint) {
  const YString recordPath = fingerprintPath(resultPath);
  uint64_t result = 0;
  bool written = digestOfFile(resultPath, int64_t(fingerprint.n) - 1, result);
  if (written) {
    unsigned char bytes[4 * fingerprintValues];
    putValue(bytes, fingerprintMarker);
    putValue(bytes + 4, fingerprint.n);
    putDigest(bytes + 8, fingerprint.graph);
    putDigest(bytes + 16, fingerprint.selection);
    putDigest(bytes + 24, result);
    FileDescriptorGuard file(openFileForWrite(recordPath));
    written = file.fd >= 0 && writeFile(file.fd, bytes, int32_t(sizeof bytes));
  }
  if (!written) {
    deleteFile(recordPath);  // no half record may outlive a failure
    logMessage(YString("NewDominatorSupport::keepResult: error: not recorded: ") + recordPath);
  }
  return written;
}

void NewDominatorSupport::forgetResult(const YString& resultPath) {
  deleteFile(fingerprintPath(resultPath));
  deleteFile(resultPath);
}

bool NewDominatorSupport::readKeptResult(const YString& resultPath, ObjectStorage& storage, ObjectSet selected,
                                         const int32_t* roots, int32_t rootCount) {
  KeptRecord record;
  if (!readRecord(fingerprintPath(resultPath), record)) {
    logKeptRefusal(resultPath, "no fingerprint");
    return false;
  }
  const int32_t n = 1 + selectedCount(storage, selected);
  if (record.fingerprint.n != n) {
    logKeptRefusal(resultPath, "made for another number of objects");
    return false;
  }
  if (getFileSize(resultPath) != 4 * (int64_t(n) - 1)) {
    logKeptRefusal(resultPath, "not 4 x (N - 1) bytes long");
    return false;
  }
  if (!(record.fingerprint == fingerprintOf(storage, selected, roots, rootCount))) {
    logKeptRefusal(resultPath, "made from another graph, selection or roots");
    return false;
  }
  uint64_t result = 0;
  if (!digestOfFile(resultPath, int64_t(n) - 1, result) || result != record.result) {
    logKeptRefusal(resultPath, "changed since it was made");
    return false;
  }
  return read(resultPath, storage, selected, n);
}
