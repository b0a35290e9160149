#include "agent/db/EventRows.h"

#include <cstdint>
#include <new>

#include "agent/core/Options.h"
#include "agent/db/DB.h"
#include "agent/db/EventTable.h"
#include "agent/recording/FrameTree.h"
#include "agent/support/FatalError.h"

namespace {

constexpr int64_t nanosecondsPerMs = 1000000;

bool hasTwoSlots(int32_t type) { return type == eventColumnLong || type == eventColumnLongValue; }

// The cell's first slot; fatal for a missing row, a column out of range or one of the other width.
int32_t checkedSlot(const EventTable& table, const EventRecord* row, int32_t column, bool twoSlots) {
  if (row == nullptr) assertionFailed("assertion failed: value is NULL", "EventTableOperations", 160);
  if (column < 0 || column >= table.columnTypes.size) assertionFailed("assertion failed", "EventTableOperations", 161);
  if (hasTwoSlots(table.columnTypes[column]) != twoSlots) {
    assertionFailed("assertion failed", "EventTableOperations", 164);
  }
  return table.columnFirstSlots[column];
}

}  // namespace

bool isEventColumn(const EventTable& table, int32_t column, bool twoSlots) {
  return column >= 0 && column < table.columnTypes.size && hasTwoSlots(table.columnTypes[column]) == twoSlots;
}

YMap<int32_t, int32_t>& eventRowKeys() {
  static YMap<int32_t, int32_t>* const keys = new YMap<int32_t, int32_t>(1000000);
  return *keys;
}

void clearEventRowKeys() { eventRowKeys().init(); }

EventRecord* getOrCreateEventRow(DB* database, int32_t rowKey, EventTable* table, int32_t tableId) {
  if (database == nullptr || table == nullptr) {
    assertionFailed("assertion failed: value is NULL", "EventTableOperations", 27);
  }
  // The Java side may pass any key; 0 is the key of deleted rows and names none.
  if (rowKey == 0) return nullptr;
  YMap<int32_t, int32_t>& keys = eventRowKeys();
  const int32_t existing = keys.get(rowKey);
  if (existing > 0) {
    // A key names one row; asked for in another table it is refused, as that row's cells lie elsewhere.
    EventRecord* row = database->events.getRow(existing, false);
    return row != nullptr && row->stamp > 0 && row->tableId == tableId ? row : nullptr;
  }
  EventTable* root = table->getRootTable();
  if (root->rowCount >= globalOptions().probeTableLengthLimit) return nullptr;
  IdAllocator& ids = database->events.ids;
  const int32_t id = ids.peek();
  if (id < 1) {
    ids.allocate();  // such an id never names a row: drop it
    return nullptr;
  }
  try {
    // The id is taken only once nothing more can fail, so that running out of memory leaves no trace.
    EventRecord& row = *database->events.getRow(id, true);
    row.slots.size = 0;
    row.slots.growTo(table->slotCount - 1);
    keys.put(rowKey, id);
    ids.allocate();
    row.rowKey = rowKey;
    row.tableId = tableId;
    row.stamp = database->currentStamp;
    root->rowCount++;
    return &row;
  } catch (const std::bad_alloc&) {
    onExceptionCaught("EventTableOperations", 51);
    // A map that failed to grow may hold the key already.
    if (keys.get(rowKey) == id) keys.remove(rowKey);
    return nullptr;
  }
}

void setRowValue(const EventTable& table, EventRecord* row, int32_t column, int32_t value) {
  const int32_t slot = checkedSlot(table, row, column, false);
  row->slots[slot] = value;
}

void setEventRowLong(const EventTable& table, EventRecord* row, int32_t column, int64_t value) {
  const int32_t slot = checkedSlot(table, row, column, true);
  row->slots[slot] = int32_t(uint32_t(uint64_t(value)));
  row->slots[slot + 1] = int32_t(uint32_t(uint64_t(value) >> 32));
}

int64_t getEventRowChecked(const EventTable& table, const EventRecord* row, int32_t column) {
  const int32_t slot = checkedSlot(table, row, column, true);
  const uint64_t low = uint32_t(row->slots[slot]);
  const uint64_t high = uint32_t(row->slots[slot + 1]);
  return int64_t(high << 32 | low);
}

EventRecord* openEventRow(const YCriticalSectionLock&, int32_t tableId, int32_t rowKey, int64_t startTimeNs,
                          int32_t frame, int32_t thread) {
  DB& database = requireDatabase();
  EventTable* table = eventTableById(database, tableId);
  if (table == nullptr) return nullptr;
  EventRecord* row = getOrCreateEventRow(&database, rowKey, table, tableId);
  if (row == nullptr) return nullptr;
  setEventRowLong(*table, row, table->uptimeColumn, startTimeNs);
  if (table->threadColumn >= 0) setRowValue(*table, row, table->threadColumn, thread);
  if (table->frameColumn >= 0 && frame >= 1) {
    // The event belongs to the code that called the probe, not to the probe's own frames.
    setRowValue(*table, row, table->frameColumn, getOuterFrameOfMarkedRun(frame));
  }
  row->stamp = database.currentStamp;
  return row;
}

void closeEventRow(const YCriticalSectionLock&, int32_t tableId, int32_t rowKey, int64_t endTimeNs,
                   const char* exceptionText) {
  DB& database = requireDatabase();
  EventTable* table = eventTableById(database, tableId);
  if (table == nullptr) return;
  try {
    EventRecord* row = getOrCreateEventRow(&database, rowKey, table, tableId);
    if (row == nullptr) return;
    if (endTimeNs != 0 && table->uptimeEndColumn >= 0) {
      setEventRowLong(*table, row, table->uptimeEndColumn, endTimeNs);
      if (table->minimumLastingMs > 0) {
        const int64_t start = getEventRowChecked(*table, row, table->uptimeColumn);
        // Times come from the Java side: the difference wraps instead of overflowing.
        const int64_t duration = int64_t(uint64_t(endTimeNs) - uint64_t(start));
        if (duration < table->minimumLastingMs * nanosecondsPerMs) {
          table->removeRow(getEventRowIdOfKey(rowKey), database.currentStamp);
          return;
        }
      }
    }
    if (table->exceptionColumn >= 0) {
      setRowValue(*table, row, table->exceptionColumn, exceptionText == nullptr ? 0 : getStringId(exceptionText));
    }
    row->stamp = database.currentStamp;
  } catch (const std::bad_alloc&) {
    onExceptionCaught("EventTableOperations", 144);
  }
}

int32_t getEventRowIdOfKey(int32_t rowKey) { return eventRowKeys().get(rowKey); }

std::atomic<int32_t> lastEventRowKey{0};

int32_t nextEventRowKey() {
  int32_t last = lastEventRowKey.load();
  int32_t next;
  do {
    next = last == INT32_MAX ? 1 : last + 1;
  } while (!lastEventRowKey.compare_exchange_weak(last, next));
  return next;
}
