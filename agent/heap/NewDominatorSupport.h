#pragma once

#include <cstdint>

#include "agent/heap/ObjectStorage.h"
#include "agent/heap/ReferenceSearches.h"
#include "agent/support/YString.h"

// What a dominator result is computed from: N, every value of the input graph file (its lists, its roots
// in compact numbers) and the selected object indices. Equal fingerprints mean equal computations, so a
// kept result file is read only under the fingerprint it was made with.
struct DominatorInputFingerprint {
  int32_t n = 0;
  uint64_t graph = 0;
  uint64_t selection = 0;

  bool operator==(const DominatorInputFingerprint& other) const {
    return n == other.n && graph == other.graph && selection == other.selection;
  }
};

// The dominator computation of an opened snapshot through files. The selection is an object bitset
// (ObjectSet: objects past its words are not selected). The selected objects, in increasing index, get
// the compact numbers 1 to K; the input graph file has N = K + 1 nodes, node 0 being the
// virtual root. Both directions derive the numbering from the selection alone, so they must be given the
// same one.
class NewDominatorSupport {
 public:
  // Writes the input graph file of the selection: per selected object its distinct targets, null slots
  // and references into roots left out (a root's immediate dominator is the virtual root whatever refers
  // to it), then the roots, a root that is not selected as 0. Answers N, or -1 when the file cannot be
  // created or written. Every root must be an object index of the storage, checked before anything is
  // done; a target outside the selection that is no root is a broken invariant. With `fingerprint`, it
  // receives the fingerprint of what was written.
  static int32_t createInput(const YString& path, ObjectStorage& storage, ObjectSet selected, const int32_t* roots,
                             int32_t rootCount, DominatorInputFingerprint* fingerprint = nullptr);

  // The fingerprint createInput would give, without writing anything.
  static DominatorInputFingerprint fingerprintOf(ObjectStorage& storage, ObjectSet selected, const int32_t* roots,
                                                 int32_t rootCount);

  // Reads the immediate dominators of compact nodes 1 to N - 1 from a result file into the storage's "i",
  // translated back to object indices; N = -1 stands for 1 + the number of selected objects. False, with
  // a log line, when the file cannot be opened, ends early or holds a value outside 0 to N - 1; entries
  // stored before that stay. More selected objects than N - 1 is a broken invariant.
  static bool read(const YString& path, ObjectStorage& storage, ObjectSet selected, int32_t n);

  // Records next to a result file that it was computed from `fingerprint`; false, with a log line, when
  // the record cannot be written. The record also holds a digest of the result file as it is now.
  static bool keepResult(const YString& resultPath, const DominatorInputFingerprint& fingerprint);
  // Removes a result file that is about to be replaced, and its record: a run that dies before it writes
  // a file of its own then leaves none to read, rather than the old result.
  static void forgetResult(const YString& resultPath);
  // Reads a kept result file into "i" when it belongs to this computation: its record names the
  // fingerprint of this selection, these roots and the storage's references, the file is exactly
  // 4 x (N - 1) bytes and unchanged since it was recorded. Otherwise false, with a log line saying why;
  // a file refused for not belonging leaves "i" untouched.
  static bool readKeptResult(const YString& resultPath, ObjectStorage& storage, ObjectSet selected,
                             const int32_t* roots, int32_t rootCount);

  // The record's path: the result file's with ".fingerprint" appended.
  static YString fingerprintPath(const YString& resultPath);
};
