#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/core/OptionString.h"
#include "tests/support/ScopedVariable.h"

namespace {

std::vector<std::string> tokensOf(const char* options) {
  YVector<YString> tokens;
  splitOptionString(options, tokens);
  std::vector<std::string> result;
  for (int32_t i = 0; i < tokens.size; i++) result.emplace_back(tokens[i].data, size_t(tokens[i].length));
  return result;
}

std::string text(const YString& value) { return std::string(value.data, size_t(value.length)); }

}  // namespace

TEST(OptionString, FramesTheOptionsWithBothVariables) {
  {
    ScopedVariable pre("BZP_STARTUP_OPTIONS_PRE", "quiet,logdir=/tmp/a");
    ScopedVariable post("BZP_STARTUP_OPTIONS_POST", "_ps");
    EXPECT_EQ(text(readStartupOptionsFromEnvironment("sampling")), "quiet,logdir=/tmp/a,sampling,_ps");
    EXPECT_EQ(tokensOf(readStartupOptionsFromEnvironment("").data),
              (std::vector<std::string>{"quiet", "logdir=/tmp/a", "_ps"}));
  }
  ScopedVariable pre("BZP_STARTUP_OPTIONS_PRE", "");
  ScopedVariable post("BZP_STARTUP_OPTIONS_POST", "");
  EXPECT_EQ(text(readStartupOptionsFromEnvironment("sampling,port=1")), ",sampling,port=1,");
  EXPECT_EQ(text(readStartupOptionsFromEnvironment("")), ",,");
  EXPECT_TRUE(tokensOf(readStartupOptionsFromEnvironment("").data).empty());
}

TEST(OptionString, FramesWithUnsetVariablesAsEmpty) {
  // The scoped variables put back what the environment held before; in between both are unset.
  ScopedVariable pre("BZP_STARTUP_OPTIONS_PRE", "x");
  ScopedVariable post("BZP_STARTUP_OPTIONS_POST", "y");
  unsetVariable("BZP_STARTUP_OPTIONS_PRE");
  unsetVariable("BZP_STARTUP_OPTIONS_POST");
  EXPECT_EQ(text(readStartupOptionsFromEnvironment("tracing")), ",tracing,");
}

TEST(OptionString, SplitsAtEveryCommaAndDropsEmptyPiecesOnly) {
  const struct {
    const char* options;
    std::vector<std::string> tokens;
  } cases[] = {
      {"", {}},
      {",,,", {}},
      {"sampling,,port=10001,", {"sampling", "port=10001"}},
      {",a, b ,c", {"a", " b ", "c"}},
      {"debug=bci,debug=filters", {"debug=bci", "debug=filters"}},
      {"sessionname={a,b}", {"sessionname={a", "b}"}},
  };
  for (const auto& c : cases) EXPECT_EQ(tokensOf(c.options), c.tokens) << c.options;
}

