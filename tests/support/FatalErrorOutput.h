#pragma once

#include <gtest/gtest.h>

#include <string>

#include "agent/support/BZPRuntimeException.h"

// Runs `call`, which must fail through the fatal-error path, and returns the first line of what that
// path reported: "error at <file>:<line>: <message>". The native stack lines that may follow are left out.
template <class Call>
std::string fatalErrorOf(Call call) {
  testing::internal::CaptureStderr();
  EXPECT_THROW(call(), BZPRuntimeException);
  const std::string output = testing::internal::GetCapturedStderr();
  return output.substr(0, output.find('\n'));
}
