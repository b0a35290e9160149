#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "agent/classfile/Filter.h"
#include "agent/support/DebugCategories.h"
#include "tests/support/LogCapture.h"
#include "tests/unit/classfile/FailureWithoutLine.h"

namespace {

const char* const none = nullptr;

std::string patternOf(const char* pattern) { return pattern == nullptr ? "<none>" : pattern; }

struct SpecCase {
  const char* line;
  const char* classPattern;
  const char* methodPattern;
  const char* parameters;
};

// The patterns are those of the parsed line, "*" and "**" becoming none.
const SpecCase validSpecs[] = {
    {"java.lang.Thread : sleep(*)", "java.lang.Thread", "sleep", "(*)"},
    {"*:*(*)", none, none, "(*)"},
    {"**:**()", none, none, "()"},
    {"*", none, none, "(*)"},
    {"java.lang.Thread", "java.lang.Thread", none, "(*)"},
    {"com.x.*Service", "com.x.*Service", none, "(*)"},
    {"a.B:run(String, int[]) void", "a.B", "run", "(java.lang.String, int[])"},
    {"@Ann a.B:@Inject *x(*)", "a.B", "*x", "(*)"},
};

TEST(FilterSpec, ValidLinesKeepTheirPatternsAndType) {
  for (const SpecCase& c : validSpecs) {
    SCOPED_TRACE(c.line);
    const std::unique_ptr<Filter> filter(parseFilterSpec(c.line, filterExcepted));
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(patternOf(filter->classPattern), patternOf(c.classPattern));
    EXPECT_EQ(patternOf(filter->methodPattern), patternOf(c.methodPattern));
    EXPECT_EQ(patternOf(filter->parameterListPattern), patternOf(c.parameters));
    EXPECT_EQ(filter->type, filterExcepted);
  }
}

TEST(FilterSpec, AnInvalidLineIsLoggedAsGivenAndGivesNoFilter) {
  struct Case {
    const char* line;
    const char* warning;
  };
  const Case cases[] = {
      {"a..b", "warning: invalid filter specification 'a..b': class name pattern is invalid: a..b"},
      {"a.B:m)(",
       "warning: invalid filter specification 'a.B:m)(': "
       "invalid pattern syntax, must be <class>:<method>(<params>)"},
      {"a.B:m(int x)", "warning: invalid filter specification 'a.B:m(int x)': parameter pattern is invalid: int x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    LogCapture log;
    EXPECT_EQ(parseFilterSpec(c.line, filterListed), nullptr);
    EXPECT_EQ(log.entries(), std::vector<std::string>{c.warning});
  }
}

TEST(FilterSpec, TheFiltersCategoryLogsEachParsedLine) {
  {
    LogCapture log;
    delete parseFilterSpec("java.lang.Thread", filterListed);
    EXPECT_TRUE(log.entries().empty());
  }
  installDebugCategoryCheck([](const char* category) { return std::string(category) == "filters"; });
  LogCapture log;
  delete parseFilterSpec("java.lang.Thread", filterListed);
  delete parseFilterSpec("*:get*(String)", filterWallTime);
  installDebugCategoryCheck(nullptr);
  EXPECT_EQ(log.entries(), (std::vector<std::string>{"filter: type=2 java.lang.Thread * (*)",
                                                     "filter: type=1 * get* (java.lang.String)"}));
}

TEST(FilterSpec, AllThreePatternsMustMatch) {
  const std::unique_ptr<Filter> filter(parseFilterSpec("com.x.*:get*(int, *)", filterListed));
  ASSERT_NE(filter, nullptr);
  EXPECT_TRUE(filter->matches("com.x.Y", "getName", "(int, java.lang.String)"));
  EXPECT_FALSE(filter->matches("com.y.Y", "getName", "(int, java.lang.String)"));
  EXPECT_FALSE(filter->matches("com.x.Y", "setName", "(int, java.lang.String)"));
  EXPECT_FALSE(filter->matches("com.x.Y", "getName", "(long, java.lang.String)"));
  // Case matters, and "()" is no list of at least one parameter.
  EXPECT_FALSE(filter->matches("com.X.Y", "getName", "(int, long)"));
  EXPECT_FALSE(filter->matches("com.x.Y", "getName", "()"));
}

struct Query {
  const char* className;
  const char* method;
  const char* parameters;
  bool listed;
};

struct ListCase {
  const char* text;
  std::vector<Query> queries;
};

TEST(FilterList, ExceptedLinesWinWhereverTheyStand) {
  const ListCase cases[] = {
      {"", {{"a.B", "m", "()", false}}},
      {"# only a comment\n\n   \n", {{"a.B", "m", "()", false}}},
      // Without a listed line nothing is listed, excepted or not.
      {"+java.*", {{"java.lang.String", "length", "()", false}, {"a.B", "m", "()", false}}},
      {"java.*\n+java.lang.*",
       {{"java.util.Map", "get", "(java.lang.Object)", true}, {"java.lang.String", "length", "()", false}}},
      {"+java.lang.*\r\njava.*",
       {{"java.util.Map", "get", "(java.lang.Object)", true}, {"java.lang.String", "length", "()", false}}},
      // "+" alone is skipped: the listed line after it still counts.
      {"+\njava.lang.Thread",
       {{"java.lang.Thread", "sleep", "(long)", true}, {"java.lang.Object", "wait", "()", false}}},
      {"  com.x.Y : run(int)  \n+com.x.Y:run(long)",
       {{"com.x.Y", "run", "(int)", true}, {"com.x.Y", "run", "(long)", false}, {"com.x.Y", "run", "()", false}}},
      {"com.x.*\n+com.x.Y:secret(*)",
       {{"com.x.Y", "open", "()", true}, {"com.x.Y", "secret", "(int)", false}, {"com.x.Z", "secret", "()", true}}},
  };
  LogCapture quiet;
  for (const ListCase& c : cases) {
    SCOPED_TRACE(c.text);
    const FilterList list(c.text);
    for (const Query& q : c.queries) {
      SCOPED_TRACE(std::string(q.className) + "." + q.method + q.parameters);
      EXPECT_EQ(list.matchesMethod(q.className, q.method, q.parameters), q.listed);
    }
  }
}

TEST(FilterList, InvalidLinesAreLeftOutAndTheOthersStillCount) {
  LogCapture log;
  const FilterList list("a..b\ncom.x.*\n+com.x.Hidden:(\n");
  ASSERT_EQ(list.filters.size, 1);
  EXPECT_TRUE(list.matchesMethod("com.x.Hidden", "m", "()"));
  EXPECT_EQ(log.entries().size(), 2u);
  EXPECT_GE(list.filters.capacity, 16);
}

TEST(FilterList, NamesAreMatchedByTheClassPatternsAlone) {
  const FilterList list("com.x.*:run()\n+com.x.internal.*:*(*)\n+com.x.Y:secret()\n");
  EXPECT_TRUE(list.matchesName("com.x.A"));
  EXPECT_FALSE(list.matchesName("com.y.A"));
  EXPECT_FALSE(list.matchesName("com.x.internal.A"));
  // The exception of one method takes the whole class out when only names are asked.
  EXPECT_FALSE(list.matchesName("com.x.Y"));
  EXPECT_FALSE(FilterList("").matchesName("com.x.A"));
}

TEST(FilterList, ParsingAppendsListedAndExceptedFiltersInOrder) {
  YVector<YString> lines;
  lines.add("a.B");
  lines.add("+c.D:m()");
  lines.add("+");
  lines.add("");
  YVector<Filter*> filters;
  filters.add(nullptr);  // what the list held before stays
  parseFilterList(&lines, &filters);
  ASSERT_EQ(filters.size, 3);
  EXPECT_EQ(filters[0], nullptr);
  EXPECT_EQ(filters[1]->type, filterListed);
  EXPECT_EQ(patternOf(filters[1]->classPattern), "a.B");
  EXPECT_EQ(filters[2]->type, filterExcepted);
  EXPECT_EQ(patternOf(filters[2]->classPattern), "c.D");
  filters.deleteElements();

  EXPECT_EQ(failureOf([&] { parseFilterList(nullptr, &filters); }), "error at Filter: assertion failed: value is NULL");
  EXPECT_EQ(failureOf([&] { parseFilterList(&lines, nullptr); }), "error at Filter: assertion failed: value is NULL");
}

}  // namespace
