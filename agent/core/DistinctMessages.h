#pragma once

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Texts already seen, for warnings that would otherwise repeat without end.
struct DistinctMessages {
  YVectorSafe<YString> texts;
};

// Logs the message unless the set holds it already; once the set holds 20 texts nothing more is logged,
// and the 20th says that further messages are skipped.
void logDistinctMessage(DistinctMessages& seen, const YString& message);
