#include <gtest/gtest.h>

#include <string>

#include "agent/core/DistinctMessages.h"
#include "agent/core/JavaVersion.h"
#include "tests/support/LogCapture.h"

namespace {

TEST(JavaFeatureVersion, ComesFromTheVmVersionElseTheSpecificationVersion) {
  struct Case {
    const char* vmVersion;
    const char* specificationVersion;
    int32_t expected;
  };
  const Case cases[] = {
      {"17.0.2+8", "17", 17},
      {"17.0.15+6-Debian-1deb12u1", "17", 17},
      {"18-ea", "18", 18},
      {"11", "11", 11},
      {"25.0.1", "25", 25},
      {"21+35-2513", "21", 21},
      // A vendor prefix before the first "-" is no number: java.vm.specification.version decides.
      {"acme-11.0.2", "11", 11},
      {"", "9", 9},
      {"vendor", "v", 0},
      {"", "", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, javaFeatureVersion(YString(c.vmVersion), YString(c.specificationVersion)))
        << c.vmVersion << " / " << c.specificationVersion;
  }
}

TEST(DistinctMessages, LogsEachTextOnceAndStopsAfterTwenty) {
  LogCapture log;
  DistinctMessages seen;
  logDistinctMessage(seen, YString("first"));
  logDistinctMessage(seen, YString("first"));
  for (int i = 2; i <= 25; i++) logDistinctMessage(seen, YString("message ") + YString(int64_t(i)));
  const std::vector<std::string> entries = log.entries();
  ASSERT_EQ(20u, entries.size());
  EXPECT_NE(std::string::npos, entries[0].find("first"));
  EXPECT_EQ(std::string::npos, entries[1].find("first"));
  EXPECT_NE(std::string::npos, entries[18].find("message 19"));
  EXPECT_EQ(std::string::npos, entries[18].find("skipped"));
  EXPECT_NE(std::string::npos, entries[19].find("message 20\n    (further similar messages will be skipped...)"));
}

}  // namespace
