#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "agent/platform/Directories.h"
#include "agent/platform/Environment.h"
#include "agent/support/AgentDirectories.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedVariable.h"

namespace {

const std::string sep(1, pathSeparator);

}  // namespace

TEST(AgentDirectories, TheHomeComesFromBrantelHomeWhenSet) {
  ScopedVariable home("BRANTEL_HOME", "/opt/agent-home");
  EXPECT_STREQ(getAgentHomeDir().data, "/opt/agent-home");
  EXPECT_EQ(getSettingsDir().data, "/opt/agent-home" + sep + ".tallyscope" + sep);
}

TEST(AgentDirectories, AHomeEndingWithASeparatorIsAppendedToAsItStands) {
  const std::string withSeparator = "/opt/agent-home" + sep;
  ScopedVariable home("BRANTEL_HOME", withSeparator.c_str());
  EXPECT_EQ(getSettingsDir().data, withSeparator + sep + ".tallyscope" + sep);
}

TEST(AgentDirectories, WithoutBrantelHomeTheUserProfileIsTheHome) {
  ScopedVariable home("BRANTEL_HOME", "");
  const std::string profile = getUserProfileDir().data;
  ASSERT_FALSE(profile.empty());
  EXPECT_TRUE(std::filesystem::is_directory(profile)) << profile;
  EXPECT_EQ(getAgentHomeDir().data, profile);
  EXPECT_EQ(getSettingsDir().data, profile + sep + ".tallyscope" + sep);
}

#ifndef _WIN32
TEST(AgentDirectories, TheProfileIsTheHomeVariableOrElseThePasswordEntry) {
  {
    ScopedVariable home("HOME", "/home/somebody-else");
    EXPECT_STREQ(getUserProfileDir().data, "/home/somebody-else");
  }
  ScopedVariable home("HOME", "");
  EXPECT_GT(getUserProfileDir().length, 0);
  EXPECT_EQ(getUserProfileDir().data[0], '/');
}
#endif

TEST(AgentDirectories, TempFilePathsGetOneSeparator) {
  struct Case {
    const char* directory;
    const char* expected;
  } cases[] = {
      {"/var/tmp/", "/var/tmp/f.txt"},
      {"C:\\temp\\", "C:\\temp\\f.txt"},
      {"/var/tmp", nullptr},
  };
  for (const Case& c : cases) {
    const std::string expected = c.expected ? c.expected : std::string(c.directory) + sep + "f.txt";
    EXPECT_EQ(makeTempFilePath(YString(c.directory), YString("f.txt")).data, expected);
  }
  const std::string temp = getTempDir().data;
  EXPECT_EQ(makeTempFilePath(YString(""), YString("f.txt")).data, temp + "f.txt");
}

TEST(Directories, TempCurrentAndLibraryPathsAreRealPlaces) {
  const std::string temp = getTempDir().data;
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), pathSeparator);
  EXPECT_TRUE(std::filesystem::is_directory(temp));

  EXPECT_TRUE(std::filesystem::equivalent(getCurrentDir().data, std::filesystem::current_path()));

  // The tests link the agent's code into their own executable, so that is the module that holds it.
  const std::filesystem::path library = getAgentLibraryPath().data;
  EXPECT_TRUE(library.is_absolute()) << library;
  EXPECT_TRUE(std::filesystem::is_regular_file(library)) << library;
  EXPECT_EQ(library.stem().string(), "unit_platform");
}

#ifndef _WIN32
TEST(Directories, TheTempDirectoryFollowsTmpdir) {
  ScopedVariable tmpdir("TMPDIR", "/var/tmp");
  EXPECT_STREQ(getTempDir().data, "/var/tmp/");
}
#endif
