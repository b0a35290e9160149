#include "agent/recording/ClassSignature.h"

#include "agent/classfile/SignatureUtil.h"
#include "agent/support/FatalError.h"
#include "agent/support/JvmtiUtils.h"

YString getClassSignature(jclass klass, const char* defaultText) {
  if (klass == nullptr) assertionFailed("assertion failed: value is NULL", "ClassSignature", __LINE__);
  JvmtiText signature;
  const jvmtiError error = mainJvmti->GetClassSignature(klass, signature.out(), nullptr);
  if (error != JVMTI_ERROR_NONE) {
    if (defaultText != nullptr) return YString(defaultText);
    checkJvmtiError(error, "ClassSignature", __LINE__);
  }
  if (signature.text == nullptr) assertionFailed("assertion failed: value is NULL", "ClassSignature", __LINE__);
  return descriptorToJavaTypeName(signature.text);
}
