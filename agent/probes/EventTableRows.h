#pragma once

#include <jni.h>

#include <cstdint>
#include <memory>

#include "agent/support/YString.h"

// Rows of event tables written by probe callbacks through the Callback natives: a row is made when an
// observed operation begins, its columns are filled while it lasts, and it is closed or deleted when it
// ends. Only the row key is handed out at once; each operation appends a record to the calling thread's
// event buffer, which is replayed into the event tables under "ourLock" in the order of the calls. A
// thread without a record of its own writes to the shared "<Thread could not be retrieved>" record, and
// then under "ourLock" throughout. Owned texts are taken over and freed in every case.

// A new row of table `tableId` with its start time, the calling thread and its stack (the traced frame
// when the thread's traced stack is in step, else the Java stack when the table has a "frame" column):
// its key, or 0 when no row is made, for an id outside 32 to 127 or naming no table, when the table's
// family holds the row limit, and on an agent thread ("BZPAgent-") unless the table is the "Message"
// table. Fatal "db is NULL" without a database.
int32_t createEventTableRow(JNIEnv* env, int32_t tableId);
// Closes the row of `rowKey`: its end time (none with `noEndTime`) and exception text. A row that lasted
// less than the table's minimum is deleted at replay instead. Nothing for an id naming no table. Fatal
// "db is NULL" without a database.
void closeEventTableRow(JNIEnv* env, int32_t tableId, int32_t rowKey, bool noEndTime, std::unique_ptr<YString> text);
// Deletes the row of `rowKey` when it belongs to the table; nothing otherwise. Fatal "db is NULL" without
// a database.
void deleteEventTableRow(JNIEnv* env, int32_t tableId, int32_t rowKey);
// Sets one cell of the key's row (made when missing). A key of 0 or below, as handed out when no row was
// made, is ignored. The replay drops a value for a table that does not exist or a column it lacks in
// that width, with an error line. Setting a master-key column (type 3) of a dependent row while the
// master's row is still open closes the master's row at the dependent row's start, with a warning: a
// master row ends before its dependents begin.
void setEventTableInt32Column(JNIEnv* env, int32_t tableId, int32_t rowKey, int32_t column, int32_t value);
void setEventTableLongColumn(JNIEnv* env, int32_t tableId, int32_t rowKey, int32_t column, int64_t value);
void setEventTableStringColumn(JNIEnv* env, int32_t tableId, int32_t rowKey, int32_t column,
                               std::unique_ptr<YString> text);

// A row of the "Message" table (columns uptime_ns, Category, Message, Detail), made with the first
// message. When the table cannot be made, messages are dropped from then on without a second attempt.
void messageToTable(JNIEnv* env, const YString& category, const YString& message, const YString& detail);
// Forgets the "Message" table, for a test that makes a fresh database.
void forgetMessagesTableForTest();
