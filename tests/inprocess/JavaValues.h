#pragma once

#include <jni.h>

#include <string>
#include <vector>

// Test-side JNI helpers that use only the JVM's own functions, so that they judge the agent's helpers
// instead of repeating them. Each leaves no exception pending.

// A Java String of exactly these UTF-16 units.
inline jstring javaString(JNIEnv* env, const std::u16string& units) {
  return env->NewString(reinterpret_cast<const jchar*>(units.data()), jsize(units.size()));
}

// The UTF-16 units of a Java String.
inline std::u16string unitsOf(JNIEnv* env, jstring string) {
  std::u16string units(size_t(env->GetStringLength(string)), u'\0');
  env->GetStringRegion(string, 0, jsize(units.size()), reinterpret_cast<jchar*>(&units[0]));
  return units;
}

// A new throwable of the class made with its (String) constructor, or with its no-argument one when
// `message` is null.
inline jthrowable newThrowable(JNIEnv* env, const char* className, const char16_t* message) {
  const jclass type = env->FindClass(className);
  jthrowable made;
  if (message == nullptr) {
    made = static_cast<jthrowable>(env->NewObject(type, env->GetMethodID(type, "<init>", "()V")));
  } else {
    const jstring text = javaString(env, message);
    made =
        static_cast<jthrowable>(env->NewObject(type, env->GetMethodID(type, "<init>", "(Ljava/lang/String;)V"), text));
    env->DeleteLocalRef(text);
  }
  env->DeleteLocalRef(type);
  return made;
}

// The class name and message of a throwable, the message flagged when it is null.
struct ThrowableFacts {
  std::string className;
  std::u16string message;
  bool nullMessage = false;
};

inline ThrowableFacts factsOf(JNIEnv* env, jthrowable throwable) {
  ThrowableFacts facts;
  const jclass type = env->GetObjectClass(throwable);
  const jclass classClass = env->FindClass("java/lang/Class");
  const auto name = static_cast<jstring>(
      env->CallObjectMethod(type, env->GetMethodID(classClass, "getName", "()Ljava/lang/String;")));
  env->ExceptionCheck();  // checked JNI wants every call into Java followed by a check
  const char* chars = env->GetStringUTFChars(name, nullptr);
  facts.className = chars;
  env->ReleaseStringUTFChars(name, chars);
  const auto message = static_cast<jstring>(
      env->CallObjectMethod(throwable, env->GetMethodID(type, "getMessage", "()Ljava/lang/String;")));
  env->ExceptionCheck();
  facts.nullMessage = message == nullptr;
  if (message != nullptr) facts.message = unitsOf(env, message);
  for (jobject local : {static_cast<jobject>(type), static_cast<jobject>(classClass), static_cast<jobject>(name),
                        static_cast<jobject>(message)}) {
    env->DeleteLocalRef(local);
  }
  return facts;
}

// Takes the pending exception (there must be one), clears it and tells what it was.
inline ThrowableFacts takePendingException(JNIEnv* env) {
  const jthrowable pending = env->ExceptionOccurred();
  if (pending == nullptr) return ThrowableFacts{"<none>", u"", true};
  env->ExceptionClear();
  ThrowableFacts facts = factsOf(env, pending);
  env->DeleteLocalRef(pending);
  return facts;
}
