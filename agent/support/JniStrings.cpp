#include "agent/support/JniStrings.h"

#include <new>

#include "agent/support/FatalError.h"
#include "agent/support/JniUtils.h"
#include "agent/support/Log.h"

namespace {

[[noreturn]] void valueIsNull(int32_t line) { assertionFailed("assertion failed: value is NULL", "JniStrings", line); }

// The characters of GetStringUTFChars, released on every road out of the block.
class UtfChars {
 public:
  UtfChars(JNIEnv* env, jstring string) : env(env), string(string), chars(env->GetStringUTFChars(string, nullptr)) {}
  ~UtfChars() {
    if (chars != nullptr) env->ReleaseStringUTFChars(string, chars);
  }
  UtfChars(const UtfChars&) = delete;
  UtfChars& operator=(const UtfChars&) = delete;

  JNIEnv* const env;
  const jstring string;
  const char* const chars;
};

// The same for GetStringChars.
class WideChars {
 public:
  WideChars(JNIEnv* env, jstring string) : env(env), string(string), chars(env->GetStringChars(string, nullptr)) {}
  ~WideChars() {
    if (chars != nullptr) env->ReleaseStringChars(string, chars);
  }
  WideChars(const WideChars&) = delete;
  WideChars& operator=(const WideChars&) = delete;

  JNIEnv* const env;
  const jstring string;
  const jchar* const chars;
};

}  // namespace

YString jstringToYString(JNIEnv* env, jstring string) {
  if (string == nullptr) return YString();
  const UtfChars utf(env, string);
  if (utf.chars == nullptr) valueIsNull(__LINE__);
  return YString(utf.chars);
}

std::unique_ptr<YString> jstringToYStringOrError(JNIEnv* env, jstring string) {
  if (string == nullptr) return nullptr;
  const UtfChars utf(env, string);
  if (utf.chars == nullptr) {
    logMessage(YString("error: GetStringUTFChars failed"));
    clearAndLogPendingException(env);
    return nullptr;
  }
  try {
    return std::make_unique<YString>(utf.chars);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

YWideString jstringToWideString(JNIEnv* env, jstring string) {
  if (string == nullptr) return YWideString();
  const jsize length = env->GetStringLength(string);
  const WideChars wide(env, string);
  if (wide.chars == nullptr) valueIsNull(__LINE__);
  YWideString text;
  text.reserve(int64_t(length) + 1);
  for (jsize i = 0; i < length; i++) text.append(char16_t(wide.chars[i]));
  return text;
}

void jstringArrayToVector(JNIEnv* env, jobjectArray array, YVector<YString>* strings) {
  if (array == nullptr || strings == nullptr) valueIsNull(__LINE__);
  const jsize length = env->GetArrayLength(array);
  for (jsize i = 0; i < length; i++) {
    // Deleted at once: a long array would otherwise hold one local reference per element.
    const auto element = static_cast<jstring>(env->GetObjectArrayElement(array, i));
    strings->add(jstringToYString(env, element));
    env->DeleteLocalRef(element);
  }
}

void appendJavaStringArrayIfNotNull(JNIEnv* env, jobjectArray array, YVector<YString>* strings) {
  if (array != nullptr) jstringArrayToVector(env, array, strings);
}

jstring toJavaString(JNIEnv* env, const char* text) {
  if (text == nullptr) return nullptr;
  const jstring string = env->NewStringUTF(text);
  if (env->ExceptionCheck()) {
    env->ExceptionClear();
    return nullptr;
  }
  return string;
}

jstring toJavaString(JNIEnv* env, const YString& text) { return toJavaString(env, text.data); }

jobjectArray toJavaStringArray(JNIEnv* env, const YVector<YString>* strings) {
  if (strings == nullptr) valueIsNull(__LINE__);
  const jclass stringClass = findClass(env, "java/lang/String");
  const jobjectArray array = env->NewObjectArray(strings->size, stringClass, nullptr);
  assertJni(env, "JniStrings", __LINE__);
  for (int32_t i = 0; i < strings->size; i++) {
    const jstring element = toJavaString(env, strings->get(i));
    if (element == nullptr) continue;
    env->SetObjectArrayElement(array, i, element);
    env->DeleteLocalRef(element);
  }
  env->DeleteLocalRef(stringClass);
  return array;
}
