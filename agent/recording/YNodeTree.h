#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

#include "agent/recording/MethodStore.h"
#include "agent/support/YMap.h"

// A thread's private call tree: its node ids stand for the thread's stacks, so that a callback records
// a stack without the database lock as long as its lookups hit the tree's caches. A node is a (parent,
// code-point key) pair like a frame of the frame tree, and the thread's record maps it onto that frame
// at replay. Node 0 is the root; a key of 0 marks a free row. Only the owning thread adds nodes and
// fills the caches; every miss that reaches shared state takes "ourLock" for that lookup alone, and so
// does growing the rows, which replays on other threads read under the same lock.
class YNodeTree {
 public:
  struct Node {
    int32_t parent;
    int32_t key;
    int32_t firstChild;   // 0 none
    int32_t nextSibling;  // 0 none
  };

  static constexpr int32_t frameBufferSize = 1024;

  YNodeTree();
  ~YNodeTree();
  YNodeTree(const YNodeTree&) = delete;
  YNodeTree& operator=(const YNodeTree&) = delete;

  // A free row: the next fresh one (fresh rows are 3 apart, leaving room for the first siblings of
  // each), else the first free row the scan finds, else one of 8192 rows the table grows by.
  int32_t allocNode();
  // The child of `parent` with the key, made when missing: a second child goes to the last free row of
  // the two after the first child, later ones to allocNode's.
  int32_t getChildByKey(int32_t parent, int32_t key);
  int32_t getChild(int32_t parent, int32_t methodId, int32_t line) {
    return getChildByKey(parent, getCodePointKey(methodId, line));
  }
  // The key of (method, line); pairs without a compact form are looked up in the database once.
  int32_t getCodePointKey(int32_t methodId, int32_t line);
  // The method id of a JVM method, at least 1.
  int32_t getMethodId(JNIEnv* env, jmethodID method);
  // The line of a location of the method, 0 for none and for a negative location.
  int32_t getLineOfLocation(jmethodID method, int32_t methodId, int64_t location);

  // The node of the calling thread's stack (at most 1024 frames) without a line node; the leaf's line
  // goes to `line` when given (0 for an empty stack). 0 when the thread has no Java frame.
  int32_t captureStackWithLine(JNIEnv* env, int32_t* line);
  // The node of the calling thread's stack made of the methods instrumented for tracing and neither
  // left out nor excluded by the adaptive filter. With `withLines` each node pairs its method with the
  // line of the traced caller right above it; a method called from elsewhere gets line 0.
  int32_t captureTracedStack(JNIEnv* env, bool withLines);
  // The child for the line pseudo-method and `line` when node and line are at least 1, else the node.
  int32_t appendLineNode(int32_t node, int32_t line);

  // The nodes of the pseudo stacks "<Objects allocated during JVM startup>" and "<Stack trace could not
  // be retrieved>": a root child each, made on first request.
  int32_t getStartupAllocationsNode();
  int32_t getNoStackTraceNode();
  // The method id of the calling thread's top frame, 0 when it has none.
  int32_t getTopMethodId(JNIEnv* env);
  // The address of the counter of an allocation point (code-point key, class-name string id).
  uint64_t* getAllocPointCounter(int32_t codePointKey, int32_t classNameId);

  // The calling thread's frames, leaf first, into the frame buffer; 0 when the JVM gives none.
  int32_t readStack(int32_t maxFrames);

  Node* nodes = nullptr;
  int32_t capacity = 0;
  int32_t nextFreshRow = 0;
  int32_t scanPosition = 0;
  YMap<MethodLocation, int32_t> lineCache{1024};
  YMap<int64_t, int32_t> codePointKeyCache{1024};      // line << 32 | method
  YMap<int64_t, uint64_t*> allocPointCounterCache{1024};  // key << 32 | class-name string id
  YMap<int64_t, int32_t> methodCache{1024};            // jmethodID
  jvmtiFrameInfo* frameBuffer;
  int32_t startupAllocationsNode = -1;
  int32_t noStackTraceNode = -1;

 private:
  int32_t pseudoStackNode(int32_t& cached, const char* name, const char* lockSite);
  void grow();
};

// The node of the calling thread's current stack (at most 1024 frames), ending in a line node for the
// leaf's line: the node-tree twin of getFrameOfStackInfo, mapping to exactly the frame that builds.
int32_t captureStackFrame(YNodeTree* tree, JNIEnv* env);
