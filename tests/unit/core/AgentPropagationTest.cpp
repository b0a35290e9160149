#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/core/AgentPropagation.h"
#include "agent/platform/Environment.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedVariable.h"

namespace {

#ifdef _WIN32
const char* const searchVariable = "PATH";
// A library at <root>\64\tallyscope.dll, and the directories it gives.
const char* const libraryIn64 = "D:\\Tools\\Agent\\64\\tallyscope.dll";
const char* const agentDirectories = "D:\\Tools\\Agent\\32;D:\\Tools\\Agent\\64";
const char* const separator = ";";
#else
const char* const searchVariable = "LD_LIBRARY_PATH";
const char* const libraryIn64 = "/opt/tools/agent/64/libtallyscope.so";
const char* const agentDirectories = "/opt/tools/agent/32:/opt/tools/agent/64";
const char* const separator = ":";
#endif

std::string text(const YString& value) { return std::string(value.data, size_t(value.length)); }

std::vector<std::string> textsOf(const YVector<YString>& list) {
  std::vector<std::string> result;
  for (int32_t i = 0; i < list.size; i++) result.push_back(text(list[i]));
  return result;
}

std::vector<std::string> tokensOf(const char* value) {
  YVector<YString> tokens;
  splitAtSpaces(value, tokens);
  return textsOf(tokens);
}

std::string variable(const char* name) { return text(y_getenv(name)); }

// Every case prepares afresh for a library at `libraryPath`, and leaves the library's own path behind.
class AgentPropagation : public testing::Test {
 protected:
  void SetUp() override { restartAgentPropagationForTest(libraryIn64); }
  void TearDown() override { restartAgentPropagationForTest(""); }

  // Given values for both variables for the length of the case; each test sets them before preparing.
  ScopedVariable toolOptions{"JAVA_TOOL_OPTIONS", "-Xmx512m"};
  ScopedVariable searchPath{searchVariable, "/old/lib"};
};

}  // namespace

