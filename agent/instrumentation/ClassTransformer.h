#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

#include "agent/support/YString.h"

// The road of every class the JVM loads, redefines or retransforms: which classes stay as they are and
// why, the wrapping of native methods, and the hand-back of the edited class. Everything runs under
// "ourLock"; nothing thrown leaves the hook, and a class that cannot be edited loads as the JVM gave it.

// The main environment's ClassFileLoadHook handler. Leaves the outputs 0 and null for a class that stays
// unchanged.
void JNICALL ClassFileLoadHook(jvmtiEnv* jvmti, JNIEnv* env, jclass classBeingRedefined, jobject loader,
                               const char* name, jobject protectionDomain, jint classDataLength,
                               const unsigned char* classData, jint* newClassDataLength,
                               unsigned char** newClassData);

// Edits the class `name` (internal form) when a rule asks for it; the new class file goes to the
// outputs in a block from JVMTI Allocate, which the JVM then owns. With `shouldWrapNatives` its native
// methods get bytecode bodies. Runs under "ourLock".
void transformClass(const YString& name, jint classDataLength, const unsigned char* classData,
                    jint* newClassDataLength, unsigned char** newClassData, bool shouldWrapNatives);

// Only the wrapping of the class's native methods, for java/lang/Thread while the JVM is primordial.
void wrapNatives(const YString& name, jint classDataLength, const unsigned char* classData,
                 jint* newClassDataLength, unsigned char** newClassData, bool log);

// Logs the phase prefix, the class name, ": " and the message.
void logClassProblem(const YString& name, const char* message);
// "[-1] " without the main environment, "[<phase>] " outside the live phase, nothing in it.
void appendPhasePrefix(YString& text);
