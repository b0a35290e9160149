#pragma once

#include <jvmti.h>

#include <atomic>
#include <cstdint>

#include "agent/support/YString.h"

// The agent's record of one Java thread. So far it holds what the JVMTI helpers need: the thread number
// and the thread's names, read from the JVM when first needed. Thread recording grows this class later
// (its database row, event buffer, call trees, sampling state and the registry of live records).
class ThreadInfo {
 public:
  ThreadInfo(int32_t threadNumber, const YString& name);
  ThreadInfo(const ThreadInfo&) = delete;
  ThreadInfo& operator=(const ThreadInfo&) = delete;

  // Re-reads the thread's name, group name and daemon flag from the JVM, unless the record already has a
  // name and `force` is off. A thread the JVM cannot describe leaves the record as it is.
  void refreshName(JNIEnv* env, jthread thread, bool force);

  // A small index, reused once the thread has ended.
  int32_t threadNumber;
  YString name;
  YString groupName;
  bool daemon = false;
  // 1 once the record has been handed out for a Java thread (getThreadRecord); the table writers store
  // the current name of such records.
  std::atomic<uint8_t> reachedFromJava{0};
};

// The thread's name, its group's name and its daemon flag, from GetThreadInfo and GetThreadGroupInfo on
// the main JVMTI environment. False, with empty names and daemon false, when GetThreadInfo fails; a
// group that cannot be described leaves its name empty.
bool readThreadInfo(JNIEnv* env, jthread thread, YString& name, YString& groupName, bool& daemon);

// The record that stands for every thread while the JVM is in its start phase; null until the database
// creates it.
extern ThreadInfo* vmStartThreadEntry;
