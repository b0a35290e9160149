#pragma once

#include <jni.h>

#include "agent/support/YString.h"

// The class's Java type name ("java.lang.String", "int[]") from its JVMTI signature on the main
// environment. The class must not be null. When the JVM cannot describe the class: `defaultText` when
// given, else a fatal error.
YString getClassSignature(jclass klass, const char* defaultText);
