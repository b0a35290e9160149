#pragma once

#include <jni.h>
#include <jvmti.h>

#include "agent/platform/YCriticalSection.h"
#include "agent/support/YString.h"

// Whether classes may still be redefined or retransformed: not once the JVM's exit has begun. From VMDeath
// on the class file hook leaves classes as they come, so a class changed then would lose what the agent
// added to it, which the JVM refuses. The caller holds "ourLock" (`held`) until its change is done:
// VMDeath marks the VM dead under that lock, so no change that began meets the mark half-way. A refusal
// is logged as "<what> skipped: the JVM is exiting".
bool classesMayChange(const YCriticalSectionLock& held, const char* what);
// Retransforms the classes under "ourLock" unless classesMayChange refuses (false, `error` untouched).
bool retransformWhileClassesMayChange(jint count, jclass* classes, const char* what, jvmtiError& error);

// Classes that the JVM cannot retransform once loaded (lambda forms and the classes of lambdas): nothing
// may rely on instrumenting them again. Logs "warning: special class will not be retransformed: <name>"
// when the Java name is one.
bool isSpecialClassNotToRetransform(const YString& javaName);

// Retransforms the loaded classes whose instrumentation depends on whether CPU tracing runs
// (patchedClassNames), all in one call, so that they are instrumented again for the current mode. A
// refusal is logged and the classes keep their instrumentation. Takes "ourLock"; nothing once the JVM's exit
// has begun.
void retransformInstrumentedClasses(JNIEnv* env);
