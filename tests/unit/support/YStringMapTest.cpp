#include <gtest/gtest.h>

#include "agent/support/YStringMap.h"
#include "tests/support/FatalErrorOutput.h"

TEST(YStringMap, SetAppendsNewKeysAndReplacesHeldOnes) {
  YStringMap<int32_t> modes;
  modes.set("com.example.Ant", 1);
  modes.set("com.example.Maven", 1);
  modes.set("com.example.Ant", 2);
  EXPECT_EQ(modes.keys.size, 2);
  EXPECT_EQ(modes.values.size, 2);
  EXPECT_EQ(modes.get("com.example.Ant", 1), 2);
  EXPECT_EQ(modes.get("com.example.Maven", 0), 1);
  EXPECT_EQ(modes.get("com.example.Gradle", 7), 7);
  EXPECT_EQ(modes.get("com.example.An", 7), 7);  // whole keys only

  // Keys are copies, so the caller's text may change afterwards.
  char name[] = "com.example.Tests";
  modes.set(name, 0);
  name[0] = 'x';
  EXPECT_EQ(modes.indexOf("com.example.Tests"), 2);
}

TEST(YStringMap, RemoveKeepsKeysAndValuesParallel) {
  YStringMap<YString> paths;
  paths.set("a", "/a");
  paths.set("b", "/b");
  paths.set("c", "/c");
  EXPECT_TRUE(paths.remove("b"));
  EXPECT_FALSE(paths.remove("b"));
  EXPECT_EQ(paths.keys.size, 2);
  EXPECT_STREQ(paths.get("c", "").data, "/c");
  EXPECT_STREQ(paths.get("a", "").data, "/a");
}

TEST(YStringMap, AKeyWithoutAValueIsAnAssertionFailure) {
  YStringMap<int32_t> broken;
  broken.keys.add("orphan");
  EXPECT_EQ(fatalErrorOf([&] { broken.set("orphan", 1); }), "error at YString:1147: assertion failed");
}
