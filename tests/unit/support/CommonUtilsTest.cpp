#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "agent/platform/Directories.h"
#include "agent/platform/Environment.h"
#include "agent/support/CommonUtils.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedVariable.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> toStrings(const YVector<YString>& strings) {
  std::vector<std::string> result;
  for (int32_t i = 0; i < strings.size; i++) result.emplace_back(strings.data[i].data, size_t(strings.data[i].length));
  return result;
}

}  // namespace

TEST(CommonUtils, WildcardMatching) {
  const struct {
    const char* pattern;
    const char* text;
    bool matches;
  } cases[] = {
      {"a*c", "ac", true},           {"a*c", "abc", true},          {"a*c", "abbc", true},
      {"a*c", "abcd", false},        {"a*c", "Abc", false},         {"**", "", true},
      {"a**", "a", true},            {"", "", true},                {"", "a", false},
      {"a", "", false},              {"*", "anything at all", true}, {"java/*", "java/lang/String", true},
      {"java/*", "javax/swing", false}, {"java/*", "java/", true},  {"*Test", "FooTest", true},
      {"*Test", "FooTests", false},  {"a*b*c", "aXbYbZc", true},     {"a*b*c", "aXcYb", false},
      {"*a*a*", "banana", true},     {"?", "x", false},             {"?", "?", true},
      {"[ab]", "a", false},          {"abc", "abc", true},          {"abc", "ab", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(matchesWildcard(c.pattern, c.text), c.matches) << c.pattern << " / " << c.text;
    EXPECT_EQ(matchesWildcardStrings(YString(c.pattern), YString(c.text)), c.matches) << c.pattern << " / " << c.text;
    EXPECT_EQ(matchesWildcardW(toWideString(YString(c.pattern)).data, toWideString(YString(c.text)).data), c.matches)
        << c.pattern << " / " << c.text;
  }
  EXPECT_TRUE(matchesWildcard(nullptr, "anything"));
  EXPECT_TRUE(matchesWildcard(nullptr, ""));
  EXPECT_TRUE(matchesWildcardW(nullptr, u"anything"));
  // 16-bit units beyond one byte compare whole.
  EXPECT_TRUE(matchesWildcardW(u"\u00e9*\u4e2d", u"\u00e9t\u00e9\u4e2d"));
  EXPECT_FALSE(matchesWildcardW(u"\u00e9*", u"\u00c9t\u00e9"));
}

TEST(CommonUtils, SettingsFilePrecedence) {
  TempDir home;
  const ScopedVariable scoped("BRANTEL_HOME", home.path().c_str());
  const std::string settingsDir = home.pathOf(".tallyscope");

  // No file anywhere: the default, and nothing is created.
  EXPECT_STREQ(readSettingsFile(YString(), "sampling.txt", "built-in").data, "built-in");
  EXPECT_FALSE(fs::exists(fs::u8path(settingsDir)));

  // A file in the settings directory.
  home.write(".tallyscope/sampling.txt", "from settings\r\nsecond line");
  EXPECT_STREQ(readSettingsFile(YString(), "sampling.txt", "built-in").data,
#ifdef _WIN32
               "from settings\nsecond line"  // text mode
#else
               "from settings\r\nsecond line"
#endif
  );

  // An explicit path wins, even when it names a missing file.
  const std::string missing = home.pathOf("elsewhere.txt");
  EXPECT_STREQ(readSettingsFile(YString(missing.c_str()), "sampling.txt", "built-in").data, "built-in");
  EXPECT_FALSE(fs::exists(fs::u8path(missing)));
  const std::string explicitFile = home.write("mine.txt", "explicit");
  EXPECT_STREQ(readSettingsFile(YString(explicitFile.c_str()), "sampling.txt", "built-in").data, "explicit");

  // An empty file is empty text, not the default.
  home.write(".tallyscope/tracing.txt", "");
  EXPECT_STREQ(readSettingsFile(YString(), "tracing.txt", "built-in").data, "");

  // A directory of that name is no settings file, and the log says so; a missing file goes unmentioned.
  fs::create_directory(fs::u8path(home.pathOf(".tallyscope/triggers.txt")));
  LogCapture log;
  EXPECT_STREQ(readSettingsFile(YString(), "triggers.txt", "built-in").data, "built-in");
  EXPECT_STREQ(readSettingsFile(YString(missing.c_str()), "triggers.txt", "built-in").data, "built-in");
  const std::string directory = home.pathOf(".tallyscope/triggers.txt");
  EXPECT_EQ(log.entries(), std::vector<std::string>{"error: settings file " + directory + " is a directory: ignored"});
}

TEST(CommonUtils, SettingsFileArgumentsMustNotBeNull) {
  const std::string nullName = fatalErrorOf([] { readSettingsFile(YString(), nullptr, "x"); });
  EXPECT_EQ(nullName.rfind("error at CommonUtils:", 0), 0u) << nullName;
  EXPECT_NE(nullName.find(": assertion failed: value is NULL"), std::string::npos) << nullName;
  const std::string nullDefault = fatalErrorOf([] { readSettingsFile(YString(), "x.txt", nullptr); });
  EXPECT_EQ(nullDefault.rfind("error at CommonUtils:", 0), 0u) << nullDefault;
}

TEST(CommonUtils, ParseLinesKeepsTrimmedMeaningfulLines) {
  const struct {
    const char* text;
    std::vector<std::string> lines;
  } cases[] = {
      {"\r\n\r\n  # a comment\r\n a b \r\n", {"a b"}},
      {"  only line  ", {"only line"}},
      {"# only a comment", {}},
      {"", {}},
      {"first\nsecond\rthird\r\n\n\nfourth", {"first", "second", "third", "fourth"}},
      {"a # not a comment\n\t#tabbed comment\n#\nx#y", {"a # not a comment", "x#y"}},
      {" \t \n\v\f\n", {}},
  };
  for (const auto& c : cases) {
    YVector<YString> out;
    out.add(YString("left over"));
    parseLines(&out, YString(c.text));
    EXPECT_EQ(toStrings(out), c.lines) << c.text;
  }
  EXPECT_EQ(fatalErrorOf([] { parseLines(nullptr, YString("x")); }),
            "error at CommonUtils:234: assertion failed: value is NULL");
}

TEST(CommonUtils, SplitByDelimitersAppendsTheNonEmptyPieces) {
  const struct {
    const char* text;
    const char* delimiters;
    std::vector<std::string> pieces;
  } cases[] = {
      {",a,,b,", ",", {"a", "b"}},
      {"a;b,c", ";,", {"a", "b", "c"}},
      {" a , b ", ",", {" a ", " b "}},
      {"whole", ",", {"whole"}},
      {"", ",", {}},
      {",,,", ",", {}},
      {"a,b", "", {"a,b"}},
  };
  for (const auto& c : cases) {
    YVector<YString> out;
    out.add(YString("kept"));
    splitByDelimiters(YString(c.text), c.delimiters, out);
    std::vector<std::string> expected{"kept"};
    expected.insert(expected.end(), c.pieces.begin(), c.pieces.end());
    EXPECT_EQ(toStrings(out), expected) << c.text;
  }
}

TEST(CommonUtils, CopyStringMakesAFreeableCopy) {
  const char original[] = "copied text";
  char* copy = copyString(original);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, original);
  EXPECT_STREQ(copy, original);
  std::free(copy);
  char* empty = copyString("");
  EXPECT_STREQ(empty, "");
  std::free(empty);
}

