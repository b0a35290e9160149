#include "agent/natives/ObjectStorageNatives.h"

#include <cstdint>
#include <memory>
#include <optional>

#include "agent/heap/ObjectStorage.h"
#include "agent/heap/ReferenceSearches.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/support/FatalError.h"
#include "agent/support/JniArrays.h"
#include "agent/support/JniStrings.h"
#include "agent/support/JniUtils.h"
#include "agent/support/Log.h"
#include "agent/support/YString.h"

namespace {

constexpr const char* source = "ObjectStorageNatives";
// Storages of this many objects and more are refused with "tmo::<count>" before anything is made.
constexpr int32_t tooManyObjects = 0x7ffffff0;

YString withNumber(const char* text, int64_t value) {
  YString result(text);
  result.appendLong(value);
  return result;
}

[[noreturn]] void refuse(const YString& message, int32_t line) { assertionFailed(message.data, source, line); }

YString objectRefusal(const ObjectStorage& storage, int32_t object) {
  YString text = withNumber("assertion failed: object index ", object);
  text.append(" outside 0..");
  text.appendLong(storage.n - 1);
  return text;
}

YString countRefusal(int32_t count) { return withNumber("assertion failed: negative count ", count); }

ObjectStorage& storageOf(jlong handle, int32_t line) {
  if (handle == 0) refuse("assertion failed: value is NULL", line);
  return *reinterpret_cast<ObjectStorage*>(static_cast<intptr_t>(handle));
}

void checkObject(const ObjectStorage& storage, int32_t object, int32_t line) {
  if (!storage.isValidObjectIndex(object)) refuse(objectRefusal(storage, object), line);
}

void checkCount(int32_t count, int32_t line) {
  if (count < 0) refuse(countRefusal(count), line);
}

void checkRefIndex(ObjectStorage& storage, int32_t object, int32_t refIndex, int32_t line) {
  if (storage.references.isValidRefIndex(object, refIndex)) return;
  YString text = withNumber("assertion failed: reference index ", refIndex);
  text.append(" outside the ");
  text.appendLong(storage.references.getRefCount(object));
  text.append(" references of object ");
  text.appendLong(object);
  refuse(text, line);
}

// Runs `body` on one object once the handle and the object index are checked.
template <class Body>
auto withObject(JNIEnv* env, int32_t line, jlong handle, jint object, Body body) {
  return runNativeIn(env, source, line, [&] {
    ObjectStorage& storage = storageOf(handle, line);
    checkObject(storage, object, line);
    return body(storage, object);
  });
}

// The elements of a bulk call's Java arrays, in place (GetPrimitiveArrayCritical), opened in argument
// order and released in reverse order without copying back. Opening stops at the first array the JVM
// cannot give. While they are held the thread calls no JNI function.
template <int N>
class ArrayViews {
 public:
  ArrayViews(JNIEnv* env, const jarray (&arrays)[N]) {
    for (int32_t k = 0; k < N; k++) {
      views[k].emplace(env, arrays[k]);
      if (views[k]->elements == nullptr) return;
      opened++;
    }
  }

  bool complete() const { return opened == N; }
  const void* elementsOf(int32_t k) const { return views[k]->elements; }
  const int32_t* ints(int32_t k) const { return static_cast<const int32_t*>(views[k]->elements); }

