#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/recording/TracingSettings.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedVariable.h"
#include "tests/support/TempDir.h"

namespace {

std::vector<std::string> patternsOf(const TracingSettings& settings) {
  std::vector<std::string> patterns;
  for (int32_t i = 0; i < settings.wallTimePatterns.size; i++) patterns.emplace_back(settings.wallTimePatterns[i].data);
  return patterns;
}

struct Expected {
  bool adaptive;
  int32_t count;
  int32_t average;
  double percent;
};

// Each text on top of the built-in settings: what it does not set stays as they have it.
TEST(TracingSettings, EachLineSetsItsValueOrItsFallback) {
  struct Case {
    const char* text;
    Expected expected;
  };
  const Case cases[] = {
      {"", {true, 20000, 1000, 0.1}},
      {"adaptive=false", {false, 20000, 1000, 0.1}},
      {"adaptive=maybe", {true, 20000, 1000, 0.1}},
      {"adaptive=TRUE\nadaptive=false\nadaptive=", {false, 20000, 1000, 0.1}},
      {"adaptive_min_method_invocation_count=5", {true, 5, 1000, 0.1}},
      {"adaptive_min_method_invocation_count=-5", {true, -5, 1000, 0.1}},
      {"adaptive_min_method_invocation_count=12x", {true, 0, 1000, 0.1}},
      {"adaptive_min_method_invocation_count=", {true, 0, 1000, 0.1}},
      {"adaptive_min_method_invocation_count=99999999999", {true, 0, 1000, 0.1}},
      {"adaptive_max_average_method_time_ns=250", {true, 20000, 250, 0.1}},
      {"adaptive_max_average_method_time_ns=fast", {true, 20000, 0, 0.1}},
      {"adaptive_min_method_time_percent=2.5", {true, 20000, 1000, 2.5}},
      {"adaptive_min_method_time_percent=1.5%", {true, 20000, 1000, 1.5}},
      {"adaptive_min_method_time_percent=2e-1", {true, 20000, 1000, 0.2}},
      {"adaptive_min_method_time_percent= +.5", {true, 20000, 1000, 0.5}},
      {"adaptive_min_method_time_percent=-1", {true, 20000, 1000, -1.0}},
      {"adaptive_min_method_time_percent=half", {true, 20000, 1000, 0.0}},
      {"Adaptive=false\nadaptive_min=3", {true, 20000, 1000, 0.1}},
  };
  LogCapture quiet;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TracingSettings settings;
    initTracingSettings(settings, c.text);
    EXPECT_EQ(settings.adaptive, c.expected.adaptive);
    EXPECT_EQ(settings.adaptiveMinMethodInvocationCount, c.expected.count);
    EXPECT_EQ(settings.adaptiveMaxAverageMethodTimeNs, c.expected.average);
    EXPECT_DOUBLE_EQ(settings.adaptiveMinMethodTimePercent, c.expected.percent);
  }
}

TEST(TracingSettings, OnlyTheTextsOwnWallTimePatternsRemain) {
  LogCapture quiet;
  TracingSettings settings;
  settings.wallTimePatterns.add("left.Over");
  initTracingSettings(settings, "walltime=a.B:m()\nwalltime= c.D");
  EXPECT_EQ(patternsOf(settings), (std::vector<std::string>{"a.B:m()", " c.D"}));
  initTracingSettings(settings, "adaptive=false");
  EXPECT_TRUE(patternsOf(settings).empty());

  // Parsing alone appends to what is there.
  parseTracingSettings(settings, "walltime=*\n#walltime=x\n");
  parseTracingSettings(settings, "walltime=e.F");
  EXPECT_EQ(patternsOf(settings), (std::vector<std::string>{"*", "e.F"}));
}

TEST(TracingSettings, InitLogsTheThresholdsAndTheTextUnlessItIsTheDefault) {
  const TempDir home;
  const ScopedVariable homeVariable("BRANTEL_HOME", home.path().c_str());
  TracingSettings settings;
  LogCapture log;
  initTracingSettings(settings, "");
  initTracingSettings(settings, getTracingSettingsText(nullptr));
  initTracingSettings(settings, "adaptive=false\nadaptive_min_method_time_percent=12.3456");
  const std::string defaults = "TracingSettings: a=1 min_cnt=20000 max_avg=1000 min_%=0.100 (default)";
  EXPECT_EQ(log.entries(), (std::vector<std::string>{defaults, defaults,
                                                     "TracingSettings: a=0 min_cnt=20000 max_avg=1000 min_%=12.346\n"
                                                     "adaptive=false\nadaptive_min_method_time_percent=12.3456"}));
}

}  // namespace
