#pragma once

#include <jni.h>

// The class of a method-listener probe, patched from the template com/brantel/probes/triggers/
// MethodListenerProbe: the built-in copy, or the class file under the directory of the "_agent_cp" option
// when that is given. The String[] holds macro/value pairs (a null element reads as the empty text, an odd
// last element is ignored); every macro in every Utf8 constant becomes its value, pair after pair, then
// the template methods go. Answers the class bytes, or null with java.lang.RuntimeException pending: for a
// null array "macroAndValuePairs is null", for a template that does not parse "method listener template is
// invalid", and for a missing or empty file under "_agent_cp" a text naming that file, also logged.
jbyteArray loadMethodListenerTemplate(JNIEnv* env, jobjectArray macroAndValuePairs);
