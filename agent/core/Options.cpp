#include "agent/core/Options.h"

#include <cstring>

#include "agent/core/AgentFlags.h"
#include "agent/core/OptionString.h"
#include "agent/core/SessionName.h"
#include "agent/platform/Directories.h"
#include "agent/platform/Environment.h"
#include "agent/platform/Processes.h"
#include "agent/support/AgentDirectories.h"
#include "agent/support/CommonUtils.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"
#include "agent/support/SocketSend.h"

namespace {

// The support layer asks the core for the session name of the log and for the socket time-out; the
// hooks go in while the library's static objects are made, before any entry point runs.
const bool supportHooksInstalled = [] {
  setLogSessionNameSource([] {
    YVector<YString> arguments;
    getOwnCommandLine(arguments);
    return getSessionName(arguments, true);
  });
  setSocketTimeoutSource([] { return globalOptions().getIntOption("_socket_timeout_ms", -1); });
  return true;
}();

YVectorSafe<YString> ownCommandLine() {
  YVectorSafe<YString> arguments;
  getOwnCommandLine(arguments);
  return arguments;
}

// Below this a united-log file would move on almost at once; such limits are ignored.
constexpr int32_t smallestFileSizeLimit = 10240;

}  // namespace

Options::Options() : Options(ownCommandLine()) {}

Options::Options(const YVector<YString>& arguments)
    : debugAll(false),
      snapshotNameFormat("{sessionname}-{date}"),
      sampling(false),
      tracing(false),
      callCounting(false),
      samplingModeBits(0),
      disableAll(false),
      allocEach(10),
      allocSizeLimit(4096),
      allocMode(0),
      monitors(false),
      withDebugger(false),
      telemetryPointLimit(3600),
      probeTableLengthLimit(100000),
      deadThreadLimit(50),
      oomeDumperDisabled(false),
      jbossInitArgument(0),
      telemetryPeriodMs(1000),
      sessionId(0),
      portFirst(-1),
      portLast(-1),
      skipAdvancedPortCheck(false),
      listenHost("localhost"),
      idePort(-1),
      snapshotOnExit(false),
      exceptionTelemetryMode(0) {
  for (int32_t i = 0; i < arguments.size; i++) jvmArgs.add(arguments[i]);
  defaultSessionName = getSessionName(jvmArgs, true);
  sessionName = defaultSessionName;
  disableAll = jvmArgsContain("nativelibs4java");
  skipAdvancedPortCheck = isInsideKubernetes();
  withDebugger = jvmArgsStartWith("-Xdebug") || jvmArgsStartWith("-Xrunjdwp") || jvmArgsStartWith("-agentlib:jdwp");
  if ((agentFlags.load() & AGENT_ATTACH_MODE) == 0 && jvmArgsContain("jboss")) jbossInitArgument = 10000;
}

LogOptions Options::readLogOptions(const YString& options) {
  LogOptions settings;
  YVector<YString> tokens;
  splitOptionString(options, tokens);
  for (int32_t i = 0; i < tokens.size; i++) {
    const OptionToken token = classifyOptionToken(tokens[i]);
    switch (token.key) {
      case OptionKey::LogDir:
        settings.logDirectoryGiven = true;
        settings.logDirectory = token.value;
        break;
      case OptionKey::SessionName: {
        const YString name = expandOptionMacros(token.value.replaceAll("{default}", defaultSessionName.data));
        if (name.length > 0) sessionName = name;
        break;
      }
      case OptionKey::UnitedLog:
        settings.unitedLog = true;
        break;
      case OptionKey::LogSysTime:
        settings.systemTime = true;
        break;
      case OptionKey::LogFileSizeLimit: {
        const OptionNumber limit = readOptionNumber(token.value);
        if (limit.value > smallestFileSizeLimit) settings.fileSizeLimit = int32_t(limit.value);
        break;
      }
      case OptionKey::Hidden:
        if (token.value.equals("_exit_on_exception")) settings.exitOnException = true;
        if (token.value.equals("_ps")) settings.processList = true;
        break;
      default:
        break;  // "quiet" included: the log is quiet in any case
    }
  }
  for (int32_t i = 1; i < jvmArgs.size; i++) {
    if (!jvmArgs[i].startsWith(YString("-Dfile.encoding="))) continue;
    const YString lower = toLowerAscii(jvmArgs[i]);
    if (lower.contains("utf") && lower.contains("8")) {
      settings.rawConsole = true;
      break;
    }
  }
  return settings;
}

void Options::parseLogOptions(const YString& options) {
  setLogQuiet(true);
  const LogOptions settings = readLogOptions(options);
  if (settings.logDirectoryGiven) setLogDirectory(settings.logDirectory);
  if (settings.unitedLog) setUnitedLog(true);
  if (settings.systemTime) setLogSystemTime(true);
  if (settings.fileSizeLimit > 0) setLogFileSizeLimit(settings.fileSizeLimit);
  if (settings.exitOnException) setExitOnException(true);
  if (settings.processList) setLogProcessList(true);
  setLogSessionName(sessionName);
  if (settings.rawConsole) setRawConsole(true);
  requestLogReopen();
}

bool Options::hasOption(const char* name) const {
  for (int32_t i = 0; i < hiddenOptions.size; i++) {
    if (hiddenOptions[i].equals(name)) return true;
  }
  return false;
}

bool Options::findHiddenValue(const char* name, YString& value) const {
  const size_t nameLength = std::strlen(name);
  for (int32_t i = 0; i < hiddenOptions.size; i++) {
    const YString& option = hiddenOptions[i];
    if (size_t(option.length) > nameLength && std::memcmp(option.data, name, nameLength) == 0 &&
        option.data[nameLength] == '=') {
      value = option.substringFrom(int32_t(nameLength) + 1);
      return true;
    }
  }
  return false;
}

int32_t Options::getIntOption(const char* name, int32_t defaultValue) const {
  YString value;
  if (!findHiddenValue(name, value)) return defaultValue;
  return int32_t(readOptionNumber(value).value);
}

YString Options::getStringOption(const char* name) const {
  YString value;
  return findHiddenValue(name, value) ? unquoteOptionValue(value) : YString();
}

bool Options::isDebug(const char* category) const {
  if (debugAll) return true;
  for (int32_t i = 0; i < debugCategories.size; i++) {
    if (debugCategories[i].equals(category)) return true;
  }
  return false;
}

YString Options::getTempFilePath(const YString& fileName) const { return makeTempFilePath(tmpDir, fileName); }

YString Options::getHeapDumpPath() const {
  const YString prefix("-XX:HeapDumpPath=");
  for (int32_t i = 1; i < jvmArgs.size; i++) {
    if (jvmArgs[i].startsWith(prefix)) return jvmArgs[i].substringFrom(prefix.length);
  }
  return getCurrentDir();
}

bool Options::jvmArgsContain(const char* text) const {
  for (int32_t i = 1; i < jvmArgs.size; i++) {
    if (toLowerAscii(jvmArgs[i]).contains(text)) return true;
  }
  return false;
}

bool Options::jvmArgsStartWith(const char* prefix) const {
  const YString wanted(prefix);
  for (int32_t i = 1; i < jvmArgs.size; i++) {
    if (jvmArgs[i].startsWith(wanted)) return true;
  }
  return false;
}

Options& globalOptions() {
  static Options* const store = new Options();
  return *store;
}

bool isInsideKubernetes() { return y_getenv("KUBERNETES_SERVICE_HOST").length > 0; }

YString qualifyProbeClassName(const YString& name) {
  if (name.length == 0 || name.data[0] != '.') return name;
  return YString("com.brantel.probes.tallyscope") + name;
}
