#include "agent/support/JniUtils.h"

#include <cstdarg>

#include "agent/support/FatalError.h"
#include "agent/support/Log.h"

namespace {

// Takes a pending exception out of the way for the life of the object and makes it pending again at
// the end, after clearing whatever the calls in between raised.
class PendingExceptionSetAside {
 public:
  explicit PendingExceptionSetAside(JNIEnv* env) : env(env), pending(env->ExceptionOccurred()) {
    if (pending != nullptr) env->ExceptionClear();
  }
  ~PendingExceptionSetAside() {
    if (env->ExceptionCheck()) env->ExceptionClear();
    if (pending == nullptr) return;
    env->Throw(pending);
    env->DeleteLocalRef(pending);
  }
  PendingExceptionSetAside(const PendingExceptionSetAside&) = delete;
  PendingExceptionSetAside& operator=(const PendingExceptionSetAside&) = delete;

 private:
  JNIEnv* const env;
  const jthrowable pending;
};

// True when the last call raised; the exception is cleared.
bool raised(JNIEnv* env) {
  if (!env->ExceptionCheck()) return false;
  env->ExceptionClear();
  return true;
}

// The string's modified UTF-8 appended to `text`; false when there is none to be had.
bool appendStringChars(JNIEnv* env, jstring string, YString& text) {
  if (string == nullptr) return false;
  const char* chars = env->GetStringUTFChars(string, nullptr);
  if (chars == nullptr) {
    raised(env);
    return false;
  }
  text.append(chars);
  env->ReleaseStringUTFChars(string, chars);
  return true;
}

// The describing calls, with no exception pending on entry; they leave their local references to the
// caller's local frame.
YString describeWithoutPendingException(JNIEnv* env, jthrowable exception) {
  const jclass exceptionClass = env->GetObjectClass(exception);
  const jclass classClass = env->FindClass("java/lang/Class");
  if (exceptionClass == nullptr || classClass == nullptr || raised(env)) return YString();
  const jmethodID getName = env->GetMethodID(classClass, "getName", "()Ljava/lang/String;");
  if (getName == nullptr || raised(env)) return YString();
  const auto name = static_cast<jstring>(callObjectMethod(env, exceptionClass, getName));
  if (raised(env)) return YString();
  const jmethodID getMessage = env->GetMethodID(exceptionClass, "getMessage", "()Ljava/lang/String;");
  if (getMessage == nullptr || raised(env)) return YString();
  const auto message = static_cast<jstring>(callObjectMethod(env, exception, getMessage));
  if (raised(env)) return YString();
  YString text;
  if (!appendStringChars(env, name, text)) return YString();
  text.append(": ");
  if (!appendStringChars(env, message, text)) return YString();
  return text;
}

// java.lang.RuntimeException as a global reference, made by the first thread that needs it. The
// function-local static is initialised exactly once even when threads race for it (C++11 guarantees
// that the others wait for the first); a failed initialisation throws and is retried by the next call.
jclass runtimeExceptionClass(JNIEnv* env) {
  static const jclass cached = [env] {
    const jclass local = findClass(env, "java/lang/RuntimeException");
    const auto global = static_cast<jclass>(env->NewGlobalRef(local));
    env->DeleteLocalRef(local);
    if (global == nullptr) assertionFailed("assertion failed: value is NULL", "JniUtils", __LINE__);
    return global;
  }();
  return cached;
}

}  // namespace

void assertJni(JNIEnv* env, const char* file, int32_t line) {
  const jthrowable exception = env->ExceptionOccurred();
  if (exception == nullptr) return;
  YString message("assertJni failed at ");
  message.append(file);
  message.append(":");
  message.appendLong(line);
  message.append("\n");
  message.append(describeJavaException(env, exception));
  env->DeleteLocalRef(exception);
  fatalError(message.data, "JniUtils", __LINE__);
}

YString describeJavaException(JNIEnv* env, jthrowable exception) {
  if (exception == nullptr) return YString();
  const PendingExceptionSetAside setAside(env);
  if (env->PushLocalFrame(8) < 0) return YString();
  YString text = describeWithoutPendingException(env, exception);
  env->PopLocalFrame(nullptr);
  return text;
}

void clearAndLogPendingException(JNIEnv* env) {
  const jthrowable exception = env->ExceptionOccurred();
  if (exception == nullptr) return;
  env->ExceptionClear();
  const YString description = describeJavaException(env, exception);
  env->DeleteLocalRef(exception);
  logWithMemoryUsage(YString("(previous error additional info): exception message: ") + description);
}

// A pending exception would make the class lookup an illegal call; the new exception replaces it anyway.
void throwRuntimeException(JNIEnv* env, const char* message) {
  if (env->ExceptionCheck()) env->ExceptionClear();
  env->ThrowNew(runtimeExceptionClass(env), message);
}

void throwNativeAssertionFailed(JNIEnv* env) {
  throwRuntimeException(env, "assertion failed in native code; see agent log for detail");
}

void throwDbOome(JNIEnv* env) { throwRuntimeException(env, "db::oome"); }

void warnRetransformFailed(JNIEnv* env) {
  const jthrowable exception = env->ExceptionOccurred();
  if (exception == nullptr) return;
  env->DeleteLocalRef(exception);
  env->ExceptionClear();
  logMessage(YString("warning: (additional info) retransform failed with JNI exception"));
}

jclass findClass(JNIEnv* env, const char* name) {
  const jclass found = env->FindClass(name);
  if (found == nullptr) logMessage(YString("findClass failed: ") + name);
  assertJni(env, "JniUtils", __LINE__);
  return found;
}

jobject callObjectMethod(JNIEnv* env, jobject object, jmethodID method, ...) {
  va_list arguments;
  va_start(arguments, method);
  const jobject result = env->CallObjectMethodV(object, method, arguments);
  va_end(arguments);
  return result;
}

void callStaticVoidMethod(JNIEnv* env, jclass klass, jmethodID method, ...) {
  va_list arguments;
  va_start(arguments, method);
  env->CallStaticVoidMethodV(klass, method, arguments);
  va_end(arguments);
}

jobject newObject(JNIEnv* env, jclass klass, jmethodID constructor, ...) {
  va_list arguments;
  va_start(arguments, constructor);
  const jobject result = env->NewObjectV(klass, constructor, arguments);
  va_end(arguments);
  return result;
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_throwException(JNIEnv* env, jclass,
                                                                                   jclass exceptionClass) {
  env->ThrowNew(exceptionClass, "");
}
