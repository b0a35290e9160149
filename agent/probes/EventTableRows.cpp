#include "agent/probes/EventTableRows.h"

#include <jvmti.h>

#include <atomic>

#include "agent/core/AgentFlags.h"
#include "agent/core/Options.h"
#include "agent/db/Clears.h"
#include "agent/db/DB.h"
#include "agent/db/EventRows.h"
#include "agent/db/EventTable.h"
#include "agent/recording/AppendGuard.h"
#include "agent/recording/EventRowReplay.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/recording/YNodeTree.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/NamedLocks.h"
#include "agent/support/Stopwatch.h"

namespace {

constexpr int32_t messagesTableNotMade = -2;
constexpr const char* messagesTableDescription = "Message\n4\nuptime_ns\n1\nCategory\n2\nMessage\n2\nDetail\n2\n";
constexpr int32_t categoryColumn = 1, messageColumn = 2, detailColumn = 3;

// The "Message" table's id once made, or the refusal its creation got. Written under "ourLock"; read
// without it by the row writers of every thread.
std::atomic<int32_t> messagesTable{messagesTableNotMade};

void putWide(uint32_t* words, int64_t value) {
  words[0] = uint32_t(uint64_t(value));
  words[1] = uint32_t(uint64_t(value) >> 32);
}

// The record a caller's rows go to, and the lock that writing it needs. A thread's own record takes no
// lock, unless a replay of every buffer runs meanwhile and reads its node tree and buffer; the shared
// record of the threads without one is written under "ourLock" throughout.
class RowWriter {
 public:
  RowWriter(JNIEnv* env, const char* site)
      : own(getThreadRecord(env, nullptr)),
        guard(site, own == nullptr),
        thread(own != nullptr ? own : unretrievedThread) {}

  void append(const uint32_t* words, int32_t n) { thread->appendEvent(words, n, guard.replayLocks()); }
  // The record takes the text over once it holds it; until then a failed append leaves it to the caller.
  void appendWithText(uint32_t* words, int32_t n, uint32_t* textWords, std::unique_ptr<YString> text) {
    putOwnedText(textWords, text.get());
    append(words, n);
    text.release();
  }

  ThreadInfo* const own;

 private:
  AppendGuard guard;

 public:
  ThreadInfo* const thread;
};

// The stack of a new row: the traced frame, which the replay reads, when tracing keeps the thread's
// traced stack in step (after an attach the traced stack misses the frames entered before it); else the
// Java stack, captured only for a table that keeps a frame and while the JVM runs Java code.
uint32_t frameWord(JNIEnv* env, const RowWriter& writer, const EventTable& table) {
  if (writer.own != nullptr && writer.own->tracedStackInStep(tracingEpoch.load()) &&
      (agentFlags.load() & AGENT_ATTACH_MODE) == 0) {
    return tracedFrameWord;
  }
  if (table.frameColumn < 0 || env == nullptr || phaseUntilLive() != JVMTI_PHASE_LIVE) return 0;
  return uint32_t(captureStackFrame(getThreadNodeTree(writer.thread), env));
}

void appendStringCell(RowWriter& writer, int32_t tableId, int32_t rowKey, int32_t column,
                      std::unique_ptr<YString> text) {
  uint32_t words[6] = {eventRowString, uint32_t(tableId), uint32_t(rowKey), uint32_t(column), 0, 0};
  writer.appendWithText(words, 6, words + 4, std::move(text));
}

}  // namespace

int32_t createEventTableRow(JNIEnv* env, int32_t tableId) {
  DB& database = requireDatabase();
  RowWriter writer(env, "PlayerEventAdding:57");
  // Tables are never deleted: one found stays, and its columns do not change.
  EventTable* table = eventTableById(database, tableId);
  if (table == nullptr || table->getRootTable()->rowCount >= globalOptions().probeTableLengthLimit) return 0;
  // The agent's own threads would fill probe tables with the agent's work; they only write messages.
  if (writer.thread->agentThread && tableId != messagesTable.load()) return 0;
  const int32_t rowKey = nextEventRowKey();
  uint32_t words[6] = {eventRowOpen, uint32_t(tableId), uint32_t(rowKey), 0, 0, 0};
  putWide(words + 3, stopwatchElapsedNs(agentUptimeStopwatch()));
  words[5] = frameWord(env, writer, *table);
  writer.append(words, 6);
  return rowKey;
}

void closeEventTableRow(JNIEnv* env, int32_t tableId, int32_t rowKey, bool noEndTime, std::unique_ptr<YString> text) {
  DB& database = requireDatabase();
  const int64_t end = noEndTime ? 0 : stopwatchElapsedNs(agentUptimeStopwatch());
  RowWriter writer(env, "PlayerEventAdding:110");
  if (eventTableById(database, tableId) == nullptr) return;
  uint32_t words[7] = {eventRowClose, uint32_t(tableId), uint32_t(rowKey), 0, 0, 0, 0};
  putWide(words + 3, end);
  writer.appendWithText(words, 7, words + 5, std::move(text));
}

void deleteEventTableRow(JNIEnv* env, int32_t tableId, int32_t rowKey) {
  DB& database = requireDatabase();
  RowWriter writer(env, "PlayerEventAdding:144");
  if (eventTableById(database, tableId) == nullptr) return;
  const uint32_t words[3] = {eventRowDelete, uint32_t(tableId), uint32_t(rowKey)};
  writer.append(words, 3);
}

void setEventTableInt32Column(JNIEnv* env, int32_t tableId, int32_t rowKey, int32_t column, int32_t value) {
  if (rowKey <= 0) return;
  RowWriter writer(env, "PlayerEventAdding:168");
  const uint32_t words[5] = {eventRowInt, uint32_t(tableId), uint32_t(rowKey), uint32_t(column), uint32_t(value)};
  writer.append(words, 5);
}

void setEventTableLongColumn(JNIEnv* env, int32_t tableId, int32_t rowKey, int32_t column, int64_t value) {
  if (rowKey <= 0) return;
  RowWriter writer(env, "PlayerEventAdding:194");
  uint32_t words[6] = {eventRowLong, uint32_t(tableId), uint32_t(rowKey), uint32_t(column), 0, 0};
  putWide(words + 4, value);
  writer.append(words, 6);
}

void setEventTableStringColumn(JNIEnv* env, int32_t tableId, int32_t rowKey, int32_t column,
                               std::unique_ptr<YString> text) {
  if (rowKey <= 0) return;
  RowWriter writer(env, "PlayerEventAdding:222");
  appendStringCell(writer, tableId, rowKey, column, std::move(text));
}

void messageToTable(JNIEnv* env, const YString& category, const YString& message, const YString& detail) {
  YCriticalSectionLock held(&ourLock(), "PlayerEventAdding:248");
  if (messagesTable.load() == messagesTableNotMade) {
    messagesTable.store(requireDatabase().createEventTable(YString(messagesTableDescription)));
  }
  const int32_t table = messagesTable.load();
  if (table < 0) return;
  const int32_t rowKey = createEventTableRow(env, table);
  if (rowKey <= 0) return;
  RowWriter writer(env, "PlayerEventAdding:248");
  appendStringCell(writer, table, rowKey, categoryColumn, std::make_unique<YString>(category));
  appendStringCell(writer, table, rowKey, messageColumn, std::make_unique<YString>(message));
  appendStringCell(writer, table, rowKey, detailColumn, std::make_unique<YString>(detail));
}

void forgetMessagesTableForTest() {
  YCriticalSectionLock held(&ourLock(), "PlayerEventAdding:262");
  messagesTable.store(messagesTableNotMade);
}
