#include "agent/recording/ThreadInfo.h"

#include "agent/core/JvmtiEnvironments.h"

ThreadInfo* vmStartThreadEntry = nullptr;

namespace {

// A JVMTI text as a string, freed; empty for null.
YString takeJvmtiText(char* text) {
  if (text == nullptr) return YString();
  YString copy(text);
  mainJvmti->Deallocate(reinterpret_cast<unsigned char*>(text));
  return copy;
}

}  // namespace

ThreadInfo::ThreadInfo(int32_t threadNumber, const YString& name) : threadNumber(threadNumber), name(name) {}

void ThreadInfo::refreshName(JNIEnv* env, jthread thread, bool force) {
  if (!force && name.length > 0) return;
  YString readName;
  YString readGroupName;
  bool readDaemon = false;
  if (!readThreadInfo(env, thread, readName, readGroupName, readDaemon)) return;
  if (!readName.equals(name)) name = readName;
  groupName = readGroupName;
  daemon = readDaemon;
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
