#pragma once

#include "agent/core/Options.h"

// A hidden option token ("_request_buf_size=64") in the global option store for a test's length.
class HiddenOption {
 public:
  explicit HiddenOption(const char* token) { globalOptions().hiddenOptions.add(YString(token)); }
  ~HiddenOption() { globalOptions().hiddenOptions.pop(); }
  HiddenOption(const HiddenOption&) = delete;
  HiddenOption& operator=(const HiddenOption&) = delete;
};
