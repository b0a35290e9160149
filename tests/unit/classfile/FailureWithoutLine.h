#pragma once

#include <string>

#include "tests/support/FatalErrorOutput.h"

// The first line of the fatal error that `call` raises, without its line number, which is the source's
// own business: "error at <file>: <message>".
template <class Call>
std::string failureOf(Call call) {
  const std::string line = fatalErrorOf(call);
  const size_t colon = line.find(':');
  const size_t afterNumber = line.find(':', colon + 1);
  if (colon == std::string::npos || afterNumber == std::string::npos) return line;
  return line.substr(0, colon) + line.substr(afterNumber);
}
