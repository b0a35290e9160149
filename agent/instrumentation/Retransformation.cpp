#include "agent/instrumentation/Retransformation.h"

#include "agent/support/Log.h"

bool isSpecialClassNotToRetransform(const YString& javaName) {
  if (!javaName.startsWith("java.lang.invoke.LambdaForm") && javaName.indexOf("$$Lambda$") < 0) return false;
  logMessage(YString("warning: special class will not be retransformed: ") + javaName);
  return true;
}
