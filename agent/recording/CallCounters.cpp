#include "agent/recording/CallCounters.h"

namespace {

template <class Record>
void resetBaseline(DBTable<Record>& table, int32_t stamp) {
  table.forEachRow([stamp](int64_t, Record& row) {
    if (row.stamp < 1 || row.base == row.count) return;
    row.base = row.count;
    row.stamp = stamp;
  });
}

}  // namespace

void resetCallCountBaseline(DBTable<CallCountRecord>& table, int32_t stamp) { resetBaseline(table, stamp); }

void resetAllocationCountBaseline(DBTable<AllocObjectCountRecord>& table, int32_t stamp) {
  resetBaseline(table, stamp);
}
