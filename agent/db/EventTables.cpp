#include <memory>
#include <new>

#include "agent/db/DB.h"
#include "agent/db/EventTable.h"
#include "agent/db/WriteInProgress.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/support/CommonUtils.h"
#include "agent/support/FatalError.h"
#include "agent/support/NamedLocks.h"

namespace {

// Whether following masters from `masterId` reaches `newId`: the new table would be its own ancestor.
// The tables that exist form no cycle, each having passed this test when it was made.
bool masterChainReaches(DB& database, int32_t masterId, int32_t newId) {
  for (int32_t id = masterId; id != newId; id = database.eventTables[id]->masterId) {
    if (eventTableById(database, id) == nullptr) return false;
  }
  return true;
}

// The parsed description: its non-empty lines, then a name and a type per column.
int32_t parseDescription(const YString& description, YVector<YString>& lines, YVector<YString>& names,
                         YVector<int32_t>& types) {
  splitByDelimiters(description, "\n", lines);
  if (lines.size < 1) return eventTableNoLines;
  if (lines.size < 2) return eventTableOnlyName;
  const int32_t columns = lines[1].parseInt();
  if (columns < 1) return eventTableBadColumnCount;
  int32_t line = 2;
  for (int32_t column = 0; column < columns; column++, line += 2) {
    if (line >= lines.size) return eventTableMissingColumnName;
    if (line + 1 >= lines.size) return eventTableMissingColumnType;
    const int32_t type = lines[line + 1].parseInt();
    if (type < eventColumnInt || type > eventColumnLongValue) return eventTableBadColumnType;
    names.add(lines[line]);
    types.add(type);
  }
  return 0;
}

}  // namespace

int32_t DB::createEventTable(const YString& description) {
  if (nextEventTableId == eventTableIdLimit) return eventTableIdsExhausted;
  const int32_t id = nextEventTableId;
  try {
    YVector<YString> lines;
    YVector<YString> names;
    YVector<int32_t> types;
    if (int32_t refused = parseDescription(description, lines, names, types)) return refused;
    if (int32_t refused = checkEventTableColumns(names, types)) return refused;
    auto table = std::make_unique<EventTable>(*this, lines, description, names, types);
    if (masterChainReaches(*this, table->masterId, id)) return eventTableMasterCycle;
    // Tables that named this identifier as master before it existed were roots of their own: their
    // rows now count against the new table's family.
    for (int32_t other = firstEventTableId; other < id; other++) {
      EventTable* dependent = eventTables[other].get();
      if (dependent == nullptr || dependent->masterId != id) continue;
      table->rowCount += dependent->rowCount;
      dependent->rowCount = 0;
    }
    eventTables[id] = std::move(table);
    nextEventTableId = id + 1;
    return id;
  } catch (const std::bad_alloc&) {
    onExceptionCaught("DB", 322);
    return eventTableOutOfMemory;
  }
}

void DB::clearEventTables(YString& report, const YString& names) {
  report = YString();
  YVector<YString> wanted;
  splitByDelimiters(names, "\n", wanted);
  YCriticalSectionLock held(&ourLock(), "DB:361");
  YVector<int32_t> ids;
  for (int32_t i = 0; i < wanted.size; i++) {
    for (int32_t id = firstEventTableId; id < eventTableIdLimit; id++) {
      if (eventTables[id] != nullptr && eventTables[id]->name.equals(wanted[i])) ids.add(id);
    }
  }
  clearEventTablesById(report, ids);
}

void DB::clearEventTablesById(YString& report, const YVector<int32_t>& ids) {
  report = YString();
  if (ids.size == 0) return;
  // Identifiers outside 32 to 127 name no table; probes that never got a table pass 0 or a refusal code.
  bool cleared[eventTableIdLimit] = {};
  for (int32_t i = 0; i < ids.size; i++) {
    if (ids[i] >= firstEventTableId && ids[i] < eventTableIdLimit) cleared[ids[i]] = true;
  }
  YCriticalSectionLock held(&ourLock(), "DB:384");
  {
    // Rows written before the clear still wait in the threads' buffers: they go with the rest.
    WriteInProgress writing;
    processAllThreadEvents(held);
  }
  for (bool added = true; added;) {
    added = false;
    for (int32_t id = firstEventTableId; id < eventTableIdLimit; id++) {
      const EventTable* table = eventTables[id].get();
      if (table == nullptr || cleared[id] || eventTableById(*this, table->masterId) == nullptr) continue;
      if (cleared[table->masterId]) cleared[id] = added = true;
    }
  }
  for (int32_t id = firstEventTableId; id < eventTableIdLimit; id++) {
    if (!cleared[id]) continue;
    report.append('#');
    report.appendLong(id);
    if (eventTables[id] != nullptr) {
      report.append(' ');
      report.append(eventTables[id]->name);
    }
    report.append('\n');
  }
  events.forEachRow([&](int64_t index, EventRecord& row) {
    if (row.stamp > 0 && row.tableId >= 0 && row.tableId < eventTableIdLimit && cleared[row.tableId]) {
      deleteEventRow(*this, int32_t(index), row, currentStamp);
    }
  });
}

void DB::getTopEventTableNames(YString& names, int32_t minimum) {
  names = YString();
  YCriticalSectionLock held(&ourLock(), "DB:412");
  for (int32_t id = firstEventTableId; id < eventTableIdLimit; id++) {
    const EventTable* table = eventTables[id].get();
    if (table == nullptr || table->masterId != -1) continue;
    if (minimum >= 0 && table->rowCount < minimum) continue;
    if (names.length > 0) names.append('\n');
    names.append(table->name);
  }
}
