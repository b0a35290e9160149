#include "agent/heap/HeapWalk.h"

#include <atomic>

#include "agent/core/JvmtiEnvironments.h"
#include "agent/core/Options.h"
#include "agent/db/DB.h"
#include "agent/db/StringPool.h"
#include "agent/heap/FieldValueFiller.h"
#include "agent/heap/FileMemoryMapper.h"
#include "agent/heap/HeapRecords.h"
#include "agent/platform/Files.h"
#include "agent/recording/AllocationRecording.h"
#include "agent/recording/FrameTree.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/FatalError.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"

namespace {

constexpr jint maxStackDepth = 10000;
constexpr jlong markedClassClass = 1;  // on the class-marking environment
constexpr jlong markedClass = 2;

const char* const rootKindNames[8] = {nullptr,
                                      "JVMTI_HEAP_ROOT_JNI_GLOBAL",
                                      "JVMTI_HEAP_ROOT_SYSTEM_CLASS",
                                      "JVMTI_HEAP_ROOT_MONITOR",
                                      "JVMTI_HEAP_ROOT_STACK_LOCAL",
                                      "JVMTI_HEAP_ROOT_JNI_LOCAL",
                                      "JVMTI_HEAP_ROOT_THREAD",
                                      "JVMTI_HEAP_ROOT_OTHER"};

void check(jvmtiError error, int32_t line) { checkJvmtiError(error, "HeapWalk", line); }

void logStep(const char* text) { logWithMemoryUsage(YString(text)); }

void logCount(const char* text, int64_t count) {
  YString line(text);
  line.appendLong(count);
  logWithMemoryUsage(line);
}

// Machines whose class objects the heap iteration does not list apart are told by a hidden option, read
// once for the life of the agent.
bool oldIbm() {
  static const bool set = globalOptions().hasOption("_old_ibm");
  return set;
}

// Pseudo-frames that allocation records may point at; made once for the life of the agent.
void ensurePseudoFrames() {
  static std::atomic<int32_t> startupFrame{-1};
  getOrCreatePseudoRootFrame(startupFrame, "<Objects allocated during JVM startup>", "HeapWalk:pseudoFrames");
  getNoStackTraceFrame();
}

jvmtiHeapCallbacks callbacksOf(jvmtiHeapIterationCallback iteration) {
  jvmtiHeapCallbacks callbacks{};
  callbacks.heap_iteration_callback = iteration;
  return callbacks;
}

// Local references of a JVMTI result array, released with the array.
class JvmtiObjects {
 public:
  JvmtiObjects(JNIEnv* env, jvmtiEnv* jvmti) : env(env), jvmti(jvmti) {}
  ~JvmtiObjects() {
    for (jint i = 0; i < count; i++) env->DeleteLocalRef(objects[i]);
    if (objects != nullptr) jvmti->Deallocate(reinterpret_cast<unsigned char*>(objects));
  }
  JvmtiObjects(const JvmtiObjects&) = delete;
  JvmtiObjects& operator=(const JvmtiObjects&) = delete;

  jint count = 0;
  jobject* objects = nullptr;

 private:
  JNIEnv* const env;
  jvmtiEnv* const jvmti;
};

}  // namespace

template <class Result, class Body>
Result HeapWalk::guarded(void* walk, Result abort, Result done, Body body) {
  HeapWalk& self = *static_cast<HeapWalk*>(walk);
  if (self.callbackError) return abort;
  try {
    body(self);
    return done;
  } catch (...) {
    self.callbackError = std::current_exception();
    return abort;
  }
}

HeapWalk::HeapWalk(JNIEnv* env, Progress& progress) : splitter(progress), env(env) {}

void HeapWalk::rethrowCallbackError() {
  if (callbackError) std::rethrow_exception(callbackError);
}

void HeapWalk::internRootKinds() {
  for (int32_t kind = 1; kind < 8; kind++) rootKindIds[kind] = getStringId(rootKindNames[kind]);
}

int32_t HeapWalk::indexOf(jlong tag) const {
  if (tag == 0) return 0;
  const int32_t index = objectIndexOf(tag);
  return index > 0 && index <= numbering.count() ? index : 0;
}

