#include "agent/db/EventTable.h"

#include "agent/db/DB.h"
#include "agent/db/EventRows.h"
#include "agent/recording/JavaObjectMaps.h"
#include "agent/support/FatalError.h"

namespace {

struct SpecialColumn {
  const char* name;
  int32_t type;
  int32_t EventTable::*index;
};

// "uptime_ns" first: every table must have it.
const SpecialColumn specialColumns[] = {
    {"uptime_ns", eventColumnLong, &EventTable::uptimeColumn},
    {"uptime_ns.end", eventColumnLong, &EventTable::uptimeEndColumn},
    {"exception_str", eventColumnString, &EventTable::exceptionColumn},
    {"thread", eventColumnInt, &EventTable::threadColumn},
    {"frame", eventColumnInt, &EventTable::frameColumn},
};

const SpecialColumn* findSpecialColumn(const YString& name) {
  for (const SpecialColumn& special : specialColumns) {
    if (name.equals(special.name)) return &special;
  }
  return nullptr;
}

bool isColumnType(int32_t type) { return type >= eventColumnInt && type <= eventColumnLongValue; }

int32_t slotsOf(int32_t type) { return type == eventColumnLong || type == eventColumnLongValue ? 2 : 1; }

// The master's identifier is the column's name in decimal; 0 when the name is anything else.
int32_t masterIdOfColumn(const YString& name) { return name.parseInt(); }

}  // namespace

int32_t checkEventTableColumns(const YVector<YString>& names, const YVector<int32_t>& types) {
  if (names.size != types.size) return eventTableBrokenColumnRules;
  bool seen[sizeof(specialColumns) / sizeof(specialColumns[0])] = {};
  bool hasMaster = false;
  for (int32_t column = 0; column < names.size; column++) {
    const int32_t type = types[column];
    if (!isColumnType(type)) return eventTableBadColumnType;
    if (const SpecialColumn* special = findSpecialColumn(names[column])) {
      bool& given = seen[special - specialColumns];
      if (special->type != type || given) return eventTableBrokenColumnRules;
      given = true;
    }
    if (type != eventColumnMasterKey) continue;
    if (hasMaster) return eventTableBrokenColumnRules;
    hasMaster = true;
    if (masterIdOfColumn(names[column]) == 0) return eventTableBadMasterId;
  }
  return seen[0] ? 0 : eventTableBrokenColumnRules;
}

EventTable::EventTable(DB& owner, const YVector<YString>& lines, const YString& text, const YVector<YString>& names,
                       const YVector<int32_t>& types)
    : database(&owner), name(lines[0]), description(text) {
  if (names.size != types.size) assertionFailed("assertion failed", "EventTable", 61);
  for (int32_t column = 0; column < types.size; column++) {
    if (isColumnType(types[column])) {
      slotCount += slotsOf(types[column]);
      continue;
    }
    YString message("unexpected column type: ");
    message.appendLong(types[column]);
    fatalError(message.data, "EventTable", 68);
  }
  if (checkEventTableColumns(names, types) != 0) assertionFailed("assertion failed", "EventTable", 74);
  int32_t slot = 0;
  for (int32_t column = 0; column < names.size; column++) {
    if (const SpecialColumn* special = findSpecialColumn(names[column])) this->*special->index = column;
    columnFirstSlots.add(slot);
    columnTypes.add(types[column]);
    slot += slotsOf(types[column]);
    if (types[column] == eventColumnMasterKey) masterId = masterIdOfColumn(names[column]);
  }
}

EventTable* EventTable::getRootTable() {
  EventTable* table = this;
  while (EventTable* master = eventTableById(*database, table->masterId)) table = master;
  return table;
}

void EventTable::removeRow(int32_t rowId, int32_t generation) {
  if (rowId < 0) assertionFailed("assertion failed", "EventTable", 95);
  EventRecord* row = database->events.getRow(rowId, false);
  if (row != nullptr && row->stamp > 0) deleteEventRow(*database, rowId, *row, generation);
}

EventTable* eventTableById(DB& database, int32_t tableId) {
  if (tableId < firstEventTableId || tableId >= eventTableIdLimit) return nullptr;
  return database.eventTables[tableId].get();
}

void deleteEventRow(DB& database, int32_t rowId, EventRecord& row, int32_t generation) {
  EventTable* owner = eventTableById(database, row.tableId);
  if (owner == nullptr) assertionFailed("assertion failed: value is NULL", "EventTable", 108);
  // The one step that may run out of memory comes first, so that a failure leaves the row as it was.
  database.events.ids.release(rowId);
  YMap<int32_t, int32_t>& keys = eventRowKeys();
  if (keys.get(row.rowKey) == rowId) keys.remove(row.rowKey);
  // A row key may also be a value of the Java side's object maps.
  forgetLiveObjectId(row.rowKey);
  row.rowKey = 0;
  row.tableId = 0;
  row.slots.size = 0;
  row.stamp = -generation;
  owner->getRootTable()->rowCount--;
}
