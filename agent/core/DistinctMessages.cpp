#include "agent/core/DistinctMessages.h"

#include "agent/support/Log.h"

namespace {
constexpr int32_t MESSAGE_LIMIT = 20;
}

void logDistinctMessage(DistinctMessages& seen, const YString& message) {
  if (seen.texts.size >= MESSAGE_LIMIT || seen.texts.indexOf(message) >= 0) return;
  seen.texts.add(message);
  if (seen.texts.size == MESSAGE_LIMIT) {
    logMessage(message + "\n    (further similar messages will be skipped...)");
  } else {
    logMessage(message);
  }
}