jlong HeapWalk::numberAndSetTag(jobject object, jlong tag) {
  const jlong numbered = numbering.number(tag);
  check(mainJvmti->SetTag(object, numbered), __LINE__);
  jlong readBack = 0;
  check(mainJvmti->GetTag(object, &readBack), __LINE__);
  if (readBack != numbered) assertionFailed("assertion failed: tag not set", "HeapWalk", __LINE__);
  return numbered;
}

// ---- numbering

jvmtiIterationControl JNICALL HeapWalk::numberOrdinaryObject(jlong classTag, jlong, jlong* tag, void* walk) {
  return guarded(walk, JVMTI_ITERATION_ABORT, JVMTI_ITERATION_CONTINUE, [&](HeapWalk& self) {
    if (oldIbm() || classTag != self.classClassTag) *tag = self.numbering.number(*tag);
  });
}

jvmtiIterationControl JNICALL HeapWalk::numberClassObject(jlong classTag, jlong, jlong* tag, void* walk) {
  return guarded(walk, JVMTI_ITERATION_ABORT, JVMTI_ITERATION_CONTINUE, [&](HeapWalk& self) {
    if (classTag == self.classClassTag && *tag != self.classClassTag) *tag = self.numbering.number(*tag);
  });
}

void HeapWalk::numberObjects() {
  logStep("WSN: starting heap...");
  ensurePseudoFrames();
  if (!oldIbm()) {
    const jclass classClass = env->FindClass("java/lang/Class");
    if (classClass == nullptr) assertionFailed("assertion failed: value is NULL", "HeapWalk", __LINE__);
    jlong tag = 0;
    check(mainJvmti->GetTag(classClass, &tag), __LINE__);
    classClassTag = numberAndSetTag(classClass, tag);
    env->DeleteLocalRef(classClass);
  }
  splitter.report(16);
  check(iterateOverHeap(mainJvmti, numberOrdinaryObject, this), __LINE__);
  rethrowCallbackError();
  splitter.report(17);
  if (!oldIbm()) {
    check(iterateOverHeap(mainJvmti, numberClassObject, this), __LINE__);
    rethrowCallbackError();
  }
}

// ---- threads

void HeapWalk::readThreads() {
  splitter.report(18);
  jvmtiStackInfo* stacks = nullptr;
  jint count = 0;
  // Without stacks the roots only lack their threads and frames.
  if (mainJvmti->GetAllStackTraces(maxStackDepth, &stacks, &count) == JVMTI_ERROR_NONE) {
    for (jint i = 0; i < count; i++) {
      const jvmtiStackInfo& stack = stacks[i];
      ThreadInfo* thread = getThreadRecord(env, stack.thread);
      if (thread != nullptr) {
        const int32_t frame = getFrameAndStackLocals(env, stack, &locals);
        jlong tag = 0;
        check(mainJvmti->GetTag(stack.thread, &tag), __LINE__);
        threads.put(tag, ThreadEntry{thread->sequenceNumber, uint32_t(frame)});
      }
      env->DeleteLocalRef(stack.thread);
    }
    jvmtiDeallocate(stacks);
  }
  splitter.report(19);
}

// ---- classes

void HeapWalk::describeLoadedClasses() {
  jint count = 0;
  jclass* loaded = nullptr;
  check(mainJvmti->GetLoadedClasses(&count, &loaded), __LINE__);
  JvmtiObjects released(env, mainJvmti);
  released.objects = reinterpret_cast<jobject*>(loaded);
  released.count = count;
  env->EnsureLocalCapacity(count + 16);
  for (jint i = 0; i < count; i++) {
    jlong tag = 0;
    check(mainJvmti->GetTag(loaded[i], &tag), __LINE__);
    if (pureTagOf(tag) == 0 || oldIbm()) numberAndSetTag(loaded[i], tag);
  }
  for (jint i = 0; i < count; i++) {
    jlong tag = 0;
    check(mainJvmti->GetTag(loaded[i], &tag), __LINE__);
    if (pureTagOf(tag) == 0) assertionFailed("assertion failed: class without a tag", "HeapWalk", __LINE__);
    classes.add(tag, describeClass(mainJvmti, env, loaded[i]));
  }
  logCount("WSN: loaded classes: ", count);
}

