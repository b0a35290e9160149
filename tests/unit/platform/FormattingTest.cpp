#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <string>

#include "agent/support/Formatting.h"
#include "tests/support/FatalErrorOutput.h"

TEST(Formatting, LocalDatesAreZeroPaddedAndToday) {
  const std::time_t now = std::time(nullptr);
  char today[16];
  std::strftime(today, sizeof(today), "%Y%m%d", std::localtime(&now));
  const std::string date = formatLocalTime().data;
  EXPECT_EQ(date, today);
  const std::string stamp = formatLocalTimeOfDay().data;
  EXPECT_TRUE(std::regex_match(stamp, std::regex("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}"))) << stamp;
  EXPECT_EQ(stamp.substr(0, 4) + stamp.substr(5, 2) + stamp.substr(8, 2), date);
}

TEST(Formatting, Doubles) {
  EXPECT_STREQ(formatDouble(3.14159, 2).data, "3.14");
  EXPECT_STREQ(formatDouble(-1.5, 1).data, "-1.5");
  EXPECT_STREQ(formatDouble(2.5, 3).data, "2.500");
  EXPECT_EQ(formatDouble(1e300, 2).length, 127);  // cut to the 128-byte buffer
}

TEST(Formatting, SignedDecimals) {
  struct Case {
    const char* text;
    int64_t value;
  } cases[] = {{"", 0}, {"42", 42}, {"-17", -17}, {"12ab", 12}, {"-", 0}, {"+5", 0}, {" 5", 0}, {"007", 7}};
  for (const Case& c : cases) EXPECT_EQ(parseSignedDecimal(c.text), c.value) << c.text;
  EXPECT_EQ(fatalErrorOf([] { parseSignedDecimal(nullptr); }),
            "error at Formatting:49: assertion failed: value is NULL");
}
