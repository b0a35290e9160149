#include "agent/recording/FrameTree.h"

#include <algorithm>

#include "agent/db/CodePointKey.h"
#include "agent/db/CodePointStorage.h"
#include "agent/db/DB.h"
#include "agent/recording/MethodStore.h"
#include "agent/support/FatalError.h"
#include "agent/support/NamedLocks.h"

namespace {

// The frame's row; a frame never written reads as the empty record (parent -1, no children).
const FrameRecord& frameRow(int32_t frameId) {
  static const FrameRecord empty;
  const FrameRecord* frame = frameTable->getRow(frameId, false);
  return frame == nullptr ? empty : *frame;
}

FrameRecord& writableFrameRow(int32_t frameId) { return *frameTable->getRow(frameId, true); }

// Event rows pass over the frames of probe callbacks.
bool runsPassedOverMethod(int32_t frameId) { return (getMethodFlags(getFrameMethod(frameId)) & methodProbeCallback) != 0; }

const char* textOf(const DB& database, int32_t stringId, const char* absent) {
  const StringRecord* row = stringId > 0 ? database.strings.findRow(stringId) : nullptr;
  return row != nullptr && row->stamp > 0 && row->body != nullptr ? row->body : absent;
}

// "<class>.<name><parameters>" of the method's record.
void appendMethodName(YString& text, const DB& database, int32_t methodId) {
  const MethodRecord* method = methodId >= 0 ? database.methods.findRow(methodId) : nullptr;
  const MethodRecord none{};
  const MethodRecord& row = method != nullptr ? *method : none;
  text.append(textOf(database, row.classNameId, "<no class>"));
  text.append('.');
  text.append(textOf(database, row.nameId, "<no name>"));
  text.append(textOf(database, row.parametersId, "<no params>"));
}

}  // namespace

int32_t getOrCreateChildFrame(int32_t parent, int32_t methodId, int32_t line) {
  return getOrCreateChildFrameByKey(parent, CodePointStorage::getOrAdd(methodId, line));
}

int32_t getOrCreateChildFrameByKey(int32_t parent, int32_t key) {
  if (parent < 0) assertionFailed("assertion failed", "FrameTree", __LINE__);
  DB& database = requireDatabase();
  int32_t child = frameRow(parent).firstChild;
  if (child == -1) {
    const int32_t created = appendChildFrame(parent, key);
    writableFrameRow(parent).firstChild = created;
    return created;
  }
  for (;;) {
    const FrameRecord& row = frameRow(child);
    if (row.codePointKey == key) return child;
    if (row.nextSibling == -1) break;
    child = row.nextSibling;
  }
  const int32_t created = appendChildFrame(parent, key);
  FrameRecord& last = writableFrameRow(child);
  last.nextSibling = created;
  last.stamp = database.currentStamp;
  return created;
}

int32_t appendChildFrame(int32_t parent, int32_t key) {
  DB& database = requireDatabase();
  const int32_t id = database.frames.ids.allocate();
  if (id < 0) assertionFailed("assertion failed", "FrameTree", __LINE__);
  FrameRecord& frame = writableFrameRow(id);
  frame = FrameRecord{};
  frame.stamp = database.currentStamp;
  frame.parent = parent;
  frame.codePointKey = key;
  writableFrameRow(parent).stamp = database.currentStamp;
  return id;
}

int32_t getCodePointMethod(int32_t key) {
  if (key >= 0) return key;
  if (isCompactCodePointKey(key)) return compactCodePointMethod(key);
  const CodePointRecord* pair = requireDatabase().codePoints.getRow(codePointRow(key), false);
  return pair == nullptr ? 0 : pair->methodId;
}

int32_t getFrameMethod(int32_t frameId) {
  requireDatabase();
  return getCodePointMethod(frameRow(frameId).codePointKey);
}

bool frameHasAncestorWithSameMethod(int32_t frameId) {
  if (frameId < 1) return false;
  const int32_t method = getFrameMethod(frameId);
  for (int32_t ancestor = frameRow(frameId).parent; ancestor >= 1; ancestor = frameRow(ancestor).parent) {
    if (getFrameMethod(ancestor) == method) return true;
  }
  return false;
}

int32_t getOuterFrameOfMarkedRun(int32_t frameId) {
  if (frameId < 1) return std::max(frameId, 0);
  requireDatabase();
  int32_t current = frameId;
  while (current >= 1 && !runsPassedOverMethod(current)) current = frameRow(current).parent;
  if (current < 1) return frameId;
  while (current >= 1 && runsPassedOverMethod(current)) current = frameRow(current).parent;
  return std::max(current, 0);
}

YString dumpFrameStack(int32_t frameId) {
  const DB& database = requireDatabase();
  YString text("stack for frame ");
  text.appendLong(frameId);
  text.append(":\n");
  for (int32_t frame = frameId; frame >= 1; frame = frameRow(frame).parent) {
    const int32_t method = getFrameMethod(frame);
    text.append(" #");
    text.appendLong(method);
    text.append(' ');
    appendMethodName(text, database, method);
    text.append('\n');
  }
  text.append('\n');
  return text;
}

YString dumpMethod(int32_t methodId) {
  const DB& database = requireDatabase();
  YString text("method #");
  text.appendLong(methodId);
  text.append(": ");
  appendMethodName(text, database, methodId);
  return text;
}

YString dumpFrameMethod(int32_t frameId) { return dumpMethod(getFrameMethod(frameId)); }

int32_t getOrCreatePseudoRootFrame(std::atomic<int32_t>& cache, const char* methodName, const char* site) {
  int32_t frame = cache.load(std::memory_order_acquire);
  if (frame >= 0) return frame;
  YCriticalSectionLock held(&ourLock(), site);
  frame = cache.load(std::memory_order_relaxed);
  if (frame >= 0) return frame;
  frame = getOrCreateChildFrame(0, getOrCreateMethod("", methodName, "()", "void", "", false), 0);
  cache.store(frame, std::memory_order_release);
  return frame;
}