jvmtiIterationControl JNICALL HeapWalk::markClassObject(jlong classTag, jlong, jlong* tag, void*) {
  if (classTag == markedClassClass && *tag != markedClassClass) *tag = markedClass;
  return JVMTI_ITERATION_CONTINUE;
}

// Classes that GetLoadedClasses does not list (such as the JVM's hidden classes) are found as the heap's
// instances of java/lang/Class, marked on an environment of their own.
void HeapWalk::describeUnlistedClasses() {
  if (heapSnapshotJvmti == nullptr) assertionFailed("assertion failed: value is NULL", "HeapWalk", __LINE__);
  const jclass classClass = env->FindClass("java/lang/Class");
  if (classClass == nullptr) assertionFailed("assertion failed: value is NULL", "HeapWalk", __LINE__);
  check(heapSnapshotJvmti->SetTag(classClass, markedClassClass), __LINE__);
  env->DeleteLocalRef(classClass);
  check(iterateOverHeap(heapSnapshotJvmti, markClassObject, nullptr), __LINE__);
  JvmtiObjects marked(env, heapSnapshotJvmti);
  const jlong wanted = markedClass;
  check(heapSnapshotJvmti->GetObjectsWithTags(1, &wanted, &marked.count, &marked.objects, nullptr), __LINE__);
  logCount("WSN: tagged classes: ", marked.count);
  int32_t added = 0;
  for (jint i = 0; i < marked.count; i++) {
    const jclass klass = static_cast<jclass>(marked.objects[i]);
    jlong tag = 0;
    check(mainJvmti->GetTag(klass, &tag), __LINE__);
    if (pureTagOf(tag) == 0) tag = numberAndSetTag(klass, tag);
    if (classes.contains(tag)) continue;
    classes.add(tag, describeClass(mainJvmti, env, klass));
    added++;
  }
  logCount("WSN: additional class infos: ", added);
}

void HeapWalk::describeClasses() {
  logStep("WSN: classes...");
  describeLoadedClasses();
  describeUnlistedClasses();
}

// ---- counting

jint JNICALL HeapWalk::countTaggedObject(jlong classTag, jlong, jlong* tag, jint length, void* walk) {
  return guarded(walk, jint(JVMTI_VISIT_ABORT), jint(0), [&](HeapWalk& self) {
    if (classTag == 0 || *tag == 0) return;
    const int32_t index = self.indexOf(*tag);
    if (index != 0) self.arrayLengths[index] = uint32_t(length);
  });
}

void HeapWalk::countObjects(SnapshotWriter& out) {
  objectCount = numbering.count();
  arrayLengths.reset(new uint32_t[size_t(objectCount) + 1]());
  out.writeObjectCount(objectCount);
  logCount("WSN: tagCount=", objectCount);
  splitter.report(20);
  const jvmtiHeapCallbacks callbacks = callbacksOf(countTaggedObject);
  check(mainJvmti->IterateThroughHeap(JVMTI_HEAP_FILTER_UNTAGGED, nullptr, &callbacks, this), __LINE__);
  rethrowCallbackError();
  splitter.report(22);
  logStep("WSN: ITH 1 done");
}

// ---- records

jint JNICALL HeapWalk::writeInstanceOrObjectArray(jlong classTag, jlong size, jlong* tag, jint length, void* walk) {
  return guarded(walk, jint(JVMTI_VISIT_ABORT), jint(0), [&](HeapWalk& self) {
    if (classTag == 0 || *tag == 0) return;
    self.splitter.unitDone();
    const ObjectRecord record = allocationRecordOf(*tag);
    const int32_t index = objectIndexOf(*tag, record);
    if (index <= 0 || index > self.objectCount || self.fieldBlockPositions[index] != 0) return;
    const _ClassInfo& info = self.classes.lookup(classTag, __LINE__);
    if (isUnknownClassInfo(info) || info.isClassClass || info.isPrimitiveArray) return;
    const ObjectAttributes attributes = objectAttributesOf(*tag, size, record);
    const int32_t classId = objectIndexOf(classTag);
    if (info.isObjectArray) {
      self.fieldBlockPositions[index] =
          uint64_t(writeObjectArrayDump(*self.writer, index, classId, length, attributes));
      self.fieldCount += length;
    } else {
      self.fieldBlockPositions[index] =
          uint64_t(writeInstanceDump(*self.writer, index, classId, info.instanceBlockSize, attributes));
      self.fieldCount += info.instanceReferenceCount + info.instancePrimitiveCount;
    }
  });
}

