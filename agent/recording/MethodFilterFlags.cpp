#include "agent/recording/MethodFilterFlags.h"

#include <memory>

#include "agent/classfile/Filter.h"
#include "agent/db/DB.h"
#include "agent/recording/MethodStore.h"
#include "agent/support/FatalError.h"

bool allMethodsWallTime = false;

namespace {

// Owns its filters. Never destroyed: class loads may still create method records while the process
// exits.
YVector<Filter*>& wallTimeFilters() {
  static YVector<Filter*>* const filters = new YVector<Filter*>(16);
  return *filters;
}

// A text the record refers to; a row that is gone reads as the empty text.
const char* recordText(const DB& database, int32_t stringId) {
  if (stringId < 0) assertionFailed("assertion failed", "Filter", __LINE__);
  const StringRecord* row = stringId > 0 ? database.strings.findRow(stringId) : nullptr;
  return row != nullptr && row->stamp > 0 && row->body != nullptr ? row->body : "";
}

bool matchesRecord(const DB& database, const Filter& filter, const MethodRecord& record) {
  return filter.matches(recordText(database, record.classNameId), recordText(database, record.nameId),
                        recordText(database, record.parametersId));
}

bool isWallTimeMethod(const DB& database, const MethodRecord& record) {
  if (allMethodsWallTime) return true;
  const YVector<Filter*>& filters = wallTimeFilters();
  for (int32_t i = 0; i < filters.size; i++) {
    const Filter& filter = *filters[i];
    if (filter.type != filterWallTime) assertionFailed("assertion failed", "Filter", __LINE__);
    if (matchesRecord(database, filter, record)) return true;
  }
  return false;
}

}  // namespace

void setGlobalFilters(const YVector<YString>* lines) {
  if (lines == nullptr) assertionFailed("assertion failed: value is NULL", "Filter", __LINE__);
  YVector<Filter*>& filters = wallTimeFilters();
  filters.deleteElements();
  allMethodsWallTime = false;
  bool starLine = false;
  bool otherLine = false;
  for (int32_t i = 0; i < lines->size; i++) {
    const YString& line = lines->get(i);
    std::unique_ptr<Filter> filter(parseFilterSpec(line, filterWallTime));
    if (filter == nullptr) continue;
    filters.add(filter.get());
    filter.release();
    // Only the bare "*" says "every method"; "*:*(*)" matches each of them but leaves the setting off.
    (line.equals("*") ? starLine : otherLine) = true;
  }
  allMethodsWallTime = starLine && !otherLine;
  if (db == nullptr) fatalError("db is NULL", "Filter", __LINE__);
  DB* database = db;
  database->methods.forEachRow([database](int64_t, MethodRecord& row) { updateMethodFilterFlags(database, row); });
}

void updateMethodFilterFlags(DB* database, MethodRecord& record) {
  if (database == nullptr) fatalError("db is NULL", "Filter", __LINE__);
  int32_t flags = record.flags & ~(methodWallTime | methodAllWallTime | methodAdaptiveExcluded |
                                   methodAdaptiveCalleeExcluded);
  if (isWallTimeMethod(*database, record)) flags |= methodWallTime;
  if (allMethodsWallTime) flags |= methodAllWallTime;
  if (flags == record.flags) return;
  __atomic_store_n(&record.flags, flags, __ATOMIC_RELAXED);  // the entry natives read it without the lock
  record.stamp = database->currentStamp;
}

bool matchesMethodRecord(const Filter& filter, const MethodRecord& record) {
  if (db == nullptr) fatalError("db is NULL", "Filter", __LINE__);
  return matchesRecord(*db, filter, record);
}