TEST(AgentLibraryDirs, NamesBothWidthsFromEitherOne) {
  const struct {
    const char* path;
    const char* directories;
    const char* logLine;
  } cases[] = {
#ifdef _WIN32
      {"D:\\Tools\\Agent\\64\\tallyscope.dll", "D:\\Tools\\Agent\\32;D:\\Tools\\Agent\\64",
       "getTsAgentLibraryDirs: result=D:\\Tools\\Agent\\32;D:\\Tools\\Agent\\64"},
      {"D:\\Tools\\Agent\\32\\TALLYSCOPE.DLL", "D:\\Tools\\Agent\\32;D:\\Tools\\Agent\\64",
       "getTsAgentLibraryDirs: result=D:\\Tools\\Agent\\32;D:\\Tools\\Agent\\64"},
      {"D:/Tools/Agent/64/TallyScope.dll", "D:\\Tools\\Agent\\32;D:\\Tools\\Agent\\64",
       "getTsAgentLibraryDirs: result=D:\\Tools\\Agent\\32;D:\\Tools\\Agent\\64"},
      {"\\\\server\\share\\32\\tallyscope.dll", "\\\\server\\share\\32;\\\\server\\share\\64",
       "getTsAgentLibraryDirs: result=\\\\server\\share\\32;\\\\server\\share\\64"},
      {"D:\\Tools\\Agent\\x64\\tallyscope.dll", "",
       "warning: getTsAgentLibraryDirs: directory name ends with neither 32 nor 64: D:/Tools/Agent/x64/tallyscope.dll"},
      {"D:\\Tools\\Agent\\bin\\tallyscope.dll", "",
       "warning: getTsAgentLibraryDirs: directory name ends with neither 32 nor 64: D:/Tools/Agent/bin/tallyscope.dll"},
      {"D:\\Tools\\Agent\\64\\other.dll", "",
       "warning: getTsAgentLibraryDirs: unexpected file name: D:/Tools/Agent/64/other.dll"},
      {"D:\\Tools\\Agent\\64\\mytallyscope.dll", "",
       "warning: getTsAgentLibraryDirs: unexpected file name: D:/Tools/Agent/64/mytallyscope.dll"},
      {"tallyscope.dll", "", "warning: getTsAgentLibraryDirs: unexpected file name: tallyscope.dll"},
#else
      {"/opt/tools/agent/64/libtallyscope.so", "/opt/tools/agent/32:/opt/tools/agent/64",
       "getTsAgentLibraryDirs: result=/opt/tools/agent/32:/opt/tools/agent/64"},
      {"/opt/tools/agent/32/LIBTALLYSCOPE.SO", "/opt/tools/agent/32:/opt/tools/agent/64",
       "getTsAgentLibraryDirs: result=/opt/tools/agent/32:/opt/tools/agent/64"},
      {"/64/libTallyScope.so", "/32:/64", "getTsAgentLibraryDirs: result=/32:/64"},
      {"/opt/tools/agent/x64/libtallyscope.so", "",
       "warning: getTsAgentLibraryDirs: directory name ends with neither 32 nor 64: "
       "/opt/tools/agent/x64/libtallyscope.so"},
      {"/opt/tools/agent/lib/libtallyscope.so", "",
       "warning: getTsAgentLibraryDirs: directory name ends with neither 32 nor 64: "
       "/opt/tools/agent/lib/libtallyscope.so"},
      // A backslash is an ordinary character of a Linux file name, not a separator.
      {"/opt/tools\\64/libtallyscope.so", "",
       "warning: getTsAgentLibraryDirs: directory name ends with neither 32 nor 64: /opt/tools\\64/libtallyscope.so"},
      {"/opt/tools/agent/64/libother.so", "",
       "warning: getTsAgentLibraryDirs: unexpected file name: /opt/tools/agent/64/libother.so"},
      {"/opt/tools/agent/64/tallyscope.dll", "",
       "warning: getTsAgentLibraryDirs: unexpected file name: /opt/tools/agent/64/tallyscope.dll"},
      {"/opt/tools/agent/64/xlibtallyscope.so", "",
       "warning: getTsAgentLibraryDirs: unexpected file name: /opt/tools/agent/64/xlibtallyscope.so"},
      {"libtallyscope.so", "", "warning: getTsAgentLibraryDirs: unexpected file name: libtallyscope.so"},
#endif
      {"", "", "warning: getTsAgentLibraryDirs: empty path returned from getAgentLibraryPath()"},
  };
  for (const auto& c : cases) {
    LogCapture log;
    EXPECT_EQ(text(getTsAgentLibraryDirs(c.path)), c.directories) << c.path;
    EXPECT_EQ(log.entries(), std::vector<std::string>{c.logLine}) << c.path;
  }
}

TEST(AgentLibraryDirs, TheTestBinaryIsNotTheAgentLibrary) {
  restartAgentPropagationForTest("");
  LogCapture log;
  EXPECT_EQ(text(getTsAgentLibraryDirs()), "");
  ASSERT_EQ(log.entries().size(), 1u);
  EXPECT_EQ(log.entries()[0].rfind("warning: getTsAgentLibraryDirs: unexpected file name: ", 0), 0u)
      << log.entries()[0];
}

TEST(SplitAtSpaces, KeepsQuotedBlanksAndQuoteCharacters) {
  const struct {
    const char* value;
    std::vector<std::string> tokens;
  } cases[] = {
      {"", {}},
      {" \t\r\n\v\f ", {}},
      {"-Xmx512m  -Dx=1\t-ea\n", {"-Xmx512m", "-Dx=1", "-ea"}},
      {"\"-agentpath:C:\\a b\\tallyscope.dll=x y\" -ea", {"\"-agentpath:C:\\a b\\tallyscope.dll=x y\"", "-ea"}},
      {"-Dname='a b' c", {"-Dname='a b'", "c"}},
      {"'a \"b' c\" d", {"'a \"b'", "c\" d"}},  // another quote character inside a quote is ordinary
      {"\"a 'b\" c' d", {"\"a 'b\"", "c' d"}},
      {"\"unclosed quote", {"\"unclosed quote"}},
      {"\"\"", {"\"\""}},
      {"caf\xc3\xa9 \xa0x", {"caf\xc3\xa9", "\xa0x"}},  // bytes above 127 are never blanks
  };
  for (const auto& c : cases) EXPECT_EQ(tokensOf(c.value), c.tokens) << c.value;
}

