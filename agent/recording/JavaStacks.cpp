#include "agent/recording/JavaStacks.h"

#include "agent/core/JvmtiEnvironments.h"
#include "agent/db/DB.h"
#include "agent/recording/FrameTree.h"
#include "agent/recording/MethodStore.h"
#include "agent/support/FatalError.h"

namespace {

// The frames from the outermost (the last) to the leaf; `zeroIdLine` names the check of a method id.
int32_t frameOfFrames(JNIEnv* env, int32_t count, const jvmtiFrameInfo* frames, bool passOverNull,
                      int32_t zeroIdLine) {
  int32_t frame = 0;
  int32_t callLine = 0;
  for (int32_t i = count - 1; i >= 0; i--) {
    if (passOverNull && frames[i].method == nullptr) continue;
    const int32_t method = getMethodIdOfJMethod(env, frames[i].method);
    if (method == 0) assertionFailed("assertion failed", "YFrameStorageJava", zeroIdLine);
    if ((getMethodFlags(method) & methodLeftOutOfStacks) != 0) continue;
    frame = getOrCreateChildFrame(frame, method, callLine);
    callLine = getLineOfLocation(frames[i].method, method, frames[i].location);
  }
  if (frame >= 1 && callLine >= 1) frame = getOrCreateChildFrame(frame, lineMethodId, callLine);
  return frame;
}

void deleteLocals(YVector<StackLocal*>* locals) {
  if (locals == nullptr) return;
  locals->deleteElements();
  delete locals;
}

// The method's locals as its local-variable table gives them (entries without a name left out); null
// when the table cannot be read or has no entry. The table's texts are given back.
YVector<StackLocal*>* readLocals(jmethodID method) {
  jint count = 0;
  jvmtiLocalVariableEntry* table = nullptr;
  if (mainJvmti->GetLocalVariableTable(method, &count, &table) != JVMTI_ERROR_NONE) return nullptr;
  YVector<StackLocal*>* locals = count > 0 ? new YVector<StackLocal*>() : nullptr;
  for (jint i = 0; i < count; i++) {
    jvmtiLocalVariableEntry& entry = table[i];
    if (entry.name != nullptr) locals->add(new StackLocal{uint32_t(entry.slot), uint32_t(getStringId(entry.name))});
    for (char* text : {entry.name, entry.signature, entry.generic_signature}) {
      if (text != nullptr) mainJvmti->Deallocate(reinterpret_cast<unsigned char*>(text));
    }
  }
  mainJvmti->Deallocate(reinterpret_cast<unsigned char*>(table));
  return locals;
}

}  // namespace

int32_t getFrameOfStackInfo(JNIEnv* env, const jvmtiStackInfo& stack) {
  return frameOfFrames(env, stack.frame_count, stack.frame_buffer, false, 176);
}

int32_t getFrameOfFrameInfos(JNIEnv* env, int32_t count, const jvmtiFrameInfo* frames) {
  return frameOfFrames(env, count, frames, true, 203);
}

StackLocalMap::~StackLocalMap() {
  for (int32_t slot = 0; slot < byMethod.capacity; slot++) {
    if (byMethod.states[slot] == kSlotUsed) deleteLocals(byMethod.values[slot]);
  }
}

const YVector<StackLocal*>* StackLocalMap::find(jmethodID method) const {
  return byMethod.get(reinterpret_cast<int64_t>(method));
}

void StackLocalMap::put(jmethodID method, YVector<StackLocal*>* locals) {
  const int64_t key = reinterpret_cast<int64_t>(method);
  deleteLocals(byMethod.get(key));
  byMethod.put(key, locals);
}

int32_t getFrameAndStackLocals(JNIEnv* env, const jvmtiStackInfo& stack, StackLocalMap* locals) {
  if (locals == nullptr) assertionFailed("assertion failed: value is NULL", "YFrameStorageJava", 222);
  int32_t frame = 0;
  int32_t callLine = 0;
  for (int32_t i = stack.frame_count - 1; i >= 0; i--) {
    const jvmtiFrameInfo& info = stack.frame_buffer[i];
    const int32_t method = getMethodIdOfJMethod(env, info.method);
    if (method == 0) assertionFailed("assertion failed", "YFrameStorageJava", 229);
    frame = getOrCreateChildFrame(frame, method, callLine);
    callLine = getLineOfLocation(info.method, method, info.location);
    if (YVector<StackLocal*>* read = readLocals(info.method)) locals->put(info.method, read);
  }
  return frame;
}
