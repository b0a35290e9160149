#pragma once

#include "agent/platform/YCriticalSection.h"

class ThreadInfo;

// The end of a thread's record, run by the ThreadEnd handler under "ourLock" (`held`) before it destroys
// the record: the collected-object ages are flushed and the thread's recorded objects turn their node
// sites into frames, the thread's row gets its end time, the thread leaves the live records and joins the list
// of ended threads. Once the list holds more than "deadthreadlimit=" + 10 entries, the oldest purgeable
// ones are purged: their per-frame data moves to "<Oldest finished threads>" and their rows give up their
// thread numbers. Every 128th end collects the string pool, and every 512th, after some purge, also the
// thread rows that nothing refers to (unless "_disable_thread_gc" is given). Fatal "db is NULL" without a
// database.
void processThreadEnd(ThreadInfo* record, const YCriticalSectionLock& held);

// Deletes the rows of purged threads (thread number 0) whose sequence number no live "monitor",
// "exception", "tele" or event row refers to, and logs "TRN: gc #..." with the counts. Runs under
// "ourLock" (`held`); fatal "db is NULL" without a database.
void collectDeadThreadRecords(const YCriticalSectionLock& held);
