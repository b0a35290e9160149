#include "agent/recording/ThreadInfo.h"

#include "agent/core/JvmtiEnvironments.h"
#include "agent/db/DB.h"
#include "agent/recording/EventRowReplay.h"
#include "agent/recording/FrameTree.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/recording/YNodeTree.h"
#include "agent/support/FatalError.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/NamedLocks.h"
#include "agent/support/Stopwatch.h"

ThreadInfo* oldestFinishedThreads = nullptr;
ThreadInfo* vmStartThread = nullptr;
ThreadInfo* unretrievedThread = nullptr;
ThreadInfo* unknownThread = nullptr;

ThreadInfo::ThreadInfo(const YString& name, const YString& groupName, ThreadHandle handle, int64_t osThreadId,
                       jobject threadObject, bool daemon)
    : threadHandle(handle), threadObject(threadObject), daemon(daemon), groupName(groupName) {
  if (db == nullptr) fatalError("db is NULL", "ThreadInfo", 84);
  ThreadRegistry& registry = threadRegistry();
  threadRow = db->threads.ids.allocate();
  threadNumber = registry.threadIndexPool.allocate();
  sequenceNumber = ++registry.threadSequence;
  registry.threadsBySequence.put(int32_t(sequenceNumber), this);
  setThreadName(name);
  named = name.length > 0;

  ThreadRecord& row = *db->threads.getRow(threadRow, true);
  row.groupNameId = getStringId(groupName.data);
  row.daemon = daemon ? 1 : 0;
  row.osThreadId = osThreadId;
  row.startTime = handle != 0 ? stopwatchElapsedNs(agentUptimeStopwatch()) : 0;
  row.threadNumber = threadNumber;
  row.sequenceNumber = int32_t(sequenceNumber);
  row.stamp = db->currentStamp;
}

ThreadInfo::~ThreadInfo() {
  ThreadRegistry& registry = threadRegistry();
  registry.threadsBySequence.remove(int32_t(sequenceNumber));
  registry.deadThreadsAllocCount += allocationCount;
  registry.deadThreadsAllocBytes += allocatedBytes;
  freeUnreplayedEventTexts(this);
  delete[] events;
  delete nodeTree;
  delete nodeFrames;
  if (threadHandle != 0) closeThreadHandle(threadHandle);
}

void ThreadInfo::setThreadName(const YString& newName) {
  name = newName;
  cachedNameId = -1;
  agentThread = name.startsWith("BZPAgent-");
  ownThread = agentThread || name.startsWith("BZP-Process-Exit-Listener");
  serviceThread = name.startsWith("BZPAgent-AsyncSamplingEventsProcessor") || name.startsWith("BZPAgent-CpuSampler") ||
                  name.startsWith("BZPAgent-OomeSnapshotDetector");
}

void ThreadInfo::refreshName(JNIEnv* env, jthread thread, bool force) {
  if (env == nullptr) assertionFailed("assertion failed: value is NULL", "ThreadInfo", 164);
  if (!force && named) return;
  named = true;
  YString readName;
  YString readGroupName;
  bool readDaemon = false;
  if (!readThreadInfo(env, thread, readName, readGroupName, readDaemon)) return;
  groupName = readGroupName;
  daemon = readDaemon;
  if (!readName.equals(name)) setThreadName(readName);
}

void ThreadInfo::updateThreadRecordName(DB* database) {
  if (database == nullptr) assertionFailed("assertion failed: value is NULL", "ThreadInfo", 212);
  ThreadRecord& row = *database->threads.getRow(threadRow, true);
  if (row.nameId == cachedNameId) return;
  const int32_t id = getStringId(name.data);
  cachedNameId = id;
  if (row.nameId == id) return;
  row.nameId = id;
  row.daemon = daemon ? 1 : 0;
  row.groupNameId = getStringId(groupName.data);
  row.stamp = database->currentStamp;
}

void ThreadInfo::resetTracingState() {
  currentTracedFrame = -1;
  openFrameStartTimes.size = 0;
  lastExceptionTag = 0;
  lastExceptionRow = 0;
}

void ThreadInfo::resetCpuState() {
  resetTracingState();
  lastSampledFrame = -1;
  previousSampleCpuTimeNs = 0;
  previousSampleWallTimeNs = 0;
}