jint JNICALL HeapWalk::advancePrimitiveArrayPass(jlong, jlong, jlong*, jint, void* walk) {
  return guarded(walk, jint(JVMTI_VISIT_ABORT), jint(0), [](HeapWalk& self) { self.splitter.unitDone(); });
}

jint JNICALL HeapWalk::writePrimitiveArray(jlong classTag, jlong size, jlong* tag, jint count,
                                           jvmtiPrimitiveType type, const void* elements, void* walk) {
  return guarded(walk, jint(JVMTI_VISIT_ABORT), jint(0), [&](HeapWalk& self) {
    if (classTag == 0 || *tag == 0) return;
    const ObjectRecord record = allocationRecordOf(*tag);
    const int32_t index = objectIndexOf(*tag, record);
    if (index <= 0 || index > self.objectCount) return;
    writePrimitiveArrayDump(*self.writer, index, objectAttributesOf(*tag, size, record), char(type), count,
                            elements);
  });
}

uint32_t HeapWalk::frameAtDepth(uint32_t leaf, int32_t depth) const {
  int32_t frame = int32_t(leaf);
  for (int32_t d = 0; d < depth && frame > 0; d++) {
    const FrameRecord* row = frameTable->getRow(frame, false);
    frame = row == nullptr ? 0 : row->parent;
  }
  return frame > 0 ? uint32_t(frame) : 0;
}

uint32_t HeapWalk::localNameId(jmethodID method, int32_t slot) const {
  const YVector<StackLocal*>* table = method == nullptr ? nullptr : locals.find(method);
  if (table == nullptr) return 0;
  for (int32_t i = 0; i < table->size; i++) {
    if (int32_t((*table)[i]->slot) == slot) return (*table)[i]->nameId;
  }
  return 0;
}

bool HeapWalk::startRoot(const char* callback, jvmtiHeapRootKind kind, bool kindTaken, jlong tag, RootRecord& root) {
  if (!kindTaken) {
    YString line("warning: ");
    line.append(callback);
    line.append(": JVM passed improper root kind: ");
    line.appendLong(kind);
    logDistinctMessage(rootKindWarnings, line);
    return false;
  }
  root.objectId = indexOf(tag);
  root.kindNameId = rootKindIds[kind];
  return root.objectId != 0 && root.kindNameId != 0;
}

jvmtiIterationControl JNICALL HeapWalk::heap_root_callback_new(jvmtiHeapRootKind kind, jlong, jlong, jlong* tag,
                                                                void* walk) {
  return guarded(walk, JVMTI_ITERATION_ABORT, JVMTI_ITERATION_IGNORE, [&](HeapWalk& self) {
    RootRecord root;
    if (!self.startRoot("heap_root_callback_new", kind, kind >= 1 && kind <= 7, *tag, root)) return;
    if (kind == JVMTI_HEAP_ROOT_THREAD) root.thread = int32_t(self.threads.get(*tag).sequence);
    writeRootRecord(*self.writer, root);
  });
}

jvmtiIterationControl JNICALL HeapWalk::stack_reference_callback_new(jvmtiHeapRootKind kind, jlong, jlong,
                                                                      jlong* tag, jlong threadTag, jint depth,
                                                                      jmethodID method, jint slot, void* walk) {
  return guarded(walk, JVMTI_ITERATION_ABORT, JVMTI_ITERATION_IGNORE, [&](HeapWalk& self) {
    RootRecord root;
    const bool local = kind == JVMTI_HEAP_ROOT_STACK_LOCAL || kind == JVMTI_HEAP_ROOT_JNI_LOCAL;
    if (!self.startRoot("stack_reference_callback_new", kind, local, *tag, root)) return;
    const ThreadEntry thread = threadTag == 0 ? ThreadEntry{0, 0} : self.threads.get(threadTag);
    root.thread = int32_t(thread.sequence);
    root.threadObjectId = self.indexOf(threadTag);
    if (thread.sequence != 0) root.frame = int32_t(self.frameAtDepth(thread.frame, depth));
    root.localNameId = int32_t(self.localNameId(method, slot));
    writeRootRecord(*self.writer, root);
  });
}

