#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "agent/probes/ProbeIgnoredPrefixes.h"
#include "agent/probes/ProbeRegistration.h"
#include "agent/support/AgentDirectories.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedVariable.h"
#include "tests/support/TempDir.h"

namespace {

std::vector<std::string> texts(const YVectorSafe<YString>& list) {
  std::vector<std::string> result;
  for (int32_t i = 0; i < list.size; i++) result.emplace_back(list[i].data);
  return result;
}

class IgnoredPrefixesTest : public testing::Test {
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

TEST_F(IgnoredPrefixesTest, BuiltInListKeepsTheCorePackagesAndReincludesDb2) {
  loadProbeIgnoredPrefixes();
  const std::vector<std::string> ignored = texts(ourIgnoredPrefixes);
  ASSERT_EQ(20u, ignored.size());
  EXPECT_EQ("java.security.AccessController", ignored.front());
  EXPECT_EQ("com.ibm.", ignored[11]);
  EXPECT_EQ("com.brantel.Constants", ignored[12]);
  EXPECT_EQ("org.netbeans.TopSecurityManager", ignored.back());
  EXPECT_EQ(std::vector<std::string>{"com.ibm.db2."}, texts(ourReincludedPrefixes));
  EXPECT_TRUE(log.entries().empty());
}

TEST_F(IgnoredPrefixesTest, SettingsFilesReplaceTheListAndShowTheFilter) {
  writeSetting("probe_ignored_prefixes.txt", "# mine\norg.example.\n+\n+org.example.keep.\n\n");
  writeSetting("bci_filter.txt", "org.example.A:run()\n");
  loadProbeIgnoredPrefixes();
  EXPECT_EQ(std::vector<std::string>{"org.example."}, texts(ourIgnoredPrefixes));
  EXPECT_EQ(std::vector<std::string>{"org.example.keep."}, texts(ourReincludedPrefixes));
  const std::vector<std::string> entries = log.entries();
  ASSERT_EQ(1u, entries.size());
  EXPECT_NE(std::string::npos, entries[0].find("bci_filter.txt specified:\norg.example.A:run()\n\n"));
}

TEST(ProbeRegistration, EveryNamedProbeIsReportedAsAnError) {
  YVector<YString> names;
  names.add(YString("com.example.MyProbe"));
  names.add(YString("com.example.Other"));
  ProbeCreationResult result;
  registerProbesByName(names, false, result);
  EXPECT_FALSE(result.isSuccessful());
  EXPECT_STREQ("Error: cannot register probe class com.example.MyProbe: probes are not available in this build\n"
               "Error: cannot register probe class com.example.Other: probes are not available in this build",
               result.getErrorsText().data);
  EXPECT_TRUE(ProbeCreationResult().isSuccessful());
}

}  // namespace
