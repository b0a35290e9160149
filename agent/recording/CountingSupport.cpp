#include "agent/recording/CountingSupport.h"

#include "agent/core/Options.h"
#include "agent/db/DB.h"
#include "agent/support/FatalError.h"
#include "agent/support/YMap.h"

namespace {

constexpr int32_t countersPerChunk = 4096;

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

int32_t getAllocPointRow(int32_t codePointKey, int32_t classNameId) {
  DB& database = requireDatabase();
  YMap<int64_t, int32_t>& points = allocPoints();
  const int64_t pair = allocPointPair(codePointKey, classNameId);
  if (const int32_t slot = points.indexOf(pair); slot >= 0) {
    // An entry outlives a database that was made anew; it counts only while its row still holds it.
    const int32_t id = points.values[slot];
    const AllocPointRecord* row = database.allocPoints.getRow(id, false);
    if (row != nullptr && row->stamp > 0 && row->codePointKey == codePointKey && row->classId == classNameId) return id;
  }
  const int32_t id = database.allocPoints.ids.allocate();
  *database.allocPoints.getRow(id, true) = AllocPointRecord{database.currentStamp, codePointKey, classNameId};
  points.put(pair, id);
  return id;
}

void resetCallCountBaseline(DBTable<CallCountRecord>& table, int32_t stamp) { resetBaseline(table, stamp); }

void resetAllocationCountBaseline(DBTable<AllocObjectCountRecord>& table, int32_t stamp) {
  resetBaseline(table, stamp);
}
