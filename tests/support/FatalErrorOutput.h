#pragma once

#include <gtest/gtest.h>

#include <string>

#include "agent/support/BZPRuntimeException.h"
#include "tests/support/LogCapture.h"

// Runs `call`, which must fail through the fatal-error path, and returns the first line of the entry that
// path logged: "error at <file>:<line>: <message>". The native stack lines that follow are left out.
template <class Call>
std::string fatalErrorOf(Call call) {
  LogCapture log;
  EXPECT_THROW(call(), BZPRuntimeException);
  const std::vector<std::string> entries = log.entries();
  if (entries.empty()) return std::string();
  return entries.back().substr(0, entries.back().find('\n'));
}