TEST(KeyValueLinesTest, ReadsTheRestAfterAPrefix) {
  const struct {
    const char* text;
    const char* prefix;
    bool matches;
    const char* rest;
    int32_t value;
  } cases[] = {
      {"port=8849", "port=", true, "8849", 8849},
      {"port=-12", "port=", true, "-12", -12},
      {"port=", "port=", true, "", 0},
      {"port=-", "port=", true, "-", 0},
      {"port=12ab", "port=", true, "12ab", 0},
      {"port= 12", "port=", true, " 12", 0},
      {"port=99999999999", "port=", true, "99999999999", 0},
      {"PORT=1", "port=", false, "", 0},
      {"por", "port=", false, "", 0},
      {"name=a=b", "name=", true, "a=b", 0},
      {"anything", "", true, "anything", 0},
  };
  for (const auto& c : cases) {
    YString rest("old");
    EXPECT_EQ(startsWithRest(YString(c.text), YString(c.prefix), &rest), c.matches) << c.text;
    EXPECT_STREQ(rest.data, c.rest) << c.text;
    int32_t value = 77;
    EXPECT_EQ(getIntAfterPrefix(YString(c.text), YString(c.prefix), &value), c.matches) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
  EXPECT_EQ(fatalErrorOf([] { startsWithRest(YString("a"), YString("a"), nullptr); }),
            "error at YString:112: assertion failed");
  EXPECT_EQ(fatalErrorOf([] { getIntAfterPrefix(YString("a"), YString("a"), nullptr); }),
            "error at YString:112: assertion failed");
}
