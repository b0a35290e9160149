#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>
#include <cstdint>

#include "agent/platform/Clocks.h"
#include "agent/support/YString.h"

class DB;

// The agent's record of one Java thread from its start to its end, or of one of the database's special
// entries that stand for no thread. It carries the thread's identity in the database (its "thread" row,
// a reused thread number and a sequence number), its names and the recorders' per-thread state.
class ThreadInfo {
 public:
  // Takes a "thread" row, a thread number and the next sequence number, registers the record by its
  // sequence number and fills the row (all but the name, which updateThreadRecordName writes). The
  // handle is owned and closed at destruction; a thread given one started now. Runs under "ourLock";
  // fatal "db is NULL" without a database.
  ThreadInfo(const YString& name, const YString& groupName, ThreadHandle handle, int64_t osThreadId,
             jobject threadObject, bool daemon);
  ~ThreadInfo();
  ThreadInfo(const ThreadInfo&) = delete;
  ThreadInfo& operator=(const ThreadInfo&) = delete;

  // Stores the name and the flags its prefix gives.
  void setThreadName(const YString& newName);
  // Re-reads the thread's name, group name and daemon flag from the JVM, unless the record already has
  // been named and `force` is off. A thread the JVM cannot describe leaves them as they are.
  void refreshName(JNIEnv* env, jthread thread, bool force);
  // Writes the name, group name and daemon flag into the thread's row when the name changed since the
  // last time; runs under "ourLock".
  void updateThreadRecordName(DB* database);
  // Forgets where sampling and tracing of the thread stand, as a clear of the CPU data asks.
  void resetCpuState();

  int32_t threadRow;
  // A small index, reused once the ended thread is purged; keys the thread's "thread_frame" rows.
  int32_t threadNumber;
  // Increasing over every record ever made; the thread's identity in the other tables' rows.
  uint32_t sequenceNumber;
  ThreadHandle threadHandle;
  jobject threadObject;  // a global reference, for threads announced without a handle

  YString name;
  YString groupName;
  bool daemon;
  bool named;           // the name has been read
  bool agentThread;     // "BZPAgent-": opens no probe event rows but in the "Message" table
  bool ownThread;       // the agent's own threads are neither traced nor sampled
  bool serviceThread;   // the agent's sampling and detector threads
  int32_t cachedNameId = -1;  // the name's string id as last written to the row; -1 after a change
  // 1 once the record has been handed out for a Java thread (getThreadRecord); the table writers store
  // the current name of such records.
  std::atomic<uint8_t> reachedFromJava{0};

  // Tracing: the line that the next traced entry takes, and whether the thread's traced stack has been
  // sent whole; an exception thrown while tracing clears both, so the next entry sends the stack again.
  int32_t pendingLine = 0;
  bool stackSynchronised = false;

  // Sampling and tracing state.
  int32_t currentTracedFrame = -1;
  int32_t lastSampledFrame = -1;
  int64_t previousSampleCpuTimeNs = 0;
  int64_t previousSampleWallTimeNs = 0;
  // Allocation recording: objects to pass over before the next one is recorded.
  int32_t allocationCountdown = 0;
};

// The thread's name, its group's name and its daemon flag, from GetThreadInfo and GetThreadGroupInfo on
// the main JVMTI environment. False, with empty names and daemon false, when GetThreadInfo fails; a
// group that cannot be described leaves its name empty.
bool readThreadInfo(JNIEnv* env, jthread thread, YString& name, YString& groupName, bool& daemon);

// The database's special entries, null until it is created.
// "<Oldest finished threads>": takes over the data of ended threads.
extern ThreadInfo* endedThreadsEntry;
// "VM Start": stands for every thread while the JVM is in its start phase.
extern ThreadInfo* vmStartThreadEntry;
// "<Thread could not be retrieved>": takes allocations whose thread has no record.
extern ThreadInfo* unretrievedThreadEntry;
// "<unknown>": takes probe events without a known thread.
extern ThreadInfo* unknownThreadEntry;
