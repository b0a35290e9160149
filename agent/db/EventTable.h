#pragma once

#include <cstdint>

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

class DB;
struct EventRecord;

// Column type codes of an event table description.
enum EventColumnType : int32_t {
  eventColumnInt = 0,         // 32-bit value, one slot
  eventColumnLong = 1,        // 64-bit value, two slots (low half first)
  eventColumnString = 2,      // string id, one slot
  eventColumnMasterKey = 3,   // row key of a master-table row; the column name is the master's id
  eventColumnClassName = 4,   // string id of a class name, one slot
  eventColumnLongValue = 5,   // 64-bit value stored like type 1
};

// Results of DB::createEventTable below 0.
enum EventTableCreationError : int32_t {
  eventTableIdsExhausted = -1,
  eventTableOutOfMemory = -2,
  eventTableNoLines = -3,
  eventTableOnlyName = -4,
  eventTableBadColumnCount = -5,
  eventTableMissingColumnName = -6,
  eventTableMissingColumnType = -7,
  eventTableBadColumnType = -8,
  // A special column of the wrong type or given twice, a second master column, or no "uptime_ns".
  eventTableBrokenColumnRules = -9,
  // A master column whose name is 0 or not a number: no table can ever be its master.
  eventTableBadMasterId = -10,
  // The master chain leads back to the new table: its root could never be found.
  eventTableMasterCycle = -11,
};

// A kind of probe event, described by the text "<name>\n<column count>\n" followed by a name line and a
// type line per column (blank lines are skipped). Its rows are "event" rows carrying its identifier
// (32 to 127); tables are never deleted, only cleared. All state is guarded by "ourLock".
class EventTable {
 public:
  // `names` and `types` have passed checkEventTableColumns; anything else is fatal.
  EventTable(DB& database, const YVector<YString>& lines, const YString& description,
             const YVector<YString>& names, const YVector<int32_t>& types);
  EventTable(const EventTable&) = delete;
  EventTable& operator=(const EventTable&) = delete;

  // The last table reached by following master identifiers while they name an existing table; the
  // table itself when it has no master.
  EventTable* getRootTable();
  // Deletes the live "event" row `rowId` as deleteEventRow does; an absent or already deleted row
  // changes nothing. A negative id is fatal.
  void removeRow(int32_t rowId, int32_t generation);

  DB* database;
  YString name;
  YVector<int32_t> columnFirstSlots;
  YVector<int32_t> columnTypes;
  YString description;
  // Rows closed sooner than this many milliseconds after their start are dropped.
  int32_t minimumLastingMs = 0;
  // Live rows of this table and of every table below it; kept on root tables only.
  int32_t rowCount = 0;
  // Slots of every row.
  int32_t slotCount = 0;
  // Column indexes of the special columns, -1 when absent.
  int32_t uptimeColumn = -1;
  int32_t uptimeEndColumn = -1;
  int32_t exceptionColumn = -1;
  int32_t threadColumn = -1;
  int32_t frameColumn = -1;
  int32_t masterId = -1;
};

// 0 when the columns keep the rules an event table needs, else the negative creation code: -8 for a
// type outside 0 to 5, -9 for a special column of the wrong type or given twice, a second master
// column or no "uptime_ns", -10 for a master column whose name is 0 or not a decimal number.
int32_t checkEventTableColumns(const YVector<YString>& names, const YVector<int32_t>& types);

// The table of an identifier; null outside 32 to 127 and for an identifier no table has.
EventTable* eventTableById(DB& database, int32_t tableId);

// Deletes the live "event" row `rowId`: its id goes back to the table's allocator, its key leaves the
// key map and the live object values, its cells go, its stamp becomes -generation, and it is counted
// off the root of its own table (which must exist).
void deleteEventRow(DB& database, int32_t rowId, EventRecord& row, int32_t generation);
