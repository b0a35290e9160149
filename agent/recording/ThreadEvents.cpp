#include "agent/recording/ThreadEvents.h"

#include "agent/db/DB.h"
#include "agent/recording/EventRowReplay.h"
#include "agent/recording/ExceptionRecording.h"
#include "agent/recording/MonitorRecording.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/recording/TracingReplay.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"

namespace {

constexpr int32_t kindWords[] = {0, 7, 6, 5, 6, 7, 3, 5, 6, 6, 5, 6, 5, 4};

int64_t wideValue(const uint32_t* words) { return int64_t(uint64_t(words[0]) | uint64_t(words[1]) << 32); }

// One more object of the size at the site, in the "alloc_info" row of (thread, the site's frame).
void replayAllocation(ThreadInfo* thread, const uint32_t* record) {
  DB* database = db;
  if (database == nullptr) fatalError("db is NULL", "ThreadInfo", 562);
  const int32_t site = int32_t(record[3]);
  const int32_t frame = site < 0 ? -site : thread->getFrameId(site);
  const int32_t id = database->getThreadFrameId(thread->threadNumber, frame, true);
  if (id < 0) negativeRowIndex();
  AllocInfoRecord& row = *database->allocInfo.getRow(id, true);
  row.objectCount++;
  row.totalSize += wideValue(record + 1);
  row.stamp = database->currentStamp;
}

// A buffer holding what no writer appends: its remaining records cannot be trusted, so they are dropped
// rather than read with the wrong lengths, and the thread records on behind them.
void dropCorruptRest(ThreadInfo* thread, uint32_t kind, int32_t used) {
  YString message("error: unexpected eventId: ");
  message.appendLong(int64_t(kind));
  message.append(" (ThreadInfo:1107); the thread's ");
  message.appendLong(used - thread->replayPosition);
  message.append(" unreplayed event words are dropped");
  logMessage(message);
  thread->replayPosition = used;
}

}  // namespace

int32_t threadEventWords(uint32_t kind) {
  return kind < sizeof kindWords / sizeof kindWords[0] ? kindWords[kind] : 0;
}

void processThreadEvents(ThreadInfo* thread, const YCriticalSectionLock& held) {
  for (;;) {
    // Read afresh for every record: the owner may append meanwhile, and its words are stored before it
    // publishes the new length.
    const int32_t used = thread->eventsUsed.load(std::memory_order_acquire);
    if (thread->replayPosition >= used) break;
    const uint32_t* record = thread->events + thread->replayPosition;
    const uint32_t kind = record[0];
    const int32_t words = threadEventWords(kind);
    if (words == 0 || thread->replayPosition + words > used) {
      dropCorruptRest(thread, kind, used);
      break;
    }
    switch (kind) {
      case eventTracedStack:
        replayTracedStack(thread, int32_t(record[1]), wideValue(record + 2), wideValue(record + 4),
                          int32_t(record[6]), held);
        break;
      case eventMethodEntry:
        p_m_enter(thread, int32_t(record[1]), wideValue(record + 2), int32_t(record[4]), int32_t(record[5]), held);
        break;
      case eventMethodExit:
        p_m_exit(thread, int32_t(record[1]), wideValue(record + 2), int32_t(record[4]), held);
        break;
      case eventException:
        p_e(thread, int32_t(record[1]), int32_t(record[2]), int32_t(record[3]), int32_t(record[4]), held);
        break;
      case eventMonitorWaitStart:
        recordMonitorEvent(thread, int32_t(record[1]), int32_t(record[2]), wideValue(record + 3), int32_t(record[5]));
        break;
      case eventMonitorWaitEnd:
        recordMonitorEndEvent(thread, int32_t(record[1]), int32_t(record[2]), wideValue(record + 3));
        break;
      case eventRowOpen:
      case eventRowClose:
      case eventRowDelete:
      case eventRowInt:
      case eventRowLong:
      case eventRowString:
        replayEventRow(thread, thread->events + thread->replayPosition, held);
        break;
      case eventAllocation:
        replayAllocation(thread, record);
        break;
      default:
        break;  // the other kinds have no recorder in this build and are stepped over
    }
    thread->replayPosition += words;
  }
  if (thread->currentTracedFrame == -1) {
    thread->stackSynchronised = false;
    thread->pendingLine = 0;
  }
}

void processAllThreadEvents(const YCriticalSectionLock& held) {
  forEachLiveThread([&](ThreadInfo* thread) { processThreadEvents(thread, held); });
}
