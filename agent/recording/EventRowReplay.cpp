#include "agent/recording/EventRowReplay.h"

#include "agent/db/DB.h"
#include "agent/db/EventRows.h"
#include "agent/db/EventTable.h"
#include "agent/db/StringPool.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"

namespace {

constexpr int64_t nanosecondsPerMs = 1000000;

int64_t wideValue(const uint32_t* words) { return int64_t(uint64_t(words[0]) | uint64_t(words[1]) << 32); }

DB& databaseOrFatal(int32_t line) {
  if (db == nullptr) fatalError("db is NULL", "ThreadInfo", line);
  return *db;
}

// A probe may name any column: one the table lacks, or of the other width, is its fault, and the replay
// of the rest of the buffer must not stop at it.
bool checkColumn(const EventTable& table, int32_t tableId, int32_t column, bool twoSlots) {
  if (isEventColumn(table, column, twoSlots)) return true;
  YString message("error: event table #");
  message.appendLong(tableId);
  message.append(" has no ");
  message.append(twoSlots ? "64-bit" : "32-bit");
  message.append(" column ");
  message.appendLong(column);
  message.append("; the probe's value is dropped");
  logMessage(message);
  return false;
}

// A dependent row names its master's row by key, and the master's row is closed before its dependents
// are made. One still open was left so by its probe: it is closed now, at the dependent's start.
void reportIncorrectProbeBehavior(DB& database, const EventTable& table, const EventRecord& row, int32_t masterKey) {
  EventTable* master = eventTableById(database, table.masterId);
  if (master == nullptr || master->uptimeEndColumn < 0) return;
  EventRecord* masterRow = getOrCreateEventRow(&database, masterKey, master, table.masterId);
  if (masterRow == nullptr || getEventRowChecked(*master, masterRow, master->uptimeEndColumn) != 0) return;
  const int64_t start = getEventRowChecked(table, &row, table.uptimeColumn);
  setEventRowLong(*master, masterRow, master->uptimeEndColumn, start);
  masterRow->stamp = database.currentStamp;
  YString warning(
      "warning: incorrect probe behavior: master table row had not been closed when dependent row's FK was set:\n"
      "  uptime(ms): ");
  warning.appendLong(start / nanosecondsPerMs);
  warning.append("\n  master: ");
  warning.append(master->name);
  warning.append("; eventId=");
  warning.appendLong(masterKey);
  warning.append("\n  dependent: ");
  warning.append(table.name);
  warning.append("; eventId=");
  warning.appendLong(row.rowKey);
  logMessage(warning);
}

void replayOpen(ThreadInfo* thread, const uint32_t* record, const YCriticalSectionLock& held) {
  const int32_t tableId = int32_t(record[1]);
  if (eventTableById(databaseOrFatal(__LINE__), tableId) == nullptr) return;
  const uint32_t node = record[5];
  const int32_t frame = node == tracedFrameWord ? thread->currentTracedFrame : thread->getFrameId(int32_t(node));
  openEventRow(held, tableId, int32_t(record[2]), wideValue(record + 3), frame, int32_t(thread->sequenceNumber));
}

void replayDelete(const uint32_t* record) {
  DB& database = databaseOrFatal(554);
  const int32_t tableId = int32_t(record[1]);
  EventTable* table = eventTableById(database, tableId);
  const int32_t rowId = getEventRowIdOfKey(int32_t(record[2]));
  if (table == nullptr || rowId < 1) return;
  // The key map spans every table: a key whose row lies in another table is not this table's to delete.
  const EventRecord* row = database.events.getRow(rowId, false);
  if (row != nullptr && row->tableId == tableId) table->removeRow(rowId, database.currentStamp);
}

// The key's row in the record's table, made when missing; null for a table id naming no table, a column
// the table lacks in that width, or no row to be had.
EventRecord* cellRow(DB& database, const uint32_t* record, bool twoSlots, EventTable*& table) {
  const int32_t tableId = int32_t(record[1]);
  table = eventTableById(database, tableId);
  if (table == nullptr || !checkColumn(*table, tableId, int32_t(record[3]), twoSlots)) return nullptr;
  return getOrCreateEventRow(&database, int32_t(record[2]), table, tableId);
}

void replayInt(const uint32_t* record) {
  DB& database = databaseOrFatal(445);
  EventTable* table;
  EventRecord* row = cellRow(database, record, false, table);
  if (row == nullptr) return;
  const int32_t column = int32_t(record[3]);
  const int32_t value = int32_t(record[4]);
  setRowValue(*table, row, column, value);
  row->stamp = database.currentStamp;
  if (table->columnTypes[column] == eventColumnMasterKey) reportIncorrectProbeBehavior(database, *table, *row, value);
}

void replayLong(const uint32_t* record) {
  DB& database = databaseOrFatal(512);
  EventTable* table;
  EventRecord* row = cellRow(database, record, true, table);
  if (row == nullptr) return;
  setEventRowLong(*table, row, int32_t(record[3]), wideValue(record + 4));
  row->stamp = database.currentStamp;
}

void replayString(uint32_t* record) {
  const std::unique_ptr<YString> text = takeOwnedText(record + 4);
  DB& database = databaseOrFatal(527);
  EventTable* table;
  EventRecord* row = cellRow(database, record, false, table);
  if (row == nullptr) return;
  setRowValue(*table, row, int32_t(record[3]), text == nullptr ? 0 : getStringId(text->data));
  row->stamp = database.currentStamp;
}

}  // namespace

std::unique_ptr<YString> takeOwnedText(uint32_t* words) {
  const uint64_t address = uint64_t(words[0]) | uint64_t(words[1]) << 32;
  words[0] = words[1] = 0;
  return std::unique_ptr<YString>(reinterpret_cast<YString*>(uintptr_t(address)));
}

void replayEventRow(ThreadInfo* thread, uint32_t* record, const YCriticalSectionLock& held) {
  switch (record[0]) {
    case eventRowOpen:
      replayOpen(thread, record, held);
      break;
    case eventRowClose: {
      const std::unique_ptr<YString> text = takeOwnedText(record + 5);
      closeEventRow(held, int32_t(record[1]), int32_t(record[2]), wideValue(record + 3),
                    text == nullptr ? nullptr : text->data);
      break;
    }
    case eventRowDelete:
      replayDelete(record);
      break;
    case eventRowInt:
      replayInt(record);
      break;
    case eventRowLong:
      replayLong(record);
      break;
    case eventRowString:
      replayString(record);
      break;
    default:
      assertionFailed("assertion failed", "ThreadInfo", __LINE__);
  }
}

void freeUnreplayedEventTexts(ThreadInfo* thread) {
  if (thread->events == nullptr) return;
  const int32_t used = thread->eventsUsed.load(std::memory_order_acquire);
  for (int32_t position = thread->replayPosition; position < used;) {
    uint32_t* record = thread->events + position;
    const int32_t words = threadEventWords(record[0]);
    if (words == 0 || position + words > used) return;
    if (record[0] == eventRowClose) takeOwnedText(record + 5);
    if (record[0] == eventRowString) takeOwnedText(record + 4);
    position += words;
  }
}
