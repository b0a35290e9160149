#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "agent/core/Options.h"
#include "agent/db/DB.h"
#include "agent/recording/FilterSettings.h"
#include "agent/recording/MethodFilterFlags.h"
#include "agent/recording/MethodStore.h"
#include "agent/recording/SamplingSettings.h"
#include "agent/recording/TracingSettings.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedValue.h"
#include "tests/support/ScopedVariable.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestDatabase.h"

namespace {

const char builtInSampling[] =
    "walltime=java.io.RandomAccessFile : readBytes(byte[], int, int)\n"
    "walltime=java.io.RandomAccessFile : read()\n"
    "walltime=java.io.RandomAccessFile : write(int)\n"
    "walltime=java.io.RandomAccessFile : writeBytes(byte[], int, int)\n"
    "walltime=java.net.SocketInputStream : socketRead0(java.io.FileDescriptor, byte[], int, int, int)\n"
    "walltime=java.net.SocketOutputStream : socketWrite0(java.io.FileDescriptor, byte[], int, int)\n"
    "walltime=java.lang.Thread : sleep(*)\n"
    "\n"
    "sampling_period_ms=20\n";

const char builtInTracing[] =
    "walltime=*\n"
    "adaptive=true\n"
    "adaptive_min_method_invocation_count=20000\n"
    "adaptive_max_average_method_time_ns=1000\n"
    "adaptive_min_method_time_percent=0.1\n";

constexpr uint64_t sampling = 0x4;
constexpr uint64_t tracing = 0xc;
constexpr uint64_t callCounting = 0x1004;
constexpr uint64_t asynchronous = 0x20000;

std::string str(const YString& text) { return std::string(text.data, size_t(text.length)); }

// A home without settings files, the settings path options unset, and the global settings, the
// wall-time filters and the database as they were before.
class FilterSettingsTest : public DatabaseTest {
 protected:
  void TearDown() override {
    const YVector<YString> none;
    setGlobalFilters(&none);
  }

  int32_t wallTimeBits(int32_t id) const { return db->methods.getRow(id, false)->flags & (0x4 | 0x100); }
  std::string settingsFile(const char* name, const std::string& text) const {
    return home.write(std::string(".tallyscope/") + name, text);
  }

  LogCapture log;
  TempDir home;
  ScopedVariable homeVariable{"BRANTEL_HOME", home.path().c_str()};
  ScopedValue<YString> samplingPath{globalOptions().samplingSettingsPath, YString()};
  ScopedValue<YString> tracingPath{globalOptions().tracingSettingsPath, YString()};
  ScopedValue<SamplingSettings> savedSampling{samplingSettings, SamplingSettings()};
  ScopedValue<TracingSettings> savedTracing{tracingSettings, TracingSettings()};
  const int32_t sleep = getOrCreateMethod("java.lang.Thread", "sleep", "(long)", "void", "Thread.java", true);
  const int32_t run = getOrCreateMethod("com.x.Worker", "run", "()", "void", "Worker.java", false);
};

TEST_F(FilterSettingsTest, TheTextIsTheGivenOneOrThatOfTheFileOrTheBuiltInOne) {
  struct Kind {
    const char* fileName;
    YString (*get)(const YString*);
    YString& option;
    const char* builtIn;
  };
  const Kind kinds[] = {
      {"sampling.txt", getSamplingSettingsText, globalOptions().samplingSettingsPath, builtInSampling},
      {"tracing.txt", getTracingSettingsText, globalOptions().tracingSettingsPath, builtInTracing},
  };
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.fileName);
    EXPECT_EQ(str(kind.get(nullptr)), kind.builtIn);

    settingsFile(kind.fileName, "walltime=from.Home\n");
    EXPECT_EQ(str(kind.get(nullptr)), "walltime=from.Home\n");
    const YString given("walltime=given.Text");
    EXPECT_EQ(str(kind.get(&given)), "walltime=given.Text");
    const YString empty;
    EXPECT_EQ(str(kind.get(&empty)), "");

