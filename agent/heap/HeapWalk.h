#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>
#include <exception>
#include <memory>

#include "agent/core/DistinctMessages.h"
#include "agent/db/Progress.h"
#include "agent/db/SnapshotWriter.h"
#include "agent/heap/ClassInfo.h"
#include "agent/heap/ObjectNumbering.h"
#include "agent/heap/ProgressSplitter.h"
#include "agent/recording/JavaStacks.h"
#include "agent/support/YMap.h"
#include "agent/support/YString.h"

struct RootRecord;

// The heap part of one memory snapshot, walked through JVMTI in passes: the objects are numbered, the
// threads' stacks and the classes read, the records of the heap segments written, and, once the file is
// closed, the field values filled in and the class references appended. Every table of the run lives
// in the walk and goes with it. The caller holds "ourLock" and keeps the application's threads
// suspended, so that every pass sees the same objects; a collection between passes can still free
// numbered garbage, whose index then has no record.
class HeapWalk {
 public:
  HeapWalk(JNIEnv* env, Progress& progress);
  HeapWalk(const HeapWalk&) = delete;
  HeapWalk& operator=(const HeapWalk&) = delete;

  // Interns the names of the root kinds, before the tables that carry them are written.
  void internRootKinds();
  // The numbering passes, then the threads' stacks and the classes.
  void numberObjects();
  void readThreads();
  void describeClasses();
  // The object count into the header, then the array lengths of every numbered object.
  void countObjects(SnapshotWriter& writer);
  // The name and class-load records, then the heap segments (classes, instances and object arrays,
  // primitive arrays, roots) and the end record.
  void writeHeap(SnapshotWriter& writer);
  // Fills the values into the closed file at `path`; the error text, empty on success.
  YString fillValues(const YString& path);
  // Appends the class reference record to the file at `path`; the error text, empty on success.
  YString appendClassReferences(const YString& path);

  ProgressSplitter splitter;

 private:
  struct ThreadEntry {
    uint32_t sequence;  // 0 for none
    uint32_t frame;
  };

  jlong numberAndSetTag(jobject object, jlong tag);
  void describeLoadedClasses();
  void describeUnlistedClasses();
  // The index of a numbered object, 0 for none.
  int32_t indexOf(jlong tag) const;
  uint32_t frameAtDepth(uint32_t leaf, int32_t depth) const;
  uint32_t localNameId(jmethodID method, int32_t slot) const;
  void rethrowCallbackError();
  // The root record of an object the JVM reports as a root of `kind`, its thread and frame left to the
  // caller; false for a kind the callback does not take (warned once per text) or an object or kind
  // without a number or name.
  bool startRoot(const char* callback, jvmtiHeapRootKind kind, bool kindTaken, jlong tag, RootRecord& root);

  static jvmtiIterationControl JNICALL numberOrdinaryObject(jlong classTag, jlong size, jlong* tag, void* walk);
  static jvmtiIterationControl JNICALL numberClassObject(jlong classTag, jlong size, jlong* tag, void* walk);
  static jvmtiIterationControl JNICALL markClassObject(jlong classTag, jlong size, jlong* tag, void* walk);
  static jint JNICALL countTaggedObject(jlong classTag, jlong size, jlong* tag, jint length, void* walk);
  static jint JNICALL writeInstanceOrObjectArray(jlong classTag, jlong size, jlong* tag, jint length, void* walk);
  static jint JNICALL advancePrimitiveArrayPass(jlong classTag, jlong size, jlong* tag, jint length, void* walk);
  static jint JNICALL writePrimitiveArray(jlong classTag, jlong size, jlong* tag, jint count,
                                          jvmtiPrimitiveType type, const void* elements, void* walk);
  static jvmtiIterationControl JNICALL heap_root_callback_new(jvmtiHeapRootKind kind, jlong classTag, jlong size,
                                                               jlong* tag, void* walk);
  static jvmtiIterationControl JNICALL stack_reference_callback_new(jvmtiHeapRootKind kind, jlong classTag,
                                                                     jlong size, jlong* tag, jlong threadTag,
                                                                     jint depth, jmethodID method, jint slot,
                                                                     void* walk);
  static void advanceFillProgress(void* walk);

  // A JVMTI callback's body: a broken invariant is kept and ends the pass instead of unwinding through
  // the JVM's frames.
  template <class Result, class Body>
  static Result guarded(void* walk, Result abort, Result done, Body body);

  JNIEnv* const env;
  ObjectNumbering numbering;
  jlong classClassTag = -1;  // the tag of java/lang/Class, -1 with "_old_ibm"
  int32_t rootKindIds[8] = {};  // by JVMTI heap-root kind, 1 to 7
  YMap<int64_t, ThreadEntry> threads{64};  // thread-object tag -> sequence number and stack
  StackLocalMap locals;
  ClassInfoTable classes;
  int32_t objectCount = 0;
  std::unique_ptr<uint32_t[]> arrayLengths;
  std::unique_ptr<uint64_t[]> fieldBlockPositions;
  int64_t fieldCount = 0;
  int64_t heapStart = 0;
  int64_t heapEnd = 0;
  SnapshotWriter* writer = nullptr;  // during writeHeap
  DistinctMessages rootKindWarnings;
  std::exception_ptr callbackError;
};
