// The main pass over the start-up option string: checks, the store's values, and at start-up the
// process-wide state the options decide.

#include <cstdio>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentPropagation.h"
#include "agent/core/OptionString.h"
#include "agent/core/Options.h"
#include "agent/core/StartupProbeModes.h"
#include "agent/platform/Environment.h"
#include "agent/support/CommonUtils.h"
#include "agent/support/Log.h"

namespace {

// What "disableall" takes away: tracing and allocation instrumentation and compiled-method events.
constexpr uint64_t DISABLE_ALL_AGENT_FLAGS =
    AGENT_TRACING_INSTRUMENTATION | AGENT_ALLOCATION_INSTRUMENTATION | AGENT_COMPILED_METHOD_EVENTS;
// The agent flags that start-up switches off before the tokens. The instrumentation permissions stay:
// only "disabletracing", "disablealloc" and "disableall" take them away.
constexpr uint64_t FORCED_OFF_AGENT_FLAGS = AGENT_COMPILED_METHOD_EVENTS;
constexpr uint64_t TELEMETRY_PROFILING_FLAGS = PROFILING_STACK_TELEMETRY | PROFILING_EXCEPTION_TELEMETRY;
// The host checks options as for a JVM that allows everything, heap sampling included.
constexpr uint64_t VALIDATING_AGENT_FLAGS = AGENT_FLAGS_INITIAL | AGENT_HEAP_SAMPLING | AGENT_COMPILED_METHOD_EVENTS;

// Environment changes that wait until the whole option string has proved valid: a refused start leaves
// the environment, which child processes inherit, as it found it.
struct PendingEnvironment {
  bool repositoryGiven = false;
  YString repository;  // the first non-empty "repository=" value
};

// Lenient numbers: anything that is not an optional "-" and digits, or does not fit, reads as 0.
int64_t lenientNumber(const YString& text, int64_t highest = INT32_MAX) {
  return readOptionNumber(text, INT32_MIN, highest).value;
}

bool isValidPort(int64_t port) { return port >= 1 && port <= 65535; }

// "port=": one port, or the first and the last of a range joined by "-".
bool parsePortList(const YString& value, Options& options) {
  YVector<YString> pieces;
  splitByDelimiters(value, "-", pieces);
  if (pieces.size == 2) {
    options.portFirst = int32_t(lenientNumber(pieces[0]));
    options.portLast = int32_t(lenientNumber(pieces[1]));
    return isValidPort(options.portFirst) && isValidPort(options.portLast) && options.portFirst <= options.portLast;
  }
  options.portFirst = options.portLast = int32_t(lenientNumber(value));
  return isValidPort(options.portFirst);
}

bool isHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':';
}

// "listen=": a host name or an address, IPv6 ones included; "host:port" is refused, since the port has
// an option of its own. The first character is not checked. Null when the value passes.
const char* listenValueError(const YString& value) {
  if (value.length == 0) return "'listen' value is invalid: should not be empty";
  int32_t colons = 0;
  for (int32_t i = 1; i < value.length; i++) {
    if (!isHostCharacter(value.data[i])) return "'listen' value is invalid: should be an IP address or a host name";
    if (value.data[i] == ':') colons++;
  }
  if (colons == 1) {
    return "'listen' value is invalid; if you want to specify a port, please use the dedicated option 'port'";
  }
  return nullptr;
}

void appendTimerTrigger(YString& triggerText, int64_t seconds, const char* action) {
  triggerText.append("TimerListener delay=");
  triggerText.appendLong(seconds);
  triggerText.append("s\n  ");
  triggerText.append(action);
  triggerText.append("\n");
}

void clearProfilingFlags(uint64_t bits) { profilingFlags.fetch_and(~bits); }

