#include "agent/recording/YNodeTree.h"

#include <cstring>

#include "agent/core/JvmtiEnvironments.h"
#include "agent/db/CodePointKey.h"
#include "agent/db/CodePointStorage.h"
#include "agent/db/DB.h"
#include "agent/recording/CountingSupport.h"
#include "agent/support/FatalError.h"
#include "agent/support/NamedLocks.h"

namespace {

constexpr int32_t freshRowStride = 3;
constexpr int32_t firstCapacity = 16384;
constexpr int32_t growthRows = 8192;

constexpr int32_t tracedFlagsMask = methodLeftOutOfStacks | methodTraced | methodAdaptiveExcluded;

}  // namespace

YNodeTree::YNodeTree() : frameBuffer(new jvmtiFrameInfo[frameBufferSize]) {
  allocNode();  // the root
  nextFreshRow = 1;
  scanPosition = 1;
}

YNodeTree::~YNodeTree() {
  delete[] nodes;
  delete[] frameBuffer;
}

int32_t YNodeTree::allocNode() {
  for (;;) {
    if (nextFreshRow < capacity) {
      const int32_t row = nextFreshRow;
      nextFreshRow += freshRowStride;
      return row;
    }
    while (scanPosition < capacity) {
      const int32_t row = scanPosition++;
      if (nodes[row].key == 0) return row;
    }
    grow();
  }
}

void YNodeTree::grow() {
  YCriticalSectionLock held(&ourLock(), "YNodeTree:60");
  const int32_t grown = capacity == 0 ? firstCapacity : capacity + growthRows;
  Node* rows = new Node[size_t(grown)]();
  if (capacity > 0) std::memcpy(rows, nodes, sizeof(Node) * size_t(capacity));
  delete[] nodes;
  nodes = rows;
  capacity = grown;
}

int32_t YNodeTree::getChildByKey(int32_t parent, int32_t key) {
  const int32_t first = nodes[parent].firstChild;
  if (first == 0) {
    const int32_t child = allocNode();
    nodes[child].parent = parent;
    nodes[child].key = key;
    nodes[parent].firstChild = child;
    return child;
  }
  int32_t last = first;
  for (int32_t child = first; child != 0; child = nodes[child].nextSibling) {
    if (nodes[child].key == key) return child;
    last = child;
  }
  int32_t sibling = 0;
  for (int32_t row = last + 1; row <= first + 2 && row < capacity; row++) {
    if (nodes[row].key == 0) sibling = row;
  }
  if (sibling == 0) sibling = allocNode();
  nodes[sibling].parent = parent;
  nodes[sibling].key = key;
  nodes[last].nextSibling = sibling;
  return sibling;
}

int32_t YNodeTree::getCodePointKey(int32_t methodId, int32_t line) {
  const int32_t compact = codePointKeyWithoutRow(methodId, line);
  if (compact != 0) return compact;
  const int64_t pair = codePointPair(methodId, line);
  if (const int32_t slot = codePointKeyCache.indexOf(pair); slot >= 0) return codePointKeyCache.values[slot];
  int32_t key;
  {
    YCriticalSectionLock held(&ourLock(), "YNodeTree:157");
    key = CodePointStorage::getOrAddRow(methodId, line);
  }
  codePointKeyCache.put(pair, key);
  return key;
}

int32_t YNodeTree::getMethodId(JNIEnv* env, jmethodID method) {
  const int64_t key = reinterpret_cast<int64_t>(method);
  if (const int32_t slot = methodCache.indexOf(key); slot >= 0) return methodCache.values[slot];
  int32_t id;
  {
    YCriticalSectionLock held(&ourLock(), "YNodeTree:195");
    id = getMethodIdOfJMethod(env, method);
  }
  if (id < 1) assertionFailed("assertion failed", "YNodeTree", 197);
  methodCache.put(key, id);
  return id;
}