TEST(AgentLibOption, QuotesTheWholeOptionString) {
  EXPECT_EQ(text(buildAgentLibOption("sampling,port=10001")), "\"-agentlib:tallyscope=sampling,port=10001\"");
  EXPECT_EQ(text(buildAgentLibOption("")), "\"-agentlib:tallyscope=\"");
}

TEST_F(AgentPropagation, DropsEarlierTokensLoadingThisAgentOnly) {
  const struct {
    const char* found;
    const char* saved;
  } cases[] = {
      {"-Xmx512m -agentlib:tallyscope=sampling", "-Xmx512m"},
      {"-agentlib:tallyscope -Xmx512m", "-Xmx512m"},
      {"-Dtool=tallyscope   -Xss1m", "-Dtool=tallyscope -Xss1m"},  // a property is not an agent
      {"\"-agentpath:/opt/my tools/libtallyscope.so=port=1,quiet\" -ea", "-ea"},
      {"-agentpath:/opt/libtallyscope.so -agentlib:jdwp=transport=dt_socket -ea",
       "-agentlib:jdwp=transport=dt_socket -ea"},
      {"-agentlib:TallyScope -XX:+UseG1GC", "-agentlib:TallyScope -XX:+UseG1GC"},  // byte for byte
      {"", ""},
  };
  for (const auto& c : cases) {
    restartAgentPropagationForTest(libraryIn64);
    ScopedVariable found("JAVA_TOOL_OPTIONS", c.found);
    LogCapture quiet;
    setJavaToolOptionsWithoutAgent();
    EXPECT_EQ(variable("JAVA_TOOL_OPTIONS"), c.saved) << c.found;
    setJavaToolOptionsWithAgent("sampling");
    EXPECT_EQ(variable("JAVA_TOOL_OPTIONS"), std::string("\"-agentlib:tallyscope=sampling\" ") + c.saved) << c.found;
  }
}

TEST_F(AgentPropagation, UnsetToolOptionsSaveNothing) {
  unsetVariable("JAVA_TOOL_OPTIONS");  // the fixture sets it again afterwards
  LogCapture log;
  setJavaToolOptionsWithAgent("port=10001");
  EXPECT_EQ(variable("JAVA_TOOL_OPTIONS"), "\"-agentlib:tallyscope=port=10001\" ");
  setJavaToolOptionsWithoutAgent();
  EXPECT_EQ(variable("JAVA_TOOL_OPTIONS"), "");
  EXPECT_EQ(log.entries().back(), "y_setenv: JAVA_TOOL_OPTIONS=");
}

TEST_F(AgentPropagation, PutsTheDirectoriesInFrontOfTheSearchPathOnce) {
  LogCapture log;
  setJavaToolOptionsWithAgent("sampling");
  EXPECT_EQ(variable(searchVariable), std::string(agentDirectories) + separator + "/old/lib");
  EXPECT_EQ(log.entries(),
            (std::vector<std::string>{
                std::string("getTsAgentLibraryDirs: result=") + agentDirectories,
                std::string(searchVariable) + " old value: /old/lib",
                std::string("y_setenv: ") + searchVariable + "=" + agentDirectories + separator + "/old/lib",
                "y_setenv: JAVA_TOOL_OPTIONS=\"-agentlib:tallyscope=sampling\" -Xmx512m",
            }));

  // Prepared once: later changes by others are not seen, and the agent option never piles up.
  ScopedVariable later("JAVA_TOOL_OPTIONS", "-Xmx1g");
  ScopedVariable laterPath(searchVariable, "/other/lib");
  setJavaToolOptionsWithAgent("tracing");
  setJavaToolOptionsWithAgent("tracing");
  EXPECT_EQ(variable("JAVA_TOOL_OPTIONS"), "\"-agentlib:tallyscope=tracing\" -Xmx512m");
  EXPECT_EQ(variable(searchVariable), "/other/lib");
}

