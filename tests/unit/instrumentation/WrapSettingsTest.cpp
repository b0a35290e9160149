// The wrapping settings are read once per process: each case runs in a process of its own.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "agent/core/JavaVersion.h"
#include "agent/instrumentation/NativeWrapping.h"
#include "tests/support/FreshProcess.h"
#include "tests/support/HiddenOption.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedValue.h"
#include "tests/support/ScopedVariable.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestDatabase.h"
#include "tests/unit/instrumentation/WrapperTestSupport.h"

namespace {

using namespace wraptest;
using Names = std::vector<std::string>;

struct SettingsCase {
  const char* title;
  std::vector<const char*> options;
  const char* disableNatives;  // the text of "disable_natives.txt"; null: no such file
  const char* className;
  Names wrapped;
  bool ibm = false;
  bool openJ9 = false;
  bool bci = false;
  const char* logged = nullptr;  // a log line the wrapping writes
};

void PrintTo(const SettingsCase& c, std::ostream* os) { *os << c.title; }

const Names strictMathNatives = {"sin",  "cos",   "tan",           "asin",  "acos", "atan",  "log",   "log10", "sqrt",
                                 "IEEEremainder", "atan2", "sinh", "cosh", "tanh", "expm1", "log1p"};
const Names classLoaderNatives = {"defineClass1",       "defineClass2",     "defineClass0",
                                  "findBootstrapClass", "findLoadedClass0", "retrieveDirectives"};

const std::vector<SettingsCase> settingsCases = {
    {"nanoTime", {"_with_nanoTime"}, nullptr, "java/lang/System", {"currentTimeMillis", "nanoTime", "arraycopy"}},
    {"noCurrentTimeMillis", {"_skip_currentTimeMillis"}, nullptr, "java/lang/System", {"arraycopy"}},
    {"intrinsics", {"_with_intrinsic_candidates"}, nullptr, "java/lang/StrictMath", strictMathNatives},
    // Object's own rule still holds back hashCode and the rest.
    {"intrinsicsOfObject", {"_with_intrinsic_candidates"}, nullptr, "java/lang/Object", {"wait"}},
    {"intrinsicsWithBci", {"_with_intrinsic_candidates"}, nullptr, "java/lang/StrictMath", strictMathNatives,
     false, false, true, "native IntrinsicCandidate to wrap: sqrt"},
    {"classicIbm", {}, nullptr, "java/lang/Object", {}, true},
    {"classicIbmWithWait", {"_with_wait"}, nullptr, "java/lang/Object", {"wait"}, true},
    {"openJ9", {}, nullptr, "java/lang/Object", {"wait"}, true, true},
    {"commentOnly", {}, "# every class may be wrapped\n", "java/lang/ClassLoader", classLoaderNatives},
    {"ownPrefixes", {}, "\n  java/lang/Strict  \n\n", "java/lang/ClassLoader", classLoaderNatives},
    {"ownPrefixesDisable", {}, "java/lang/Strict\n", "java/lang/StrictMath", {}},
};

class WrapSettings : public testing::TestWithParam<SettingsCase> {};

TEST_P(WrapSettings, ChangeWhatIsWrapped) {
  const SettingsCase& c = GetParam();
  inFreshProcess([&c]() -> std::string {
    TempDir home;
    if (c.disableNatives != nullptr) home.write(".tallyscope/disable_natives.txt", c.disableNatives);
    const ScopedVariable agentHome("BRANTEL_HOME", home.path().c_str());
    std::vector<std::unique_ptr<HiddenOption>> options;
    for (const char* option : c.options) options.push_back(std::make_unique<HiddenOption>(option));
    std::unique_ptr<DebugCategory> bci(c.bci ? new DebugCategory("bci") : nullptr);
    const ScopedValue<int32_t> version(ourJavaVersion, 17);
    const ScopedValue<bool> ibm(ourIsIbm, c.ibm);
    const ScopedValue<bool> openJ9(isOpenJ9, c.openJ9);
    const TestDatabase database;
    const YCriticalSectionLock held(&ourLock(), "Test:1");
    LogCapture log;

    const ParsedClass parsed(jdkClassBytes(c.className));
    wrapNativeMethods(*parsed);
    std::string failure;
    const Names wrapped = wrappedNames(*parsed);
    if (wrapped != c.wrapped) {
      failure = "wrapped:";
      for (const std::string& name : wrapped) failure += " " + name;
    }
    const Names entries = log.entries();
    if (c.logged != nullptr && std::find(entries.begin(), entries.end(), c.logged) == entries.end()) {
      failure += std::string(" not logged: ") + c.logged;
    }
    return failure;
  });
}

INSTANTIATE_TEST_SUITE_P(NativeWrapping, WrapSettings, testing::ValuesIn(settingsCases),
                         [](const testing::TestParamInfo<SettingsCase>& info) { return info.param.title; });

}  // namespace
#endif
