#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>
#include <cstdint>

#include "agent/platform/Clocks.h"
#include "agent/support/YMap.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

class DB;
class YNodeTree;
struct CpuProfilingRecord;

// The agent's record of one Java thread from its start to its end, or of one of the pseudo threads that
// stand for no thread. It carries the thread's identity in the database (its "thread" row, a reused
// thread number and a sequence number that is never reused), its names, its event buffer, its call-node
// tree and the recorders' per-thread state. Fields of the recorders are written by the owning thread
// without a lock unless their recorder says otherwise.
class ThreadInfo {
 public:
  static constexpr int32_t eventBufferWords = 10240;

  // Takes a "thread" row, a thread number and the next sequence number, registers the record by its
  // sequence number and fills the row (all but the name, which updateThreadRecordName writes). The
  // handle is owned and closed at destruction; a thread given one started now. Runs under "ourLock";
  // fatal "db is NULL" without a database.
  ThreadInfo(const YString& name, const YString& groupName, ThreadHandle handle, int64_t osThreadId,
             jobject threadObject, bool daemon);
  // Forgets the sequence number, adds the allocation totals to those of ended threads and frees what
  // the record owns. Runs under "ourLock".
  ~ThreadInfo();
  ThreadInfo(const ThreadInfo&) = delete;
  ThreadInfo& operator=(const ThreadInfo&) = delete;

  // Stores the name and the flags its prefix gives.
  void setThreadName(const YString& newName);
  // Re-reads the thread's name, group name and daemon flag from the JVM, unless the record already has
  // been named and `force` is off. A thread the JVM cannot describe keeps the names it has, and is
  // asked again only by a forced refresh.
  void refreshName(JNIEnv* env, jthread thread, bool force);
  // Writes the name, group name and daemon flag into the thread's row when the name changed since the
  // last time; runs under "ourLock".
  void updateThreadRecordName(DB* database);
  // Forgets where tracing of the thread stands: no traced frame open, no known stack.
  void resetTracingState();
  // Forgets where sampling and tracing of the thread stand, as a clear of the CPU data asks.
  void resetCpuState();

  // Appends a record of `n` words (1 to eventBufferWords) to the event buffer, made on first use. A
  // record that does not fit behind the others makes the buffer replay first and start again at word 0;
  // that replay takes "ourLock" when `lock` is set, which a writer that holds the lock already clears.
  // Appends to a shared record are serialised under "ourLock" whatever `lock` says.
  void appendEvent(const uint32_t* words, int32_t n, bool lock);

  // The thread's CPU time in ns: through its handle, else its thread object; 0 when neither is there or
  // the thread cannot tell, as an ending one may not.
  int64_t getCpuTimeNs() const;
  // The "cpu_profiling" row of (this thread, frame), made when missing. Runs under "ourLock".
  CpuProfilingRecord* getCpuProfilingRow(int32_t frameId);
  // The frame of the frame tree that a node of the thread's node tree stands for, made when missing and
  // remembered. Node 0 is the root frame 0. Runs under "ourLock", also on other threads than the owner.
  int32_t getFrameId(int32_t node);

  // Tracing: the line the next traced entry takes, the tracing epoch the traced stack belongs to, and
  // whether the whole traced stack has been recorded in that epoch.
  int32_t pendingLine = 0;
  int32_t epochSeen = -1;
  bool stackSynchronised = false;
  // Whether the replay's traced frame is where the thread stands: its whole traced stack was recorded in
  // the tracing period `epoch` that runs now. The flag alone outlives a stop or clear of CPU data, which
  // reset the traced frame.
  bool tracedStackInStep(int32_t epoch) const { return stackSynchronised && epochSeen == epoch; }
  // Monitors: the key of the thread's open probe-style monitor row, 0 none.
  int32_t openMonitorRow = 0;

  // Owned, made on first use (getThreadNodeTree, getFrameId).
  YNodeTree* nodeTree = nullptr;
  YMap<int32_t, int32_t>* nodeFrames = nullptr;

  // The event buffer, made on the first append. `eventsUsed` grows only after a record's words are
  // stored, so that a replay on another thread never reads a partial record.
  uint32_t* events = nullptr;
  std::atomic<int32_t> eventsUsed{0};
  int32_t replayPosition = 0;

  ThreadHandle threadHandle;
  jobject threadObject;  // a global reference, for threads announced without a handle

  int32_t threadRow;
  // A small index, reused once the ended thread is purged; keys the thread's "thread_frame" rows.
  int32_t threadNumber;
  // Increasing over every record ever made; the thread's identity in the other tables' rows.
  uint32_t sequenceNumber;

  // Sampling: the frame of the last sample (-1 none), and the checkpoint of a stack that stays put.
  int32_t lastSampledFrame = -1;
  int32_t checkpointFrame = -1;
  int64_t checkpointCpuTimeNs = -1;
  int64_t checkpointUptimeNs = -1;

  // Allocation recording: objects to pass over before the next one is recorded, and what was recorded.
  int32_t allocationCountdown = 0;
  int64_t allocationCount = 0;
  int64_t allocatedBytes = 0;

  // A pseudo thread's record: it takes the events of every thread that has no record of its own.
  bool shared = false;
  bool agentThread = false;    // "BZPAgent-": opens no probe event rows but in the "Message" table
  bool ownThread = false;      // the agent's own threads are neither traced nor sampled
  bool serviceThread = false;  // the agent's sampling and detector threads
  bool named;                  // the name has been read
  bool daemon;
  YString groupName;
  YString name;
  // Set once the record has been handed out for a Java thread (getThreadRecord); the table writers
  // store the current name of such records.
  std::atomic<bool> seen{false};
  int32_t cachedNameId = -1;  // the name's string id as last written to the row; -1 after a change

  // Exceptions: the thrown exception not yet caught (its class's string id and the node of the throw).
  int32_t pendingExceptionClassId = -1;
  int32_t pendingExceptionThrowNode = -1;

  // Tracing: the start times of the open traced calls, outermost first, and the frame of the innermost
  // (0 the root, -1 no known stack).
  YVector<uint64_t> openFrameStartTimes;
  int32_t currentTracedFrame = -1;
  // Exceptions: the last one recorded by tracing, cleared with the tracing state.
  int32_t lastExceptionTag = 0;
  int32_t lastExceptionRow = 0;

  // Sampling: the thread's CPU and wall time at its previous sample.
  int64_t previousSampleCpuTimeNs = 0;
  int64_t previousSampleWallTimeNs = 0;
};

// The thread's node tree, made on first use.
YNodeTree* getThreadNodeTree(ThreadInfo* thread);

// The thread's name, its group's name and its daemon flag, from GetThreadInfo and GetThreadGroupInfo on
// the main JVMTI environment. False, with empty names and daemon false, when GetThreadInfo fails; a
// group that cannot be described leaves its name empty.
bool readThreadInfo(JNIEnv* env, jthread thread, YString& name, YString& groupName, bool& daemon);

// The pseudo threads, made with the database and null until then.
// "<Oldest finished threads>": takes over the data of purged ended threads.
extern ThreadInfo* oldestFinishedThreads;
// "VM Start": stands for every thread while the JVM is in its start phase.
extern ThreadInfo* vmStartThread;
// "<Thread could not be retrieved>": takes allocations whose thread has no record.
extern ThreadInfo* unretrievedThread;
// "<unknown>": takes probe events without a known thread.
extern ThreadInfo* unknownThread;
