#pragma once

#include "agent/support/YString.h"

// Classes that the JVM cannot retransform once loaded (lambda forms and the classes of lambdas): nothing
// may rely on instrumenting them again. Logs "warning: special class will not be retransformed: <name>"
// when the Java name is one.
bool isSpecialClassNotToRetransform(const YString& javaName);
