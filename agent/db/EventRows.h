#pragma once

#include <atomic>
#include <cstdint>

#include "agent/db/Records.h"
#include "agent/platform/YCriticalSection.h"
#include "agent/support/YMap.h"

class DB;
class EventTable;

// Rows of event tables: opened when an event begins, filled while it lasts and closed when it ends. A
// caller's row key names one row across every event table. Everything runs under "ourLock"; `held` is
// the caller's guard on it, handed on as evidence.

// The row of `rowKey`, made in table `tableId` when the key has none. Null when the key's row is gone,
// when the root table's family has reached the row limit ("probetablelengthlimit="), or when memory
// runs out. A missing database or table is fatal.
EventRecord* getOrCreateEventRow(DB* database, int32_t rowKey, EventTable* table, int32_t tableId);

// One-slot cells (types 0, 2, 3, 4) and two-slot cells (types 1, 5); a missing row, a column out of
// range or of the other kind is fatal.
void setRowValue(const EventTable& table, EventRecord* row, int32_t column, int32_t value);
void setEventRowLong(const EventTable& table, EventRecord* row, int32_t column, int64_t value);
int64_t getEventRowChecked(const EventTable& table, const EventRecord* row, int32_t column);
// Whether the table has the column, with two slots (types 1, 5) or with one as asked.
bool isEventColumn(const EventTable& table, int32_t column, bool twoSlots);

// Opens (or reopens) the key's row with its start time, thread and the outermost frame outside probe
// code; null for an unknown table, at the row limit or when memory runs out.
EventRecord* openEventRow(const YCriticalSectionLock& held, int32_t tableId, int32_t rowKey, int64_t startTimeNs,
                          int32_t frame, int32_t thread);
// Closes the key's row (making it when it was never opened): its end time and exception text. A row
// that lasted less than the table's minimum is deleted instead.
void closeEventRow(const YCriticalSectionLock& held, int32_t tableId, int32_t rowKey, int64_t endTimeNs,
                   const char* exceptionText);

// The row id of the key, 0 when it has none.
int32_t getEventRowIdOfKey(int32_t rowKey);

// The key map: every live row's key to its "event" row id. Key 0 never names a row: it is the key of a
// deleted row and no value of the object maps. Made on first use.
YMap<int32_t, int32_t>& eventRowKeys();
// Forgets every key, for a test that makes a fresh database.
void clearEventRowKeys();

// The row key handed out last, by the one process-wide counter that every writer of event rows shares;
// 0 before the first.
extern std::atomic<int32_t> lastEventRowKey;
// A new row key, from any thread without a lock: 1 first, then one more each time. Keys stay positive,
// so that no key is ever 0 (no row) or negative (ignored by the column setters): past the largest int32
// the count starts again at 1.
int32_t nextEventRowKey();