// Applies one token to the store; false, with `error` set, when its check fails.
bool applyToken(Options& options, const OptionToken& token, uint64_t& flags, bool apply, PendingEnvironment& pending,
                YString& error) {
  const YString& value = token.value;
  switch (token.key) {
    case OptionKey::Empty:
      break;
    case OptionKey::Tracing:
      options.tracing = true;
      break;
    case OptionKey::DisableAlloc:
      flags &= ~AGENT_ALLOCATION_INSTRUMENTATION;
      break;
    case OptionKey::DisableTracing:
      flags &= ~AGENT_TRACING_INSTRUMENTATION;
      break;
    case OptionKey::ProbeDisable:
      if (apply) addProbeActivityPattern(qualifyProbeClassName(value), PROBE_DISABLE);
      break;
    case OptionKey::ProbeAuto:
      if (apply) addProbeActivityPattern(qualifyProbeClassName(value), PROBE_AUTO);
      break;
    case OptionKey::ProbeOff:
      if (apply) addProbeActivityPattern(qualifyProbeClassName(value), PROBE_OFF);
      break;
    case OptionKey::ProbeOn:
      if (apply) addProbeActivityPattern(qualifyProbeClassName(value), PROBE_ON);
      break;
    case OptionKey::ProbeTableLengthLimit:
      options.probeTableLengthLimit = int32_t(lenientNumber(value));
      if (options.probeTableLengthLimit < 1) {
        error = "'probetablelengthlimit' value is invalid: should be positive";
        return false;
      }
      break;
    case OptionKey::DeadThreadLimit:
      options.deadThreadLimit = int32_t(lenientNumber(value));
      if (options.deadThreadLimit < 1) {
        error = "'deadthreadlimit' value is invalid: should be positive";
        return false;
      }
      break;
    case OptionKey::ExceptionsDisable:
    case OptionKey::DisableExceptionTelemetry:
      options.exceptionTelemetryMode = 2;
      if (apply) clearProfilingFlags(PROFILING_EXCEPTION_TELEMETRY);
      break;
    case OptionKey::ExceptionsOff:
      options.exceptionTelemetryMode = 1;
      if (apply) clearProfilingFlags(PROFILING_EXCEPTION_TELEMETRY);
      break;
    case OptionKey::ExceptionsOn:
      options.exceptionTelemetryMode = 1;
      if (apply) profilingFlags.fetch_or(PROFILING_EXCEPTION_TELEMETRY);
      break;
    case OptionKey::DisableStackTelemetry:
      if (apply) clearProfilingFlags(PROFILING_STACK_TELEMETRY);
      break;
    case OptionKey::DisableOomeDumper:
      options.oomeDumperDisabled = true;
      break;
    case OptionKey::PeriodicMem:
    case OptionKey::PeriodicPerf: {
      const bool memory = token.key == OptionKey::PeriodicMem;
      const int64_t seconds = lenientNumber(value);
      if (seconds < 1) {
        error = memory ? "'periodicmem' value is invalid: should be positive"
                       : "'periodicperf' value is invalid: should be positive";
        return false;
      }
      appendTimerTrigger(options.triggerText, seconds, memory ? "CaptureMemorySnapshot" : "CapturePerformanceSnapshot");
      break;
    }
    case OptionKey::DisableAll:
      flags &= ~DISABLE_ALL_AGENT_FLAGS;
      options.disableAll = true;
      options.exceptionTelemetryMode = 2;
      if (apply) {
        disableMonitoringProbes();
        clearProfilingFlags(TELEMETRY_PROFILING_FLAGS);
      }
      break;
    case OptionKey::Repository:
      // Set only when the variable is unset or empty, so the first non-empty value given wins.
      if (apply) {
        pending.repositoryGiven = true;
        if (pending.repository.length == 0) pending.repository = value;
      }
      break;
    case OptionKey::Monitors:
      options.monitors = true;
      break;
    case OptionKey::Sampling:
      options.sampling = true;
      options.samplingModeBits = 0;
      break;
    case OptionKey::AllocEach:
    case OptionKey::AllocSizeLimit: {
      const bool each = token.key == OptionKey::AllocEach;
      const OptionNumber number = readOptionNumber(value);
      if (!number.valid || number.value < 0) {
        error = each ? "'alloceach' value is invalid: should be an integer number >= 0"
                     : "'allocsizelimit' value is invalid: should be an integer number >= 0";
        return false;
      }
      (each ? options.allocEach : options.allocSizeLimit) = int32_t(number.value);
      if (options.allocMode == 0) options.allocMode = 2;
      break;
    }
    case OptionKey::SessionId:
      options.sessionId = readOptionNumber(value, INT64_MIN, INT64_MAX).value;
      break;
    case OptionKey::Port:
      if (!parsePortList(value, options)) {
        error = "'port' value is invalid";
        return false;
      }
      break;
    case OptionKey::Listen:
      options.listenHost = value;
      if (const char* message = listenValueError(value)) {
        error = message;
        return false;
      }
      break;
    case OptionKey::SkipAdvancedPortCheck:
      options.skipAdvancedPortCheck = true;
      break;
    case OptionKey::DoAdvancedPortCheck:
      options.skipAdvancedPortCheck = false;
      break;
    case OptionKey::Quiet:
    case OptionKey::UnitedLog:
    case OptionKey::LogSysTime:
    case OptionKey::SessionName:
    case OptionKey::LogFileSizeLimit:
    case OptionKey::LogDir:
      break;  // the early pass has applied them
    case OptionKey::SnapshotNameFormat:
      if (value.length > 0) options.snapshotNameFormat = value;
      break;
    case OptionKey::Debug:
      options.debugCategories.add(value);
      if (value.equals("all")) options.debugAll = true;
      break;
    case OptionKey::Hidden:
      options.hiddenOptions.add(value);
      break;
    case OptionKey::WithDebugger:
      options.withDebugger = true;
      break;
    case OptionKey::TelemetryLimit: {
      // Hours whose points do not fit the limit read as 0, like any other unreadable number.
      const int64_t hours = lenientNumber(value, INT32_MAX / 3600);
      if (hours < 1) {
        error = "'telemetrylimit' value is invalid: number of hours should be >= 1";
        return false;
      }
      options.telemetryPointLimit = int32_t(hours * 3600);
      break;
    }
    case OptionKey::TelemetryPointLimit: {
      const int64_t points = lenientNumber(value);
      if (points < 1) {
        error = "'telemetry_point_limit' value is invalid: number of points should be >= 1";
        return false;
      }
      options.telemetryPointLimit = int32_t(points);
      break;
    }
    case OptionKey::OnExitSnapshot:
      options.snapshotOnExit = true;
      break;
    case OptionKey::Dir:
      options.snapshotDir = value;
      break;
    case OptionKey::TmpDir:
      options.tmpDir = value;
      break;
    case OptionKey::SamplingSettingsPath:
      options.samplingSettingsPath = value;
      break;
    case OptionKey::TracingSettingsPath:
      options.tracingSettingsPath = value;
      break;
    case OptionKey::Triggers:
      options.triggersPath = value;
      break;
    case OptionKey::ProfilerDir:
      options.profilerDir = value;
      break;
    case OptionKey::IdePort:
      options.idePort = int32_t(lenientNumber(value));
      break;
    case OptionKey::TelemetryPeriod: {
      const OptionNumber period = readOptionNumber(value);
      options.telemetryPeriodMs = int32_t(period.value);
      if (!period.valid || period.value < 0) {
        error = "'telemetryperiod' value is invalid: should be an integer number >= 0";
        return false;
      }
      break;
    }
    case OptionKey::Unknown:
      error = value;
      return false;
  }
  return true;
}

