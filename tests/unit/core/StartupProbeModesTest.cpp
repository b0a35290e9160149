#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "agent/core/OptionString.h"
#include "agent/core/Options.h"
#include "agent/core/StartupProbeModes.h"

namespace {

using Entries = std::vector<std::pair<std::string, int32_t>>;

const char* const monitoringProbes[] = {
    "com.brantel.probes.tallyscope.Ant",        "com.brantel.probes.tallyscope.Gradle",
    "com.brantel.probes.tallyscope.JUnitTests", "com.brantel.probes.tallyscope.Maven",
    "com.brantel.probes.tallyscope.Processes",  "com.brantel.probes.tallyscope.ShutdownHook",
    "com.brantel.probes.tallyscope.TestNg",     "com.brantel.probes.tallyscope.TestsSupport",
    "com.brantel.probes.tallyscope.Threads",
};

Entries entries() {
  const YStringMap<PROBE_ACTIVITY_MODE>& modes = startupProbeModes();
  Entries result;
  for (int32_t i = 0; i < modes.keys.size; i++) result.emplace_back(modes.keys[i].data, modes.values[i]);
  return result;
}

Entries monitoringProbesWith(int32_t mode) {
  Entries result;
  for (const char* name : monitoringProbes) result.emplace_back(name, mode);
  return result;
}

// The map is the process's one; each test starts from an empty one.
class StartupProbeModes : public ::testing::Test {
 protected:
  void SetUp() override { empty(); }
  void TearDown() override { empty(); }
  static void empty() {
    YStringMap<PROBE_ACTIVITY_MODE>& modes = startupProbeModes();
    while (modes.keys.size > 0) modes.remove(YString(modes.keys[0]));
  }
  // What the main pass does with a probe token.
  static void applyProbeToken(const char* token) {
    const OptionToken parsed = classifyOptionToken(token);
    const int32_t mode = parsed.key == OptionKey::ProbeDisable ? PROBE_DISABLE
                         : parsed.key == OptionKey::ProbeAuto  ? PROBE_AUTO
                         : parsed.key == OptionKey::ProbeOff   ? PROBE_OFF
                                                               : PROBE_ON;
    addProbeActivityPattern(qualifyProbeClassName(parsed.value), mode);
  }
};

}  // namespace

TEST_F(StartupProbeModes, MonitoringProbesComeAndGoTogether) {
  addEnabledProbeClass("p.Mine");
  enableMonitoringProbes();
  Entries expected{{"p.Mine", PROBE_ON}};
  const Entries monitoring = monitoringProbesWith(PROBE_ON);
  expected.insert(expected.end(), monitoring.begin(), monitoring.end());
  EXPECT_EQ(entries(), expected);

  // Enabling again turns a probe that was switched off back on, in its place.
  applyProbeToken("probe_off=.Gradle");
  enableMonitoringProbes();
  EXPECT_EQ(entries(), expected);

  disableMonitoringProbes();
  EXPECT_EQ(entries(), (Entries{{"p.Mine", PROBE_ON}}));
  removeEnabledProbeClass("p.Mine");
  removeEnabledProbeClass("p.Mine");
  EXPECT_TRUE(entries().empty());
}

TEST_F(StartupProbeModes, ProbeOffAddsANamedProbeThenTurnsItOff) {
  applyProbeToken("probe_off=.Maven");
  EXPECT_EQ(entries(), (Entries{{"com.brantel.probes.tallyscope.Maven", PROBE_OFF}}));

  // The main pass enables the monitoring probes first; Maven keeps its place and is On again.
  enableMonitoringProbes();
  Entries expected = monitoringProbesWith(PROBE_ON);
  expected.erase(expected.begin() + 3);
  expected.insert(expected.begin(), {"com.brantel.probes.tallyscope.Maven", PROBE_ON});
  EXPECT_EQ(entries(), expected);

  applyProbeToken("probe_auto=.Maven");
  expected[0].second = PROBE_AUTO;
  EXPECT_EQ(entries(), expected);
}

TEST_F(StartupProbeModes, PatternsChangeOrForgetTheNamesTheyMatch) {
  enableMonitoringProbes();
  Entries expected = monitoringProbesWith(PROBE_ON);

  applyProbeToken("probe_off=*Test*");  // a pattern adds nothing
  for (int index : {2, 6, 7}) expected[index].second = PROBE_OFF;
  EXPECT_EQ(entries(), expected);

  applyProbeToken("probe_auto=com.brantel.probes.tallyscope.T*");
  for (int index : {6, 7, 8}) expected[index].second = PROBE_AUTO;
  EXPECT_EQ(entries(), expected);

  applyProbeToken("probe_on=*");
  expected = monitoringProbesWith(PROBE_ON);
  EXPECT_EQ(entries(), expected);

  applyProbeToken("probe_disable=*Test*");
  applyProbeToken("probe_disable=.Gradle");
  applyProbeToken("probe_disable=p.Absent");  // disabling never adds
  applyProbeToken("probe_on=p.New");
  expected = {
      {"com.brantel.probes.tallyscope.Ant", PROBE_ON},       {"com.brantel.probes.tallyscope.Maven", PROBE_ON},
      {"com.brantel.probes.tallyscope.Processes", PROBE_ON}, {"com.brantel.probes.tallyscope.ShutdownHook", PROBE_ON},
      {"com.brantel.probes.tallyscope.Threads", PROBE_ON},   {"p.New", PROBE_ON}};
  EXPECT_EQ(entries(), expected);

  applyProbeToken("probe_off=*maven");  // case-sensitive, whole name
  EXPECT_EQ(entries(), expected);
}

TEST_F(StartupProbeModes, DisablingEverythingEmptiesTheMap) {
  enableMonitoringProbes();
  addEnabledProbeClass("p.Mine");
  applyProbeToken("probe_disable=*");
  EXPECT_TRUE(entries().empty());
  applyProbeToken("probe_on=*");
  EXPECT_TRUE(entries().empty());
}

TEST(QualifyProbeClassName, PrefixesOnlyALeadingDot) {
  EXPECT_STREQ(qualifyProbeClassName(".Maven").data, "com.brantel.probes.tallyscope.Maven");
  EXPECT_STREQ(qualifyProbeClassName(".").data, "com.brantel.probes.tallyscope.");
  EXPECT_STREQ(qualifyProbeClassName("p.q.Mine").data, "p.q.Mine");
  EXPECT_STREQ(qualifyProbeClassName("*Test*").data, "*Test*");
  EXPECT_STREQ(qualifyProbeClassName("").data, "");
}