    // A path named by the option wins over the settings directory, also when it cannot be read.
    kind.option = home.write("elsewhere.txt", "walltime=from.Option\n").c_str();
    EXPECT_EQ(str(kind.get(nullptr)), "walltime=from.Option\n");
    kind.option = home.pathOf("missing.txt").c_str();
    EXPECT_EQ(str(kind.get(nullptr)), kind.builtIn);
    kind.option = YString();
  }
}

TEST_F(FilterSettingsTest, TracingLoadsTheTracingSettingsAndTheirWallTimeFilters) {
  EXPECT_EQ(str(loadFilterSettings(tracing | 0x10600, nullptr)), builtInTracing);
  EXPECT_TRUE(allMethodsWallTime);
  EXPECT_EQ(wallTimeBits(sleep), 0x104);
  EXPECT_EQ(wallTimeBits(run), 0x104);
  EXPECT_TRUE(tracingSettings.adaptive);
  EXPECT_EQ(tracingSettings.adaptiveMinMethodInvocationCount, 20000);
  EXPECT_EQ(log.entries().back(), "TracingSettings: a=1 min_cnt=20000 max_avg=1000 min_%=0.100 (default)");

  const YString text("walltime=com.x.Worker:run()\nadaptive=false\n");
  EXPECT_EQ(str(loadFilterSettings(tracing, &text)), str(text));
  EXPECT_FALSE(allMethodsWallTime);
  EXPECT_EQ(wallTimeBits(sleep), 0);
  EXPECT_EQ(wallTimeBits(run), 0x4);
  EXPECT_FALSE(tracingSettings.adaptive);
  EXPECT_EQ(samplingSettings.samplingPeriodMs, 20);
}

TEST_F(FilterSettingsTest, TheBuiltInSamplingTextMakesThreadSleepAWallTimeMethod) {
  EXPECT_EQ(str(loadFilterSettings(sampling, nullptr)), builtInSampling);
  EXPECT_FALSE(allMethodsWallTime);
  EXPECT_EQ(wallTimeBits(sleep), 0x4);
  EXPECT_EQ(wallTimeBits(run), 0);
  const int32_t sleepNanos = getOrCreateMethod("java.lang.Thread", "sleep", "(long, int)", "void", "Thread.java", true);
  EXPECT_EQ(wallTimeBits(sleepNanos), 0x4);
  EXPECT_EQ(samplingSettings.wallTimePatterns.size, 7);
  EXPECT_EQ(log.entries().back(), "SamplingSettings: sampling_period_ms = 20 (default)");
}

TEST_F(FilterSettingsTest, AsynchronousSamplingKeepsItsPatternsButInstallsNoFilters) {
  settingsFile("sampling.txt", "walltime=*\nsampling_period_ms=50\n");
  struct Case {
    uint64_t mode;
    bool filtersInstalled;
  };
  const Case cases[] = {{sampling | asynchronous, false}, {sampling | 0x60000, true}, {sampling | 0x40000, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    samplingSettings = SamplingSettings();
    EXPECT_EQ(str(loadFilterSettings(c.mode, nullptr)), "walltime=*\nsampling_period_ms=50\n");
    EXPECT_EQ(samplingSettings.samplingPeriodMs, 50);
    EXPECT_EQ(samplingSettings.wallTimePatterns.size, 1);
    EXPECT_EQ(allMethodsWallTime, c.filtersInstalled);
    EXPECT_EQ(wallTimeBits(run), c.filtersInstalled ? 0x104 : 0);
  }
}

TEST_F(FilterSettingsTest, CallCountingReadsNothingAndClearsTheWallTimeFilters) {
  loadFilterSettings(tracing, nullptr);
  ASSERT_EQ(wallTimeBits(sleep), 0x104);
  const YString text("walltime=*\nsampling_period_ms=50\n");
  EXPECT_EQ(str(loadFilterSettings(callCounting | 0x10600, &text)), "");
  EXPECT_FALSE(allMethodsWallTime);
  EXPECT_EQ(wallTimeBits(sleep), 0);
  EXPECT_EQ(wallTimeBits(run), 0);
  EXPECT_EQ(samplingSettings.samplingPeriodMs, 20);
  EXPECT_EQ(samplingSettings.wallTimePatterns.size, 0);
}

}  // namespace