// The checks that need every token; false, with `error` set, when one fails.
bool checkCombinations(Options& options, uint64_t& flags, YString& error) {
  if (options.tracing && options.sampling) {
    error = "'tracing' cannot be used in combination with 'sampling'";
    return false;
  }
  if ((flags & (AGENT_HEAP_SAMPLING | AGENT_ALLOCATION_INSTRUMENTATION)) == 0 && options.allocMode != 0) {
    error = "'alloc*' options cannot be used in combination with 'disablealloc' or 'disableall'";
    return false;
  }
  // Heap sampling records allocations without instrumenting them.
  if ((flags & AGENT_HEAP_SAMPLING) != 0) flags &= ~AGENT_ALLOCATION_INSTRUMENTATION;
  if ((flags & AGENT_TRACING_INSTRUMENTATION) == 0 && options.tracing) {
    error = "'tracing' cannot be used in combination with 'disabletracing' or 'disableall'";
    return false;
  }
  if (options.telemetryPeriodMs > 0) {
    // The limit counts points of one second each; other periods keep the same span of time.
    const int64_t points = int64_t(options.telemetryPointLimit) * 1000 / options.telemetryPeriodMs;
    if (points < 1) {
      error = "'telemetryperiod' value is invalid: too large for the telemetry point limit";
      return false;
    }
    if (points > INT32_MAX) {
      error = "'telemetryperiod' value is invalid: too small for the telemetry point limit";
      return false;
    }
    options.telemetryPointLimit = int32_t(points);
  }
  return true;
}

}  // namespace

