#include "agent/natives/DispatchNatives.h"

#include "agent/core/AgentPropagation.h"
#include "agent/core/Options.h"
#include "agent/db/Clears.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/natives/ProfilerMessage.h"
#include "agent/platform/Directories.h"
#include "agent/platform/Environment.h"
#include "agent/platform/Processes.h"
#include "agent/platform/SystemInfo.h"
#include "agent/support/HostQueries.h"
#include "agent/support/JniStrings.h"
#include "agent/support/JniUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"

// Each native is one chain of exact, case-sensitive comparisons: the first equal key wins, and a key
// that none equals is refused.

namespace {

void refuseKey(JNIEnv* env, const YString& key) {
  const YString message = YString("unexpected dispatch key '") + key + "'";
  throwRuntimeException(env, message.data);
}

// The texts of "d_get_env" and "d_set_env": exactly `count` of them, the first (the variable's name) not
// empty. False, with the exception thrown, otherwise.
bool checkVariableArguments(JNIEnv* env, const YVector<YString>& arguments, int32_t count, const char* expected) {
  if (arguments.size != count) {
    throwRuntimeException(env, expected);
    return false;
  }
  if (arguments[0].length == 0) {
    throwRuntimeException(env, "key must not be empty");
    return false;
  }
  return true;
}

jobject clearCharts(JNIEnv* env) {
  if (refuseWithoutDatabase(env)) return nullptr;
  {
    YCriticalSectionLock held(&ourLock(), "CoreNatives:dispatchNullable");
    clearTelemetryData(held);
  }
  profilerMessage(env, YString("Telemetry charts cleared"), YString());
  return nullptr;
}

}  // namespace

jlong dispatchLongByKey(JNIEnv* env, jstring key) {
  const YString name = jstringToYString(env, key);
  const Options& options = globalOptions();
  if (name.equals("d_getPid")) return jlong(getOwnPid());
  if (name.equals("_socket_timeout_ms")) return options.getIntOption("_socket_timeout_ms", -1);
  if (name.equals("_tele_sample_threshold_ms")) return options.getIntOption("_tele_sample_threshold_ms", -1);
  if (name.equals("_no_http")) return options.hasOption("_no_http") ? 1 : 0;
  if (name.equals("_no_gc_pause_counter")) return options.hasOption("_no_gc_pause_counter") ? 1 : 0;
  refuseKey(env, name);
  return 0;
}

jobject dispatchNullableByKey(JNIEnv* env, jstring key, jobjectArray arguments) {
  const YString name = jstringToYString(env, key);
  if (name.equals("d_command_line")) {
    YVector<YString> commandLine;
    getOwnCommandLine(commandLine);
    return toJavaStringArray(env, &commandLine);
  }
  if (name.equals("d_process_owner")) return toJavaString(env, getProcessOwnerByPid(getOwnPid()));
  if (name.equals("d_clear_charts")) return clearCharts(env);
  if (name.equals("d_get_platform")) return toJavaString(env, getPlatformDirName());
  if (name.equals("d_getLogFilePath")) return toJavaString(env, getLogFilePath());
  if (name.equals("d_getEnvironmentAsString")) return toJavaString(env, getEnvironment());
  if (name.equals("d_workingDirectory")) return toJavaString(env, getCurrentDir());
  if (name.equals("d_getHostName")) return toJavaString(env, getHostName());
  if (name.equals("d_ts_env_keys_and_values")) {
    YVector<YString> keysAndValues;
    getTsEnvKeysAndValues(globalOptions().optionString, keysAndValues);
    return toJavaStringArray(env, &keysAndValues);
  }
  if (name.equals("d_setJavaToolOptionsWithAgent")) {
    setJavaToolOptionsWithAgent(globalOptions().optionString);
    return nullptr;
  }
  if (name.equals("d_setJavaToolOptionsWithoutAgent")) {
    setJavaToolOptionsWithoutAgent();
    return nullptr;
  }
  // A hook that once held a lock for good, for deadlock detection to find; holding it helps nobody.
  if (name.equals("d_potential_deadlock_test")) return nullptr;
  if (name.equals("d_get_env") || name.equals("d_set_env")) {
    YVector<YString> texts;
    appendJavaStringArrayIfNotNull(env, arguments, &texts);
    if (name.equals("d_get_env")) {
      if (!checkVariableArguments(env, texts, 1, "expected: key")) return nullptr;
      return toJavaString(env, y_getenv(texts[0].data));
    }
    if (!checkVariableArguments(env, texts, 2, "expected: key value")) return nullptr;
    y_setenv(texts[0].data, texts[1].data);
    return nullptr;
  }
  refuseKey(env, name);
  return nullptr;
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_dispatchLong(JNIEnv* env, jclass, jstring key) {
  return runNative(env, __LINE__, [&] { return dispatchLongByKey(env, key); });
}

extern "C" JNIEXPORT jobject JNICALL Java_com_brantel_runtime_Callback_dispatchNullable(JNIEnv* env, jclass,
                                                                                        jstring key,
                                                                                        jobjectArray arguments) {
  return runNative(env, __LINE__, [&] { return dispatchNullableByKey(env, key, arguments); });
}
