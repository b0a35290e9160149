#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "agent/natives/RegistryServices.h"
#include "agent/platform/RegistryKey.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedVariable.h"
#include "tests/support/TempDir.h"

#ifndef _WIN32
#include "tests/support/JvmLauncher.h"
#endif

// The registry services over the registry itself on Windows and over the file store under the agent
// home on Linux: the same table passes on both.

namespace {

std::u16string wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// The text of a string read, freed; "<null>" for none.
std::string take(char16_t* text) {
  if (text == nullptr) return "<null>";
  std::string out;
  for (const char16_t* unit = text; *unit != 0; unit++) out += char(*unit);
  std::free(text);
  return out;
}

class RegistryServicesTest : public testing::Test {
 protected:
  TempDir home;
  ScopedVariable agentHome{"BRANTEL_HOME", home.path().c_str()};
  // A key of its own under SOFTWARE, so that runs never meet.
  const std::string keyText = "SOFTWARE\\TallyScope Tests\\Run" + std::to_string(std::random_device()());
  const std::u16string key = wide(keyText);

  std::string readString(int32_t hive, const char16_t* name, int32_t view) {
    return take(getWinRegStringValueImpl(hive, key.c_str(), name, view));
  }
};

TEST_F(RegistryServicesTest, ValuesRoundTripInTheirViewAndStayApartFromTheOther) {
  ASSERT_EQ(createWinRegKeyImpl(key.c_str(), 1), 0);
  EXPECT_EQ(createWinRegKeyImpl(key.c_str(), 1), 0) << "an existing key is opened";
  setWinRegStringValueImpl(key.c_str(), u"Path", u"C:\\Program Files\\TallyScope", 1);
  setWinRegIntValueImpl(key.c_str(), u"Port", 10001, 1);
  setWinRegIntValueImpl(key.c_str(), u"Negative", -2, 1);
  setWinRegStringValueImpl(key.c_str(), u"Empty", u"", 1);

  EXPECT_EQ(readString(3, u"Path", 1), "C:\\Program Files\\TallyScope");
  EXPECT_EQ(readString(3, u"PATH", 1), "C:\\Program Files\\TallyScope") << "names ignore case";
  EXPECT_EQ(readString(3, u"Empty", 1), "");
  EXPECT_EQ(getWinRegIntValueImpl(key.c_str(), u"Port", 1), 10001);
  EXPECT_EQ(getWinRegIntValueImpl(key.c_str(), u"Negative", 1), -2);

  // A shorter text written over a longer one reads back to its own end.
  setWinRegStringValueImpl(key.c_str(), u"Path", u"C:\\x", 1);
  EXPECT_EQ(readString(3, u"Path", 1), "C:\\x");

  // The 32-bit view, and the other hives, hold nothing of it.
  LogCapture log;
  EXPECT_EQ(readString(3, u"Path", 0), "<null>");
  EXPECT_EQ(getWinRegIntValueImpl(key.c_str(), u"Port", 0), 0);
  EXPECT_EQ(readString(2, u"Path", 1), "<null>");
  const std::vector<std::string> expected{
      "[getRegistryStringValue] RegOpenKeyExW returned 2 key=" + keyText,
      "[getRegistryIntValue] RegOpenKeyExW returned 2 key=" + keyText,
      "[getRegistryStringValue] RegOpenKeyExW returned 2 key=" + keyText,
  };
  EXPECT_EQ(log.entries(), expected);
}

TEST_F(RegistryServicesTest, MissingValuesAndKeysAndInvalidHivesAreLoggedAndReadAsNothing) {
  ASSERT_EQ(createWinRegKeyImpl(key.c_str(), 1), 0);
  LogCapture log;
  EXPECT_EQ(readString(3, u"Absent", 1), "<null>");
  EXPECT_EQ(getWinRegIntValueImpl(key.c_str(), u"Absent", 1), 0);
  EXPECT_EQ(readString(4, u"Absent", 1), "<null>");
  EXPECT_EQ(readString(0, u"Absent", 1), "<null>");
  const std::u16string missing = key + u"\\Missing";
  EXPECT_EQ(getWinRegIntValueImpl(missing.c_str(), u"Absent", 1), 0);
  setWinRegStringValueImpl(missing.c_str(), u"Absent", u"x", 1);
  setWinRegIntValueImpl(missing.c_str(), u"Absent", 1, 1);
  EXPECT_EQ(deleteWinRegValueImpl(missing.c_str(), u"Absent", 1), 2);
  // A value that is not there deletes silently.
  EXPECT_EQ(deleteWinRegValueImpl(key.c_str(), u"Absent", 1), 0);
  const std::vector<std::string> expected{
      "[getRegistryStringValue] RegQueryValueExW returned 2 key=" + keyText + " name=Absent",
      "[getRegistryStringValue] Invalid hKey: 4",
      "[getRegistryStringValue] Invalid hKey: 0",
      "[getRegistryIntValue] RegOpenKeyExW returned 2 key=" + keyText + "\\Missing",
      "[setRegistryStringValue] RegOpenKeyExW returned 2 key=" + keyText + "\\Missing",
      "[setRegistryIntValue] RegOpenKeyExW returned 2 key=" + keyText + "\\Missing",
  };
  EXPECT_EQ(log.entries(), expected);
}

TEST_F(RegistryServicesTest, DeletedValuesAreGoneAndAnIntReadOfAStringIsZero) {
  ASSERT_EQ(createWinRegKeyImpl(key.c_str(), 0), 0);
  setWinRegIntValueImpl(key.c_str(), u"Count", 5, 0);
  setWinRegStringValueImpl(key.c_str(), u"Name", u"a longer text", 0);
  EXPECT_EQ(getWinRegIntValueImpl(key.c_str(), u"Name", 0), 0);
  EXPECT_EQ(deleteWinRegValueImpl(key.c_str(), u"Count", 0), 0);
  LogCapture log;
  EXPECT_EQ(getWinRegIntValueImpl(key.c_str(), u"Count", 0), 0);
  EXPECT_EQ(readString(3, u"Name", 0), "a longer text");
  EXPECT_EQ(log.entries(), std::vector<std::string>{});
}

TEST_F(RegistryServicesTest, EveryRootAndViewIsAKeySpaceOfItsOwn) {
  const RegistryRoot roots[] = {REGISTRY_CLASSES_ROOT, REGISTRY_CURRENT_USER, REGISTRY_LOCAL_MACHINE};
  const std::u16string path = u"Software\\TallyScope Tests\\Spaces" + wide(std::to_string(std::random_device()()));
  for (const RegistryRoot root : roots) {
    for (const bool view64 : {true, false}) {
      RegistryKey created;
      ASSERT_EQ(created.create(root, path.c_str(), view64), 0) << root << view64;
      const uint32_t mark = uint32_t(root) * 10 + (view64 ? 1 : 0);
      EXPECT_EQ(created.setValue(u"Mark", REGISTRY_DWORD, &mark, sizeof mark), 0);
    }
  }
  for (const RegistryRoot root : roots) {
    for (const bool view64 : {true, false}) {
      RegistryKey opened;
      ASSERT_EQ(opened.open(root, path.c_str(), view64, RegistryAccess::queryValue), 0);
      uint32_t mark = 0;
      uint32_t size = sizeof mark;
      ASSERT_EQ(opened.queryValue(u"Mark", &mark, size), 0);
#ifdef _WIN32
      // HKEY_CLASSES_ROOT and the views of some keys are shared on Windows; only the value's presence is
      // its own there.
      EXPECT_NE(mark, 0u);
#else
      EXPECT_EQ(mark, uint32_t(root) * 10 + (view64 ? 1 : 0)) << root << view64;
#endif
      uint8_t small[2];
      uint32_t smallSize = sizeof small;
      EXPECT_EQ(opened.queryValue(u"Mark", small, smallSize), 234);
      EXPECT_EQ(opened.setValue(u"Mark", REGISTRY_DWORD, &mark, sizeof mark), 5) << "opened for queries only";
    }
  }
}

#ifndef _WIN32
TEST_F(RegistryServicesTest, AStoreThatCannotBeWrittenRefusesWithAccessDenied) {
  // Even for root, nothing can be made under /sys.
  ScopedVariable readOnlyHome("BRANTEL_HOME", "/sys");
  EXPECT_EQ(createWinRegKeyImpl(key.c_str(), 1), 5);
  LogCapture log;
  setWinRegStringValueImpl(key.c_str(), u"Path", u"x", 1);
  EXPECT_EQ(log.entries(), std::vector<std::string>{"[setRegistryStringValue] RegOpenKeyExW returned 2 key=" + keyText});
}
#endif

// The sanitizer builds have no shared library to load.
#ifdef TALLYSCOPE_EXPORTS_CLIENT

TEST_F(RegistryServicesTest, TwoProcessesHammeringOneKeyLeaveWholeValuesAndLoseNone) {
  const std::vector<std::string> environment{"BRANTEL_HOME=" + home.path()};
  ChildProcess first({TALLYSCOPE_EXPORTS_CLIENT, TALLYSCOPE_LIBRARY, "hammer", keyText, "first", "300"},
                     home.pathOf("first.txt"), environment);
  ChildProcess second({TALLYSCOPE_EXPORTS_CLIENT, TALLYSCOPE_LIBRARY, "hammer", keyText, "second", "300"},
                      home.pathOf("second.txt"), environment);
  EXPECT_EQ(first.wait(), 0);
  EXPECT_EQ(second.wait(), 0);
  EXPECT_EQ(first.output(), "done\n");
  EXPECT_EQ(second.output(), "done\n");
  // Each process's own value holds its last write: neither write erased the other's.
  EXPECT_EQ(readString(3, u"first", 1), "first-299");
  EXPECT_EQ(readString(3, u"second", 1), "second-299");
  const std::string shared = readString(3, u"shared", 1);
  EXPECT_TRUE(shared == "first-299" || shared == "second-299") << shared;
}

TEST_F(RegistryServicesTest, AProgramWithoutAJvmCallsTheExportedRegistryAndProcessFunctions) {
  const ProgramRun run = runProgram({TALLYSCOPE_EXPORTS_CLIENT, TALLYSCOPE_LIBRARY, "roundtrip", keyText},
                                    home.pathOf("roundtrip.txt"), {"BRANTEL_HOME=" + home.path()});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, "create 0\ntext h\u00e9llo\nnumber -7\ndelete 0\nnumber 0\n");

  // The process queries: the client itself is a 64-bit process, and a pid beyond the kernel's limit
  // names none.
  const ProgramRun process = runProgram({TALLYSCOPE_EXPORTS_CLIENT, TALLYSCOPE_LIBRARY, "process", "self"},
                                        home.pathOf("process.txt"));
  EXPECT_EQ(process.exitCode, 0);
  EXPECT_EQ(process.output.substr(0, process.output.find('\n')), "bitness 64");
  const ProgramRun none = runProgram({TALLYSCOPE_EXPORTS_CLIENT, TALLYSCOPE_LIBRARY, "process", "2147483600"},
                                     home.pathOf("none.txt"));
  EXPECT_EQ(none.output.substr(0, none.output.find('\n')), "bitness -2");
}
#endif

}  // namespace
