#include "agent/core/OptionString.h"

#include <cstring>

#include "agent/platform/Environment.h"
#include "agent/support/CommonUtils.h"

namespace {

enum class Form {
  Bare,       // the token is the key
  WithValue,  // the token begins with the key, which ends with "="; the rest is the value
  Hidden,     // the token begins with "_" and is kept whole
};

struct KeyRow {
  OptionKey key;
  Form form;
  const char* text;
};

// The matching order; "exceptions=disable" and "onexit=snapshot" are bare keys that hold an "=".
constexpr KeyRow keyTable[] = {
    {OptionKey::Empty, Form::Bare, ""},
    {OptionKey::Tracing, Form::Bare, "tracing"},
    {OptionKey::DisableAlloc, Form::Bare, "disablealloc"},
    {OptionKey::DisableTracing, Form::Bare, "disabletracing"},
    {OptionKey::ProbeDisable, Form::WithValue, "probe_disable="},
    {OptionKey::ProbeAuto, Form::WithValue, "probe_auto="},
    {OptionKey::ProbeOff, Form::WithValue, "probe_off="},
    {OptionKey::ProbeOn, Form::WithValue, "probe_on="},
    {OptionKey::ProbeTableLengthLimit, Form::WithValue, "probetablelengthlimit="},
    {OptionKey::DeadThreadLimit, Form::WithValue, "deadthreadlimit="},
    {OptionKey::ExceptionsDisable, Form::Bare, "exceptions=disable"},
    {OptionKey::DisableExceptionTelemetry, Form::Bare, "disableexceptiontelemetry"},
    {OptionKey::ExceptionsOff, Form::Bare, "exceptions=off"},
    {OptionKey::ExceptionsOn, Form::Bare, "exceptions=on"},
    {OptionKey::DisableStackTelemetry, Form::Bare, "disablestacktelemetry"},
    {OptionKey::DisableOomeDumper, Form::Bare, "disableoomedumper"},
    {OptionKey::PeriodicMem, Form::WithValue, "periodicmem="},
    {OptionKey::PeriodicPerf, Form::WithValue, "periodicperf="},
    {OptionKey::DisableAll, Form::Bare, "disableall"},
    {OptionKey::Repository, Form::WithValue, "repository="},
    {OptionKey::Monitors, Form::Bare, "monitors"},
    {OptionKey::Sampling, Form::Bare, "sampling"},
    {OptionKey::AllocEach, Form::WithValue, "alloceach="},
    {OptionKey::AllocSizeLimit, Form::WithValue, "allocsizelimit="},
    {OptionKey::SessionId, Form::WithValue, "session_id="},
    {OptionKey::Port, Form::WithValue, "port="},
    {OptionKey::Listen, Form::WithValue, "listen="},
    {OptionKey::SkipAdvancedPortCheck, Form::Bare, "skip_advanced_port_check"},
    {OptionKey::DoAdvancedPortCheck, Form::Bare, "do_advanced_port_check"},
    {OptionKey::Quiet, Form::Bare, "quiet"},
    {OptionKey::UnitedLog, Form::Bare, "united_log"},
    {OptionKey::LogSysTime, Form::Bare, "log_sys_time"},
    {OptionKey::SessionName, Form::WithValue, "sessionname="},
    {OptionKey::LogFileSizeLimit, Form::WithValue, "log_file_size_limit="},
    {OptionKey::SnapshotNameFormat, Form::WithValue, "snapshot_name_format="},
    {OptionKey::Debug, Form::WithValue, "debug="},
    {OptionKey::Hidden, Form::Hidden, "_"},
    {OptionKey::WithDebugger, Form::Bare, "withdebugger"},
    {OptionKey::TelemetryLimit, Form::WithValue, "telemetrylimit="},
    {OptionKey::TelemetryPointLimit, Form::WithValue, "telemetry_point_limit="},
    {OptionKey::OnExitSnapshot, Form::Bare, "onexit=snapshot"},
    {OptionKey::Dir, Form::WithValue, "dir="},
    {OptionKey::TmpDir, Form::WithValue, "tmpdir="},
    {OptionKey::SamplingSettingsPath, Form::WithValue, "sampling_settings_path="},
    {OptionKey::TracingSettingsPath, Form::WithValue, "tracing_settings_path="},
    {OptionKey::Triggers, Form::WithValue, "triggers="},
    {OptionKey::ProfilerDir, Form::WithValue, "profiler_dir="},
    {OptionKey::IdePort, Form::WithValue, "ideport="},
    {OptionKey::TelemetryPeriod, Form::WithValue, "telemetryperiod="},
    {OptionKey::LogDir, Form::WithValue, "logdir="},
};

bool beginsWith(const YString& text, const char* prefix) {
  const size_t count = std::strlen(prefix);
  return count <= size_t(text.length) && std::memcmp(text.data, prefix, count) == 0;
}

int32_t hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

YString readStartupOptionsFromEnvironment(const YString& options) {
  YString full = y_getenv("BZP_STARTUP_OPTIONS_PRE");
  full.append(',');
  full.append(options);
  full.append(',');
  full.append(y_getenv("BZP_STARTUP_OPTIONS_POST"));
  return full;
}

void splitOptionString(const YString& options, YVector<YString>& tokens) { splitByDelimiters(options, ",", tokens); }

OptionToken classifyOptionToken(const YString& token) {
  for (const KeyRow& row : keyTable) {
    switch (row.form) {
      case Form::Bare:
        if (token.equals(row.text)) return {row.key, YString()};
        break;
      case Form::WithValue:
        if (beginsWith(token, row.text)) {
          return {row.key, unquoteOptionValue(token.substringFrom(int32_t(std::strlen(row.text))))};
        }
        break;
      case Form::Hidden:
        if (beginsWith(token, row.text)) return {row.key, token};
        break;
    }
  }
  return {OptionKey::Unknown, token};
}

YString unquoteOptionValue(const YString& value) {
  static const char marker[] = "BZPQUOTED";
  const int32_t start = int32_t(sizeof(marker) - 1);
  if (!beginsWith(value, marker) || (value.length - start) % 2 != 0) return value;
  YString decoded;
  for (int32_t i = start; i < value.length; i += 2) {
    const int32_t high = hexDigitValue(value.data[i]);
    const int32_t low = hexDigitValue(value.data[i + 1]);
    if (high < 0 || low < 0 || (high | low) == 0) return value;
    decoded.append(char(high << 4 | low));
  }
  return decoded;
}

YString expandOptionMacros(const YString& text) {
  YString result;
  int32_t position = 0;
  while (position < text.length) {
    const int32_t open = YString::search(text.data + position, text.length - position, "{", 1);
    if (open < 0) break;
    const int32_t nameStart = position + open + 1;
    const int32_t close = YString::search(text.data + nameStart, text.length - nameStart, "}", 1);
    if (close < 0) break;
    result.append(text.substring(position, position + open));
    result.append(y_getenv(text.substring(nameStart, nameStart + close).data));
    position = nameStart + close + 1;
  }
  result.append(text.substringFrom(position));
  return result;
}

OptionNumber readOptionNumber(const YString& text, int64_t lowest, int64_t highest) {
  const OptionNumber invalid{0, false};
  const bool negative = text.length > 0 && text.data[0] == '-';
  const int32_t first = negative ? 1 : 0;
  if (first == text.length) return invalid;
  // The magnitude is bounded by the range before it can overflow.
  const uint64_t limit = negative ? (lowest < 0 ? 0 - uint64_t(lowest) : 0) : (highest < 0 ? 0 : uint64_t(highest));
  uint64_t magnitude = 0;
  for (int32_t i = first; i < text.length; i++) {
    const char c = text.data[i];
    if (c < '0' || c > '9') return invalid;
    const uint64_t digit = uint64_t(c - '0');
    if (digit > limit || magnitude > (limit - digit) / 10) return invalid;
    magnitude = magnitude * 10 + digit;
  }
  const int64_t value = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
  if (value < lowest || value > highest) return invalid;
  return {value, true};
}