// Every key with a token it matches, so that a misspelt key or one shadowed by an earlier row shows.
TEST(OptionString, ClassifiesEveryKeyOfTheTable) {
  const struct {
    const char* token;
    OptionKey key;
    const char* value;
  } cases[] = {
      {"", OptionKey::Empty, ""},
      {"tracing", OptionKey::Tracing, ""},
      {"disablealloc", OptionKey::DisableAlloc, ""},
      {"disabletracing", OptionKey::DisableTracing, ""},
      {"probe_disable=*Test*", OptionKey::ProbeDisable, "*Test*"},
      {"probe_auto=.Maven", OptionKey::ProbeAuto, ".Maven"},
      {"probe_off=.Maven", OptionKey::ProbeOff, ".Maven"},
      {"probe_on=*", OptionKey::ProbeOn, "*"},
      {"probetablelengthlimit=5", OptionKey::ProbeTableLengthLimit, "5"},
      {"deadthreadlimit=7", OptionKey::DeadThreadLimit, "7"},
      {"exceptions=disable", OptionKey::ExceptionsDisable, ""},
      {"disableexceptiontelemetry", OptionKey::DisableExceptionTelemetry, ""},
      {"exceptions=off", OptionKey::ExceptionsOff, ""},
      {"exceptions=on", OptionKey::ExceptionsOn, ""},
      {"disablestacktelemetry", OptionKey::DisableStackTelemetry, ""},
      {"disableoomedumper", OptionKey::DisableOomeDumper, ""},
      {"periodicmem=60", OptionKey::PeriodicMem, "60"},
      {"periodicperf=120", OptionKey::PeriodicPerf, "120"},
      {"disableall", OptionKey::DisableAll, ""},
      {"repository=/r", OptionKey::Repository, "/r"},
      {"monitors", OptionKey::Monitors, ""},
      {"sampling", OptionKey::Sampling, ""},
      {"alloceach=10", OptionKey::AllocEach, "10"},
      {"allocsizelimit=4096", OptionKey::AllocSizeLimit, "4096"},
      {"session_id=-3", OptionKey::SessionId, "-3"},
      {"port=10001-10010", OptionKey::Port, "10001-10010"},
      {"listen=fe80::1", OptionKey::Listen, "fe80::1"},
      {"skip_advanced_port_check", OptionKey::SkipAdvancedPortCheck, ""},
      {"do_advanced_port_check", OptionKey::DoAdvancedPortCheck, ""},
      {"quiet", OptionKey::Quiet, ""},
      {"united_log", OptionKey::UnitedLog, ""},
      {"log_sys_time", OptionKey::LogSysTime, ""},
      {"sessionname={default}-x", OptionKey::SessionName, "{default}-x"},
      {"log_file_size_limit=20000", OptionKey::LogFileSizeLimit, "20000"},
      {"snapshot_name_format={sessionname}", OptionKey::SnapshotNameFormat, "{sessionname}"},
      {"debug=bci", OptionKey::Debug, "bci"},
      {"_socket_timeout_ms=5", OptionKey::Hidden, "_socket_timeout_ms=5"},
      {"withdebugger", OptionKey::WithDebugger, ""},
      {"telemetrylimit=2", OptionKey::TelemetryLimit, "2"},
      {"telemetry_point_limit=100", OptionKey::TelemetryPointLimit, "100"},
      {"onexit=snapshot", OptionKey::OnExitSnapshot, ""},
      {"dir=/snapshots", OptionKey::Dir, "/snapshots"},
      {"tmpdir=/t", OptionKey::TmpDir, "/t"},
      {"sampling_settings_path=s.txt", OptionKey::SamplingSettingsPath, "s.txt"},
      {"tracing_settings_path=t.txt", OptionKey::TracingSettingsPath, "t.txt"},
      {"triggers=triggers.txt", OptionKey::Triggers, "triggers.txt"},
      {"profiler_dir=/p", OptionKey::ProfilerDir, "/p"},
      {"ideport=8080", OptionKey::IdePort, "8080"},
      {"telemetryperiod=500", OptionKey::TelemetryPeriod, "500"},
      {"logdir=/l", OptionKey::LogDir, "/l"},
  };
  for (const auto& c : cases) {
    const OptionToken token = classifyOptionToken(c.token);
    EXPECT_EQ(token.key, c.key) << c.token;
    EXPECT_EQ(text(token.value), c.value) << c.token;
  }
}

TEST(OptionString, MatchesKeysExactlyAndReportsTheRestWhole) {
  const struct {
    const char* token;
    OptionKey key;
    const char* value;
  } cases[] = {
      {" sampling", OptionKey::Unknown, " sampling"},  // nothing is trimmed
      {"sampling ", OptionKey::Unknown, "sampling "},
      {"Sampling", OptionKey::Unknown, "Sampling"},  // case counts
      {"samplng", OptionKey::Unknown, "samplng"},
      {"tracing=1", OptionKey::Unknown, "tracing=1"},                      // a bare key takes no value
      {"exceptions=disabled", OptionKey::Unknown, "exceptions=disabled"},  // nor does one holding "="
      {"onexit=", OptionKey::Unknown, "onexit="},
      {"port", OptionKey::Unknown, "port"},  // a key with a value needs its "="
      {"port=", OptionKey::Port, ""},        // whose value may be empty
      {"_", OptionKey::Hidden, "_"},
      {"_cf4=1", OptionKey::Hidden, "_cf4=1"},
      {"_agent_cp=BZPQUOTED2C", OptionKey::Hidden, "_agent_cp=BZPQUOTED2C"},  // kept as written
      {"dir=BZPQUOTED612C62", OptionKey::Dir, "a,b"},                         // values are unquoted
      {"listen=a=b", OptionKey::Listen, "a=b"},
      {"debug=", OptionKey::Debug, ""},
  };
  for (const auto& c : cases) {
    const OptionToken token = classifyOptionToken(c.token);
    EXPECT_EQ(token.key, c.key) << c.token;
    EXPECT_EQ(text(token.value), c.value) << c.token;
  }
}