TEST_F(AgentPropagation, LeavesASearchPathHoldingTheDirectoriesAlone) {
  const std::string holding = std::string("/a") + separator + agentDirectories + separator + "/b";
  ScopedVariable given(searchVariable, holding.c_str());
  LogCapture log;
  prepareAgentPropagation();
  EXPECT_EQ(variable(searchVariable), holding);
  EXPECT_EQ(log.entries(), (std::vector<std::string>{
                               std::string("getTsAgentLibraryDirs: result=") + agentDirectories,
                               std::string(searchVariable) + " old value: " + holding,
                           }));
}

TEST_F(AgentPropagation, AnEmptySearchPathGetsTheDirectories) {
  ScopedVariable empty(searchVariable, "");
  LogCapture quiet;
  prepareAgentPropagation();
#ifdef _WIN32
  EXPECT_EQ(variable(searchVariable), std::string(agentDirectories) + ";");
#else
  // No empty entry, which the loader would take for the current directory.
  EXPECT_EQ(variable(searchVariable), agentDirectories);
#endif
}

TEST_F(AgentPropagation, HandsTheJavaSideBothPairs) {
  LogCapture quiet;
  YVector<YString> pairs;
  getTsEnvKeysAndValues("sampling,port=10001", pairs);
  EXPECT_EQ(textsOf(pairs), (std::vector<std::string>{searchVariable, agentDirectories, "JAVA_TOOL_OPTIONS",
                                                      "\"-agentlib:tallyscope=sampling,port=10001\""}));
}

TEST_F(AgentPropagation, UnknownDirectoriesChangeNothing) {
  restartAgentPropagationForTest("/opt/tools/agent/lib/libtallyscope.so");
  LogCapture log;
  setJavaToolOptionsWithAgent("sampling");
  setJavaToolOptionsWithoutAgent();
  YVector<YString> pairs;
  getTsEnvKeysAndValues("sampling", pairs);
  EXPECT_EQ(pairs.size, 0);
  EXPECT_EQ(variable("JAVA_TOOL_OPTIONS"), "-Xmx512m");
  EXPECT_EQ(variable(searchVariable), "/old/lib");
  const std::vector<std::string> entries = log.entries();
  ASSERT_EQ(entries.size(), 2u);  // warned once, when preparing
  EXPECT_EQ(entries[0].rfind("warning: getTsAgentLibraryDirs: ", 0), 0u) << entries[0];
  EXPECT_EQ(
      entries[1],
      "warning: JAVA_TOOL_OPTIONS will not be set: agent directories were not specified and could not be obtained");
}

TEST_F(AgentPropagation, OptionsHoldingADoubleQuoteAreNotPassedOn) {
  LogCapture log;
  setJavaToolOptionsWithAgent("sessionname=a\"b");
  YVector<YString> pairs;
  getTsEnvKeysAndValues("sessionname=a\"b", pairs);
  EXPECT_EQ(pairs.size, 0);
  EXPECT_EQ(variable("JAVA_TOOL_OPTIONS"), "-Xmx512m");
  EXPECT_EQ(variable(searchVariable), "/old/lib");
  EXPECT_EQ(log.entries(),
            (std::vector<std::string>(
                2, "warning: JAVA_TOOL_OPTIONS will not be set: the agent's options contain a double quote")));
}
