#pragma once

#include <cstdint>

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// What the early option pass hands to the log and the fatal-error path; a setting that is false (or a
// limit of 0) leaves the current one alone.
struct LogOptions {
  bool logDirectoryGiven = false;
  YString logDirectory;          // "logdir="
  bool unitedLog = false;        // "united_log"
  bool systemTime = false;       // "log_sys_time"
  int32_t fileSizeLimit = 0;     // "log_file_size_limit=" above 10240 bytes
  bool exitOnException = false;  // "_exit_on_exception"
  bool processList = false;      // "_ps"
  bool rawConsole = false;       // the JVM's console encoding is UTF-8
};

// The agent's configuration: defaults from the JVM's command line, then the start-up option string.
// The process-wide store (globalOptions) is written only at start-up on the loading thread and read
// without locks afterwards; temporary stores (the host's option check) are ordinary objects.
class Options {
 public:
  YVectorSafe<YString> jvmArgs;          // the command line; element 0 is the executable
  YVectorSafe<YString> debugCategories;  // "debug="
  YVectorSafe<YString> hiddenOptions;    // every "_" token, whole
  bool debugAll;
  YString defaultSessionName;
  YString tmpDir;
  YString sessionName;
  YString snapshotNameFormat;
  YString optionString;
  bool sampling;
  bool tracing;
  bool callCounting;
  uint64_t samplingModeBits;
  bool disableAll;
  int32_t allocEach;
  int32_t allocSizeLimit;
  uint64_t allocMode;  // 0 while allocation recording is not asked for
  bool monitors;
  bool withDebugger;
  int32_t telemetryPointLimit;
  int32_t probeTableLengthLimit;
  int32_t deadThreadLimit;
  bool oomeDumperDisabled;
  int32_t jbossInitArgument;
  int32_t telemetryPeriodMs;
  int64_t sessionId;  // 0: none given
  int32_t portFirst;  // -1: none given
  int32_t portLast;
  bool skipAdvancedPortCheck;
  YString listenHost;
  int32_t idePort;
  YString snapshotDir;
  YVectorSafe<YString> probeClassPath;
  YVectorSafe<YString> probeBootClassPath;
  YString profilerDir;
  bool snapshotOnExit;
  YString samplingSettingsPath;
  YString tracingSettingsPath;
  YString triggersPath;
  YString triggerText;
  int32_t exceptionTelemetryMode;  // 0 not given, 1 on or off by an option, 2 disabled

  // Defaults for the own process's command line.
  Options();
  // Defaults for a JVM with these arguments (element 0 the executable).
  explicit Options(const YVector<YString>& arguments);
  Options(const Options&) = delete;
  Options& operator=(const Options&) = delete;

  // The early pass, before the log writes its first line: forces the log quiet, sets the log settings
  // and the session name the tokens give, and makes the next entry open the log under them.
  void parseLogOptions(const YString& options);
  // The early pass without handing anything to the log: sets `sessionName`, returns the log settings.
  LogOptions readLogOptions(const YString& options);

  // The main pass: checks every token, stores what it asks for, then checks the combinations. `error`
  // becomes empty when the options are valid, else the first failure's message (or the unknown token);
  // the pass stops there, and what earlier tokens did stays. `flags` is the agent flags word, read and
  // changed here: `agentFlags` loaded into a local at start-up, a local word alone for the host's check.
  // Applying (at start-up) first forces every recording mode off, so that only the tokens switch them on
  // (the instrumentation permissions in `flags` and `disableAll` stay as they are, for their tokens to
  // take away), and changes process-wide state too: `profilingFlags`, `startupProbeModes`,
  // and, only once the whole string has proved valid, the environment ("repository=", and the agent
  // passed on to child processes). Without apply, nothing outside this store and `flags` changes.
  void parse(YString& error, const YString& options, uint64_t& flags, bool apply);
  // The applying pass with `agentFlags`, run on the process-wide store at start-up, with its log lines;
  // false when the options are invalid and the agent must not start.
  bool checkAtStart(const YString& options);

  // Whether a hidden switch was given exactly so ("_cf4", not "_cf4=1").
  bool hasOption(const char* name) const;
  // The number after "<name>=" in the first hidden option that has it, else `defaultValue`; a value that
  // is not an optional "-" and digits, or does not fit in 32 bits, gives 0. Not unquoted.
  int32_t getIntOption(const char* name, int32_t defaultValue) const;
  // The unquoted text after "<name>=" in the first hidden option that has it; empty when none has.
  YString getStringOption(const char* name) const;
  // Whether "debug=" named the category exactly, or "debug=all" was given.
  bool isDebug(const char* category) const;
  // `fileName` in "tmpdir=", else in the system temporary directory.
  YString getTempFilePath(const YString& fileName) const;
  // Where the JVM writes heap dumps: "-XX:HeapDumpPath=", else the current directory.
  YString getHeapDumpPath() const;
  // Whether a JVM argument (not the executable), in lower case, contains the lower-case text.
  bool jvmArgsContain(const char* text) const;
  // Whether a JVM argument (not the executable) begins with the prefix, case-sensitively.
  bool jvmArgsStartWith(const char* prefix) const;

 private:
  // The text after "<name>=" in the first hidden option beginning with it; false when none does.
  bool findHiddenValue(const char* name, YString& value) const;
};

// The process-wide store, made on first use and never destroyed: threads may read it while the process
// exits. The entry points' early pass is its first use, so it sees the flags as they were at load.
Options& globalOptions();

// The host's check of an option string: the main pass without apply on a fresh store, with the flags of
// a JVM that allows everything. Empty when the options are valid, else the reason. Leaves nothing behind.
YString validateStartupOptions(const YString& options);

// Whether "KUBERNETES_SERVICE_HOST" is set and not empty.
bool isInsideKubernetes();

// A probe class name beginning with "." names a built-in probe: ".Maven" becomes
// "com.brantel.probes.tallyscope.Maven". Any other name is returned unchanged.
YString qualifyProbeClassName(const YString& name);
