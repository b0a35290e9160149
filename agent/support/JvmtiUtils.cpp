#include "agent/support/JvmtiUtils.h"

#include "agent/classfile/SignatureUtil.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/support/FatalError.h"

YString jvmtiErrorText(jvmtiEnv* jvmti, jvmtiError error) {
  YString text{int64_t(int32_t(error))};
  text.append(":");
  char* name = nullptr;
  if (jvmti != nullptr && jvmti->GetErrorName(error, &name) != JVMTI_ERROR_NONE) name = nullptr;
  text.append(name != nullptr ? name : "<null>");
  if (name != nullptr) jvmti->Deallocate(reinterpret_cast<unsigned char*>(name));
  return text;
}

void checkJvmtiError(jvmtiError error, const char* file, int32_t line) {
  if (error == JVMTI_ERROR_NONE) return;
  YString message("ERROR: JVMTI error ");
  message.append(jvmtiErrorText(mainJvmti, error));
  message.append(" at ");
  message.append(file);
  message.append(":");
  message.appendLong(line);
  fatalError(message.data, "JvmtiUtils", __LINE__);
}

unsigned char* jvmtiAllocate(int64_t size) {
  unsigned char* memory = nullptr;
  checkJvmtiError(mainJvmti->Allocate(size, &memory), "JvmtiUtils", __LINE__);
  return memory;
}

void jvmtiDeallocate(void* memory) {
  checkJvmtiError(mainJvmti->Deallocate(static_cast<unsigned char*>(memory)), "JvmtiUtils", __LINE__);
}

JvmtiText::~JvmtiText() {
  if (text != nullptr) mainJvmti->Deallocate(reinterpret_cast<unsigned char*>(text));
}

jvmtiError iterateOverHeap(jvmtiEnv* jvmti, jvmtiHeapObjectCallback callback, const void* userData) {
  return jvmti->IterateOverHeap(JVMTI_HEAP_OBJECT_EITHER, callback, userData);
}

YString getClassSignature(jclass klass, const char* defaultText) {
  if (klass == nullptr) assertionFailed("assertion failed: value is NULL", "JvmtiUtils", __LINE__);
  char* signature = nullptr;
  const jvmtiError error = mainJvmti->GetClassSignature(klass, &signature, nullptr);
  if (error != JVMTI_ERROR_NONE) {
    if (defaultText != nullptr) return YString(defaultText);
    checkJvmtiError(error, "JvmtiUtils", __LINE__);
  }
  if (signature == nullptr) assertionFailed("assertion failed: value is NULL", "JvmtiUtils", __LINE__);
  YString typeName;
  try {
    typeName = descriptorToJavaTypeName(signature);
  } catch (...) {
    mainJvmti->Deallocate(reinterpret_cast<unsigned char*>(signature));
    throw;
  }
  jvmtiDeallocate(signature);
  return typeName;
}