void Options::parse(YString& error, const YString& options, uint64_t& flags, bool apply) {
  error = YString();
  if (apply) {
    optionString = options;
    enableMonitoringProbes();
  }
  YVector<YString> tokens;
  splitOptionString(options, tokens);
  if (apply) {
    // Every recording mode off, so that only the tokens switch them on. `disableAll` stays as the JVM's
    // arguments left it: only "disableall" sets it.
    flags &= ~FORCED_OFF_AGENT_FLAGS;
    exceptionTelemetryMode = 2;
    clearProfilingFlags(TELEMETRY_PROFILING_FLAGS);
    oomeDumperDisabled = true;
    snapshotOnExit = false;
    monitors = false;
    sampling = false;
  }
  PendingEnvironment pending;
  bool exceptionEventsRefused = false;
  for (int32_t i = 0; i < tokens.size; i++) {
    const OptionToken token = classifyOptionToken(tokens[i]);
    exceptionEventsRefused = exceptionEventsRefused || token.key == OptionKey::ExceptionsDisable ||
                             token.key == OptionKey::DisableExceptionTelemetry || token.key == OptionKey::DisableAll;
    if (!applyToken(*this, token, flags, apply, pending, error)) return;
  }
  if (!checkCombinations(*this, flags, error)) return;
  if (!apply) return;
  // CPU tracing learns that a call ended by an exception only through the JVM's exception events, which
  // must be asked for at start-up: without them every later call of the thread would be charged below the
  // ended one. Exception recording stays as the tokens left it.
  if (tracing && !exceptionEventsRefused) exceptionTelemetryMode = 1;
  if (pending.repositoryGiven && y_getenv("TALLYSCOPE_REPOSITORY").length == 0) {
    y_setenv("TALLYSCOPE_REPOSITORY", pending.repository.data);
  }
  setJavaToolOptionsWithAgent(optionString);
}

bool Options::checkAtStart(const YString& options) {
  YString error;
  uint64_t flags = agentFlags.load();
  parse(error, options, flags, true);
  agentFlags.store(flags);
  if (error.length == 0) {
    logMessage(YString("skip advanced port check: ") + (skipAdvancedPortCheck ? "1" : "0") +
               "; inside Kubernetes: " + (isInsideKubernetes() ? "1" : "0"));
    return true;
  }
  logMessage(YString("Cannot start: invalid option: ") + error, stdout);
  logMessage("Please see the documentation's chapter on setting up build monitoring for the agent's start-up options");
  return false;
}

YString validateStartupOptions(const YString& options) {
  Options store;
  uint64_t flags = VALIDATING_AGENT_FLAGS;
  YString error;
  store.parse(error, options, flags, false);
  return error;
}