void HeapWalk::writeHeap(SnapshotWriter& out) {
  writer = &out;
  splitter.report(23);
  writeNameRecords(out, classes);
  out.beginSegment(heapSegmentTag);
  heapStart = out.getPosition();
  logStep("WSN: heap segment...");
  writeClassDumps(out, classes);
  logStep("WSN: classes dumped");

  fieldBlockPositions.reset(new uint64_t[size_t(objectCount) + 1]());
  splitter.setRange(25, 37, objectCount);
  const jvmtiHeapCallbacks objects = callbacksOf(writeInstanceOrObjectArray);
  check(mainJvmti->IterateThroughHeap(JVMTI_HEAP_FILTER_UNTAGGED, nullptr, &objects, this), __LINE__);
  rethrowCallbackError();
  logStep("WSN: O+OA done");
  heapEnd = out.getPosition();

  splitter.setRange(37, 50, objectCount);
  jvmtiHeapCallbacks arrays = callbacksOf(advancePrimitiveArrayPass);
  arrays.array_primitive_value_callback = writePrimitiveArray;
  check(mainJvmti->IterateThroughHeap(JVMTI_HEAP_FILTER_UNTAGGED, nullptr, &arrays, this), __LINE__);
  rethrowCallbackError();
  logStep("WSN: PA done");
  splitter.report(50);

  check(mainJvmti->IterateOverReachableObjects(heap_root_callback_new, stack_reference_callback_new, nullptr, this),
        __LINE__);
  rethrowCallbackError();
  out.endSegment();
  writeHeapDumpEnd(out);
  writer = nullptr;
}

// ---- values and the appended record

void HeapWalk::advanceFillProgress(void* walk) { static_cast<HeapWalk*>(walk)->splitter.unitDone(); }

YString HeapWalk::fillValues(const YString& path) {
  YString result;
  FileMemoryMapper mapper(path, heapStart, heapEnd);
  if (mapper.isMapped()) {
    FieldValueFiller filler;
    filler.mapper = &mapper;
    filler.classes = &classes;
    filler.objectIndexOf = static_cast<int32_t (*)(jlong)>(objectIndexOf);
    filler.fieldBlockPositions = fieldBlockPositions.get();
    filler.arrayLengths = arrayLengths.get();
    filler.objectCount = objectCount;
    filler.advanceProgress = advanceFillProgress;
    filler.progressContext = this;

    logStep("WSN: map 1...");
    splitter.setRange(52, 95, fieldCount);
    jvmtiHeapCallbacks primitives{};
    primitives.primitive_field_callback = fillPrimitiveFields;
    check(mainJvmti->IterateThroughHeap(JVMTI_HEAP_FILTER_UNTAGGED, nullptr, &primitives, &filler), __LINE__);
    rethrowFillError(filler);
    if (!mapper.failed()) {
      logStep("WSN: map 2...");
      jvmtiHeapCallbacks references{};
      references.heap_reference_callback = fillReferenceFields;
      check(mainJvmti->FollowReferences(JVMTI_HEAP_FILTER_UNTAGGED, nullptr, nullptr, &references, &filler),
            __LINE__);
      rethrowFillError(filler);
    }
    splitter.report(98);
  } else {
    result = YString("Cannot map file: ") + path;
  }
  if (mapper.failed()) {
    result = YString(
        "cannot map the snapshot file to memory.\n"
        "The snapshot directory possibly belongs to a file system which does not support file mapping.\n"
        "See the Help on how to customize the snapshot directory.");
  }
  return result;
}

YString HeapWalk::appendClassReferences(const YString& path) {
  logStep("WSN: appending...");
  YString result;
  const int32_t fd = openExistingFileForWrite(path);
  if (fd < 0) {
    result = YString("Cannot open snapshot file (append)");
  } else {
    {
      SnapshotWriter out(fd, true, byteOrderBigEndian);
      out.positionAtEnd();
      writeClassReferenceRecord(out, classes);
      out.finish(result);
    }
    closeFile(fd);
  }
  logStep("WSN: appending done");
  return result;
}
