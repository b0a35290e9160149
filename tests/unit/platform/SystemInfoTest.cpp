#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "agent/platform/Elevation.h"
#include "agent/platform/SystemInfo.h"
#include "agent/support/Formatting.h"
#include "agent/support/HostQueries.h"

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

TEST(SystemInfo, NamesThePlatformAndTheSystem) {
  const std::string name = getOsDisplayName().data;
  const std::string version = getWindowsVersionText().data;
  ASSERT_FALSE(name.empty());
  ASSERT_FALSE(version.empty());
  EXPECT_TRUE(is64BitMachine());
#ifdef _WIN32
  EXPECT_STREQ(getPlatformDirName(), "win64");
  EXPECT_EQ(name.rfind("Windows", 0), 0u);
  const WindowsVersion& record = windowsVersion();
  EXPECT_EQ(version, std::to_string(record.major) + "." + std::to_string(record.minor) + "." +
                         std::to_string(record.build));
#else
  EXPECT_STREQ(getPlatformDirName(), "linux64");
  EXPECT_EQ(name.find("Windows"), std::string::npos);
  std::string release;
  std::getline(std::ifstream("/proc/sys/kernel/osrelease"), release);
  EXPECT_EQ(version, release);
  EXPECT_EQ(release.rfind(std::to_string(windowsVersion().major) + "." + std::to_string(windowsVersion().minor), 0),
            0u);
#endif
}

#ifdef _WIN32
TEST(SystemInfo, NamesWindowsProductsByVersionAndEdition) {
  struct Case {
    WindowsVersion version;
    const char* name;
  } cases[] = {
      {{2, 6, 0, 6002, true}, "Windows Vista"},
      {{2, 6, 0, 6002, false}, "Windows Server 2008"},
      {{2, 6, 1, 7601, true}, "Windows 7"},
      {{2, 6, 1, 7601, false}, "Windows Server 2008 R2"},
      {{2, 6, 2, 9200, true}, "Windows 8"},
      {{2, 6, 2, 9200, false}, "Windows Server 2012"},
      {{2, 6, 3, 9600, true}, "Windows 8.1"},
      {{2, 6, 3, 9600, false}, "Windows Server 2012 R2"},
      {{2, 10, 0, 22631, true}, "Windows 10"},
      {{2, 10, 0, 14393, false}, "Windows Server 2016"},
      {{2, 10, 0, 17762, false}, "Windows Server 2016"},
      {{2, 10, 0, 17763, false}, "Windows Server 2019"},
      {{2, 5, 2, 3790, false}, "Windows (5.2.3790)"},
      {{1, 6, 1, 7601, true}, "Windows (6.1.7601)"},
  };
  for (const Case& c : cases) EXPECT_STREQ(windowsProductName(c.version).data, c.name);
}
#endif

TEST(SystemInfo, GivesTheHostAndUserOfTheProcess) {
  EXPECT_GT(getHostName().length, 0);
  EXPECT_STREQ(getHostName().data, getComputerName().data);
  EXPECT_GT(getUserName().length, 0);
#ifndef _WIN32
  EXPECT_STREQ(getUserName().data, getpwuid(geteuid())->pw_name);
#endif
}

TEST(SystemInfo, MemoryFiguresArePositiveAndConsistent) {
  const int64_t total = getSystemPhysicalMemorySize();
  const int64_t committed = getProcessMemoryUsage();
  const int64_t workingSet = getProcessPhysicalMemoryUsage();
  EXPECT_GT(total, 64 * 1048576LL);
  EXPECT_GT(committed, 0);
  EXPECT_GT(workingSet, 0);
  EXPECT_GE(total, workingSet);
}

TEST(SystemInfo, ErrorTextsCarryTheCode) {
  EXPECT_STREQ(getSystemErrorText(2).data, "No such file or directory (code 2)");
  const std::string unknown = getSystemErrorText(99999).data;
  EXPECT_EQ(unknown.rfind("Unknown error", 0), 0u);
  EXPECT_EQ(unknown.substr(unknown.size() - 13), " (code 99999)");
}

TEST(Elevation, TheAdministratorTestIsAskedOnceAndExported) {
#ifndef _WIN32
  EXPECT_EQ(queryAdministratorMembership(), geteuid() == 0);
  EXPECT_FALSE(runAsAdministrator(YString("/bin/true"), YString(""), nullptr, true));
#endif
  EXPECT_EQ(isAdministratorImpl() != 0, queryAdministratorMembership());
  EXPECT_EQ(isAdministrator(), isAdministratorImpl() != 0);
}

#ifdef _WIN32
TEST(Elevation, AnElevatedLaunchReportsTheExitCodeWhenWaitedFor) {
  int32_t exitCode = -1;
  ASSERT_TRUE(runAsAdministrator(YString("cmd.exe"), YString("/c exit 3"), &exitCode, true));
  EXPECT_EQ(exitCode, 3);
  EXPECT_FALSE(runAsAdministrator(YString("no-such-program-here.exe"), YString(""), nullptr, true));
}
#endif
