#pragma once

#ifndef _WIN32
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// Runs `body` in a fresh process of its own (a re-run of this test binary), for state the code under test
// reads once per process, whatever ran before it here. `body` returns what went wrong, empty for nothing.
template <class Body>
void inFreshProcess(Body body) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const std::string failure = body();
        std::fputs(failure.c_str(), stderr);
        std::exit(failure.empty() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}
#endif
