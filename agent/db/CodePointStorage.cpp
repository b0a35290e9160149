#include "agent/db/CodePointStorage.h"

#include "agent/db/CodePointKey.h"
#include "agent/db/DB.h"
#include "agent/support/FatalError.h"
#include "agent/support/YMap.h"

namespace {

// By codePointPair. Never destroyed, so that code still recording while the process exits finds it
// intact.
YMap<int64_t, int32_t>& pairKeys() {
  static YMap<int64_t, int32_t>* const pairs = new YMap<int64_t, int32_t>(1000);
  return *pairs;
}

}  // namespace

int32_t CodePointStorage::getOrAdd(int32_t methodId, int32_t line) {
  const int32_t key = codePointKeyWithoutRow(methodId, line);
  return key != 0 ? key : getOrAddRow(methodId, line);
}

int32_t CodePointStorage::getOrAddRow(int32_t methodId, int32_t line) {
  DB& database = requireDatabase();
  YMap<int64_t, int32_t>& pairs = pairKeys();
  const int64_t pair = codePointPair(methodId, line);
  const int32_t slot = pairs.indexOf(pair);
  if (slot >= 0 && pairs.values[slot] != 0) {
    // A map entry outlives a database that was made anew; it counts only while its row still holds it.
    const int32_t key = pairs.values[slot];
    const CodePointRecord* row = database.codePoints.getRow(codePointRow(key), false);
    if (row != nullptr && row->stamp > 0 && row->methodId == methodId && row->line == line) return key;
  }
  const int32_t id = database.codePoints.ids.allocate();
  if (id < 0) assertionFailed("assertion failed", "CodePointStorage", 37);
  CodePointRecord* row = database.codePoints.getRow(id, true);
  *row = {database.currentStamp, methodId, line};
  const int32_t key = rowCodePointKey(id);
  pairs.put(pair, key);
  return key;
}
