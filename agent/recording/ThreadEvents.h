#pragma once

#include <cstdint>

#include "agent/platform/YCriticalSection.h"

class ThreadInfo;

// The records a thread appends to its own event buffer (ThreadInfo::appendEvent) without the database
// lock, and their replay into the database under it. A record is a run of 32-bit words: the kind, then
// a fixed number of words for that kind; a 64-bit value takes two words, low word first. Stacks are node
// ids of the writing thread's node tree.
enum ThreadEventKind : uint32_t {
  eventTracedStack = 1,     // node of the whole traced stack, wall time (2), CPU time (2), epoch
  eventMethodEntry = 2,     // method, start time (2), epoch, line (0 none)
  eventMethodExit = 3,      // method, exit time (2), epoch
  eventRowOpen = 4,         // event table, row key, uptime (2), node (0xFFFFFFFF the traced frame, 0 none)
  eventRowClose = 5,        // event table, row key, uptime (2), owned exception text (2)
  eventRowDelete = 6,       // event table, row key
  eventRowInt = 7,          // event table, row key, column, int32 value
  eventRowLong = 8,         // event table, row key, column, int64 value (2)
  eventRowString = 9,       // event table, row key, column, owned string (2)
  eventException = 10,      // throw node, catch node (0 none), exception class id, object tag
  eventMonitorWaitStart = 11,  // monitor key, node, time (2), owner
  eventMonitorWaitEnd = 12,    // monitor key, node, time (2)
  eventAllocation = 13,     // size in bytes (2), site: a node when >= 0, minus a frame id when negative
};

// The words of a record of the kind, the kind's own included; 0 for a kind outside 1 to 13.
int32_t threadEventWords(uint32_t kind);

// Replays the thread's records from its replay position to the end of what it has appended. A record of
// an unknown kind, or one cut short, is logged and the rest of the buffer dropped; the thread's later
// appends and replays work as before. When the thread is left with no traced frame, its next traced
// entry starts by recording its whole stack. The caller holds "ourLock" (`held`).
void processThreadEvents(ThreadInfo* thread, const YCriticalSectionLock& held);

// processThreadEvents for every live thread record, in the set's slot order.
void processAllThreadEvents(const YCriticalSectionLock& held);
