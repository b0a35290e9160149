#include "agent/natives/ProfilerMessage.h"

#include "agent/probes/EventTableRows.h"
#include "agent/support/Log.h"

void profilerMessage(JNIEnv* env, const YString& message, const YString& detail) {
  YString text(message);
  if (detail.length > 0) {
    text.append(": ");
    text.append(detail);
  }
  logMessage(text);
  messageToTable(env, YString("Profiler"), message, detail);
}