void ThreadInfo::appendEvent(const uint32_t* words, int32_t n, bool lock) {
  if (words == nullptr || n < 1 || n > eventBufferWords) assertionFailed("assertion failed", "ThreadInfo", __LINE__);
  YCriticalSectionLock serialised(shared ? &ourLock() : nullptr, "ThreadInfo:appendEvent");
  if (events == nullptr) events = new uint32_t[eventBufferWords];
  int32_t used = eventsUsed.load(std::memory_order_relaxed);
  if (used + n > eventBufferWords) {
    YCriticalSectionLock held(lock && !shared ? &ourLock() : nullptr, "ThreadInfo:1046");
    processThreadEvents(this, held);
    replayPosition = 0;
    eventsUsed.store(0, std::memory_order_release);
    used = 0;
  }
  for (int32_t i = 0; i < n; i++) events[used + i] = words[i];
  eventsUsed.store(used + n, std::memory_order_release);
}

int64_t ThreadInfo::getCpuTimeNs() const {
  if (threadHandle != 0) return getThreadCpuTimeNs(threadHandle);
  if (threadObject == nullptr) return 0;
  // A thread that is ending may no longer answer; its time then counts as unknown rather than failing
  // the sampler cycle or the replay that asked.
  jlong time = 0;
  if (mainJvmti->GetThreadCpuTime(threadObject, &time) != JVMTI_ERROR_NONE) return 0;
  return time > 0 ? time : 0;
}

CpuProfilingRecord* ThreadInfo::getCpuProfilingRow(int32_t frameId) {
  DB& database = requireDatabase();
  const int32_t id = database.getThreadFrameId(threadNumber, frameId, true);
  if (id < 0) negativeRowIndex();
  return database.cpuProfiling.getRow(id, true);
}

int32_t ThreadInfo::getFrameId(int32_t node) {
  if (node == 0) return 0;
  if (nodeFrames == nullptr) nodeFrames = new YMap<int32_t, int32_t>(1024);
  if (const int32_t cached = nodeFrames->get(node); cached != 0) return cached;
  const YNodeTree& tree = *getThreadNodeTree(this);
  // The nodes from the asked one up to the first one with a frame, or up to the root.
  YVector<int32_t> path;
  for (int32_t current = node; current != 0 && nodeFrames->get(current) == 0;
       current = tree.nodes[current].parent) {
    if (current < 0 || current >= tree.capacity) assertionFailed("assertion failed", "ThreadInfo", __LINE__);
    path.add(current);
  }
  int32_t frame = 0;
  for (int32_t i = path.size - 1; i >= 0; i--) {
    const YNodeTree::Node& row = tree.nodes[path.data[i]];
    const int32_t parentFrame = row.parent == 0 ? 0 : nodeFrames->get(row.parent);
    frame = getOrCreateChildFrameByKey(parentFrame, row.key);
    nodeFrames->put(path.data[i], frame);
  }
  return frame;
}

YNodeTree* getThreadNodeTree(ThreadInfo* thread) {
  if (thread->nodeTree == nullptr) thread->nodeTree = new YNodeTree();
  return thread->nodeTree;
}

bool readThreadInfo(JNIEnv* env, jthread thread, YString& name, YString& groupName, bool& daemon) {
  name = YString();
  groupName = YString();
  daemon = false;
  jvmtiThreadInfo info{};
  if (mainJvmti->GetThreadInfo(thread, &info) != JVMTI_ERROR_NONE) return false;
  JvmtiText threadName;
  *threadName.out() = info.name;
  jvmtiThreadGroupInfo group{};
  if (info.thread_group != nullptr && mainJvmti->GetThreadGroupInfo(info.thread_group, &group) == JVMTI_ERROR_NONE) {
    JvmtiText groupText;
    *groupText.out() = group.name;
    env->DeleteLocalRef(group.parent);
    if (group.name != nullptr) groupName = YString(group.name);
  }
  env->DeleteLocalRef(info.thread_group);
  env->DeleteLocalRef(info.context_class_loader);
  if (info.name != nullptr) name = YString(info.name);
  daemon = info.is_daemon == JNI_TRUE;
  return true;
}
