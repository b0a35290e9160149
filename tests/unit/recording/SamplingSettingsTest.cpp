#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/recording/SamplingSettings.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedVariable.h"
#include "tests/support/TempDir.h"

namespace {

std::vector<std::string> patternsOf(const SamplingSettings& settings) {
  std::vector<std::string> patterns;
  for (int32_t i = 0; i < settings.wallTimePatterns.size; i++) patterns.emplace_back(settings.wallTimePatterns[i].data);
  return patterns;
}

TEST(SamplingSettings, NumbersAreDigitsOfAtLeastOneAndSaturate) {
  struct Case {
    const char* rest;
    int32_t period;
  };
  const Case cases[] = {
      {"50", 50},
      {"1", 1},
      {"0050", 50},
      {"2147483647", 2147483647},
      {"2147483648", 2147483647},
      {"9223372036854775808", 2147483647},
      {"1234567890123456789012345", 2147483647},
      {"0", 20},
      {"-5", 20},
      {"-0", 20},
      {"-1234567890123456789012345", 20},
      {"12ab", 20},
      {"1 2", 20},
      {"+7", 20},
      {"-", 20},
      {"", 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rest);
    SamplingSettings settings;
    settings.parse(YString("sampling_period_ms=") + c.rest);
    EXPECT_EQ(settings.samplingPeriodMs, c.period);
    settings.parse(YString("cpu_threshold_ms=") + c.rest);
    EXPECT_EQ(settings.cpuThresholdMs, c.period == 20 ? 10 : c.period);
  }
}

TEST(SamplingSettings, ParseAppendsPatternsAsWrittenAndIgnoresOtherLines) {
  SamplingSettings settings;
  settings.wallTimePatterns.add("kept");
  settings.parse(
      "walltime= a.B : m() \r\n"
      "# walltime=comment\n"
      "Walltime=x.Y\n"
      "sampling_period_ms=30\n"
      "sampling_period_ms=oops\n"
      "unknown=1\n"
      "\n"
      "walltime=*");
  EXPECT_EQ(patternsOf(settings), (std::vector<std::string>{"kept", " a.B : m()", "*"}));
  EXPECT_EQ(settings.samplingPeriodMs, 30);
  EXPECT_EQ(settings.cpuThresholdMs, 10);
}

TEST(SamplingSettings, LoadStartsFromTheBuiltInValuesAndLogsThePeriod) {
  SamplingSettings settings;
  settings.samplingPeriodMs = 50;
  settings.cpuThresholdMs = 99;
  settings.wallTimePatterns.add("left.Over");
  {
    LogCapture log;
    settings.load("");
    EXPECT_EQ(log.entries(), std::vector<std::string>{"SamplingSettings: sampling_period_ms = 20 (default)"});
  }
  EXPECT_EQ(settings.samplingPeriodMs, 20);
  EXPECT_EQ(settings.cpuThresholdMs, 10);
  EXPECT_TRUE(patternsOf(settings).empty());

  LogCapture log;
  settings.load("cpu_threshold_ms=5\nwalltime=a.B:m()\nsampling_period_ms=7\n");
  EXPECT_EQ(log.entries(), std::vector<std::string>{"SamplingSettings: sampling_period_ms = 7\n"
                                                    "cpu_threshold_ms=5\nwalltime=a.B:m()\nsampling_period_ms=7\n"});
  EXPECT_EQ(settings.cpuThresholdMs, 5);
  EXPECT_EQ(patternsOf(settings), std::vector<std::string>{"a.B:m()"});
}

TEST(SamplingSettings, TheBuiltInTextLoadsAsTheDefault) {
  const TempDir home;
  const ScopedVariable homeVariable("BRANTEL_HOME", home.path().c_str());
  const YString builtIn = getSamplingSettingsText(nullptr);
  SamplingSettings settings;
  LogCapture log;
  settings.load(builtIn);
  EXPECT_EQ(log.entries(), std::vector<std::string>{"SamplingSettings: sampling_period_ms = 20 (default)"});
  EXPECT_EQ(patternsOf(settings).size(), 7u);
  EXPECT_EQ(patternsOf(settings).back(), "java.lang.Thread : sleep(*)");
}

}  // namespace
