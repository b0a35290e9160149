#pragma once

#include <cstdint>

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// The grammar of the start-up option string: comma-separated tokens, each a bare key or a key with "="
// and a value. Tokens are taken as written: empty pieces are dropped and nothing is trimmed.

// "BZP_STARTUP_OPTIONS_PRE" + "," + options + "," + "BZP_STARTUP_OPTIONS_POST"; an unset variable is
// empty and both commas are always there (the split drops the empty tokens this may leave).
YString readStartupOptionsFromEnvironment(const YString& options);

// Appends the non-empty pieces between commas, in order, untrimmed.
void splitOptionString(const YString& options, YVector<YString>& tokens);

// Every key of the option string, in matching order: the first key that matches a token decides.
enum class OptionKey : int32_t {
  Empty,                      // the empty token, ignored
  Tracing,                    // "tracing"
  DisableAlloc,               // "disablealloc"
  DisableTracing,             // "disabletracing"
  ProbeDisable,               // "probe_disable=" probe class pattern
  ProbeAuto,                  // "probe_auto=" probe class pattern
  ProbeOff,                   // "probe_off=" probe class pattern
  ProbeOn,                    // "probe_on=" probe class pattern
  ProbeTableLengthLimit,      // "probetablelengthlimit=" number
  DeadThreadLimit,            // "deadthreadlimit=" number
  ExceptionsDisable,          // "exceptions=disable"
  DisableExceptionTelemetry,  // "disableexceptiontelemetry"
  ExceptionsOff,              // "exceptions=off"
  ExceptionsOn,               // "exceptions=on"
  DisableStackTelemetry,      // "disablestacktelemetry"
  DisableOomeDumper,          // "disableoomedumper"
  PeriodicMem,                // "periodicmem=" seconds
  PeriodicPerf,               // "periodicperf=" seconds
  DisableAll,                 // "disableall"
  Repository,                 // "repository=" directory
  Monitors,                   // "monitors"
  Sampling,                   // "sampling"
  AllocEach,                  // "alloceach=" number
  AllocSizeLimit,             // "allocsizelimit=" bytes
  SessionId,                  // "session_id=" 64-bit number
  Port,                       // "port=" port or first-last
  Listen,                     // "listen=" host
  SkipAdvancedPortCheck,      // "skip_advanced_port_check"
  DoAdvancedPortCheck,        // "do_advanced_port_check"
  Quiet,                      // "quiet" (early pass)
  UnitedLog,                  // "united_log" (early pass)
  LogSysTime,                 // "log_sys_time" (early pass)
  SessionName,                // "sessionname=" name with macros (early pass)
  LogFileSizeLimit,           // "log_file_size_limit=" bytes (early pass)
  SnapshotNameFormat,         // "snapshot_name_format=" format
  Debug,                      // "debug=" one category
  Hidden,                     // any token beginning with "_"; the value is the whole token
  WithDebugger,               // "withdebugger"
  TelemetryLimit,             // "telemetrylimit=" hours
  TelemetryPointLimit,        // "telemetry_point_limit=" points
  OnExitSnapshot,             // "onexit=snapshot"
  Dir,                        // "dir=" directory
  TmpDir,                     // "tmpdir=" directory
  SamplingSettingsPath,       // "sampling_settings_path=" file
  TracingSettingsPath,        // "tracing_settings_path=" file
  Triggers,                   // "triggers=" file
  ProfilerDir,                // "profiler_dir=" directory
  IdePort,                    // "ideport=" number
  TelemetryPeriod,            // "telemetryperiod=" milliseconds
  LogDir,                     // "logdir=" directory (early pass)
  Unknown,                    // no key matches; the value is the token, which is also the error text
};

struct OptionToken {
  OptionKey key;
  // The unquoted text after "key=" (empty for a bare key); the whole token for Hidden and Unknown.
  YString value;
};

// Bare keys match the whole token, keys with "=" its beginning; case-sensitive.
OptionToken classifyOptionToken(const YString& token);

// A value that needs a comma is written "BZPQUOTED" + two hexadecimal digits per byte. A value without
// the marker, or one that is not well quoted (odd count, a non-hexadecimal digit, or a zero byte, which
// no option text can hold), comes back unchanged, marker included.
YString unquoteOptionValue(const YString& value);

// Each "{NAME}" becomes the environment variable NAME (empty when unset); "{}" names nothing. A "{"
// without a later "}" and the text after it are kept as written. No escapes, no nesting.
YString expandOptionMacros(const YString& text);

// A number as the option string writes it: an optional "-" and decimal digits, nothing else.
struct OptionNumber {
  int64_t value;  // 0 unless valid
  bool valid;     // false for an empty text, "-" alone, any other character, or a value out of range
};
// Lenient readers take `value` (anything unreadable is 0); strict readers refuse what is not `valid`.
// The range is that of the field the number fills: a value that does not fit is not valid, never cut.
OptionNumber readOptionNumber(const YString& text, int64_t lowest = INT32_MIN, int64_t highest = INT32_MAX);
