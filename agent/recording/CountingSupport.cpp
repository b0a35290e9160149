#include "agent/recording/CountingSupport.h"

#include <memory>

#include "agent/core/AgentFlags.h"
#include "agent/core/Options.h"
#include "agent/db/DB.h"
#include "agent/support/FatalError.h"
#include "agent/support/JniUtils.h"
#include "agent/support/Log.h"
#include "agent/support/YMap.h"

std::atomic<bool> unsafeCreated{false};

namespace {

// Counter words are read while other threads add to them.
uint64_t loadCount(const uint64_t& word) { return __atomic_load_n(&word, __ATOMIC_RELAXED); }

// Sums the stripes of each chunk of counters into one scratch array of totals and sets the rows whose
// count differs. Instrumented code may be adding meanwhile: what a flush misses, the next one sees.
template <class Record>
void flushCounters(const CounterSet& counters, DBTable<Record> DB::*rows) {
  if (!unsafeCreated.load()) return;
  DB& database = requireDatabase();
  DBTable<Record>& table = database.*rows;
  const int32_t stripes = getCounterStripeCount();
  const std::unique_ptr<uint64_t[]> totals(new uint64_t[countersPerChunk]);
  for (int32_t chunk = 0; chunk < counters.size; chunk++) {
    const uint64_t* counts = counters.data[chunk];
    if (counts == nullptr) continue;
    for (int32_t slot = 0; slot < countersPerChunk; slot++) totals[slot] = loadCount(counts[slot]);
    for (int32_t stripe = 1; stripe < stripes; stripe++) {
      const uint64_t* words = counts + int64_t(stripe) * countersPerChunk;
      for (int32_t slot = 0; slot < countersPerChunk; slot++) totals[slot] += loadCount(words[slot]);
    }
    for (int32_t slot = 0; slot < countersPerChunk; slot++) {
      const int64_t total = int64_t(totals[slot]);
      const int32_t id = chunk * countersPerChunk + slot;
      Record* row = table.getRow(id, false);
      if (row == nullptr) {
        if (total == 0) continue;
        row = table.getRow(id, true);
      }
      if (row->count == total) continue;
      row->count = total;
      row->stamp = database.currentStamp;
    }
  }
}

template <class Record>
void resetBaseline(DBTable<Record>& table, int32_t stamp) {
  table.forEachRow([stamp](int64_t, Record& row) {
    if (row.stamp < 1 || row.base == row.count) return;
    row.base = row.count;
    row.stamp = stamp;
  });
}

// allocPointPair to the point's row.
YMap<int64_t, int32_t>& allocPoints() {
  static YMap<int64_t, int32_t>* const points = new YMap<int64_t, int32_t>(1000);
  return *points;
}

}  // namespace

// Never destroyed: instrumented code counts into them until the process is gone.
CounterSet& callCounters() {
  static CounterSet* const counters = new CounterSet;
  return *counters;
}

CounterSet& allocPointCounters() {
  static CounterSet* const counters = new CounterSet;
  return *counters;
}

int32_t getCounterStripeCount() {
  static const int32_t stripes = globalOptions().hasOption("_cf4") ? 4 : 8;
  return stripes;
}

uint64_t* getCountingSlot(int32_t n, CounterSet& counters) {
  const int32_t chunk = n >> 12;
  if (n < 0) yvectorRangeError("yvector::[]", chunk, counters.size);
  while (counters.size <= chunk) counters.add(nullptr);
  uint64_t*& counts = counters.data[chunk];
  if (counts == nullptr) counts = new uint64_t[size_t(getCounterStripeCount()) * countersPerChunk]();
  return counts + (n & (countersPerChunk - 1));
}

bool ensureUnsafeCreated(JNIEnv* env) {
  if (unsafeCreated.load()) return true;
  logMessage("ensureUnsafeCreated()");
  const jclass callback = findClass(env, "com/brantel/runtime/Callback");
  const jmethodID method = env->GetStaticMethodID(callback, "ensureUnsafeCreated", "()Z");
  if (method == nullptr) {
    env->ExceptionClear();  // NoSuchMethodError: the assertion below says it
    env->DeleteLocalRef(callback);
    assertionFailed("assertion failed: value is NULL", "CountingSupport", __LINE__);
  }
  const bool created = env->CallStaticBooleanMethod(callback, method) == JNI_TRUE;
  assertJni(env, "CountingSupport", __LINE__);
  env->DeleteLocalRef(callback);
  if (created) unsafeCreated.store(true);
  return created;
}

int32_t getAllocPointRow(int32_t codePointKey, int32_t classNameId) {
  DB& database = requireDatabase();
  YMap<int64_t, int32_t>& points = allocPoints();
  const int64_t pair = allocPointPair(codePointKey, classNameId);
  const int32_t slot = points.findInsertSlot(pair);
  if (slot < 0) {
    // An entry outlives a database that was made anew; it counts only while its row still holds it.
    const int32_t id = points.values[~slot];
    const AllocPointRecord* row = database.allocPoints.getRow(id, false);
    if (row != nullptr && row->stamp > 0 && row->codePointKey == codePointKey && row->classId == classNameId) return id;
  }
  const int32_t id = database.allocPoints.ids.allocate();
  *database.allocPoints.getRow(id, true) = AllocPointRecord{database.currentStamp, codePointKey, classNameId};
  if (slot < 0) {
    points.values[~slot] = id;
  } else {
    points.insertAt(slot, pair, id);
  }
  return id;
}

void flushCallCounters(const YCriticalSectionLock&) { flushCounters(callCounters(), &DB::callCounts); }

void flushAllocationCounters(const YCriticalSectionLock&) {
  flushCounters(allocPointCounters(), &DB::allocObjectCounts);
}

void resetCallCountBaseline(DBTable<CallCountRecord>& table, int32_t stamp) { resetBaseline(table, stamp); }

void resetAllocationCountBaseline(DBTable<AllocObjectCountRecord>& table, int32_t stamp) {
  resetBaseline(table, stamp);
}

bool isCpuProfilingOn() {
  const uint64_t mode = profilingFlags.load();
  if ((mode & PROFILING_CPU_MODE_MASK) == PROFILING_CALL_COUNTING) return false;
  return (mode & PROFILING_CPU_SAMPLING) != 0;
}
