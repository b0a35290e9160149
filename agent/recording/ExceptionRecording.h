#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

#include "agent/platform/YCriticalSection.h"
#include "agent/recording/ExceptionKey.h"
#include "agent/support/YMap.h"
#include "agent/support/YSet.h"

class ThreadInfo;

// Exception recording: how many exceptions each thread threw, by where they were thrown, where they were
// caught and their class. The JVM's Exception and ExceptionCatch events append one exception record to
// the throwing thread's buffer (no lock, except to name a class seen for the first time); the replay of
// the buffer counts it in the "exception" row of its key. Class and object tags live in the exception
// environment (exceptionJvmti): a class's tag is the pinned string id of its JVM signature, an object's
// tag a number from a process-wide counter, by which a rethrow of the same object is recognised.

// A throw on the thread (its own record). With `catchKnown` the exception waits for its catch as the
// thread's pending exception; without, it is recorded as not caught (catch frame 0). Nothing while the
// JVM is not live. While CPU tracing follows the thread's whole stack (and the agent was not attached)
// the throw site is the thread's traced frame at replay, and no stack is walked.
void handleExceptionEvent(JNIEnv* env, ThreadInfo* thread, jobject exception, bool catchKnown);
// The catch of the thread's pending exception, recorded with the stack of the catch; nothing when the
// thread has no pending exception or the JVM is not live.
void handleExceptionCatchEvent(JNIEnv* env, ThreadInfo* thread, jobject exception);

// Replays one exception record of the thread: one more in the row of (thread, throw frame, catch frame,
// class). Throw node -1 stands for the thread's current traced frame, catch node 0 for no catch, class 0
// for "<unknown>". An object thrown again after its catch (the same tag as the thread's last one) is
// taken back from its earlier row and counted from that row's throw site, so a rethrown exception counts
// once, at its first throw and its last catch. A throw without a known frame is dropped with a warning.
// Runs in the buffer replay, under "ourLock" (`held`); fatal "db is NULL" without a database.
void p_e(ThreadInfo* thread, int32_t throwNode, int32_t catchNode, int32_t classId, int32_t tag,
         const YCriticalSectionLock& held);

// Moves the counts of the threads with these sequence numbers to the "<Oldest finished threads>" record,
// deleting their rows. Runs under "ourLock"; a null set is an assertion, a missing database fatal.
void mergeDeadThreadExceptions(const YSet<int32_t>* sequenceNumbers);

// The tag of the object's class in the exception environment: the pinned string id of its JVM signature
// ("Ljava/lang/Throwable;"), set on first use under "ourLock". 0 for a null object, when the tag cannot
// be read, or when the class cannot be described (it is then asked again next time).
int32_t getExceptionClassId(JNIEnv* env, jobject exception);
// The object's tag in the exception environment, set from the counter when it has none; 0 for null.
int32_t getExceptionObjectTag(jobject exception);

// Heap iteration callback: clears the object's tag and goes on.
jvmtiIterationControl JNICALL clearTagCallback(jlong classTag, jlong size, jlong* tag, void* userData);

// The statistics: key to row of the "exception" table, guarded by "ourLock".
YMap<ExceptionKey, int32_t>& exceptionRows();
