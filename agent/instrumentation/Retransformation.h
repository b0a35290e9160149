#pragma once

#include <jni.h>

#include "agent/support/YString.h"

// Classes that the JVM cannot retransform once loaded (lambda forms and the classes of lambdas): nothing
// may rely on instrumenting them again. Logs "warning: special class will not be retransformed: <name>"
// when the Java name is one.
bool isSpecialClassNotToRetransform(const YString& javaName);

// Retransforms the loaded classes whose instrumentation depends on whether CPU tracing runs
// (patchedClassNames), all in one call, so that they are instrumented again for the current mode. A
// refusal is logged and the classes keep their instrumentation. Takes "ourLock".
void retransformInstrumentedClasses(JNIEnv* env);
