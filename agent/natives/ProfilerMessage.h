#pragma once

#include <jni.h>

#include "agent/support/YString.h"

// Announces a change of the agent's state: "<message>" or "<message>: <detail>" in the log, and a row of
// the "Message" table in the category "Profiler". Fatal "db is NULL" without a database.
void profilerMessage(JNIEnv* env, const YString& message, const YString& detail);
