#include "agent/recording/ExceptionRecording.h"

#include <atomic>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLifecycle.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/db/Clears.h"
#include "agent/db/DB.h"
#include "agent/db/StringPool.h"
#include "agent/recording/AppendGuard.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/YNodeTree.h"
#include "agent/support/FatalError.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"

namespace {

std::atomic<int32_t> lastObjectTag{0};

bool recordingRefused() { return vmDead.load() || phaseUntilLive() != JVMTI_PHASE_LIVE; }

void appendException(ThreadInfo* thread, const AppendGuard& guard, int32_t throwNode, int32_t catchNode,
                     int32_t classId, int32_t tag) {
  const uint32_t words[5] = {eventException, uint32_t(throwNode), uint32_t(catchNode), uint32_t(classId),
                             uint32_t(tag)};
  thread->appendEvent(words, 5, guard.replayLocks());
}

// The row of the key, made and filled when the map has none.
int32_t rowOf(DB& database, const ExceptionKey& key) {
  YMap<ExceptionKey, int32_t>& rows = exceptionRows();
  if (const int32_t slot = rows.indexOf(key); slot >= 0) return rows.values[slot];
  const int32_t row = database.exceptions.ids.allocate();
  if (row < 0) negativeRowIndex();
  rows.put(key, row);
  database.exceptions.getRow(row, true)->key = key;
  return row;
}

}  // namespace

YMap<ExceptionKey, int32_t>& exceptionRows() {
  static YMap<ExceptionKey, int32_t> rows(1024);
  return rows;
}

int32_t getExceptionClassId(JNIEnv* env, jobject exception) {
  if (exception == nullptr) return 0;
  jclass klass = env->GetObjectClass(exception);
  if (klass == nullptr) return 0;
  jlong tag = 0;
  if (exceptionJvmti->GetTag(klass, &tag) != JVMTI_ERROR_NONE) {
    tag = 0;
  } else if (tag == 0) {
    YCriticalSectionLock held(&ourLock(), "ExceptionsJava:27");
    JvmtiText signature;
    if (mainJvmti->GetClassSignature(klass, signature.out(), nullptr) == JVMTI_ERROR_NONE &&
        signature.text != nullptr && signature.text[0] != '\0') {
      tag = getStringId(signature.text, true);
      if (exceptionJvmti->SetTag(klass, tag) != JVMTI_ERROR_NONE) tag = 0;
    }
  }
  env->DeleteLocalRef(klass);
  return int32_t(tag);
}

int32_t getExceptionObjectTag(jobject exception) {
  if (exception == nullptr) return 0;
  jlong tag = 0;
  if (exceptionJvmti->GetTag(exception, &tag) != JVMTI_ERROR_NONE) return 0;
  if (tag != 0) return int32_t(tag);
  const int32_t fresh = lastObjectTag.fetch_add(1) + 1;
  exceptionJvmti->SetTag(exception, fresh);
  return fresh;
}

void handleExceptionEvent(JNIEnv* env, ThreadInfo* thread, jobject exception, bool catchKnown) {
  if (recordingRefused()) return;
  const AppendGuard guard("ExceptionsJava:throw");
  int32_t throwNode;
  if (thread->tracedStackInStep(tracingEpoch.load()) && (agentFlags.load() & AGENT_ATTACH_MODE) == 0) {
    throwNode = -1;  // the traced frame current at this point of the replay
  } else {
    throwNode = captureStackFrame(getThreadNodeTree(thread), env);
  }
  const int32_t classId = getExceptionClassId(env, exception);
  if (catchKnown) {
    thread->pendingExceptionClassId = classId;
    thread->pendingExceptionThrowNode = throwNode;
    return;
  }
  thread->pendingExceptionClassId = -1;
  appendException(thread, guard, throwNode, 0, classId, getExceptionObjectTag(exception));
}

void handleExceptionCatchEvent(JNIEnv* env, ThreadInfo* thread, jobject exception) {
  if (recordingRefused() || thread->pendingExceptionClassId == -1) return;
  const AppendGuard guard("ExceptionsJava:catch");
  const int32_t catchNode = captureStackFrame(getThreadNodeTree(thread), env);
  appendException(thread, guard, thread->pendingExceptionThrowNode, catchNode, thread->pendingExceptionClassId,
                  getExceptionObjectTag(exception));
  thread->pendingExceptionClassId = -1;
}

void p_e(ThreadInfo* thread, int32_t throwNode, int32_t catchNode, int32_t classId, int32_t tag,
         const YCriticalSectionLock&) {
  DB* database = db;
  if (database == nullptr) fatalError("db is NULL", "ExceptionsJava", 88);
  int32_t throwFrame = throwNode == -1 ? thread->currentTracedFrame : thread->getFrameId(throwNode);
  if (throwFrame == -1) {
    YString warning("warning: p_e: 1: ");
    for (const int32_t value : {throwNode, catchNode, classId}) {
      warning.appendLong(value);
      warning.append(' ');
    }
    warning.appendLong(tag);
    logMessage(warning);
    return;
  }
  const int32_t catchFrame = thread->getFrameId(catchNode);
  if (tag != 0 && tag == thread->lastExceptionTag) {
    // Thrown again after its catch: the earlier count is taken back, and the first throw site kept.
    ExceptionRecord* earlier = database->exceptions.getRow(thread->lastExceptionRow, false);
    if (earlier != nullptr && earlier->stamp > 0) {
      earlier->count--;
      earlier->stamp = database->currentStamp;
      throwFrame = earlier->key.throwFrame;
    }
  }
  if (classId == 0) classId = getStringId("<unknown>", true);
  const ExceptionKey key{int32_t(thread->sequenceNumber), throwFrame, catchFrame, classId};
  const int32_t row = rowOf(*database, key);
  ExceptionRecord& counted = *database->exceptions.getRow(row, true);
  counted.count++;
  counted.stamp = database->currentStamp;
  thread->lastExceptionTag = tag;
  thread->lastExceptionRow = row;
}

void mergeDeadThreadExceptions(const YSet<int32_t>* sequenceNumbers) {
  if (sequenceNumbers == nullptr) assertionFailed("assertion failed: value is NULL", "Exceptions", 120);
  DB* database = db;
  if (database == nullptr) fatalError("db is NULL", "Exceptions", 121);
  if (sequenceNumbers->count == 0) return;
  YMap<ExceptionKey, int32_t>& rows = exceptionRows();
  YVector<ExceptionKey> merged;
  for (int32_t slot = 0; slot < rows.capacity; slot++) {
    if (rows.states[slot] == kSlotUsed && sequenceNumbers->contains(rows.keys[slot].thread)) merged.add(rows.keys[slot]);
  }
  const int32_t stamp = database->currentStamp;
  const int32_t target = int32_t(oldestFinishedThreads->sequenceNumber);
  for (int32_t i = 0; i < merged.size; i++) {
    const int32_t sourceRow = rows.remove(merged.data[i]);
    ExceptionRecord& source = *database->exceptions.getRow(sourceRow, true);
    const ExceptionKey key{target, source.key.throwFrame, source.key.catchFrame, source.key.className};
    ExceptionRecord& into = *database->exceptions.getRow(rowOf(*database, key), true);
    into.count += source.count;
    into.stamp = stamp;
    source = ExceptionRecord{};
    source.stamp = -stamp;
    database->exceptions.ids.release(sourceRow);
  }
}

jvmtiIterationControl JNICALL clearTagCallback(jlong, jlong, jlong* tag, void*) {
  *tag = 0;
  return JVMTI_ITERATION_CONTINUE;
}