 private:
  std::optional<ReadOnlyCriticalArrayElements> views[N];  // an array's elements are destroyed last first
  int32_t opened = 0;
};

// The refusal text of the first of the `count` object indices that lies outside the storage; empty when
// all lie inside.
YString refusedObjects(const ObjectStorage& storage, const int32_t* objects, int32_t count) {
  for (int32_t k = 0; k < count; k++) {
    if (!storage.isValidObjectIndex(objects[k])) return objectRefusal(storage, objects[k]);
  }
  return YString();
}

// The course of every bulk setter. The count and then each array in argument order are checked (null, or
// shorter than the count), the arrays opened in place, and the entries checked by `refused` (which answers
// the refusal text of the first bad one, or an empty text) before `apply` writes any of them: a refused
// call writes nothing. An array the JVM cannot give is java.lang.OutOfMemoryError.
template <int N, class Refused, class Apply>
void setInBulk(JNIEnv* env, int32_t line, jlong handle, const jarray (&arrays)[N], jint count, Refused refused,
               Apply apply) {
  runNativeIn(env, source, line, [&] {
    ObjectStorage& storage = storageOf(handle, line);
    checkCount(count, line);
    for (int32_t k = 0; k < N; k++) {
      if (arrays[k] == nullptr) refuse("assertion failed: value is NULL", line);
      const jsize length = env->GetArrayLength(arrays[k]);
      if (count > length) {
        YString text = withNumber("assertion failed: count ", count);
        text.append(" beyond an array of ");
        text.appendLong(length);
        refuse(text, line);
      }
    }
    YString refusal;
    bool viewsComplete = false;
    {
      const ArrayViews<N> views(env, arrays);
      viewsComplete = views.complete();
      if (viewsComplete) refusal = refused(storage, views, count);
      if (viewsComplete && refusal.length == 0) apply(storage, views, count);
    }
    if (!viewsComplete) {
      throwElementsUnavailable(env);
    } else if (refusal.length > 0) {
      refuse(refusal, line);
    }
  });
}

// The bulk setters whose first array holds object indices and whose second their values (int32 or int64,
// `Value`): `set` stores one value of one object.
template <class Value, class Set>
void setValuesInBulk(JNIEnv* env, int32_t line, jlong handle, jintArray objects, jarray values, jint count, Set set) {
  setInBulk<2>(
      env, line, handle, {objects, values}, count,
      [](ObjectStorage& storage, const ArrayViews<2>& views, int32_t n) {
        return refusedObjects(storage, views.ints(0), n);
      },
      [&](ObjectStorage& storage, const ArrayViews<2>& views, int32_t n) {
        const int32_t* indices = views.ints(0);
        const Value* entries = static_cast<const Value*>(views.elementsOf(1));
        for (int32_t k = 0; k < n; k++) set(storage, indices[k], entries[k]);
      });
}

// The int[] arrays of a search, held in place in argument order; the one at `written` has its changes
// copied back when released, also when a broken invariant ends the search. Opening stops at the first
// array the JVM cannot give. Null arrays are refused, and lengths taken, before any array is held,
// since a held array allows no JNI call.
template <int N>
class SearchArrays {
 public:
  SearchArrays(JNIEnv* env, const jintArray (&arrays)[N], int32_t written, int32_t line) {
    for (int32_t k = 0; k < N; k++) {
      if (arrays[k] == nullptr) refuse("assertion failed: value is NULL", line);
      lengths[k] = env->GetArrayLength(arrays[k]);
    }
    for (int32_t k = 0; k < N; k++) {
      void* held = nullptr;
      if (k == written) {
        writable.emplace(env, arrays[k]);
        held = writable->elements;
      } else {
        readOnly[k].emplace(env, arrays[k]);
        held = const_cast<void*>(readOnly[k]->elements);
      }
      if (held == nullptr) return;
      elements[k] = static_cast<int32_t*>(held);
      opened++;
    }
  }

  bool complete() const { return opened == N; }
  const int32_t* ints(int32_t k) const { return elements[k]; }
  int32_t length(int32_t k) const { return lengths[k]; }
  ObjectMarks marks(int32_t k) const { return {elements[k], lengths[k]}; }
  ObjectSet set(int32_t k) const { return {elements[k], lengths[k]}; }

