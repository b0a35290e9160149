#include "agent/natives/EventTableRows.h"

#include "agent/core/Options.h"
#include "agent/db/DB.h"
#include "agent/db/EventRows.h"
#include "agent/db/EventTable.h"
#include "agent/db/StringPool.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"
#include "agent/support/Stopwatch.h"

namespace {

constexpr int32_t messagesTableNotMade = -2;
constexpr const char* messagesTableDescription = "Message\n4\nuptime_ns\n1\nCategory\n2\nMessage\n2\nDetail\n2\n";
constexpr int32_t categoryColumn = 1, messageColumn = 2, detailColumn = 3;
constexpr int64_t nanosecondsPerMs = 1000000;

// The "Message" table's id once made, or the refusal its creation got. Guarded by "ourLock".
int32_t messagesTable = messagesTableNotMade;

// The calling thread's record; "<unknown>" for a thread the agent does not follow.
ThreadInfo* callingThread(JNIEnv* env) {
  ThreadInfo* thread = getThreadRecord(env, nullptr);
  return thread != nullptr ? thread : unknownThread;
}

int32_t createRow(const YCriticalSectionLock& held, ThreadInfo* thread, int32_t tableId) {
  DB& database = requireDatabase();
  EventTable* table = eventTableById(database, tableId);
  if (table == nullptr || table->getRootTable()->rowCount >= globalOptions().probeTableLengthLimit) return 0;
  // The agent's own threads would fill probe tables with the agent's work; they only write messages.
  if (thread->agentThread && tableId != messagesTable) return 0;
  const int32_t rowKey = nextEventRowKey();
  const int64_t start = stopwatchElapsedNs(agentUptimeStopwatch());
  // No stack is captured for the row: the frame column stays empty.
  openEventRow(held, tableId, rowKey, start, 0, int32_t(thread->sequenceNumber));
  return rowKey;
}

// The row of the key in the table, made when missing; null for an id naming no table, and when no row
// can be had.
EventRecord* cellRow(DB& database, int32_t tableId, int32_t rowKey, EventTable*& table) {
  table = eventTableById(database, tableId);
  return table == nullptr ? nullptr : getOrCreateEventRow(&database, rowKey, table, tableId);
}

void setStringCell(int32_t tableId, int32_t rowKey, int32_t column, const char* text) {
  DB& database = requireDatabase();
  EventTable* table;
  EventRecord* row = cellRow(database, tableId, rowKey, table);
  if (row == nullptr) return;
  setRowValue(*table, row, column, getStringId(text));
  row->stamp = database.currentStamp;
}

// A dependent row names its master's row by key. A master row is closed before its dependents are made;
// one still open was left so by its probe, and is closed now at the dependent's start.
void closeOpenMasterRow(DB& database, const EventTable& table, const EventRecord& row, int32_t masterKey) {
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

}  // namespace

int32_t createEventTableRow(JNIEnv* env, int32_t tableId) {
  requireDatabase();
  ThreadInfo* thread = callingThread(env);
  YCriticalSectionLock held(&ourLock(), "PlayerEventAdding:57");
  return createRow(held, thread, tableId);
}

void closeEventTableRow(int32_t tableId, int32_t rowKey, bool noEndTime, std::unique_ptr<YString> text) {
  const int64_t end = noEndTime ? 0 : stopwatchElapsedNs(agentUptimeStopwatch());
  YCriticalSectionLock held(&ourLock(), "PlayerEventAdding:110");
  if (eventTableById(requireDatabase(), tableId) == nullptr) return;
  closeEventRow(held, tableId, rowKey, end, text == nullptr ? nullptr : text->data);
}

void deleteEventTableRow(int32_t tableId, int32_t rowKey) {
  YCriticalSectionLock held(&ourLock(), "PlayerEventAdding:144");
  DB& database = requireDatabase();
  EventTable* table = eventTableById(database, tableId);
  const int32_t rowId = getEventRowIdOfKey(rowKey);
  if (table == nullptr || rowId < 1) return;
  // A key names one row in one table: the row of another table is not this caller's to delete.
  const EventRecord* row = database.events.getRow(rowId, false);
  if (row != nullptr && row->tableId == tableId) table->removeRow(rowId, database.currentStamp);
}

void setEventTableInt32Column(int32_t tableId, int32_t rowKey, int32_t column, int32_t value) {
  if (rowKey <= 0) return;
  YCriticalSectionLock held(&ourLock(), "PlayerEventAdding:168");
  DB& database = requireDatabase();
  EventTable* table;
  EventRecord* row = cellRow(database, tableId, rowKey, table);
  if (row == nullptr) return;
  setRowValue(*table, row, column, value);
  row->stamp = database.currentStamp;
  if (table->columnTypes[column] == eventColumnMasterKey) closeOpenMasterRow(database, *table, *row, value);
}

void setEventTableLongColumn(int32_t tableId, int32_t rowKey, int32_t column, int64_t value) {
  if (rowKey <= 0) return;
  YCriticalSectionLock held(&ourLock(), "PlayerEventAdding:194");
  DB& database = requireDatabase();
  EventTable* table;
  EventRecord* row = cellRow(database, tableId, rowKey, table);
  if (row == nullptr) return;
  setEventRowLong(*table, row, column, value);
  row->stamp = database.currentStamp;
}

void setEventTableStringColumn(int32_t tableId, int32_t rowKey, int32_t column, std::unique_ptr<YString> text) {
  if (rowKey <= 0) return;
  YCriticalSectionLock held(&ourLock(), "PlayerEventAdding:222");
  setStringCell(tableId, rowKey, column, text == nullptr ? nullptr : text->data);
}

void messageToTable(JNIEnv* env, const YString& category, const YString& message, const YString& detail) {
  ThreadInfo* thread = callingThread(env);
  YCriticalSectionLock held(&ourLock(), "PlayerEventAdding:248");
  if (messagesTable == messagesTableNotMade) {
    messagesTable = requireDatabase().createEventTable(YString(messagesTableDescription));
  }
  if (messagesTable < 0) return;
  const int32_t rowKey = createRow(held, thread, messagesTable);
  if (rowKey <= 0) return;
  setStringCell(messagesTable, rowKey, categoryColumn, category.data);
  setStringCell(messagesTable, rowKey, messageColumn, message.data);
  setStringCell(messagesTable, rowKey, detailColumn, detail.data);
}

void forgetMessagesTableForTest() {
  YCriticalSectionLock held(&ourLock(), "PlayerEventAdding:262");
  messagesTable = messagesTableNotMade;
}
