#pragma once

#include <jni.h>

#include <cstdint>

// The registration table of com.brantel.runtime.Callback: every native the class declares, with its
// name and JNI signature, in the order of the class's declarations, registered in one RegisterNatives
// call at start-up. Each function is also exported under its JNI name.
constexpr int32_t callbackNativesCount = 100;
extern JNINativeMethod callbackNativesTable[callbackNativesCount];
