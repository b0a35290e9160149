#include "agent/recording/ThreadInfo.h"

#include "agent/core/JvmtiEnvironments.h"
#include "agent/db/DB.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/FatalError.h"
#include "agent/support/Stopwatch.h"

ThreadInfo* endedThreadsEntry = nullptr;
ThreadInfo* vmStartThreadEntry = nullptr;
ThreadInfo* unretrievedThreadEntry = nullptr;
ThreadInfo* unknownThreadEntry = nullptr;

namespace {

// A JVMTI text as a string, freed; empty for null.
YString takeJvmtiText(char* text) {
  if (text == nullptr) return YString();
  YString copy(text);
  mainJvmti->Deallocate(reinterpret_cast<unsigned char*>(text));
  return copy;
}

}  // namespace

ThreadInfo::ThreadInfo(const YString& name, const YString& groupName, ThreadHandle handle, int64_t osThreadId,
                       jobject threadObject, bool daemon)
    : threadHandle(handle), threadObject(threadObject), groupName(groupName), daemon(daemon) {
  if (db == nullptr) fatalError("db is NULL", "ThreadInfo", 84);
  ThreadRegistry& registry = threadRegistry();
  threadRow = db->threads.ids.allocate();
  threadNumber = registry.threadNumbers.allocate();
  sequenceNumber = ++registry.lastSequenceNumber;
  registry.bySequenceNumber.put(int32_t(sequenceNumber), this);
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
  threadRegistry().bySequenceNumber.remove(int32_t(sequenceNumber));
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
  // A thread the JVM cannot describe keeps the names it has rather than losing them.
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

void ThreadInfo::resetCpuState() {
  currentTracedFrame = -1;
  lastSampledFrame = -1;
  previousSampleCpuTimeNs = 0;
  previousSampleWallTimeNs = 0;
}

bool readThreadInfo(JNIEnv* env, jthread thread, YString& name, YString& groupName, bool& daemon) {
  name = YString();
  groupName = YString();
  daemon = false;
  jvmtiThreadInfo info{};
  if (mainJvmti->GetThreadInfo(thread, &info) != JVMTI_ERROR_NONE) return false;
  jvmtiThreadGroupInfo group{};
  if (info.thread_group != nullptr && mainJvmti->GetThreadGroupInfo(info.thread_group, &group) == JVMTI_ERROR_NONE) {
    env->DeleteLocalRef(group.parent);
    groupName = takeJvmtiText(group.name);
  }
  env->DeleteLocalRef(info.thread_group);
  env->DeleteLocalRef(info.context_class_loader);
  name = takeJvmtiText(info.name);
  daemon = info.is_daemon == JNI_TRUE;
  return true;
}
