// Which classes probes may reach: the ignored and re-included prefixes that start-up reads from
// "probe_ignored_prefixes.txt" (or its built-in list), the bci filter, and the one predicate over them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "agent/core/Options.h"
#include "agent/probes/ProbeEligibility.h"
#include "agent/probes/ProbeRegistry.h"
#include "agent/support/AgentDirectories.h"
#include "tests/support/FreshProcess.h"
#include "tests/support/HiddenOption.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedVariable.h"
#include "tests/support/TempDir.h"

namespace {

std::vector<std::string> texts(const YVectorSafe<YString>& list) {
  std::vector<std::string> result;
  for (int32_t i = 0; i < list.size; i++) result.emplace_back(list[i].data);
  return result;
}

class ProbeEligibilityTest : public testing::Test {
 protected:
  TempDir home;
  ScopedVariable homeVariable{"BRANTEL_HOME", home.path().c_str()};
  LogCapture log;

  void SetUp() override {
    ourIgnoredPrefixes.removeRange(0, ourIgnoredPrefixes.size);
    ourReincludedPrefixes.removeRange(0, ourReincludedPrefixes.size);
  }
  void TearDown() override { SetUp(); }

  void writeSetting(const char* name, const std::string& text) {
    const std::filesystem::path directory(getSettingsDir().data);
    std::filesystem::create_directories(directory);
    std::ofstream(directory / name, std::ios::binary) << text;
  }
};

TEST_F(ProbeEligibilityTest, BuiltInListKeepsTheCorePackagesAndReincludesDb2) {
  loadProbeIgnoredPrefixes();
  const std::vector<std::string> ignored = texts(ourIgnoredPrefixes);
  ASSERT_EQ(20u, ignored.size());
  EXPECT_EQ("java.security.AccessController", ignored.front());
  EXPECT_EQ("com.ibm.", ignored[11]);
  EXPECT_EQ("com.brantel.Constants", ignored[12]);
  EXPECT_EQ("org.netbeans.TopSecurityManager", ignored.back());
  EXPECT_EQ(std::vector<std::string>{"com.ibm.db2."}, texts(ourReincludedPrefixes));
  // Without "bci_filter.txt" nothing is filtered, and nothing is logged.
  EXPECT_FALSE(bciFilterList().matchesMethod("org.example.A", "run", "()"));
  EXPECT_TRUE(log.entries().empty());
}

TEST_F(ProbeEligibilityTest, SettingsFilesReplaceTheListAndShowTheFilter) {
  writeSetting("probe_ignored_prefixes.txt", "# mine\norg.example.\n+\n+org.example.keep.\n\n");
  writeSetting("bci_filter.txt", "org.example.A:run()\n");
  loadProbeIgnoredPrefixes();
  EXPECT_EQ(std::vector<std::string>{"org.example."}, texts(ourIgnoredPrefixes));
  EXPECT_EQ(std::vector<std::string>{"org.example.keep."}, texts(ourReincludedPrefixes));
  const std::vector<std::string> entries = log.entries();
  ASSERT_EQ(1u, entries.size());
  EXPECT_NE(std::string::npos, entries[0].find("bci_filter.txt specified:\norg.example.A:run()\n\n"));
  EXPECT_TRUE(bciFilterList().matchesMethod("org.example.A", "run", "()"));
  EXPECT_FALSE(bciFilterList().matchesMethod("org.example.A", "stop", "()"));

  // The file's lists replace the built-in ones altogether.
  EXPECT_FALSE(canProbeClass(YString("org.example.A"), YString("*")));
  EXPECT_TRUE(canProbeClass(YString("org.example.keep.B"), YString("*")));
  EXPECT_TRUE(canProbeClass(YString("java.util.HashMap"), YString("*")));
}

// Under the built-in lists, with x/y/RegisteredProbe registered.
TEST_F(ProbeEligibilityTest, CanProbeClass) {
  loadProbeIgnoredPrefixes();
  ProbeDescriptor* probe = new ProbeDescriptor(
      YString("x/y/RegisteredProbe"), YString(), YString(), YString(), nullptr, nullptr, nullptr, false, false, false,
      false, YString(), YString(), YVector<YString>(), getTopProbe(YString("x.y.RegisteredProbe")), false);
  {
    YCriticalSectionLock held(&probeRegistryLock(), "test");
    ourProbeDescriptors.add(probe);
  }
  const struct {
    const char* className;
    const char* pattern;
    bool eligible;
  } cases[] = {
      {"a.b.C", "a.b.C", true},
      {"a.b.C", "a.b.*", true},
      {"a.b.C", "a.b.", false},    // the whole name must match
      {"a.b.C", "A.B.*", false},   // case matters
      {"com.ibm.db2.jcc.Foo", "*", true},  // re-included
      {"com.ibm.Foo", "*", false},
      {"com.ibm.Foo", "com.ibm.*", true},  // a pattern naming the ignored package reaches it
      {"com.ibm.db2.jcc.Foo", "com.ibm.*", true},
      {"java.util.HashMap", "java.util.*", true},
      {"java.util.HashMap", "*", false},
      {"java.util.HashMap", "*HashMap", false},
      {"java.lang.String", "java.lang.String", true},
      {"java.language.X", "*", true},  // prefixes compare byte by byte
      {"java.lang.X", "*", false},
      {"com.brantel.runtime.Callback", "com.brantel.*", false},  // shorter than the ignored prefix
      {"a.B$$Lambda$14/0x0000000800c03000", "*", false},
      {"a.B$$Lambda$14/0x0000000800c03000", "a.B$$Lambda$*", false},
      {"a.B$Lambda$1", "*", true},
      {"x.y.RegisteredProbe", "*", false},  // a probe class only for a pattern naming it
      {"x.y.RegisteredProbe", "x.y.Registered*", false},
      {"x.y.RegisteredProbe", "x.y.RegisteredProbe", true},
      {"x.y.RegisteredProbeX", "*", true},
      {"x.y.RegisteredProbe$Inner", "*", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.eligible, canProbeClass(YString(c.className), YString(c.pattern))) << c.className << " / " << c.pattern;
  }
  YCriticalSectionLock held(&probeRegistryLock(), "test");
  ourProbeDescriptors.pop();
  delete probe;
}

#ifndef _WIN32
// The lambda exclusion is fixed by the first question of the process.
TEST(CanProbeClass, LambdaClassesQualifyOnlyWithTheirFixTurnedOff) {
  inFreshProcess([] {
    const HiddenOption turnedOff("_no_FIX_20151029_1");
    const bool lambda = canProbeClass(YString("a.B$$Lambda$14/0x0000000800c03000"), YString("a.B*"));
    return lambda ? std::string() : std::string("a lambda class was refused although the fix is turned off");
  });
}
#endif

}  // namespace