int32_t YNodeTree::getLineOfLocation(jmethodID method, int32_t methodId, int64_t location) {
  if (location < 0) return 0;
  const MethodLocation key{methodId, location};
  if (const int32_t slot = lineCache.indexOf(key); slot >= 0) return lineCache.values[slot];
  int32_t line;
  {
    YCriticalSectionLock held(&ourLock(), "YNodeTree:182");
    line = ::getLineOfLocation(method, methodId, location);
  }
  lineCache.put(key, line);
  return line;
}

int32_t YNodeTree::readStack(int32_t maxFrames) {
  jint count = 0;
  if (mainJvmti->GetStackTrace(nullptr, 0, maxFrames, frameBuffer, &count) != JVMTI_ERROR_NONE) return 0;
  return count;
}

int32_t YNodeTree::captureStackWithLine(JNIEnv* env, int32_t* line) {
  const int32_t count = readStack(frameBufferSize);
  int32_t node = 0;
  int32_t callLine = 0;
  for (int32_t i = count - 1; i >= 0; i--) {
    const int32_t method = getMethodId(env, frameBuffer[i].method);
    if ((getMethodFlags(method) & methodLeftOutOfStacks) != 0) continue;
    node = getChild(node, method, callLine);
    callLine = getLineOfLocation(frameBuffer[i].method, method, frameBuffer[i].location);
  }
  if (line != nullptr) *line = callLine;
  return node;
}

int32_t YNodeTree::captureTracedStack(JNIEnv* env, bool withLines) {
  const int32_t count = readStack(frameBufferSize);
  int32_t node = 0;
  int32_t pendingLine = 0;
  for (int32_t i = count - 1; i >= 0; i--) {
    const int32_t method = getMethodId(env, frameBuffer[i].method);
    // Read without the lock: a flag set or cleared meanwhile costs one recording at most.
    if ((getMethodFlags(method) & tracedFlagsMask) != methodTraced) {
      pendingLine = 0;
      continue;
    }
    node = getChild(node, method, pendingLine);
    if (withLines) pendingLine = getLineOfLocation(frameBuffer[i].method, method, frameBuffer[i].location);
  }
  return node;
}

int32_t YNodeTree::appendLineNode(int32_t node, int32_t line) {
  return node >= 1 && line >= 1 ? getChild(node, lineMethodId, line) : node;
}

int32_t YNodeTree::pseudoStackNode(int32_t& cached, const char* name, const char* lockSite) {
  if (cached >= 0) return cached;
  int32_t method;
  {
    YCriticalSectionLock held(&ourLock(), lockSite);
    method = getOrCreateMethod("", name, "()", "void", "", false);
  }
  cached = getChild(0, method, 0);
  return cached;
}

int32_t YNodeTree::getStartupAllocationsNode() {
  return pseudoStackNode(startupAllocationsNode, "<Objects allocated during JVM startup>", "YNodeTree:307");
}

int32_t YNodeTree::getNoStackTraceNode() {
  return pseudoStackNode(noStackTraceNode, "<Stack trace could not be retrieved>", "YNodeTree:316");
}

int32_t YNodeTree::getTopMethodId(JNIEnv* env) {
  return readStack(1) == 0 ? 0 : getMethodId(env, frameBuffer[0].method);
}

uint64_t* YNodeTree::getAllocPointCounter(int32_t codePointKey, int32_t classNameId) {
  const int64_t point = allocPointPair(codePointKey, classNameId);
  if (const int32_t slot = allocPointCounterCache.indexOf(point); slot >= 0) return allocPointCounterCache.values[slot];
  uint64_t* counter;
  {
    YCriticalSectionLock held(&ourLock(), "YNodeTree:329");
    counter = getCountingSlot(getAllocPointRow(codePointKey, classNameId), allocPointCounters());
  }
  allocPointCounterCache.put(point, counter);
  return counter;
}

int32_t captureStackFrame(YNodeTree* tree, JNIEnv* env) {
  int32_t line = 0;
  const int32_t node = tree->captureStackWithLine(env, &line);
  return tree->appendLineNode(node, line);
}
