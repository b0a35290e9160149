#pragma once

#include "agent/platform/YCriticalSection.h"
#include "agent/support/YVector.h"

// A queue that any thread may push to while one consumer takes everything queued so far. Pushing and
// taking hold the queue's own lock only for the copy, so a producer that runs where little is allowed
// (a JVMTI ObjectFree handler) never waits for the consumer's work. Plain elements only; what they point
// to is the users' to own.
template <class T>
class SynchronizedQueue {
 public:
  explicit SynchronizedQueue(const char* lockName) : lock(lockName) {}
  SynchronizedQueue(const SynchronizedQueue&) = delete;
  SynchronizedQueue& operator=(const SynchronizedQueue&) = delete;

  // On running out of memory nothing is queued.
  void push(const T& element) {
    YCriticalSectionLock held(&lock, "SynchronizedQueue:17");
    elements.add(element);
  }

  // Appends every queued element to `taken`, in queue order, and empties the queue. On running out of
  // memory neither changes, so that each element stays in exactly one place.
  template <int N>
  void takeAll(YVector<T, N>& taken) {
    YCriticalSectionLock held(&lock, "SynchronizedQueue:26");
    taken.addRange(elements.data, elements.size);
    elements.removeRange(0, elements.size);
  }

 private:
  YCriticalSection lock;
  YVector<T> elements;
};
