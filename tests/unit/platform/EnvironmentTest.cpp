#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "agent/platform/Environment.h"
#include "tests/support/LogCapture.h"

TEST(Environment, SetsLogsAndReadsBack) {
  LogCapture log;
  y_setenv("TALLYSCOPE_TEST_VALUE", "a=b c");
  EXPECT_EQ(log.entries(), std::vector<std::string>{"y_setenv: TALLYSCOPE_TEST_VALUE=a=b c"});
  EXPECT_STREQ(y_getenv("TALLYSCOPE_TEST_VALUE").data, "a=b c");
  y_setenv("TALLYSCOPE_TEST_VALUE", "");
  EXPECT_STREQ(y_getenv("TALLYSCOPE_TEST_VALUE").data, "");
  EXPECT_STREQ(y_getenv("TALLYSCOPE_TEST_NEVER_SET").data, "");
}

TEST(Environment, ListsEveryVisibleVariableOnItsOwnLine) {
  LogCapture log;
  y_setenv("TALLYSCOPE_TEST_LISTED", "\xc3\xa9t\xc3\xa9");
  const std::string all = getEnvironment().data;
  ASSERT_FALSE(all.empty());
  EXPECT_NE(all.back(), '\n');
  bool found = false;
  size_t start = 0;
  while (start <= all.size()) {
    const size_t end = std::min(all.find('\n', start), all.size());
    const std::string entry = all.substr(start, end - start);
    EXPECT_FALSE(entry.empty());
    EXPECT_NE(entry[0], '=') << entry;
    if (entry == "TALLYSCOPE_TEST_LISTED=\xc3\xa9t\xc3\xa9") found = true;
    start = end + 1;
  }
  EXPECT_TRUE(found);
}

// Writers replace a variable while readers read it and list the environment; every read sees one of the
// written values whole.
TEST(Environment, ConcurrentReadsAndWritesSeeWholeValues) {
  LogCapture log;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([t] {
      for (int i = 0; i < 2000; i++) {
        const std::string name = "TALLYSCOPE_TEST_RACE_" + std::to_string(i % 50);
        y_setenv(name.c_str(), t % 2 == 0 ? "even-value" : "odd-value-that-is-longer");
      }
    });
    threads.emplace_back([] {
      for (int i = 0; i < 2000; i++) {
        const std::string value = y_getenv("TALLYSCOPE_TEST_RACE_7").data;
        EXPECT_TRUE(value.empty() || value == "even-value" || value == "odd-value-that-is-longer") << value;
        if (i % 100 == 0) {
          EXPECT_GT(getEnvironment().length, 0);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}
