#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

#include "agent/support/YMap.h"
#include "agent/support/YVector.h"

// Java stacks become frames of the frame tree outermost first: each frame pairs its method with the
// line in its caller from which it was called (0 for the outermost), and a last frame of the line
// pseudo-method carries the leaf's own line. Methods left out of stacks (flag 0x1) make no frame. So
// main in A calling run in B, stopped at line 42, becomes root -> (A.main, 0) -> (B.run, line of the
// call in main) -> (<<own>>, 42). All of this runs under "ourLock".

// The frame of one stack as GetAllStackTraces or GetThreadListStackTraces give it, leaf first; 0 for an
// empty stack and for one whose methods are all left out.
int32_t getFrameOfStackInfo(JNIEnv* env, const jvmtiStackInfo& stack);
// The same over `count` frames as GetStackTrace gives them; null methods are passed over.
int32_t getFrameOfFrameInfos(JNIEnv* env, int32_t count, const jvmtiFrameInfo* frames);

// A local variable of a method on a stack: its slot and the string id of its name.
struct StackLocal {
  uint32_t slot;
  uint32_t nameId;
};

// The local variables of the methods on stacks, by jmethodID; owns the vectors and their locals.
class StackLocalMap {
 public:
  StackLocalMap() = default;
  ~StackLocalMap();
  StackLocalMap(const StackLocalMap&) = delete;
  StackLocalMap& operator=(const StackLocalMap&) = delete;

  // The method's locals, null when its table could not be read.
  const YVector<StackLocal*>* find(jmethodID method) const;
  // Takes `locals` as the method's, freeing any it had.
  void put(jmethodID method, YVector<StackLocal*>* locals);

 private:
  YMap<int64_t, YVector<StackLocal*>*> byMethod{1000};
};

// For the stack roots of a heap snapshot: the frame of the stack with every method kept (also those
// left out of recorded stacks) and no line frame, and the local-variable table of each method on it,
// read again for every frame that has one. A method whose table cannot be read gets no locals.
int32_t getFrameAndStackLocals(JNIEnv* env, const jvmtiStackInfo& stack, StackLocalMap* locals);
