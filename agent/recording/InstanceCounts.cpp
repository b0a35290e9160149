#include "agent/recording/InstanceCounts.h"

#include <jvmti.h>

#include <cstring>
#include <new>

#include "agent/core/JvmtiEnvironments.h"
#include "agent/db/DB.h"
#include "agent/db/StringPool.h"
#include "agent/recording/ClassSignature.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/NamedLocks.h"

namespace {

constexpr int32_t initialClassCapacity = 10000;

// The loaded classes of one GetLoadedClasses call: the local references not yet let go and the array are released
// however the tagging ends.
class LoadedClasses {
 public:
  explicit LoadedClasses(JNIEnv* env) : env(env) {
    checkJvmtiError(instanceCountJvmti->GetLoadedClasses(&count, &classes), "InstanceCounting", __LINE__);
    // Every class arrives as a local reference at once, far beyond the frame's guaranteed room.
    env->EnsureLocalCapacity(count + 16);
  }
  ~LoadedClasses() {
    for (jint i = released; i < count; i++) env->DeleteLocalRef(classes[i]);
    instanceCountJvmti->Deallocate(reinterpret_cast<unsigned char*>(classes));
  }
  LoadedClasses(const LoadedClasses&) = delete;
  LoadedClasses& operator=(const LoadedClasses&) = delete;

  // Lets go of the class at `i`, the next one not yet released.
  void release(jint i) {
    env->DeleteLocalRef(classes[i]);
    released = i + 1;
  }

  jint count = 0;
  jclass* classes = nullptr;

 private:
  JNIEnv* const env;
  jint released = 0;
};

// What the heap pass fills. An allocation failure stops the pass: no exception may unwind through the JVM's frames.
struct HeapPass {
  YMap<int32_t, InstanceTotals>* counts;
  bool outOfMemory;
};

jvmtiIterationControl JNICALL countObject(jlong classTag, jlong size, jlong*, void* userData) {
  if (classTag == 0) return JVMTI_ITERATION_CONTINUE;  // a class loaded after the tagging
  HeapPass& pass = *static_cast<HeapPass*>(userData);
  const int32_t id = int32_t(classTag);
  try {
    int32_t slot = pass.counts->indexOf(id);
    if (slot < 0) {
      pass.counts->put(id, InstanceTotals{0, 0});
      slot = pass.counts->indexOf(id);
    }
    InstanceTotals& totals = pass.counts->values[slot];
    totals.count++;
    if (size > 0) totals.totalSize += uint64_t(size);
  } catch (const std::bad_alloc&) {
    pass.outOfMemory = true;
    return JVMTI_ITERATION_ABORT;
  }
  return JVMTI_ITERATION_CONTINUE;
}

// Whether row `id` already carries its class's name.
bool named(DB& database, int32_t id) {
  const InstanceCountRecord* row = database.instanceCounts.findRow(id);
  return row != nullptr && row->classNameId != 0;
}

}  // namespace

InstanceCounts::InstanceCounts(JNIEnv* env, int32_t flags) {
  if ((flags & 1 << tableInstanceCount) != 0) countInstances(env);
}

InstanceCounts::~InstanceCounts() {
  if (classNames == nullptr) return;
  for (int32_t slot = 0; slot < classNames->capacity; slot++) {
    if (classNames->states[slot] == kSlotUsed) delete[] classNames->values[slot];
  }
}

void InstanceCounts::countInstances(JNIEnv* env) {
  if (instanceCountJvmti == nullptr) return;
  counts.reset(new YMap<int32_t, InstanceTotals>(initialClassCapacity));
  classNames.reset(new YMap<int32_t, char*>(initialClassCapacity));
  tagLoadedClasses(env);
  // Outside "ourLock": the pass stops the world for as long as the heap takes, and the threads that record would wait
  // for it meanwhile.
  HeapPass pass{counts.get(), false};
  iterateOverHeap(instanceCountJvmti, countObject, &pass);
  if (pass.outOfMemory) throw std::bad_alloc();
}

void InstanceCounts::tagLoadedClasses(JNIEnv* env) {
  // Two counts at once (a table reply and a snapshot) would otherwise share the id allocator unguarded and could give
  // one class two ids.
  YCriticalSectionLock held(&ourLock(), "InstanceCounting:1");
  LoadedClasses loaded(env);
  for (jint i = 0; i < loaded.count; i++) {
    const jclass klass = loaded.classes[i];
    jlong tag = 0;
    checkJvmtiError(instanceCountJvmti->GetTag(klass, &tag), "InstanceCounting", __LINE__);
    if (tag == 0) {
      const int32_t id = requireDatabase().instanceCounts.ids.allocate();
      rememberName(id, klass);
      checkJvmtiError(instanceCountJvmti->SetTag(klass, id), "InstanceCounting", __LINE__);
    } else if (!named(requireDatabase(), int32_t(tag))) {
      // Tagged by a count whose rows were never written (its reply or snapshot failed first): the name would otherwise
      // be lost for good.
      rememberName(int32_t(tag), klass);
    }
    loaded.release(i);
  }
}

void InstanceCounts::rememberName(int32_t id, jclass klass) {
  const YString name = getClassSignature(klass, nullptr);
  std::unique_ptr<char[]> copy(new char[size_t(name.length) + 1]);
  std::memcpy(copy.get(), name.data, size_t(name.length) + 1);
  classNames->put(id, copy.get());
  copy.release();
}

void InstanceCounts::updateInstanceCounts(const YCriticalSectionLock&) {
  if (counts == nullptr) return;
  DB& database = requireDatabase();
  DBTable<InstanceCountRecord>& rows = database.instanceCounts;
  const int32_t stamp = database.currentStamp;
  for (int32_t slot = 0; slot < classNames->capacity; slot++) {
    if (classNames->states[slot] != kSlotUsed) continue;
    InstanceCountRecord& row = *rows.getRow(classNames->keys[slot], true);
    row.classNameId = getStringId(classNames->values[slot]);
    row.stamp = stamp;
  }
  const int32_t end = int32_t(rows.endIndex());
  for (int32_t id = 0; id < end; id++) {
    const InstanceTotals totals = counts->get(id);
    InstanceCountRecord* row = rows.getRow(id, false);
    const int32_t count = int32_t(totals.count);
    const int64_t size = int64_t(totals.totalSize);
    if (row == nullptr) {
      if (count == 0 && size == 0) continue;
      row = rows.getRow(id, true);
    } else if (row->instanceCount == count && row->totalSize == size) {
      continue;
    }
    row->instanceCount = count;
    row->totalSize = size;
    row->stamp = stamp;
  }
}