TEST(OptionString, UnquotesOnlyWellQuotedValues) {
  const struct {
    const char* value;
    std::string expected;
  } cases[] = {
      {"BZPQUOTED2C", ","},
      {"BZPQUOTED", ""},
      {"BZPQUOTED2c412f7a", ",A/z"},
      {"BZPQUOTEDC3A9", "\xc3\xa9"},
      {"BZPQUOTED2", "BZPQUOTED2"},      // odd count
      {"BZPQUOTED2C4", "BZPQUOTED2C4"},  // odd count
      {"BZPQUOTEDZZ", "BZPQUOTEDZZ"},    // not hexadecimal
      {"BZPQUOTED2C2G", "BZPQUOTED2C2G"},
      {"BZPQUOTED 2C", "BZPQUOTED 2C"},
      {"BZPQUOTED-1", "BZPQUOTED-1"},
      {"BZPQUOTED410042", "BZPQUOTED410042"},  // a zero byte cannot be part of an option text
      {"bzpquoted2C", "bzpquoted2C"},          // the marker is case-sensitive
      {"x BZPQUOTED2C", "x BZPQUOTED2C"},
      {"plain", "plain"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(text(unquoteOptionValue(c.value)), c.expected) << c.value;
}

TEST(OptionString, ExpandsMacrosFromTheEnvironment) {
  ScopedVariable set("TALLYSCOPE_TEST_MACRO", "value");
  ScopedVariable other("TALLYSCOPE_TEST_OTHER", "o");
  ScopedVariable empty("TALLYSCOPE_TEST_EMPTY", "");
  const struct {
    const char* text;
    const char* expected;
  } cases[] = {
      {"{TALLYSCOPE_TEST_MACRO}", "value"},
      {"a-{TALLYSCOPE_TEST_MACRO}-{TALLYSCOPE_TEST_OTHER}-b", "a-value-o-b"},
      {"{TALLYSCOPE_TEST_MACRO}{TALLYSCOPE_TEST_MACRO}", "valuevalue"},
      {"{TALLYSCOPE_TEST_NEVER_SET}", ""},
      {"x{TALLYSCOPE_TEST_EMPTY}y", "xy"},
      {"{}", ""},
      {"a{}b", "ab"},
      {"a{b", "a{b"},  // unterminated: kept as written
      {"{TALLYSCOPE_TEST_MACRO}-{TALLYSCOPE_TEST_MACRO", "value-{TALLYSCOPE_TEST_MACRO"},
      {"a}b{", "a}b{"},
      {"{{TALLYSCOPE_TEST_MACRO}}", "}"},  // no nesting: the name is "{TALLYSCOPE_TEST_MACRO"
      {"no macros", "no macros"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(text(expandOptionMacros(c.text)), c.expected) << c.text;
}

TEST(OptionString, ReadsNumbersWithinTheFieldsRange) {
  const struct {
    const char* text;
    bool valid;
    int64_t value;
  } cases[] = {
      {"0", true, 0},
      {"-0", true, 0},
      {"42", true, 42},
      {"-42", true, -42},
      {"007", true, 7},
      {"2147483647", true, INT32_MAX},
      {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0},  // would wrap to a negative 32-bit value
      {"-2147483649", false, 0},
      {"4294967297", false, 0},  // would wrap to 1
      {"99999999999999999999999", false, 0},
      {"", false, 0},
      {"-", false, 0},
      {"+5", false, 0},
      {" 5", false, 0},
      {"5 ", false, 0},
      {"12abc", false, 0},
      {"abc", false, 0},
      {"1-2", false, 0},
      {"--1", false, 0},
  };
  for (const auto& c : cases) {
    const OptionNumber number = readOptionNumber(c.text);
    EXPECT_EQ(number.valid, c.valid) << c.text;
    EXPECT_EQ(number.value, c.value) << c.text;
  }
}

TEST(OptionString, ReadsNumbersOverTheWholeRangeAsked) {
  EXPECT_EQ(readOptionNumber("9223372036854775807", INT64_MIN, INT64_MAX).value, INT64_MAX);
  EXPECT_EQ(readOptionNumber("-9223372036854775808", INT64_MIN, INT64_MAX).value, INT64_MIN);
  EXPECT_FALSE(readOptionNumber("9223372036854775808", INT64_MIN, INT64_MAX).valid);
  EXPECT_FALSE(readOptionNumber("-9223372036854775809", INT64_MIN, INT64_MAX).valid);
  EXPECT_FALSE(readOptionNumber("18446744073709551617", INT64_MIN, INT64_MAX).valid);  // 2^64 + 1

  EXPECT_TRUE(readOptionNumber("65535", 1, 65535).valid);
  EXPECT_FALSE(readOptionNumber("65536", 1, 65535).valid);
  EXPECT_FALSE(readOptionNumber("0", 1, 65535).valid);
  EXPECT_FALSE(readOptionNumber("-0", 1, 65535).valid);
  EXPECT_FALSE(readOptionNumber("-5", 1, 65535).valid);
  EXPECT_EQ(readOptionNumber("-0", 0, 10).value, 0);
  EXPECT_TRUE(readOptionNumber("-0", 0, 10).valid);
}