 private:
  int32_t* elements[N] = {};
  int32_t lengths[N] = {};
  int32_t opened = 0;
  std::optional<CriticalArrayElements> writable;
  std::optional<ReadOnlyCriticalArrayElements> readOnly[N];
};

// The course of every search: the handle checked, the arrays held, the search run on the references.
template <int N, class Search>
void searchIn(JNIEnv* env, int32_t line, jlong handle, const jintArray (&arrays)[N], int32_t written, Search search) {
  runNativeIn(env, source, line, [&] {
    ObjectStorage& storage = storageOf(handle, line);
    bool complete = false;
    {
      const SearchArrays<N> views(env, arrays, written, line);
      complete = views.complete();
      if (complete) search(storage.references, views);
    }
    if (!complete) throwElementsUnavailable(env);
  });
}

}  // namespace

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_Natives_createStorage(JNIEnv* env, jclass, jint objectCount) {
  return runNativeIn(env, source, __LINE__, [&]() -> jlong {
    logWithMemoryUsage(withNumber("createStorage: objectCount=", objectCount));
    if (objectCount >= tooManyObjects) {
      const YString text = withNumber("tmo::", objectCount);
      logMessage(text);
      throwRuntimeException(env, text.data);
      return 0;
    }
    if (!ObjectStorage::isValidCount(objectCount)) {
      refuse(withNumber("assertion failed: objectCount ", objectCount), __LINE__);
    }
    std::unique_ptr<ObjectStorage> storage(new ObjectStorage(objectCount));
    const jlong handle = jlong(reinterpret_cast<intptr_t>(storage.get()));
    logWithMemoryUsage(withNumber("createStorage: result=", handle));
    storage.release();
    return handle;
  });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_deleteStorage(JNIEnv* env, jclass, jlong storage) {
  runNativeIn(env, source, __LINE__, [&] {
    logWithMemoryUsage(withNumber("deleteStorage: ", storage));
    delete reinterpret_cast<ObjectStorage*>(static_cast<intptr_t>(storage));
    logWithMemoryUsage(YString("deleteStorage: exit"));
  });
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_Natives_getGenerationImpl(JNIEnv* env, jclass, jlong storage,
                                                                             jint object) {
  return withObject(env, __LINE__, storage, object, [](ObjectStorage& s, int32_t i) { return s.getGeneration(i); });
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_Natives_getRefCountImpl(JNIEnv* env, jclass, jlong storage,
                                                                           jint object) {
  return withObject(env, __LINE__, storage, object,
                    [](ObjectStorage& s, int32_t i) { return s.references.getRefCount(i); });
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_Natives_getRefImpl(JNIEnv* env, jclass, jlong storage, jint object,
                                                                      jint refIndex) {
  return withObject(env, __LINE__, storage, object, [&](ObjectStorage& s, int32_t i) {
    checkRefIndex(s, i, refIndex, __LINE__);
    return s.references.getRef(i, refIndex);
  });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_Natives_getPrimitiveDataPositionImpl(JNIEnv* env, jclass,
                                                                                         jlong storage, jint object) {
  return withObject(env, __LINE__, storage, object,
                    [](ObjectStorage& s, int32_t i) { return jlong(s.primitiveDataPosition.get(i)); });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_Natives_getOIDImpl(JNIEnv* env, jclass, jlong storage,
                                                                       jint object) {
  return withObject(env, __LINE__, storage, object, [](ObjectStorage& s, int32_t i) { return jlong(s.oid.get(i)); });
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_Natives_getCrc32(JNIEnv* env, jclass, jlong storage, jint object) {
  return withObject(env, __LINE__, storage, object, [](ObjectStorage& s, int32_t i) { return s.crc32.get(i); });
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_Natives_getAllocatorFrameImpl(JNIEnv* env, jclass, jlong storage,
                                                                                 jint object) {
  return withObject(env, __LINE__, storage, object,
                    [](ObjectStorage& s, int32_t i) { return s.allocatorFrame.get(i); });
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_Natives_getAllocatorTrnImpl(JNIEnv* env, jclass, jlong storage,
                                                                               jint object) {
  return withObject(env, __LINE__, storage, object,
                    [](ObjectStorage& s, int32_t i) { return s.allocatorThread.get(i); });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_Natives_getAllocatorTimestampMs(JNIEnv* env, jclass, jlong storage,
                                                                                    jint object) {
  return withObject(env, __LINE__, storage, object,
                    [](ObjectStorage& s, int32_t i) { return jlong(s.allocatorTimestamp.get(i)); });
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_Natives_getArrayLengthImpl(JNIEnv* env, jclass, jlong storage,
                                                                              jint object) {
  return withObject(env, __LINE__, storage, object, [](ObjectStorage& s, int32_t i) { return s.getArrayLength(i); });
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_Natives_getDominatorImpl(JNIEnv* env, jclass, jlong storage,
                                                                            jint object) {
  return withObject(env, __LINE__, storage, object,
                    [](ObjectStorage& s, int32_t i) { return s.immediateDominators[i]; });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_setNewRefCount(JNIEnv* env, jclass, jlong storage,
                                                                          jint object, jint count) {
  withObject(env, __LINE__, storage, object, [&](ObjectStorage& s, int32_t i) {
    checkCount(count, __LINE__);
    s.references.setNewRefCount(i, count);
  });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_setRefImpl(JNIEnv* env, jclass, jlong storage, jint object,
                                                                      jint target, jint refIndex) {
  withObject(env, __LINE__, storage, object, [&](ObjectStorage& s, int32_t i) {
    checkObject(s, target, __LINE__);
    checkRefIndex(s, i, refIndex, __LINE__);
    s.references.setRef(i, target, refIndex);
  });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_setAllocatorImpl(JNIEnv* env, jclass, jlong storage,
                                                                            jint object, jint frame, jint trn,
                                                                            jlong timestampMs) {
  withObject(env, __LINE__, storage, object, [&](ObjectStorage& s, int32_t i) {
    s.allocatorThread.set(i, trn);
    s.allocatorFrame.set(i, frame);
    s.allocatorTimestamp.set(i, timestampMs);
  });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_setGenerations(JNIEnv* env, jclass, jlong storage,
                                                                          jintArray objects, jintArray generations,
                                                                          jint count) {
  setValuesInBulk<int32_t>(env, __LINE__, storage, objects, generations, count,
                           [](ObjectStorage& s, int32_t i, int32_t value) { s.setGeneration(i, value); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_setArrayLengths(JNIEnv* env, jclass, jlong storage,
                                                                           jintArray objects, jintArray lengths,
                                                                           jint count) {
  setValuesInBulk<int32_t>(env, __LINE__, storage, objects, lengths, count,
                           [](ObjectStorage& s, int32_t i, int32_t value) { s.setArrayLength(i, value); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_setCrc32(JNIEnv* env, jclass, jlong storage,
                                                                    jintArray objects, jintArray crcs, jint count) {
  setValuesInBulk<int32_t>(env, __LINE__, storage, objects, crcs, count,
                           [](ObjectStorage& s, int32_t i, int32_t value) { s.crc32.set(i, value); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_setPrimitiveDataPositions(JNIEnv* env, jclass, jlong storage,
                                                                                     jintArray objects,
                                                                                     jlongArray positions, jint count) {
  setValuesInBulk<int64_t>(env, __LINE__, storage, objects, positions, count,
                           [](ObjectStorage& s, int32_t i, int64_t value) { s.primitiveDataPosition.set(i, value); });
}

// Both halves of every identifier are written, so that a smaller one replaces a larger one whole.
extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_setOIDs(JNIEnv* env, jclass, jlong storage,
                                                                   jintArray objects, jlongArray oids, jint count) {
  setValuesInBulk<int64_t>(env, __LINE__, storage, objects, oids, count,
                           [](ObjectStorage& s, int32_t i, int64_t value) { s.oid.set(i, value); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_setRefs(JNIEnv* env, jclass, jlong storage,
                                                                   jintArray sources, jintArray targets,
                                                                   jintArray refIndexes, jint count) {
  // Refused: an object index outside the storage in either role, and a negative reservation. A store
  // into a slot its list lacks depends on the reservations before it, so it only warns.
  setInBulk<3>(
      env, __LINE__, storage, {sources, targets, refIndexes}, count,
      [](ObjectStorage& s, const ArrayViews<3>& views, int32_t n) {
        const int32_t* from = views.ints(0);
        const int32_t* to = views.ints(1);
        const int32_t* slots = views.ints(2);
        for (int32_t k = 0; k < n; k++) {
          if (!s.isValidObjectIndex(from[k])) return objectRefusal(s, from[k]);
          if (!s.isValidObjectIndex(to[k])) return objectRefusal(s, to[k]);
          if (from[k] == 0 && slots[k] < 0) return countRefusal(slots[k]);
        }
        return YString();
      },
      [](ObjectStorage& s, const ArrayViews<3>& views, int32_t n) {
        const int32_t* from = views.ints(0);
        const int32_t* to = views.ints(1);
        const int32_t* slots = views.ints(2);
        ObjectRefStorage& references = s.references;
        for (int32_t k = 0; k < n; k++) {
          if (from[k] == 0) {
            references.allocate(to[k], slots[k]);
          } else if (references.isValidRefIndex(from[k], slots[k])) {
            references.setRef(from[k], to[k], slots[k]);
          } else {
            YString text = withNumber("warning: bad ref index: src=", from[k]);
            text.append(" refIndex=");
            text.appendLong(slots[k]);
            text.append(" refCount=");
            text.appendLong(references.getRefCount(from[k]));
            logMessage(text);
          }
        }
      });
}

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getStorageStatisticsImpl(JNIEnv* env, jclass,
                                                                                       jlong storage) {
  return runNativeIn(env, source, __LINE__,
                     [&] { return toJavaString(env, storageOf(storage, __LINE__).getStatistics()); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_f(JNIEnv* env, jclass, jlong storage, jintArray roots,
                                                             jintArray marks) {
  searchIn<2>(env, __LINE__, storage, {roots, marks}, 1, [](ObjectRefStorage& references, const SearchArrays<2>& a) {
    findReachable(references, a.ints(0), a.length(0), a.marks(1));
  });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_fStrong(JNIEnv* env, jclass, jlong storage,
                                                                   jintArray startSet, jintArray marks,
                                                                   jintArray excludedFields, jint excludedObject,
                                                                   jint excludedRefIndex) {
  searchIn<3>(env, __LINE__, storage, {startSet, marks, excludedFields}, 1,
              [&](ObjectRefStorage& references, const SearchArrays<3>& a) {
                findStronglyReachable(references, a.set(0), a.marks(1), a.ints(2), a.length(2), excludedObject,
                                      excludedRefIndex);
              });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_f0m(JNIEnv* env, jclass, jlong storage, jintArray set,
                                                               jintArray roots, jintArray result) {
  searchIn<3>(env, __LINE__, storage, {set, roots, result}, 2,
              [](ObjectRefStorage& references, const SearchArrays<3>& a) {
                findRetainedBySet(references, a.set(0), a.ints(1), a.length(1), a.marks(2));
              });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_f0o(JNIEnv* env, jclass, jlong storage, jintArray objects,
                                                               jint from, jint to, jintArray roots, jintArray result) {
  searchIn<3>(env, __LINE__, storage, {objects, roots, result}, 2,
              [&](ObjectRefStorage& references, const SearchArrays<3>& a) {
                findRetainedByObjects(references, a.ints(0), a.length(0), from, to, a.ints(1), a.length(1),
                                      a.marks(2));
              });
}
